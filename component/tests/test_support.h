// Shared pieces of the component tests: a log capture, an action kind whose
// executor records its runs, an event object that overrides what some
// properties read as, and a fixture with the profile's event classes in a
// real repository.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "component/action_manager_manager.h"
#include "component/action_manager_sink.h"
#include "component/impl_action_rule.h"
#include "component/impl_base_action_info.h"
#include "host/trace_utils.h"
#include "settings/action_info.h"
#include "settings/action_manager_settings.h"
#include "settings/action_rule.h"
#include "wbem/holders.h"
#include "wbem/repository.h"
#include "wbem/testing/leak_check.h"

namespace component_test {

// Collects log lines as "LEVEL COMPONENT: MESSAGE". Lines come from delivery
// threads too, hence the lock.
class LogCapture {
 public:
  LogCapture() {
    CTraceUtils::GetInstance()->SetLineSink(
        [this](int level, const std::string& component, const std::string& message) {
          std::lock_guard lock(mu_);
          lines_.push_back(std::to_string(level) + " " + component + ": " + message);
        });
  }
  ~LogCapture() { CTraceUtils::GetInstance()->SetLineSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }
  // The lines so far, and a fresh start.
  std::vector<std::string> Take() {
    std::lock_guard lock(mu_);
    return std::exchange(lines_, {});
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

// What the recording executors saw: one entry per Execute, "TAG@EVENTID".
class Recorder {
 public:
  static Recorder& Get() {
    static Recorder recorder;
    return recorder;
  }
  void Add(std::string entry) {
    std::lock_guard lock(mu_);
    runs_.push_back(std::move(entry));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mu_);
    return std::exchange(runs_, {});
  }

 private:
  std::mutex mu_;
  std::vector<std::string> runs_;
};

// An action kind of the tests' own: its executor records each run and
// returns `result`.
class RecordingActionInfo : public CBaseActionInfo {
 public:
  RecordingActionInfo(std::string tag, std::uint16_t limit, int result)
      : tag_(std::move(tag)), result_(result) {
    m_wExecLimit = limit;
  }
  std::unique_ptr<CBaseActionInfo> Clone() const override {
    return std::make_unique<RecordingActionInfo>(*this);
  }
  const std::string& tag() const { return tag_; }
  int result() const { return result_; }

 private:
  std::string tag_;
  int result_;
};

class RecordingExecutor : public CImplBaseActionInfo {
 public:
  explicit RecordingExecutor(const RecordingActionInfo& info) : info_(info) {}
  int Execute(CActionManagerSink* sink, IWbemClassObject* event) override {
    wbem::Variant id;
    std::string text = "-";
    if (event != nullptr && SUCCEEDED(event->Get(u"EventId", 0, id.Out(), nullptr, nullptr)) &&
        !id.IsNull()) {
      CTemporarySink::DecodeVariant(id.get(), text);
    }
    Recorder::Get().Add(info_.tag() + "@" + text + (sink != nullptr ? "" : " (no sink)"));
    return info_.result();
  }
  std::uint16_t GetExecutionLimit() const override { return info_.m_wExecLimit; }

 private:
  RecordingActionInfo info_;
};

inline std::unique_ptr<CImplBaseActionInfo> RecordingFactory(const CBaseActionInfo& info) {
  if (const auto* recording = dynamic_cast<const RecordingActionInfo*>(&info)) {
    return std::make_unique<RecordingExecutor>(*recording);
  }
  return nullptr;
}

inline std::unique_ptr<CBaseActionInfo> Recording(std::string tag, std::uint16_t limit = 0,
                                                  int result = 1) {
  return std::make_unique<RecordingActionInfo>(std::move(tag), limit, result);
}

inline std::unique_ptr<CBaseActionInfo> Task(std::uint16_t limit) {
  return std::make_unique<CTaskActionInfo>(limit, "t1", "t2", "a;b");
}

// Files a rule under `event_class` whose actions are filed under "a0", "a1",
// ... in the order given.
inline void AddRule(CActionManagerSettings& settings, const std::string& event_class,
                    std::vector<std::unique_ptr<CBaseActionInfo>> actions) {
  CActionRule rule;
  for (std::size_t i = 0; i < actions.size(); ++i) {
    rule.SetAt("a" + std::to_string(i), std::move(actions[i]));
  }
  settings.m_mapRules.SetAt(event_class, std::move(rule));
}

template <typename... Actions>
std::vector<std::unique_ptr<CBaseActionInfo>> ActionList(Actions... actions) {
  std::vector<std::unique_ptr<CBaseActionInfo>> list;
  (list.push_back(std::move(actions)), ...);
  return list;
}

// A repository object whose listed properties read as given (a value, or a
// failure); every other call goes to the wrapped object.
class OverridingObject final : public IWbemClassObject {
 public:
  struct Override {
    HRESULT hr;
    wbem::Variant value;
  };
  static wbem::ComPtr<IWbemClassObject> Create(IWbemClassObject* inner,
                                               std::map<std::u16string, Override> overrides) {
    auto* object = new OverridingObject(inner, std::move(overrides));
    return wbem::ComPtr<IWbemClassObject>::Adopt(object);
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
    const auto it = overrides_.find(name);
    if (it == overrides_.end()) return inner_->Get(name, flags, value, type, flavor);
    if (FAILED(it->second.hr)) return it->second.hr;
    if (value != nullptr) VariantCopy(value, &it->second.value.get());
    return it->second.hr;
  }
  HRESULT Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    return inner_->Put(name, flags, value, type);
  }
  HRESULT BeginEnumeration(LONG flags) override { return inner_->BeginEnumeration(flags); }
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
  OverridingObject(IWbemClassObject* inner, std::map<std::u16string, Override> overrides)
      : inner_(inner), overrides_(std::move(overrides)) {}
  ~OverridingObject() = default;
  wbem::ComPtr<IWbemClassObject> inner_;
  std::map<std::u16string, Override> overrides_;
  std::atomic<ULONG> refs_{1};
};

// The profile's world: ZRV_Event and a few event classes, in root\zrv. The
// recording executors are installed for the test's duration; every BSTR and
// object is checked to be released.
class ComponentTest : public wbem::testing::LeakCheckedTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(ns_.Define(wbem::Class("ZRV_Event")
                             .Property("ProfileName", CIM_STRING)
                             .Property("severity", CIM_STRING)),
              WBEM_S_NO_ERROR);
    for (const char* name : {"Disk_Full", "CPU_HIGH", "mem_low"}) {
      ASSERT_EQ(ns_.Define(wbem::Class(name, "ZRV_Event").Property("EventId", CIM_STRING)),
                WBEM_S_NO_ERROR);
    }
    ASSERT_EQ(ns_.Define(wbem::Class("No_Id_Event", "ZRV_Event")), WBEM_S_NO_ERROR);
    ASSERT_EQ(
        ns_.Define(wbem::Class("Numeric_Id_Event", "ZRV_Event").Property("EventId", CIM_UINT32)),
        WBEM_S_NO_ERROR);
    services_ = ns_.Services();
    CImplActionRule::SetExecutorFactoryForTesting(&RecordingFactory);
    Recorder::Get().Take();
  }
  void TearDown() override {
    for (void* handle : handles_) CActionManagerManager::GetInstance()->CompDelete(handle);
    handles_.clear();
    CImplActionRule::SetExecutorFactoryForTesting(nullptr);
    Recorder::Get().Take();
  }

  // A component built by the manager from `settings` (deleted with the test),
  // started when `start` is set.
  CActionManagerSink* Component(CActionManagerSettings& settings, bool start = true,
                                const char* profile = "P") {
    void* handle = nullptr;
    CActionManagerManager* manager = CActionManagerManager::GetInstance();
    EXPECT_NE(manager, nullptr);
    if (manager == nullptr) return nullptr;
    EXPECT_EQ(manager->CompCreate(profile, &handle, &settings), 1);
    if (handle == nullptr) return nullptr;
    handles_.push_back(handle);
    if (start) {
      EXPECT_EQ(manager->CompStart(services_.get(), handle), 1);
    }
    return static_cast<CActionManagerSink*>(handle);
  }

  // An unfiled event instance of `event_class` for profile "P".
  wbem::ComPtr<IWbemClassObject> Event(const char* event_class, wbem::PropertyValues values = {}) {
    values.emplace_back("ProfileName", "P");
    wbem::ComPtr<IWbemClassObject> event;
    EXPECT_EQ(ns_.NewInstance(event_class, values, &event), WBEM_S_NO_ERROR);
    return event;
  }

  // Raises an event for `profile` and waits until it is delivered.
  void Raise(const char* event_class, wbem::PropertyValues values, const char* profile = "P") {
    values.emplace_back("ProfileName", profile);
    ASSERT_EQ(ns_.Raise(event_class, values), WBEM_S_NO_ERROR);
    ASSERT_TRUE(repo_.WaitIdle());
  }

  wbem::Repository repo_;
  wbem::Namespace ns_ = repo_.OpenNamespace("root\\zrv");
  wbem::ComPtr<IWbemServices> services_;
  LogCapture log_;
  std::vector<void*> handles_;
};

inline std::string ExecutingLine(const std::string& event_name, int count) {
  return "1 ActionManager: Executing actions triggred by the event '" + event_name +
         "' already executed " + std::to_string(count) + " times";
}
inline std::string HeldBackLine(const std::string& event_name, int count) {
  return "0 ActionManager: The action triggred by the event '" + event_name +
         "' won't be executed becuse it has been already executed " + std::to_string(count) +
         " times";
}
inline std::string MalformedLine(const std::string& event_name) {
  return "0 ActionManager: The event '" + event_name +
         "'is malformed. The property EventId of  was not found";
}

}  // namespace component_test
