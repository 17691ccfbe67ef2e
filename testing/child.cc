// A child program for tests that start processes: writes, reads and reports
// exactly what a test asks for, so that tests do not depend on shell quirks.
//
//   amtest_child out N [CODE]     N pattern bytes to standard output, exit CODE (0)
//   amtest_child chatty N M       N bytes to output and N to error (interleaved),
//                               then reads input: exit 3 when it got exactly M bytes, else 4
//   amtest_child fds              the open descriptors, as "0 1 2 "
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/child.h"

namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WritePattern(int fd, std::size_t from, std::size_t count) {
  std::string chunk(count, '\0');
  for (std::size_t i = 0; i < count; ++i) chunk[i] = amtest::PatternByte(from + i);
  return WriteAll(fd, chunk.data(), chunk.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "out" && argc >= 3) {
    if (!WritePattern(1, 0, std::strtoul(argv[2], nullptr, 10))) return 90;
    return argc >= 4 ? std::atoi(argv[3]) : 0;
  }
  if (mode == "chatty" && argc == 4) {
    const std::size_t total = std::strtoul(argv[2], nullptr, 10);
    const std::size_t expected_input = std::strtoul(argv[3], nullptr, 10);
    for (std::size_t done = 0; done < total; done += 65536) {
      const std::size_t step = total - done < 65536 ? total - done : 65536;
      if (!WritePattern(1, done, step) || !WritePattern(2, done, step)) return 91;
    }
    std::size_t got = 0;
    char buffer[65536];
    for (ssize_t n; (n = read(0, buffer, sizeof buffer)) > 0;) got += static_cast<std::size_t>(n);
    return got == expected_input ? 3 : 4;
  }
  if (mode == "fds") {
    for (int fd = 0; fd < 65536; ++fd) {
      if (fcntl(fd, F_GETFD) != -1) std::printf("%d ", fd);
    }
    return 0;
  }
  std::fprintf(stderr, "amtest_child: unknown mode\n");
  return 99;
}
