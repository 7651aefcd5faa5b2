// The recorder window as it starts: controls, texts, states, geometry, focus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "capture/form1.h"
#include "runtime/qt/events.h"

namespace {

TEST(RecorderWindow, StartsWithItsTextsAndStates) {
  Form1 form;
  EXPECT_EQ(form.windowTitle(), u"Capture Screen"_qs);
  const Qt::WindowFlags flags = form.windowFlags();
  EXPECT_EQ(flags, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                       Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

  EXPECT_EQ(form.Frame1->title(), u"视频质量"_qs);
  EXPECT_EQ(form.Option1->text(), u"高质量"_qs);
  EXPECT_EQ(form.Option2->text(), u"中等质量"_qs);
  EXPECT_EQ(form.Option3->text(), u"低质量"_qs);
  EXPECT_EQ(form.StartCapture->text(), u"开始截屏"_qs);
  EXPECT_EQ(form.StopCapture->text(), u"结束截屏"_qs);
  EXPECT_EQ(form.Frame2->title(), u"Audio"_qs);
  EXPECT_EQ(form.ChkAudio->text(), u"Capture Audio"_qs);
  EXPECT_EQ(form.exit->text(), u"退出"_qs);
  EXPECT_EQ(form.Label2->text(), u"文档存为"_qs);
  EXPECT_EQ(form.CmdSave->text(), u"..."_qs);
  EXPECT_EQ(form.Label3->text(), u"作者姓名"_qs);
  EXPECT_EQ(form.Label4->text(), u"版权信息"_qs);
  EXPECT_EQ(form.Label5->text(), u"内容摘要"_qs);
  EXPECT_EQ(form.Label6->text(), u"标题"_qs);
  EXPECT_EQ(form.Text4->text(), u"Author name"_qs);
  EXPECT_EQ(form.Text5->text(), u"Copyright information"_qs);
  EXPECT_EQ(form.Text6->text(), u"Text description of encoded content"_qs);
  EXPECT_EQ(form.Text7->text(), u"Title of encoded content"_qs);
  // A path the user can write, shown in full.
  EXPECT_EQ(form.Text3->text(), QDir::homePath() + u"/OutputFile.wmv"_qs);

  EXPECT_FALSE(form.Option1->isChecked());
  EXPECT_TRUE(form.Option2->isChecked());
  EXPECT_FALSE(form.Option3->isChecked());
  EXPECT_EQ(form.ChkAudio->checkState(), Qt::Unchecked);
  EXPECT_FALSE(form.ChkAudio->isTristate());
  EXPECT_TRUE(form.StartCapture->isEnabled());
  EXPECT_FALSE(form.StopCapture->isEnabled());
  for (QWidget* w : form.findChildren<QWidget*>()) {
    if (w != form.StopCapture) {
      EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    }
  }
  for (QPushButton* b : form.findChildren<QPushButton*>())
    EXPECT_FALSE(b->isDefault() || b->autoDefault()) << b->objectName().toStdString();
  EXPECT_FALSE(form.encoder);
  EXPECT_TRUE(form.CommonDialog1 == nullptr);  // no dialog component registered here

  // The text boxes hold any length of text, as ordinary editable text.
  const QString longText(40000, u'x');
  form.Text6->setText(longText);
  EXPECT_EQ(form.Text6->text(), longText);
  EXPECT_FALSE(form.Text4->isReadOnly());
  EXPECT_TRUE(form.Text4->placeholderText().isEmpty());
}

TEST(RecorderWindow, GeometryInPixels) {
  Form1 form;
  form.show();
  EXPECT_EQ(form.size(), QSize(519, 381));
  EXPECT_EQ(form.minimumSize(), QSize(519, 381));
  EXPECT_EQ(form.maximumSize(), QSize(519, 381));
  const std::pair<QWidget*, QRect> expected[] = {
      {form.Frame1, {24, 15, 310, 49}},      {form.Option1, {30, 21, 58, 13}},
      {form.Option2, {117, 21, 70, 13}},     {form.Option3, {213, 21, 64, 16}},
      {form.StartCapture, {360, 15, 133, 22}}, {form.StopCapture, {360, 45, 133, 22}},
      {form.Frame2, {24, 66, 310, 49}},      {form.ChkAudio, {45, 18, 109, 19}},
      {form.exit, {363, 129, 130, 22}},      {form.Label2, {21, 135, 67, 16}},
      {form.Text3, {90, 132, 208, 19}},      {form.CmdSave, {306, 132, 28, 19}},
      {form.Label3, {21, 192, 106, 16}},     {form.Text4, {180, 195, 217, 19}},
      {form.Label4, {21, 228, 133, 16}},     {form.Text5, {180, 228, 217, 19}},
      {form.Label5, {21, 261, 127, 25}},     {form.Text6, {180, 264, 217, 58}},
      {form.Label6, {21, 336, 145, 16}},     {form.Text7, {180, 333, 217, 21}},
  };
  for (const auto& [w, rect] : expected) EXPECT_EQ(w->geometry(), rect) << w->objectName().toStdString();
  for (QWidget* option : {form.Option1, form.Option2, form.Option3})
    EXPECT_EQ(option->parentWidget(), form.Frame1);
  EXPECT_EQ(form.ChkAudio->parentWidget(), form.Frame2);
}

TEST(RecorderWindow, ExactlyOneQualityIsSelectedAtAnyTime) {
  Form1 form;
  form.show();
  QTest::mouseClick(form.Option1, Qt::LeftButton);
  EXPECT_TRUE(form.Option1->isChecked());
  EXPECT_FALSE(form.Option2->isChecked());
  QTest::mouseClick(form.Option1, Qt::LeftButton);  // clicking again does not clear it
  EXPECT_TRUE(form.Option1->isChecked());
  QTest::mouseClick(form.Option3, Qt::LeftButton);
  EXPECT_EQ(int(form.Option1->isChecked()) + int(form.Option2->isChecked()) +
                int(form.Option3->isChecked()),
            1);
  EXPECT_TRUE(form.Option3->isChecked());
}

// The controls Tab visits from StartCapture until it comes back.
std::vector<std::string> tabCycle(Form1& form) {
  form.StartCapture->setFocus();
  std::vector<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* w = QApplication::focusWidget();
    if (!w || w == form.StartCapture) break;
    seen.push_back(w->objectName().toStdString());
  }
  return seen;
}

TEST(RecorderWindow, FocusStartsOnStartCaptureAndTabSkipsWhatCannotTakeIt) {
  Form1 form;
  form.show();
  QApplication::setActiveWindow(&form);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  EXPECT_EQ(QApplication::focusWidget(), form.StartCapture);

  const std::vector<std::string> idle = {"Option2", "ChkAudio", "exit",  "Text3", "CmdSave",
                                     "Text4",   "Text5",    "Text6", "Text7"};
  EXPECT_EQ(tabCycle(form), idle);

  // The selected option is the one the group offers to Tab.
  form.Option3->setChecked(true);
  std::vector<std::string> low = idle;
  low[0] = "Option3";
  EXPECT_EQ(tabCycle(form), low);

  // While recording, StopCapture takes its place first in the order.
  form.Option2->setChecked(true);
  form.StopCapture->setEnabled(true);
  std::vector<std::string> recording = idle;
  recording.push_back("StopCapture");
  EXPECT_EQ(tabCycle(form), recording);
}

TEST(RecorderWindow, CarriesTheRecorderIconInFourSizes) {
  Form1 form;
  const QList<QSize> sizes = form.windowIcon().availableSizes();
  for (int side : {16, 24, 32, 48}) EXPECT_TRUE(sizes.contains(QSize(side, side))) << side;
}

}  // namespace
