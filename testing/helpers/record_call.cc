// What a command-backed method's program received, for the service's tests:
//
//   record_call FILE [ARG...]
//
// writes to FILE each ARG followed by a NUL byte, then an empty entry (one
// more NUL), then every environment entry that begins with "AM_", each
// followed by a NUL byte. Arguments and entries cannot hold NUL bytes, so the
// file tells exactly what arrived. Exits 0, or 2 when FILE cannot be written.
#include <cstdio>
#include <cstring>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) return 2;
  for (int i = 2; i < argc; ++i) std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, out);
  std::fputc('\0', out);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "AM_", 3) == 0) std::fwrite(*entry, 1, std::strlen(*entry) + 1, out);
  }
  return std::fclose(out) == 0 ? 0 : 2;
}
