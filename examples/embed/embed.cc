// An agent embedding ActionManager, in one file, against the installed
// headers and libraries only:
//
//   1. it builds a profile's settings in C++ (one rule for Disk_Full events:
//      a program action run once per event id, and a task action that this
//      component carries but never runs);
//   2. stores them as an archive in a file and loads them back, as the
//      agent's configuration side does;
//   3. loads libActionManager.so by its SONAME and looks up
//      CActionManagerManager::GetInstance, the way the agent's host loads a
//      component, and drives it through the host framework's
//      CComponentManager interface;
//   4. runs the profile against events it raises on embed::EventBus (its own
//      minimal management services, event_bus.h) and checks what came of
//      them: the program's output and the component's result events.
//
// Usage: embed [DATA_DIR]. DATA_DIR holds scustom.pl, the wrapper every
// program action runs (the installed share/actionmanager, found through the
// CMake package or pkg-config at build time, is the default). Exit status 0
// when every check held, 1 otherwise, with the reason on standard error.
#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component/action_manager_manager.h"
#include "component/version.h"
#include "event_bus.h"
#include "host/component_manager.h"
#include "host/trace_utils.h"
#include "settings/action_info.h"
#include "settings/action_manager_settings.h"
#include "settings/action_rule.h"
#include "settings/archive_io.h"
#include "wbem/com_object.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"

#ifndef EMBED_DATA_DIR
#error "EMBED_DATA_DIR: the installed data folder (share/actionmanager) must be given at build time"
#endif

namespace {

// The archive version the agent stores settings with.
constexpr std::int32_t kArchiveVersion = 11;
constexpr char kProfile[] = "DiskWatch";

int Fail(const std::string& reason) {
  std::cerr << "embed: " << reason << '\n';
  return 1;
}

// A scratch folder, removed with everything in it on every path.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "am-embed-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The agent's handle on the loaded component library.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(const char* name) : handle_(dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}
  ~LoadedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  void* get() const { return handle_; }
  // The file the loader took the library from.
  std::string Path() const {
    link_map* map = nullptr;
    if (handle_ == nullptr || dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
      return "?";
    }
    return map->l_name;
  }

 private:
  void* handle_;
};

// Collects the component's result events: one property map per event.
class ResultCollector final : public wbem::ComObject<ResultCollector, IWbemObjectSink> {
 public:
  using Result = std::map<std::string, std::string>;

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    for (LONG i = 0; i < count; ++i) {
      Result result;
      for (const char* name : {"ProfileName", "EventId", "MsgInfo", "program", "return_code"}) {
        const std::u16string wide(name, name + std::char_traits<char>::length(name));
        wbem::Variant value;
        if (objects[i]->Get(wide.c_str(), 0, value.Out(), nullptr, nullptr) != WBEM_S_NO_ERROR) {
          continue;
        }
        if (value.vt() == VT_BSTR) {
          result[name] = value.AsUtf8();
        } else if (value.vt() == VT_I4) {
          result[name] = std::to_string(value.get().lVal);
        }
      }
      results.push_back(std::move(result));
    }
    return WBEM_S_NO_ERROR;
  }
  HRESULT SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }

  std::vector<Result> results;

 private:
  friend class wbem::ComObject<ResultCollector, IWbemObjectSink>;
  ~ResultCollector() = default;
};

// Step 1: the profile's settings.
void BuildSettings(CActionManagerSettings& settings, const std::string& command) {
  CActionRule rule;
  auto notify = std::make_unique<CProgramActionInfo>();
  notify->m_wExecLimit = 1;  // once per event id
  notify->m_strCommand = command;
  notify->m_strDescriptiveName = "Record the full disk";
  rule.SetAt("notify", std::move(notify));
  rule.SetAt("ticket", std::make_unique<CTaskActionInfo>(0, "Open a ticket", "disk", "queue=ops"));
  settings.m_mapRules.SetAt("Disk_Full", std::move(rule));
}

// Step 2: stored into a file and loaded back into `loaded`; the reloaded
// settings must store to the very same bytes.
bool StoreAndLoad(const CActionManagerSettings& settings, const std::filesystem::path& file,
                  CActionManagerSettings& loaded, std::string& error) {
  std::vector<std::uint8_t> stored;
  AmArchiveStatus status;
  if (!StoreSettingsArchive(settings, kArchiveVersion, stored, &status)) {
    error = "storing the settings failed: " + status.reason;
    return false;
  }
  {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(stored.data()),
              static_cast<std::streamsize>(stored.size()));
    if (!out.flush()) {
      error = "cannot write " + file.string();
      return false;
    }
  }
  std::ifstream in(file, std::ios::binary);
  const std::vector<std::uint8_t> read_back{std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()};
  if (!LoadSettingsArchive(read_back, kArchiveVersion, loaded, &status)) {
    error = "loading " + file.string() + " failed at offset " + std::to_string(status.offset) +
            ": " + status.reason;
    return false;
  }
  std::vector<std::uint8_t> again;
  if (!StoreSettingsArchive(loaded, kArchiveVersion, again) || again != stored) {
    error = "the loaded settings do not store to the bytes they were loaded from";
    return false;
  }
  std::cout << "settings: " << stored.size() << " bytes stored in " << file.filename().string()
            << " and loaded back, " << loaded.m_mapRules.GetCount() << " rule\n";
  return true;
}

// The classes the agent's repository defines: its event base, one monitoring
// event and the result event the component reports through.
bool DefineClasses(embed::EventBus& bus) {
  const std::vector<embed::PropertyDef> event_base = {
      {"ProfileName"}, {"ModelName"}, {"EventId"}, {"event_key"}, {"severity"}};
  const std::vector<embed::PropertyDef> result = {
      {"ModelName"},        {"ProfileName"},       {"EventId"},
      {"event_key"},        {"ProgressiveNumber", CIM_SINT32},
      {"MsgInfo"},          {"Duration", CIM_SINT32},
      {"Send2Vox", CIM_BOOLEAN}, {"send_to_kvrn", CIM_BOOLEAN},
      {"severity"},         {"AlreadySent", CIM_BOOLEAN},
      {"Method"},           {"descriptive_name"},  {"program"},
      {"return_code", CIM_SINT32}};
  return bus.DefineClass("ZRV_Event", "", event_base) == WBEM_S_NO_ERROR &&
         bus.DefineClass("Disk_Full", "ZRV_Event", {{"Drive"}}) == WBEM_S_NO_ERROR &&
         bus.DefineClass("ZRV_ActionResult", "", result) == WBEM_S_NO_ERROR;
}

// Raises one Disk_Full event the way an event provider does: through the sink
// that QueryObjectSink gives.
bool RaiseDiskFull(embed::EventBus& bus, const char* profile, const char* event_id,
                   const char* drive) {
  wbem::ComPtr<IWbemClassObject> event = bus.NewInstance(
      "Disk_Full", {{"ProfileName", profile}, {"ModelName", "DiskModel"}, {"EventId", event_id},
                    {"event_key", std::string(drive) + " is full"}, {"severity", "critical"},
                    {"Drive", drive}});
  wbem::ComPtr<IWbemObjectSink> provider;
  if (!event || bus.QueryObjectSink(0, provider.Out()) != WBEM_S_NO_ERROR) return false;
  IWbemClassObject* objects[] = {event.get()};
  return provider->Indicate(1, objects) == WBEM_S_NO_ERROR;
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Steps 3 and 4, with the component library already loaded by the caller.
int RunProfile(CComponentManager& manager, CActionManagerSettings& settings,
               const std::filesystem::path& log_file) {
  auto bus = wbem::ComPtr<embed::EventBus>::Adopt(new embed::EventBus);
  auto collector = wbem::ComPtr<ResultCollector>::Adopt(new ResultCollector);
  if (!DefineClasses(*bus)) return Fail("cannot define the event classes");
  const wbem::Bstr wql("WQL");
  const wbem::Bstr results_query("SELECT * FROM ZRV_ActionResult");
  if (bus->ExecNotificationQueryAsync(wql.get(), results_query.get(), 0, nullptr,
                                      collector.get()) != WBEM_S_NO_ERROR) {
    return Fail("cannot subscribe to the result events");
  }

  void* handle = nullptr;
  if (manager.CompCreate(kProfile, &handle, &settings) != 1) return Fail("CompCreate refused");
  if (manager.CompStart(bus.get(), handle) != 1) {
    manager.CompDelete(handle);
    return Fail("CompStart refused");
  }
  const bool raised = RaiseDiskFull(*bus, kProfile, "disk-C-1", "C:") &&
                      RaiseDiskFull(*bus, kProfile, "disk-C-1", "C:") &&  // held back: limit 1
                      RaiseDiskFull(*bus, "OtherProfile", "disk-E-1", "E:") &&  // not ours
                      RaiseDiskFull(*bus, kProfile, "disk-D-1", "D:");
  const int checked = manager.CompCheck(bus.get(), handle);
  const int stopped = manager.CompStop(handle);
  manager.CompDelete(handle);
  bus->CancelAsyncCall(collector.get());
  if (!raised) return Fail("raising the events failed");
  if (checked != 1 || stopped != 1) return Fail("the profile was not subscribed while it ran");

  // What the program action did: one line per event id, the event's data in
  // its environment.
  const std::string expected_log = "Disk_Full C: DiskWatch\nDisk_Full D: DiskWatch\n";
  const std::string log = ReadFile(log_file);
  if (log != expected_log) {
    return Fail("the program action wrote\n" + log + "instead of\n" + expected_log);
  }
  // What the component reported: one successful result per action run.
  const std::vector<std::string> expected_ids = {"disk-C-1", "disk-D-1"};
  if (collector->results.size() != expected_ids.size()) {
    return Fail(std::to_string(collector->results.size()) + " result events instead of 2");
  }
  for (std::size_t i = 0; i < expected_ids.size(); ++i) {
    ResultCollector::Result& result = collector->results[i];
    std::cout << "result: event " << result["EventId"] << ", " << result["MsgInfo"]
              << ", return code " << result["return_code"] << '\n';
    if (result["EventId"] != expected_ids[i] || result["ProfileName"] != kProfile ||
        result["MsgInfo"] != "ZRV_CorrelatedEvents|900" || result["return_code"] != "0") {
      return Fail("result event " + std::to_string(i) + " is not the success of " +
                  expected_ids[i]);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path data_dir = argc > 1 ? argv[1] : EMBED_DATA_DIR;
  if (!std::filesystem::exists(data_dir / "scustom.pl")) {
    return Fail("no scustom.pl in " + data_dir.string());
  }
  // Program actions run in the folder this variable names, where the
  // component expects scustom.pl.
  setenv("ZMO_HALBERD_DIR", data_dir.c_str(), 1);
  CTraceUtils::GetInstance()->SetThreshold(0);  // failures only

  const wbem::LiveCounts before = wbem::GetLiveCounts();
  TempDir scratch;
  if (scratch.path().empty()) return Fail("cannot create a scratch folder");
  const std::filesystem::path log_file = scratch.path() / "actions.log";

  CActionManagerSettings settings;
  BuildSettings(settings, "echo $EVENT_NAME $Disk_Full_Drive $ZRV_PROFILE | tee -a " +
                              log_file.string());
  CActionManagerSettings loaded;
  std::string error;
  if (!StoreAndLoad(settings, scratch.path() / "settings.bin", loaded, error)) return Fail(error);

  // The host's way in: the library by its SONAME, then the manager through
  // the one entry it looks up. (This program links the library too, for the
  // settings classes, so dlopen finds the copy already loaded.)
  LoadedLibrary library(AM_LIBRARY_SONAME);
  if (library.get() == nullptr) return Fail(std::string("dlopen: ") + dlerror());
  std::cout << "library: " << library.Path() << " (ActionManager " << AM_VERSION_STRING << ")\n";
  using GetInstanceFn = CActionManagerManager* (*)();
  auto get_instance = reinterpret_cast<GetInstanceFn>(
      dlsym(library.get(), "_ZN21CActionManagerManager11GetInstanceEv"));
  if (get_instance == nullptr) return Fail(std::string("dlsym: ") + dlerror());
  CActionManagerManager* manager = get_instance();
  if (manager == nullptr) return Fail("GetInstance gave no manager");

  const int status = RunProfile(*manager, loaded, log_file);
  delete manager;  // the host owns the manager and ends it before unloading

  if (status == 0 && !(wbem::GetLiveCounts() == before)) {
    return Fail("COM objects or strings were left behind");
  }
  if (status == 0) std::cout << "embed: all checks passed\n";
  return status;
}
