// Main: the window's settings turned into a configured encoder, checked as the
// complete sequence of calls the recording fake of the encoder saw.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

#include "capture/form1.h"
#include "components/encoder/testing/recording_encoder.h"

namespace {

using encoder::testing::failureText;
using encoder::testing::RecordingEncoderFactory;
using Calls = std::vector<std::string>;

// The profile catalogue as the engine offers it.
const std::vector<rt::Text> kCatalogue = {
    u"屏幕视频 - 高(CBR)",      u"屏幕视频 - 中(CBR)",      u"屏幕视频(CBR)",
    u"屏幕视频/音频 - 高(CBR)", u"屏幕视频/音频 - 中(CBR)", u"屏幕视频/音频"};

// The calls after the profile search, with the window's initial texts.
Calls tail(const std::string& n, const std::string& output) {
  return {"encoder" + n + ".get_DisplayInfo",
          "description" + n + ".put_Author(Author name)",
          "description" + n + ".put_Copyright(Copyright information)",
          "description" + n + ".put_Description(Text description of encoded content)",
          "description" + n + ".put_Rating(Rating information)",
          "description" + n + ".put_Title(Title of encoded content)",
          "encoder" + n + ".get_Attributes",
          "attributes" + n + ".Add(URL, text:IP address)",
          "encoder" + n + ".get_File",
          "file" + n + ".put_LocalFileName(" + output + ")",
          "video" + n + ".put_CroppingRightMargin(0)",
          "video" + n + ".put_CroppingTopMargin(0)",
          "video" + n + ".put_CroppingBottomMargin(0)",
          "video" + n + ".put_CroppingLeftMargin(0)"};
}

Calls concat(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

int countOf(const Calls& calls, const std::string& prefix) {
  int n = 0;
  for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
  return n;
}

class MainTest : public ::testing::Test {
 protected:
  MainTest() { fake.log->script.profiles = kCatalogue; }

  // Runs Main and returns the number of the run-time error it raised (0: none).
  int runMain() {
    try {
      form.Main();
    } catch (const rt::RuntimeError& e) {
      error = e;
      return e.number();
    }
    return 0;
  }
  Calls calls() const { return fake.log->callsOnly(); }
  std::string output() const { return form.Text3->text().toStdString(); }
  // The profile the group was given, or "" when none.
  std::string profileSet() const {
    for (const auto& c : calls())
      if (c.rfind("SG_1#1.put_Profile(", 0) == 0) return c;
    return "";
  }

  RecordingEncoderFactory fake;
  Form1 form;
  std::optional<rt::RuntimeError> error;
};

TEST_F(MainTest, InitialSettingsConfigureVideoOnlyWithTheMediumProfile) {
  ASSERT_EQ(runMain(), 0);
  const Calls expected = concat(
      {"create encoder#1", "encoder#1.get_SourceGroupCollection", "groups#1.Add(SG_1)",
       "SG_1#1.AddSource(2)", "video#1.SetInput(ScreenCap://ScreenCapture1, , )",
       "encoder#1.get_ProfileCollection", "profiles#1.get_Count", "profiles#1.Item(0)",
       "profile[0]#1.get_Name", "profiles#1.Item(1)", "profile[1]#1.get_Name",
       "SG_1#1.put_Profile(profile[1]#1)"},
      tail("#1", output()));
  EXPECT_EQ(calls(), expected);
  // Only the encoder itself is still referenced, by the window.
  EXPECT_EQ(fake.log->alive(), Calls{"encoder#1"});
  EXPECT_TRUE(form.encoder);
}

TEST_F(MainTest, AudioAddsBothSourcesBeforeSettingEitherInput) {
  form.ChkAudio->setChecked(true);
  ASSERT_EQ(runMain(), 0);
  const Calls expected = concat(
      {"create encoder#1", "encoder#1.get_SourceGroupCollection", "groups#1.Add(SG_1)",
       "SG_1#1.AddSource(2)", "SG_1#1.AddSource(1)",
       "video#1.SetInput(ScreenCap://ScreenCapture1, , )",
       "audio#1.SetInput(DEVICE://Default_Audio_Device, , )", "encoder#1.get_ProfileCollection",
       "profiles#1.get_Count", "profiles#1.Item(0)", "profile[0]#1.get_Name",
       "profiles#1.Item(1)", "profile[1]#1.get_Name", "profiles#1.Item(2)",
       "profile[2]#1.get_Name", "profiles#1.Item(3)", "profile[3]#1.get_Name",
       "profiles#1.Item(4)", "profile[4]#1.get_Name", "SG_1#1.put_Profile(profile[4]#1)"},
      tail("#1", output()));
  EXPECT_EQ(calls(), expected);
  EXPECT_EQ(fake.log->alive(), Calls{"encoder#1"});
}

TEST_F(MainTest, EveryChoiceFindsItsProfile) {
  struct Case {
    bool audio;
    QRadioButton* option;
    int index;
  };
  const Case cases[] = {{false, form.Option1, 0}, {false, form.Option2, 1},
                        {false, form.Option3, 2}, {true, form.Option1, 3},
                        {true, form.Option2, 4},  {true, form.Option3, 5}};
  for (const auto& c : cases) {
    form.ChkAudio->setChecked(c.audio);
    c.option->setChecked(true);
    const int before = fake.log->encodersCreated;
    ASSERT_EQ(runMain(), 0);
    const std::string n = "#" + std::to_string(before + 1);
    const std::string put = "SG_1" + n + ".put_Profile(profile[" + std::to_string(c.index) + "]" + n + ")";
    EXPECT_EQ(countOf(calls(), put), 1) << put;
  }
}

TEST_F(MainTest, NamesThatOnlyLookAlikeDoNotMatchAndTheRestStillRuns) {
  fake.log->script.profiles = {u"屏幕视频 - 中(cbr)", u"屏幕视频  - 中(CBR)", u"屏幕视频 - 中（CBR）",
                               u"屏幕视频 - 中(CBR) ", u"屏幕视频 - 中(CBR"};
  ASSERT_EQ(runMain(), 0);
  EXPECT_EQ(profileSet(), "");
  EXPECT_EQ(countOf(calls(), "profiles#1.Item("), 5);
  const Calls c = calls();
  EXPECT_EQ(Calls(c.end() - 14, c.end()), tail("#1", output()));
}

TEST_F(MainTest, FirstOfTwoMatchesWinsAndTheSearchStopsThere) {
  fake.log->script.profiles = {u"other", u"屏幕视频 - 中(CBR)", u"屏幕视频 - 中(CBR)", u"more"};
  ASSERT_EQ(runMain(), 0);
  EXPECT_EQ(profileSet(), "SG_1#1.put_Profile(profile[1]#1)");
  EXPECT_EQ(countOf(calls(), "profiles#1.Item("), 2);
}

TEST_F(MainTest, EmptyCollectionSetsNoProfileSilently) {
  fake.log->script.profiles = {};
  ASSERT_EQ(runMain(), 0);
  const Calls expected = concat(
      {"create encoder#1", "encoder#1.get_SourceGroupCollection", "groups#1.Add(SG_1)",
       "SG_1#1.AddSource(2)", "video#1.SetInput(ScreenCap://ScreenCapture1, , )",
       "encoder#1.get_ProfileCollection", "profiles#1.get_Count"},
      tail("#1", output()));
  EXPECT_EQ(calls(), expected);
}

TEST_F(MainTest, SixteenBitSearchOverflowsBeforeTheFirstAndAfterTheLastComparison) {
  // More positions than a 16-bit index reaches: overflow before any comparison,
  // even with the name at position 0; nothing after the search runs.
  std::vector<rt::Text> many(32769, u"x");
  many[0] = u"屏幕视频 - 中(CBR)";
  fake.log->script.profiles = many;
  EXPECT_EQ(runMain(), rt::err::Overflow);
  Calls c = calls();
  EXPECT_EQ(c.back(), "profiles#1.get_Count");
  EXPECT_EQ(fake.log->alive(), Calls{"encoder#1"});

  // A count whose last position cannot even be computed in 32 bits.
  fake.log->script.reportedCount = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(runMain(), rt::err::Overflow);
  EXPECT_EQ(calls().back(), "profiles#2.get_Count");
  fake.log->script.reportedCount.reset();

  // 32768 entries without the name: every one is compared, then the step
  // past 32767 overflows.
  fake.log->script.profiles.assign(32768, u"x");
  EXPECT_EQ(runMain(), rt::err::Overflow);
  c = calls();
  EXPECT_EQ(countOf(c, "profiles#3.Item("), 32768);
  EXPECT_EQ(c.back(), "profile[32767]#3.get_Name");

  // ... but a match at the last reachable position is found.
  fake.log->script.profiles.back() = u"屏幕视频 - 中(CBR)";
  EXPECT_EQ(runMain(), 0);
  EXPECT_EQ(countOf(calls(), "SG_1#4.put_Profile(profile[32767]#4)"), 1);

  // 32767 entries without a match run to the end without an error.
  fake.log->script.profiles.assign(32767, u"x");
  EXPECT_EQ(runMain(), 0);
  EXPECT_EQ(countOf(calls(), "profiles#5.Item("), 32767);
  EXPECT_EQ(calls().back(), "video#5.put_CroppingLeftMargin(0)");
}

TEST_F(MainTest, EmptiedBoxesPassEmptyTexts) {
  for (QLineEdit* box : {form.Text3, form.Text4, form.Text5, form.Text6, form.Text7}) box->clear();
  ASSERT_EQ(runMain(), 0);
  const Calls c = calls();
  const Calls expected = {"description#1.put_Author()", "description#1.put_Copyright()",
                          "description#1.put_Description()",
                          "description#1.put_Rating(Rating information)",
                          "description#1.put_Title()", "encoder#1.get_Attributes",
                          "attributes#1.Add(URL, text:IP address)", "encoder#1.get_File",
                          "file#1.put_LocalFileName()"};
  auto at = std::find(c.begin(), c.end(), expected.front());
  ASSERT_NE(at, c.end());
  EXPECT_EQ(Calls(at, at + static_cast<long>(expected.size())), expected);
}

TEST_F(MainTest, EachControlIsReadWhenItsStepRuns) {
  // The user's settings change while Main runs (a hook of the fake): the
  // audio choice after the sources are added, and the copyright after the
  // author is set. Main uses what the controls hold at each step.
  fake.log->script.onCall["video#1.SetInput"] = [&] { form.ChkAudio->setChecked(true); };
  fake.log->script.onCall["description#1.put_Author"] = [&] { form.Text5->setText(u"© 2026 新"_qs); };
  ASSERT_EQ(runMain(), 0);
  EXPECT_EQ(countOf(calls(), "SG_1#1.AddSource("), 1);
  EXPECT_EQ(profileSet(), "SG_1#1.put_Profile(profile[4]#1)");
  EXPECT_EQ(countOf(calls(), "description#1.put_Copyright(© 2026 新)"), 1);
}

TEST_F(MainTest, SecondRunCreatesAFreshEncoderAndReleasesTheFirstThen) {
  ASSERT_EQ(runMain(), 0);
  form.Option1->setChecked(true);
  ASSERT_EQ(runMain(), 0);
  const Calls& all = fake.log->calls;
  auto created = std::find(all.begin(), all.end(), "create encoder#2");
  ASSERT_NE(created, all.end());
  EXPECT_EQ(*(created + 1), "release encoder#1");
  EXPECT_EQ(*(created + 2), "encoder#2.get_SourceGroupCollection");
  for (auto it = created; it != all.end(); ++it) EXPECT_EQ(it->find("#1."), std::string::npos) << *it;
  EXPECT_EQ(profileSet(), "SG_1#1.put_Profile(profile[1]#1)");
  EXPECT_EQ(countOf(calls(), "SG_1#2.put_Profile(profile[0]#2)"), 1);
  EXPECT_EQ(fake.log->alive(), Calls{"encoder#2"});
}

TEST_F(MainTest, FailurePartWayStopsTheRestAndLeaksNothing) {
  const std::string points[] = {
      "encoder#1.get_SourceGroupCollection", "groups#1.Add",          "SG_1#1.AddSource",
      "video#1.SetInput",                    "profiles#1.get_Count",  "profile[1]#1.get_Name",
      "SG_1#1.put_Profile",                  "description#1.put_Title", "attributes#1.Add",
      "file#1.put_LocalFileName",            "video#1.put_CroppingBottomMargin"};
  for (const auto& point : points) {
    RecordingEncoderFactory failing;
    failing.log->script.profiles = kCatalogue;
    failing.log->script.failures[point] = static_cast<rt::Status>(0x80070005);
    {
      Form1 window;
      try {
        window.Main();
        ADD_FAILURE() << point << ": no error";
      } catch (const rt::RuntimeError& e) {
        EXPECT_EQ(e.number(), static_cast<std::int32_t>(0x80070005)) << point;
        EXPECT_EQ(e.text(), failureText(point)) << point;
      }
      const Calls c = failing.log->callsOnly();
      EXPECT_EQ(c.back().substr(0, point.size()), point);
      // The window keeps the new encoder; everything else was released.
      EXPECT_EQ(failing.log->alive(), Calls{"encoder#1"}) << point;
    }
    EXPECT_TRUE(failing.log->alive().empty()) << point;
  }
}

TEST(MainWithoutEngine, SaysTheRecordingEngineIsNotAvailable) {
  Form1 form;
  try {
    form.Main();
    ADD_FAILURE() << "no error";
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number(), rt::err::CannotCreateObject);
    EXPECT_NE(e.text().find(u"recording engine is not available"), rt::Text::npos);
  }
  EXPECT_FALSE(form.encoder);
}

}  // namespace
