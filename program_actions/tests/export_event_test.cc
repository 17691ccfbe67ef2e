// ExportEventToEnvironment at the two stopping points that the repository
// never produces by itself: an event whose class name cannot be read, and a
// class definition that refuses to enumerate its properties. Small wrappers
// around real repository objects inject each fault.
#include <atomic>

#include "program_actions/tests/program_action_fixture.h"
#include "wbem/holders.h"

namespace program_actions::testing {
namespace {

using ::testing::ElementsAre;

// Forwards every call to a real object, except the faults it is told to give.
class FaultyObject final : public IWbemClassObject {
 public:
  static wbem::ComPtr<IWbemClassObject> Wrap(IWbemClassObject* inner, bool fail_class_name,
                                             bool fail_enumeration) {
    return wbem::ComPtr<IWbemClassObject>::Adopt(
        new FaultyObject(inner, fail_class_name, fail_enumeration));
  }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWbemClassObject) {
      AddRef();
      *object = static_cast<IWbemClassObject*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    if (fail_class_name_ && std::u16string_view(name) == u"__CLASS") return WBEM_E_FAILED;
    return inner_->Get(name, flags, value, type, flavor);
  }
  HRESULT Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    return inner_->Put(name, flags, value, type);
  }
  HRESULT BeginEnumeration(LONG flags) override {
    if (fail_enumeration_) return WBEM_E_FAILED;
    return inner_->BeginEnumeration(flags);
  }
  HRESULT Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    return inner_->Next(flags, name, value, type, flavor);
  }
  HRESULT EndEnumeration() override { return inner_->EndEnumeration(); }
  HRESULT Clone(IWbemClassObject** copy) override { return inner_->Clone(copy); }
  HRESULT SpawnInstance(LONG flags, IWbemClassObject** instance) override {
    return inner_->SpawnInstance(flags, instance);
  }
  HRESULT GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                    IWbemClassObject** out_signature) override {
    return inner_->GetMethod(name, flags, in_signature, out_signature);
  }

 private:
  FaultyObject(IWbemClassObject* inner, bool fail_class_name, bool fail_enumeration)
      : inner_(inner), fail_class_name_(fail_class_name), fail_enumeration_(fail_enumeration) {}
  ~FaultyObject() = default;

  std::atomic<ULONG> refs_{1};
  wbem::ComPtr<IWbemClassObject> inner_;
  bool fail_class_name_;
  bool fail_enumeration_;
};

// Forwards to real services; every object GetObject returns refuses to
// enumerate its properties.
class NoEnumerationServices final : public IWbemServices {
 public:
  static wbem::ComPtr<IWbemServices> Wrap(IWbemServices* inner) {
    return wbem::ComPtr<IWbemServices>::Adopt(new NoEnumerationServices(inner));
  }

  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWbemServices) {
      AddRef();
      *object = static_cast<IWbemServices*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                    IWbemCallResult** call_result) override {
    wbem::ComPtr<IWbemClassObject> real;
    const HRESULT hr = inner_->GetObject(path, flags, context, real.Out(), call_result);
    if (object != nullptr) {
      *object = real ? FaultyObject::Wrap(real.get(), false, true).Detach() : nullptr;
    }
    return hr;
  }
  HRESULT ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                     IWbemClassObject* in_params, IWbemClassObject** out_params,
                     IWbemCallResult** call_result) override {
    return inner_->ExecMethod(path, method, flags, context, in_params, out_params, call_result);
  }
  HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) override {
    return inner_->QueryObjectSink(flags, sink);
  }
  HRESULT ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                     IWbemContext* context, IWbemObjectSink* sink) override {
    return inner_->ExecNotificationQueryAsync(language, query, flags, context, sink);
  }
  HRESULT CancelAsyncCall(IWbemObjectSink* sink) override { return inner_->CancelAsyncCall(sink); }
  HRESULT PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                   IWbemCallResult** call_result) override {
    return inner_->PutClass(object, flags, context, call_result);
  }
  HRESULT PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                      IWbemCallResult** call_result) override {
    return inner_->PutInstance(instance, flags, context, call_result);
  }

 private:
  explicit NoEnumerationServices(IWbemServices* inner) : inner_(inner) {}
  ~NoEnumerationServices() = default;

  std::atomic<ULONG> refs_{1};
  wbem::ComPtr<IWbemServices> inner_;
};

class ExportEventTest : public ProgramActionTest {
 protected:
  runner::EnvironmentMap Export(IWbemServices* services, IWbemClassObject* event) {
    const auto settings = MakeSettings("unused", "Disk_Full");
    CActionManagerSink sink(kProfile, *settings);
    EXPECT_EQ(sink.Start(services), 1);
    CImplProgramInfo executor(CProgramActionInfo{});
    runner::EnvironmentMap environment = {{"ALREADY_THERE", "kept"}};
    TakeLines(false);
    executor.ExportEventToEnvironment(&sink, event, environment);
    sink.Stop();
    return environment;
  }

  wbem::ComPtr<IWbemClassObject> NewDiskFull() {
    wbem::ComPtr<IWbemClassObject> event;
    EXPECT_EQ(ns_.NewInstance("Disk_Full", DiskFullValues(), &event), WBEM_S_NO_ERROR);
    return event;
  }
};

TEST_F(ExportEventTest, UnreadableClassNameExportsNothing) {
  const auto event = FaultyObject::Wrap(NewDiskFull().get(), true, false);
  const auto environment = Export(services_.get(), event.get());
  EXPECT_EQ(environment, (runner::EnvironmentMap{{"ALREADY_THERE", "kept"}}));
  EXPECT_THAT(TakeLines(false),
              ElementsAre(LogLine{0, "ActionManager", "Failed getting event Name"}));
}

TEST_F(ExportEventTest, RefusedEnumerationExportsClassNameAndSeverityOnly) {
  const auto services = NoEnumerationServices::Wrap(services_.get());
  const auto environment = Export(services.get(), NewDiskFull().get());
  EXPECT_EQ(environment, (runner::EnvironmentMap{{"ALREADY_THERE", "kept"},
                                                 {"EVENT_NAME", "Disk_Full"},
                                                 {"EVENT_SEVERITY", "Critical"},
                                                 {"ZRV_EVENT", "Disk_Full"}}));
  EXPECT_THAT(TakeLines(false), ::testing::IsEmpty());
}

}  // namespace
}  // namespace program_actions::testing
