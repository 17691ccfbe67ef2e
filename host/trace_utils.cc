#include "host/trace_utils.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "wbem/unicode.h"

namespace host {

LogArg::LogArg(const char16_t* s) : kind(Kind::kWideText), null_text(s == nullptr) {
  if (s) wide = std::u16string_view(s, wbem::Utf16Length(s));
}

namespace {

// Appends one conversion. `conversion` is its text up to the length modifier
// ("%", flags, width, precision), `length` the modifier as written, `conv` the
// conversion character.
void AppendConversion(std::string& out, const std::string& conversion, std::string_view length, char conv,
                      const LogArg* arg) {
  if (arg == nullptr) {
    out += "(missing)";
    return;
  }
  char buf[128];
  const bool wide64 = length == "ll" || length == "j" || length == "z";
  auto format_with = [&](const char* len, auto value) {
    const std::string f = conversion + len + conv;
    const int n = std::snprintf(buf, sizeof buf, f.c_str(), value);
    if (n > 0) out.append(buf, static_cast<std::size_t>(n) < sizeof buf ? n : sizeof buf - 1);
  };
  const bool numeric = arg->kind == LogArg::Kind::kSigned || arg->kind == LogArg::Kind::kUnsigned;
  const std::int64_t as_signed =
      arg->kind == LogArg::Kind::kSigned ? arg->i : static_cast<std::int64_t>(arg->u);
  switch (conv) {
    case 'd':
    case 'i':
      if (!numeric) break;
      // The system's int and long are 32 bits: a value is shown as the 32-bit
      // number it would have been there.
      if (wide64)
        format_with("ll", static_cast<long long>(as_signed));
      else
        format_with("", static_cast<int>(static_cast<std::int32_t>(as_signed)));
      return;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (!numeric) break;
      if (wide64)
        format_with("ll", static_cast<unsigned long long>(as_signed));
      else
        format_with("", static_cast<unsigned>(static_cast<std::uint32_t>(as_signed)));
      return;
    case 'c':
      if (!numeric) break;
      format_with("", static_cast<int>(as_signed));
      return;
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'e':
    case 'E':
      if (arg->kind == LogArg::Kind::kDouble)
        format_with("", arg->d);
      else if (numeric)
        format_with("", static_cast<double>(as_signed));
      else
        break;
      return;
    case 's':
    case 'S': {
      std::string text;
      if (arg->kind == LogArg::Kind::kText) {
        text = arg->null_text ? "(null)" : std::string(arg->text);
      } else if (arg->kind == LogArg::Kind::kWideText) {
        text = arg->null_text ? "(null)" : wbem::Utf16ToUtf8(arg->wide);
      } else {
        break;
      }
      if (conversion == "%") {
        out += text;
      } else {
        const std::string f = conversion + 's';
        const int n = std::snprintf(nullptr, 0, f.c_str(), text.c_str());
        if (n > 0) {
          std::string tmp(static_cast<std::size_t>(n) + 1, '\0');
          std::snprintf(tmp.data(), tmp.size(), f.c_str(), text.c_str());
          tmp.resize(static_cast<std::size_t>(n));
          out += tmp;
        }
      }
      return;
    }
    default:
      break;
  }
  out += "(?)";
}

}  // namespace

std::string FormatLogMessage(const char* format, std::span<const LogArg> args) {
  std::string out;
  if (format == nullptr) return out;
  std::size_t next = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    if (p[1] == '%') {
      out.push_back('%');
      ++p;
      continue;
    }
    const char* start = p++;
    while (*p && std::string_view("-+ #0").find(*p) != std::string_view::npos) ++p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
      ++p;
      while (*p >= '0' && *p <= '9') ++p;
    }
    const std::string conversion(start, p);
    const char* len_start = p;
    while (*p && std::string_view("hljzt").find(*p) != std::string_view::npos) ++p;
    const std::string_view length(len_start, static_cast<std::size_t>(p - len_start));
    if (*p == '\0') {  // a lone '%' at the end is kept as written
      out.append(start);
      break;
    }
    const LogArg* arg = next < args.size() ? &args[next] : nullptr;
    ++next;
    AppendConversion(out, conversion, length, *p, arg);
  }
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
  const std::string message = FormatLogMessage(format, args);
  const std::string comp = component ? component : "";
  std::lock_guard lock(mutex_);
  if (sink_) {
    sink_(level, comp, message);
    return;
  }
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s.%03ld [%d] %s: %s\n", stamp, static_cast<long>(tv.tv_usec / 1000), level,
               comp.c_str(), message.c_str());
}

}  // namespace host
