// For tests: a readable one-line description of a Variant and of a call, so a
// recording fake can log whole call sequences that one assertion compares.
#pragma once

#include <string>

#include "components/automation/automation.h"

namespace automation::testing {

// "empty", "bool:true", "i16:2", "i32:4", "text:<utf-8>", "object", "ref(<inner>)"
std::string describe(const Variant& v);
// "<Member>(<positional>, <Name>=<value>, ...)"
std::string describeCall(std::string_view member, const Args& args);

}  // namespace automation::testing
