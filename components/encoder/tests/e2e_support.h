// Helpers shared by the engine's end-to-end tests: shell commands and child
// processes with time limits, polling with a deadline, ffprobe/ffmpeg read-
// backs of a recording, an encoder configured the way the recorder does, and
// the moving pattern and tone that the recordings capture.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "components/encoder/encoder.h"
#include "components/encoder/engine/asf_header.h"

namespace e2e {

// `s` in single quotes for sh.
std::string quote(const std::string& s);

// Runs a shell command under a time limit; returns its exit status and
// fills `output` with what it printed (both streams unless redirected).
int run(const std::string& cmd, std::string* output = nullptr);

// How a Child is started and ended.
struct ChildOptions {
  bool stderrToo = false;  // standard error into the output file as well (else inherited)
  double patience = 5;     // seconds end() waits after the signal before SIGKILL
};

// A child process with its standard output in a file, ended by its id when
// the owner goes.
struct Child {
  pid_t pid = -1;
  double patience = 5;
  Child() = default;
  Child(const std::vector<std::string>& args, const std::string& outputPath, ChildOptions options = {});
  Child(Child&& o) noexcept;
  Child& operator=(Child&& o) noexcept;
  // Waits up to `seconds` for the child to end; its exit status, or -1.
  int wait(double seconds);
  // Sends `sig`, and SIGKILL when the child has not ended within `patience`.
  void end(int sig = SIGTERM);
  ~Child() { end(); }
};

// Polls `done` every `every` until it holds or `seconds` pass; whether it held.
bool pollFor(double seconds, const std::function<bool()>& done,
             std::chrono::milliseconds every = std::chrono::milliseconds(50));

// The whole file, or "" when it cannot be read.
std::string slurp(const std::filesystem::path& p);

// The signed 16-bit little-endian sample that starts at byte `i` of `pcm`.
std::int16_t s16At(const std::string& pcm, std::size_t i);

// ffprobe's compact output for `file` with frames and packets counted: one
// section a line ("stream|codec_type=video|..."), each as its kind
// ("stream", "format") and its fields.
struct Section {
  std::string kind;
  std::map<std::string, std::string> fields;
};
std::vector<Section> probeSections(const std::filesystem::path& file, const std::string& entries);

// The presentation time of the last video packet, in seconds; -1 when none.
double lastVideoPts(const std::filesystem::path& file);

// Where the stream of this type ("v" or "a") ends: the latest packet's time
// plus its duration (one frame at `fps` for video packets without one).
double streamEnd(const std::filesystem::path& file, const std::string& type, double fps);

// Decodes every packet; true when FFmpeg reports no error at all.
bool decodesCleanly(const std::filesystem::path& file);

// The audio's mean volume in dB (ffmpeg's volumedetect); -999 when unknown.
double meanVolumeDb(const std::filesystem::path& file);

// A recording as a player presents it, decoded with FFmpeg's libraries: the
// sound (its first channel, -1..1) on the presentation timeline, and for
// each picture its presentation time and the mean brightness (0..255) of
// the middle of one square of the screen.
struct Timeline {
  int rate = 0;
  double audioStart = 0;     // the time of audio[0]
  std::vector<float> audio;  // stretches between decoded frames are 0
  struct Picture {
    double t, luma;
  };
  std::vector<Picture> pictures;
  bool decodeErrors = false;
  double audioTime(std::size_t i) const { return audioStart + static_cast<double>(i) / rate; }
};
Timeline decodeTimeline(const std::filesystem::path& file, int squareX = 0, int squareY = 0, int squareSize = 0);

// The sound of tools/sync_source_main.cpp in a decoded recording:
// the times its clicks begin (the first sample above half of full scale
// after half a second below it) ...
std::vector<double> clickOnsets(const Timeline& t);
// ... the times a picture first shows the square white after black ...
std::vector<double> flashOnsets(const Timeline& t);
// ... and every stretch of at least `minSeconds` in which the steady tone
// (a fifth of full scale) is gone: no sample above a twentieth of full
// scale. Each as its start and length, in seconds.
struct Hole {
  double at, seconds;
};
std::vector<Hole> soundHoles(const Timeline& t, double minSeconds);

// The stretches in which a core of this machine ran nothing at all, as the
// core of a virtual machine does while its host holds it up: a thread on
// each core, at the highest real-time priority, wakes every millisecond and
// keeps each wake that came kLateSeconds or more late, as the stretch from
// when it was due to when it came (steady-clock seconds). Nothing on the
// machine itself holds such a thread up that long. Without the right to
// real-time scheduling (root, or CAP_SYS_NICE) it watches nothing.
class StandStills {
 public:
  static constexpr double kLateSeconds = 0.008;
  StandStills();
  ~StandStills();
  StandStills(const StandStills&) = delete;
  StandStills& operator=(const StandStills&) = delete;
  bool watching() const;
  std::vector<Hole> seen() const;  // so far, in order; each as its start and length

 private:
  struct Watch;
  std::unique_ptr<Watch> watch_;
};

// What vardel_sync_source said of its flashes ("click K HEARD SHOWN"
// lines: when each click was heard, when its flash was on screen) and of
// the stretches the sink itself played without the tone ("played_hole FROM
// SECONDS"), and when the recording began (vardel_record's start_s), all on
// the steady clock.
struct FlashLog {
  double start = 0;
  struct Flash {
    double heard, shown;
  };
  std::vector<Flash> flashes;
  std::vector<Hole> played;
};
FlashLog flashLog(const std::string& playerOutput, const std::string& recorderOutput);

// A recording of vardel_sync_source (its square at `square`) as a viewer
// gets it, between the first picture and the last: each click with the
// offset from the first picture showing its flash (sound minus picture, s;
// NaN when no flash lies within half a second), and the stretches of 6 ms
// or more without the tone, clipped to that span (an encoder's priming may
// stand as silence before the first picture). With the player's `log`,
// each offset is counted from when the flash was on screen rather than
// when its click was heard: a compositor shows a window's change only at
// its next frame. Each click also gets when the sink played it (steady
// clock; NaN without the log), and a stretch without the tone that lies
// within one the sink itself played is the sink's, not the recording's: it
// goes to `played`, not `holes`.
struct SyncReading {
  Timeline timeline;
  double first = 0, last = 0;  // the first and the last picture's time
  struct Click {
    double at, offset, heard;
  };
  std::vector<Click> clicks;
  std::vector<double> flashes;
  std::vector<Hole> holes, played;
};
struct Square {
  int x = 1600, y = 700, size = 200;  // clear of vardel_pattern's moving parts
};
SyncReading readSync(const std::filesystem::path& file, Square square = {}, const FlashLog* log = nullptr);

struct Settings {
  rt::Text profile;
  bool audio = true;
  std::int32_t crop[4] = {0, 0, 0, 0};  // bottom, top, left, right
  rt::Text path;
  encoder::asf::ContentDescription texts;
};

// Configures a new encoder the way the recorder does: one group, the screen
// and (optionally) the audio input, the profile named (an empty name sets
// none), the texts, the URL attribute, the file and the cropping margins.
encoder::Ref<encoder::Encoder> configure(const Settings& s);

// Waits (up to 20 s) until the default source carries sound: a null
// sink's monitor starts some time after a player does. Short recordings go
// to `dir`.
bool waitForSound(const std::filesystem::path& dir);

// The moving pattern on screen (vardel_pattern) and a 1 kHz tone played
// into the default sink, whose monitor is the default source.
struct PatternAndTone {
  Child pattern, player;
  // Starts both, files in `dir`, with a tone of `toneSeconds`, unless
  // DISPLAY or PULSE_SERVER is missing (assertRunning() then fails).
  void start(const std::filesystem::path& dir, const std::string& patternProgram, int toneSeconds, ChildOptions options = {});
  void end();
  // Fails (fatally) when the session or either process is missing.
  void assertRunning() const;
};

}  // namespace e2e
