#include "component/execution_counters.h"

#include <memory>
#include <utility>

#include "component/hook_slot.h"

namespace component {
namespace {

HookSlot<AmExecutionCounterStore>& CounterStoreSlot() {
  static HookSlot<AmExecutionCounterStore> slot;
  return slot;
}

}  // namespace

std::shared_ptr<const AmExecutionCounterStore> ExecutionCounterStore() {
  return CounterStoreSlot().Get();
}

}  // namespace component

void AmSetExecutionCounterStore(AmExecutionCounterStore store) {
  std::shared_ptr<const AmExecutionCounterStore> next;
  if (store.load && store.save) next = std::make_shared<const AmExecutionCounterStore>(std::move(store));
  component::CounterStoreSlot().Set(std::move(next));
}
