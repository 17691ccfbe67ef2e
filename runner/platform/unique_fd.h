// UniqueFd: sole owner of one file descriptor, closed when the owner goes away.
//
// Move-only. Not thread-safe: one thread owns a UniqueFd at a time.
#pragma once

#include <utility>

namespace runner {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (if any) and takes `fd`.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace runner
