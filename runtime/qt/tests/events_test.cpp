#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

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

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
