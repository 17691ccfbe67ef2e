// The repository side of a scenario: its classes, method providers and
// instances, and the conversion of JSON values to and from the values the
// repository carries.
//
// JSON values convert by the property's declared type: integers (range
// checked; 64-bit ones also as decimal text), numbers for reals, true/false,
// strings for string, datetime and reference, one character or its code for
// char16, {"class": ..., "properties": {...}} for object, null for no value.
// Going back, a value is written as WMI carries it: 64-bit integers as their
// decimal strings, char16 as a one-character string, embedded objects as
// {"class": ..., "properties": {...}}.
//
// Nothing here throws; every failure is an InputError naming the scenario's
// field path. The functions run on the caller's thread; providers run on the
// thread that executes the method.
#pragma once

#include <functional>
#include <string>

#include "scenario/json_input.h"
#include "scenario/scenario.h"
#include "wbem/com_ptr.h"
#include "repository/provider.h"
#include "repository/repository.h"
#include "world/world.h"

namespace scenario {

// Called for every method call a scenario's provider answers, before it
// answers; on the thread that executes the method.
using MethodCallObserver = std::function<void(const repository::MethodCall& call)>;

// Makes the provider of a method backed by a command (ScenarioMethod::command)
// of class `cls`. Only actionmanagerd runs commands; the scenario layer never
// starts a process.
using CommandProviderFactory = std::function<repository::MethodProvider(
    const ScenarioClass& cls, const ScenarioMethod& method)>;

// Defines the standard classes (when the scenario asks for them), then the
// scenario's classes with a provider per method, then files the instances.
// A method backed by a command gets its provider from `commands`; without a
// factory such a method is refused (its "command" field is named).
[[nodiscard]] bool BuildWorld(const Scenario& scenario, const world::World& world,
                              const MethodCallObserver& observer, InputError* error,
                              const CommandProviderFactory& commands = {});

// A new instance of `object.class_name` with its values converted to the
// declared types. When `profile` is not null and the class has a ProfileName
// that the object does not set, it is set to `*profile`. On failure `*out` is
// left empty.
[[nodiscard]] bool MakeInstance(const repository::Namespace& ns, const ScenarioObject& object,
                                const std::string* profile, wbem::ComPtr<IWbemClassObject>* out,
                                InputError* error);

// The non-system properties of `object` as a JSON object, in the object's
// order; with `with_nulls` false, only those that hold a value.
Json PropertiesToJson(IWbemClassObject* object, bool with_nulls);

// "WBEM_E_NOT_FOUND (0x80041002)", or the hex code alone for unknown codes.
std::string ResultText(HRESULT result);

}  // namespace scenario
