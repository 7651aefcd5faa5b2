// The three ways an event procedure handles a run-time error.
//
//  - No handler: let the RuntimeError propagate. The event dispatcher
//    (runtime/qt/events.h) reports it and ends the program.
//  - Continue-on-error: guard each statement on its own with resumeNext(), so
//    a failing statement is skipped and the next one still runs.
//  - Local handler: a try block from the arming statement to the end of the
//    procedure, whose catch of RuntimeError returns normally and silently.
#pragma once

#include <utility>

#include "runtime/error.h"

namespace rt {

// Runs one statement in continue-on-error mode: a run-time error it raises is
// dropped, and so is the error info a component left behind.
template <class Statement>
void resumeNext(Statement&& statement) noexcept {
  try {
    std::forward<Statement>(statement)();
  } catch (const RuntimeError&) {
    clearErrorInfo();
  }
}

}  // namespace rt
