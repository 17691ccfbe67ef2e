#include "host/component_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records the operations the base forwards to, in order.
class RecordingManager : public CComponentManager {
 public:
  int CompCreate(const char*, void**, CObject*) override { return Record("create", 1); }
  int CompDelete(void*) override { return Record("delete", 1); }
  int CompStop(void*) override { return Record("stop", stop_result); }
  int CompStart(IWbemServices* services, void* handle) override {
    last_services = services;
    last_handle = handle;
    return Record("start", start_result);
  }
  int CompCheck(IWbemServices*, void*) override { return Record("check", 1); }

  int Record(const char* what, int result) {
    calls.push_back(what);
    return result;
  }
  std::vector<std::string> calls;
  int stop_result = 1;
  int start_result = 1;
  IWbemServices* last_services = nullptr;
  void* last_handle = nullptr;
};

TEST(ComponentManagerTest, RecoveryRestartsWithTheNewServices) {
  struct Case {
    int stop_result;
    int start_result;
  };
  for (const Case c : {Case{1, 1}, Case{0, 1}, Case{1, 0}}) {
    SCOPED_TRACE(testing::Message() << c.stop_result << "/" << c.start_result);
    RecordingManager manager;
    manager.stop_result = c.stop_result;
    manager.start_result = c.start_result;
    auto* services = reinterpret_cast<IWbemServices*>(0x10);
    int handle = 0;
    EXPECT_EQ(manager.CompRecovery(services, &handle), c.start_result);
    EXPECT_EQ(manager.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_EQ(manager.last_services, services);
    EXPECT_EQ(manager.last_handle, &handle);
  }
}

TEST(ComponentManagerTest, DeleteAllTouchesNoComponent) {
  RecordingManager manager;
  EXPECT_EQ(manager.DeleteAll(), 1);
  EXPECT_TRUE(manager.calls.empty());
}

}  // namespace
