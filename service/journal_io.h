// The journal's file operations, behind an interface so that its failures
// (ENOSPC, EIO, a failing fdatasync) can be produced by a fake in tests. The
// POSIX implementation is what the daemon uses.
//
// Each call answers as its system call does: -1 (or false) with errno set.
// Implementations are called from the journal's writer thread and from Open
// and Close, never concurrently for one descriptor.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace service {

class JournalIo {
 public:
  virtual ~JournalIo() = default;
  virtual int Open(const std::filesystem::path& path, int flags, mode_t mode) = 0;
  virtual ssize_t Write(int fd, const void* data, std::size_t size) = 0;
  virtual int Fdatasync(int fd) = 0;
  // fsync of a folder, so that a file created or removed in it persists.
  virtual int SyncFolder(const std::filesystem::path& dir) = 0;
  virtual int Close(int fd) = 0;
  // The whole file; false with errno set.
  virtual bool ReadFile(const std::filesystem::path& path, std::string* bytes) = 0;

  // Writes all of `bytes`, retrying short writes and EINTR; false with errno
  // set at the first failure (a write of 0 bytes counts as EIO).
  bool WriteAll(int fd, std::string_view bytes);
};

class PosixJournalIo : public JournalIo {
 public:
  int Open(const std::filesystem::path& path, int flags, mode_t mode) override;
  ssize_t Write(int fd, const void* data, std::size_t size) override;
  int Fdatasync(int fd) override;
  int SyncFolder(const std::filesystem::path& dir) override;
  int Close(int fd) override;
  bool ReadFile(const std::filesystem::path& path, std::string* bytes) override;
};

}  // namespace service
