// The component tests' world: the shared action world with a few event
// classes of the profile, and an action kind of the tests' own whose executor
// records each run as "TAG@EVENTID" (with " (no sink)" when it was given no
// sink) and returns a chosen result. The recording executors are installed
// for each test's duration.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "component/action_manager_manager.h"
#include "component/impl_action_rule.h"
#include "actions/impl_base_action_info.h"
#include "actions/testing/action_world.h"
#include "host/testing/log_capture.h"
#include "wbem/holders.h"

namespace component_test {

using namespace actions::testing;  // NOLINT(build/namespaces): the tests' own vocabulary
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// What the recording executors saw, across threads.
struct Recorder {
  static LineList& Get() {
    static LineList recorder;
    return recorder;
  }
};

class RecordingActionInfo : public CBaseActionInfo {
 public:
  RecordingActionInfo(std::string tag, std::uint16_t limit, int result)
      : tag(std::move(tag)), result(result) {
    m_wExecLimit = limit;
  }
  std::unique_ptr<CBaseActionInfo> Clone() const override {
    return std::make_unique<RecordingActionInfo>(*this);
  }
  std::string tag;
  int result;
};

class RecordingExecutor : public CImplBaseActionInfo {
 public:
  explicit RecordingExecutor(const RecordingActionInfo& info) : info_(info) {}
  int Execute(CTemporarySink* sink, IWbemClassObject* event) override {
    wbem::Variant id;
    std::string text = "-";
    if (event != nullptr && SUCCEEDED(event->Get(u"EventId", 0, id.Out(), nullptr, nullptr)) &&
        !id.IsNull()) {
      CTemporarySink::DecodeVariant(id.get(), text);
    }
    Recorder::Get().Add(info_.tag + "@" + text + (sink != nullptr ? "" : " (no sink)"));
    return info_.result;
  }
  std::uint16_t GetExecutionLimit() const override { return info_.m_wExecLimit; }

 private:
  RecordingActionInfo info_;
};

inline std::unique_ptr<CImplBaseActionInfo> RecordingFactory(const CBaseActionInfo& info) {
  const auto* recording = dynamic_cast<const RecordingActionInfo*>(&info);
  return recording != nullptr ? std::make_unique<RecordingExecutor>(*recording) : nullptr;
}

inline std::unique_ptr<CBaseActionInfo> Recording(std::string tag, std::uint16_t limit = 0,
                                                  int result = 1) {
  return std::make_unique<RecordingActionInfo>(std::move(tag), limit, result);
}
inline std::unique_ptr<CBaseActionInfo> Task(std::uint16_t limit) {
  return std::make_unique<CTaskActionInfo>(limit, "t1", "t2", "a;b");
}

// Disk_Full, CPU_HIGH and mem_low are ZRV_Events of the profile. No_Id_Event
// and Numeric_Id_Event stand alone (their EventId is missing or a number), so
// they are handed to a sink, never raised to its subscription.
class ComponentTest : public ActionWorld {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ActionWorld::SetUp());
    for (const char* name : {"Disk_Full", "CPU_HIGH", "mem_low"}) {
      ASSERT_EQ(ns_.Define(repository::Class(name, "ZRV_Event")), WBEM_S_NO_ERROR);
    }
    ASSERT_EQ(ns_.Define(repository::Class("No_Id_Event").Property("ProfileName", CIM_STRING)),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.Define(repository::Class("Numeric_Id_Event")
                             .Property("ProfileName", CIM_STRING)
                             .Property("EventId", CIM_UINT32)),
              WBEM_S_NO_ERROR);
    CImplActionRule::SetExecutorFactoryForTesting(&RecordingFactory);
    Recorder::Get().Take();
  }
  void TearDown() override {
    for (void* handle : handles_) manager_->CompDelete(handle);
    CImplActionRule::SetExecutorFactoryForTesting(nullptr);
    Recorder::Get().Take();
    ActionWorld::TearDown();
  }

  // A component built by the manager (deleted with the test), started when
  // `start` is set.
  CActionManagerSink* Component(CActionManagerSettings& settings, bool start = true,
                                const char* profile = "P") {
    void* handle = nullptr;
    EXPECT_EQ(manager_->CompCreate(profile, &handle, &settings), 1);
    if (handle == nullptr) return nullptr;
    handles_.push_back(handle);
    EXPECT_EQ(start ? manager_->CompStart(services_.get(), handle) : 1, 1);
    return static_cast<CActionManagerSink*>(handle);
  }
  // An unfiled event of profile "P".
  wbem::ComPtr<IWbemClassObject> Event(const char* event_class, repository::PropertyValues values = {}) {
    values.emplace_back("ProfileName", "P");
    return NewEvent(event_class, values);
  }
  // Raises an event for `profile` and waits until it is delivered.
  void Raise(const char* event_class, repository::PropertyValues values, const char* profile = "P") {
    values.emplace_back("ProfileName", profile);
    ASSERT_EQ(ns_.Raise(event_class, values), WBEM_S_NO_ERROR);
    ASSERT_TRUE(repo_.WaitIdle());
  }

  CActionManagerManager* manager_ = CActionManagerManager::GetInstance();
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

}  // namespace component_test
