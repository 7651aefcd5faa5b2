// The launcher's window tests: GoogleTest inside a QApplication (headless,
// QT_QPA_PLATFORM=offscreen).
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // Headless unless told otherwise (CTest's test discovery runs this without
  // the tests' environment).
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Vardel课件制作系统"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
