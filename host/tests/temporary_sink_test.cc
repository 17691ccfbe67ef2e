// CTemporarySink against the real repository. Threaded: labelled "threads".
#include "host/temporary_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "host/tests/log_capture.h"
#include "repository/repository.h"
#include "wbem/testing/leak_check.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
constexpr char kAll[] = "SELECT * FROM ZRV_Event";

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
  EXPECT_EQ(sink.Check(), 0);
  EXPECT_EQ(sink.GetServices(), nullptr);
  Raise("P", {"before"});
  ASSERT_EQ(sink.Start(services_.get()), 1);
  ASSERT_EQ(sink.Start(services_.get()), 1);  // resubscribes, does not subscribe twice
  EXPECT_EQ(sink.Check(), 1);
  EXPECT_EQ(sink.GetServices(), services_.get());
  Raise("P", {"1"});
  Raise("Q", {"other profile"});
  Raise("P", {"2"});
  EXPECT_EQ(sink.Stop(), 1);
  EXPECT_EQ(sink.Stop(), 0);
  EXPECT_EQ(sink.Check(), 0);
  EXPECT_EQ(sink.GetServices(), services_.get());  // kept for the executors
  Raise("P", {"after"});
  EXPECT_THAT(sink.Ids(), ElementsAre("1", "2"));
  EXPECT_TRUE(log_.Take().empty());
}

TEST_F(TemporarySinkTest, StartFailsCleanlyAndSays) {
  TestSink bad("P\"", R"(SELECT * FROM ZRV_Event WHERE ProfileName="P"")");
  EXPECT_EQ(bad.Start(services_.get()), 0);
  EXPECT_EQ(bad.Check(), 0);
  EXPECT_EQ(bad.GetServices(), nullptr);
  TestSink empty("P", "");
  EXPECT_EQ(empty.Start(services_.get()), 0);
  EXPECT_EQ(empty.Start(nullptr), 0);
  EXPECT_THAT(log_.Take(), ElementsAre("0 ZRVUtils: Sink TEST@P\": subscription with query "
                                       "'SELECT * FROM ZRV_Event WHERE ProfileName=\"P\"\"' failed "
                                       "(hres=2147749911)",
                                       "0 ZRVUtils: Sink TEST@P: cannot start without a query",
                                       "0 ZRVUtils: Sink TEST@P: cannot start without services"));
}

TEST_F(TemporarySinkTest, ComEntriesCountWithoutDeletingAndIndicateEachObject) {
  TestSink sink("P");
  EXPECT_EQ(sink.AddRef(), 1u);
  EXPECT_EQ(sink.Release(), 0u);
  EXPECT_EQ(sink.Release(), 0u);  // not below zero, and the sink lives on
  wbem::ComPtr<IUnknown> unknown;
  EXPECT_EQ(sink.QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.Out())), S_OK);
  EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(&sink));
  void* none = &sink;
  EXPECT_EQ(sink.QueryInterface(IID_IWbemServices, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  wbem::ComPtr<IWbemClassObject> a, b;
  ASSERT_EQ(ns_.NewInstance("ZRV_Event", {{"EventId", "a"}}, &a), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.NewInstance("ZRV_Event", {{"EventId", "b"}}, &b), WBEM_S_NO_ERROR);
  IWbemClassObject* objects[] = {a.get(), nullptr, b.get()};
  EXPECT_EQ(sink.Indicate(3, objects), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink.Indicate(-1, objects), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(sink.Indicate(1, nullptr), WBEM_E_INVALID_PARAMETER);
  EXPECT_THAT(sink.Ids(), ElementsAre("a", "b"));
}

// Whether thread `tid` of this process is asleep in the kernel (waiting).
bool Asleep(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string stat{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() &&
         (stat[close + 2] == 'S' || stat[close + 2] == 'D');
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
  std::atomic<pid_t> deleter_tid{0};
  std::thread deleter([&] {
    deleter_tid = ::gettid();
    delete sink;
    destroyed = true;
  });
  // Until the deleter has either finished or gone to sleep inside the
  // destructor: a mere pause could end before the deleter even started.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!destroyed && !(deleter_tid != 0 && Asleep(deleter_tid)) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
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

TEST(DecodeVariantTest, WritesTheDocumentedTextOrRefuses) {
  VARIANT object, array;
  VariantInit(&object);
  VariantInit(&array);
  object.vt = VT_UNKNOWN;
  array.vt = VT_ARRAY | VT_BSTR;
  const wbem::Variant i4(-42), ui1(std::uint8_t{255}), i8(std::int64_t{1} << 40), r8(2.5),
      r8_third(1.0 / 3), r4_third(1.0f / 3), yes(true), bstr("é"), null(nullptr), empty;
  const struct {
    const char* name;
    const VARIANT& value;
    int result;
    const char* text;
  } cases[] = {
      {"i4", i4.get(), 1, "-42"},
      {"ui1", ui1.get(), 1, "255"},
      {"i8", i8.get(), 1, "1099511627776"},
      {"r8", r8.get(), 1, "2.5"},
      {"r8 third", r8_third.get(), 1, "0.3333333333333333"},
      {"r4 third", r4_third.get(), 1, "0.33333334"},
      {"bool", yes.get(), 1, "TRUE"},
      {"bstr", bstr.get(), 1, "é"},
      {"null", null.get(), 1, ""},
      {"empty", empty.get(), 1, ""},
      {"object", object, 0, "old"},
      {"array", array, 0, "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = "old";
    EXPECT_EQ(CTemporarySink::DecodeVariant(c.value, text), c.result);
    EXPECT_EQ(text, c.text);
  }
}

}  // namespace
