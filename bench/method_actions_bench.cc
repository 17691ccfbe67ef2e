// Events per second through a profile's sink whose one rule runs one built-in
// action (an instance method with a key and two in-parameters, then the
// result event), against a baseline that makes the same repository calls
// directly with everything it can prepared in advance. The difference is the
// component's own work: path and text building, the conversions, the
// execution counter and the log lines.
//
// Log lines go to a line sink that drops them after formatting (the "logged"
// runs) or are dropped before formatting by the threshold ("quiet" runs), so
// neither pays for terminal output.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "component/action_manager_sink.h"
#include "host/trace_utils.h"
#include "repository/zrv_classes.h"
#include "settings/action_info.h"
#include "settings/action_manager_settings.h"
#include "settings/action_rule.h"
#include "repository/repository.h"

namespace {

struct World {
  repository::Repository repo;
  repository::Namespace ns = repo.OpenNamespace("root\\zrv");
  wbem::ComPtr<IWbemServices> services;
  wbem::ComPtr<IWbemClassObject> event;

  World() {
    repository::DefineZrvEventClasses(ns);
    ns.Define(repository::Class("Disk_Full", "ZRV_Event")
                  .Property("Drive", CIM_STRING)
                  .Property("Free", CIM_UINT32)
                  .Property("Urgent", CIM_BOOLEAN));
    ns.Define(repository::Class("Disk")
                  .Key("Drive", CIM_STRING)
                  .Method(repository::MethodDef("Clean")
                              .In("Force", CIM_BOOLEAN)
                              .In("Free", CIM_SINT32)
                              .Provider([](repository::MethodCall& call) { return call.Return(0); })));
    ns.AddInstance("Disk", {{"Drive", "C:"}});
    services = ns.Services();
    ns.NewInstance("Disk_Full",
                   {{"ProfileName", "P"},
                    {"EventId", "1234"},
                    {"event_key", "disk:C"},
                    {"ModelName", "Disk"},
                    {"severity", "CRITICAL"},
                    {"Drive", "C:"},
                    {"Free", 10},
                    {"Urgent", true}},
                   &event);
  }
};

class LogMode {
 public:
  explicit LogMode(bool logged) {
    CTraceUtils* log = CTraceUtils::GetInstance();
    log->SetLineSink([](int, const std::string&, const std::string& line) {
      benchmark::DoNotOptimize(line.data());
    });
    log->SetThreshold(logged ? 3 : -1);
  }
  ~LogMode() {
    CTraceUtils::GetInstance()->SetThreshold(3);
    CTraceUtils::GetInstance()->SetLineSink({});
  }
};

void BM_RuleWithOneBuiltInAction(benchmark::State& state) {
  const LogMode log(state.range(0) != 0);
  World world;
  CBuiltInActionInfo action;
  action.m_strNamespace = "root\\zrv";
  action.m_strClassName = "Disk";
  action.m_strMethodName = "Clean";
  action.m_KeyParams.AddTail(CParams("Drive", "Drive"));
  action.m_InParams.AddTail(CParams("Force", "Urgent"));
  action.m_InParams.AddTail(CParams("Free", "Free"));
  action.m_strDescriptiveName = "clean the disk";
  CActionRule rule;
  rule.SetAt("clean", std::make_unique<CBuiltInActionInfo>(action));
  CActionManagerSettings settings;
  settings.m_mapRules.SetAt("Disk_Full", std::move(rule));
  CActionManagerSink sink("P", settings);
  if (sink.Start(world.services.get()) != 1) {
    state.SkipWithError("start failed");
    return;
  }
  for (auto _ : state) {
    if (sink.ProcessEvent(world.event.get()) != 1) {
      state.SkipWithError("action failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  sink.Stop();
}
BENCHMARK(BM_RuleWithOneBuiltInAction)->ArgName("logged")->Arg(1)->Arg(0);

void Put(IWbemClassObject* object, const char16_t* name, wbem::Variant value) {
  object->Put(name, 0, value.ptr(), 0);
}

// The same calls, in the same order, with names and the path prepared once.
void BM_DirectRepositoryCalls(benchmark::State& state) {
  World world;
  IWbemServices* services = world.services.get();
  IWbemClassObject* event = world.event.get();
  const wbem::Bstr path(R"(\\.\root\zrv:Disk.Drive="C:")");
  const wbem::Bstr class_name("Disk");
  const wbem::Bstr method("Clean");
  const wbem::Bstr result_class("ZRV_ActionResult");
  for (auto _ : state) {
    wbem::Variant name, id, key, model, severity, drive;
    CIMTYPE type = 0;
    event->Get(u"__CLASS", 0, name.ptr(), nullptr, nullptr);
    event->Get(u"EventId", 0, id.ptr(), nullptr, nullptr);
    event->Get(u"Drive", 0, drive.ptr(), &type, nullptr);
    event->Get(u"ModelName", 0, model.ptr(), nullptr, nullptr);
    event->Get(u"EventId", 0, id.Out(), nullptr, nullptr);
    event->Get(u"event_key", 0, key.ptr(), nullptr, nullptr);
    event->Get(u"severity", 0, severity.ptr(), nullptr, nullptr);

    wbem::ComPtr<IWbemClassObject> cls, in_signature, in, out;
    services->GetObject(class_name.get(), 0, nullptr, cls.Out(), nullptr);
    cls->GetMethod(method.get(), 0, in_signature.Out(), nullptr);
    in_signature->SpawnInstance(0, in.Out());
    for (const auto& [param, prop] :
         {std::pair{u"Force", u"Urgent"}, std::pair{u"Free", u"Free"}}) {
      CIMTYPE param_type = 0;
      in->Get(param, 0, nullptr, &param_type, nullptr);
      wbem::Variant value;
      event->Get(prop, 0, value.ptr(), &type, nullptr);
      in->Put(param, 0, value.ptr(), 0);
    }
    services->ExecMethod(path.get(), method.get(), 0, nullptr, in.get(), out.Out(), nullptr);
    wbem::Variant return_value;
    out->Get(u"ReturnValue", 0, return_value.ptr(), nullptr, nullptr);

    wbem::ComPtr<IWbemClassObject> rc, instance;
    services->GetObject(result_class.get(), 0, nullptr, rc.Out(), nullptr);
    rc->SpawnInstance(0, instance.Out());
    IWbemClassObject* r = instance.get();
    Put(r, u"ModelName", model);
    Put(r, u"ProfileName", "P");
    Put(r, u"EventId", id);
    Put(r, u"event_key", key);
    Put(r, u"ProgressiveNumber", 0);
    Put(r, u"MsgInfo", "ZRV_CorrelatedEvents|900");
    Put(r, u"Duration", 0);
    Put(r, u"Send2Vox", true);
    Put(r, u"send_to_kvrn", true);
    Put(r, u"severity", severity);
    Put(r, u"AlreadySent", false);
    Put(r, u"Method", "Clean");
    Put(r, u"descriptive_name", "clean the disk");
    Put(r, u"program", "");
    Put(r, u"return_code", 0);
    wbem::ComPtr<IWbemObjectSink> provider;
    services->QueryObjectSink(0, provider.Out());
    IWbemClassObject* objects[] = {r};
    provider->Indicate(1, objects);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DirectRepositoryCalls);

}  // namespace
