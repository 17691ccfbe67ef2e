#include "service/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/file_io.h"

namespace service {
namespace {

constexpr std::uint8_t kAccepted = 1;
constexpr std::uint8_t kFinished = 2;
constexpr std::uint8_t kBase = 3;
// A body longer than this is corruption, not a record (payloads are events
// below the body limit).
constexpr std::uint32_t kMaxBody = 1u << 30;

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void PutU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint64_t GetU(const char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}

std::uint32_t Crc(std::string_view body) {
  return static_cast<std::uint32_t>(
      ::crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
}

std::string Record(std::uint8_t type, std::uint64_t seq, std::string_view text = {}) {
  std::string body;
  body.reserve(9 + text.size());
  body += static_cast<char>(type);
  PutU64(body, seq);
  body.append(text);
  std::string record;
  record.reserve(8 + body.size());
  PutU32(record, static_cast<std::uint32_t>(body.size()));
  PutU32(record, Crc(body));
  record += body;
  return record;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string SegmentName(std::uint64_t number) {
  char name[48];
  std::snprintf(name, sizeof name, "journal-%012llu.log", static_cast<unsigned long long>(number));
  return name;
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

}  // namespace

Journal::~Journal() {
  Close();
  if (fd_ >= 0) ::close(fd_);
  if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the lock
}

bool Journal::Open(const std::filesystem::path& dir, std::uint64_t max_bytes,
                   std::uint64_t segment_bytes, std::function<void()> before_sync,
                   std::vector<Unfinished>* unfinished, std::string* error) {
  dir_ = dir;
  max_bytes_ = max_bytes;
  segment_bytes_ = segment_bytes;
  before_sync_ = std::move(before_sync);
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  if (ec) {
    *error = dir_.string() + ": " + ec.message();
    return false;
  }
  lock_fd_ = ::open((dir_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0 || ::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    *error = dir_.string() + (errno == EWOULDBLOCK ? ": in use by another process"
                                                   : ": " + std::string(std::strerror(errno)));
    return false;
  }
  const auto segments = Segments(dir_);
  std::uint64_t max_seen = 0;
  for (const auto& [number, path] : segments) {
    segment_number_ = std::max(segment_number_, number);
    std::string bytes;
    std::string why;
    if (!base::ReadWholeFile(path.string(), &bytes, &why)) {
      *error = path.string() + ": " + why;
      return false;
    }
    std::size_t at = 0;
    while (at + 8 <= bytes.size()) {
      const auto length = static_cast<std::uint32_t>(GetU(bytes.data() + at, 4));
      const auto crc = static_cast<std::uint32_t>(GetU(bytes.data() + at + 4, 4));
      if (length < 9 || length > kMaxBody || at + 8 + length > bytes.size()) break;
      const std::string_view body(bytes.data() + at + 8, length);
      if (Crc(body) != crc) break;
      const auto type = static_cast<std::uint8_t>(body[0]);
      const std::uint64_t seq = GetU(body.data() + 1, 8);
      if (type == kAccepted) {
        live_[seq] = std::string(bytes.data() + at, 8 + length);
        max_seen = std::max(max_seen, seq);
      } else if (type == kFinished) {
        live_.erase(seq);
      } else if (type == kBase) {
        if (seq > 0) max_seen = std::max(max_seen, seq - 1);
      }
      at += 8 + length;
    }
  }
  next_seq_ = max_seen + 1;
  submitted_seq_ = durable_seq_ = max_seen;
  live_bytes_ = 0;
  for (const auto& [seq, record] : live_) {
    live_bytes_ += record.size();
    unfinished->push_back({seq, record.substr(8 + 9)});
  }
  if (!Compact(error)) return false;
  open_ = true;
  writer_ = std::thread([this] { Run(); });
  return true;
}

bool Journal::SyncFolder() {
  const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Called with no writer running or from the writer, after the buffer was
// written: the live records are complete on disk in the old segments.
bool Journal::Compact(std::string* error) {
  // Events finished since the last sync lose their accepted records here, so
  // their result lines must be on disk first.
  if (before_sync_) before_sync_();
  std::string snapshot;
  std::uint64_t next;
  {
    std::lock_guard<std::mutex> lock(mu_);
    next = next_seq_;
    snapshot.reserve(live_bytes_);
    for (const auto& [seq, record] : live_) snapshot += record;
  }
  const std::uint64_t number = segment_number_ + 1;
  const std::filesystem::path path = dir_ / SegmentName(number);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = path.string() + ": " + std::strerror(errno);
    return false;
  }
  const std::string base = Record(kBase, next);
  if (!WriteAll(fd, base) || !WriteAll(fd, snapshot) || ::fdatasync(fd) != 0 || !SyncFolder()) {
    *error = path.string() + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  // The new segment holds everything that counts: the older ones can go.
  for (const auto& [old, old_path] : Segments(dir_)) {
    if (old < number) {
      std::error_code ec;
      std::filesystem::remove(old_path, ec);
    }
  }
  (void)SyncFolder();
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  segment_number_ = number;
  file_bytes_ = base.size() + snapshot.size();
  return true;
}

Journal::SubmitResult Journal::Submit(const std::vector<std::string>& payloads,
                                      std::uint64_t* first_seq) {
  std::vector<std::string> records;
  records.reserve(payloads.size());
  std::uint64_t bytes = 0;
  std::lock_guard<std::mutex> lock(mu_);
  if (failed_ || !open_ || stopping_) return SubmitResult::kFailed;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    records.push_back(Record(kAccepted, next_seq_ + i, payloads[i]));
    bytes += records.back().size();
  }
  if (live_bytes_ + bytes > max_bytes_) return SubmitResult::kFull;
  *first_seq = next_seq_;
  for (std::string& record : records) {
    buffer_ += record;
    live_.emplace(next_seq_, std::move(record));
    submitted_seq_ = next_seq_++;
  }
  live_bytes_ += bytes;
  work_.notify_one();
  return SubmitResult::kOk;
}

bool Journal::WaitDurable(std::uint64_t seq) {
  std::unique_lock<std::mutex> lock(mu_);
  synced_.wait(lock, [&] { return durable_seq_ >= seq || failed_; });
  return durable_seq_ >= seq;
}

bool Journal::IsDurable(std::uint64_t seq) const {
  std::lock_guard<std::mutex> lock(mu_);
  return durable_seq_ >= seq;
}

void Journal::Finish(std::uint64_t seq) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = live_.find(seq);
  if (it == live_.end()) return;
  live_bytes_ -= it->second.size();
  live_.erase(it);
  finished_ += Record(kFinished, seq);
}

void Journal::Run() {
  // Finished records are not waited for: they are gathered and written every
  // kFinishInterval (or at the close), so that an acknowledgement costs one
  // sync, not two.
  constexpr auto kFinishInterval = std::chrono::milliseconds(200);
  auto last_finish = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    work_.wait_for(lock, kFinishInterval, [&] { return !buffer_.empty() || stopping_; });
    const bool finish_due = !finished_.empty() &&
                            (stopping_ || std::chrono::steady_clock::now() - last_finish >= kFinishInterval);
    if (buffer_.empty() && !finish_due) {
      if (stopping_) break;
      continue;
    }
    std::string batch;
    batch.swap(buffer_);
    if (finish_due) {
      batch += finished_;
      finished_.clear();
      last_finish = std::chrono::steady_clock::now();
    }
    const std::uint64_t upto = submitted_seq_;
    lock.unlock();
    // A finished record may reach the disk only after its result line did.
    if (finish_due && before_sync_) before_sync_();
    bool ok = WriteAll(fd_, batch) && ::fdatasync(fd_) == 0;
    if (ok) file_bytes_ += batch.size();
    std::string error;
    if (ok && (file_bytes_ > segment_bytes_ || file_bytes_ > max_bytes_)) ok = Compact(&error);
    lock.lock();
    if (ok) {
      durable_seq_ = std::max(durable_seq_, upto);
    } else {
      failed_ = true;
    }
    synced_.notify_all();
    if (failed_) break;
  }
}

void Journal::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!open_) return;
    stopping_ = true;
    open_ = false;
  }
  work_.notify_all();
  if (writer_.joinable()) writer_.join();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (lock_fd_ >= 0) ::close(lock_fd_);  // another process may take the folder now
  lock_fd_ = -1;
  std::lock_guard<std::mutex> lock(mu_);
  failed_ = true;  // wakes any waiter for good
  synced_.notify_all();
}

std::uint64_t Journal::live_bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return live_bytes_;
}
std::size_t Journal::live_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return live_.size();
}
std::uint64_t Journal::file_bytes() const { return file_bytes_.load(); }

}  // namespace service
