// vardel_sync_probe: what a recording of vardel_sync_source's flashes and
// clicks presents, for the lip-sync benchmark. Decodes FILE as a player does
// and prints, as name=value lines: the clicks and flashes found, the offset
// of each click from the first picture that shows its flash (sound minus
// picture, ms; the picture comes up to one frame after the flash) as
// min / median / max over the whole file, its first minute and its last
// minute, and the stretches of 6 ms or more in which the tone is gone
// between the first picture and the last (count and longest, ms).
//
//   vardel_sync_probe FILE [X,Y,SIZE [PLAYER_OUTPUT RECORDER_OUTPUT]]
//     X,Y,SIZE: the flashing square (default e2e::Square); with what the
//     player and vardel_record --figures printed, each offset counts from
//     when the flash was on screen (a compositor's next frame) rather than
//     when its click was heard.
// With VARDEL_PROBE_EACH set it also prints every click ("click AT OFFSET_MS")
// and every hole ("hole AT MS"), to see where in a recording things went wrong.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <vector>

#include "components/encoder/tests/e2e_support.h"

namespace {

void printSpread(const char* name, std::vector<double> v) {
  if (v.empty()) {
    std::printf("%s=n/a\n", name);
    return;
  }
  std::sort(v.begin(), v.end());
  std::printf("%s=%.1f/%.1f/%.1f\n", name, v.front() * 1000, v[v.size() / 2] * 1000, v.back() * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  e2e::Square square;
  if (argc < 2 || argc == 4 || argc > 5 ||
      (argc > 2 && std::sscanf(argv[2], "%d,%d,%d", &square.x, &square.y, &square.size) != 3)) {
    std::fprintf(stderr, "usage: vardel_sync_probe FILE [X,Y,SIZE [PLAYER_OUTPUT RECORDER_OUTPUT]]\n");
    return 2;
  }
  e2e::FlashLog log;
  if (argc == 5) log = e2e::flashLog(e2e::slurp(argv[3]), e2e::slurp(argv[4]));
  const e2e::SyncReading r = e2e::readSync(argv[1], square, argc == 5 ? &log : nullptr);
  if (r.timeline.pictures.empty() || r.timeline.audio.empty()) {
    std::fprintf(stderr, "vardel_sync_probe: %s has no pictures or no sound\n", argv[1]);
    return 1;
  }
  std::vector<double> all, firstMinute, lastMinute;
  for (const e2e::SyncReading::Click& c : r.clicks) {
    if (std::isnan(c.offset)) continue;
    all.push_back(c.offset);
    if (c.at < r.first + 60) firstMinute.push_back(c.offset);
    if (c.at > r.last - 60) lastMinute.push_back(c.offset);
  }
  double longest = 0;
  for (const e2e::Hole& h : r.holes) longest = std::max(longest, h.seconds);
  std::printf("clicks=%zu\nflashes=%zu\npaired=%zu\n", r.clicks.size(), r.flashes.size(), all.size());
  printSpread("offset_ms", all);
  printSpread("first_minute_ms", firstMinute);
  printSpread("last_minute_ms", lastMinute);
  std::printf("holes=%zu\nlongest_hole_ms=%.1f\n", r.holes.size(), longest * 1000);
  if (std::getenv("VARDEL_PROBE_EACH") != nullptr) {
    for (const e2e::SyncReading::Click& c : r.clicks) std::printf("click %.3f %.1f\n", c.at, c.offset * 1000);
    for (const e2e::Hole& h : r.holes) std::printf("hole %.3f %.1f\n", h.at, h.seconds * 1000);
  }
  return 0;
}
