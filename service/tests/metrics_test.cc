// What a scrape says about the daemon's own process, read in-process: the
// release, the process_* figures and the children it started.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <regex>
#include <string>

#include "service/children.h"
#include "service/metrics.h"

namespace service {
namespace {

// The value of the sample line `name` in `text`, or -1 when it is missing.
double Sample(const std::string& text, const std::string& name) {
  const std::regex line("(^|\n)" + name + " ([0-9.e+]+)\n");
  std::smatch match;
  return std::regex_search(text, match, line) ? std::stod(match[2]) : -1;
}

TEST(MetricsTest, AScrapeNamesTheReleaseAndTheProcessFigures) {
  // The kernel counts CPU time in clock ticks: spend a few, so that a
  // reading of 0 is a fault and not a process too young to have a tick.
  timespec used{};
  while (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used) == 0 && used.tv_sec == 0 &&
         used.tv_nsec < 50'000'000) {
  }
  Metrics metrics;
  const std::string text = metrics.Render();
  EXPECT_NE(text.find("actionmanagerd_build_info{version=\"" AM_TEST_VERSION "\"} 1"),
            std::string::npos)
      << text;
  for (const char* name : {"process_cpu_seconds_total", "process_resident_memory_bytes",
                           "process_virtual_memory_bytes", "process_open_fds", "process_max_fds"}) {
    SCOPED_TRACE(name);
    EXPECT_GT(Sample(text, name), 0) << text;
  }
  // Started after the boot and not after now (seconds since the epoch).
  const double started = Sample(text, "process_start_time_seconds");
  EXPECT_GT(started, 1.6e9);
  EXPECT_LE(started, static_cast<double>(::time(nullptr)) + 1);
  EXPECT_LE(Sample(text, "process_open_fds"), Sample(text, "process_max_fds"));
}

TEST(ChildrenTest, ListsAChildUntilItEnds) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const auto listed = [&] {
    const std::vector<Child> children = ListChildren();
    return std::any_of(children.begin(), children.end(),
                       [&](const Child& c) { return c.pid == child && c.group == ::getpgrp(); });
  };
  EXPECT_TRUE(listed());
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(listed());
}

}  // namespace
}  // namespace service
