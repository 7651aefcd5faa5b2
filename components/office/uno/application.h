// The application object and its presentations collection, over one
// connection to the office.
#pragma once

#include <chrono>

#include "components/automation/member_table.h"

namespace office {

// Starts or connects to the office and creates the application object;
// error 429 with a description when that is not possible. A warm-up under
// way is waited for, and its connection used.
rt::Status createApplication(automation::DispatchRef& application);

// Starts the office (when none runs for this user) and connects to it ahead
// of the first creation, on the calling thread: the office shows nothing
// until a presentation is opened. Once per program.
void warmUp();

// The end of the program: a warm-up still under way gives up, documents
// opened here get the office's own handler, an office this program started
// that shows no document is ended, every reference to the office is let go
// and every connection closed, and the UNO runtime ends. Within about
// `within`, unless the office stops answering (then the caller's limit must
// take over). Offices showing documents stay.
void shutdown(std::chrono::milliseconds within);

}  // namespace office
