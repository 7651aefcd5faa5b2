// The real Qt dialog, driven headless: what it is told, and what it returns.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QTimer>

#include "components/automation/automation.h"
#include "components/filedialog/commondialog.h"
#include "components/filedialog/qt_dialog_backend.h"

namespace filedialog {
namespace {

// Waits (polling, generous deadline) for the modal file dialog to appear,
// then hands it to `act`. Fails the test if it never appears.
void whenDialogShows(std::function<void(QFileDialog&)> act) {
  auto deadline = std::make_shared<QDeadlineTimer>(30000);
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [=] {
    if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      act(*d);
      return;
    }
    if (deadline->hasExpired()) {
      ADD_FAILURE() << "the file dialog never showed";
      return;
    }
    QTimer::singleShot(10, *poll);
  };
  QTimer::singleShot(0, *poll);
}

TEST(QtDialogBackend, ConfiguresAnOpenDialogWithTheFilterAndNoExistenceCheck) {
  QFileDialog dialog;
  OpenFileRequest request;
  request.filters = {{u"屏幕视频文件(*.WMV)", {u"*.WMV"}}};
  configure(dialog, request);
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
  EXPECT_EQ(dialog.fileMode(), QFileDialog::AnyFile);
  EXPECT_EQ(dialog.nameFilters(), QStringList{u"屏幕视频文件(*.WMV) (*.WMV)"_qs});
  EXPECT_TRUE(dialog.testOption(QFileDialog::HideNameFilterDetails));
  EXPECT_FALSE(dialog.testOption(QFileDialog::ReadOnly));
  EXPECT_TRUE(dialog.isModal());

  request.fileMustExist = true;
  configure(dialog, request);
  EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
}

TEST(QtDialogBackend, RegisteredComponentReturnsTheTypedPathAndReportsCancel) {
  registerCommonDialog();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString typed = dir.filePath(u"新 录像.WMV"_qs);  // does not exist

  rt::ObjectRef dialog = automation::createObject(kProgId);
  automation::setId(dialog, member::CancelError, true);
  automation::setId(dialog, member::Flags, std::int32_t{4});
  automation::setId(dialog, member::Filter, u"屏幕视频文件(*.WMV)|*.WMV");
  automation::setId(dialog, member::Unnamed23, std::int16_t{2});

  bool sawModal = false;
  whenDialogShows([&](QFileDialog& d) {
    sawModal = d.isModal();
    d.selectFile(typed);
    static_cast<QDialog&>(d).accept();  // runs QFileDialog::accept()
  });
  automation::callId(dialog, member::ShowOpen);
  EXPECT_TRUE(sawModal);
  EXPECT_EQ(automation::getId(dialog, member::FileName).toText(), typed.toStdU16String());

  whenDialogShows([](QFileDialog& d) { d.reject(); });
  try {
    automation::callId(dialog, member::ShowOpen);
    ADD_FAILURE() << "cancel raised nothing";
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number(), rt::err::DialogCancelled);
  }
  EXPECT_EQ(automation::getId(dialog, member::FileName).toText(), typed.toStdU16String());
}

}  // namespace
}  // namespace filedialog
