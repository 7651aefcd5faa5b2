#include "components/office/uno/office_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/connection/ConnectionSetupException.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <cppuhelper/bootstrap.hxx>

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

const char kProgramDir[] = VARDEL_OFFICE_PROGRAM_DIR;

rt::Status cannotCreate(const std::string& why) {
  return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                  u"Cannot start the presentation application: " + rt::fromUtf8(why));
}

std::string toUtf8(const OUString& s) { return rtl::OUStringToOString(s, RTL_TEXTENCODING_UTF8).getStr(); }

// The UNO runtime of this process: created once, on first use. The office's
// fundamentalrc tells it where the types and services are; without it the
// first call into the runtime crashes.
uno::Reference<uno::XComponentContext> localContext(std::string& error) {
  static std::mutex mutex;
  static uno::Reference<uno::XComponentContext> context;
  std::lock_guard lock(mutex);
  if (context.is()) return context;
  const std::string rc = std::string("vnd.sun.star.pathname:") + kProgramDir + "/fundamentalrc";
  setenv("URE_BOOTSTRAP", rc.c_str(), 1);
  try {
    context = cppu::defaultBootstrap_InitialComponentContext();
  } catch (const uno::Exception& e) {
    error = "the office's UNO runtime could not be started: " + toUtf8(e.Message);
  }
  return context;
}

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

bool awaitExit(pid_t pid, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

rt::Status connectToOffice(Connection& connection) {
  if (!haveDisplay())
    return cannotCreate("there is no display to show it on (neither DISPLAY nor WAYLAND_DISPLAY is set).");
  if (access((std::string(kProgramDir) + "/soffice").c_str(), X_OK) != 0)
    return cannotCreate(std::string("LibreOffice Impress is not installed (") + kProgramDir +
                        "/soffice was not found).");
  std::string error;
  const auto local = localContext(error);
  if (!local.is()) return cannotCreate(error);

  const std::string pipe = pipeName();
  const OUString url = OUString::createFromAscii(("uno:pipe,name=" + pipe + ";urp;StarOffice.ComponentContext").c_str());
  auto resolver = css::bridge::UnoUrlResolver::create(local);
  // An office that is starting (or restarting, as a new profile's first
  // start does) may refuse or drop a connection; that is "not yet".
  std::string lastRefusal;
  auto attempt = [&]() -> bool {
    try {
      connection.context.set(resolver->resolve(url), uno::UNO_QUERY);
      return connection.context.is();
    } catch (const css::connection::NoConnectException&) {
      return false;
    } catch (const css::connection::ConnectionSetupException& e) {
      lastRefusal = toUtf8(e.Message);
    } catch (const uno::RuntimeException& e) {
      lastRefusal = toUtf8(e.Message);
    }
    return false;
  };

  try {
    if (attempt()) return rt::status::Ok;  // the user's office is already running

    Spawned child = spawnOffice(pipe);
    if (child.pid < 0) return cannotCreate(child.error);
    const auto deadline = Clock::now() + kStartDeadline;
    bool childRunning = true;
    while (!attempt()) {
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
      if (Clock::now() >= deadline) {
        if (childRunning) {
          kill(-child.pid, SIGKILL);  // its own session: the whole group goes
          awaitExit(child.pid, 5);
        }
        return cannotCreate("LibreOffice did not start within " +
                            std::to_string(std::chrono::seconds(kStartDeadline).count()) + " seconds" +
                            (lastRefusal.empty() ? "." : " (" + lastRefusal + ")."));
      }
      std::this_thread::sleep_for(kPollInterval);
    }
    connection.started = childRunning ? child.pid : -1;
    return rt::status::Ok;
  } catch (const uno::Exception& e) {
    return cannotCreate("the connection to LibreOffice failed: " + toUtf8(e.Message));
  }
}

}  // namespace office
