#include "host/dispatcher.h"

#include <algorithm>

CSinkComponent::~CSinkComponent() { CDispatcher::GetInstance()->UnsubscribeAll(this); }

CDispatcher* CDispatcher::GetInstance() {
  // Never destroyed: subscribers in other libraries may unsubscribe while the
  // process's static objects are torn down.
  static CDispatcher* const instance = new CDispatcher();
  return instance;
}

int CDispatcher::Subscribe(CSinkComponent* subscriber, unsigned message) {
  if (subscriber == nullptr) return 0;
  std::lock_guard lock(mu_);
  std::vector<CSinkComponent*>& list = subscribers_[message];
  if (std::find(list.begin(), list.end(), subscriber) != list.end()) return 0;
  list.push_back(subscriber);
  return 1;
}

int CDispatcher::Unsubscribe(CSinkComponent* subscriber, unsigned message) {
  std::lock_guard lock(mu_);
  auto it = subscribers_.find(message);
  if (it == subscribers_.end()) return 0;
  const auto removed = std::erase(it->second, subscriber);
  if (it->second.empty()) subscribers_.erase(it);
  return removed != 0 ? 1 : 0;
}

int CDispatcher::UnsubscribeAll(CSinkComponent* subscriber) {
  std::lock_guard lock(mu_);
  int removed = 0;
  for (auto it = subscribers_.begin(); it != subscribers_.end();) {
    removed += static_cast<int>(std::erase(it->second, subscriber));
    it = it->second.empty() ? subscribers_.erase(it) : std::next(it);
  }
  return removed;
}

int CDispatcher::SendMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
  std::lock_guard lock(mu_);
  auto it = subscribers_.find(message);
  if (it == subscribers_.end()) return 0;
  // A handler may change the list: walk a snapshot and skip whoever left.
  const std::vector<CSinkComponent*> snapshot = it->second;
  int handled = 0;
  for (CSinkComponent* subscriber : snapshot) {
    auto current = subscribers_.find(message);
    if (current == subscribers_.end() || std::find(current->second.begin(), current->second.end(),
                                                   subscriber) == current->second.end()) {
      continue;
    }
    if (subscriber->ProcessMessage(message, wparam, lparam) != 0) ++handled;
  }
  return handled;
}

std::size_t CDispatcher::SubscriberCount(unsigned message) const {
  std::lock_guard lock(mu_);
  auto it = subscribers_.find(message);
  return it == subscribers_.end() ? 0 : it->second.size();
}
