// Test support: wrappers that stand between the code under test and the
// repository, for the cases the repository cannot produce on its own (see
// Faults in journal.h), and an event whose listed properties read as a test
// says. They record the Puts made on the instances they hand out, and mark
// each indication in the journal so that a test can see a result event go out
// before a message.
//
// Everything handed out wraps the repository's own object and forwards to it;
// objects going back into the repository are unwrapped first. Wrappers are
// COM objects like any other, so the live-object count proves they were all
// released.
// Thread-safe as far as the forwarded objects are.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "actions/testing/journal.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "wbem/interfaces.h"

namespace actions::testing {

// `inner` behind a wrapper that injects `journal`'s faults (one new reference).
wbem::ComPtr<IWbemServices> WrapServices(wbem::ComPtr<IWbemServices> inner,
                                         std::shared_ptr<Journal> journal);

// A property read that a test decides: the result, and the value on success.
struct Override {
  HRESULT hr;
  wbem::Variant value;
};
// `event` with the listed properties overridden (one new reference).
wbem::ComPtr<IWbemClassObject> WrapEvent(IWbemClassObject* event,
                                         std::map<std::u16string, Override> overrides);

}  // namespace actions::testing
