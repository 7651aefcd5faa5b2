// Start, stop, resize and exit on a shown window with the recording fake of
// the encoder. Window-state notifications are sent the way the window system
// delivers them, including late ones.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QWindowStateChangeEvent>

#include "capture/form1.h"
#include "components/encoder/testing/recording_encoder.h"
#include "runtime/qt/events.h"

namespace {

using encoder::testing::failureText;
using encoder::testing::RecordingEncoderFactory;
using Calls = std::vector<std::string>;

class CaptureControlTest : public ::testing::Test {
 protected:
  CaptureControlTest() {
    rt::resetForTesting();
    rt::setErrorReporter([this](const rt::RuntimeError& e) { reported.push_back(e); });
    fake.log->script.profiles = {u"屏幕视频 - 中(CBR)"};
    form = std::make_unique<Form1>();
    form->show();
    QApplication::processEvents();
  }
  ~CaptureControlTest() override {
    form.reset();
    rt::setErrorReporter({});
    rt::resetForTesting();
  }

  // The calls on the encoder from its Start on (set-up left out).
  Calls controlCalls() const {
    Calls out;
    for (const auto& c : fake.log->calls)
      if (c.find(".Start") != std::string::npos || c.find(".Stop") != std::string::npos ||
          c.rfind("create ", 0) == 0 || c.rfind("release encoder", 0) == 0)
        out.push_back(c);
    return out;
  }
  // A window-state notification as the window system delivers it, after
  // whatever handler caused it has returned.
  void notifyStateChange(Qt::WindowStates old) {
    QWindowStateChangeEvent e(old);
    QApplication::sendEvent(form.get(), &e);
    QApplication::processEvents();
  }
  void start() {
    form->StartCapture->click();
    QApplication::processEvents();
  }
  // The user brings the window back; the window system's confirmation of the
  // new state is handled before anything else happens.
  void restore() {
    form->setWindowState(Qt::WindowNoState);
    QApplication::processEvents();
  }
  bool idle() const { return form->StartCapture->isEnabled() && !form->StopCapture->isEnabled(); }
  bool recording() const {
    return !form->StartCapture->isEnabled() && form->StopCapture->isEnabled();
  }

  RecordingEncoderFactory fake;
  std::unique_ptr<Form1> form;
  std::vector<rt::RuntimeError> reported;
};

TEST_F(CaptureControlTest, StartSetsUpMinimisesStartsThenSwapsTheButtons) {
  EXPECT_TRUE(fake.log->calls.empty());  // the resize of the first show did nothing
  std::string atStart;
  fake.log->script.onCall["encoder#1.Start"] = [&] {
    atStart = std::string(form->isMinimized() ? "minimised" : "normal") +
              (form->StopCapture->isEnabled() ? " stop-enabled" : " stop-disabled") +
              (form->StartCapture->isEnabled() ? " start-enabled" : " start-disabled");
  };
  start();
  EXPECT_EQ(atStart, "minimised stop-disabled start-enabled");
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start"}));
  EXPECT_EQ(fake.log->callsOnly().at(fake.log->callsOnly().size() - 2),
            "video#1.put_CroppingLeftMargin(0)");  // the whole set-up ran first
  EXPECT_TRUE(form->isMinimized());
  EXPECT_TRUE(recording());
  EXPECT_TRUE(reported.empty());
}

TEST_F(CaptureControlTest, LateNotificationOfTheStartsOwnMinimiseDoesNotStop) {
  start();
  notifyStateChange(Qt::WindowNoState);  // the window system confirms the minimise
  notifyStateChange(Qt::WindowNoState);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start"}));
  EXPECT_TRUE(recording());
}

TEST_F(CaptureControlTest, RestoreStopsOnceAndLaterResizesDoNothing) {
  start();
  restore();
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
  EXPECT_TRUE(idle());
  EXPECT_FALSE(form->isMinimized());

  notifyStateChange(Qt::WindowMinimized);
  QResizeEvent resize(QSize(520, 382), form->size());
  QApplication::sendEvent(form.get(), &resize);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
  EXPECT_TRUE(reported.empty());
}

TEST_F(CaptureControlTest, AnyResizeThatFindsTheWindowOnScreenStops) {
  start();
  // A recording whose window is back on screen without a state change
  // (the state was restored quietly): the next real size change stops it.
  form->overrideWindowState(Qt::WindowNoState);
  QResizeEvent resize(form->size(), QSize(400, 300));
  QApplication::sendEvent(form.get(), &resize);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
  EXPECT_TRUE(idle());
}

TEST_F(CaptureControlTest, StopButtonStopsAndKeepsTheWindowState) {
  start();
  form->StopCapture->click();
  EXPECT_TRUE(form->isMinimized());
  EXPECT_TRUE(idle());

  restore();
  start();
  restore();
  EXPECT_TRUE(idle());
  EXPECT_FALSE(form->isMinimized());
  EXPECT_EQ(controlCalls(),
            (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop", "create encoder#2",
                   "release encoder#1", "encoder#2.Start", "encoder#2.Stop"}));
}

TEST_F(CaptureControlTest, ExitBeforeAnyRecordingEndsWithoutMessage) {
  form->exit->click();
  EXPECT_TRUE(rt::ending());
  EXPECT_TRUE(reported.empty());
  EXPECT_TRUE(fake.log->calls.empty());
  // Nothing runs after the end.
  form->StartCapture->click();
  EXPECT_TRUE(fake.log->calls.empty());
}

TEST_F(CaptureControlTest, ExitAfterStopSendsStopAgainAndEndsWhateverItReturns) {
  start();
  restore();
  fake.log->script.failures["encoder#1.Stop"] = rt::status::UnexpectedState;
  form->exit->click();
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop",
                                   "encoder#1.Stop", "release encoder#1"}));
  EXPECT_TRUE(reported.empty());
  EXPECT_TRUE(rt::ending());
  EXPECT_FALSE(form->encoder);
}

TEST_F(CaptureControlTest, SecondStartSetsUpAgainFromTheCurrentSettings) {
  start();
  restore();
  form->ChkAudio->setChecked(true);
  form->Option1->setChecked(true);
  fake.log->script.profiles = {u"屏幕视频/音频 - 高(CBR)"};
  start();
  const Calls& all = fake.log->calls;
  auto second = std::find(all.begin(), all.end(), "create encoder#2");
  ASSERT_NE(second, all.end());
  EXPECT_EQ(*(second + 1), "release encoder#1");
  const Calls rest(second + 2, all.end());
  EXPECT_NE(std::find(rest.begin(), rest.end(), "SG_1#2.AddSource(1)"), rest.end());
  EXPECT_NE(std::find(rest.begin(), rest.end(), "SG_1#2.put_Profile(profile[0]#2)"), rest.end());
  EXPECT_EQ(rest.back(), "encoder#2.Start");
  EXPECT_TRUE(recording());
}

TEST_F(CaptureControlTest, FailingStartReportsAndEndsWithTheWindowMinimised) {
  fake.log->script.failures["encoder#1.Start"] = static_cast<rt::Status>(0x80070005);
  start();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].number(), static_cast<std::int32_t>(0x80070005));
  EXPECT_EQ(reported[0].text(), failureText("encoder#1.Start"));
  EXPECT_TRUE(rt::ending());
  EXPECT_TRUE(form->isMinimized());
  EXPECT_TRUE(idle());
}

TEST_F(CaptureControlTest, FailingSetUpLeavesTheWindowNormal) {
  fake.log->script.failures["groups#1.Add"] = rt::status::Fail;
  start();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_TRUE(rt::ending());
  EXPECT_FALSE(form->isMinimized());
  EXPECT_TRUE(idle());
}

TEST_F(CaptureControlTest, FailingStopReportsAndLeavesStopCaptureEnabled) {
  start();
  fake.log->script.failures["encoder#1.Stop"] = rt::status::Fail;
  restore();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].text(), failureText("encoder#1.Stop"));
  EXPECT_TRUE(rt::ending());
  EXPECT_TRUE(recording());
}

TEST_F(CaptureControlTest, ClosingTheWindowRunsNoProcedureAndReleasesTheEncoder) {
  start();
  form->close();
  QApplication::processEvents();
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start"}));
  EXPECT_TRUE(reported.empty());
  form.reset();  // the program ends: the window goes, and its encoder with it
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "release encoder#1"}));
}

}  // namespace
