#include "service/state_store.h"

#include <utility>

namespace service {

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t CutPage(std::vector<HistoryRow>* rows, int limit) {
  if (rows->size() <= static_cast<std::size_t>(limit)) return 0;
  rows->pop_back();
  return rows->back().id;
}

Cutoffs CutoffsAt(const StateOptions& options, std::int64_t now_ms) {
  return {now_ms - std::chrono::duration_cast<std::chrono::milliseconds>(options.counter_ttl).count(),
          now_ms - std::int64_t{options.history_days} * 24 * 3600 * 1000};
}

void CounterTable::Load(std::vector<CounterRow> rows) {
  std::lock_guard<std::mutex> lock(mu_);
  for (CounterRow& row : rows) {
    entries_[{std::move(row.profile), std::move(row.rule), std::move(row.event_id)}] = {
        row.count, row.last_seen_ms};
  }
}

std::int32_t CounterTable::Get(const std::string& profile, const std::string& rule,
                               const std::string& event_id, std::int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  Key key{profile, rule, event_id};
  const auto it = entries_.find(key);
  if (it == entries_.end()) return 0;
  // Seen again: the id's time-to-live starts over, on disk too.
  it->second.last_seen_ms = now_ms;
  changed_[profile][std::move(key)] = it->second;
  return it->second.count;
}

void CounterTable::Set(const std::string& profile, const std::string& rule,
                       const std::string& event_id, std::int32_t count, std::int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  Key key{profile, rule, event_id};
  entries_[key] = {count, now_ms};
  changed_[profile][std::move(key)] = {count, now_ms};
}

std::vector<CounterRow> CounterTable::TakeChanges(const std::string& profile) {
  std::map<Key, Entry> taken;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = changed_.find(profile);
    if (it == changed_.end()) return {};
    taken = std::move(it->second);
    changed_.erase(it);
  }
  std::vector<CounterRow> rows;
  rows.reserve(taken.size());
  for (const auto& [key, entry] : taken) {
    rows.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), entry.count,
                    entry.last_seen_ms});
  }
  return rows;
}

std::size_t CounterTable::Forget(std::int64_t cutoff_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t forgotten = 0;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.last_seen_ms < cutoff_ms) {
      it = entries_.erase(it);
      ++forgotten;
    } else {
      ++it;
    }
  }
  return forgotten;
}

void HistoryBuffer::Add(HistoryRow row) {
  std::lock_guard<std::mutex> lock(mu_);
  rows_[row.profile].push_back(std::move(row));
}

std::vector<HistoryRow> HistoryBuffer::Take(const std::string& profile) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = rows_.find(profile);
  if (it == rows_.end()) return {};
  std::vector<HistoryRow> rows = std::move(it->second);
  rows_.erase(it);
  return rows;
}

std::size_t CounterTable::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

}  // namespace service
