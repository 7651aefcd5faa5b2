// A file name as a user gives it, turned into the file URL the office loads.
#pragma once

#include <rtl/ustring.hxx>

#include "runtime/text.h"

namespace office {

using rtl::OUString;

// Converts a path on this machine to a file URL with the office's own
// conversion. The text is taken as UTF-16 exactly as given (it never passes
// through the C library's locale). A relative path is resolved against the
// current folder, and every text is a path: "macro:...", "http://..." or
// "~/x" name files or folders in the current folder, not URLs or home
// folders. An empty name is refused. On failure returns false and leaves the
// reason in `error`.
bool fileUrlFromPath(const rt::Text& path, OUString& url, rt::Text& error);

// The path a file URL stands for, for messages (the URL itself on failure).
rt::Text pathFromFileUrl(const OUString& url);

}  // namespace office
