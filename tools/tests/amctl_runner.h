// Runs the built amctl binary for the tool's tests, and a temporary folder
// per test for the files it reads and writes.
//
// The binary's standard streams go through files in the temporary folder, so
// no pipe can fill up and nothing needs a thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tools_test {

struct RunResult {
  int status = -1;  // exit status, or -1 when the binary did not exit normally
  std::string out;
  std::string err;
};

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `name` inside the folder and returns the full path.
  std::string Write(const std::string& name, const std::string& content) const;
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& content) const;
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Runs amctl with `args` in the folder `cwd`, `input` as its standard input.
RunResult RunAmctl(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                   const std::string& input = {});

std::vector<std::uint8_t> Bytes(const std::string& text);

}  // namespace tools_test
