// The load and unload steps, with registration functions the test controls.
#include "component/library_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "component/action_manager_manager.h"
#include "component/tests/test_support.h"

namespace component_test {
namespace {

using ::testing::ElementsAre;

// What the registration functions saw: the log lines written before them.
std::vector<std::string> g_lines_before_register;
int g_unregistered = 0;
LogCapture* g_log = nullptr;

bool RegisterOk() {
  g_lines_before_register = g_log->Lines();
  return true;
}
bool RegisterFails() {
  g_lines_before_register = g_log->Lines();
  return false;
}
void Unregister() { ++g_unregistered; }

class LibraryStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = &log_;
    g_unregistered = 0;
    g_lines_before_register.clear();
  }
  void TearDown() override {
    // Leave the library usable for the other tests of this binary.
    am::AttachLibrary(&RegisterOk);
    am::DetachLibrary(&Unregister);
    g_log = nullptr;
  }
  LogCapture log_;
};

TEST_F(LibraryStateTest, LoadLogsBeforeRegisteringAndUnloadUnregisters) {
  EXPECT_TRUE(am::AttachLibrary(&RegisterOk));
  EXPECT_THAT(g_lines_before_register,
              ElementsAre("3 ActionManager: Initializing ActionManager.dll"));
  EXPECT_TRUE(am::IsLibraryUsable());
  EXPECT_NE(CActionManagerManager::GetInstance(), nullptr);
  am::DetachLibrary(&Unregister);
  EXPECT_EQ(g_unregistered, 1);
  EXPECT_THAT(log_.Lines(), ElementsAre("3 ActionManager: Initializing ActionManager.dll",
                                        "3 ActionManager: Terminating ActionManager.dll"));
}

TEST_F(LibraryStateTest, FailedRegistrationMakesTheLibraryRefuseAndUnregistersNothing) {
  EXPECT_FALSE(am::AttachLibrary(&RegisterFails));
  EXPECT_FALSE(am::IsLibraryUsable());
  EXPECT_EQ(CActionManagerManager::GetInstance(), nullptr);
  EXPECT_THAT(log_.Lines(), ElementsAre("3 ActionManager: Initializing ActionManager.dll"));
  am::DetachLibrary(&Unregister);
  EXPECT_EQ(g_unregistered, 0);
  EXPECT_THAT(log_.Lines(), ElementsAre("3 ActionManager: Initializing ActionManager.dll",
                                        "3 ActionManager: Terminating ActionManager.dll"));
}

}  // namespace
}  // namespace component_test
