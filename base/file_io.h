// Whole-file reads and writes, without exceptions: every failure comes back
// as false with the reason in text.
//
// WriteOutputFile decides by what the path names:
//   - "-": standard output;
//   - nothing yet, or a regular file: the bytes go into a temporary file
//     beside the target, which is synced and renamed over the target only
//     when every byte is on disk, and the folder is synced after the rename.
//     A replaced file keeps its permission bits (and its owner, where the
//     process may set it); a new one gets 0666 less the umask. A failed or
//     interrupted write therefore never leaves a half-written file where a
//     good one was;
//   - anything else (a character device such as /dev/null, a FIFO, a
//     symbolic link, whose target is then written): opened and written in
//     place, since replacing it would destroy what the path is;
//   - a folder: refused.
// Every descriptor is closed and the temporary removed on every path.
//
// ReadWholeFile is thread-safe. WriteOutputFile reads the process's umask
// (which can only be read by setting it): call it while no other thread
// creates files.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

// Sole owner of one descriptor (-1: none), closed when the owner goes.
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

// Replaces or writes the file at `path` by `bytes` as described above. On
// failure `*why` holds the reason; a file that would have been replaced is
// untouched, except when only the final sync of its folder failed (the new
// content is then in place but might not survive a crash).
[[nodiscard]] bool WriteOutputFile(const std::string& path, std::string_view bytes,
                                   std::string* why);

// Writes every byte to the descriptor, retrying short writes and EINTR; false
// with errno set when a write fails.
[[nodiscard]] bool WriteAll(int fd, std::string_view bytes);

// The largest input ReadWholeFile takes, and the longest line LineReader
// returns: inputs are held in memory whole, so an endless one (a device, a
// pipe that never ends) must stop somewhere.
inline constexpr std::size_t kMaxInputBytes = std::size_t{256} << 20;
inline constexpr std::size_t kMaxLineBytes = std::size_t{16} << 20;

// How messages name an input path: "standard input" for "-".
std::string InputName(const std::string& path);

// Reads the whole file ("-": standard input). On failure `*bytes` is left as
// it was and `*why` holds the reason ("No such file or directory", "Is a
// directory", "is larger than 268435456 bytes").
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why);

// Opens `path` for reading ("-": a duplicate of standard input) and refuses a
// folder. Returns the descriptor, which the caller closes, or -1 with `*why`.
[[nodiscard]] int OpenInput(const std::string& path, std::string* why);

// Reads a descriptor (borrowed) line by line. Not thread-safe.
class LineReader {
 public:
  enum Result {
    kLine,       // `*line` holds the next line, without its end ("\n" or "\r\n")
    kEnd,        // the stream ended (a last line without "\n" came before)
    kError,      // reading failed or a line exceeds kMaxLineBytes; `*why` says which
    kCancelled,  // `cancel_fd` became readable while waiting for input
  };

  // `cancel_fd` (borrowed; -1 for none) ends a wait for input that may never
  // come, such as a terminal's.
  explicit LineReader(int fd, int cancel_fd = -1) : fd_(fd), cancel_fd_(cancel_fd) {}

  Result Next(std::string* line, std::string* why);

 private:
  int fd_;
  int cancel_fd_;
  std::string buffer_;
  std::size_t start_ = 0;  // where the unread part of buffer_ begins
  bool ended_ = false;
};

}  // namespace base
