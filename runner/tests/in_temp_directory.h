// Test support: a fixture whose tests each run in a fresh current directory.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "runner/current_directory.h"
#include "testing/temp_dir.h"

namespace runner::testing {

// Runs each test in a fresh current directory of its own, since Run reads and
// deletes the wrapper file there.
class InTempDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetCurrentDirectoryText();
    ASSERT_TRUE(SetCurrentDirectoryText(directory_.path().string()));
  }
  void TearDown() override { SetCurrentDirectoryText(saved_); }

  std::string saved_;
  amtest::TempDir directory_;
};

}  // namespace runner::testing
