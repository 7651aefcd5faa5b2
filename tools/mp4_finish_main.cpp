// vardel_mp4_finish FILE PACKETS: runs the MP4 output's finishing step on a
// complete fragmented MP4 (as a recording leaves it before a clean stop):
// rewrites it as a regular MP4 with its index first, in place. Prints
// "finish_ms=N" and "bytes=N"; exit status 1 with the reason on failure.
// For the benchmark (bench/recorder/formats.sh).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "components/encoder/engine/outputs/mp4_output.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vardel_mp4_finish FILE PACKETS\n");
    return 2;
  }
  const int fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  struct stat st {};
  ::fstat(fd, &st);
  std::string why;
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = encoder::engine::rewriteWithIndexFirst(fd, argv[1], std::atoll(argv[2]), nullptr, {}, {}, why);
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ::close(fd);
  if (!ok) {
    std::fprintf(stderr, "finishing failed: %s\n", why.c_str());
    return 1;
  }
  std::printf("finish_ms=%.1f\nbytes=%lld\n", ms, static_cast<long long>(st.st_size));
  return 0;
}
