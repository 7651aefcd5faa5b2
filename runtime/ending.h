// The last steps of a program, within a time limit.
#pragma once

#include <chrono>
#include <functional>

namespace rt {

// Runs `steps` (what the program does before it leaves main: closing its
// connections to outside components) and returns `status`. If the steps have
// not finished after `limit` (an outside component stopped answering), the
// process ends right there with `status`, without running the destructors of
// the program and its libraries: threads still inside those libraries would
// race them.
int endWithin(std::chrono::milliseconds limit, int status, const std::function<void()>& steps);

}  // namespace rt
