#include "service/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "service/journal_record.h"

namespace service {
namespace {

// The system's message and the errno value of a failed operation on `path`.
std::string Failure(const char* what, const std::filesystem::path& path, int error) {
  return std::string(what) + " " + path.string() + ": " + std::strerror(error) + " (errno " +
         std::to_string(error) + ")";
}

// The segments of `dir` by number.
std::map<std::uint64_t, std::filesystem::path> Segments(const std::filesystem::path& dir) {
  std::map<std::uint64_t, std::filesystem::path> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != 24 || !name.starts_with("journal-") || !name.ends_with(".log")) continue;
    const std::string digits = name.substr(8, 12);
    if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
    found[std::stoull(digits)] = entry.path();
  }
  return found;
}

// A whole segment. Not base::ReadWholeFile: its bound is for inputs a user
// names, and a 1.0 segment is as large as that daemon's segment_bytes let it
// grow.
bool ReadSegment(const std::filesystem::path& path, std::string* bytes, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (in) bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    *error = Failure("cannot read", path, errno);
    return false;
  }
  return true;
}

// Closes the lock's descriptor, which releases the lock, on every path.
struct LockFile {
  int fd = -1;
  ~LockFile() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool ReadJournal(const std::filesystem::path& dir, std::vector<JournalEvent>* unfinished,
                 std::string* error) {
  LockFile lock;
  const std::filesystem::path lock_path = dir / "lock";
  lock.fd = ::open(lock_path.c_str(), O_RDONLY | O_CLOEXEC);
  // A folder without its lock file was never opened by a daemon: nothing holds it.
  if (lock.fd < 0 && errno != ENOENT) {
    *error = Failure("cannot open", lock_path, errno);
    return false;
  }
  if (lock.fd >= 0 && ::flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? dir.string() + ": in use by another process"
                                  : Failure("cannot lock", lock_path, errno);
    return false;
  }
  std::map<std::uint64_t, std::string> live;  // seq -> payload, unfinished
  for (const auto& [number, path] : Segments(dir)) {
    std::string bytes;
    if (!ReadSegment(path, &bytes, error)) return false;
    DecodeRecords(bytes, [&](RecordType type, std::uint64_t seq, std::string_view record) {
      if (type == RecordType::kAccepted) {
        live[seq] = std::string(record.substr(kRecordHead));
      } else if (type == RecordType::kFinished) {
        live.erase(seq);
      }
    });
  }
  for (auto& [seq, payload] : live) unfinished->push_back({seq, std::move(payload)});
  return true;
}

}  // namespace service
