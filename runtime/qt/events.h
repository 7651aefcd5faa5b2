// The event dispatcher and the end of a program, on Qt.
//
// Every event procedure of a window runs through runEvent(): a run-time error
// that leaves the procedure is reported (a message box with its number and
// text) and the program ends. endNow() is the immediate end: no further event
// procedure runs, and the event loop returns.
#pragma once

#include <functional>

#include "runtime/error.h"

class QApplication;
class QWidget;

namespace rt {

// Runs an event procedure in the no-handler mode. Does nothing once the
// program is ending, so no procedure runs after an immediate end.
void runEvent(const std::function<void()>& procedure);

// Immediate end with the given exit status. The caller releases the
// references its window holds first; the event loop returns as soon as
// control goes back to it, and no close or unload event is sent.
void endNow(int exitStatus = 0);

bool ending();

// Runs the application's event loop unless the program already ended (for
// example in a load step, before the loop started). Returns the exit status.
int exec(QApplication& app);

// How an unhandled run-time error is shown. The default is a modal message
// box; tests install a recorder.
using ErrorReporter = std::function<void(const RuntimeError&)>;
void setErrorReporter(ErrorReporter reporter);

// Runs `then` once, from the event loop, right after `window` has been
// painted for the first time: work it starts cannot hold that paint back.
// Nothing runs if the window goes first.
void afterFirstPaint(QWidget* window, std::function<void()> then);

// SIGTERM, SIGHUP and SIGINT close the window as a close request from outside would:
// the handler only writes to a pipe, and the event loop posts the close.
void closeOnTerminationSignals(QWidget* window);

// Forgets an earlier end (for tests that run several programs' worth of
// events in one process).
void resetForTesting();

}  // namespace rt
