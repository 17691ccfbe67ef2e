// Waiting for something another thread or process does, without guessing how
// long it takes: a condition polled until it holds or a deadline passes.
//
// Tests never sleep a fixed time and then look; they wait for what they
// expect, with a deadline generous enough for a loaded two-core machine, and
// fail with what they saw when it passes.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace amtest {

inline constexpr std::chrono::seconds kDeadline{60};

// Polls `condition` (first at once, then with a back-off from 1 ms up to
// 25 ms) until it returns true or `deadline` passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = kDeadline);

// Waits until `thread_tid` (0 until the thread has stored its id) is asleep
// in the kernel (it has reached a blocking wait: a lock, a join, rather than
// merely not got there yet) or `done` holds; true when it held.
bool WaitUntilAsleepOrDone(const std::atomic<int>& thread_tid, const std::atomic<bool>& done);

}  // namespace amtest
