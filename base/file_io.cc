#include "base/file_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

namespace base {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

bool Fail(std::string* why, int error) {
  *why = ErrnoText(error);
  return false;
}

// Flushes the folder's entry of a renamed file to disk.
bool SyncFolderOf(const std::string& path, std::string* why) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
    *why = "the new content is in place, but its folder could not be synced: " + ErrnoText(errno);
    return false;
  }
  return true;
}

// The temporary-and-rename road; `existing` is the target's status when it
// exists (a regular file), null for a new file.
bool ReplaceAtomically(const std::string& path, std::string_view bytes, const struct stat* existing,
                       std::string* why) {
  std::string temp_name = path + ".XXXXXX";
  std::vector<char> temp(temp_name.begin(), temp_name.end());
  temp.push_back('\0');
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.get() < 0) return Fail(why, errno);
  const auto fail = [&](int error) {
    ::unlink(temp.data());
    return Fail(why, error);
  };
  mode_t mode = 0;
  if (existing != nullptr) {
    mode = existing->st_mode & 07777;
    if (existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) {
      if (::fchown(fd.get(), existing->st_uid, existing->st_gid) != 0) {
        // Keeping the owner needs privileges the process may not have; the
        // file then belongs to whoever replaced it, as with any editor's save.
      }
    }
  } else {
    // mkstemp creates the file for its owner only; give it the permissions a
    // newly created file would have under the process's umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (::fchmod(fd.get(), mode) != 0) return fail(errno);
  if (!WriteAll(fd.get(), bytes)) return fail(errno);
  if (::fsync(fd.get()) != 0) return fail(errno);
  if (!fd.Close()) return fail(errno);
  if (::rename(temp.data(), path.c_str()) != 0) return fail(errno);
  return SyncFolderOf(path, why);
}

// Writes through whatever the path names (a device, a FIFO, a link's target).
bool WriteInPlace(const std::string& path, std::string_view bytes, std::string* why) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
  if (fd.get() < 0) return Fail(why, errno);
  if (!WriteAll(fd.get(), bytes)) return Fail(why, errno);
  struct stat info {};
  // Only a regular file (a link's target) has content to make durable.
  if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && ::fsync(fd.get()) != 0) {
    return Fail(why, errno);
  }
  if (!fd.Close()) return Fail(why, errno);
  return true;
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(put);
  }
  return true;
}

bool WriteOutputFile(const std::string& path, std::string_view bytes, std::string* why) {
  if (path == "-") return WriteAll(STDOUT_FILENO, bytes) || Fail(why, errno);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return Fail(why, errno);
    return ReplaceAtomically(path, bytes, nullptr, why);
  }
  if (S_ISREG(info.st_mode)) return ReplaceAtomically(path, bytes, &info, why);
  if (S_ISDIR(info.st_mode)) return Fail(why, EISDIR);
  return WriteInPlace(path, bytes, why);
}

std::string InputName(const std::string& path) { return path == "-" ? "standard input" : path; }

int OpenInput(const std::string& path, std::string* why) {
  const int fd = path == "-" ? ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)
                             : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail(why, errno);
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    Fail(why, S_ISDIR(info.st_mode) ? EISDIR : errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why) {
  UniqueFd fd(OpenInput(path, why));
  if (fd.get() < 0) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Fail(why, errno);
  const auto too_large = [why] {
    *why = "is larger than " + std::to_string(kMaxInputBytes) + " bytes";
    return false;
  };
  std::string content;
  if (S_ISREG(info.st_mode)) {
    if (static_cast<std::uint64_t>(info.st_size) > kMaxInputBytes) return too_large();
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Fail(why, errno);
    }
    if (got == 0) break;
    if (content.size() + static_cast<std::size_t>(got) > kMaxInputBytes) return too_large();
    content.append(buffer, static_cast<std::size_t>(got));
  }
  *bytes = std::move(content);
  return true;
}

LineReader::Result LineReader::Next(std::string* line, std::string* why) {
  for (;;) {
    const std::size_t end = buffer_.find('\n', start_);
    if (end != std::string::npos || (ended_ && start_ < buffer_.size())) {
      const std::size_t stop = end == std::string::npos ? buffer_.size() : end;
      line->assign(buffer_, start_, stop - start_);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      start_ = end == std::string::npos ? buffer_.size() : end + 1;
      return kLine;
    }
    if (ended_) return kEnd;
    if (buffer_.size() - start_ > kMaxLineBytes) {
      *why = "a line is longer than " + std::to_string(kMaxLineBytes) + " bytes";
      return kError;
    }
    // Keep only the unread part, so the buffer never holds more than a line
    // and one read.
    buffer_.erase(0, start_);
    start_ = 0;
    if (cancel_fd_ >= 0) {
      pollfd waits[2] = {{fd_, POLLIN, 0}, {cancel_fd_, POLLIN, 0}};
      if (::poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        Fail(why, errno);
        return kError;
      }
      if (waits[1].revents != 0) return kCancelled;
    }
    char chunk[65536];
    const ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      Fail(why, errno);
      return kError;
    }
    if (got == 0) {
      ended_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

}  // namespace base
