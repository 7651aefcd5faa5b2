// The two exit controls, the unload step on a close from outside, and the
// window operation of the load step.
#include <gmock/gmock.h>

#include <QTest>
#include <csignal>

#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using ::testing::ElementsAre;

using LauncherExit = LauncherTest;

// An application is put in PPTApp as a launch would leave it: the exits must
// release it without asking it to quit, even when a close follows.
TEST_F(LauncherExit, ExitButtonAndExposedLabelStripEndAtOnceWithoutUnloading) {
  for (bool viaLabel : {false, true}) {
    SCOPED_TRACE(viaLabel ? "Label3" : "Command4");
    rt::resetForTesting();
    start.reset();
    window().PPTApp = office.newApplication();
    window().show();
    if (viaLabel) {
      // Command4 covers the label except its top 3 pixels (45 twips).
      const QPoint strip(390, 205);
      EXPECT_EQ(window().childAt(390, 215), window().Command4);
      ASSERT_EQ(window().childAt(strip), window().Label3);
      QTest::mouseClick(window().Label3, Qt::LeftButton, {}, window().Label3->mapFrom(start.get(), strip));
    } else {
      window().Command4->click();
    }
    ASSERT_TRUE(rt::ending());
    EXPECT_EQ(exitStatus(), 0);
    EXPECT_TRUE(office.lastApplication.expired());
    window().close();
  }
  start.reset();
  EXPECT_TRUE(officeLog().empty());
  EXPECT_TRUE(errors.empty());
}

TEST_F(LauncherExit, LabelPressReleasedElsewhereOrRightClickIsNoClick) {
  window().show();
  QTest::mousePress(window().Label3, Qt::LeftButton, {}, QPoint(10, 1));
  QTest::mouseRelease(window().Label3, Qt::LeftButton, {}, QPoint(10, 60));
  QTest::mouseClick(window().Label3, Qt::RightButton, {}, QPoint(10, 1));
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherExit, CloseWithoutLaunchIgnoresTheFailedQuit) {
  window().show();
  EXPECT_TRUE(window().close());
  EXPECT_FALSE(window().isVisible());
  EXPECT_TRUE(errors.empty());
  EXPECT_TRUE(officeLog().empty());
}

TEST_F(LauncherExit, TerminationSignalRunsTheUnloadStepWhichIgnoresARefusedQuit) {
  window().show();
  window().PPTApp = office.newApplication();
  office.script->failing["Quit"] = {rt::status::Fail, u"a modified document"};
  rt::closeOnTerminationSignals(start.get());
  ASSERT_EQ(std::raise(SIGTERM), 0);
  // The handler only posts the close; it arrives through the event loop.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window().isVisible(); }, 20000));
  EXPECT_THAT(officeLog(), ElementsAre("call Quit()"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(LauncherExit, LaunchNeverRunsTheUnloadStep) {
  window().show();
  window().Command3->click();
  ASSERT_TRUE(rt::ending());
  window().close();
  start.reset();
  EXPECT_EQ(officeLog().size(), 5u);
  EXPECT_EQ(officeLog().back(), "put Caption(text:Vardel课件快速制作系统)");
}

TEST_F(LauncherExit, WindowOperationRaisesTheWindowAndReportsABadArgument) {
  QWidget other;
  window().show();
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &other; }, 20000));
  rt::runEvent([&] { window().BringToFront(1); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == start.get(); }, 20000));

  rt::runEvent([&] { window().BringToFront(2); });
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::err::InvalidCall);
  EXPECT_TRUE(rt::ending());
}

}  // namespace
}  // namespace launcher::testing
