// Opening a recording's file: the name is a plain local path, opened with
// open(2), so FFmpeg's protocol layer never sees it ("pipe:1",
// "http://host/x.wmv" or "concat:a|b" can only ever be file names), and
// only a regular file is ever truncated or written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/text.h"

namespace encoder::engine {

// Creates (or truncates) the file and returns a descriptor open for reading
// and writing (blocking). On failure returns -1 and sets `error` to a text
// naming the path and the system's reason.
int openOutputFile(const rt::Text& path, rt::Text& error);

// Writes all of `buf` at `offset` (pwrite, resumed after a signal and after
// a short write). 0 on success, else the errno of the failure (EIO where
// nothing could be written); `written` says how much reached the file.
int writeFully(int fd, std::uint64_t offset, const std::uint8_t* buf, std::size_t size, std::size_t& written);

// The system's words for an errno value.
rt::Text systemText(int err);

}  // namespace encoder::engine
