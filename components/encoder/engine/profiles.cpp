#include "components/encoder/engine/profiles.h"

#include <array>

namespace encoder::engine {

namespace {

// The catalogue. Names are matched code unit by code unit by the recorder, so
// they stand here exactly as the window composes them.
//
// Video: wmv2 in average-bit-rate mode. Measured on full-HD moving test
// pictures (FFmpeg's testsrc2, 4 s): 30 fps at 8 Mbit/s gave 8.3, 15 fps at
// 4 Mbit/s gave 4.3, but 10 fps at 1.5 Mbit/s gave 2.2 Mbit/s: the quantiser
// bottoms out (qscale 31) above the low figure for busy pictures. The low
// profile keeps 1.5 Mbit/s as its target because ordinary screen content
// (text, still windows) stays well under it and full-screen motion only
// overshoots; nothing stalls, since no strict minimum or maximum rate is set.
// The picture is never scaled down: a screen recording must stay legible.
// Audio: wmav2 at the rates and bit rates the encoder accepts for each layout.
constexpr std::array<ProfileSpec, 6> kProfiles{{
    {u"屏幕视频 - 高(CBR)", {30, 8'000'000}, false, {}, 3},
    {u"屏幕视频 - 中(CBR)", {15, 4'000'000}, false, {}, 4},
    {u"屏幕视频(CBR)", {10, 1'500'000}, false, {}, 5},
    {u"屏幕视频/音频 - 高(CBR)", {30, 8'000'000}, true, {48'000, 2, 128'000}, 0},
    {u"屏幕视频/音频 - 中(CBR)", {15, 4'000'000}, true, {44'100, 2, 64'000}, 1},
    {u"屏幕视频/音频", {10, 1'500'000}, true, {22'050, 1, 32'000}, 2},
}};

}  // namespace

std::span<const ProfileSpec> catalogue() { return kProfiles; }

// Without a profile the engine records at the medium quality, the recorder
// window's own initial choice, with audio exactly when there is an audio source.
const ProfileSpec& defaultProfile(bool withAudio) { return kProfiles[withAudio ? 4 : 1]; }

Plan resolve(const ProfileSpec* profile, bool hasVideoSource, bool hasAudioSource) {
  if (profile == nullptr) profile = &defaultProfile(hasAudioSource);
  // A group whose sources and profile disagree records what its sources
  // provide: a video-only profile with an audio source borrows the audio of
  // its same-quality audio profile; an audio profile without an audio source
  // records the picture only.
  const ProfileSpec& withAudio =
      profile->hasAudio ? *profile : kProfiles[static_cast<std::size_t>(profile->sameQualityOther)];
  Plan plan;
  plan.video = hasVideoSource;
  plan.audio = hasAudioSource;
  plan.videoSettings = profile->video;
  plan.audioSettings = withAudio.audio;
  return plan;
}

int keyFrameInterval(int fps) { return 2 * fps; }

}  // namespace encoder::engine
