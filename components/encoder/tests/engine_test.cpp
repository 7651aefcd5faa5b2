// The engine's object model without a display: the profile catalogue, what
// the engine refuses and why, and starts that cannot succeed.
#include <bit>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "components/automation/automation.h"
#include "components/encoder/engine.h"
#include "components/encoder/engine/profiles.h"
#include "components/encoder/engine/sources/screen_source.h"
#include "components/encoder/engine/sources/x11_source.h"

using namespace encoder;
namespace fs = std::filesystem;

namespace {

std::string lastError() { return rt::toUtf8(rt::takeErrorInfo()); }

// Sets an environment variable for one scope.
struct EnvOverride {
  std::string name;
  std::optional<std::string> saved;
  EnvOverride(const char* n, const char* value) : name(n) {
    if (const char* v = std::getenv(n)) saved = v;
    if (value) setenv(n, value, 1);
    else unsetenv(n);
  }
  ~EnvOverride() {
    if (saved) setenv(name.c_str(), saved->c_str(), 1);
    else unsetenv(name.c_str());
  }
};

struct Configured {
  Ref<Encoder> enc = createEngineEncoder();
  Ref<SourceGroup> group;
  Ref<Source> video, audio;
  Configured() {
    Ref<SourceGroupCollection> groups;
    EXPECT_EQ(enc->get_SourceGroupCollection(groups), 0);
    EXPECT_EQ(groups->Add(u"SG_1", group), 0);
  }
  void addVideo() {
    ASSERT_EQ(group->AddSource(SourceType::Video, video), 0);
    ASSERT_EQ(video->SetInput(u"ScreenCap://ScreenCapture1", u"", u""), 0);
  }
  void addAudio() {
    ASSERT_EQ(group->AddSource(SourceType::Audio, audio), 0);
    ASSERT_EQ(audio->SetInput(u"DEVICE://Default_Audio_Device", u"", u""), 0);
  }
  void output(const fs::path& p) {
    Ref<OutputFile> f;
    ASSERT_EQ(enc->get_File(f), 0);
    ASSERT_EQ(f->put_LocalFileName(rt::fromUtf8(p.string())), 0);
  }
};

}  // namespace

TEST(EngineProfiles, TheCollectionOffersExactlyTheSixNamesTheRecorderComposes) {
  auto enc = createEngineEncoder();
  Ref<ProfileCollection> profiles;
  ASSERT_EQ(enc->get_ProfileCollection(profiles), 0);
  std::int32_t n = 0;
  ASSERT_EQ(profiles->get_Count(n), 0);
  const rt::Text expected[] = {u"屏幕视频 - 高(CBR)", u"屏幕视频 - 中(CBR)", u"屏幕视频(CBR)",
                               u"屏幕视频/音频 - 高(CBR)", u"屏幕视频/音频 - 中(CBR)", u"屏幕视频/音频"};
  ASSERT_EQ(n, 6);
  for (std::int32_t i = 0; i < n; ++i) {
    Ref<Profile> p;
    ASSERT_EQ(profiles->Item(i, p), 0);
    rt::Text name;
    ASSERT_EQ(p->get_Name(name), 0);
    EXPECT_EQ(name, expected[i]) << i;
    for (char16_t c : name) EXPECT_TRUE(c < 0x80 || (c >= 0x4E00 && c <= 0x9FFF)) << "not ASCII or CJK in " << i;
  }
  Ref<Profile> p;
  EXPECT_LT(profiles->Item(6, p), 0);
  EXPECT_NE(lastError().find("no profile at position 6"), std::string::npos);
  EXPECT_LT(profiles->Item(-1, p), 0);
}

TEST(EngineProfiles, QualityLevelsAndTheirAudio) {
  const auto all = engine::catalogue();
  for (const auto& p : all) {
    // A key frame at least every 2 seconds.
    EXPECT_LE(engine::keyFrameInterval(p.video.fps), 2 * p.video.fps);
    // The same quality with and without audio records the same picture.
    EXPECT_EQ(all[static_cast<std::size_t>(p.sameQualityOther)].video.fps, p.video.fps);
    EXPECT_NE(all[static_cast<std::size_t>(p.sameQualityOther)].hasAudio, p.hasAudio);
  }
  EXPECT_GT(all[0].video.fps, all[1].video.fps);
  EXPECT_GT(all[1].video.bitRate, all[2].video.bitRate);
  EXPECT_EQ(all[3].audio.sampleRate, 48000);
  EXPECT_EQ(all[4].audio.sampleRate, 44100);
  EXPECT_EQ(all[5].audio.channels, 1);
}

TEST(EngineProfiles, TheSourcesDecideWhatIsRecordedTheProfileHow) {
  const auto all = engine::catalogue();
  // No profile: the medium quality, with audio exactly when there is a source.
  auto plan = engine::resolve(nullptr, true, false);
  EXPECT_TRUE(plan.video && !plan.audio);
  EXPECT_EQ(plan.videoSettings.fps, all[1].video.fps);
  plan = engine::resolve(nullptr, true, true);
  EXPECT_TRUE(plan.video && plan.audio);
  EXPECT_EQ(plan.audioSettings.sampleRate, all[4].audio.sampleRate);
  // An audio profile without an audio source records the picture only.
  plan = engine::resolve(&all[3], true, false);
  EXPECT_TRUE(plan.video && !plan.audio);
  EXPECT_EQ(plan.videoSettings.fps, 30);
  // A picture-only profile with an audio source keeps the sound, at the
  // audio of the same quality.
  plan = engine::resolve(&all[2], true, true);
  EXPECT_TRUE(plan.audio);
  EXPECT_EQ(plan.audioSettings.sampleRate, all[5].audio.sampleRate);
  plan = engine::resolve(&all[0], false, true);
  EXPECT_TRUE(!plan.video && plan.audio);
}

TEST(EngineObjectModel, TheRegistryCreatesAFreshEncoderEachTime) {
  registerEngine();
  rt::ObjectRef a, b;
  ASSERT_EQ(automation::createInstance(kEncoderClassId, a), 0);
  ASSERT_EQ(automation::createInstance(kEncoderClassId, b), 0);
  auto ea = std::dynamic_pointer_cast<Encoder>(a), eb = std::dynamic_pointer_cast<Encoder>(b);
  ASSERT_TRUE(ea && eb);
  EXPECT_NE(ea, eb);
  RecordingFigures f;
  EXPECT_FALSE(recordingFigures(ea, f)) << "a new encoder has recorded nothing";
  // Nothing carries over: the second can add the group name the first has.
  Ref<SourceGroupCollection> groups;
  Ref<SourceGroup> g;
  ASSERT_EQ(ea->get_SourceGroupCollection(groups), 0);
  ASSERT_EQ(groups->Add(u"SG_1", g), 0);
  EXPECT_LT(groups->Add(u"SG_1", g), 0);
  EXPECT_NE(lastError().find("already exists"), std::string::npos);
  ASSERT_EQ(eb->get_SourceGroupCollection(groups), 0);
  EXPECT_EQ(groups->Add(u"SG_1", g), 0);
}

TEST(EngineObjectModel, OnlyTheTwoInputAddressesAreAccepted) {
  Configured c;
  Ref<Source> video, audio;
  ASSERT_EQ(c.group->AddSource(SourceType::Video, video), 0);
  ASSERT_EQ(c.group->AddSource(SourceType::Audio, audio), 0);
  struct Case {
    Ref<Source> source;
    rt::Text input, scheme, init;
    const char* says;
  } refused[] = {
      {video, u"ScreenCap://ScreenCapture2", u"", u"", "ScreenCap://ScreenCapture2"},
      {video, u"screencap://screencapture1", u"", u"", "screencap://screencapture1"},
      {video, u"DEVICE://Default_Audio_Device", u"", u"", "records the screen"},
      {video, u"", u"", u"", "is not available"},
      {audio, u"ScreenCap://ScreenCapture1", u"", u"", "default audio input"},
      {audio, u"DEVICE://Microphone", u"", u"", "DEVICE://Microphone"},
      {video, u"ScreenCap://ScreenCapture1", u"DEVICE", u"", "does not belong"},
      {audio, u"DEVICE://Default_Audio_Device", u"", u"x", "no initialisation data"},
  };
  for (const auto& r : refused) {
    EXPECT_LT(r.source->SetInput(r.input, r.scheme, r.init), 0) << rt::toUtf8(r.input);
    EXPECT_NE(lastError().find(r.says), std::string::npos) << rt::toUtf8(r.input);
  }
  EXPECT_EQ(video->SetInput(u"ScreenCap://ScreenCapture1", u"ScreenCap", u""), 0);
  EXPECT_EQ(audio->SetInput(u"DEVICE://Default_Audio_Device", u"", u""), 0);
}

TEST(EngineObjectModel, SettingMistakesAreRefusedWithTheirReason) {
  Configured c;
  c.addVideo();
  Ref<Source> again;
  EXPECT_LT(c.group->AddSource(SourceType::Video, again), 0);
  EXPECT_NE(lastError().find("already has a video source"), std::string::npos);
  EXPECT_LT(c.group->AddSource(static_cast<SourceType>(3), again), 0);

  Ref<VideoSource> vs;
  ASSERT_EQ(query(c.video, vs), 0);
  EXPECT_EQ(vs->put_CroppingLeftMargin(0), 0);
  EXPECT_LT(vs->put_CroppingTopMargin(-1), 0);
  EXPECT_NE(lastError().find("top cropping margin cannot be negative"), std::string::npos);

  // Only the encoder's own profiles: not empty, not another object.
  EXPECT_LT(c.group->put_Profile(rt::Variant()), 0);
  EXPECT_LT(c.group->put_Profile(rt::Variant(rt::ObjectRef(createEngineEncoder()))), 0);
  EXPECT_NE(lastError().find("encoder's own profiles"), std::string::npos);

  Ref<AttributeCollection> attrs;
  ASSERT_EQ(c.enc->get_Attributes(attrs), 0);
  EXPECT_EQ(attrs->Add(u"URL", rt::Variant(u"IP address")), 0);
  EXPECT_LT(attrs->Add(u"URL", rt::Variant(u"again")), 0);
  EXPECT_LT(attrs->Add(u"", rt::Variant(u"x")), 0);
  EXPECT_LT(attrs->Add(u"Obj", rt::Variant(rt::ObjectRef(createEngineEncoder()))), 0);

  // Texts longer than the file's 16-bit length fields can hold.
  Ref<ContentDescription> cd;
  ASSERT_EQ(c.enc->get_DisplayInfo(cd), 0);
  EXPECT_EQ(cd->put_Title(rt::Text(32766, u'x')), 0);
  EXPECT_LT(cd->put_Title(rt::Text(32767, u'x')), 0);
  EXPECT_NE(lastError().find("too long"), std::string::npos);
}

TEST(EngineObjectModel, AStartThatCannotRecordSaysWhyAndCreatesNothing) {
  const fs::path dir = fs::temp_directory_path() / ("vardel-engine-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path out = dir / "out.wmv";
  {
    auto enc = createEngineEncoder();
    EXPECT_EQ(enc->Stop(), 0) << "stopping an encoder that never started is harmless";
    EXPECT_LT(enc->Start(), 0);
    EXPECT_NE(lastError().find("no source group"), std::string::npos);
  }
  {
    Configured c;
    c.output(out);
    EXPECT_LT(c.enc->Start(), 0);
    EXPECT_NE(lastError().find("neither a video nor an audio source"), std::string::npos);
    ASSERT_EQ(c.group->AddSource(SourceType::Video, c.video), 0);
    EXPECT_LT(c.enc->Start(), 0);
    EXPECT_NE(lastError().find("video source has no input"), std::string::npos);
  }
  {
    EnvOverride display("DISPLAY", nullptr);
    Configured c;
    c.addVideo();
    c.output(out);
    EXPECT_LT(c.enc->Start(), 0);
    EXPECT_NE(lastError().find("no X display"), std::string::npos);
  }
  {
    EnvOverride pulse("PULSE_SERVER", ("unix:" + (dir / "no-server").string()).c_str());
    Configured c;
    c.addAudio();
    c.output(out);
    EXPECT_LT(c.enc->Start(), 0);
    EXPECT_NE(lastError().find("no audio server"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(out));
  fs::remove_all(dir);
}

TEST(ScreenSources, TheSessionDecidesBetweenTheXReaderAndThePortal) {
  using engine::ScreenKind;
  EXPECT_EQ(engine::chooseScreenKind(nullptr, nullptr, false), ScreenKind::X11);
  EXPECT_EQ(engine::chooseScreenKind("", "x11", false), ScreenKind::X11);
  EXPECT_EQ(engine::chooseScreenKind("wayland-0", nullptr, false), ScreenKind::Portal);
  EXPECT_EQ(engine::chooseScreenKind(nullptr, "wayland", false), ScreenKind::Portal);
  // An X display that is Xwayland reads back black: never the X reader.
  EXPECT_EQ(engine::chooseScreenKind(nullptr, "x11", true), ScreenKind::Portal);
  EXPECT_EQ(engine::chooseScreenKind("", "", true), ScreenKind::Portal);
}

TEST(ScreenSources, AScreenOfAnotherSizeIsPlacedInTheFrameWithItsAspectKept) {
  using engine::Placement;
  using engine::placeInFrame;
  EXPECT_EQ(placeInFrame(1920, 1080, 1920, 1080), (Placement{0, 0, 1920, 1080}));
  // A projector mirrored at its size: 1:1 in the middle, never enlarged.
  EXPECT_EQ(placeInFrame(1920, 1080, 1280, 720), (Placement{320, 180, 1280, 720}));
  EXPECT_EQ(placeInFrame(1920, 1080, 1024, 768), (Placement{448, 156, 1024, 768}));
  // A monitor added beside, or below: the whole desktop scaled down.
  EXPECT_EQ(placeInFrame(1920, 1080, 3840, 1080), (Placement{0, 270, 1920, 540}));
  EXPECT_EQ(placeInFrame(1920, 1080, 1920, 2160), (Placement{480, 0, 960, 1080}));
  EXPECT_EQ(placeInFrame(1920, 1080, 1600, 1200), (Placement{240, 0, 1440, 1080}));
  // Odd sizes and the centring keep to even numbers (4:2:0).
  EXPECT_EQ(placeInFrame(1920, 1080, 1279, 721), (Placement{320, 180, 1278, 720}));
  EXPECT_EQ(placeInFrame(1920, 1080, 0, 0), Placement{});
}

TEST(ScreenSources, APlacedPictureIsDrawnWithBlackAroundIt) {
  const int fw = 192, fh = 108;
  std::vector<std::uint8_t> y(fw * fh, 99), u(fw * fh / 4, 99), v(fw * fh / 4, 99);
  engine::Picture canvas;
  canvas.plane[0] = y.data(), canvas.plane[1] = u.data(), canvas.plane[2] = v.data();
  canvas.stride[0] = fw, canvas.stride[1] = canvas.stride[2] = fw / 2;
  canvas.width = fw, canvas.height = fh;
  auto lumaAt = [&](int x, int row) { return int{y[static_cast<std::size_t>(row * fw + x)]}; };
  std::vector<std::uint8_t> scratch;
  for (const auto& [w, h] : {std::pair{128, 72}, std::pair{384, 108}}) {
    SCOPED_TRACE(w);
    const std::vector<std::uint8_t> white(static_cast<std::size_t>(w * h * 4), 255);
    const engine::Placement p = engine::placeInFrame(fw, fh, w, h);
    engine::drawPlaced(white.data(), w * 4, w, h, p, canvas, scratch);
    for (int row = 0; row < fh; ++row)
      for (int x = 0; x < fw; ++x) {
        const bool inside = x >= p.x && x < p.x + p.width && row >= p.y && row < p.y + p.height;
        ASSERT_EQ(lumaAt(x, row) > 200, inside) << x << "," << row << ": luma " << lumaAt(x, row);
        if (!inside) {
          ASSERT_LE(lumaAt(x, row), 16) << x << "," << row;
        }
      }
  }
}

TEST(ScreenSources, ChangedRowsBecomeFewEvenBandsInsideThePicture) {
  using engine::RowBand;
  // Odd bounds widen to even ones; bands are clipped to the picture.
  EXPECT_EQ(engine::mergeBands({{3, 7}}, 100, 0), (std::vector<RowBand>{{2, 8}}));
  EXPECT_EQ(engine::mergeBands({{-20, 5}, {95, 130}}, 100, 0), (std::vector<RowBand>{{0, 6}, {94, 100}}));
  // Out of the picture or empty: nothing to read.
  EXPECT_TRUE(engine::mergeBands({{-10, -2}, {120, 140}, {50, 50}}, 100, 0).empty());
  // Unsorted and overlapping bands merge; close ones merge within the gap.
  EXPECT_EQ(engine::mergeBands({{60, 70}, {10, 20}, {15, 30}, {40, 44}}, 100, 0),
            (std::vector<RowBand>{{10, 30}, {40, 44}, {60, 70}}));
  EXPECT_EQ(engine::mergeBands({{60, 70}, {10, 20}, {15, 30}, {40, 44}}, 100, 10),
            (std::vector<RowBand>{{10, 44}, {60, 70}}));
  // Odd-height pictures never get a band past the last even row.
  EXPECT_EQ(engine::mergeBands({{0, 101}}, 100, 0), (std::vector<RowBand>{{0, 100}}));
}

// Damage is kept per row as a mask of at most 64 column tiles.
TEST(ScreenSources, DamagedColumnsMapToTheTilesTheyTouch) {
  EXPECT_EQ(engine::tileWidthFor(1920), 128);
  EXPECT_EQ(engine::tileWidthFor(800), 128);
  EXPECT_EQ(engine::tileWidthFor(10000), 160);
  for (const int width : {16, 1920, 3840, 7680, 8192, 10000, 16384}) {
    const int tile = engine::tileWidthFor(width);
    EXPECT_LE((width + tile - 1) / tile, 64) << width;
    EXPECT_EQ(tile % 16, 0);
    const std::uint64_t all = engine::tilesOf(0, width, tile);
    EXPECT_EQ(std::popcount(all), (width + tile - 1) / tile) << width;
  }
  EXPECT_EQ(engine::tilesOf(0, 1, 128), 0b1u);
  EXPECT_EQ(engine::tilesOf(127, 129, 128), 0b11u);
  EXPECT_EQ(engine::tilesOf(128, 256, 128), 0b10u);
  EXPECT_EQ(engine::tilesOf(300, 300, 128), 0u);
  EXPECT_EQ(engine::tilesOf(8191, 8192, 128), std::uint64_t{1} << 63);
}

TEST(ScreenSources, ARowsFingerprintChangesWithAnyOfItsPixels) {
  // A full-HD row, and odd lengths whose last bytes fall outside the lanes.
  for (const std::size_t bytes : {std::size_t{7680}, std::size_t{7683}, std::size_t{5}}) {
    std::vector<std::uint8_t> row(bytes);
    for (std::size_t i = 0; i < bytes; ++i) row[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const std::uint64_t h = engine::hashRow(row.data(), bytes);
    EXPECT_EQ(engine::hashRow(row.data(), bytes), h);
    for (const std::size_t at : {std::size_t{0}, bytes / 2, bytes - 1}) {
      row[at] ^= 1;
      EXPECT_NE(engine::hashRow(row.data(), bytes), h) << bytes << " bytes, bit flipped at " << at;
      row[at] ^= 1;
    }
    // Two pixels swapped: the same bytes in another order.
    if (bytes >= 8) {
      std::swap_ranges(row.begin(), row.begin() + 4, row.begin() + 4);
      EXPECT_NE(engine::hashRow(row.data(), bytes), h);
    }
  }
}
