// CTemporarySink against the real repository. Threaded: labelled "threads".
#include "host/temporary_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>

#include "host/trace_utils.h"
#include "wbem/repository.h"
#include "wbem/testing/leak_check.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

class TestSink : public CTemporarySink {
 public:
  explicit TestSink(const std::string& profile, const std::string& query) {
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
    ASSERT_EQ(ns_.Define(wbem::Class("ZRV_Event")
                             .Property("ProfileName", CIM_STRING)
                             .Property("EventId", CIM_STRING)),
              WBEM_S_NO_ERROR);
    services_ = ns_.Services();
    CTraceUtils::GetInstance()->SetLineSink(
        [this](int level, const std::string& component, const std::string& message) {
          log_.push_back(std::to_string(level) + " " + component + ": " + message);
        });
  }
  void TearDown() override { CTraceUtils::GetInstance()->SetLineSink({}); }

  HRESULT Raise(const char* profile, const char* id) {
    return ns_.Raise("ZRV_Event", {{"ProfileName", profile}, {"EventId", id}});
  }

  wbem::Repository repo_;
  wbem::Namespace ns_ = repo_.OpenNamespace("root\\zrv");
  wbem::ComPtr<IWbemServices> services_;
  std::vector<std::string> log_;
};

TEST_F(TemporarySinkTest, DeliversMatchingEventsBetweenStartAndStop) {
  TestSink sink("P", R"(SELECT * FROM ZRV_Event WHERE ProfileName="P")");
  EXPECT_EQ(sink.Check(), 0);
  EXPECT_EQ(sink.GetServices(), nullptr);
  ASSERT_EQ(Raise("P", "before"), WBEM_S_NO_ERROR);
  ASSERT_EQ(sink.Start(services_.get()), 1);
  EXPECT_EQ(sink.Check(), 1);
  EXPECT_EQ(sink.GetServices(), services_.get());
  ASSERT_EQ(Raise("P", "1"), WBEM_S_NO_ERROR);
  ASSERT_EQ(Raise("Q", "other profile"), WBEM_S_NO_ERROR);
  ASSERT_EQ(Raise("P", "2"), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_EQ(sink.Stop(), 1);
  EXPECT_EQ(sink.Stop(), 0);
  EXPECT_EQ(sink.Check(), 0);
  EXPECT_EQ(sink.GetServices(), services_.get());  // kept for the executors
  ASSERT_EQ(Raise("P", "after"), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_THAT(sink.Ids(), ElementsAre("1", "2"));
  EXPECT_TRUE(log_.empty());
}

TEST_F(TemporarySinkTest, AccessorsGiveWhatTheSubclassSet) {
  TestSink sink("P\\x", "SELECT * FROM ZRV_Event");
  EXPECT_EQ(sink.GetProfileName(), "P\\x");
  EXPECT_EQ(sink.GetSinkId(), "TEST@P\\x");
  EXPECT_EQ(sink.GetPingEventClass(), "ZRV_Event_Ping");
  EXPECT_EQ(sink.GetWQLQuery(), "SELECT * FROM ZRV_Event");
}

TEST_F(TemporarySinkTest, StartFailsCleanlyAndSays) {
  TestSink bad("P\"", R"(SELECT * FROM ZRV_Event WHERE ProfileName="P"")");
  EXPECT_EQ(bad.Start(services_.get()), 0);
  EXPECT_EQ(bad.Check(), 0);
  EXPECT_EQ(bad.GetServices(), nullptr);
  TestSink empty("P", "");
  EXPECT_EQ(empty.Start(services_.get()), 0);
  EXPECT_EQ(empty.Start(nullptr), 0);
  EXPECT_THAT(log_, ElementsAre("0 ZRVUtils: Sink TEST@P\": subscription with query "
                                "'SELECT * FROM ZRV_Event WHERE ProfileName=\"P\"\"' failed "
                                "(hres=2147749911)",
                                "0 ZRVUtils: Sink TEST@P: cannot start without a query",
                                "0 ZRVUtils: Sink TEST@P: cannot start without services"));
}

TEST_F(TemporarySinkTest, StartingAgainResubscribesOnce) {
  TestSink sink("P", "SELECT * FROM ZRV_Event");
  ASSERT_EQ(sink.Start(services_.get()), 1);
  ASSERT_EQ(sink.Start(services_.get()), 1);
  ASSERT_EQ(Raise("P", "1"), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_THAT(sink.Ids(), ElementsAre("1"));
}

TEST_F(TemporarySinkTest, ReferenceCountsNeverDeleteTheSink) {
  TestSink sink("P", "SELECT * FROM ZRV_Event");
  EXPECT_EQ(sink.AddRef(), 1u);
  EXPECT_EQ(sink.Release(), 0u);
  EXPECT_EQ(sink.Release(), 0u);  // not below zero, and the sink lives on
  wbem::ComPtr<IUnknown> unknown;
  EXPECT_EQ(sink.QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.Out())), S_OK);
  EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(&sink));
  void* none = &sink;
  EXPECT_EQ(sink.QueryInterface(IID_IWbemServices, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
}

TEST_F(TemporarySinkTest, DirectIndicateReachesProcessEventForEachObject) {
  TestSink sink("P", "SELECT * FROM ZRV_Event");
  wbem::ComPtr<IWbemClassObject> a, b;
  ASSERT_EQ(ns_.NewInstance("ZRV_Event", {{"EventId", "a"}}, &a), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.NewInstance("ZRV_Event", {{"EventId", "b"}}, &b), WBEM_S_NO_ERROR);
  IWbemClassObject* objects[] = {a.get(), nullptr, b.get()};
  EXPECT_EQ(sink.Indicate(3, objects), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.Indicate(-1, objects), WBEM_E_INVALID_PARAMETER);
  EXPECT_THAT(sink.Ids(), ElementsAre("a", "b"));
}

TEST_F(TemporarySinkTest, DestroyingAStartedSinkCancelsAndWaitsForTheDelivery) {
  std::promise<void> started;
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<bool> destroyed{false};
  auto* sink = new TestSink("P", "SELECT * FROM ZRV_Event");
  bool first = true;
  sink->on_event = [&] {
    if (!first) return;
    first = false;
    started.set_value();
    released.wait();
    EXPECT_FALSE(destroyed);
  };
  ASSERT_EQ(sink->Start(services_.get()), 1);
  ASSERT_EQ(Raise("P", "1"), WBEM_S_NO_ERROR);
  ASSERT_EQ(Raise("P", "2"), WBEM_S_NO_ERROR);
  started.get_future().wait();
  std::thread deleter([&] {
    delete sink;
    destroyed = true;
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(destroyed);
  release.set_value();
  deleter.join();
  ASSERT_TRUE(repo_.WaitIdle());
}

// The base's own destructor, with nothing of the subclass's to protect.
class MinimalSink : public CTemporarySink {
 public:
  MinimalSink() { SetWQLQuery("SELECT * FROM ZRV_Event"); }
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
    ASSERT_EQ(Raise("P", "1"), WBEM_S_NO_ERROR);
    ASSERT_TRUE(repo_.WaitIdle());
    EXPECT_EQ(sink.events, 1);
  }
  ASSERT_EQ(Raise("P", "2"), WBEM_S_NO_ERROR);  // no subscriber left to reach
  ASSERT_TRUE(repo_.WaitIdle());
  // The leak check of the fixture proves the services reference was dropped.
}

TEST_F(TemporarySinkTest, StopFromInsideProcessEventEndsDelivery) {
  TestSink sink("P", "SELECT * FROM ZRV_Event");
  sink.on_event = [&] { EXPECT_EQ(sink.Stop(), 1); };
  ASSERT_EQ(sink.Start(services_.get()), 1);
  for (const char* id : {"1", "2", "3"}) ASSERT_EQ(Raise("P", id), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_THAT(sink.Ids(), ElementsAre("1"));
  EXPECT_EQ(sink.Check(), 0);
}

TEST(DecodeVariantTest, WritesTheDocumentedTextOrRefuses) {
  struct Case {
    const char* name;
    wbem::Variant value;
    int result;
    const char* text;
  };
  const Case cases[] = {
      {"i4", wbem::Variant(-42), 1, "-42"},
      {"ui1", wbem::Variant(std::uint8_t{255}), 1, "255"},
      {"i8", wbem::Variant(std::int64_t{1} << 40), 1, "1099511627776"},
      {"r8", wbem::Variant(2.5), 1, "2.5"},
      {"r8 third", wbem::Variant(1.0 / 3), 1, "0.3333333333333333"},
      {"r4 third", wbem::Variant(1.0f / 3), 1, "0.33333334"},
      {"bool", wbem::Variant(true), 1, "TRUE"},
      {"bstr", wbem::Variant("é"), 1, "é"},
      {"null", wbem::Variant(nullptr), 1, ""},
      {"empty", wbem::Variant(), 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = "old";
    EXPECT_EQ(CTemporarySink::DecodeVariant(c.value.get(), text), c.result);
    EXPECT_EQ(text, c.text);
  }
  VARIANT object;
  VariantInit(&object);
  object.vt = VT_UNKNOWN;
  std::string text = "old";
  EXPECT_EQ(CTemporarySink::DecodeVariant(object, text), 0);
  object.vt = VT_ARRAY | VT_BSTR;
  EXPECT_EQ(CTemporarySink::DecodeVariant(object, text), 0);
  EXPECT_EQ(text, "old");
}

}  // namespace
