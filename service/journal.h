// The journal: every accepted event on disk before it is acknowledged, until
// it is finished.
//
// Files: <dir>/journal-<N>.log, segments numbered upwards; only the newest is
// appended to. Their records are those of journal_record.h; every file
// operation but the folder's lock goes through a JournalIo (journal_io.h).
//
// Durability. Submit appends accepted records to a buffer; one writer thread
// writes what has gathered with one write(2) and then calls fdatasync once
// for all of it (group commit). WaitDurable returns once a record is synced,
// and only then may the event be acknowledged. Finished records are gathered
// and written every 200 ms (and at the close), never waited for: after a
// crash an event whose finished record was lost is replayed, so every
// accepted event is processed at least once and, rarely, twice. The hook
// given to Open runs before finished records are synced and before a
// compaction (the daemon syncs its results file there, so an event never
// counts as finished on disk while its result line is not).
//
// Compaction. When the newest segment grows past the segment size (or past
// the bound), the writer starts a new segment holding the base record and the
// records of the events not yet finished, syncs it and the folder, and
// deletes every older segment. The bytes of unfinished events never exceed
// max_bytes: Submit refuses a batch that would pass it (the daemon answers
// 503), so the file on disk stays below about max_bytes plus one segment.
//
// Replay. Open reads every segment in order; a record cut short or with a
// bad CRC ends its segment (a crash during a write leaves at most the tail of
// the newest one), and what follows is discarded by the compaction that Open
// performs before it returns the unfinished events in sequence order.
//
// Failures. Every failed file operation is logged with its errno. After a
// failed write or sync the journal takes no more events (Submit answers
// kFailed) and wakes every waiter with false.
//
// Thread-safe. The writer thread lives from Open to Close (or destruction).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/journal_io.h"

namespace service {

class Journal {
 public:
  struct Unfinished {
    std::uint64_t seq;
    std::string payload;
  };
  enum class SubmitResult { kOk, kFull, kFailed };

  // `io` null: the system's calls. Otherwise it must outlive the journal.
  explicit Journal(JournalIo* io = nullptr);
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens (creating) the folder, takes its lock (one journal, one process),
  // replays it into `*unfinished`, compacts and starts the writer. False with
  // `*error` when the folder cannot be used or another process holds it.
  [[nodiscard]] bool Open(const std::filesystem::path& dir, std::uint64_t max_bytes,
                          std::uint64_t segment_bytes, std::function<void()> before_sync,
                          std::vector<Unfinished>* unfinished, std::string* error);
  // Assigns consecutive sequence numbers to `payloads` and queues their
  // records, all or none: kFull when the unfinished bytes would pass the
  // bound, kFailed after a write or sync error. `*first_seq` is the first
  // number on success.
  SubmitResult Submit(const std::vector<std::string>& payloads, std::uint64_t* first_seq);
  // Waits until the record of `seq` is synced; false when the journal failed
  // (the record may or may not be on disk).
  bool WaitDurable(std::uint64_t seq);
  bool IsDurable(std::uint64_t seq) const;
  // Marks an event finished (an unknown number is ignored).
  void Finish(std::uint64_t seq);
  // Writes and syncs what is queued, stops the writer, releases the folder.
  // Idempotent.
  void Close();

  std::uint64_t live_bytes() const;
  std::size_t live_count() const;
  std::uint64_t file_bytes() const;

 private:
  void Run();
  // Reads one segment's records into live_.
  bool Replay(const std::filesystem::path& path, std::uint64_t* max_seen, std::string* error);
  // Appends `batch` to the newest segment and syncs it (writer thread).
  bool WriteBatch(std::string_view batch);
  bool Compact(std::string* error);

  PosixJournalIo posix_;
  JournalIo* io_;

  std::filesystem::path dir_;
  std::uint64_t max_bytes_ = 0;
  std::uint64_t segment_bytes_ = 0;
  std::function<void()> before_sync_;

  mutable std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable synced_;
  std::string buffer_;    // encoded accepted records not yet written
  std::string finished_;  // encoded finished records not yet written
  std::uint64_t next_seq_ = 1;
  std::uint64_t submitted_seq_ = 0;  // highest sequence number in buffer_ or on disk
  std::uint64_t durable_seq_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
  bool open_ = false;
  std::map<std::uint64_t, std::string> live_;  // unfinished: seq -> encoded record
  std::uint64_t live_bytes_ = 0;

  // Writer thread only (and Open/Close).
  int fd_ = -1;
  int lock_fd_ = -1;  // flock on <dir>/lock, held while open
  std::uint64_t segment_number_ = 0;
  std::atomic<std::uint64_t> file_bytes_{0};  // the newest segment's size
  std::thread writer_;
};

}  // namespace service
