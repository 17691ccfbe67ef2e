// Waiting for something another thread or process does, without guessing how
// long it takes: a condition polled until it holds or a deadline passes.
//
// Tests never sleep a fixed time and then look; they wait for what they
// expect, with a deadline generous enough for a loaded two-core machine, and
// fail with what they saw when it passes.
#pragma once

#include <chrono>
#include <functional>

namespace amtest {

inline constexpr std::chrono::seconds kDeadline{60};

// Polls `condition` (first at once, then with a back-off from 1 ms up to
// 25 ms) until it returns true or `deadline` passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = kDeadline);

}  // namespace amtest
