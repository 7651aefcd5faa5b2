#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "runtime/qt/events.h"

namespace {

struct Events : ::testing::Test {
  void SetUp() override { rt::resetForTesting(); }
  void TearDown() override {
    rt::setErrorReporter({});
    rt::resetForTesting();
  }
};

TEST_F(Events, UnhandledErrorIsReportedOnceAndNothingRunsWhileTheReportIsOpen) {
  std::vector<std::int32_t> reported;
  int laterRuns = 0;
  rt::setErrorReporter([&](const rt::RuntimeError& e) {
    reported.push_back(e.number());
    // While the message box is up, the event loop still delivers events:
    // none of their procedures may run, nor report a second error.
    rt::runEvent([&] { ++laterRuns; });
    rt::runEvent([] { rt::raiseError(rt::err::ObjectRequired); });
  });
  rt::runEvent([] { rt::raiseError(rt::err::Overflow); });
  EXPECT_EQ(reported, std::vector<std::int32_t>{rt::err::Overflow});
  EXPECT_EQ(laterRuns, 0);
  EXPECT_TRUE(rt::ending());
}

TEST_F(Events, ExitStatusIsOneAfterAnErrorAndZeroAfterAnImmediateEnd) {
  rt::setErrorReporter([](const rt::RuntimeError&) {});
  rt::runEvent([] { rt::raiseError(rt::err::Overflow); });
  // The error ended the program before the loop started: exec returns at once.
  EXPECT_EQ(rt::exec(*qApp), 1);

  rt::resetForTesting();
  QTimer::singleShot(0, [] { rt::runEvent([] { rt::endNow(0); }); });
  EXPECT_EQ(rt::exec(*qApp), 0);
  int ran = 0;
  rt::runEvent([&] { ++ran; });
  EXPECT_EQ(ran, 0) << "no procedure runs after an immediate end";
}

TEST_F(Events, OtherExceptionsAreReportedAsRunTimeErrorsAndEndTheProgram) {
  std::vector<std::int32_t> reported;
  rt::setErrorReporter([&](const rt::RuntimeError& e) { reported.push_back(e.number()); });
  rt::runEvent([] { throw std::bad_alloc(); });
  rt::resetForTesting();
  rt::runEvent([] { throw std::runtime_error("disk on fire"); });
  EXPECT_EQ(reported, (std::vector<std::int32_t>{rt::err::OutOfMemory, rt::err::InternalError}));
  EXPECT_TRUE(rt::ending());
}

TEST_F(Events, TerminationSignalEndsTheProgramEvenWithAMessageBoxOpen) {
  QWidget window;
  window.show();
  rt::closeOnTerminationSignals(&window);
  bool boxReturned = false;
  bool rescued = false;
  QTimer::singleShot(0, [&] {
    QMessageBox box(QMessageBox::Information, QStringLiteral("t"), QStringLiteral("open"));
    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    // Only if the signal left the box open: end it so the test can report.
    QTimer::singleShot(10000, &box, [&] {
      rescued = true;
      box.reject();
    });
    box.exec();
    boxReturned = true;
  });
  for (int i = 0; i < 2000 && (window.isVisible() || !boxReturned); ++i)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(boxReturned);
  EXPECT_FALSE(rescued) << "the signal left the message box open";
  EXPECT_FALSE(window.isVisible()) << "the signal did not close the window";
}

// Work that must not hold back a window's first paint runs once, after it.
TEST_F(Events, AfterFirstPaintRunsOnceAfterThePaintNeverForAWindowThatWentFirst) {
  struct Painted : QWidget {
    std::vector<std::string>* log;
    void paintEvent(QPaintEvent*) override { log->push_back("paint"); }
  };
  std::vector<std::string> log;
  Painted window;
  window.log = &log;
  rt::afterFirstPaint(&window, [&] { log.push_back("then"); });
  QCoreApplication::processEvents();
  EXPECT_TRUE(log.empty()) << "ran before the window was shown";
  window.show();
  EXPECT_TRUE(QTest::qWaitFor([&] { return std::count(log.begin(), log.end(), "then") == 1; }, 20000));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "paint");
  EXPECT_EQ(log[1], "then");
  window.update();
  QTest::qWait(50);
  EXPECT_EQ(std::count(log.begin(), log.end(), "then"), 1) << "ran again on a later paint";

  bool ran = false;
  auto* gone = new QWidget;
  rt::afterFirstPaint(gone, [&] { ran = true; });
  gone->show();
  delete gone;
  QTest::qWait(50);
  EXPECT_FALSE(ran);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
