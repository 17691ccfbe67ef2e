#include "component/execution_counters.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace component {
namespace {

struct Slot {
  std::mutex mu;
  std::shared_ptr<const AmExecutionCounterStore> store;  // under mu
  std::atomic<bool> set{false};
};

Slot& Installed() {
  static Slot slot;
  return slot;
}

}  // namespace

std::shared_ptr<const AmExecutionCounterStore> ExecutionCounterStore() {
  Slot& slot = Installed();
  if (!slot.set.load(std::memory_order_relaxed)) return nullptr;
  std::lock_guard<std::mutex> lock(slot.mu);
  return slot.store;
}

}  // namespace component

void AmSetExecutionCounterStore(AmExecutionCounterStore store) {
  std::shared_ptr<const AmExecutionCounterStore> next;
  if (store.load && store.save) next = std::make_shared<const AmExecutionCounterStore>(std::move(store));
  component::Slot& slot = component::Installed();
  const bool set = next != nullptr;
  {
    std::lock_guard<std::mutex> lock(slot.mu);
    std::swap(slot.store, next);
  }
  slot.set.store(set, std::memory_order_relaxed);
}
