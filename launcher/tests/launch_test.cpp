// The launch ("确定"): the calls on the presentation application in order,
// with argument names and kinds, and how a failure ends the launcher.
#include <gmock/gmock.h>

#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;

const std::string kCaption = "put Caption(text:Vardel课件快速制作系统)";

std::string open(const std::string& fileName) {
  return "call Presentations.Open(FileName=text:" + fileName + ", ReadOnly=ref(empty))";
}

using LauncherLaunch = LauncherTest;

TEST_F(LauncherLaunch, EmptyPathBoxOpensTheDemonstrationAndEndsLeavingTheOfficeUp) {
  window().Command3->click();

  EXPECT_THAT(officeLog(), ElementsAre("create", "put Visible(bool:true)", "get Presentations()",
                                       open(rt::toUtf8(kDemonstrationPresentation)), kCaption));
  EXPECT_TRUE(errors.empty());
  ASSERT_TRUE(rt::ending());
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_TRUE(office.lastApplication.expired());  // released, not asked to quit
#ifndef _WIN32
  EXPECT_THAT(rt::toUtf8(kDemonstrationPresentation),
              EndsWith("/『Vardel』课件快速制作系统/Vardel模版及演示/welcome.ppt"));
  EXPECT_EQ(kDemonstrationPresentation.front(), u'/');
#endif
}

TEST_F(LauncherLaunch, PathBoxTextIsPassedUnchangedBlanksIncluded) {
  for (const char* text : {"   ", " /tmp/课件 一.ppt ", "macro:///Standard.Module1.Main"}) {
    SCOPED_TRACE(text);
    officeLog().clear();
    rt::resetForTesting();
    start.reset();
    window().Text1->setText(QString::fromUtf8(text));
    window().Command3->click();
    EXPECT_THAT(officeLog(), ElementsAre("create", "put Visible(bool:true)", "get Presentations()",
                                         open(text), kCaption));
    EXPECT_TRUE(rt::ending());
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(LauncherLaunch, FailedOpenIsReportedAndEndsWithoutCaptionOrQuit) {
  const auto notFound = static_cast<rt::Status>(0x80030002);
  office.script->failing["Open"] = {notFound, u"/nowhere/x.ppt does not exist."};
  window().Text1->setText(QStringLiteral("/nowhere/x.ppt"));
  window().Command3->click();
  start.reset();  // the end of the program releases the window

  EXPECT_THAT(officeLog(), ElementsAre("create", "put Visible(bool:true)", "get Presentations()",
                                       open("/nowhere/x.ppt")));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), notFound);
  EXPECT_EQ(errors[0].text(), u"/nowhere/x.ppt does not exist.");
  ASSERT_TRUE(rt::ending());
  EXPECT_NE(exitStatus(), 0);
}

TEST_F(LauncherLaunch, FailedCreationCallsNothingElse) {
  office.script->failing["create"] = {rt::status::ClassNotRegistered, u""};
  window().Command3->click();

  EXPECT_THAT(officeLog(), ElementsAre("create"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::err::CannotCreateObject);
  ASSERT_TRUE(rt::ending());
  EXPECT_NE(exitStatus(), 0);
}

}  // namespace
}  // namespace launcher::testing
