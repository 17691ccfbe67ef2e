// Event subscriptions and their asynchronous delivery. Run under the thread
// sanitizer (label "threads").
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "repository/cim.h"
#include "repository/repository.h"
#include "repository/sinks.h"
#include "repository/tests/test_util.h"
#include "testing/wait.h"
#include "wbem/testing/leak_check.h"

namespace repository {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using namespace std::chrono_literals;

// `names` of each event the sink collected, as Text gives them.
std::vector<std::string> Seen(const CollectingSink& sink,
                              std::initializer_list<const char*> names) {
  std::vector<std::string> out;
  for (const auto& object : sink.Objects()) out.push_back(Text(object.get(), names));
  return out;
}

// Holds the delivery that calls Hold() until Open(); Held() returns once one
// is held.
struct Gate {
  void Hold() {
    started.set_value();
    released.wait();
  }
  void Held() { started.get_future().wait(); }
  void Open() { release.set_value(); }
  std::promise<void> started, release;
  std::shared_future<void> released = release.get_future().share();
};

class DeliveryTest : public wbem::testing::LeakCheckedTest {
 protected:
  void SetUp() override {
    for (const Class& cls : {Class("ZRV_Event")
                                 .Property("ProfileName", CIM_STRING)
                                 .Property("EventId", CIM_STRING)
                                 .Property("Seq", CIM_SINT32),
                             Class("Disk_Full", "ZRV_Event").Property("Free", CIM_UINT32),
                             Class("Other").Property("ProfileName", CIM_STRING)}) {
      ASSERT_EQ(ns_.Define(cls), WBEM_S_NO_ERROR);
    }
  }

  Repository repo_;
  Namespace ns_ = repo_.OpenNamespace("root\\zrv");
};

TEST_F(DeliveryTest, MatchesTheClassItsSubclassesAndEveryCondition) {
  auto sink = CollectingSink::Create();
  auto free = CollectingSink::Create();
  ASSERT_EQ(ns_.Subscribe(R"(SELECT * FROM ZRV_Event WHERE ProfileName="a\\b")", sink.get()),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(
      ns_.Subscribe(R"(select * from disk_full where free = "10" and EventId="1")", free.get()),
      WBEM_S_NO_ERROR);
  const std::pair<const char*, PropertyValues> events[] = {
      {"ZRV_Event", {{"ProfileName", "a\\b"}, {"EventId", "1"}}},
      {"Disk_Full", {{"ProfileName", "a\\b"}, {"EventId", "2"}, {"Free", 10}}},
      {"Disk_Full", {{"ProfileName", "A\\B"}, {"EventId", "3"}}},
      {"Disk_Full", {{"EventId", "4"}}},  // NULL never matches
      {"Other", {{"ProfileName", "a\\b"}}},
      {"Disk_Full", {{"EventId", "1"}, {"Free", 10}}},
      {"Disk_Full", {{"EventId", "1"}, {"Free", 11}}},
  };
  for (const auto& [cls, values] : events) ASSERT_EQ(ns_.Raise(cls, values), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_THAT(Seen(*sink, {"EventId", "__CLASS"}), ElementsAre("1|ZRV_Event", "2|Disk_Full"));
  EXPECT_THAT(Seen(*free, {"Free"}), ElementsAre("10"));
}

TEST_F(DeliveryTest, SubscriptionRefusesBadQueries) {
  // Which texts parse is the query parser's (parse_test.cc); here one row per
  // code the subscription adds.
  auto sink = CollectingSink::Create();
  auto services = ns_.Services();
  const std::tuple<const char*, const char*, IWbemObjectSink*, HRESULT> cases[] = {
      {"SQL", "SELECT * FROM ZRV_Event", sink.get(), WBEM_E_INVALID_QUERY_TYPE},
      {"WQL", "SELECT * FROM ZRV_Event WHERE", sink.get(), WBEM_E_INVALID_QUERY},
      {"WQL", "SELECT * FROM Nope", sink.get(), WBEM_E_INVALID_CLASS},
      {"WQL", R"(SELECT * FROM ZRV_Event WHERE Free="1")", sink.get(), WBEM_E_INVALID_PROPERTY},
      {"wql", "SELECT * FROM ZRV_Event", nullptr, WBEM_E_INVALID_PARAMETER},
  };
  for (const auto& [language, query, target, hr] : cases) {
    SCOPED_TRACE(query);
    EXPECT_EQ(services->ExecNotificationQueryAsync(Bstr(language).get(), Bstr(query).get(), 0,
                                                   nullptr, target),
              hr);
  }
  EXPECT_EQ(services->CancelAsyncCall(sink.get()), WBEM_E_NOT_FOUND);
  // A refused subscription leaves nothing behind: the sink gets no event.
  ASSERT_EQ(ns_.Raise("ZRV_Event", {}), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_EQ(sink->Count(), 0u);
}

TEST_F(DeliveryTest, QueryObjectSinkDeliversACopyTakenAtIndicate) {
  auto sink = CollectingSink::Create();
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_Event", sink.get()), WBEM_S_NO_ERROR);
  auto services = ns_.Services();
  ComPtr<IWbemObjectSink> provider;
  ASSERT_EQ(services->QueryObjectSink(0, provider.Out()), WBEM_S_NO_ERROR);
  ComPtr<IWbemClassObject> a, b;
  ASSERT_EQ(ns_.NewInstance("ZRV_Event", {{"EventId", "a"}}, &a), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.NewInstance("Disk_Full", {{"EventId", "b"}}, &b), WBEM_S_NO_ERROR);
  IWbemClassObject* both[] = {a.get(), b.get()};
  ASSERT_EQ(provider->Indicate(2, both), WBEM_S_NO_ERROR);
  ASSERT_EQ(a->Put(u"EventId", 0, Variant("changed").ptr(), 0), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_THAT(Seen(*sink, {"EventId"}), ElementsAre("a", "b"));
  EXPECT_NE(sink->Objects()[0].get(), a.get());

  IWbemClassObject* null_object = nullptr;
  EXPECT_EQ(provider->Indicate(1, &null_object), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(provider->Indicate(1, nullptr), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(provider->Indicate(0, nullptr), WBEM_S_NO_ERROR);
}

TEST_F(DeliveryTest, DeliveryIsSerialAndInOrderUnderConcurrentRaisers) {
  constexpr int kRaisers = 4;
  constexpr int kEach = 150;
  std::atomic<int> in_flight{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::vector<int>> seen(kRaisers);  // written only by the delivery thread
  auto sink = FunctionSink::Create([&](IWbemClassObject* event) {
    if (in_flight.fetch_add(1) != 0) overlapped = true;
    const int raiser = std::stoi(Text(event, "EventId"));
    seen[raiser].push_back(std::stoi(Text(event, "Seq")));
    std::this_thread::yield();
    in_flight.fetch_sub(1);
    return WBEM_S_NO_ERROR;
  });
  // Two subscriptions of one sink: still one delivery at a time.
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_Event", sink.get()), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM Disk_Full", sink.get()), WBEM_S_NO_ERROR);
  std::vector<std::thread> raisers;
  for (int r = 0; r < kRaisers; ++r) {
    raisers.emplace_back([&, r] {
      for (int i = 0; i < kEach; ++i) {
        EXPECT_EQ(ns_.Raise("ZRV_Event", {{"EventId", std::to_string(r)}, {"Seq", i}}),
                  WBEM_S_NO_ERROR);
      }
    });
  }
  for (auto& t : raisers) t.join();
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_FALSE(overlapped);
  std::vector<int> in_order(kEach);
  std::iota(in_order.begin(), in_order.end(), 0);
  EXPECT_THAT(seen, Each(in_order));
  EXPECT_EQ(ns_.Unsubscribe(sink.get()), WBEM_S_NO_ERROR);
}

TEST_F(DeliveryTest, CancelWaitsForTheRunningDeliveryAndDropsTheRest) {
  Gate gate;
  std::atomic<int> delivered{0};
  auto sink = FunctionSink::Create([&](IWbemClassObject*) {
    if (delivered.fetch_add(1) == 0) gate.Hold();
    return WBEM_S_NO_ERROR;
  });
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_Event", sink.get()), WBEM_S_NO_ERROR);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(ns_.Raise("ZRV_Event", {{"Seq", i}}), WBEM_S_NO_ERROR);
  gate.Held();
  EXPECT_FALSE(repo_.WaitIdle(0ms)) << "a delivery is still running";

  std::atomic<int> canceller_tid{0};
  std::atomic<bool> cancel_returned{false};
  std::thread canceller([&] {
    canceller_tid = ::gettid();
    EXPECT_EQ(ns_.Unsubscribe(sink.get()), WBEM_S_NO_ERROR);
    cancel_returned = true;
  });
  // Until the canceller has either returned or gone to sleep inside the
  // cancel: a mere pause could end before the canceller even started.
  amtest::WaitUntilAsleepOrDone(canceller_tid, cancel_returned);
  EXPECT_FALSE(cancel_returned) << "CancelAsyncCall returned during a delivery";
  gate.Open();
  canceller.join();
  EXPECT_TRUE(cancel_returned);
  ASSERT_TRUE(repo_.WaitIdle());  // the four queued events were dropped, not left pending
  EXPECT_EQ(delivered, 1);
  ASSERT_EQ(ns_.Raise("ZRV_Event", {}), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_EQ(delivered, 1);
}

TEST_F(DeliveryTest, CancelFromInsideItsOwnDeliveryReturnsAtOnce) {
  std::atomic<int> delivered{0};
  std::atomic<HRESULT> cancel_result{E_FAIL};
  std::atomic<bool> wait_result{true};
  IWbemObjectSink* self = nullptr;
  auto sink = FunctionSink::Create([&](IWbemClassObject*) {
    if (delivered.fetch_add(1) == 0) {
      wait_result = repo_.WaitIdle(0ms);  // can never be idle from in here
      cancel_result = ns_.Unsubscribe(self);
    }
    return WBEM_S_NO_ERROR;
  });
  self = sink.get();
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_Event", sink.get()), WBEM_S_NO_ERROR);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ns_.Raise("ZRV_Event", {}), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_EQ(cancel_result, WBEM_S_NO_ERROR);
  EXPECT_FALSE(wait_result);
  EXPECT_EQ(delivered, 1);
}

TEST_F(DeliveryTest, CancellingASubscriptionSkipsItsQueuedEventsButNotTheOthers) {
  Namespace other = repo_.OpenNamespace("root\\other");
  ASSERT_EQ(other.Define(Class("ZRV_Event").Property("EventId", CIM_STRING)), WBEM_S_NO_ERROR);
  Gate gate;
  std::mutex mu;
  std::vector<std::string> seen;
  auto sink = FunctionSink::Create([&](IWbemClassObject* event) {
    const std::string id = Text(event, "EventId");
    if (id == "first") gate.Hold();
    std::lock_guard lock(mu);
    seen.push_back(id);
    return WBEM_S_NO_ERROR;
  });
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_Event", sink.get()), WBEM_S_NO_ERROR);
  ASSERT_EQ(other.Subscribe("SELECT * FROM ZRV_Event", sink.get()), WBEM_S_NO_ERROR);
  ASSERT_EQ(other.Raise("ZRV_Event", {{"EventId", "first"}}), WBEM_S_NO_ERROR);
  gate.Held();
  // Queued behind the running delivery, interleaved across both subscriptions.
  for (const char* id : {"here1", "there1", "here2", "there2"}) {
    const Namespace& target = id[0] == 'h' ? ns_ : other;
    EXPECT_EQ(target.Raise("ZRV_Event", {{"EventId", id}}), WBEM_S_NO_ERROR);
  }
  // The running delivery is the other subscription's: no wait. (No ASSERT
  // while the gate holds a delivery: leaving early would never open it.)
  EXPECT_EQ(ns_.Unsubscribe(sink.get()), WBEM_S_NO_ERROR);
  gate.Open();
  ASSERT_TRUE(repo_.WaitIdle());
  // The worker lives on, and its retired subscription is gone without harm.
  ASSERT_EQ(ns_.Raise("ZRV_Event", {{"EventId", "here3"}}), WBEM_S_NO_ERROR);
  ASSERT_EQ(other.Raise("ZRV_Event", {{"EventId", "later"}}), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  {
    std::lock_guard lock(mu);
    EXPECT_THAT(seen, ElementsAre("first", "there1", "there2", "later"));
  }
  EXPECT_EQ(ns_.Unsubscribe(sink.get()), WBEM_E_NOT_FOUND);
  EXPECT_EQ(other.Unsubscribe(sink.get()), WBEM_S_NO_ERROR);
}

TEST_F(DeliveryTest, WaitIdleCoversEventsRaisedByDeliveries) {
  ASSERT_EQ(ns_.Define(Class("ZRV_ActionResult").Property("EventId", CIM_STRING)), WBEM_S_NO_ERROR);
  auto results = CollectingSink::Create();
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_ActionResult", results.get()), WBEM_S_NO_ERROR);
  auto actions = FunctionSink::Create([&](IWbemClassObject* event) {
    return ns_.Raise("ZRV_ActionResult", {{"EventId", Text(event, "EventId")}});
  });
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_Event", actions.get()), WBEM_S_NO_ERROR);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(ns_.Raise("ZRV_Event", {{"EventId", std::to_string(i)}}), WBEM_S_NO_ERROR);
  }
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_THAT(Seen(*results, {"EventId"}), ElementsAre("0", "1", "2", "3", "4"));
}

TEST(DeliveryShutdownTest, DestroyingTheRepositoryEndsSubscriptionsAndReleasesSinks) {
  const wbem::LiveCounts start = wbem::GetLiveCounts();
  auto sink = CollectingSink::Create();
  {
    Repository repo;
    Namespace ns = repo.OpenNamespace("root");
    ASSERT_EQ(ns.Define(Class("E").Property("Seq", CIM_SINT32)), WBEM_S_NO_ERROR);
    ASSERT_EQ(ns.Subscribe("SELECT * FROM E", sink.get()), WBEM_S_NO_ERROR);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(ns.Raise("E", {{"Seq", i}}), WBEM_S_NO_ERROR);
  }
  // Whatever was delivered before the repository went came once each, in
  // the order raised.
  const std::vector<std::string> seen = Seen(*sink, {"Seq"});
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::to_string(i));
  sink->Clear();
  ULONG refs = sink->AddRef();
  EXPECT_EQ(refs, 2u);  // the repository let go of it
  sink->Release();
  sink.Reset();
  EXPECT_EQ(wbem::GetLiveCounts(), start);
}

}  // namespace
}  // namespace repository
