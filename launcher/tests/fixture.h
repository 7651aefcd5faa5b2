// What every launcher test starts from: a fake presentation application and
// a fake file dialog registered, unhandled errors recorded instead of shown,
// and a fresh start window.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>
#include <vector>

#include "components/filedialog/testing/recording_dialog.h"
#include "launcher/start.h"
#include "launcher/tests/fake_office.h"
#include "runtime/qt/events.h"

namespace launcher::testing {

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::resetForTesting();
    rt::setErrorReporter([this](const rt::RuntimeError& e) { errors.push_back(e); });
  }
  void TearDown() override {
    start.reset();
    rt::setErrorReporter({});
    rt::resetForTesting();
  }

  Start& window() {
    if (!start) start = std::make_unique<Start>();
    return *start;
  }

  // The program's exit status once it has ended (the event loop returns at
  // once then); only call it after checking rt::ending().
  static int exitStatus() { return rt::exec(*static_cast<QApplication*>(QApplication::instance())); }

  std::vector<std::string>& officeLog() { return office.script->log; }

  std::vector<rt::RuntimeError> errors;
  filedialog::testing::RecordingDialogFactory dialogs;
  FakeOffice office;
  std::unique_ptr<Start> start;
};

}  // namespace launcher::testing
