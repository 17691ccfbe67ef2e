// Method providers: the C++ callables that implement a class's methods.
//
// ExecMethod resolves the path and the method, spawns the out-parameter object
// from the method's out-signature (its ReturnValue is NULL until set) and calls
// the provider on the caller's thread with no repository lock held, so a
// provider may itself use the repository. The provider's HRESULT is what
// ExecMethod returns; the out-parameter object reaches the caller only when
// that HRESULT is a success (positive codes included).
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "repository/kit_names.h"
#include "wbem/holders.h"

namespace repository {

struct MethodCall {
  std::string path;        // the object path as ExecMethod received it
  std::string ns;          // the namespace the path resolved to
  std::string class_name;  // the class named by the path
  std::string method;      // the method name as ExecMethod received it
  // Key properties of an instance path, in path order (name, value text);
  // empty for a class path.
  std::vector<std::pair<std::string, std::string>> keys;
  IWbemClassObject* in = nullptr;     // in-parameters as passed; may be null; borrowed
  IWbemClassObject* out = nullptr;    // out-parameters to fill; never null; borrowed
  IWbemServices* services = nullptr;  // the namespace's services; borrowed

  // The in-parameter `name` (VT_EMPTY when there is none).
  Variant Arg(const char* name) const;
  // Puts `value` into the out-parameter `name` with the declared type's
  // conversion; returns Put's result.
  HRESULT SetOut(const char* name, const Variant& value) const;
  // SetOut("ReturnValue", value).
  HRESULT Return(const Variant& value) const { return SetOut("ReturnValue", value); }
};

using MethodProvider = std::function<HRESULT(MethodCall& call)>;

// Sees a method call that the repository answers without running its
// provider (see Repository::RecordCallsOnly). Runs on the caller's thread
// with no repository lock held; `call.out` is the answer being built.
using CallRecorder = std::function<void(const MethodCall& call)>;

}  // namespace repository
