// Helpers shared by the repository tests: property values as text.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "repository/kit_names.h"
#include "wbem/holders.h"

namespace repository {

// The texts of `names` on `object`, '|'-separated ("" for NULL): one probe of
// several values, compared once.
inline std::string Text(IWbemClassObject* object, std::initializer_list<const char*> names) {
  std::string texts;
  for (const char* name : names) {
    Variant v;
    EXPECT_EQ(object->Get(Bstr(name).get(), 0, v.Out(), nullptr, nullptr), WBEM_S_NO_ERROR) << name;
    std::string text;
    FormatVariant(v.get(), &text);
    texts += (texts.empty() ? "" : "|") + text;
  }
  return texts;
}
inline std::string Text(IWbemClassObject* object, const char* name) { return Text(object, {name}); }

}  // namespace repository
