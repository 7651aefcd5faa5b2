// Start, stop, resize and exit on a shown window with the recording fake of
// the encoder. Window-state notifications are sent the way the window system
// delivers them, including late ones; state and exposure reports go through
// Qt's window-system interface, as a platform plugin sends them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QWindow>
#include <QWindowStateChangeEvent>
#include <QtGui/private/qwindow_p.h>
#include <qpa/qwindowsysteminterface.h>

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
  // The platform plugin reports the window's state (Qt's xcb plugin on a
  // property change of the window manager's, the wayland plugin on a
  // configure from the compositor).
  void platformReportsState(Qt::WindowStates state) {
    QWindowSystemInterface::handleWindowStateChanged<QWindowSystemInterface::SynchronousDelivery>(
        form->windowHandle(), state);
    QApplication::processEvents();
  }
  // The platform plugin reports whether the window is on screen (on X11: the
  // window manager unmapped or mapped it). Qt takes the exposure from the
  // platform window, and the offscreen plugin's follows the window's
  // visibility, so for the one report the window is made to look hidden to
  // it, as an unmapped X window is to the xcb plugin; the widget stays shown.
  void platformReportsExposed(bool exposed) {
    QWindow* window = form->windowHandle();
    QWindowPrivate* w = QWindowPrivate::get(window);
    const bool visible = w->visible;
    w->visible = exposed;
    const QRegion region = exposed ? QRegion(QRect(QPoint(), form->size())) : QRegion();
    QWindowSystemInterface::handleExposeEvent<QWindowSystemInterface::SynchronousDelivery>(window,
                                                                                         region);
    w->visible = visible;
    ASSERT_EQ(window->isExposed(), exposed);
    QApplication::processEvents();
  }
  // A desktop that minimises (openbox, mutter and kwin through Xwayland)
  // takes the window off screen.
  void desktopMinimises() {
    platformReportsState(Qt::WindowMinimized);
    platformReportsExposed(false);
  }
  // The user brings back the window the desktop had minimised, as openbox
  // does it: the state comes first, then the window is on screen again.
  void restore() {
    if (form->windowHandle()->isExposed()) desktopMinimises();
    platformReportsState(Qt::WindowNoState);
    platformReportsExposed(true);
  }
  // A desktop that does not minimise answers the request with "not
  // minimised" (Qt's wayland plugin: Minimized, then at once NoState); the
  // window never leaves the screen.
  void desktopRefusesMinimise() {
    platformReportsState(Qt::WindowMinimized);
    platformReportsState(Qt::WindowNoState);
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

// --- A desktop that refuses the start's minimise ---------------------------------
// Tiling window managers (sway, i3) leave the window on screen, and Qt's
// wayland plugin cannot report a minimised window at all. The "not minimised"
// that follows the start's request must not end the recording it started.

using RefusedMinimiseTest = CaptureControlTest;

TEST_F(RefusedMinimiseTest, NotMinimisedAfterTheStartsRequestKeepsRecording) {
  start();
  desktopRefusesMinimise();
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start"}));
  EXPECT_FALSE(form->isMinimized());  // the window is up ...
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(recording());           // ... and offers the stop button
  EXPECT_TRUE(reported.empty());

  form->StopCapture->click();
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
  EXPECT_TRUE(idle());
}

TEST_F(RefusedMinimiseTest, ImmediateNotMinimisedKeepsRecording) {
  // Qt's wayland plugin on sway answers the request with "not minimised" alone.
  start();
  platformReportsState(Qt::WindowNoState);
  EXPECT_FALSE(form->isMinimized());
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start"}));
  EXPECT_TRUE(recording());
}

TEST_F(RefusedMinimiseTest, RepeatedReportsWhileTheWindowStaysOnScreenKeepRecording) {
  start();
  platformReportsExposed(true);  // drawn again, still on screen
  desktopRefusesMinimise();
  platformReportsState(Qt::WindowMinimized);  // a late duplicate
  platformReportsState(Qt::WindowNoState);
  platformReportsExposed(true);               // redrawn where it is
  platformReportsState(Qt::WindowNoState);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start"}));
  EXPECT_TRUE(recording());
}

TEST_F(RefusedMinimiseTest, SizeChangeStops) {
  start();
  desktopRefusesMinimise();
  QResizeEvent resize(QSize(600, 400), form->size());
  QApplication::sendEvent(form.get(), &resize);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
  EXPECT_TRUE(idle());
}

TEST_F(RefusedMinimiseTest, ExitStopsAndEnds) {
  start();
  desktopRefusesMinimise();
  form->exit->click();
  EXPECT_EQ(controlCalls(),
            (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop", "release encoder#1"}));
  EXPECT_TRUE(rt::ending());
  EXPECT_TRUE(reported.empty());
}

TEST_F(RefusedMinimiseTest, DesktopThatMinimisesLaterLetsTheRestoreStop) {
  // The request was refused at first, then the window did go off screen
  // (the user minimised it): bringing it back is a restore.
  start();
  desktopRefusesMinimise();
  desktopMinimises();
  EXPECT_TRUE(recording());
  restore();
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
  EXPECT_TRUE(idle());
}

TEST_F(RefusedMinimiseTest, EverySecondRecordingAsksAgain) {
  // The first recording is minimised for real and restored; the second
  // start's request is refused, and that must not count as a restore.
  start();
  desktopMinimises();
  restore();
  start();
  desktopRefusesMinimise();
  EXPECT_TRUE(recording());
  form->StopCapture->click();
  // And a third, refused again, then stopped by a size change.
  start();
  desktopRefusesMinimise();
  EXPECT_TRUE(recording());
  QResizeEvent resize(QSize(600, 400), form->size());
  QApplication::sendEvent(form.get(), &resize);
  EXPECT_EQ(controlCalls(),
            (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop", "create encoder#2",
                   "release encoder#1", "encoder#2.Start", "encoder#2.Stop", "create encoder#3",
                   "release encoder#2", "encoder#3.Start", "encoder#3.Stop"}));
  EXPECT_TRUE(idle());
  EXPECT_TRUE(reported.empty());
}

// --- A desktop that minimises (openbox here, GNOME and KDE through Xwayland) ------

using HonouredMinimiseTest = CaptureControlTest;

TEST_F(HonouredMinimiseTest, LateReportsOfTheOwnMinimiseNeverStopTheRestoreDoes) {
  start();
  platformReportsState(Qt::WindowMinimized);  // the window manager confirms, late
  platformReportsExposed(false);              // and unmaps the window
  platformReportsState(Qt::WindowMinimized);  // a duplicate
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start"}));
  EXPECT_TRUE(recording());

  // The user restores it from the task bar: "not minimised" arrives while
  // the window is still unmapped, then it is mapped again.
  platformReportsState(Qt::WindowNoState);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
  EXPECT_TRUE(idle());
  platformReportsExposed(true);
  platformReportsState(Qt::WindowNoState);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
}

TEST_F(HonouredMinimiseTest, UnmappedBeforeTheStateConfirmedStillCountsAsTakenOffScreen) {
  // Window managers differ in the order of the unmap and the property change.
  start();
  platformReportsExposed(false);
  platformReportsState(Qt::WindowMinimized);
  EXPECT_TRUE(recording());
  platformReportsExposed(true);
  platformReportsState(Qt::WindowNoState);
  EXPECT_EQ(controlCalls(), (Calls{"create encoder#1", "encoder#1.Start", "encoder#1.Stop"}));
}

TEST_F(HonouredMinimiseTest, OffScreenBeforeTheStartDoesNotMakeARefusalARestore) {
  // A window minimised and restored while idle: the next start's request is
  // awaited afresh.
  desktopMinimises();
  restore();
  EXPECT_TRUE(fake.log->calls.empty());
  start();
  desktopRefusesMinimise();
  EXPECT_TRUE(recording());
}

}  // namespace
