#include "components/office/office.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "components/office/module_abi.h"
#include "components/office/office_libraries.h"

namespace office {

namespace {

using automation::Args;
using automation::CallKind;
using automation::DispatchRef;
using automation::DispId;
using rt::Status;
using rt::Text;
using rt::Variant;

Status cannotCreate(const std::string& why) {
  return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                  u"Cannot start the presentation application: " + rt::fromUtf8(why));
}

std::string executableDir() {
  std::vector<char> buf(PATH_MAX + 1);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  std::string path(buf.data(), static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// The office's libraries that the module links live in the office's program
// folder, which is not on the system's library path, and the module carries
// no search path of its own. Loading them here by their full names first
// lets the dynamic loader find them already loaded when it resolves the
// module's needs by name; their own dependencies come from the same folder
// through the office's own search path ($ORIGIN). The handles stay open for
// the life of the program, like the module's. "" on success, else why not.
std::string loadOfficeLibraries() {
  for (const char* name : kOfficeLibraries) {
    const std::string path = std::string(VARDEL_OFFICE_PROGRAM_DIR "/") + name;
    if (!dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return dlerror();
  }
  return {};
}

// Loads the module once per program. A failure is remembered too: the loader
// does not change its mind within a run.
struct Loaded {
  const VardelOfficeModule* module = nullptr;
  std::string error;
};

const Loaded& loadModule() {
  static Loaded loaded;
  static std::once_flag once;
  std::call_once(once, [] {
    // Without the office's program folder the module cannot load at all;
    // say so in words rather than in the loader's.
    if (access(VARDEL_OFFICE_PROGRAM_DIR "/soffice", X_OK) != 0) {
      loaded.error = "LibreOffice Impress is not installed (" VARDEL_OFFICE_PROGRAM_DIR
                     "/soffice was not found). Install the package libreoffice-impress.";
      return;
    }
    const std::vector<std::string> candidates = {
        executableDir() + "/" VARDEL_OFFICE_MODULE_RELATIVE_DIR "/" VARDEL_OFFICE_MODULE_FILE,
        VARDEL_OFFICE_MODULE_BUILD_DIR "/" VARDEL_OFFICE_MODULE_FILE};
    std::string why;
    for (const auto& path : candidates) {
      if (access(path.c_str(), R_OK) != 0) continue;
      if (why = loadOfficeLibraries(); !why.empty()) break;
      void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!handle) {
        why = dlerror();
        break;
      }
      using Entry = const VardelOfficeModule* (*)();
      auto entry = reinterpret_cast<Entry>(dlsym(handle, kVardelOfficeEntry));
      const VardelOfficeModule* m = entry ? entry() : nullptr;
      if (!m || m->abiVersion != kVardelOfficeAbi) {
        why = path + " does not belong to this program's version.";
        break;
      }
      loaded.module = m;
      return;
    }
    loaded.error = why.empty() ? "its office module " VARDEL_OFFICE_MODULE_FILE
                                 " is not installed beside the program."
                               : "its office module could not be loaded: " + why;
  });
  return loaded;
}

// The program's view of an object living in the module: forwards every call
// and carries the module's description of a failure over into this side's
// error info. Objects the module returns are wrapped the same way.
class ModuleObject : public automation::Dispatch {
 public:
  ModuleObject(DispatchRef inner, const VardelOfficeModule* module)
      : inner_(std::move(inner)), module_(module) {}

  Status idOfName(std::u16string_view name, DispId& id) override {
    return carry(inner_->idOfName(name, id));
  }

  Status invoke(DispId id, CallKind kind, const Args& args, Variant& result) override {
    const Status s = carry(inner_->invoke(id, kind, args, result));
    if (auto object = result.get<rt::ObjectRef>()) {
      if (auto d = std::dynamic_pointer_cast<automation::Dispatch>(*object))
        result = Variant(rt::ObjectRef(std::make_shared<ModuleObject>(std::move(d), module_)));
    }
    return s;
  }

 private:
  Status carry(Status s) {
    if (rt::failed(s)) {
      Text description;
      module_->takeError(&description);
      rt::setErrorInfo(std::move(description));
    }
    return s;
  }

  DispatchRef inner_;
  const VardelOfficeModule* module_;
};

// The warm-up runs on a thread of its own: loading the module and the
// office's libraries reads many megabytes from disk, and the office takes
// seconds to start.
struct Warming {
  std::mutex mutex;
  std::thread thread;
  bool used = false;  // warmed up or created: the module is (being) loaded
  std::atomic<bool> ending{false};
};

Warming& warming() {
  static Warming* w = new Warming;  // never destroyed: nothing of it runs at exit
  return *w;
}

// Waits for a warm-up under way: a creation uses its office.
void awaitWarmUp() {
  Warming& w = warming();
  std::lock_guard lock(w.mutex);
  w.used = true;
  if (w.thread.joinable()) w.thread.join();
}

Status create(rt::ObjectRef& created) {
  awaitWarmUp();
  const Loaded& loaded = loadModule();
  if (!loaded.module) return cannotCreate(loaded.error);
  DispatchRef app;
  const Status s = loaded.module->create(&app);
  if (rt::failed(s)) {
    Text description;
    loaded.module->takeError(&description);
    return rt::fail(s, std::move(description));
  }
  created = std::make_shared<ModuleObject>(std::move(app), loaded.module);
  return rt::status::Ok;
}

}  // namespace

void registerPowerPoint() {
  static automation::Registration registration = automation::registerClass(kProgId, create);
}

void warmUp() {
  Warming& w = warming();
  std::lock_guard lock(w.mutex);
  if (w.used) return;
  w.used = true;
  w.thread = std::thread([&w] {
    const Loaded& loaded = loadModule();
    if (loaded.module && !w.ending) loaded.module->warmUp();
  });
}

void shutdown(std::chrono::milliseconds within) {
  Warming& w = warming();
  std::lock_guard lock(w.mutex);
  w.ending = true;
  if (!w.used) return;  // the module was never needed: nothing to end
  // The module's end also stops a warm-up that has begun in it, and one
  // that begins after this finds the module ended and does nothing.
  if (const Loaded& loaded = loadModule(); loaded.module) loaded.module->shutdown(within.count());
  if (w.thread.joinable()) w.thread.join();
}

}  // namespace office
