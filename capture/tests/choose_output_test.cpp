// The output-file chooser against the recording fake of the common dialog.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>

#include "capture/form1.h"
#include "components/encoder/testing/recording_encoder.h"
#include "components/filedialog/testing/recording_dialog.h"
#include "runtime/qt/events.h"

namespace {

using filedialog::testing::RecordingDialog;
using filedialog::testing::RecordingDialogFactory;
using Log = std::vector<std::string>;

const Log kOneChoice = {"put 18 bool:true", "put 7 i32:4", "put 3 text:屏幕视频文件(*.WMV)|*.WMV",
                        "put 23 i16:2",     "call 30",     "get 1"};

class ChooseOutputTest : public ::testing::Test {
 protected:
  ChooseOutputTest() {
    rt::resetForTesting();
    rt::setErrorReporter([this](const rt::RuntimeError& e) { reported.push_back(e); });
  }
  ~ChooseOutputTest() override {
    rt::setErrorReporter({});
    rt::resetForTesting();
  }
  // The window is made once the dialog's script is written: its dialog
  // component is created with the window.
  Form1& window() {
    if (!form) form = std::make_unique<Form1>();
    return *form;
  }
  const Log& log() const { return dialogs.last->log; }

  RecordingDialogFactory dialogs;
  std::unique_ptr<Form1> form;
  std::vector<rt::RuntimeError> reported;
};

TEST_F(ChooseOutputTest, ConfirmedPathGoesIntoText3Unchanged) {
  dialogs.script = {{RecordingDialog::Outcome::Confirm, u"/home/u/视频/课程 1"},
                    {RecordingDialog::Outcome::Confirm, u"/srv/b.WMV"}};
  window().CmdSave->click();
  EXPECT_EQ(log(), kOneChoice);
  EXPECT_EQ(window().Text3->text(), u"/home/u/视频/课程 1"_qs);  // no extension added

  // The settings are made afresh at every use; the second pick replaces the first.
  window().CmdSave->click();
  Log twice = kOneChoice;
  twice.insert(twice.end(), kOneChoice.begin(), kOneChoice.end());
  EXPECT_EQ(log(), twice);
  EXPECT_EQ(window().Text3->text(), u"/srv/b.WMV"_qs);
  EXPECT_TRUE(reported.empty());
}

TEST_F(ChooseOutputTest, CancelOrFailureAfterArmingLeavesText3Silently) {
  dialogs.script = {{RecordingDialog::Outcome::Cancel, {}}, {RecordingDialog::Outcome::Fail, {}}};
  window().Text3->setText(u"typed by the user.wmv"_qs);
  window().CmdSave->click();
  EXPECT_EQ(log(), Log(kOneChoice.begin(), kOneChoice.end() - 1));  // no FileName read
  window().CmdSave->click();
  EXPECT_EQ(window().Text3->text(), u"typed by the user.wmv"_qs);
  EXPECT_TRUE(reported.empty());
  EXPECT_FALSE(rt::ending());
}

TEST_F(ChooseOutputTest, ErrorBeforeTheHandlerIsArmedIsReportedAndEnds) {
  window().CommonDialog1.reset();  // no dialog component: the first statement fails
  window().CmdSave->click();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].number(), rt::err::ObjectRequired);
  EXPECT_TRUE(rt::ending());
}

TEST_F(ChooseOutputTest, TheEncoderSeesTheChosenPathOnlyAtTheNextStart) {
  encoder::testing::RecordingEncoderFactory encoders;
  dialogs.script = {{RecordingDialog::Outcome::Confirm, u"/tmp/new.wmv"}};
  window().CmdSave->click();
  EXPECT_TRUE(encoders.log->calls.empty());
  window().Main();
  const auto calls = encoders.log->callsOnly();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "file#1.put_LocalFileName(/tmp/new.wmv)"),
            calls.end());
}

}  // namespace
