#include "repository/zrv_classes.h"

namespace repository {

// The standard classes are alike in shape only: each lists its own
// properties in the order its class declares them.
repository::Class ZrvEventClass() {
  return repository::Class("ZRV_Event")
      .Property("ProfileName", CIM_STRING)
      .Property("ModelName", CIM_STRING)
      .Property("EventId", CIM_STRING)
      .Property("event_key", CIM_STRING)
      .Property("severity", CIM_STRING);
}

repository::Class ZrvActionResultClass() {
  return repository::Class("ZRV_ActionResult")
      .Property("ModelName", CIM_STRING)
      .Property("ProfileName", CIM_STRING)
      .Property("EventId", CIM_STRING)
      .Property("event_key", CIM_STRING)
      .Property("ProgressiveNumber", CIM_SINT32)
      .Property("MsgInfo", CIM_STRING)
      .Property("Duration", CIM_SINT32)
      .Property("Send2Vox", CIM_BOOLEAN)
      .Property("send_to_kvrn", CIM_BOOLEAN)
      .Property("severity", CIM_STRING)
      .Property("AlreadySent", CIM_BOOLEAN)
      .Property("Method", CIM_STRING)
      .Property("descriptive_name", CIM_STRING)
      .Property("program", CIM_STRING)
      .Property("return_code", CIM_SINT32);
}

HRESULT DefineZrvEventClasses(const repository::Namespace& ns) {
  const HRESULT event = ns.Define(ZrvEventClass());
  if (event != WBEM_S_NO_ERROR) return event;
  return ns.Define(ZrvActionResultClass());
}

}  // namespace repository
