#include "components/encoder/engine/outputs/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace encoder::engine {

namespace {

constexpr int kIoBufferSize = 64 * 1024;

// How the recording lock went.
enum class Lock { Held, Busy, Unsupported, Failed };

// A write lock on the whole file, owned by this open file description: it
// conflicts with the lock of any other open of the file (in this process
// too), and the system drops it when the description is closed, also when
// the process is killed.
Lock lockForRecording(int fd, int& err) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EACCES) return Lock::Busy;
    // A file system without locks (some network mounts): recording there
    // works as it always did, only without the guard.
    if (err == ENOLCK || err == EINVAL || err == EOPNOTSUPP) return Lock::Unsupported;
    return Lock::Failed;
  }
  return Lock::Held;
}

}  // namespace

int writeFully(int fd, std::uint64_t offset, const std::uint8_t* buf, std::size_t size, std::size_t& written) {
  written = 0;
  while (written < size) {
    const ssize_t n = ::pwrite(fd, buf + written, size - written, static_cast<off_t>(offset + written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    written += static_cast<std::size_t>(n);
  }
  return 0;
}

rt::Text systemText(int err) { return rt::fromUtf8(std::generic_category().message(err)); }

std::unique_ptr<OutputFile> OutputFile::create(const rt::Text& path, rt::Text& error) {
  if (path.empty()) {
    error = u"Cannot create the output file: no file name has been set.";
    return nullptr;
  }
  const std::string name = rt::toUtf8(path);
  if (name.find('\0') != std::string::npos) {
    error = u"Cannot create the output file \"" + path + u"\": the name contains a null character.";
    return nullptr;
  }
  const rt::Text cannot = u"Cannot create the output file \"" + path + u"\": ";
  const rt::Text notRegular = cannot + u"it is not a regular file (a device, a pipe or a socket).";
  // The name may be replaced between the open and the lock (an MP4 recording
  // renames its finished file over it): the lock must hold the file the name
  // names, so the open is repeated until both agree.
  for (int attempt = 0; attempt < 8; ++attempt) {
    // O_NONBLOCK: a named pipe without a reader must not hang the start. No
    // O_TRUNC: the file is truncated only once it is known to be a regular
    // file that no recording of ours is writing.
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    struct stat st {};
    if (fd < 0) {
      const int e = errno;
      // A named pipe without a reader refuses a non-blocking open (ENXIO).
      error = e == ENXIO && ::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? notRegular
                                                                                 : cannot + systemText(e) + u".";
      return nullptr;
    }
    auto failWith = [&](rt::Text text) {
      ::close(fd);
      error = std::move(text);
      return nullptr;
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return failWith(notRegular);
    int e = 0;
    switch (lockForRecording(fd, e)) {
      case Lock::Held:
      case Lock::Unsupported:
        break;
      case Lock::Busy:
        return failWith(u"Cannot record into \"" + path +
                        u"\": another recording is being made into this file. Stop that recording first, "
                        u"or choose another file name.");
      case Lock::Failed:
        return failWith(cannot + systemText(e) + u".");
    }
    struct stat now {};
    if (::stat(name.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
      ::close(fd);
      continue;
    }
    if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, 0) != 0) return failWith(cannot + systemText(errno) + u".");
    std::unique_ptr<OutputFile> file(new OutputFile(fd, true, false));
    if (file->io_ == nullptr) {
      error = cannot + u"out of memory.";
      return nullptr;
    }
    return file;
  }
  error = cannot + u"the file keeps being replaced.";
  return nullptr;
}

std::unique_ptr<OutputFile> OutputFile::borrow(int fd, bool reading) {
  std::unique_ptr<OutputFile> file(new OutputFile(fd, false, reading));
  if (file->io_ == nullptr) return nullptr;
  return file;
}

OutputFile::OutputFile(int fd, bool owned, bool reading) : fd_(fd), owned_(owned) {
  struct stat st {};
  if (::fstat(fd_, &st) == 0) end_ = static_cast<std::uint64_t>(st.st_size);
  physicalEnd_ = end_;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return;
  io_ = avio_alloc_context(buffer, kIoBufferSize, reading ? 0 : 1, this, reading ? &OutputFile::readThunk : nullptr,
                           reading ? nullptr : &OutputFile::writeThunk, &OutputFile::seekThunk);
  if (io_ == nullptr) av_free(buffer);
}

OutputFile::~OutputFile() {
  if (io_ != nullptr) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  if (owned_ && fd_ >= 0) ::close(fd_);
}

int OutputFile::readThunk(void* opaque, std::uint8_t* buf, int size) {
  auto* self = static_cast<OutputFile*>(opaque);
  for (;;) {
    const ssize_t n = ::pread(self->fd_, buf, static_cast<std::size_t>(size), static_cast<off_t>(self->pos_));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      self->fail(errno);
      return AVERROR(errno);
    }
    if (n == 0) return AVERROR_EOF;
    self->pos_ += static_cast<std::uint64_t>(n);
    return static_cast<int>(n);
  }
}

int OutputFile::writeThunk(void* opaque, std::uint8_t* buf, int size) {
  auto* self = static_cast<OutputFile*>(opaque);
  if (self->error_ != 0) return AVERROR(self->error_);
  const auto n = static_cast<std::size_t>(size);
  const bool ok = self->sink_ ? self->sink_(self->pos_, buf, n) : self->writeAt(self->pos_, buf, n);
  if (!ok) return AVERROR(self->error_ != 0 ? self->error_ : EIO);
  self->pos_ += n;
  self->end_ = std::max(self->end_, self->pos_);
  return size;
}

std::int64_t OutputFile::seekThunk(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<OutputFile*>(opaque);
  if (whence & AVSEEK_SIZE) return static_cast<std::int64_t>(self->end_);
  std::int64_t target = offset;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: break;
    case SEEK_CUR: target += static_cast<std::int64_t>(self->pos_); break;
    case SEEK_END: target += static_cast<std::int64_t>(self->end_); break;
    default: return AVERROR(EINVAL);
  }
  if (target < 0) return AVERROR(EINVAL);
  self->pos_ = static_cast<std::uint64_t>(target);
  return target;
}

bool OutputFile::writeAt(std::uint64_t at, const std::uint8_t* data, std::size_t size) {
  if (error_ != 0) return false;
  std::size_t written = 0;
  error_ = writeFully(fd_, at, data, size, written);
  physicalEnd_ = std::max(physicalEnd_, at + written);
  return error_ == 0;
}

bool OutputFile::truncate(std::uint64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    fail(errno);
    return false;
  }
  physicalEnd_ = size;
  return true;
}

bool OutputFile::close() {
  if (io_ != nullptr && io_->write_flag && error_ == 0) avio_flush(io_);
  if (owned_ && fd_ >= 0) {
    if (::close(fd_) != 0) fail(errno);
    fd_ = -1;
  }
  return error_ == 0;
}

}  // namespace encoder::engine
