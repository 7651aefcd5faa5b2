// The application object and its presentations collection, over one
// connection to the office.
#pragma once

#include "components/automation/member_table.h"

namespace office {

// Starts or connects to the office and creates the application object;
// error 429 with a description when that is not possible.
rt::Status createApplication(automation::DispatchRef& application);

}  // namespace office
