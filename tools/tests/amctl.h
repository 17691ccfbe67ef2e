// The built amctl, run through the shared process harness in a test's folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tools_test {

using amtest::TempDir;
using RunResult = amtest::ProcessResult;

inline RunResult RunAmctl(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                          const std::string& input = {}) {
  amtest::ProcessOptions options;
  options.cwd = cwd;
  options.input = input;
  return amtest::Run(AMCTL_PATH, args, options);
}

inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace tools_test
