#include "service/process_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace service {
namespace {

// The boot time (the "btime" line of /proc/stat), read once: process start
// times are given in clock ticks since boot.
double BootTimeSeconds() {
  static const double boot = [] {
    std::ifstream in("/proc/stat");
    std::string key;
    double value = 0;
    while (in >> key) {
      if (key == "btime") {
        in >> value;
        return value;
      }
      in.ignore(1 << 20, '\n');
    }
    return 0.0;
  }();
  return boot;
}

}  // namespace

ProcessStats ReadProcessStats() {
  ProcessStats stats;
  std::ifstream in("/proc/self/stat");
  std::string line;
  if (!std::getline(in, line)) return stats;
  // The command name (second field) may hold blanks and parentheses: the
  // fields are counted from after its last ')', which is field 3 (state).
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return stats;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  double utime = 0, stime = 0, starttime = 0, vsize = 0, rss = 0;
  for (int number = 3; number <= 24 && fields >> field; ++number) {
    switch (number) {
      case 14: utime = std::stod(field); break;
      case 15: stime = std::stod(field); break;
      case 22: starttime = std::stod(field); break;
      case 23: vsize = std::stod(field); break;
      case 24: rss = std::stod(field); break;
      default: break;
    }
  }
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
  if (ticks <= 0 || page <= 0) return stats;
  stats.ok = true;
  stats.cpu_seconds = (utime + stime) / ticks;
  stats.start_time_seconds = BootTimeSeconds() + starttime / ticks;
  stats.virtual_bytes = vsize;
  stats.resident_bytes = rss * page;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++stats.open_fds;
  }
  // The iterator's own descriptor on /proc/self/fd was among them.
  if (stats.open_fds > 0) --stats.open_fds;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) stats.max_fds = static_cast<double>(limit.rlim_cur);
  return stats;
}

}  // namespace service
