#include "repository/object_path.h"

#include "repository/class_object.h"

namespace repository {

HRESULT ParseObjectPath(std::u16string_view text, ObjectPath* path) {
  *path = ObjectPath{};
  std::size_t i = 0;
  if (text.starts_with(u"\\\\")) {
    const std::size_t end = text.find(u'\\', 2);
    if (end == std::u16string_view::npos) return WBEM_E_INVALID_OBJECT_PATH;
    path->server = text.substr(2, end - 2);
    if (path->server != u".") return WBEM_E_INVALID_OBJECT_PATH;
    const std::size_t colon = text.find(u':', end + 1);
    if (colon == std::u16string_view::npos) return WBEM_E_INVALID_OBJECT_PATH;
    path->ns = text.substr(end + 1, colon - end - 1);
    if (path->ns.empty()) return WBEM_E_INVALID_OBJECT_PATH;
    i = colon + 1;
  } else {
    // A colon before anything that can hold a value ends a namespace.
    const std::size_t colon = text.find(u':');
    const std::size_t value_start = text.find_first_of(u".=\"");
    if (colon != std::u16string_view::npos && colon < value_start) {
      path->ns = text.substr(0, colon);
      if (path->ns.empty()) return WBEM_E_INVALID_OBJECT_PATH;
      i = colon + 1;
    }
  }
  for (std::size_t j = 0; j < path->ns.size(); ++j) {
    const char16_t c = path->ns[j];
    const bool separator = c == u'\\' || c == u'/';
    if (separator && (j == 0 || j + 1 == path->ns.size())) return WBEM_E_INVALID_OBJECT_PATH;
    if (!separator && !detail::IsValidName(std::u16string_view(&c, 1)) && !(c >= u'0' && c <= u'9'))
      return WBEM_E_INVALID_OBJECT_PATH;
  }
  std::size_t end = text.find(u'.', i);
  if (end == std::u16string_view::npos) end = text.size();
  path->class_name = text.substr(i, end - i);
  if (!detail::IsValidName(path->class_name)) return WBEM_E_INVALID_OBJECT_PATH;
  if (end == text.size()) return WBEM_S_NO_ERROR;
  i = end + 1;
  while (true) {
    const std::size_t eq = text.find(u'=', i);
    if (eq == std::u16string_view::npos) return WBEM_E_INVALID_OBJECT_PATH;
    ObjectPath::Key key;
    key.name = text.substr(i, eq - i);
    if (!detail::IsValidName(key.name)) return WBEM_E_INVALID_OBJECT_PATH;
    i = eq + 1;
    if (i < text.size() && text[i] == u'"') {
      key.quoted = true;
      ++i;
      bool closed = false;
      while (i < text.size()) {
        const char16_t c = text[i++];
        if (c == u'"') {
          closed = true;
          break;
        }
        if (c == u'\\' && i < text.size() && (text[i] == u'"' || text[i] == u'\\')) {
          key.value.push_back(text[i++]);
        } else {
          key.value.push_back(c);
        }
      }
      if (!closed) return WBEM_E_INVALID_OBJECT_PATH;
    } else {
      std::size_t stop = text.find(u',', i);
      if (stop == std::u16string_view::npos) stop = text.size();
      key.value = text.substr(i, stop - i);
      if (key.value.empty() || key.value.find_first_of(u"\" =") != std::u16string::npos)
        return WBEM_E_INVALID_OBJECT_PATH;
      i = stop;
    }
    for (const ObjectPath::Key& k : path->keys) {
      if (detail::Fold(k.name) == detail::Fold(key.name)) return WBEM_E_INVALID_OBJECT_PATH;
    }
    path->keys.push_back(std::move(key));
    if (i == text.size()) return WBEM_S_NO_ERROR;
    if (text[i] != u',') return WBEM_E_INVALID_OBJECT_PATH;
    ++i;
  }
}

std::u16string FormatObjectPath(const ObjectPath& path) {
  std::u16string out;
  if (!path.ns.empty()) out = u"\\\\.\\" + path.ns + u":";
  out += path.class_name;
  for (std::size_t k = 0; k < path.keys.size(); ++k) {
    out.push_back(k == 0 ? u'.' : u',');
    out += path.keys[k].name;
    out.push_back(u'=');
    if (!path.keys[k].quoted) {
      out += path.keys[k].value;
      continue;
    }
    out.push_back(u'"');
    for (char16_t c : path.keys[k].value) {
      if (c == u'"' || c == u'\\') out.push_back(u'\\');
      out.push_back(c);
    }
    out.push_back(u'"');
  }
  return out;
}

}  // namespace repository
