// The journal folder of actionmanagerd 1.0, read once at start so that its
// unfinished events move into the state database (Daemon::ImportJournal).
//
// Files: <dir>/journal-<N>.log, segments numbered upwards, each a run of the
// records of journal_record.h. An accepted record is an event; a finished
// record ends it; a base record (a segment's first) says where numbering
// went on. A record cut short or with a bad CRC ends its segment: a crash
// during a write leaves at most the tail of the newest one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace service {

struct JournalEvent {
  std::uint64_t seq;
  std::string payload;  // the event as the 1.0 daemon received it
};

// The unfinished events of the folder `dir`, in sequence order. The folder's
// lock is held while it is read, so that a 1.0 daemon still running on it is
// refused. False with `*error` (the system's message and errno) when the
// folder cannot be read or is in use; the folder is never written.
[[nodiscard]] bool ReadJournal(const std::filesystem::path& dir, std::vector<JournalEvent>* unfinished,
                               std::string* error);

}  // namespace service
