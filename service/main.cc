// actionmanagerd -c CONFIG: the ActionManager component as a Linux service.
//
// Loads libActionManager.so by its SONAME (AM_LIBRARY_SONAME, the name the
// runtime package provides; the unversioned link belongs to the development
// files) the way the agent does (dlopen, so that its load
// entry logs "Initializing ActionManager.dll" in the service's log, then
// CActionManagerManager::GetInstance through dlsym), then the daemon's module
// (libactionmanagerd_core.so, beside the library; both are looked for in the
// lib folder beside the program's folder first), and runs it. At the end
// the manager is destroyed, as its host must, and both are unloaded.
#include <dlfcn.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <new>
#include <string>

#include "service/log.h"
#include "service/service_main.h"

#if defined(__SANITIZE_ADDRESS__)
// The library's class registry is never freed, by design (see the component's
// load test): once the library is unloaded, what its load entry allocated
// shows as a leak made while libraries were initialised.
extern "C" const char* __lsan_default_suppressions() { return "leak:call_init\n"; }
// The daemon unloads the library before it exits, and the leak check at exit
// then walks the dynamic TLS blocks it recorded for the unloaded module: the
// sanitizer runtime of GCC 12 with glibc 2.36 reads a stale block there and
// its tracer crashes (exit 1 instead of the check), depending on the memory
// layout. Not recording dynamic TLS leaves the check the threads' stacks,
// static TLS and the heap, which is all the daemon's state at exit.
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
#endif

namespace {

constexpr char kGetInstance[] = "_ZN21CActionManagerManager11GetInstanceEv";
constexpr char kManagerDestructor[] = "_ZN21CActionManagerManagerD1Ev";

using GetInstanceFn = CActionManagerManager* (*)();
using DestructorFn = void (*)(CActionManagerManager*);
using RunFn = int (*)(const char*, CActionManagerManager*);

// Unloads a library on every path.
class Library {
 public:
  Library(const std::string& name, int flags) : handle_(::dlopen(name.c_str(), flags)) {}
  ~Library() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  void* get() const { return handle_; }
  template <typename Fn>
  Fn Symbol(const char* name) const {
    return reinterpret_cast<Fn>(::dlsym(handle_, name));
  }

 private:
  void* handle_;
};

// `name` in the lib folder beside the program's bin folder when it is there
// (the build tree and an installation alike), else in `installed` (a folder
// relative to the program's, when given), else the bare name for the
// loader's search. Resolved here rather than left to the program's run path,
// which a sanitizer's interception of dlopen would not consult.
std::string Beside(const std::string& name, const char* installed = nullptr) {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    std::filesystem::path candidate = exe.parent_path().parent_path() / "lib" / name;
    if (std::filesystem::exists(candidate, ec)) return candidate.string();
    if (installed != nullptr) {
      candidate = (exe.parent_path() / installed / name).lexically_normal();
      if (std::filesystem::exists(candidate, ec)) return candidate.string();
    }
  }
  return name;
}

std::string LoadError() {
  const char* why = ::dlerror();
  return why != nullptr ? why : "unknown error";
}

// Before any thread exists, so that every thread inherits the mask and the
// signals reach only the signalfd of the run. Children get a clean mask from
// the process runner. Writes to a peer that went away fail with EPIPE instead
// of ending the daemon. The set is the one SignalFd (service_main.cc) takes
// back; the program and its module share no code but the log, so it is
// written in both.
void BlockSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"actionmanagerd: runs ActionManager profiles against events from HTTP and a socket"};
  std::string config;
  std::string library = Beside(AM_LIBRARY_SONAME);
  // Installed, the module lives in a folder of its own below the library
  // folder (AMD_MODULE_DIR: relative to the program's folder).
  std::string module = Beside("libactionmanagerd_core.so", AMD_MODULE_DIR);
  app.set_version_flag("--version", "actionmanagerd " AM_VERSION);
  app.add_option("-c,--config", config, "the configuration file (JSON)")->required();
  app.add_option("--library", library, "the component library to load")->capture_default_str();
  app.add_option("--module", module, "the daemon's module to load")->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  BlockSignals();
  service::InstallJournalLog();
  int status = 1;
  {
    Library component(library, RTLD_NOW | RTLD_GLOBAL);
    if (component.get() == nullptr) {
      service::Log(service::kPriorityErr, "cannot load " + library + ": " + LoadError());
      return 1;
    }
    auto get_instance = component.Symbol<GetInstanceFn>(kGetInstance);
    auto destroy = component.Symbol<DestructorFn>(kManagerDestructor);
    if (get_instance == nullptr || destroy == nullptr) {
      service::Log(service::kPriorityErr, library + " has no CActionManagerManager");
      return 1;
    }
    CActionManagerManager* manager = get_instance();
    {
      Library daemon(module, RTLD_NOW | RTLD_LOCAL);
      auto run = daemon.get() != nullptr ? daemon.Symbol<RunFn>(kActionManagerdEntry) : nullptr;
      if (run == nullptr) {
        service::Log(service::kPriorityErr, "cannot load " + module + ": " + LoadError());
      } else {
        status = run(config.c_str(), manager);
      }
      // The module installed its own line sink; it must not outlive it.
      service::InstallJournalLog();
    }
    if (manager != nullptr) {
      destroy(manager);
      ::operator delete(manager);
    }
  }
  return status;
}
