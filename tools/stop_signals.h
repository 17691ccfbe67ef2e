// An orderly stop of `amctl run` and `amctl demo` on SIGINT, SIGTERM or
// SIGHUP.
//
// The programs that actions run are started in process groups of their own,
// so a terminal's Ctrl-C never reaches them, and a tool that simply died
// would leave them running. While a StopSignals object lives, those signals
// no longer end the process; the first one instead:
//   - makes cancel_fd() readable, so that the run stops raising events and
//     stops waiting for event lines;
//   - kills, from a thread of its own, the process group of every program
//     the process has started and that still runs: SIGTERM at once, SIGKILL
//     to what is left of a group after kGraceMs. Programs started while the
//     component finishes its teardown are killed the same way.
// The process is a child subreaper meanwhile, so that the members of a killed
// group, orphaned when their parent dies, come back to it and are reaped
// (an init that does not reap would keep them as zombies, and their group
// would never be gone). Only those members are reaped: the children that the
// process runner started and waits for itself are never touched.
//
// Destruction stops the thread, kills what is left of the groups and waits
// (up to kSettleMs) until they are gone, then restores the previous signal
// dispositions. A process holds one StopSignals at a time. Not copyable; the
// accessors are thread-safe.
//
// It needs one pipe and one thread. A process that has neither to spare (no
// descriptor left, no thread allowed) gets an object that leaves the signals
// as they were: cancel_fd() is -1, and the run goes on to fail its programs
// as the runner reports them, rather than waiting for a watcher that never
// started.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace tools {

class StopSignals {
 public:
  static constexpr int kGraceMs = 1000;
  static constexpr int kSettleMs = 3000;

  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();

  // Readable once a stop signal has arrived; never read from it.
  int cancel_fd() const { return signal_pipe_[0]; }
  // The first stop signal received, or 0.
  int signal() const;
  // Process groups of running programs killed so far (a group whose leader
  // had already ended is not counted).
  std::size_t killed_groups() const;

  // "SIGINT", "SIGTERM", "SIGHUP".
  static std::string SignalName(int signal);

 private:
  void Watch();
  // Puts the previous signal dispositions and subreaper state back, once.
  void Restore();
  // Signals new groups, escalates old ones and reaps their orphans; `force`
  // sends SIGKILL to every known group at once. True when every known group
  // is gone.
  bool Sweep(bool force);

  // Watches for a signal until one came or `stopping_` is set; false when
  // told to stop first.
  bool AwaitSignal();

  int signal_pipe_[2] = {-1, -1};  // written by the handler, and once by the destructor
  bool installed_ = false;         // handlers and subreaper are in place
  bool stopping_ = false;          // guarded by mu_; tells the thread to end
  std::condition_variable stop_cv_;
  int previous_subreaper_ = 0;
  pid_t own_group_ = 0;
  mutable std::mutex mu_;
  // Killed groups, by group id, with the time of their SIGTERM.
  std::map<pid_t, std::chrono::steady_clock::time_point> groups_;
  std::size_t killed_ = 0;
  std::thread watcher_;
};

}  // namespace tools
