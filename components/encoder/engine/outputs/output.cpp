#include "components/encoder/engine/outputs/output.h"

extern "C" {
#include <libavutil/error.h>
}

#include "components/encoder/engine/outputs/asf_output.h"
#include "components/encoder/engine/outputs/mp4_output.h"

namespace encoder::engine {

rt::Text ffmpegText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return rt::fromUtf8(buf);
}

bool isMp4Name(const rt::Text& path) {
  static constexpr char16_t kExtension[] = u".mp4";
  constexpr std::size_t n = 4;
  if (path.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char16_t c = path[path.size() - n + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    if (c != kExtension[i]) return false;
  }
  return true;
}

std::unique_ptr<Output> createOutput(const rt::Text& path, rt::Text& error) {
  if (isMp4Name(path)) return Mp4Output::create(error);
  return AsfOutput::create(error);
}

}  // namespace encoder::engine
