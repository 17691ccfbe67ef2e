// A fresh folder under the system's temporary folder for one test, removed
// with everything in it when the object goes.
//
// Write replaces a file atomically (a reader polling for it never sees half
// of it) and makes the folders it needs. Read returns the file's bytes, or ""
// when it cannot be read. Not thread-safe for writes to one name; reads may
// run beside a process that writes into the folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace amtest {

class TempDir {
 public:
  TempDir();  // aborts the test program when no folder can be made
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The full path of `name` inside the folder (nothing is made).
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  // Writes `content` to `name` and returns the full path.
  std::filesystem::path Write(const std::string& name, const std::string& content) const;
  std::filesystem::path Write(const std::string& name,
                              const std::vector<std::uint8_t>& content) const;
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace amtest
