// The browse button: the dialog's members in order, what reaches the path
// box, and that choosing launches nothing.
#include <gmock/gmock.h>

#include "components/filedialog/commondialog.h"
#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using ::testing::ElementsAre;
using Outcome = filedialog::testing::RecordingDialog::Outcome;

const std::vector<std::string> kSettings = {
    "put 18 bool:true", "put 7 i32:4", "put 3 text:PowerPoint 文本文件 Files(*.PPT)|*.PPT",
    "put 23 i16:2"};

std::vector<std::string> expected(std::initializer_list<std::string> tail) {
  std::vector<std::string> all = kSettings;
  all.insert(all.end(), tail);
  return all;
}

using LauncherChooser = LauncherTest;

TEST_F(LauncherChooser, PickedPathReplacesThePathBoxAndLaunchesNothing) {
  dialogs.script = {{Outcome::Confirm, u"/home/u/课件/第一课.PPT"}};
  window().Text1->setText(QStringLiteral("typed before"));
  window().Command1->click();

  EXPECT_EQ(dialogs.last->log, expected({"call 30", "get 1"}));
  EXPECT_EQ(window().Text1->text(), QStringLiteral("/home/u/课件/第一课.PPT"));
  EXPECT_TRUE(officeLog().empty());
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherChooser, CancelLeavesTheTypedTextSilently) {
  dialogs.script = {{Outcome::Cancel, {}}};
  window().Text1->setText(QStringLiteral("  my own text "));
  window().Command1->click();

  EXPECT_EQ(dialogs.last->log, expected({"call 30"}));
  EXPECT_EQ(window().Text1->text(), QStringLiteral("  my own text "));
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherChooser, OtherDialogFailureIsAlsoSilent) {
  dialogs.script = {{Outcome::Fail, {}}};
  window().Text1->setText(QStringLiteral("kept"));
  window().Command1->click();
  EXPECT_EQ(window().Text1->text(), QStringLiteral("kept"));
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(rt::ending());
}

TEST_F(LauncherChooser, TwoPicksKeepOnlyTheSecondAndANonExistentNameGetsThrough) {
  dialogs.script = {{Outcome::Confirm, u"/tmp/first.ppt"},
                    {Outcome::Confirm, u"/does/not/exist/第二.ppt"}};
  window().Command1->click();
  EXPECT_EQ(window().Text1->text(), QStringLiteral("/tmp/first.ppt"));
  window().Command1->click();
  EXPECT_EQ(window().Text1->text(), QStringLiteral("/does/not/exist/第二.ppt"));

  // The same dialog, set up afresh at every use.
  EXPECT_EQ(dialogs.last->log.size(), 2 * expected({"call 30", "get 1"}).size());
  EXPECT_TRUE(officeLog().empty());
  EXPECT_FALSE(rt::ending());
}

// A dialog whose every member fails: shows which failures reach the user.
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
  window().Text1->setText(QStringLiteral("kept"));
  window().Command1->click();

  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].text(), u"the dialog is broken");
  EXPECT_TRUE(rt::ending());
  EXPECT_EQ(window().Text1->text(), QStringLiteral("kept"));
}

TEST_F(LauncherChooser, WindowWithoutItsDialogDoesNotComeUp) {
  auto none = automation::registerClass(filedialog::kProgId, [](rt::ObjectRef&) {
    return rt::fail(rt::status::ClassNotRegistered, u"");
  });
  window();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::err::CannotCreateObject);
  ASSERT_TRUE(rt::ending());
  EXPECT_NE(exitStatus(), 0);
}

}  // namespace
}  // namespace launcher::testing
