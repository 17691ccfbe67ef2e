#include "repository/object_text.h"

#include <vector>

#include "repository/cim.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"

namespace repository {

std::string ObjectToText(IWbemClassObject* object, TextStyle style) {
  if (object == nullptr) return "(null)";
  Variant class_name, superclass, genus;
  if (FAILED(object->Get(u"__CLASS", 0, class_name.Out(), nullptr, nullptr)) ||
      FAILED(object->Get(u"__GENUS", 0, genus.Out(), nullptr, nullptr)) ||
      FAILED(object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY))) {
    return "(unreadable object)";
  }
  object->Get(u"__SUPERCLASS", 0, superclass.Out(), nullptr, nullptr);
  const bool is_class = genus.vt() == VT_I4 && genus.get().lVal == WBEM_GENUS_CLASS;
  struct Entry {
    std::string name;
    CIMTYPE type;
    Variant value;
    bool key;
  };
  std::vector<Entry> entries;
  while (true) {
    Bstr name;
    Variant value;
    CIMTYPE type = 0;
    if (object->Next(0, name.Out(), value.Out(), &type, nullptr) != WBEM_S_NO_ERROR) break;
    entries.push_back({name.ToUtf8(), type, std::move(value), false});
  }
  object->EndEnumeration();
  if (is_class && SUCCEEDED(object->BeginEnumeration(WBEM_FLAG_KEYS_ONLY))) {
    Bstr name;
    while (object->Next(0, name.Out(), nullptr, nullptr, nullptr) == WBEM_S_NO_ERROR) {
      for (Entry& e : entries) {
        if (e.name == name.ToUtf8()) e.key = true;
      }
    }
    object->EndEnumeration();
  }

  std::string out;
  if (style == TextStyle::kSingleLine) {
    out = class_name.AsUtf8() + "{";
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i > 0) out += "; ";
      out += entries[i].name + "=" + FormatCimValue(entries[i].type, entries[i].value.get());
    }
    return out + "}";
  }
  if (is_class) {
    out = "class " + class_name.AsUtf8();
    if (superclass.vt() == VT_BSTR) out += " : " + superclass.AsUtf8();
  } else {
    out = "instance of " + class_name.AsUtf8();
  }
  out += "\n{\n";
  for (const Entry& e : entries) {
    out += "    ";
    if (is_class) {
      if (e.key) out += "[key] ";
      out += std::string(CimTypeName(e.type)) + " " + e.name;
      if (!e.value.IsNull()) out += " = " + FormatCimValue(e.type, e.value.get());
    } else {
      out += e.name + " = " + FormatCimValue(e.type, e.value.get());
    }
    out += ";\n";
  }
  return out + "};";
}

}  // namespace repository
