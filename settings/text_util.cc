#include "settings/text_util.h"

#include <locale.h>

#include <cstdio>
#include <cstdlib>

namespace settings {
namespace {

// The C locale as an object, made once. Switching the calling thread to it
// with uselocale() for one conversion is thread-safe and leaves the process
// locale (and every other thread) alone.
locale_t CLocale() {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c_locale;
}

class ScopedCLocale {
 public:
  ScopedCLocale() : m_previous(CLocale() ? uselocale(CLocale()) : static_cast<locale_t>(0)) {}
  ~ScopedCLocale() {
    if (m_previous) uselocale(m_previous);
  }
  ScopedCLocale(const ScopedCLocale&) = delete;
  ScopedCLocale& operator=(const ScopedCLocale&) = delete;

 private:
  locale_t m_previous;
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::vector<std::string_view> Tokenize(std::string_view text, char delimiter) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = text.find_first_not_of(delimiter, pos);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find(delimiter, start);
    if (end == std::string_view::npos) end = text.size();
    tokens.push_back(text.substr(start, end - start));
    pos = end;
  }
  return tokens;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

CStringList TrimmedTokens(std::string_view text, char delimiter) {
  CStringList out;
  for (std::string_view token : Tokenize(text, delimiter)) out.AddTail(std::string(Trim(token)));
  return out;
}

std::string Join(const CStringList& texts) {
  std::string out;
  bool first = true;
  for (const std::string& t : texts) {
    if (!first) out += ',';
    out += t;
    first = false;
  }
  return out;
}

double ParseDouble(const std::string& text) {
  ScopedCLocale c_locale;
  return std::strtod(text.c_str(), nullptr);
}

std::string FormatTwoDecimals(double value) {
  ScopedCLocale c_locale;
  char buf[512];  // %.2f of the largest double has 309 digits before the point
  const int n = std::snprintf(buf, sizeof buf, "%.2f", value);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace settings
