#include "components/encoder/engine/outputs/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace encoder::engine {

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

int openOutputFile(const rt::Text& path, rt::Text& error) {
  if (path.empty()) {
    error = u"Cannot create the output file: no file name has been set.";
    return -1;
  }
  const std::string name = rt::toUtf8(path);
  if (name.find('\0') != std::string::npos) {
    error = u"Cannot create the output file \"" + path + u"\": the name contains a null character.";
    return -1;
  }
  // O_NONBLOCK: a named pipe without a reader must not hang the start; the
  // file is truncated only once it is known to be a regular file, so naming a
  // device or a pipe never writes to it.
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  const rt::Text notRegular =
      u"Cannot create the output file \"" + path + u"\": it is not a regular file (a device, a pipe or a socket).";
  struct stat st {};
  if (fd < 0) {
    const int e = errno;
    // A named pipe without a reader refuses a non-blocking open (ENXIO).
    error = e == ENXIO && ::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)
                ? notRegular
                : u"Cannot create the output file \"" + path + u"\": " + systemText(e) + u".";
    return -1;
  }
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = notRegular;
    return -1;
  }
  if (::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, 0) != 0) {
    const int e = errno;
    ::close(fd);
    error = u"Cannot create the output file \"" + path + u"\": " + systemText(e) + u".";
    return -1;
  }
  return fd;
}

}  // namespace encoder::engine
