#include "service/group_commit.h"

#include <algorithm>
#include <utility>

#include "service/log.h"

namespace service {
namespace {
constexpr std::chrono::seconds kRetry{1};
constexpr std::chrono::milliseconds kMaxGather{2};
}  // namespace

void GroupCommitStore::StartWriter(const StateOptions& options, std::uint64_t next_seq,
                                   const std::vector<Unfinished>& unfinished,
                                   std::chrono::milliseconds idle_every) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    options_ = options;
    next_seq_ = next_seq;
    durable_seq_ = next_seq - 1;
    stopping_ = false;
    open_ = true;
  }
  Adopt(unfinished);
  writer_ = std::thread([this, idle_every] { Run(idle_every); });
}

void GroupCommitStore::StopWriter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  work_.notify_one();
  if (writer_.joinable()) writer_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = false;
  }
  done_.notify_all();
}

bool GroupCommitStore::Reserve(std::size_t count, std::uint64_t* first, std::string*) {
  *first = next_seq_;
  next_seq_ += count;
  return true;
}

StateStore::SubmitResult GroupCommitStore::Submit(const std::vector<std::string>& payloads,
                                                  std::uint64_t* first_seq) {
  const std::int64_t now = NowMs();
  std::uint64_t bytes = 0;
  for (const std::string& payload : payloads) bytes += payload.size();
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_ || stopping_) return SubmitResult::kClosed;
    if (queued_bytes_ + bytes > options_.max_queued_bytes) return SubmitResult::kFull;
    std::uint64_t seq = 0;
    std::string error;
    if (!Reserve(payloads.size(), &seq, &error)) {
      FailedLocked(error);
      return SubmitResult::kUnavailable;
    }
    queued_bytes_ += bytes;
    ++requests_;
    *first_seq = seq;
    for (const std::string& payload : payloads) {
      sizes_[seq] = payload.size();
      accepted_.push_back({seq++, payload, now});
    }
    // The writer waits for the first request, or gathers until as many as
    // the last commit carried: waking it for any other would only put it
    // back to sleep, a context switch per request that the clients pay for.
    wake = requests_ == 1 || requests_ >= last_requests_;
  }
  if (wake) work_.notify_one();
  return SubmitResult::kOk;
}

bool GroupCommitStore::WaitDurable(std::uint64_t seq) {
  std::unique_lock<std::mutex> lock(mu_);
  const auto failed = [&] {
    auto it = failed_.upper_bound(seq);
    return it != failed_.begin() && std::prev(it)->second >= seq;
  };
  const auto durable = [&] { return durable_seq_ >= seq || adopted_.count(seq) > 0; };
  done_.wait(lock, [&] { return durable() || failed() || !open_; });
  return !failed() && durable();
}

bool GroupCommitStore::Finish(FinishRecord record) {
  auto ticket = std::make_shared<Ticket>();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_) return false;
    finishing_.push_back({std::move(record), ticket});
  }
  work_.notify_one();
  std::unique_lock<std::mutex> lock(mu_);
  done_.wait(lock, [&] { return ticket->attempted || !open_; });
  return ticket->committed;
}

void GroupCommitStore::Settle(const std::vector<Accepted>& accepted,
                              std::vector<Finishing>& finishing, std::size_t requests,
                              std::chrono::steady_clock::duration took, bool committed,
                              const std::string& error) {
  if (!accepted.empty()) {
    last_requests_ = requests;
    last_commit_ = took;
  }
  if (committed) {
    if (!accepted.empty()) durable_seq_ = accepted.back().seq;
    queued_ += accepted.size();
    queued_ -= std::min(queued_, finishing.size());
    for (const Finishing& f : finishing) Release(f.record.seq);
    SucceededLocked();
  } else {
    if (!accepted.empty()) failed_[accepted.front().seq] = accepted.back().seq;
    for (const Accepted& a : accepted) Release(a.seq);
    FailedLocked(error);
    // Finish records stay, first in line, for the next try.
    for (auto it = finishing.rbegin(); it != finishing.rend(); ++it) finishing_.push_front(*it);
  }
  for (Finishing& f : finishing) {
    f.ticket->attempted = true;
    f.ticket->committed = committed;
  }
}

void GroupCommitStore::Run(std::chrono::milliseconds idle_every) {
  auto last_idle = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const bool failing = !failure_.empty();
    const auto idle_due = last_idle + idle_every;
    if (failing) {
      // Retried once a second, or at once for new events, whose clients
      // wait for an answer; the kept finish records alone never spin it.
      work_.wait_for(lock, kRetry, [&] { return stopping_ || !accepted_.empty(); });
    } else {
      work_.wait_until(lock, idle_due,
                       [&] { return stopping_ || !accepted_.empty() || !finishing_.empty(); });
    }
    if (stopping_ && accepted_.empty() && finishing_.empty() && !failing) break;
    const auto now = std::chrono::steady_clock::now();
    if (now >= idle_due) {
      lock.unlock();
      Idle();
      last_idle = now;
      lock.lock();
      if (accepted_.empty() && finishing_.empty() && failure_.empty() && !stopping_) continue;
    }
    if (!failing) Gather(lock);
    std::vector<Accepted> accepted = std::exchange(accepted_, {});
    const std::size_t requests = std::exchange(requests_, 0);
    std::vector<Finishing> finishing(std::make_move_iterator(finishing_.begin()),
                                     std::make_move_iterator(finishing_.end()));
    finishing_.clear();
    lock.unlock();
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    const bool committed = Commit(accepted, finishing, &error);
    const auto took = std::chrono::steady_clock::now() - started;
    lock.lock();
    Settle(accepted, finishing, requests, took, committed, error);
    // The waiters are woken with the lock released: woken under it, each
    // would run only to block on it again, two switches instead of one.
    lock.unlock();
    done_.notify_all();
    lock.lock();
    // A failing store stops at the close with what it could not write: the
    // events stay queued in the database and run again at the next start.
    if (stopping_ && !committed) break;
  }
}

void GroupCommitStore::Gather(std::unique_lock<std::mutex>& lock) {
  if (stopping_ || requests_ == 0 || requests_ >= last_requests_) return;
  const auto until = std::chrono::steady_clock::now() +
                     std::min<std::chrono::steady_clock::duration>(last_commit_, kMaxGather);
  work_.wait_until(lock, until, [&] { return stopping_ || requests_ >= last_requests_; });
}

void GroupCommitStore::Adopt(const std::vector<Unfinished>& events) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Unfinished& event : events) {
    if (!sizes_.emplace(event.seq, event.payload.size()).second) continue;
    adopted_.insert(event.seq);
    queued_bytes_ += event.payload.size();
    ++queued_;
  }
  done_.notify_all();
}

void GroupCommitStore::Released(std::uint64_t seq) {
  std::lock_guard<std::mutex> lock(mu_);
  if (sizes_.count(seq) > 0) queued_ -= std::min<std::size_t>(queued_, 1);
  Release(seq);
}

void GroupCommitStore::Release(std::uint64_t seq) {
  adopted_.erase(seq);
  const auto it = sizes_.find(seq);
  if (it == sizes_.end()) return;
  queued_bytes_ -= it->second;
  sizes_.erase(it);
}

void GroupCommitStore::Failed(const std::string& error) {
  std::lock_guard<std::mutex> lock(mu_);
  FailedLocked(error);
}

void GroupCommitStore::Succeeded() {
  std::lock_guard<std::mutex> lock(mu_);
  SucceededLocked();
}

void GroupCommitStore::FailedLocked(const std::string& error) {
  ++write_failures_;
  const std::string failure = error.empty() ? "unknown error" : error;
  if (failure_ == failure) return;
  Log(kPriorityErr, "state database " + name_ + ": a write failed: " + failure);
  failure_ = failure;
  if (options_.on_health) options_.on_health(failure_);
}

void GroupCommitStore::SucceededLocked() {
  if (failure_.empty()) return;
  Log(kPriorityNotice, "state database " + name_ + ": writes succeed again");
  failure_.clear();
  if (options_.on_health) options_.on_health("");
}

bool GroupCommitStore::healthy(std::string* reason) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (reason != nullptr) *reason = failure_;
  return failure_.empty();
}

std::size_t GroupCommitStore::queued() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queued_ + accepted_.size();
}

}  // namespace service
