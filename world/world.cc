#include "world/world.h"

#include <utility>

#include "repository/cim.h"
#include "repository/zrv_classes.h"
#include "wbem/holders.h"

namespace world {

Properties ReadProperties(IWbemClassObject* object) {
  Properties props;
  if (object == nullptr) return props;
  object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
  for (;;) {
    wbem::Bstr name;
    wbem::Variant value;
    CIMTYPE type = CIM_EMPTY;
    if (object->Next(0, name.Out(), value.ptr(), &type, nullptr) != WBEM_S_NO_ERROR) break;
    props[name.ToUtf8()] = repository::FormatCimValue(type, value.get());
  }
  object->EndEnumeration();
  return props;
}

std::string Mof(const std::string& text) {
  return repository::FormatCimValue(CIM_STRING, wbem::Variant(text).get());
}

World::World(std::string_view ns_name)
    : ns_(repository_.OpenNamespace(ns_name)), results_(repository::CollectingSink::Create()) {}

World::~World() { StopCollecting(); }

HRESULT World::DefineStandardClasses(bool with_result_class) const {
  const HRESULT hr = ns_.Define(repository::ZrvEventClass());
  if (hr != WBEM_S_NO_ERROR || !with_result_class) return hr;
  return ns_.Define(repository::ZrvActionResultClass());
}

HRESULT World::CollectResults() {
  if (collecting_) return WBEM_S_NO_ERROR;
  const HRESULT hr = ns_.Subscribe("SELECT * FROM ZRV_ActionResult", results_.get());
  collecting_ = hr == WBEM_S_NO_ERROR;
  return hr;
}

void World::StopCollecting() {
  if (!collecting_) return;
  ns_.Unsubscribe(results_.get());
  collecting_ = false;
  results_->Clear();
}

HRESULT World::NewEvent(std::string_view event_class, const repository::PropertyValues& values,
                        wbem::ComPtr<IWbemClassObject>* event) const {
  return ns_.NewInstance(event_class, values, event);
}

std::vector<wbem::ComPtr<IWbemClassObject>> World::TakeResults() {
  (void)WaitIdle();
  std::vector<wbem::ComPtr<IWbemClassObject>> taken = results_->Objects();
  results_->Clear();
  return taken;
}

}  // namespace world
