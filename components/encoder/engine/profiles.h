// The engine's profile catalogue: the six recording profiles it offers, in
// one table (profiles.cpp), and how a source group's sources and profile turn
// into what is actually recorded.
#pragma once

#include <span>

#include "runtime/text.h"

namespace encoder::engine {

struct VideoSettings {
  int fps;
  long bitRate;  // bits per second, the average the wmv2 encoder aims at
};

struct AudioSettings {
  int sampleRate;  // Hz
  int channels;
  long bitRate;  // bits per second
};

struct ProfileSpec {
  const char16_t* name;  // the name exactly as the recorder looks it up
  VideoSettings video;
  bool hasAudio;
  AudioSettings audio;  // meaningful only when hasAudio
  // The profile of the same quality with (or without) audio: used when a
  // group's sources do not match its profile (see resolve()).
  int sameQualityOther;
};

std::span<const ProfileSpec> catalogue();

// The profile a group records with when none was set.
const ProfileSpec& defaultProfile(bool withAudio);

// What a group records: video and/or audio with these settings.
struct Plan {
  bool video = false;
  bool audio = false;
  VideoSettings videoSettings{};
  AudioSettings audioSettings{};
};

// The plan for a group with these sources and this profile (nullptr: none
// set). The sources decide what is recorded; the profile decides how.
Plan resolve(const ProfileSpec* profile, bool hasVideoSource, bool hasAudioSource);

// The key-frame interval in frames: one key frame every 2 seconds at most.
int keyFrameInterval(int fps);

}  // namespace encoder::engine
