#include "host/dispatcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <vector>

namespace {

constexpr unsigned kMessage = 1131;
constexpr unsigned kOther = 77;

class Recorder : public CSinkComponent {
 public:
  explicit Recorder(int result = 1) : result_(result) {}
  int ProcessMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override {
    received.emplace_back(message, wparam, lparam);
    if (on_message) on_message();
    return result_;
  }
  std::vector<std::tuple<unsigned, std::uintptr_t, std::intptr_t>> received;
  std::function<void()> on_message;

 private:
  int result_;
};

class DispatcherTest : public ::testing::Test {
 protected:
  CDispatcher& dispatcher_ = *CDispatcher::GetInstance();
};

TEST_F(DispatcherTest, DeliversToEachSubscriberOfTheNumberOnceAndNeverDoubles) {
  Recorder a, b(0), other;
  EXPECT_EQ(dispatcher_.Subscribe(&a, kMessage), 1);
  EXPECT_EQ(dispatcher_.Subscribe(&a, kMessage), 0);
  EXPECT_EQ(dispatcher_.Subscribe(nullptr, kMessage), 0);
  EXPECT_EQ(dispatcher_.Subscribe(&b, kMessage), 1);
  EXPECT_EQ(dispatcher_.Subscribe(&other, kOther), 1);
  EXPECT_EQ(dispatcher_.SubscriberCount(kMessage), 2u);
  EXPECT_EQ(dispatcher_.SendMessage(kMessage, 5, -6), 1);  // b returned 0
  EXPECT_EQ(a.received, (decltype(a.received){{kMessage, 5, -6}}));
  EXPECT_EQ(b.received, a.received);
  EXPECT_TRUE(other.received.empty());
  EXPECT_EQ(dispatcher_.SendMessage(12345, 0, 0), 0);
  EXPECT_EQ(dispatcher_.Unsubscribe(&a, kMessage), 1);
  EXPECT_EQ(dispatcher_.Unsubscribe(&a, kMessage), 0);
  EXPECT_EQ(dispatcher_.Unsubscribe(&b, kMessage), 1);
  EXPECT_EQ(dispatcher_.Unsubscribe(&other, kOther), 1);
  EXPECT_EQ(dispatcher_.SubscriberCount(kMessage), 0u);
}

TEST_F(DispatcherTest, HandlerMayUnsubscribeOthersDuringADispatch) {
  Recorder first, second;
  first.on_message = [&] { dispatcher_.Unsubscribe(&second, kMessage); };
  dispatcher_.Subscribe(&first, kMessage);
  dispatcher_.Subscribe(&second, kMessage);
  EXPECT_EQ(dispatcher_.SendMessage(kMessage, 0, 0), 1);
  EXPECT_TRUE(second.received.empty());
  dispatcher_.Unsubscribe(&first, kMessage);
}

TEST_F(DispatcherTest, DestroyedSubscriberLeavesNoSubscription) {
  {
    Recorder gone;
    dispatcher_.Subscribe(&gone, kMessage);
    dispatcher_.Subscribe(&gone, kOther);
  }
  EXPECT_EQ(dispatcher_.SubscriberCount(kMessage), 0u);
  EXPECT_EQ(dispatcher_.SubscriberCount(kOther), 0u);
}

}  // namespace
