// One field of a record in the archive's direction: written when the
// archive stores, read when it loads. What every record's Serialize is made
// of; loading throws CArchiveException as CArchive's readers do.
#pragma once

#include <cstdint>
#include <string>

#include "settings/archive.h"

inline void SerializeString(CArchive& ar, std::string& text) {
  if (ar.IsStoring()) {
    ar.WriteString(text);
  } else {
    text = ar.ReadString();
  }
}

inline void SerializeLong(CArchive& ar, std::int32_t& value) {
  if (ar.IsStoring()) {
    ar.WriteLong(value);
  } else {
    value = ar.ReadLong();
  }
}
