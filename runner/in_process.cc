#include "runner/in_process.h"

#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <vector>

#include "runner/platform/dynamic_library.h"
#include "base/ascii.h"

namespace runner {
namespace {

constexpr char kFormAName[] = "vobrik";

struct ResolvedFunction {
  std::string name;
  void* address;  // null: the module does not export it (remembered as such)
};

// One module of the list. Guarded by the list's mutex.
class LoadedLibrary {
 public:
  LoadedLibrary(std::string module_name, const std::string& entry_name)
      : m_strName(std::move(module_name)), m_pModule(platform::OpenModule(m_strName)) {
    if (m_pModule != nullptr) {
      m_lstFunctions.push_back({entry_name, platform::FindSymbol(m_pModule, entry_name)});
    }
  }

  const std::string& Name() const { return m_strName; }

  // The entry point's address, looked up once per name; null when the library
  // is not loaded or does not export it.
  void* FindEntry(const std::string& name) {
    if (m_pModule == nullptr) return nullptr;
    for (const ResolvedFunction& function : m_lstFunctions) {
      if (base::EqualsIgnoreCase(function.name, name)) return function.address;
    }
    m_lstFunctions.push_back({name, platform::FindSymbol(m_pModule, name)});
    return m_lstFunctions.back().address;
  }

 private:
  std::string m_strName;
  void* m_pModule;  // never closed: an entry point may be running on any thread
  std::vector<ResolvedFunction> m_lstFunctions;
};

struct LibraryList {
  std::mutex mutex;
  std::list<LoadedLibrary> libraries;  // stable addresses; never shrinks
};

LibraryList& Libraries() {
  // Never destroyed: entry points may outlive static destruction on other threads.
  static LibraryList* const list = new LibraryList;
  return *list;
}

void* ResolveEntry(const std::string& module_name, const std::string& entry_name) {
  LibraryList& list = Libraries();
  std::lock_guard<std::mutex> lock(list.mutex);
  for (LoadedLibrary& library : list.libraries) {
    if (base::EqualsIgnoreCase(library.Name(), module_name)) return library.FindEntry(entry_name);
  }
  list.libraries.emplace_back(module_name, entry_name);
  return list.libraries.back().FindEntry(entry_name);
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    if (end > start) words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

CaptureBuffer EmptyText() {
  // One byte more than an entry point may use, so that a text that fills the
  // whole buffer without its terminator still ends.
  CaptureBuffer text(static_cast<char*>(std::calloc(kModuleTextSize + 1, 1)));
  return text;
}

}  // namespace

int RunInProcess(const std::string& command_line, std::int32_t argument_count,
                 const char* const* arguments, ChildProcess& record, InProcessForm form) {
  std::string module_name = kFormAName;
  std::string entry_name = kFormAName;
  if (form == InProcessForm::kB) {
    std::vector<std::string> words = Words(command_line);
    if (words.size() < 2) return kInProcessUnavailable;
    module_name = std::move(words[0]);
    entry_name = std::move(words[1]);
  }
  void* entry = nullptr;
  try {
    entry = ResolveEntry(module_name, entry_name);
  } catch (const std::bad_alloc&) {
    return kInProcessNoEntry;
  }
  if (entry == nullptr) return kInProcessUnavailable;

  CaptureBuffer output = EmptyText();
  CaptureBuffer error = EmptyText();
  if (!output || !error) return kInProcessNoEntry;
  const char* environment = nullptr;
  std::int32_t environment_length = 0;
  if (record.environment != nullptr && record.environment->Data() != nullptr) {
    environment = record.environment->Data();
    environment_length = record.environment->Length();
  }

  std::int32_t result = 0;
  if (form == InProcessForm::kA) {
    result = reinterpret_cast<FormAEntryPoint>(entry)(command_line.c_str(), output.get(),
                                                      error.get(), environment, environment_length);
  } else {
    result = reinterpret_cast<FormBEntryPoint>(entry)(argument_count, arguments, output.get(),
                                                      error.get(), environment, environment_length);
  }
  output.get()[kModuleTextSize] = '\0';
  error.get()[kModuleTextSize] = '\0';
  if (result == 0) {
    record.output.data = std::move(output);
  } else {
    record.error.data = std::move(error);
  }
  record.output.length = 0;
  record.error.length = 0;
  return kInProcessCalled;
}

std::size_t LoadedLibraryCount() {
  LibraryList& list = Libraries();
  std::lock_guard<std::mutex> lock(list.mutex);
  return list.libraries.size();
}

}  // namespace runner
