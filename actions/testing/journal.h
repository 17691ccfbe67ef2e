// Test support: what the code under test did, in order. The logger's lines
// ("LEVEL COMPONENT: MESSAGE") interleaved with the markers that the
// fault-injecting wrappers add ("indicate" for each indication they pass on),
// the Puts made on wrapped objects, and the faults those wrappers inject.
//
// A Journal is the log capture of the host's test support, so at most one
// may exist at a time. Header-only, so that a test that must not link the
// component's layers can use it. Thread-safe: lines arrive from delivery
// threads. Faults are set before events flow.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/testing/log_capture.h"
#include "wbem/types.h"

namespace actions::testing {

// One Put on a wrapped object as the caller sent it.
struct PutRecord {
  std::string object;  // the class of the instance
  std::string name;
  VARTYPE vt;
  std::string text;  // wbem::FormatVariant's text, "?" when it has none
};

// What the wrappers of fault_injection.h refuse; WBEM_S_NO_ERROR lets a call through.
struct Faults {
  HRESULT spawn_in_params = WBEM_S_NO_ERROR;  // SpawnInstance of a method's in-signature
  HRESULT spawn_result = WBEM_S_NO_ERROR;     // SpawnInstance of ZRV_ActionResult
  HRESULT query_object_sink = WBEM_S_NO_ERROR;
  HRESULT indicate = WBEM_S_NO_ERROR;
  HRESULT enumerate_class = WBEM_S_NO_ERROR;   // BeginEnumeration of a class from GetObject
  HRESULT get_result_class = WBEM_S_NO_ERROR;  // GetObject of ZRV_ActionResult
};

class Journal : public LogCapture {
 public:
  static constexpr char kIndicate[] = "indicate";

  void AddPut(PutRecord put) {
    std::lock_guard lock(mu_);
    puts_.push_back(std::move(put));
  }
  // The log lines so far (with the markers when `markers` is set, without the
  // lines of `skip_level`), and a fresh start.
  std::vector<std::string> Take(int skip_level = -1, bool markers = false) {
    std::vector<std::string> lines;
    for (std::string& entry : TakeAll()) {
      if ((markers || entry != kIndicate) &&
          entry.rfind(std::to_string(skip_level) + " ", 0) != 0) {
        lines.push_back(std::move(entry));
      }
    }
    return lines;
  }
  // Lines and markers so far, and a fresh start.
  std::vector<std::string> TakeAll() { return LogCapture::Take(); }
  std::vector<PutRecord> TakePuts() {
    std::lock_guard lock(mu_);
    return std::exchange(puts_, {});
  }

  Faults faults;

 private:
  std::mutex mu_;
  std::vector<PutRecord> puts_;
};

}  // namespace actions::testing
