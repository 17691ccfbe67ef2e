#include "service/journal_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace service {

bool JournalIo::WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = Write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int PosixJournalIo::Open(const std::filesystem::path& path, int flags, mode_t mode) {
  return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

ssize_t PosixJournalIo::Write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}

int PosixJournalIo::Fdatasync(int fd) { return ::fdatasync(fd); }

int PosixJournalIo::SyncFolder(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int rc = ::fsync(fd);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return rc;
}

int PosixJournalIo::Close(int fd) { return ::close(fd); }

bool PosixJournalIo::ReadFile(const std::filesystem::path& path, std::string* bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    bytes->append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace service
