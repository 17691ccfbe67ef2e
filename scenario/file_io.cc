#include "scenario/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace scenario {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, so that a failing close (a late write error) is seen.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string ErrnoText(int error) { return std::strerror(error); }

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    *why = ErrnoText(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    *why = ErrnoText(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    *why = ErrnoText(EISDIR);
    return false;
  }
  std::string content;
  if (S_ISREG(info.st_mode)) content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      *why = ErrnoText(errno);
      return false;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  *bytes = std::move(content);
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* why) {
  std::string temp_name = path + ".XXXXXX";
  std::vector<char> temp(temp_name.begin(), temp_name.end());
  temp.push_back('\0');
  UniqueFd fd(::mkstemp(temp.data()));
  if (fd.get() < 0) {
    *why = ErrnoText(errno);
    return false;
  }
  const auto fail = [&](int error) {
    ::unlink(temp.data());
    *why = ErrnoText(error);
    return false;
  };
  // mkstemp creates the file for its owner only; give it the permissions a
  // newly created file would have under the process's umask.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd.get(), 0666 & ~mask) != 0) return fail(errno);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (put < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    written += static_cast<std::size_t>(put);
  }
  if (!fd.Close()) return fail(errno);
  if (::rename(temp.data(), path.c_str()) != 0) return fail(errno);
  return true;
}

}  // namespace scenario
