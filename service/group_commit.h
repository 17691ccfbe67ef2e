// What every state backend shares: numbering accepted events, the bound on
// the bytes of unfinished ones, one writer thread that commits everything
// that arrived while it was committing (group commit), the answers to
// WaitDurable, and the store's health.
//
// A backend implements Commit (one transaction of accepted rows and finish
// records) and may hand out sequence numbers of its own (Reserve: a database
// shared by several daemons hands out blocks) and do periodic work on the
// writer thread (Idle). It calls StartWriter at the end of a successful Open
// and StopWriter in Close before it closes its connections.
//
// Health: a failed commit makes the store unhealthy with the backend's
// message, logged when it starts and when it ends; the writer then retries
// at least every second, at once for new events. The first commit that
// succeeds makes it healthy again.
//
// Gathering: clients acknowledged by one commit send their next requests
// together, a little after it. When fewer requests wait than the last
// commit carried, the writer waits for the rest, at most as long as that
// commit took and never over 2 ms, so that they share one commit instead of
// splitting into two. A lone client (a last commit of one request) is never
// held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service/state_store.h"

namespace service {

class GroupCommitStore : public StateStore {
 public:
  SubmitResult Submit(const std::vector<std::string>& payloads, std::uint64_t* first_seq) override;
  bool WaitDurable(std::uint64_t seq) override;
  // Queues the record for the writer's next commit and waits for it.
  bool Finish(FinishRecord record) override;
  bool healthy(std::string* reason) const override;
  std::uint64_t write_failures() const override { return write_failures_.load(); }
  std::size_t queued() const override;

 protected:
  struct Accepted {
    std::uint64_t seq;
    std::string payload;
    std::int64_t accepted_ms;
  };
  struct Ticket {
    bool attempted = false;
    bool committed = false;
  };
  struct Finishing {
    FinishRecord record;
    std::shared_ptr<Ticket> ticket;
  };

  // `name` says which database in log lines ("state database <name>: ...").
  explicit GroupCommitStore(std::string name) : name_(std::move(name)) {}

  // Starts the writer: numbers go on from `next_seq` (unless Reserve is
  // overridden), and `unfinished` count against the bound. `idle_every`: how
  // often Idle runs when nothing else does.
  void StartWriter(const StateOptions& options, std::uint64_t next_seq,
                   const std::vector<Unfinished>& unfinished,
                   std::chrono::milliseconds idle_every = std::chrono::seconds(60));
  // Commits what is queued while writes succeed, stops the writer and wakes
  // every waiter. Idempotent.
  void StopWriter();

  // One transaction of everything given; false with the database's message.
  // `accepted` and `finishing` may both be empty: the call is then a probe
  // that must touch the database like any write.
  virtual bool Commit(const std::vector<Accepted>& accepted,
                      const std::vector<Finishing>& finishing, std::string* error) = 0;
  // Numbers for `count` new events, consecutive; false with why when none
  // can be had (the events are refused and the store is unhealthy). Runs
  // under the store's lock, so numbers reach the writer in order: it must
  // not call back into the store.
  virtual bool Reserve(std::size_t count, std::uint64_t* first, std::string* error);
  // Periodic work on the writer thread, outside the store's lock.
  virtual void Idle() {}

  // Unfinished events that joined outside Submit (claimed from elsewhere):
  // they count against the bound until finished.
  void Adopt(const std::vector<Unfinished>& events);
  // An event finished outside the writer: off the bound.
  void Released(std::uint64_t seq);
  // The health transitions, with their log lines and the on_health call.
  void Failed(const std::string& error);
  void Succeeded();

  const std::string name_;
  StateOptions options_;

 private:
  void Run(std::chrono::milliseconds idle_every);
  // Waits (mu_ held through `lock`) while fewer requests wait than the last
  // commit carried; see Gathering above.
  void Gather(std::unique_lock<std::mutex>& lock);
  // Under mu_, after a commit of `accepted` and `finishing` (carrying
  // `requests` Submit calls, taking `took`): durability, the bound, health,
  // and the finishers' tickets; the caller wakes the waiters.
  void Settle(const std::vector<Accepted>& accepted, std::vector<Finishing>& finishing,
              std::size_t requests, std::chrono::steady_clock::duration took, bool committed,
              const std::string& error);
  void Release(std::uint64_t seq);  // under mu_
  void FailedLocked(const std::string& error);
  void SucceededLocked();

  mutable std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::vector<Accepted> accepted_;
  std::size_t requests_ = 0;       // Submit calls in accepted_
  std::size_t last_requests_ = 0;  // Submit calls the last commit carried
  std::chrono::steady_clock::duration last_commit_{};
  std::deque<Finishing> finishing_;
  std::uint64_t next_seq_ = 1;
  std::uint64_t durable_seq_ = 0;
  std::map<std::uint64_t, std::uint64_t> failed_;  // first -> last of batches whose commit failed
  std::size_t queued_ = 0;                          // events accepted and not finished
  std::uint64_t queued_bytes_ = 0;                  // their payloads' bytes
  std::map<std::uint64_t, std::size_t> sizes_;      // seq -> payload bytes, while unfinished
  std::set<std::uint64_t> adopted_;  // unfinished events stored before this writer: durable
  std::string failure_;                             // empty while healthy
  bool stopping_ = false;
  bool open_ = false;
  std::atomic<std::uint64_t> write_failures_{0};
  std::thread writer_;
};

}  // namespace service
