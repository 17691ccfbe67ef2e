// The load and unload steps, with registration functions the test controls.
#include "component/library_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "component/action_manager_manager.h"
#include "component/testing/journal.h"

namespace {

using ::testing::ElementsAre;

am_testing::Journal* g_journal = nullptr;
std::vector<std::string> g_lines_before_register;
int g_unregistered = 0;

template <bool kResult>
bool Register() {
  g_lines_before_register = g_journal->TakeAll();
  return kResult;
}
void Unregister() { ++g_unregistered; }

TEST(LibraryStateTest, LoadLogsBeforeRegisteringAndFailedRegistrationRefusesTheLibrary) {
  const std::string init = "3 ActionManager: Initializing ActionManager.dll";
  const std::string term = "3 ActionManager: Terminating ActionManager.dll";
  am_testing::Journal journal;
  g_journal = &journal;
  for (const bool registers : {true, false}) {
    SCOPED_TRACE(registers);
    g_unregistered = 0;
    EXPECT_EQ(am::AttachLibrary(registers ? &Register<true> : &Register<false>), registers);
    EXPECT_THAT(g_lines_before_register, ElementsAre(init));
    EXPECT_EQ(am::IsLibraryUsable(), registers);
    EXPECT_EQ(CActionManagerManager::GetInstance() != nullptr, registers);
    am::DetachLibrary(&Unregister);
    EXPECT_EQ(g_unregistered, registers ? 1 : 0);
    EXPECT_THAT(journal.Take(), ElementsAre(term));
  }
  // Leave the library usable for the other tests of this binary.
  am::AttachLibrary(&Register<true>);
  am::DetachLibrary(&Unregister);
  g_journal = nullptr;
}

}  // namespace
