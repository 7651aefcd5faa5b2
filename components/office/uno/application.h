// The application object and its presentations collection, over one
// connection to the office.
#pragma once

#include <chrono>

#include "components/automation/member_table.h"

namespace office {

// Starts or connects to the office and creates the application object;
// error 429 with a description when that is not possible.
rt::Status createApplication(automation::DispatchRef& application);

// The end of the program: documents opened here get the office's own handler, an office this program started
// that shows no document is ended, every reference to the office is let go
// and every connection closed, and the UNO runtime ends. Within about
// `within`, unless the office stops answering (then the caller's limit must
// take over). Offices showing documents stay.
void shutdown(std::chrono::milliseconds within);

}  // namespace office
