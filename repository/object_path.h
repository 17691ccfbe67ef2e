// Object paths of the repository.
//
//   \\.\NAMESPACE:CLASS                          a class
//   \\.\NAMESPACE:CLASS.KEY=VALUE[,KEY=VALUE...] an instance
//   NAMESPACE:CLASS[...]  CLASS[...]             the same, relative
//
// The namespace may itself contain backslashes (`root\zrv`): it runs from after
// the server to the first colon. The server must be "."; a path without one is
// relative to the services it is given to, and a path without a namespace
// names the services' own namespace. VALUE is a double-quoted string, in which
// `\"` stands for a double quote and `\\` for a backslash (any other backslash
// is kept as it is, so unescaped Windows paths read as written), or an
// unquoted text up to the next comma (numbers, TRUE, FALSE). Blanks are not
// allowed around names, `=` or `,`.
//
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repository/kit_names.h"
#include "wbem/types.h"

namespace repository {

struct ObjectPath {
  std::u16string server;  // "." or empty for a relative path
  std::u16string ns;      // empty: the services' namespace
  std::u16string class_name;
  struct Key {
    std::u16string name;
    std::u16string value;  // unescaped
    bool quoted = false;
    bool operator==(const Key&) const = default;
  };
  std::vector<Key> keys;  // empty for a class path
  bool operator==(const ObjectPath&) const = default;
};

// WBEM_S_NO_ERROR, or WBEM_E_INVALID_OBJECT_PATH with `*path` unspecified.
HRESULT ParseObjectPath(std::u16string_view text, ObjectPath* path);

// The text of a path: `\\.\ns:` when `ns` is set, then the class and its keys,
// quoted values escaped as ParseObjectPath reads them.
std::u16string FormatObjectPath(const ObjectPath& path);

}  // namespace repository
