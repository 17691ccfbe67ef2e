#include "actions/event_text.h"

#include "host/temporary_sink.h"
#include "wbem/holders.h"

namespace actions {

bool ReadEventText(IWbemClassObject* event, const char16_t* name, std::string* text) {
  *text = "None";
  if (event == nullptr) return false;
  wbem::Variant value;
  if (FAILED(event->Get(name, 0, value.Out(), nullptr, nullptr))) return false;
  if (value.vt() == VT_BSTR) {
    *text = value.AsUtf8();
  } else if (!value.IsNull()) {
    std::string decoded;
    if (CTemporarySink::DecodeVariant(value.get(), decoded) != 0) *text = std::move(decoded);
  }
  return true;
}

}  // namespace actions
