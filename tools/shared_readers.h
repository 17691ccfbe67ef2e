// The readers amctl shares with the service (scenario/), under the names the
// tool's code uses.
#pragma once

#include "scenario/file_io.h"
#include "scenario/json_input.h"
#include "scenario/observing_services.h"
#include "scenario/scenario.h"
#include "scenario/scenario_world.h"
#include "scenario/settings_json.h"

namespace tools {

using scenario::BuildWorld;
using scenario::DescribeSettings;
using scenario::FieldPath;
using scenario::IndexPath;
using scenario::InputName;
using scenario::OpenInput;
using scenario::kMaxInputBytes;
using scenario::kMaxJsonDepth;
using scenario::kMaxLineBytes;
using scenario::LineReader;
using scenario::InputError;
using scenario::Json;
using scenario::kDefaultArchiveVersion;
using scenario::kMaxArchiveVersion;
using scenario::kMinArchiveVersion;
using scenario::LoadSettingsFile;
using scenario::MakeInstance;
using scenario::MethodCallObserver;
using scenario::ObservingServices;
using scenario::ParseJson;
using scenario::PropertiesToJson;
using scenario::PutText;
using scenario::ReadEvent;
using scenario::ReadScenario;
using scenario::ReadWholeFile;
using scenario::ResultText;
using scenario::Scenario;
using scenario::ScenarioObject;
using scenario::SettingsFromJson;
using scenario::SettingsToJson;
using scenario::TextValue;
using scenario::WriteOutputFile;

}  // namespace tools
