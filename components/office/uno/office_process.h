// Starting the office, or finding the one already running for this user, and
// connecting to it over a named pipe.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <com/sun/star/uno/XComponentContext.hpp>

#include "runtime/error.h"

namespace office {

struct Connection {
  css::uno::Reference<css::uno::XComponentContext> context;  // the office's
  pid_t started = -1;  // the office process this program started, -1 when reused
};

// Connects to the office listening on this user's pipe, starting one first
// when none listens. Fails with error 429 and a description when there is no
// display, the office cannot be started, it ends while starting, or it does
// not answer within the start deadline.
rt::Status connectToOffice(Connection& connection);

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

// Waits up to `seconds` for a process this program started to end, reaping
// it. Returns true when it ended.
bool awaitExit(pid_t pid, int seconds);

}  // namespace office
