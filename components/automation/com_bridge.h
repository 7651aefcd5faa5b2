// Windows only: objects that no implementation of ours provides are created
// through COM and bound late through IDispatch, with named arguments passed in
// DISPPARAMS and by-reference arguments as VT_BYREF|VT_VARIANT.
#pragma once

#ifdef _WIN32

#include <string_view>

#include "components/automation/automation.h"

struct IDispatch;

namespace automation::com {

// Creates the object registered under a programmatic identifier (or a class
// identifier in braces) on the local machine and returns its IDispatch.
Status createInstance(std::u16string_view id, rt::ObjectRef& created);

// Wraps an IDispatch the caller already holds (adds its own reference).
DispatchRef wrap(IDispatch* dispatch);

// The end of the program (automation::shutdown): releases the object of
// every wrapper still alive (later calls on it fail as disconnected), then
// leaves COM on this thread, if the bridge entered it.
void shutdown();

}  // namespace automation::com

#endif
