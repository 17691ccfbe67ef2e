// Test module for form B (module path, then entry point name).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#define ENTRY extern "C" __attribute__((visibility("default"))) std::int32_t

ENTRY Hello(std::int32_t, const char* const*, char* output, char*, const char*, std::int32_t) {
  std::strcpy(output, "ok");
  return 0;
}

// Output: the count and the arguments joined by "|", checking the null end.
ENTRY Args(std::int32_t count, const char* const* arguments, char* output, char*, const char*,
           std::int32_t) {
  std::string text = std::to_string(count);
  for (std::int32_t i = 0; i < count; ++i) (text += '|') += arguments[i];
  if (arguments[count] != nullptr) text += "|NOT-TERMINATED";
  std::snprintf(output, 1024, "%s", text.c_str());
  return 0;
}

ENTRY Fail(std::int32_t, const char* const*, char* output, char* error, const char*, std::int32_t) {
  std::strcpy(output, "lost");
  std::strcpy(error, "oops\nmore");
  return 1;
}

ENTRY Quiet(std::int32_t, const char* const*, char*, char*, const char*, std::int32_t) { return 1; }

// Output: "<length> <FNV-1a of all length bytes> <value of PROBE>".
ENTRY Block(std::int32_t, const char* const*, char* output, char*, const char* environment,
            std::int32_t length) {
  std::uint32_t hash = 2166136261u;
  for (std::int32_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(environment[i])) * 16777619u;
  }
  const char* probe = "";
  for (const char* entry = environment; entry != nullptr && *entry;
       entry += std::strlen(entry) + 1) {
    if (std::strncmp(entry, "PROBE=", 6) == 0) probe = entry + 6;
  }
  std::snprintf(output, 1024, "%d %08x %s", length, hash, probe);
  return 0;
}

// Fills all 1024 bytes without a terminator.
ENTRY Overflow(std::int32_t, const char* const*, char* output, char*, const char*, std::int32_t) {
  std::memset(output, 'x', 1024);
  return 0;
}
