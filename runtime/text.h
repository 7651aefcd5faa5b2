// Text as the programs and their components exchange it: UTF-16, code unit for
// code unit, like the window toolkit's strings, the office's strings and COM's BSTR.
#pragma once

#include <string>
#include <string_view>

namespace rt {

using Text = std::u16string;

// UTF-8 <-> UTF-16. Malformed input (bytes that are not UTF-8, lone surrogates)
// becomes U+FFFD rather than being dropped, so nothing silently disappears.
Text fromUtf8(std::string_view utf8);
std::string toUtf8(std::u16string_view text);

}  // namespace rt
