// CTraceUtils: the host framework's logger.
//
// Every line has a level (0 failures, 1 per-event detail, 2 a program's
// outcome, 3 load/unload and notices), a component name and a message built
// from a printf-style format. By default a line goes to standard error as
//   2026-12-05 20:15:03.042 [1] ActionManager: message
// A program may install its own line sink (tests read the log this way, tools
// turn it into JSON) and a threshold above which lines are dropped.
//
// Formats: %s takes narrow text (const char*, std::string, std::string_view),
// %S takes UTF-16 text (const char16_t*, BSTR, std::u16string) and writes it as
// UTF-8, %d/%i take a number as the system's 32-bit int, %ld/%lu take one as its
// 32-bit "long" (signed/unsigned), %lld/%llu a 64-bit number, %u/%x 32-bit
// unsigned, %c a character, %f/%g/%e a double, %% a percent sign. Width, flags
// and precision work as in printf. Because the arguments are passed as a typed
// list, a mismatch cannot read garbage: a number given for %s prints "(?)",
// a missing argument prints "(missing)", a null text prints "(null)".
//
// Cost: a line above the threshold costs one relaxed load and a branch, with
// no argument captured and nothing formatted. A kept line is formatted into a
// buffer that each thread reuses (numbers and plain texts without printf);
// the timestamp's date and time text is made once per second.
//
// Thread-safe: lines from several threads are delivered whole and one at a time.
// A line sink must not log itself (it is called with the logger's lock held).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace host {

// One argument of a log line, captured by value or by reference to text that
// outlives the LogMsg call. Small and trivially copyable, so that building
// the argument list of a line costs next to nothing.
struct LogArg {
  enum class Kind : std::uint8_t { kSigned, kUnsigned, kDouble, kText, kWideText };
  Kind kind = Kind::kSigned;
  bool null_text = false;
  union {
    std::int64_t i = 0;
    std::uint64_t u;
    double d;
    const char* chars;
    const char16_t* wide_chars;
  };
  std::size_t size = 0;  // text and wide text: length in code units

  template <typename T>
  requires(std::is_integral_v<T> || std::is_enum_v<T>)
      LogArg(T v) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_enum_v<T>) {
      *this = LogArg(static_cast<std::underlying_type_t<T>>(v));
    } else if constexpr (std::is_signed_v<T>) {
      kind = Kind::kSigned;
      i = v;
    } else {
      kind = Kind::kUnsigned;
      u = v;
    }
  }
  LogArg(double v) : kind(Kind::kDouble), d(v) {}  // NOLINT
  LogArg(float v) : kind(Kind::kDouble), d(v) {}   // NOLINT
  LogArg(const char* s)                            // NOLINT
      : kind(Kind::kText),
        null_text(!s),
        chars(s),
        size(s ? std::char_traits<char>::length(s) : 0) {}
  LogArg(char* s) : LogArg(static_cast<const char*>(s)) {}                            // NOLINT
  LogArg(const std::string& s) : LogArg(std::string_view(s)) {}                       // NOLINT
  LogArg(std::string_view s) : kind(Kind::kText), chars(s.data()), size(s.size()) {}  // NOLINT
  LogArg(const char16_t* s);                                                          // NOLINT
  LogArg(char16_t* s) : LogArg(static_cast<const char16_t*>(s)) {}                    // NOLINT
  LogArg(const std::u16string& s) : LogArg(std::u16string_view(s)) {}                 // NOLINT
  LogArg(std::u16string_view s)                                                       // NOLINT
      : kind(Kind::kWideText), wide_chars(s.data()), size(s.size()) {}

  std::string_view text() const { return {chars, size}; }
  std::u16string_view wide() const { return {wide_chars, size}; }
};

// Formats `format` with `args` as described above. Exposed for tests and for
// callers that need the text without logging it.
std::string FormatLogMessage(const char* format, std::span<const LogArg> args);
// The same, appended to `out` (whose capacity a caller can reuse line after line).
void AppendLogMessage(std::string& out, const char* format, std::span<const LogArg> args);

class CTraceUtils {
 public:
  using LineSink =
      std::function<void(int level, const std::string& component, const std::string& message)>;

  static CTraceUtils* GetInstance();

  template <typename... Args>
  void LogMsg(int level, const char* component, const char* format, const Args&... args) {
    if (level > threshold_.load(std::memory_order_relaxed)) return;
    if constexpr (sizeof...(Args) == 0) {
      Emit(level, component, format, {});
    } else {
      const LogArg list[] = {LogArg(args)...};
      Emit(level, component, format, list);
    }
  }

  // Replaces where lines go; an empty function restores standard error.
  void SetLineSink(LineSink sink);

  // Lines whose level is above `level` are dropped before they are formatted.
  // The default is 3, which keeps every line.
  void SetThreshold(int level) { threshold_.store(level, std::memory_order_relaxed); }
  int GetThreshold() const { return threshold_.load(std::memory_order_relaxed); }

 private:
  CTraceUtils() = default;
  void Emit(int level, const char* component, const char* format, std::span<const LogArg> args);
  // Formats into `message` and `comp` and hands the line on.
  void Format(int level, const char* component, const char* format, std::span<const LogArg> args,
              std::string& message, std::string& comp);
  void WriteToStandardError(int level, const std::string& component, const std::string& message);

  std::atomic<int> threshold_{3};
  std::mutex mutex_;
  LineSink sink_;
  // Guarded by mutex_: the local date and time text of `stamp_second_`, and
  // the line being written to standard error.
  std::int64_t stamp_second_ = -1;
  char stamp_[32] = {};
  std::size_t stamp_length_ = 0;
  std::string line_;
};

}  // namespace host

using host::CTraceUtils;
