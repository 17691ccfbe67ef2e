#include "host/component_manager.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Records, in order, the operations the base forwards to.
class RecordingManager : public CComponentManager {
 public:
  int CompCreate(const char*, void**, CObject*) override { return Record("create", 1); }
  int CompDelete(void*) override { return Record("delete", 1); }
  int CompStop(void* handle) override {
    stopped = handle;
    return Record("stop", stop_result);
  }
  int CompStart(IWbemServices* services, void* handle) override {
    started = {services, handle};
    return Record("start", start_result);
  }
  int CompCheck(IWbemServices*, void*) override { return Record("check", 1); }

  int Record(const char* what, int result) {
    calls += std::string(what) + " ";
    return result;
  }
  std::string calls;
  int stop_result = 1, start_result = 1;
  void* stopped = nullptr;
  std::pair<IWbemServices*, void*> started;
};

TEST(ComponentManagerTest, RecoveryStopsThenStartsWithTheNewServicesAndGivesStartsResult) {
  for (const auto& [stop_result, start_result] : {std::pair{1, 1}, {0, 1}, {1, 0}}) {
    SCOPED_TRACE(testing::Message() << stop_result << "/" << start_result);
    RecordingManager manager;
    manager.stop_result = stop_result;
    manager.start_result = start_result;
    auto* services = reinterpret_cast<IWbemServices*>(0x10);
    int handle = 0;
    EXPECT_EQ(manager.CompRecovery(services, &handle), start_result);
    EXPECT_EQ(manager.calls, "stop start ");
    EXPECT_EQ(manager.stopped, &handle);
    EXPECT_EQ(manager.started, std::make_pair(services, static_cast<void*>(&handle)));
  }
}

}  // namespace
