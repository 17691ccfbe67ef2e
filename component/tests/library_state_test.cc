// The load and unload steps, with registration functions the test controls.
#include "component/library_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "actions/testing/journal.h"
#include "component/action_manager_manager.h"
#include "settings/archive_io.h"

namespace {

using ::testing::ElementsAre;

actions::testing::Journal* g_journal = nullptr;
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
  actions::testing::Journal journal;
  g_journal = &journal;
  for (const bool registers : {true, false}) {
    SCOPED_TRACE(registers);
    g_unregistered = 0;
    EXPECT_EQ(component::AttachLibrary(registers ? &Register<true> : &Register<false>), registers);
    EXPECT_THAT(g_lines_before_register, ElementsAre(init));
    EXPECT_EQ(component::IsLibraryUsable(), registers);
    EXPECT_EQ(CActionManagerManager::GetInstance() != nullptr, registers);
    component::DetachLibrary(&Unregister);
    EXPECT_EQ(g_unregistered, registers ? 1 : 0);
    EXPECT_THAT(journal.Take(), ElementsAre(term));
  }
  // Leave the library usable for the other tests of this binary.
  component::AttachLibrary(&Register<true>);
  g_journal->TakeAll();
  // While attached, every store and load of the settings is logged.
  CActionManagerSettings settings;
  settings.m_mapRules["E"];
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(StoreSettingsArchive(settings, 11, bytes), 1);
  ASSERT_EQ(LoadSettingsArchive(bytes, 11, settings), 1);
  EXPECT_THAT(journal.Take(), ElementsAre("3 ActionManager: Serialized 1 action rules",
                                          "3 ActionManager: De-serialized 1 action rules"));
  component::DetachLibrary(&Unregister);
  g_journal = nullptr;
}

}  // namespace
