// CTemporarySink against the real repository. Threaded: labelled "threads".
#include "host/temporary_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "host/testing/log_capture.h"
#include "repository/repository.h"
#include "testing/wait.h"
#include "wbem/testing/leak_check.h"

namespace {

using ::testing::ElementsAre;
constexpr char kAll[] = "SELECT * FROM ZRV_Event";
IWbemServices* const kNoServices = nullptr;

// Collects the EventId of each event; `on_event` runs inside the delivery.
class TestSink : public CTemporarySink {
 public:
  explicit TestSink(const std::string& profile, const std::string& query = kAll) {
    m_strProfileName = profile;
    m_strSinkId = "TEST@" + profile;
    m_strPingEventClass = "ZRV_Event_Ping";
    SetWQLQuery(query);
  }
  ~TestSink() override { Stop(); }  // our ProcessEvent uses our members
  int ProcessEvent(IWbemClassObject* event) override {
    wbem::Variant id;
    event->Get(u"EventId", 0, id.Out(), nullptr, nullptr);
    std::lock_guard lock(mu);
    ids.push_back(id.AsUtf8());
    if (on_event) on_event();
    return 1;
  }
  std::vector<std::string> Ids() {
    std::lock_guard lock(mu);
    return ids;
  }
  std::mutex mu;
  std::vector<std::string> ids;
  std::function<void()> on_event;
};

class TemporarySinkTest : public wbem::testing::LeakCheckedTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(ns_.Define(repository::Class("ZRV_Event")
                             .Property("ProfileName", CIM_STRING)
                             .Property("EventId", CIM_STRING)),
              WBEM_S_NO_ERROR);
    services_ = ns_.Services();
  }
  // Raises one event per id and, unless told not to, waits for their delivery.
  void Raise(const char* profile, std::initializer_list<const char*> ids, bool wait = true) {
    for (const char* id : ids) {
      ASSERT_EQ(ns_.Raise("ZRV_Event", {{"ProfileName", profile}, {"EventId", id}}),
                WBEM_S_NO_ERROR);
    }
    if (wait) {
      ASSERT_TRUE(repo_.WaitIdle());
    }
  }

  repository::Repository repo_;
  repository::Namespace ns_ = repo_.OpenNamespace("root\\zrv");
  wbem::ComPtr<IWbemServices> services_;
  LogCapture log_;
};

TEST_F(TemporarySinkTest, DeliversMatchingEventsBetweenStartAndStop) {
  TestSink sink("P", R"(SELECT * FROM ZRV_Event WHERE ProfileName="P")");
  EXPECT_EQ(std::pair(sink.Check(), sink.GetServices()), std::pair(0, kNoServices));
  Raise("P", {"before"});
  // A second Start resubscribes, it does not subscribe twice.
  EXPECT_EQ((std::tuple{sink.Start(services_.get()), sink.Start(services_.get()), sink.Check(),
                        sink.GetServices()}),
            std::tuple(1, 1, 1, services_.get()));
  Raise("P", {"1"});
  Raise("Q", {"other profile"});
  Raise("P", {"2"});
  // The services are kept for the executors.
  EXPECT_EQ((std::tuple{sink.Stop(), sink.Stop(), sink.Check(), sink.GetServices()}),
            std::tuple(1, 0, 0, services_.get()));
  Raise("P", {"after"});
  EXPECT_THAT(sink.Ids(), ElementsAre("1", "2"));
  EXPECT_TRUE(log_.Take().empty());
}

TEST_F(TemporarySinkTest, StartFailsCleanlyAndSays) {
  TestSink bad("P\"", R"(SELECT * FROM ZRV_Event WHERE ProfileName="P"")"), empty("P", "");
  EXPECT_EQ((std::tuple{bad.Start(services_.get()), bad.Check(), bad.GetServices()}),
            std::tuple(0, 0, kNoServices));
  EXPECT_EQ((std::pair{empty.Start(services_.get()), empty.Start(nullptr)}), std::pair(0, 0));
  EXPECT_THAT(log_.Take(), ElementsAre("0 ZRVUtils: Sink TEST@P\": subscription with query "
                                       "'SELECT * FROM ZRV_Event WHERE ProfileName=\"P\"\"' failed "
                                       "(hres=2147749911)",
                                       "0 ZRVUtils: Sink TEST@P: cannot start without a query",
                                       "0 ZRVUtils: Sink TEST@P: cannot start without services"));
}

// Reference counting and QueryInterface are the interface kit's owned-object
// base (wbem/tests/com_object_test.cc); the sink adds Indicate.
TEST_F(TemporarySinkTest, IndicateDeliversEachObject) {
  TestSink sink("P");
  wbem::ComPtr<IWbemClassObject> a, b;
  ASSERT_EQ(ns_.NewInstance("ZRV_Event", {{"EventId", "a"}}, &a), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.NewInstance("ZRV_Event", {{"EventId", "b"}}, &b), WBEM_S_NO_ERROR);
  IWbemClassObject* objects[] = {a.get(), nullptr, b.get()};
  EXPECT_EQ((std::tuple{sink.Indicate(3, objects), sink.Indicate(-1, objects),
                        sink.Indicate(1, nullptr)}),
            std::tuple(WBEM_S_NO_ERROR, WBEM_E_INVALID_PARAMETER, WBEM_E_INVALID_PARAMETER));
  EXPECT_THAT(sink.Ids(), ElementsAre("a", "b"));
}

TEST_F(TemporarySinkTest, DestroyingAStartedSinkCancelsAndWaitsForTheDelivery) {
  std::promise<void> started, release;
  auto released = release.get_future().share();
  std::atomic<bool> destroyed{false};
  auto* sink = new TestSink("P");
  bool first = true;
  sink->on_event = [&] {
    if (!std::exchange(first, false)) return;
    started.set_value();
    released.wait();
    EXPECT_FALSE(destroyed);
  };
  ASSERT_EQ(sink->Start(services_.get()), 1);
  Raise("P", {"1", "2"}, /*wait=*/false);
  started.get_future().wait();
  std::atomic<int> deleter_tid{0};
  std::thread deleter([&] {
    deleter_tid = ::gettid();
    delete sink;
    destroyed = true;
  });
  // Until the deleter has either finished or gone to sleep inside the
  // destructor: a mere pause could end before the deleter even started.
  amtest::WaitUntilAsleepOrDone(deleter_tid, destroyed);
  EXPECT_FALSE(destroyed) << "the sink was destroyed during a delivery";
  release.set_value();
  deleter.join();
  ASSERT_TRUE(repo_.WaitIdle());
}

// The base's own destructor, with nothing of the subclass's to protect.
class MinimalSink : public CTemporarySink {
 public:
  MinimalSink() { SetWQLQuery(kAll); }
  int ProcessEvent(IWbemClassObject*) override {
    ++events;
    return 1;
  }
  std::atomic<int> events{0};
};

TEST_F(TemporarySinkTest, BaseDestructorReleasesSubscriptionAndServices) {
  {
    MinimalSink sink;
    ASSERT_EQ(sink.Start(services_.get()), 1);
    Raise("P", {"1"});
    EXPECT_EQ(sink.events, 1);
  }
  Raise("P", {"2"});  // no subscriber left to reach
  // The leak check of the fixture proves the services reference was dropped.
}

TEST_F(TemporarySinkTest, StopFromInsideProcessEventEndsDelivery) {
  TestSink sink("P");
  sink.on_event = [&] { EXPECT_EQ(sink.Stop(), 1); };
  ASSERT_EQ(sink.Start(services_.get()), 1);
  Raise("P", {"1", "2", "3"});
  EXPECT_THAT(sink.Ids(), ElementsAre("1"));
  EXPECT_EQ(sink.Check(), 0);
}

// The text form is the interface kit's (wbem's FormatVariant); the sink
// only turns its outcome into 1 or 0.
TEST(DecodeVariantTest, GivesTheTextFormOrRefusesLeavingTheTextAlone) {
  VARIANT object;
  VariantInit(&object);
  object.vt = VT_UNKNOWN;
  std::string text = "old";
  EXPECT_EQ(CTemporarySink::DecodeVariant(object, text), 0);
  EXPECT_EQ(text, "old");
  EXPECT_EQ(CTemporarySink::DecodeVariant(wbem::Variant(-42).get(), text), 1);
  EXPECT_EQ(text, "-42");
}

}  // namespace
