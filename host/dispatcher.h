// CDispatcher and CSinkComponent: the host framework's message dispatcher.
//
// A subscriber (a CSinkComponent) subscribes for message numbers; every
// message sent with that number reaches its ProcessMessage, synchronously, on
// the sending thread, in subscription order. The dispatcher does not own its
// subscribers: a subscriber unsubscribes before it is destroyed (its
// destructor also drops any subscription left, as a safety net).
//
// Thread-safe. A message is handed out with the dispatcher's lock held, so
// once Unsubscribe returns on one thread no delivery to that subscriber is
// running on another; a handler may itself subscribe, unsubscribe and send
// (the lock is recursive), and a subscriber removed during a dispatch is not
// called afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

class CSinkComponent {
 public:
  CSinkComponent() = default;
  CSinkComponent(const CSinkComponent&) = delete;
  CSinkComponent& operator=(const CSinkComponent&) = delete;
  virtual ~CSinkComponent();
  // Handles one message; the result is the handler's own (1 for handled).
  virtual int ProcessMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) = 0;
};

class CDispatcher {
 public:
  // The process's dispatcher; never destroyed.
  static CDispatcher* GetInstance();

  // 1 when `subscriber` now receives `message`; 0 for a null subscriber or
  // one already subscribed for that number (a subscription is never doubled).
  int Subscribe(CSinkComponent* subscriber, unsigned message);
  // 1 when a subscription was removed; 0 when there was none.
  int Unsubscribe(CSinkComponent* subscriber, unsigned message);
  // Removes every subscription of `subscriber`; returns how many there were.
  int UnsubscribeAll(CSinkComponent* subscriber);
  // Calls ProcessMessage of every subscriber of `message`; returns how many
  // of them returned non-zero.
  int SendMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam);
  // How many subscribers `message` has.
  std::size_t SubscriberCount(unsigned message) const;

 private:
  CDispatcher() = default;
  mutable std::recursive_mutex mu_;
  std::map<unsigned, std::vector<CSinkComponent*>> subscribers_;
};
