#include "host/trace_utils.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "wbem/unicode.h"

namespace host {

LogArg::LogArg(const char16_t* s) : kind(Kind::kWideText), null_text(s == nullptr), wide_chars(s) {
  size = wbem::Utf16Length(s);
}

namespace {

// One conversion as written: `directive` is its text up to the length modifier
// ("%", flags, width, precision), `length` the modifier, `conv` the
// conversion character.
struct Conversion {
  std::string_view directive;
  std::string_view length;
  char conv;

  bool Plain() const { return directive.size() == 1; }  // no flags, width or precision
};

// printf's format for `conversion` with the modifier `length` in place of the
// one written, in `small` when it fits (it nearly always does).
class PrintfFormat {
 public:
  PrintfFormat(const Conversion& conversion, std::string_view length) {
    const std::size_t size = conversion.directive.size() + length.size() + 1;
    char* out = small_;
    if (size >= sizeof small_) {
      large_.resize(size + 1);
      out = large_.data();
    }
    std::memcpy(out, conversion.directive.data(), conversion.directive.size());
    std::memcpy(out + conversion.directive.size(), length.data(), length.size());
    out[size - 1] = conversion.conv;
    out[size] = '\0';
    text_ = out;
  }
  PrintfFormat(const PrintfFormat&) = delete;
  PrintfFormat& operator=(const PrintfFormat&) = delete;
  const char* c_str() const { return text_; }

 private:
  char small_[48];
  std::string large_;
  const char* text_;
};

// What printf makes of one value, cut to 127 bytes as it always was.
template <typename T>
void AppendPrintf(std::string& out, const Conversion& conversion, std::string_view length,
                  T value) {
  const PrintfFormat format(conversion, length);
  char buf[128];
  const int n = std::snprintf(buf, sizeof buf, format.c_str(), value);
  if (n > 0) out.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

template <typename T>
void AppendNumber(std::string& out, T value, int base = 10) {
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, base);
  out.append(buf, result.ptr);
}

// %s and %S. printf stops a text at its first NUL byte, so a padded or cut
// text does too; a plain one is appended whole.
void AppendText(std::string& out, const Conversion& conversion, std::string_view text) {
  if (conversion.Plain()) {
    out += text;
    return;
  }
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  // The written precision, if any, still applies on top of the text's length.
  std::string_view directive = conversion.directive;
  int precision = static_cast<int>(std::min<std::size_t>(text.size(), 1 << 30));
  if (const std::size_t dot = directive.find('.'); dot != std::string_view::npos) {
    int written = 0;
    std::from_chars(directive.data() + dot + 1, directive.data() + directive.size(), written);
    precision = std::min(precision, written);
    directive = directive.substr(0, dot);
  }
  const Conversion bounded{directive, {}, 's'};
  const PrintfFormat format(bounded, ".*");
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, format.c_str(), precision, text.data());
  if (n <= 0) return;
  if (static_cast<std::size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<std::size_t>(n));
    return;
  }
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n) + 1);
  std::snprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format.c_str(), precision,
                text.data());
  out.resize(at + static_cast<std::size_t>(n));
}

// Appends one conversion for `arg` (null: the argument is missing).
void AppendConversion(std::string& out, const Conversion& c, const LogArg* arg) {
  if (arg == nullptr) {
    out += "(missing)";
    return;
  }
  const bool wide64 = c.length == "ll" || c.length == "j" || c.length == "z";
  const bool numeric = arg->kind == LogArg::Kind::kSigned || arg->kind == LogArg::Kind::kUnsigned;
  const std::int64_t as_signed =
      arg->kind == LogArg::Kind::kSigned ? arg->i : static_cast<std::int64_t>(arg->u);
  switch (c.conv) {
    case 'd':
    case 'i': {
      if (!numeric) break;
      // The system's int and long are 32 bits: a value is shown as the 32-bit
      // number it would have been there.
      const auto narrow = static_cast<std::int32_t>(as_signed);
      if (c.Plain()) {
        wide64 ? AppendNumber(out, as_signed) : AppendNumber(out, narrow);
      } else {
        wide64 ? AppendPrintf(out, c, "ll", static_cast<long long>(as_signed))
               : AppendPrintf(out, c, "", static_cast<int>(narrow));
      }
      return;
    }
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      if (!numeric) break;
      const auto wide = static_cast<std::uint64_t>(as_signed);
      const auto narrow = static_cast<std::uint32_t>(as_signed);
      if (c.Plain() && c.conv != 'X') {
        const int base = c.conv == 'u' ? 10 : c.conv == 'x' ? 16 : 8;
        wide64 ? AppendNumber(out, wide, base) : AppendNumber(out, narrow, base);
      } else {
        wide64 ? AppendPrintf(out, c, "ll", static_cast<unsigned long long>(wide))
               : AppendPrintf(out, c, "", static_cast<unsigned>(narrow));
      }
      return;
    }
    case 'c':
      if (!numeric) break;
      if (c.Plain()) {
        out.push_back(static_cast<char>(as_signed));
      } else {
        AppendPrintf(out, c, "", static_cast<int>(as_signed));
      }
      return;
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'e':
    case 'E':
      if (arg->kind == LogArg::Kind::kDouble) {
        AppendPrintf(out, c, "", arg->d);
      } else if (numeric) {
        AppendPrintf(out, c, "", static_cast<double>(as_signed));
      } else {
        break;
      }
      return;
    case 's':
    case 'S':
      if (arg->kind == LogArg::Kind::kText) {
        AppendText(out, c, arg->null_text ? std::string_view("(null)") : arg->text());
      } else if (arg->kind == LogArg::Kind::kWideText) {
        if (arg->null_text) {
          AppendText(out, c, "(null)");
        } else {
          AppendText(out, c, wbem::Utf16ToUtf8(arg->wide()));
        }
      } else {
        break;
      }
      return;
    default:
      break;
  }
  out += "(?)";
}

bool IsFlag(char ch) { return ch != '\0' && std::strchr("-+ #0", ch) != nullptr; }
bool IsLengthModifier(char ch) { return ch != '\0' && std::strchr("hljzt", ch) != nullptr; }
bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// Appends `value` as two digits.
char* TwoDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}

}  // namespace

void AppendLogMessage(std::string& out, const char* format, std::span<const LogArg> args) {
  if (format == nullptr) return;
  std::size_t next = 0;
  const char* p = format;
  for (;;) {
    // Literal text up to the next conversion goes in one piece.
    const char* percent = std::strchr(p, '%');
    if (percent == nullptr) {
      out.append(p);
      return;
    }
    out.append(p, static_cast<std::size_t>(percent - p));
    p = percent;
    if (p[1] == '%') {
      out.push_back('%');
      p += 2;
      continue;
    }
    const char* start = p++;
    while (IsFlag(*p)) ++p;
    while (IsDigit(*p)) ++p;
    if (*p == '.') {
      ++p;
      while (IsDigit(*p)) ++p;
    }
    const std::string_view directive(start, static_cast<std::size_t>(p - start));
    const char* length_start = p;
    while (IsLengthModifier(*p)) ++p;
    const std::string_view length(length_start, static_cast<std::size_t>(p - length_start));
    if (*p == '\0') {  // a lone '%' at the end is kept as written
      out.append(start);
      return;
    }
    const LogArg* arg = next < args.size() ? &args[next] : nullptr;
    ++next;
    AppendConversion(out, Conversion{directive, length, *p}, arg);
    ++p;
  }
}

std::string FormatLogMessage(const char* format, std::span<const LogArg> args) {
  std::string out;
  AppendLogMessage(out, format, args);
  return out;
}

CTraceUtils* CTraceUtils::GetInstance() {
  // Never destroyed: threads of other libraries may still log while the
  // process's static objects are torn down.
  static CTraceUtils* const instance = new CTraceUtils();
  return instance;
}

void CTraceUtils::SetLineSink(LineSink sink) {
  std::lock_guard lock(mutex_);
  sink_ = std::move(sink);
}

void CTraceUtils::Emit(int level, const char* component, const char* format,
                       std::span<const LogArg> args) {
  // Each thread formats into buffers of its own, whose capacity outlives the
  // line, so that a steady stream of lines allocates nothing. A line logged
  // after the thread's buffers are gone (a library's unload entry runs after
  // the main thread's thread-local objects are destroyed at exit) uses
  // buffers of its own instead.
  struct Buffers {
    std::string message;
    std::string comp;
    bool* gone;
    ~Buffers() { *gone = true; }
  };
  thread_local bool buffers_gone = false;  // trivially destructible: readable to the end
  if (buffers_gone) {
    Buffers late{{}, {}, &buffers_gone};
    Format(level, component, format, args, late.message, late.comp);
    return;
  }
  thread_local Buffers buffers{{}, {}, &buffers_gone};
  Format(level, component, format, args, buffers.message, buffers.comp);
}

void CTraceUtils::Format(int level, const char* component, const char* format,
                         std::span<const LogArg> args, std::string& message, std::string& comp) {
  message.clear();
  AppendLogMessage(message, format, args);
  comp.assign(component != nullptr ? component : "");
  std::lock_guard lock(mutex_);
  if (sink_) {
    sink_(level, comp, message);
    return;
  }
  WriteToStandardError(level, comp, message);
}

void CTraceUtils::WriteToStandardError(int level, const std::string& component,
                                       const std::string& message) {
  // The time is read under the lock, so that lines appear in the order of
  // their timestamps.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != stamp_second_) {
    // Local time changes its offset only on a whole second, so the date and
    // time text is made once per second.
    const time_t seconds = now.tv_sec;
    tm local{};
    localtime_r(&seconds, &local);
    stamp_length_ = std::strftime(stamp_, sizeof stamp_, "%Y-%m-%d %H:%M:%S", &local);
    stamp_second_ = now.tv_sec;
  }
  // The component and the message end at their first NUL byte, as they
  // always did on this stream.
  const std::size_t message_length = std::strlen(message.c_str());
  const std::size_t component_length = std::strlen(component.c_str());
  line_.clear();
  line_.append(stamp_, stamp_length_);
  char middle[32];
  char* m = middle;
  const int millis = static_cast<int>(now.tv_nsec / 1000000);
  *m++ = '.';
  *m++ = static_cast<char>('0' + millis / 100);
  m = TwoDigits(m, millis % 100);
  *m++ = ' ';
  *m++ = '[';
  m = std::to_chars(m, middle + sizeof middle, level).ptr;
  *m++ = ']';
  *m++ = ' ';
  line_.append(middle, m);
  line_.append(component.data(), component_length);
  line_.append(": ", 2);
  line_.append(message.data(), message_length);
  line_.push_back('\n');
  std::fwrite(line_.data(), 1, line_.size(), stderr);
}

}  // namespace host
