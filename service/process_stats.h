// What the daemon's own process uses, for the process_* metrics that
// Prometheus's client libraries export under the same names.
//
// Everything is read from this process's own /proc entries (/proc/self/stat,
// /proc/self/fd) and getrlimit, never by walking the whole of /proc, so a
// scrape costs the same however many processes the host runs.
#pragma once

namespace service {

struct ProcessStats {
  bool ok = false;  // false when /proc/self/stat could not be read; the rest is then 0
  double cpu_seconds = 0;         // user and system time
  double resident_bytes = 0;      // resident set size
  double virtual_bytes = 0;       // virtual memory size
  double start_time_seconds = 0;  // since the Unix epoch
  double open_fds = 0;
  double max_fds = 0;             // the soft limit on descriptors
};

ProcessStats ReadProcessStats();

}  // namespace service
