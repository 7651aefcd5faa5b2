#include "components/office/uno/office_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/ConnectionSetupException.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <uno/threadpool.h>

extern char** environ;

namespace office {

using rtl::OUString;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace uno = css::uno;

// The office answers about 0.3 s after a cold start here (1 s to a loaded
// presentation), but a new profile, a slow disk or a busy machine take many
// times that; a minute leaves room for them without letting an office that
// hangs in start-up (it may be showing a dialog) block the caller forever.
constexpr auto kStartDeadline = 60s;
// Short enough that polling adds little to the start time, long enough that
// the attempts themselves cost nothing noticeable.
constexpr auto kPollInterval = 10ms;
// How often a wait for an office to end looks again.
constexpr auto kExitPollInterval = 20ms;
// An office still starting when the program ends is asked to stop with
// SIGTERM; it answers within a few hundred milliseconds even from its
// first-start set-up, and only one that hangs is killed.
constexpr auto kStartingOfficeGrace = 500ms;

const char kProgramDir[] = VARDEL_OFFICE_PROGRAM_DIR;

rt::Status cannotCreate(const std::string& why) {
  return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                  u"Cannot start the presentation application: " + rt::fromUtf8(why));
}

std::string toUtf8(const OUString& s) { return rtl::OUStringToOString(s, RTL_TEXTENCODING_UTF8).getStr(); }

// The UNO runtime of this process: created on first use, ended by
// endUnoRuntime. The office's fundamentalrc tells it where the types and
// services are; without it the first call into the runtime crashes.
//
// The thread pool's workers (they run the office's calls and releases into
// this process) are joined when the last pool handle goes. A worker that is
// still finishing a message of the office's at that moment goes back to wait
// for work only after the join woke the waiting ones, and the join then
// waits for its two-second idle timeout. So the runtime holds a pool handle
// of its own (`workers`): disposing a bridge does not join the workers, and
// endUnoRuntime, once every bridge is gone and no message can arrive any
// more, lets the handle go and the workers are joined at once.
struct LocalRuntime {
  std::mutex mutex;
  uno::Reference<uno::XComponentContext> context;
  uno_ThreadPool workers = nullptr;
  bool ended = false;
};

LocalRuntime& localRuntime() {
  static LocalRuntime runtime;
  return runtime;
}

uno::Reference<uno::XComponentContext> localContext(std::string& error) {
  LocalRuntime& runtime = localRuntime();
  std::lock_guard lock(runtime.mutex);
  if (runtime.ended) {
    error = "the program is ending.";
    return {};
  }
  if (runtime.context.is()) return runtime.context;
  // A connection whose office has gone fails its writes (EPIPE) rather than
  // ending this program with SIGPIPE: the office may end at any moment, also
  // while this program lets go of it. A handler the program set stays.
  struct sigaction pipe {};
  if (sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler == SIG_DFL) {
    pipe.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &pipe, nullptr);
  }
  const std::string rc = std::string("vnd.sun.star.pathname:") + kProgramDir + "/fundamentalrc";
  setenv("URE_BOOTSTRAP", rc.c_str(), 1);
  try {
    runtime.context = cppu::defaultBootstrap_InitialComponentContext();
    if (!runtime.workers) runtime.workers = uno_threadpool_create();
  } catch (const uno::Exception& e) {
    error = "the office's UNO runtime could not be started: " + toUtf8(e.Message);
  }
  return runtime.context;
}

// Notes that a bridge went: closed by us, or dropped by the office as it
// ended.
class DropWatch : public cppu::WeakImplHelper1<css::lang::XEventListener> {
 public:
  explicit DropWatch(std::shared_ptr<std::atomic<bool>> dropped) : dropped_(std::move(dropped)) {}
  void SAL_CALL disposing(const css::lang::EventObject&) override { *dropped_ = true; }

 private:
  std::shared_ptr<std::atomic<bool>> dropped_;
};

std::uint64_t fnv1a(const char* s) {
  std::uint64_t h = 1469598103934665603ull;
  for (; *s; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 1099511628211ull;
  return h;
}

bool isUtf8Locale(const char* value) {
  if (!value) return false;
  std::string v(value);
  for (auto& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return v.find("utf-8") != std::string::npos || v.find("utf8") != std::string::npos;
}

struct Spawned {
  pid_t pid = -1;
  std::string error;
};

Spawned spawnOffice(const std::string& pipe) {
  std::vector<std::string> args = {std::string(kProgramDir) + "/soffice", "--nologo", "--nodefault",
                                   "--norestore", "--accept=pipe,name=" + pipe + ";urp;"};
  if (const char* profile = std::getenv("UserInstallation"); profile && *profile)
    args.push_back(std::string("-env:UserInstallation=") + profile);
  std::vector<std::string> ours;
  for (char** e = environ; *e; ++e) ours.emplace_back(*e);
  std::vector<std::string> env = officeEnvironment(ours);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd)
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  // The office outlives this program: it must not hold our pipes or sockets
  // open (a caller waiting for our output would wait for the office too).
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  // Its own session: the office stays when the terminal or the program goes.
  posix_spawnattr_setflags(&attr, static_cast<short>(POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                     POSIX_SPAWN_SETSIGDEF));
  Spawned result;
  const int rc = posix_spawn(&result.pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    result.pid = -1;
    result.error = args[0] + " could not be run: " + std::strerror(rc) + ".";
  }
  return result;
}

}  // namespace

std::vector<std::string> officeEnvironment(const std::vector<std::string>& environment) {
  auto valueOf = [&](const char* name) -> const char* {
    const std::string prefix = std::string(name) + "=";
    for (const auto& e : environment)
      if (e.rfind(prefix, 0) == 0 && e.size() > prefix.size()) return e.c_str() + prefix.size();
    return nullptr;
  };
  const char* all = valueOf("LC_ALL");
  const char* ctype = valueOf("LC_CTYPE");
  const char* effective = all ? all : ctype ? ctype : valueOf("LANG");
  if (isUtf8Locale(effective)) return environment;

  // LC_ALL would override LC_CTYPE; its other categories live on in LANG.
  const std::string keepAll = all ? all : "";
  std::vector<std::string> env;
  for (const auto& e : environment) {
    if (e.rfind("LC_CTYPE=", 0) == 0 || e.rfind("LC_ALL=", 0) == 0) continue;
    if (!keepAll.empty() && e.rfind("LANG=", 0) == 0) continue;
    env.push_back(e);
  }
  if (!keepAll.empty()) env.push_back("LANG=" + keepAll);
  env.emplace_back("LC_CTYPE=C.UTF-8");
  return env;
}

bool haveDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

std::string pipeName() {
  std::string name = "vardel_office_" + std::to_string(getuid());
  if (const char* profile = std::getenv("UserInstallation"); profile && *profile) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(profile)));
    name += std::string("_") + hash;
  }
  return name;
}

bool awaitExit(pid_t pid, Clock::time_point deadline) {
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kExitPollInterval);
  }
}

void endOfficeProcess(pid_t pid, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  // Its own session: the whole group goes (the start script's process and
  // the office itself).
  kill(-pid, SIGTERM);
  if (awaitExit(pid, Clock::now() + grace)) return;
  kill(-pid, SIGKILL);
  awaitExit(pid, Clock::now() + 5s);
}

namespace {
// The SDK's references copy where a move is asked for (they move only inside
// the office's own build): take the reference and clear the source.
template <class Interface>
uno::Reference<Interface> take(uno::Reference<Interface>& from) {
  uno::Reference<Interface> taken = from;
  from.clear();
  return taken;
}
}  // namespace

Connection::Connection(Connection&& other) noexcept
    : context(take(other.context)),
      started(std::exchange(other.started, -1)),
      bridge_(take(other.bridge_)),
      dropped_(std::move(other.dropped_)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    close();
    context = take(other.context);
    started = std::exchange(other.started, -1);
    bridge_ = take(other.bridge_);
    dropped_ = std::move(other.dropped_);
  }
  return *this;
}

Connection::~Connection() { close(); }

bool Connection::alive() const { return bridge_.is() && dropped_ && !*dropped_; }

void Connection::close() {
  // Our last reference to the office's side goes first, then the bridge:
  // disposing it closes the pipe and joins its reader and writer (the thread
  // pool's workers are joined when the UNO runtime ends).
  context.clear();
  if (!bridge_.is()) return;
  try {
    bridge_->dispose();
  } catch (const uno::RuntimeException&) {
    // Already disposed: the office dropped the connection first.
  }
  bridge_.clear();
}

bool connectToPipe(const std::string& pipe, Connection& connection, std::string& refusal) {
  std::string error;
  const auto local = localContext(error);
  if (!local.is()) {
    refusal = error;
    return false;
  }
  // What the UNO URL resolver does, with the bridge kept so that it can be
  // disposed: connector, an anonymous URP bridge, the office's context.
  uno::Reference<css::bridge::XBridge> bridge;
  try {
    auto link = css::connection::Connector::create(local)->connect(
        OUString::createFromAscii(("pipe,name=" + pipe).c_str()));
    bridge = css::bridge::BridgeFactory::create(local)->createBridge("", "urp", link, nullptr);
    auto dropped = std::make_shared<std::atomic<bool>>(false);
    uno::Reference<css::lang::XComponent> component(bridge, uno::UNO_QUERY_THROW);
    component->addEventListener(new DropWatch(dropped));
    uno::Reference<uno::XComponentContext> context(bridge->getInstance("StarOffice.ComponentContext"),
                                                   uno::UNO_QUERY);
    if (!context.is()) throw uno::RuntimeException("the office offers no component context");
    connection.close();
    connection.context = context;
    connection.bridge_ = component;
    connection.dropped_ = std::move(dropped);
    return true;
  } catch (const css::connection::NoConnectException&) {
    // Nobody listens yet.
  } catch (const css::connection::ConnectionSetupException& e) {
    refusal = toUtf8(e.Message);
  } catch (const uno::RuntimeException& e) {
    refusal = toUtf8(e.Message);
  } catch (const uno::Exception& e) {
    refusal = toUtf8(e.Message);
  }
  // A bridge the office dropped or refused still has its threads.
  if (uno::Reference<css::lang::XComponent> component{bridge, uno::UNO_QUERY}; component.is()) {
    try {
      component->dispose();
    } catch (const uno::RuntimeException&) {
    }
  }
  return false;
}

namespace {

// Whether a thread of the UNO runtime still runs: a bridge's reader or
// writer, or a worker of the thread pool that runs the office's calls into
// this process (they name themselves so).
bool unoThreadsRunning() {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return false;
  bool running = false;
  while (dirent* task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("binaryurp", 0) == 0 || name.rfind("cppu_threadpool", 0) == 0) running = true;
  }
  closedir(tasks);
  return running;
}

}  // namespace

void endUnoRuntime(Clock::time_point deadline) {
  {
    LocalRuntime& runtime = localRuntime();
    std::lock_guard lock(runtime.mutex);
    runtime.ended = true;
    uno::Reference<css::lang::XComponent> component(runtime.context, uno::UNO_QUERY);
    runtime.context.clear();
    if (component.is()) {
      try {
        component->dispose();
      } catch (const uno::RuntimeException&) {
      }
    }
    if (runtime.workers) uno_threadpool_destroy(std::exchange(runtime.workers, nullptr));
  }
  // Disposing a bridge joins its reader and writer, and the pool handle's
  // end the pool's workers; but a worker that was leaving on its own (it had
  // waited long enough for work) has taken itself off the pool's list by then
  // and still runs for a moment. Leaving main under it would race it.
  while (unoThreadsRunning() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
}

rt::Status connectToOffice(Connection& connection, ConnectControl* control) {
  if (!haveDisplay())
    return cannotCreate("there is no display to show it on (neither DISPLAY nor WAYLAND_DISPLAY is set).");
  if (access((std::string(kProgramDir) + "/soffice").c_str(), X_OK) != 0)
    return cannotCreate(std::string("LibreOffice Impress is not installed (") + kProgramDir +
                        "/soffice was not found).");
  std::string error;
  if (!localContext(error).is()) return cannotCreate(error);

  const std::string pipe = pipeName();
  // An office that is starting (or restarting, as a new profile's first
  // start does) may refuse or drop a connection; that is "not yet".
  std::string lastRefusal;
  if (connectToPipe(pipe, connection, lastRefusal)) return rt::status::Ok;  // the user's office runs

  Spawned child = spawnOffice(pipe);
  if (child.pid < 0) return cannotCreate(child.error);
  const auto ownDeadline = Clock::now() + kStartDeadline;
  auto deadline = [&] {
    if (!control) return ownDeadline;
    return std::min(ownDeadline, Clock::time_point(Clock::duration(control->deadline.load())));
  };
  bool childRunning = true;
  while (!connectToPipe(pipe, connection, lastRefusal)) {
    if (childRunning) {
      int status = 0;
      if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
        childRunning = false;
        // Status 0: an office already running for this profile took over
        // our request (and opens the pipe); keep trying. Anything else is
        // a failed start.
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
          const std::string how = WIFEXITED(status)
                                      ? "with exit status " + std::to_string(WEXITSTATUS(status))
                                      : "by signal " + std::to_string(WTERMSIG(status));
          return cannotCreate("LibreOffice ended while starting (" + how + ").");
        }
      }
    }
    if (Clock::now() >= deadline()) {
      if (childRunning) endOfficeProcess(child.pid, kStartingOfficeGrace);
      if (deadline() < ownDeadline)
        return cannotCreate("the program ended while LibreOffice was starting.");
      return cannotCreate("LibreOffice did not start within " +
                          std::to_string(std::chrono::seconds(kStartDeadline).count()) + " seconds" +
                          (lastRefusal.empty() ? "." : " (" + lastRefusal + ")."));
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  connection.started = childRunning ? child.pid : -1;
  return rt::status::Ok;
}

OfficeEnding::OfficeEnding(Clock::time_point deadline, std::chrono::milliseconds grace)
    : deadline_(deadline), grace_(grace), thread_([this] { run(); }) {}

OfficeEnding::~OfficeEnding() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void OfficeEnding::watch(pid_t pid) {
  if (pid <= 0) return;
  {
    std::lock_guard lock(mutex_);
    if (std::find(pids_.begin(), pids_.end(), pid) == pids_.end()) pids_.push_back(pid);
  }
  changed_.notify_all();
}

void OfficeEnding::keep(pid_t pid) {
  std::lock_guard lock(mutex_);
  std::erase(pids_, pid);
}

// The one place that reaps the offices watched, so none is waited for twice
// (a process group id that is free again must not be signalled).
void OfficeEnding::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    std::erase_if(pids_, [](pid_t pid) {
      int status = 0;
      const pid_t r = waitpid(pid, &status, WNOHANG);
      return r == pid || (r < 0 && errno == ECHILD);
    });
    if (Clock::now() >= deadline_) {
      for (pid_t pid : pids_) endOfficeProcess(pid, grace_);
      pids_.clear();
    }
    if (finishing_ && pids_.empty()) return;
    changed_.wait_for(lock, kExitPollInterval);
  }
}

bool reconnectToOwnOffice(Connection& connection, Clock::time_point deadline) {
  const pid_t office = connection.started;
  connection.close();
  if (office <= 0) return false;
  const std::string pipe = pipeName();
  std::string refusal;
  for (;;) {
    int status = 0;
    if (waitpid(office, &status, WNOHANG) == office) {
      connection.started = -1;
      return false;
    }
    if (connectToPipe(pipe, connection, refusal)) {
      connection.started = office;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

void ConnectControl::giveUpAt(Clock::time_point when) {
  const std::int64_t at = when.time_since_epoch().count();
  std::int64_t current = deadline.load();
  while (at < current && !deadline.compare_exchange_weak(current, at)) {
  }
}

}  // namespace office
