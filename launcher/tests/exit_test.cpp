// The two exit controls, the window's unload step when it is closed from
// outside, and its load step.
#include <gmock/gmock.h>

#include <QTest>
#include <csignal>

#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

using LauncherExit = LauncherTest;

// The exits must not ask an application held by the window to quit; one is
// put there as a launch would have left it.
TEST_F(LauncherExit, ExitButtonEndsAtOnceWithoutUnloading) {
  window().PPTApp = office.newApplication();
  window().Command4->click();

  ASSERT_TRUE(rt::ending());
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(office.lastApplication.expired());  // released as the program stops
  window().close();  // a close arriving while the program stops runs nothing
  start.reset();
  EXPECT_THAT(officeLog(), Not(Contains(HasSubstr("Quit"))));
}

TEST_F(LauncherExit, ExposedStripOfTheExitLabelEndsAtOnce) {
  window().PPTApp = office.newApplication();
  window().show();
  // Command4 covers the label except its top 3 pixels (45 twips).
  const QPoint strip(390, 205), covered(390, 215);
  EXPECT_EQ(window().childAt(covered), window().Command4);
  ASSERT_EQ(window().childAt(strip), window().Label3);
  EXPECT_EQ(window().childAt(strip)->cursor().shape(), Qt::BitmapCursor);

  QTest::mouseClick(window().Label3, Qt::LeftButton, {}, window().Label3->mapFrom(start.get(), strip));
  ASSERT_TRUE(rt::ending());
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_TRUE(errors.empty());
  start.reset();
  EXPECT_THAT(officeLog(), Not(Contains(HasSubstr("Quit"))));
}

TEST_F(LauncherExit, PressOnTheLabelReleasedElsewhereIsNoClick) {
  window().show();
  QTest::mousePress(window().Label3, Qt::LeftButton, {}, QPoint(10, 1));
  QTest::mouseRelease(window().Label3, Qt::LeftButton, {}, QPoint(10, 60));
  EXPECT_FALSE(rt::ending());
  QTest::mouseClick(window().Label3, Qt::RightButton, {}, QPoint(10, 1));
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherExit, CloseWithoutLaunchIgnoresTheFailedQuit) {
  window().show();
  EXPECT_TRUE(window().close());
  EXPECT_FALSE(window().isVisible());
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(rt::ending());  // the program ends as its last window goes
  EXPECT_TRUE(officeLog().empty());
}

TEST_F(LauncherExit, CloseAsksAHeldApplicationToQuitAndIgnoresItsRefusal) {
  window().show();
  window().PPTApp = office.newApplication();
  office.script->failing["Quit"] = {rt::status::Fail, u"a modified document"};
  EXPECT_TRUE(window().close());
  EXPECT_THAT(officeLog(), ElementsAre("call Quit()"));
  EXPECT_FALSE(window().isVisible());
  EXPECT_TRUE(errors.empty());
}

TEST_F(LauncherExit, LaunchNeverRunsTheUnloadStep) {
  window().show();
  window().Command3->click();
  ASSERT_TRUE(rt::ending());
  window().close();
  start.reset();
  EXPECT_THAT(officeLog(), Not(Contains(HasSubstr("Quit"))));
  EXPECT_EQ(officeLog().size(), 5u);
}

TEST_F(LauncherExit, TerminationSignalClosesTheWindowThroughTheUnloadStep) {
  window().show();
  window().PPTApp = office.newApplication();
  rt::closeOnTerminationSignals(start.get());
  ASSERT_EQ(std::raise(SIGTERM), 0);
  // The handler only posts the close; it arrives through the event loop.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window().isVisible(); }, 20000));
  EXPECT_THAT(officeLog(), ElementsAre("call Quit()"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(LauncherExit, LoadStepBringsTheWindowToTheFront) {
  QWidget other;
  window().show();
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &other; }, 20000));
  rt::runEvent([&] { window().BringToFront(1); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == start.get(); }, 20000));
}

TEST_F(LauncherExit, WindowOperationFailureIsARunTimeError) {
  rt::runEvent([&] { window().BringToFront(2); });
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::err::InvalidCall);
  EXPECT_TRUE(rt::ending());
}

}  // namespace
}  // namespace launcher::testing
