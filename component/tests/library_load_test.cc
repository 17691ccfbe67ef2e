// Loads and unloads the real libActionManager.so. This executable links only
// the host framework and the repository, never the layers themselves, so
// everything of the component that it uses comes from the loaded library.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "actions/testing/journal.h"
#include "host/dispatcher.h"
#include "settings/object.h"
#include "testing/temp_dir.h"

#if defined(__SANITIZE_ADDRESS__)
// One test loads two copies of the library on purpose, which the address
// sanitizer would report as a violation of the one-definition rule. Leaks are
// not checked here: the settings' class registry is never freed by design, so
// every load and unload leaves it behind, and once the library is unmapped
// the report cannot be told apart from others. The component's own leaks are
// checked by the statically linked tests.
extern "C" const char* __asan_default_options() { return "detect_odr_violation=0:detect_leaks=0"; }
#endif

namespace {

using ::testing::ElementsAre;

constexpr const char* kFromName = "_ZN13CRuntimeClass8FromNameEPKc";
constexpr const char* kGetInstance = "_ZN21CActionManagerManager11GetInstanceEv";
constexpr const char* kManagerDestructor = "_ZN21CActionManagerManagerD1Ev";

using FromNameFn = const CRuntimeClass* (*)(const char*);
using GetInstanceFn = void* (*)();
using DestructorFn = void (*)(void*);

class LibraryLoadTest : public ::testing::Test {
 protected:
  std::vector<std::string> Take() { return journal_.Take(); }

  template <typename Fn>
  static Fn Symbol(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
  }

  actions::testing::Journal journal_;
};

constexpr const char* kSettingsClasses[] = {
    "CParamsList",           "CBaseActionInfo", "CBuiltInActionInfo",     "CTaskActionInfo",
    "CProgramActionInfo",    "CActionRule",     "CActionManagerSettings", "CStringListParameter",
    "CNumericListParameter",
};

TEST_F(LibraryLoadTest, LoadRegistersTheSettingsClassesAndUnloadLogs) {
  void* library = dlopen(AM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_THAT(Take(), ElementsAre("3 ActionManager: Initializing ActionManager.dll"));

  auto from_name = Symbol<FromNameFn>(library, kFromName);
  ASSERT_NE(from_name, nullptr) << dlerror();
  for (const char* name : kSettingsClasses) {
    SCOPED_TRACE(name);
    const CRuntimeClass* record = from_name(name);
    ASSERT_NE(record, nullptr);
    ASSERT_NE(record->m_pfnCreateObject, nullptr);
    std::unique_ptr<CObject> object = record->m_pfnCreateObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetRuntimeClass(), record);
    EXPECT_STREQ(object->GetRuntimeClass()->m_lpszClassName, name);
  }
  EXPECT_EQ(from_name("CImplActionRule"), nullptr);

  // The host's view: the manager exists and subscribes once; the host
  // destroys it before letting the library go.
  auto get_instance = Symbol<GetInstanceFn>(library, kGetInstance);
  auto destroy = Symbol<DestructorFn>(library, kManagerDestructor);
  ASSERT_NE(get_instance, nullptr);
  ASSERT_NE(destroy, nullptr);
  void* manager = get_instance();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(get_instance(), manager);
  EXPECT_EQ(CDispatcher::GetInstance()->SubscriberCount(1131), 1u);
  destroy(manager);
  ::operator delete(manager);
  EXPECT_EQ(CDispatcher::GetInstance()->SubscriberCount(1131), 0u);

  Take();
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_THAT(Take(), ElementsAre("3 ActionManager: Terminating ActionManager.dll"));
}

TEST_F(LibraryLoadTest, ASecondCopyFailsCleanlyAndLeavesTheFirstAlone) {
  // A second copy of the library in one process finds the settings classes
  // registered by the first: it must refuse to run and must not take the
  // first copy's classes down when it goes.
  const amtest::TempDir dir;
  const std::filesystem::path copy = dir / "libActionManager-copy.so";
  std::filesystem::copy_file(AM_LIBRARY_PATH, copy,
                             std::filesystem::copy_options::overwrite_existing);

  void* first = dlopen(AM_LIBRARY_PATH, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(first, nullptr) << dlerror();
  Take();
  void* second = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(second, nullptr) << dlerror();
  EXPECT_THAT(Take(), ElementsAre("3 ActionManager: Initializing ActionManager.dll"));

  auto get_instance = Symbol<GetInstanceFn>(second, kGetInstance);
  ASSERT_NE(get_instance, nullptr);
  EXPECT_EQ(get_instance(), nullptr);
  EXPECT_EQ(CDispatcher::GetInstance()->SubscriberCount(1131), 0u);

  ASSERT_EQ(dlclose(second), 0);
  EXPECT_THAT(Take(), ElementsAre("3 ActionManager: Terminating ActionManager.dll"));
  auto from_name = Symbol<FromNameFn>(first, kFromName);
  ASSERT_NE(from_name, nullptr);
  EXPECT_NE(from_name("CActionManagerSettings"), nullptr);

  ASSERT_EQ(dlclose(first), 0);
}

}  // namespace
