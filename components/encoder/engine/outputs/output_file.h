// Opening a recording's file: the name is a plain local path, opened with
// open(2), so FFmpeg's protocol layer never sees it ("pipe:1",
// "http://host/x.wmv" or "concat:a|b" can only ever be file names), and
// only a regular file is ever truncated or written.
#pragma once

#include "runtime/text.h"

namespace encoder::engine {

// Creates (or truncates) the file and returns a descriptor open for reading
// and writing (blocking). On failure returns -1 and sets `error` to a text
// naming the path and the system's reason.
int openOutputFile(const rt::Text& path, rt::Text& error);

// The system's words for an errno value.
rt::Text systemText(int err);

}  // namespace encoder::engine
