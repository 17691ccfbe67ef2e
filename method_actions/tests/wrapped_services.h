// A services pointer that stands between the executor and the repository,
// for the cases the repository cannot produce on its own: a refused
// SpawnInstance, no provider sink, a refused indication. It also keeps one
// journal of what the executor did in order (the variants it put into the
// result event and the in-parameters, the indications) together with the log
// lines, so tests can see that a result event went out before its message.
//
// Everything handed out wraps the repository's own object and forwards to it;
// objects going back into the repository (in-parameters, indicated events)
// are unwrapped first. Wrappers count themselves (LiveWrappers) so a test can
// prove they were all released as well.
//
// Thread-safe in the way the tests need: the journal has a lock; the fault
// switches are set before events flow.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/trace_utils.h"
#include "wbem/cim.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "wbem/unicode.h"

namespace method_actions_test {

inline std::atomic<int>& LiveWrappers() {
  static std::atomic<int> count{0};
  return count;
}

// One Put as the caller sent it.
struct PutRecord {
  std::string object;  // the class of the instance
  std::string name;
  VARTYPE vt;
  std::string text;  // FormatVariant's text, "?" when it has none
};

struct Faults {
  HRESULT spawn_in_params = WBEM_S_NO_ERROR;  // SpawnInstance of a method's in-signature
  HRESULT spawn_result = WBEM_S_NO_ERROR;     // SpawnInstance of ZRV_ActionResult
  HRESULT query_object_sink = WBEM_S_NO_ERROR;
  HRESULT indicate = WBEM_S_NO_ERROR;
};

class Journal {
 public:
  void Add(std::string entry) {
    std::lock_guard lock(mu_);
    entries_.push_back(std::move(entry));
  }
  void AddPut(PutRecord put) {
    std::lock_guard lock(mu_);
    puts_.push_back(std::move(put));
  }
  // The entries so far ("log L COMPONENT: MESSAGE", "indicate"), and a fresh start.
  std::vector<std::string> TakeEntries() {
    std::lock_guard lock(mu_);
    return std::exchange(entries_, {});
  }
  std::vector<PutRecord> TakePuts() {
    std::lock_guard lock(mu_);
    return std::exchange(puts_, {});
  }
  // Only the log lines of TakeEntries.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> lines;
    for (std::string& entry : TakeEntries()) {
      if (entry.rfind("log ", 0) == 0) lines.push_back(entry.substr(4));
    }
    return lines;
  }

  Faults faults;

 private:
  std::mutex mu_;
  std::vector<std::string> entries_;
  std::vector<PutRecord> puts_;
};

// Routes the logger into `journal` for its lifetime. Level-1 lines are left
// out: they are the rule executor's per-event detail, and the executors under
// test log at levels 0 and 3 only.
class JournalLog {
 public:
  explicit JournalLog(std::shared_ptr<Journal> journal) {
    CTraceUtils::GetInstance()->SetLineSink(
        [journal](int level, const std::string& component, const std::string& message) {
          if (level == 1) return;
          journal->Add("log " + std::to_string(level) + " " + component + ": " + message);
        });
  }
  ~JournalLog() { CTraceUtils::GetInstance()->SetLineSink({}); }
  JournalLog(const JournalLog&) = delete;
  JournalLog& operator=(const JournalLog&) = delete;
};

template <typename Interface>
class Wrapper : public Interface {
 public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == wbem::InterfaceId<Interface>::value) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

 protected:
  Wrapper() { ++LiveWrappers(); }
  virtual ~Wrapper() { --LiveWrappers(); }

 private:
  std::atomic<ULONG> refs_{1};
};

class WrappedObject final : public Wrapper<IWbemClassObject> {
 public:
  enum class Kind { kClass, kInSignature, kInstance };

  // Takes over `inner`'s reference.
  static IWbemClassObject* Wrap(IWbemClassObject* inner, Kind kind,
                                std::shared_ptr<Journal> journal) {
    if (inner == nullptr) return nullptr;
    return new WrappedObject(wbem::ComPtr<IWbemClassObject>::Adopt(inner), kind,
                             std::move(journal));
  }
  // The repository's object behind a wrapper, or `object` itself.
  static IWbemClassObject* Unwrap(IWbemClassObject* object) {
    auto* wrapped = dynamic_cast<WrappedObject*>(object);
    return wrapped != nullptr ? wrapped->inner_.get() : object;
  }

  HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    return inner_->Get(name, flags, value, type, flavor);
  }
  HRESULT Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    std::string text = "?";
    if (value != nullptr) wbem::FormatVariant(*value, &text);
    journal_->AddPut({class_name_, wbem::Utf16ToUtf8(name != nullptr ? name : u""),
                      value != nullptr ? value->vt : VT_EMPTY, text});
    return inner_->Put(name, flags, value, type);
  }
  HRESULT BeginEnumeration(LONG flags) override { return inner_->BeginEnumeration(flags); }
  HRESULT Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    return inner_->Next(flags, name, value, type, flavor);
  }
  HRESULT EndEnumeration() override { return inner_->EndEnumeration(); }
  HRESULT Clone(IWbemClassObject** copy) override { return inner_->Clone(copy); }
  HRESULT SpawnInstance(LONG flags, IWbemClassObject** instance) override {
    if (instance == nullptr) return WBEM_E_INVALID_PARAMETER;
    *instance = nullptr;
    const Faults& faults = journal_->faults;
    if (kind_ == Kind::kInSignature && faults.spawn_in_params != WBEM_S_NO_ERROR) {
      return faults.spawn_in_params;
    }
    if (kind_ == Kind::kClass && class_name_ == "ZRV_ActionResult" &&
        faults.spawn_result != WBEM_S_NO_ERROR) {
      return faults.spawn_result;
    }
    IWbemClassObject* spawned = nullptr;
    const HRESULT hr = inner_->SpawnInstance(flags, &spawned);
    if (hr == WBEM_S_NO_ERROR) *instance = Wrap(spawned, Kind::kInstance, journal_);
    return hr;
  }
  HRESULT GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                    IWbemClassObject** out_signature) override {
    IWbemClassObject* in = nullptr;
    const HRESULT hr =
        inner_->GetMethod(name, flags, in_signature != nullptr ? &in : nullptr, out_signature);
    if (in_signature != nullptr) *in_signature = Wrap(in, Kind::kInSignature, journal_);
    return hr;
  }

 private:
  WrappedObject(wbem::ComPtr<IWbemClassObject> inner, Kind kind, std::shared_ptr<Journal> journal)
      : inner_(std::move(inner)), kind_(kind), journal_(std::move(journal)) {
    wbem::Variant name;
    if (SUCCEEDED(inner_->Get(u"__CLASS", 0, name.ptr(), nullptr, nullptr))) {
      class_name_ = name.AsUtf8();
    }
  }

  wbem::ComPtr<IWbemClassObject> inner_;
  Kind kind_;
  std::shared_ptr<Journal> journal_;
  std::string class_name_;
};

class WrappedSink final : public Wrapper<IWbemObjectSink> {
 public:
  WrappedSink(wbem::ComPtr<IWbemObjectSink> inner, std::shared_ptr<Journal> journal)
      : inner_(std::move(inner)), journal_(std::move(journal)) {}

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    journal_->Add("indicate");
    if (journal_->faults.indicate != WBEM_S_NO_ERROR) return journal_->faults.indicate;
    std::vector<IWbemClassObject*> inner(objects, objects + count);
    for (IWbemClassObject*& object : inner) object = WrappedObject::Unwrap(object);
    return inner_->Indicate(count, inner.data());
  }
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override {
    return inner_->SetStatus(flags, result, text, WrappedObject::Unwrap(object));
  }

 private:
  wbem::ComPtr<IWbemObjectSink> inner_;
  std::shared_ptr<Journal> journal_;
};

class WrappedServices final : public Wrapper<IWbemServices> {
 public:
  static wbem::ComPtr<IWbemServices> Create(wbem::ComPtr<IWbemServices> inner,
                                            std::shared_ptr<Journal> journal) {
    return wbem::ComPtr<IWbemServices>::Adopt(
        new WrappedServices(std::move(inner), std::move(journal)));
  }

  HRESULT GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                    IWbemCallResult** call_result) override {
    IWbemClassObject* found = nullptr;
    const HRESULT hr = inner_->GetObject(path, flags, context, &found, call_result);
    if (object != nullptr) *object = WrappedObject::Wrap(found, Kind(), journal_);
    return hr;
  }
  HRESULT ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                     IWbemClassObject* in_params, IWbemClassObject** out_params,
                     IWbemCallResult** call_result) override {
    return inner_->ExecMethod(path, method, flags, context, WrappedObject::Unwrap(in_params),
                              out_params, call_result);
  }
  HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) override {
    if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
    *sink = nullptr;
    if (journal_->faults.query_object_sink != WBEM_S_NO_ERROR) {
      return journal_->faults.query_object_sink;
    }
    wbem::ComPtr<IWbemObjectSink> inner;
    const HRESULT hr = inner_->QueryObjectSink(flags, inner.Out());
    if (hr == WBEM_S_NO_ERROR) *sink = new WrappedSink(std::move(inner), journal_);
    return hr;
  }
  HRESULT ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                     IWbemContext* context, IWbemObjectSink* sink) override {
    return inner_->ExecNotificationQueryAsync(language, query, flags, context, sink);
  }
  HRESULT CancelAsyncCall(IWbemObjectSink* sink) override { return inner_->CancelAsyncCall(sink); }
  HRESULT PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                   IWbemCallResult** call_result) override {
    return inner_->PutClass(WrappedObject::Unwrap(object), flags, context, call_result);
  }
  HRESULT PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                      IWbemCallResult** call_result) override {
    return inner_->PutInstance(WrappedObject::Unwrap(instance), flags, context, call_result);
  }

 private:
  static constexpr WrappedObject::Kind Kind() { return WrappedObject::Kind::kClass; }
  WrappedServices(wbem::ComPtr<IWbemServices> inner, std::shared_ptr<Journal> journal)
      : inner_(std::move(inner)), journal_(std::move(journal)) {}

  wbem::ComPtr<IWbemServices> inner_;
  std::shared_ptr<Journal> journal_;
};

}  // namespace method_actions_test
