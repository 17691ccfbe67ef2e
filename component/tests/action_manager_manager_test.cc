// The manager: the singleton and its task subscriber, and the five component
// operations over whole profile lifecycles.
#include "component/action_manager_manager.h"

#include <new>

#include "component/tests/component_world.h"
#include "host/dispatcher.h"

namespace component_test {
namespace {

class ActionManagerManagerTest : public ComponentTest {};

TEST_F(ActionManagerManagerTest, SingletonSubscribesOnceAndAcknowledgesTaskMessages) {
  ASSERT_NE(manager_, nullptr);
  EXPECT_EQ(CActionManagerManager::GetInstance(), manager_);
  CDispatcher* dispatcher = CDispatcher::GetInstance();
  EXPECT_EQ(dispatcher->SubscriberCount(1131), 1u);
  ASSERT_NE(manager_->GetTaskMessageSink(), nullptr);
  journal_->Take();
  EXPECT_EQ(dispatcher->SendMessage(1131, 0, 0), 1);
  EXPECT_EQ(manager_->GetTaskMessageSink()->ProcessMessage(7, 1, -1), 1);
  const std::string done = "3 TasksManager: Message ZRV2K_EXECTASK successfully processed...";
  EXPECT_THAT(journal_->Take(), ElementsAre(done, done));

  // The host may destroy the manager: the subscription goes with it, and the
  // next GetInstance builds a fresh manager that subscribes again, once.
  delete manager_;
  EXPECT_EQ(dispatcher->SubscriberCount(1131), 0u);
  EXPECT_EQ(dispatcher->SendMessage(1131, 0, 0), 0);
  manager_ = CActionManagerManager::GetInstance();
  ASSERT_NE(manager_, nullptr);
  EXPECT_EQ(CActionManagerManager::GetInstance(), manager_);
  EXPECT_EQ(dispatcher->SubscriberCount(1131), 1u);
}

std::unique_ptr<CImplBaseActionInfo> OutOfMemoryFactory(const CBaseActionInfo& info) {
  if (dynamic_cast<const RecordingActionInfo*>(&info) != nullptr) throw std::bad_alloc();
  return nullptr;
}

TEST_F(ActionManagerManagerTest, CompCreateRefusesAndLeavesTheHandleAlone) {
  CActionRule rule;
  CTaskActionInfo task;
  CActionManagerSettings settings;
  CActionManagerSettings out_of_memory;
  AddRule(out_of_memory, "CPU_HIGH", ActionList(Task(0)));
  AddRule(out_of_memory, "Disk_Full", ActionList(Task(1), Recording("A"), Task(2)));
  void* const kUntouched = reinterpret_cast<void*>(0x1234);
  void* handle = kUntouched;
  struct Case {
    const char* profile;
    CObject* settings;
    void** handle;
    const char* line;
  };
  const Case cases[] = {
      {"Prof", &rule, &handle, "Cannot create action manager Prof: bad type of settings"},
      {"Q", &task, &handle, "Cannot create action manager Q: bad type of settings"},
      {"R", nullptr, &handle, "Cannot create action manager R: bad type of settings"},
      {nullptr, &settings, &handle,
       "Cannot create action manager (null): no profile name or no handle"},
      {"P", &settings, nullptr, "Cannot create action manager P: no profile name or no handle"},
      {"P", &out_of_memory, &handle, "Cannot create action manager P: out of memory"},
  };
  CImplActionRule::SetExecutorFactoryForTesting(&OutOfMemoryFactory);
  journal_->Take();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(manager_->CompCreate(c.profile, c.handle, c.settings), 0);
    EXPECT_EQ(handle, kUntouched);
    EXPECT_THAT(journal_->Take(), ElementsAre(std::string("0 ActionManager: ") + c.line));
  }
}

TEST_F(ActionManagerManagerTest, FullLifecycleThroughTheManager) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("A")));
  void* handle = nullptr;
  ASSERT_EQ(manager_->CompCreate("P", &handle, &settings), 1);
  ASSERT_NE(handle, nullptr);
  Raise("Disk_Full", {{"EventId", "1"}});  // not started: not delivered
  EXPECT_EQ(manager_->CompCheck(services_.get(), handle), 0);
  EXPECT_EQ(manager_->CompStart(nullptr, handle), 0);
  EXPECT_EQ(manager_->CompStart(services_.get(), handle), 1);
  EXPECT_EQ(static_cast<CActionManagerSink*>(handle)->GetServices(), services_.get());
  Raise("Disk_Full", {{"EventId", "2"}});

  // CompCheck ignores the services it is given.
  repository::Repository other_repo;
  auto other = other_repo.OpenNamespace("root\\other").Services();
  IWbemServices* const all[] = {services_.get(), other.get(), nullptr};
  for (IWbemServices* s : all) EXPECT_EQ(manager_->CompCheck(s, handle), 1);
  EXPECT_EQ(manager_->CompStop(handle), 1);
  for (IWbemServices* s : all) EXPECT_EQ(manager_->CompCheck(s, handle), 0);
  EXPECT_EQ(manager_->CompStop(handle), 0);
  Raise("Disk_Full", {{"EventId", "3"}});                      // stopped: not delivered
  EXPECT_EQ(manager_->CompStart(services_.get(), handle), 1);  // restart
  Raise("Disk_Full", {{"EventId", "4"}});
  EXPECT_EQ(manager_->CompStop(handle), 1);
  EXPECT_EQ(manager_->CompDelete(handle), 1);
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("A@2", "A@4"));

  EXPECT_EQ(manager_->CompDelete(nullptr), 1);
  EXPECT_EQ(manager_->CompStart(services_.get(), nullptr), 0);
  EXPECT_EQ(manager_->CompStop(nullptr), 0);
  EXPECT_EQ(manager_->CompCheck(services_.get(), nullptr), 0);
}

TEST_F(ActionManagerManagerTest, DeletingAStartedComponentDetachesItWithoutStop) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("A")));
  void* handle = nullptr;
  ASSERT_EQ(manager_->CompCreate("P", &handle, &settings), 1);
  ASSERT_EQ(manager_->CompStart(services_.get(), handle), 1);
  // Deliveries may be in flight while the component goes.
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(ns_.Raise("Disk_Full", {{"ProfileName", "P"}, {"EventId", std::to_string(i)}}),
              WBEM_S_NO_ERROR);
  }
  EXPECT_EQ(manager_->CompDelete(handle), 1);
  // What ran before the component went ran once per event, in order; what
  // was still queued never reaches it.
  const std::vector<std::string> ran = Recorder::Get().Take();
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_THAT(Recorder::Get().Take(), IsEmpty()) << "a queued event reached the deleted component";
  for (std::size_t i = 0; i < ran.size(); ++i) EXPECT_EQ(ran[i], "A@" + std::to_string(i));
  Raise("Disk_Full", {{"EventId", "late"}});
  EXPECT_THAT(Recorder::Get().Take(), IsEmpty());
}

TEST_F(ActionManagerManagerTest, TheComponentKeepsACopyOfTheSettings) {
  auto settings = std::make_unique<CActionManagerSettings>();
  AddRule(*settings, "Disk_Full", ActionList(Recording("A", 1)));
  CActionManagerSink* sink = Component(*settings);
  ASSERT_NE(sink, nullptr);
  // Changed: a new limit, a new action, a new rule; then cleared and gone.
  settings->m_mapRules.Lookup("Disk_Full")->Lookup("a0")->m_wExecLimit = 0;
  settings->m_mapRules.Lookup("Disk_Full")->SetAt("extra", Recording("B"));
  AddRule(*settings, "CPU_HIGH", ActionList(Recording("C")));
  Raise("Disk_Full", {{"EventId", "1"}});
  settings->ClearAll();
  Raise("Disk_Full", {{"EventId", "1"}});
  settings.reset();
  Raise("Disk_Full", {{"EventId", "2"}});
  Raise("CPU_HIGH", {{"EventId", "2"}});
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("A@1", "A@2"));
  EXPECT_EQ(sink->GetRuleCount(), 1u);
}

}  // namespace
}  // namespace component_test
