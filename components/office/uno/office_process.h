// Starting the office, or finding the one already running for this user, and
// connecting to it over a named pipe.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>

#include "runtime/error.h"

namespace office {

// One connection to an office: the office's component context, reached over
// a bridge of our own. Closing it (or destroying it) releases the context and
// disposes the bridge, which returns once the bridge's threads have ended;
// the office itself stays as it is.
class Connection {
 public:
  Connection() = default;
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  css::uno::Reference<css::uno::XComponentContext> context;  // the office's
  pid_t started = -1;  // the office process this program started, -1 when reused

  // Not closed by us, and the office has not dropped it (ended, crashed).
  bool alive() const;
  // Not while another thread waits in a call over this connection: the
  // office's bridge does not survive being disposed under such a call.
  void close();

 private:
  friend bool connectToPipe(const std::string& pipe, Connection& connection, std::string& refusal);
  css::uno::Reference<css::lang::XComponent> bridge_;
  std::shared_ptr<std::atomic<bool>> dropped_;
};

// What a caller may change while connectToOffice waits for a starting office:
// the deadline (a steady-clock time in nanoseconds since its epoch). At the
// deadline an office this call started is ended and the call fails.
struct ConnectControl {
  std::atomic<std::int64_t> deadline{std::numeric_limits<std::int64_t>::max()};
  void giveUpAt(std::chrono::steady_clock::time_point when);
};

// Connects to the office listening on this user's pipe, starting one first
// when none listens. Fails with error 429 and a description when there is no
// display, the office cannot be started, it ends while starting, or it does
// not answer within the start deadline (or the control's, if earlier).
rt::Status connectToOffice(Connection& connection, ConnectControl* control = nullptr);

// Connects again to an office this program started whose connection
// dropped while the office went on running (it restarts itself when a first
// start changed its set-up), keeping it as ours. False when it has ended, or
// does not answer by `deadline`.
bool reconnectToOwnOffice(Connection& connection, std::chrono::steady_clock::time_point deadline);

// One attempt to connect to whatever listens on `pipe`. False when nothing
// does yet, or when the listener refused or dropped the connection (then
// `refusal` says why).
bool connectToPipe(const std::string& pipe, Connection& connection, std::string& refusal);

// Ends this process's UNO runtime (the component context made for the
// connections) once every connection is closed, and waits until `deadline`
// for the runtime's threads to be gone. No connection can be made
// afterwards.
void endUnoRuntime(std::chrono::steady_clock::time_point deadline);

// The pipe the office listens on: one per user, and one per office profile
// when UserInstallation names a profile of its own (so a test's private
// office and the user's own never meet).
std::string pipeName();

// The environment the office is started with: `environment` (NAME=value
// entries) with a UTF-8 character type, so the office turns file URLs into
// byte paths as UTF-8 whatever the caller's locale.
std::vector<std::string> officeEnvironment(const std::vector<std::string>& environment);

// True when a window can be shown: DISPLAY or WAYLAND_DISPLAY is set.
bool haveDisplay();

// Waits until `deadline` for a process this program started to end, reaping
// it. Returns true when it ended.
bool awaitExit(pid_t pid, std::chrono::steady_clock::time_point deadline);

// Ends an office this program started (its own process group): asks it with
// SIGTERM, and kills it when it is still there after `grace`. Reaps it.
void endOfficeProcess(pid_t pid, std::chrono::milliseconds grace);

// Offices this program started and is ending, or may have to end. Each one
// watched has until the deadline to end by itself; one still there then is
// ended by signal, also while a call on it waits for an answer that does not
// come (that call then fails as the connection drops). One found to show a
// document is kept. The destructor waits for every one watched, reaping it.
class OfficeEnding {
 public:
  OfficeEnding(std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds grace);
  ~OfficeEnding();
  OfficeEnding(const OfficeEnding&) = delete;
  OfficeEnding& operator=(const OfficeEnding&) = delete;

  void watch(pid_t pid);
  void keep(pid_t pid);

 private:
  void run();

  const std::chrono::steady_clock::time_point deadline_;
  const std::chrono::milliseconds grace_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<pid_t> pids_;
  bool finishing_ = false;
  std::thread thread_;
};

}  // namespace office
