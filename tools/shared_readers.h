// The readers amctl shares with the service (scenario/) and the file helpers
// (base/), under the names the tool's code uses.
#pragma once

#include "base/file_io.h"
#include "scenario/json_input.h"
#include "scenario/observing_services.h"
#include "scenario/scenario.h"
#include "scenario/scenario_world.h"
#include "scenario/settings_json.h"

namespace tools {

using base::InputName;
using base::OpenInput;
using base::kMaxInputBytes;
using base::kMaxLineBytes;
using base::LineReader;
using base::ReadWholeFile;
using base::WriteOutputFile;

using scenario::BuildWorld;
using scenario::DescribeSettings;
using scenario::FieldPath;
using scenario::IndexPath;
using scenario::kMaxJsonDepth;
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
using scenario::ResultText;
using scenario::Scenario;
using scenario::ScenarioObject;
using scenario::SettingsFromJson;
using scenario::SettingsToJson;
using scenario::TextValue;

}  // namespace tools
