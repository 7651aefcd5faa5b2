// The engine's objects: the settings the recorder makes through the object
// model, kept in one shared Settings value that Start turns into a Recording.
//
// Child objects (collections, groups, sources) share the settings, not the
// encoder, so releasing the encoder releases the recording even while the
// caller still holds one of them.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "components/automation/automation.h"
#include "components/encoder/engine.h"
#include "components/encoder/engine/profiles.h"
#include "components/encoder/engine/recording.h"

namespace encoder {

namespace {

using engine::Crop;
using engine::ProfileSpec;
using rt::status::InvalidArg;
using rt::status::TypeMismatch;
using rt::status::UnexpectedState;

constexpr char16_t kScreenInput[] = u"ScreenCap://ScreenCapture1";
constexpr char16_t kAudioInput[] = u"DEVICE://Default_Audio_Device";

struct GroupState {
  Text name;
  bool hasVideo = false, hasAudio = false;
  bool videoInputSet = false, audioInputSet = false;
  Crop crop;
  const ProfileSpec* profile = nullptr;
};

struct Settings {
  std::vector<std::shared_ptr<GroupState>> groups;
  asf::ContentDescription content;
  std::vector<asf::Attribute> attributes;
  Text path;
};
using SettingsRef = std::shared_ptr<Settings>;

Status tooLong(const Text& what) {
  return rt::fail(InvalidArg, what + u" is too long: the file can hold at most 32766 characters.");
}

bool equalsIgnoringCase(const Text& a, const Text& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The further arguments of SetInput: the scheme may repeat the address's own
// scheme; no input of this engine takes initialisation data.
Status checkInputExtras(const Text& input, const Text& scheme, const Text& initData) {
  const Text own = input.substr(0, input.find(u"://"));
  if (!scheme.empty() && !equalsIgnoringCase(scheme, own))
    return rt::fail(InvalidArg, u"The scheme \"" + scheme + u"\" does not belong to the input \"" + input + u"\".");
  if (!initData.empty())
    return rt::fail(InvalidArg, u"The input \"" + input + u"\" takes no initialisation data.");
  return rt::status::Ok;
}

class VideoSourceImpl : public VideoSource {
 public:
  explicit VideoSourceImpl(std::shared_ptr<GroupState> g) : g_(std::move(g)) {}
  Status SetInput(const Text& input, const Text& scheme, const Text& initData) override {
    if (input != kScreenInput)
      return rt::fail(InvalidArg, u"The video input \"" + input +
                                      u"\" is not available: a video source records the screen, \"" +
                                      kScreenInput + u"\".");
    if (Status s = checkInputExtras(input, scheme, initData); rt::failed(s)) return s;
    g_->videoInputSet = true;
    return rt::status::Ok;
  }
  Status put_CroppingBottomMargin(std::int32_t v) override { return margin(g_->crop.bottom, v, u"bottom"); }
  Status put_CroppingTopMargin(std::int32_t v) override { return margin(g_->crop.top, v, u"top"); }
  Status put_CroppingLeftMargin(std::int32_t v) override { return margin(g_->crop.left, v, u"left"); }
  Status put_CroppingRightMargin(std::int32_t v) override { return margin(g_->crop.right, v, u"right"); }

 private:
  static Status margin(std::int32_t& field, std::int32_t v, const Text& edge) {
    if (v < 0)
      return rt::fail(InvalidArg, u"The " + edge + u" cropping margin cannot be negative (" +
                                      rt::fromUtf8(std::to_string(v)) + u" pixels).");
    field = v;
    return rt::status::Ok;
  }
  std::shared_ptr<GroupState> g_;
};

class AudioSourceImpl : public AudioSource {
 public:
  explicit AudioSourceImpl(std::shared_ptr<GroupState> g) : g_(std::move(g)) {}
  Status SetInput(const Text& input, const Text& scheme, const Text& initData) override {
    if (input != kAudioInput)
      return rt::fail(InvalidArg, u"The audio input \"" + input +
                                      u"\" is not available: an audio source records the default audio input, \"" +
                                      kAudioInput + u"\".");
    if (Status s = checkInputExtras(input, scheme, initData); rt::failed(s)) return s;
    g_->audioInputSet = true;
    return rt::status::Ok;
  }

 private:
  std::shared_ptr<GroupState> g_;
};

class ProfileImpl : public Profile {
 public:
  explicit ProfileImpl(const ProfileSpec* spec) : spec_(spec) {}
  Status get_Name(Text& name) override {
    name = spec_->name;
    return rt::status::Ok;
  }
  const ProfileSpec* spec() const { return spec_; }

 private:
  const ProfileSpec* spec_;
};

class ProfileCollectionImpl : public ProfileCollection {
 public:
  Status get_Count(std::int32_t& count) override {
    count = static_cast<std::int32_t>(engine::catalogue().size());
    return rt::status::Ok;
  }
  Status Item(std::int32_t index, Ref<Profile>& out) override {
    const auto all = engine::catalogue();
    if (index < 0 || static_cast<std::size_t>(index) >= all.size())
      return rt::fail(InvalidArg, u"There is no profile at position " + rt::fromUtf8(std::to_string(index)) +
                                      u": the positions are 0 to " +
                                      rt::fromUtf8(std::to_string(all.size() - 1)) + u".");
    out = std::make_shared<ProfileImpl>(&all[static_cast<std::size_t>(index)]);
    return rt::status::Ok;
  }
};

class SourceGroupImpl : public SourceGroup {
 public:
  explicit SourceGroupImpl(std::shared_ptr<GroupState> g) : g_(std::move(g)) {}
  Status AddSource(SourceType type, Ref<Source>& out) override {
    switch (type) {
      case SourceType::Video:
        if (g_->hasVideo) return rt::fail(UnexpectedState, u"The source group \"" + g_->name + u"\" already has a video source.");
        g_->hasVideo = true;
        out = std::make_shared<VideoSourceImpl>(g_);
        return rt::status::Ok;
      case SourceType::Audio:
        if (g_->hasAudio) return rt::fail(UnexpectedState, u"The source group \"" + g_->name + u"\" already has an audio source.");
        g_->hasAudio = true;
        out = std::make_shared<AudioSourceImpl>(g_);
        return rt::status::Ok;
    }
    return rt::fail(InvalidArg, u"Unknown source type " + rt::fromUtf8(std::to_string(static_cast<int>(type))) +
                                    u": a source is video (2) or audio (1).");
  }
  Status put_Profile(const rt::Variant& profile) override {
    const rt::ObjectRef* obj = profile.get<rt::ObjectRef>();
    auto p = obj ? std::dynamic_pointer_cast<ProfileImpl>(*obj) : nullptr;
    if (!p) return rt::fail(TypeMismatch, u"The profile must be one of the encoder's own profiles.");
    g_->profile = p->spec();
    return rt::status::Ok;
  }

 private:
  std::shared_ptr<GroupState> g_;
};

class SourceGroupCollectionImpl : public SourceGroupCollection {
 public:
  explicit SourceGroupCollectionImpl(SettingsRef s) : s_(std::move(s)) {}
  Status Add(const Text& name, Ref<SourceGroup>& out) override {
    for (const auto& g : s_->groups)
      if (g->name == name) return rt::fail(InvalidArg, u"A source group named \"" + name + u"\" already exists.");
    auto g = std::make_shared<GroupState>();
    g->name = name;
    s_->groups.push_back(g);
    out = std::make_shared<SourceGroupImpl>(g);
    return rt::status::Ok;
  }

 private:
  SettingsRef s_;
};

class ContentDescriptionImpl : public ContentDescription {
 public:
  explicit ContentDescriptionImpl(SettingsRef s) : s_(std::move(s)) {}
  Status put_Author(const Text& v) override { return set(s_->content.author, v, u"The author"); }
  Status put_Copyright(const Text& v) override { return set(s_->content.copyright, v, u"The copyright"); }
  Status put_Description(const Text& v) override { return set(s_->content.description, v, u"The description"); }
  Status put_Rating(const Text& v) override { return set(s_->content.rating, v, u"The rating"); }
  Status put_Title(const Text& v) override { return set(s_->content.title, v, u"The title"); }

 private:
  static Status set(Text& field, const Text& v, const Text& what) {
    if (v.size() > asf::kMaxTextUnits) return tooLong(what);
    field = v;
    return rt::status::Ok;
  }
  SettingsRef s_;
};

class AttributeCollectionImpl : public AttributeCollection {
 public:
  explicit AttributeCollectionImpl(SettingsRef s) : s_(std::move(s)) {}
  Status Add(const Text& name, const rt::Variant& value) override {
    if (name.empty()) return rt::fail(InvalidArg, u"An attribute needs a name.");
    // The file counts its attributes in 16 bits.
    if (s_->attributes.size() >= 0xFFFF)
      return rt::fail(InvalidArg, u"No more attributes can be added: a file holds at most 65535.");
    if (name.size() > asf::kMaxTextUnits) return tooLong(u"The attribute name");
    for (const auto& a : s_->attributes)
      if (a.name == name) return rt::fail(InvalidArg, u"The attribute \"" + name + u"\" has already been added.");
    asf::Attribute a;
    a.name = name;
    const rt::Variant& v = value.deref();
    if (const Text* t = v.get<Text>()) {
      if (t->size() > asf::kMaxTextUnits) return tooLong(u"The value of the attribute \"" + name + u"\"");
      a.type = asf::Attribute::kText;
      a.text = *t;
    } else if (const bool* b = v.get<bool>()) {
      a.type = asf::Attribute::kBool;
      a.raw = {static_cast<std::uint8_t>(*b ? 1 : 0), 0, 0, 0};
    } else if (const std::int16_t* w = v.get<std::int16_t>()) {
      a.type = asf::Attribute::kWord;
      const auto u = static_cast<std::uint16_t>(*w);
      a.raw = {static_cast<std::uint8_t>(u & 0xFF), static_cast<std::uint8_t>(u >> 8)};
    } else if (const std::int32_t* d = v.get<std::int32_t>()) {
      a.type = asf::Attribute::kDword;
      const auto u = static_cast<std::uint32_t>(*d);
      a.raw = {static_cast<std::uint8_t>(u & 0xFF), static_cast<std::uint8_t>((u >> 8) & 0xFF),
               static_cast<std::uint8_t>((u >> 16) & 0xFF), static_cast<std::uint8_t>(u >> 24)};
    } else {
      return rt::fail(TypeMismatch, u"The value of the attribute \"" + name +
                                        u"\" must be a text, a number or a true/false value.");
    }
    s_->attributes.push_back(std::move(a));
    return rt::status::Ok;
  }

 private:
  SettingsRef s_;
};

class OutputFileImpl : public OutputFile {
 public:
  explicit OutputFileImpl(SettingsRef s) : s_(std::move(s)) {}
  Status put_LocalFileName(const Text& path) override {
    s_->path = path;
    return rt::status::Ok;
  }

 private:
  SettingsRef s_;
};

class EngineEncoder : public Encoder {
 public:
  ~EngineEncoder() override {
    // Releasing a running encoder completes its file.
    if (recording_) recording_->stop();
  }
  Status get_SourceGroupCollection(Ref<SourceGroupCollection>& out) override {
    out = std::make_shared<SourceGroupCollectionImpl>(s_);
    return rt::status::Ok;
  }
  Status get_ProfileCollection(Ref<ProfileCollection>& out) override {
    out = std::make_shared<ProfileCollectionImpl>();
    return rt::status::Ok;
  }
  Status get_DisplayInfo(Ref<ContentDescription>& out) override {
    out = std::make_shared<ContentDescriptionImpl>(s_);
    return rt::status::Ok;
  }
  Status get_Attributes(Ref<AttributeCollection>& out) override {
    out = std::make_shared<AttributeCollectionImpl>(s_);
    return rt::status::Ok;
  }
  Status get_File(Ref<OutputFile>& out) override {
    out = std::make_shared<OutputFileImpl>(s_);
    return rt::status::Ok;
  }

  // Records the first source group (the one added first), with the settings
  // as they are now; later changes apply to the next Start.
  Status Start() override {
    std::lock_guard l(mutex_);
    if (recording_) return rt::fail(UnexpectedState, u"The encoder is already recording.");
    if (s_->groups.empty())
      return rt::fail(UnexpectedState, u"Cannot start recording: no source group has been added.");
    const GroupState& g = *s_->groups.front();
    if (g.hasVideo && !g.videoInputSet)
      return rt::fail(UnexpectedState, u"Cannot start recording: the video source has no input; set it to \"" +
                                           Text(kScreenInput) + u"\".");
    if (g.hasAudio && !g.audioInputSet)
      return rt::fail(UnexpectedState, u"Cannot start recording: the audio source has no input; set it to \"" +
                                           Text(kAudioInput) + u"\".");
    engine::RecordingConfig config;
    config.plan = engine::resolve(g.profile, g.hasVideo, g.hasAudio);
    config.crop = g.crop;
    config.path = s_->path;
    config.content = s_->content;
    config.attributes = s_->attributes;
    Text error;
    recording_ = engine::Recording::start(config, error);
    if (!recording_) return rt::fail(rt::status::Fail, error);
    return rt::status::Ok;
  }

  // Stopping a stopped encoder does nothing. A failure during the recording
  // (a full disk, a lost display) is reported here.
  Status Stop() override {
    std::lock_guard l(mutex_);
    if (!recording_) return rt::status::Ok;
    const Text failure = recording_->stop();
    last_ = recording_->stats();
    recording_.reset();
    if (!failure.empty()) return rt::fail(rt::status::Fail, failure);
    return rt::status::Ok;
  }

  bool figures(RecordingFigures& f) {
    std::lock_guard l(mutex_);
    engine::RecordingStats st;
    if (recording_)
      st = recording_->stats();
    else if (last_)
      st = *last_;
    else
      return false;
    f.framesCaptured = st.framesCaptured;
    f.framesDropped = st.framesDropped;
    f.framesSkipped = st.framesSkipped;
    f.framesUnchanged = st.framesUnchanged;
    f.framesRepeated = st.framesRepeated;
    f.screenSource = st.screenSource;
    f.audioInput = st.audioInput;
    f.videoPackets = st.videoPackets;
    f.audioSamples = st.audioSamples;
    f.audioSilence = st.audioSilence;
    f.audioSkipped = st.audioSkipped;
    f.startSeconds = st.startSeconds;
    f.width = st.width;
    f.height = st.height;
    f.firstFrameLatencyMs = st.firstFrameLatencyMs;
    f.stopLatencyMs = st.stopLatencyMs;
    return true;
  }

 private:
  std::mutex mutex_;
  SettingsRef s_ = std::make_shared<Settings>();
  std::unique_ptr<engine::Recording> recording_;
  std::optional<engine::RecordingStats> last_;
};

}  // namespace

Ref<Encoder> createEngineEncoder() { return std::make_shared<EngineEncoder>(); }

void registerEngine() {
  // FFmpeg's encoders report routine notes (clipped coefficients, rate
  // control) on standard error; the recorder has no console, so only errors.
  av_log_set_level(AV_LOG_ERROR);
  // Each call registers the engine anew (replacing whatever was registered
  // in between); the registrations are kept for the rest of the program.
  static auto* registrations = new std::vector<automation::Registration>;
  registrations->push_back(automation::registerClass(kEncoderClassId, [](rt::ObjectRef& created) {
    created = std::make_shared<EngineEncoder>();
    return rt::status::Ok;
  }));
}

bool recordingFigures(const Ref<Encoder>& e, RecordingFigures& out) {
  auto engineEncoder = std::dynamic_pointer_cast<EngineEncoder>(e);
  return engineEncoder && engineEncoder->figures(out);
}

}  // namespace encoder
