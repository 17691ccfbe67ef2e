// The interface kit's names that the repository uses throughout, brought into
// its namespace once so that its code reads as before the two were split.
#pragma once

#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "wbem/oleauto.h"
#include "wbem/unicode.h"
#include "wbem/variant_text.h"

namespace repository {

using wbem::Bstr;
using wbem::ComPtr;
using wbem::FormatVariant;
using wbem::InterfaceId;
using wbem::Utf16Length;
using wbem::Utf16ToUtf8;
using wbem::Utf8ToUtf16;
using wbem::Variant;

}  // namespace repository
