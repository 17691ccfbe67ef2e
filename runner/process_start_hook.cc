#include "runner/process_start_hook.h"

#include <memory>
#include <mutex>
#include <utility>

#include "runner/process_start_hook_internal.h"

namespace runner {
namespace {

std::mutex g_mu;
std::shared_ptr<const AmProcessStartHook> g_hook;

}  // namespace

std::shared_ptr<const AmProcessStartHook> CurrentProcessStartHook() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_hook;
}

}  // namespace runner

void AmSetProcessStartHook(AmProcessStartHook hook) {
  std::shared_ptr<const AmProcessStartHook> next;
  if (hook) next = std::make_shared<const AmProcessStartHook>(std::move(hook));
  std::shared_ptr<const AmProcessStartHook> previous;
  {
    std::lock_guard<std::mutex> lock(runner::g_mu);
    previous = std::exchange(runner::g_hook, std::move(next));
  }
  // `previous` goes here, outside the lock: its captures may be anything.
}
