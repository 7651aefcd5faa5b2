// A recording's file, and the file layer between FFmpeg and the disk that the
// outputs share.
//
// - The name is a plain local path, opened with open(2), so FFmpeg's protocol
//   layer never sees it ("pipe:1", "http://host/x.wmv" or "concat:a|b" can
//   only ever be file names), and only a regular file is ever truncated or
//   written.
// - One recording per file: the file is locked (an open-file-description
//   lock, which the system releases when the file is closed or its process
//   dies) before it is truncated, so a second recording into a file that one
//   of ours is still writing fails before touching it, in this process or any
//   other, while a file whose recording has finished is replaced as before.
// - FFmpeg reads and writes through an AVIOContext of ours. What the muxer
//   writes goes to a sink of the output's (which may collect and complete a
//   header and shift what follows), or straight to the position it names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "runtime/text.h"

struct AVIOContext;

namespace encoder::engine {

class OutputFile {
 public:
  // Receives what the muxer writes and where it believes it writes it
  // (positions as the muxer counts them). False after a failure, which the
  // sink has recorded with fail().
  using Sink = std::function<bool(std::uint64_t at, const std::uint8_t* data, std::size_t size)>;

  // Opens `path` for a recording: creates it, or truncates it when no
  // recording of ours is writing it, and holds it until close(). nullptr
  // with `error` naming the path and the reason on failure.
  static std::unique_ptr<OutputFile> create(const rt::Text& path, rt::Text& error);
  // An open file that is not ours to close, read (`reading`) or written
  // through io() from position 0. nullptr when memory is out.
  static std::unique_ptr<OutputFile> borrow(int fd, bool reading);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_; }

  // The context FFmpeg reads or writes through. Writes go to `sink` once one
  // is set, else to the position the muxer names.
  AVIOContext* io() { return io_; }
  void setSink(Sink sink) { sink_ = std::move(sink); }

  // Writes all of `size` bytes at `at` in the file. False (error() set) on
  // failure, and after any earlier failure without writing.
  bool writeAt(std::uint64_t at, const std::uint8_t* data, std::size_t size);
  // Cuts the file to `size` bytes.
  bool truncate(std::uint64_t size);
  // The end of what has been written to the file.
  std::uint64_t physicalEnd() const { return physicalEnd_; }

  // The errno of the first failure, 0 if none. fail() records one (the first
  // counts); setError() replaces it (0: none), for writing a file back into
  // shape after a failure.
  int error() const { return error_; }
  void fail(int err) {
    if (error_ == 0) error_ = err;
  }
  void setError(int err) { error_ = err; }

  // Flushes FFmpeg's buffer and closes the file (a borrowed one stays open);
  // false (error() set) when something could not be written.
  bool close();

 private:
  OutputFile(int fd, bool owned, bool reading);
  static int readThunk(void* opaque, std::uint8_t* buf, int size);
  static int writeThunk(void* opaque, std::uint8_t* buf, int size);
  static std::int64_t seekThunk(void* opaque, std::int64_t offset, int whence);

  int fd_ = -1;
  bool owned_ = false;
  AVIOContext* io_ = nullptr;
  Sink sink_;
  std::uint64_t pos_ = 0, end_ = 0;  // as FFmpeg counts: its position, the end of what it wrote
  std::uint64_t physicalEnd_ = 0;
  int error_ = 0;
};

// Writes all of `buf` at `offset` (pwrite, resumed after a signal and after
// a short write). 0 on success, else the errno of the failure (EIO where
// nothing could be written); `written` says how much reached the file.
int writeFully(int fd, std::uint64_t offset, const std::uint8_t* buf, std::size_t size, std::size_t& written);

// The system's words for an errno value.
rt::Text systemText(int err);

}  // namespace encoder::engine
