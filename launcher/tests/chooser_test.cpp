// The browse button: the dialog's members in order, what reaches the path
// box, and that choosing launches nothing.
#include <gmock/gmock.h>

#include "components/filedialog/commondialog.h"
#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using Outcome = filedialog::testing::RecordingDialog::Outcome;

std::vector<std::string> expected(bool confirmed) {
  std::vector<std::string> log = {"put 18 bool:true", "put 7 i32:4",
                                  "put 3 text:PowerPoint 文本文件 Files(*.PPT)|*.PPT",
                                  "put 23 i16:2", "call 30"};
  if (confirmed) log.push_back("get 1");
  return log;
}

using LauncherChooser = LauncherTest;

TEST_F(LauncherChooser, TwoPicksKeepTheSecondNonExistentNameAndLaunchNothing) {
  dialogs.script = {{Outcome::Confirm, u"/home/u/课件/第一课.PPT"},
                    {Outcome::Confirm, u"/does/not/exist/第二.ppt"}};
  window().Text1->setText(QStringLiteral("typed before"));
  window().Command1->click();
  EXPECT_EQ(dialogs.last->log, expected(true));
  EXPECT_EQ(window().Text1->text(), QStringLiteral("/home/u/课件/第一课.PPT"));

  dialogs.last->log.clear();
  window().Command1->click();
  EXPECT_EQ(dialogs.last->log, expected(true));  // set up afresh at every use
  EXPECT_EQ(window().Text1->text(), QStringLiteral("/does/not/exist/第二.ppt"));
  EXPECT_TRUE(officeLog().empty());
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherChooser, CancelOrDialogFailureLeavesTheTextSilently) {
  dialogs.script = {{Outcome::Cancel, {}}, {Outcome::Fail, {}}};
  window().Text1->setText(QStringLiteral("  my own text "));
  window().Command1->click();
  EXPECT_EQ(dialogs.last->log, expected(false));
  window().Command1->click();
  EXPECT_EQ(window().Text1->text(), QStringLiteral("  my own text "));
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(rt::ending());
}

// A dialog whose every member fails.
class BrokenDialog : public automation::Dispatch {
 public:
  rt::Status idOfName(std::u16string_view, automation::DispId&) override {
    return rt::status::UnknownName;
  }
  rt::Status invoke(automation::DispId, automation::CallKind, const automation::Args&,
                    rt::Variant&) override {
    return rt::fail(rt::status::Fail, u"the dialog is broken");
  }
};

TEST_F(LauncherChooser, FailureBeforeTheHandlerIsArmedIsReported) {
  auto broken = automation::registerClass(filedialog::kProgId, [](rt::ObjectRef& out) {
    out = std::make_shared<BrokenDialog>();
    return rt::status::Ok;
  });
  window().Command1->click();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].text(), u"the dialog is broken");
  EXPECT_TRUE(rt::ending());
}

TEST_F(LauncherChooser, WindowWithoutItsDialogDoesNotComeUp) {
  auto none = automation::registerClass(filedialog::kProgId, [](rt::ObjectRef&) {
    return rt::fail(rt::status::ClassNotRegistered, u"");
  });
  window();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::err::CannotCreateObject);
  EXPECT_TRUE(rt::ending());
}

}  // namespace
}  // namespace launcher::testing
