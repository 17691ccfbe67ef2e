#include "repository/wql.h"

#include "repository/class_object.h"

namespace repository {
namespace {

class Scanner {
 public:
  explicit Scanner(std::u16string_view text) : text_(text) {}

  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == u' ' || text_[pos_] == u'\t' ||
                                   text_[pos_] == u'\r' || text_[pos_] == u'\n')) {
      ++pos_;
    }
  }
  bool AtEnd() {
    SkipBlanks();
    return pos_ == text_.size();
  }
  // An identifier: a letter or underscore, then letters, digits, underscores.
  bool Word(std::u16string* out) {
    SkipBlanks();
    const std::size_t start = pos_;
    while (pos_ < text_.size() && IsWordChar(text_[pos_], pos_ == start)) ++pos_;
    if (pos_ == start) return false;
    out->assign(text_.substr(start, pos_ - start));
    return true;
  }
  bool Keyword(std::u16string_view keyword) {
    const std::size_t saved = pos_;
    std::u16string word;
    if (Word(&word) && detail::Fold(word) == keyword) return true;
    pos_ = saved;
    return false;
  }
  bool Symbol(char16_t c) {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Literal(std::u16string* out) {
    SkipBlanks();
    if (pos_ >= text_.size() || text_[pos_] != u'"') return false;
    ++pos_;
    out->clear();
    while (pos_ < text_.size()) {
      const char16_t c = text_[pos_++];
      if (c == u'"') return true;
      if (c == u'\\') {
        if (pos_ >= text_.size() || (text_[pos_] != u'\\' && text_[pos_] != u'"')) return false;
        out->push_back(text_[pos_++]);
      } else {
        out->push_back(c);
      }
    }
    return false;
  }

 private:
  static bool IsWordChar(char16_t c, bool first) {
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_') return true;
    return !first && c >= u'0' && c <= u'9';
  }

  std::u16string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

HRESULT ParseEventQuery(std::u16string_view text, EventQuery* query) {
  *query = EventQuery{};
  Scanner s(text);
  if (!s.Keyword(u"select") || !s.Symbol(u'*') || !s.Keyword(u"from") ||
      !s.Word(&query->class_name)) {
    return WBEM_E_INVALID_QUERY;
  }
  if (s.AtEnd()) return WBEM_S_NO_ERROR;
  if (!s.Keyword(u"where")) return WBEM_E_INVALID_QUERY;
  do {
    EventQuery::Condition c;
    if (!s.Word(&c.property) || !s.Symbol(u'=') || !s.Literal(&c.text)) {
      return WBEM_E_INVALID_QUERY;
    }
    query->conditions.push_back(std::move(c));
  } while (s.Keyword(u"and"));
  return s.AtEnd() ? WBEM_S_NO_ERROR : WBEM_E_INVALID_QUERY;
}

}  // namespace repository
