// The launch ("确定"): the calls on the presentation application, in order,
// with their argument names and kinds, and how a failure ends the launcher.
#include <gmock/gmock.h>

#include "launcher/tests/fixture.h"

namespace launcher::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::Not;
using ::testing::Contains;
using ::testing::HasSubstr;

const std::string kCaptionCall = "put Caption(text:Vardel课件快速制作系统)";

std::string openCall(const std::string& fileName) {
  return "call Presentations.Open(FileName=text:" + fileName + ", ReadOnly=ref(empty))";
}

using LauncherLaunch = LauncherTest;

TEST_F(LauncherLaunch, EmptyPathBoxOpensTheDemonstrationPresentationAndEnds) {
  window().Command3->click();

  const std::string demo = rt::toUtf8(kDemonstrationPresentation);
  EXPECT_THAT(officeLog(), ElementsAre("create", "put Visible(bool:true)", "get Presentations()",
                                       openCall(demo), kCaptionCall));
  EXPECT_TRUE(errors.empty());
  ASSERT_TRUE(rt::ending());
  EXPECT_EQ(exitStatus(), 0);
  // The launcher lets go of the application as it ends; the application
  // itself stays up (the fake is not asked to quit).
  EXPECT_TRUE(office.lastApplication.expired());
  EXPECT_EQ(window().PPTApp, nullptr);
}

TEST_F(LauncherLaunch, DemonstrationPathKeepsTheKitsFolderNames) {
#ifdef _WIN32
  EXPECT_EQ(kDemonstrationPresentation,
            u"C:\\『Vardel』课件快速制作系统\\Vardel模版及演示\\welcome.ppt");
#else
  const std::string demo = rt::toUtf8(kDemonstrationPresentation);
  EXPECT_EQ(demo.front(), '/');
  EXPECT_THAT(demo, EndsWith("/『Vardel』课件快速制作系统/Vardel模版及演示/welcome.ppt"));
#endif
}

TEST_F(LauncherLaunch, PathBoxTextIsPassedUnchanged) {
  // Blanks are a name, not "empty": the demonstration is not used.
  for (const char* text : {"   ", " /tmp/课件 一.ppt ", "macro:///Standard.Module1.Main",
                           "C:\\文档\\x.PPT"}) {
    SCOPED_TRACE(text);
    office.script->log.clear();
    rt::resetForTesting();
    start.reset();
    window().Text1->setText(QString::fromUtf8(text));
    window().Command3->click();
    EXPECT_THAT(officeLog(), ElementsAre("create", "put Visible(bool:true)", "get Presentations()",
                                         openCall(text), kCaptionCall));
    EXPECT_TRUE(rt::ending());
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(LauncherLaunch, FailedOpenIsReportedAndEndsWithoutCaption) {
  const rt::Status notFound = static_cast<rt::Status>(0x80030002);
  office.script->failing["Open"] = {notFound, u"/nowhere/x.ppt does not exist."};
  window().Text1->setText(QStringLiteral("/nowhere/x.ppt"));
  window().Command3->click();

  // Visible and already started: nothing is undone, nothing is asked to quit.
  EXPECT_THAT(officeLog(), ElementsAre("create", "put Visible(bool:true)", "get Presentations()",
                                       openCall("/nowhere/x.ppt")));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), notFound);
  EXPECT_EQ(errors[0].text(), u"/nowhere/x.ppt does not exist.");
  ASSERT_TRUE(rt::ending());
  EXPECT_NE(exitStatus(), 0);
  start.reset();  // the program's end releases the window and its references
  EXPECT_THAT(officeLog(), Not(Contains(HasSubstr("Quit"))));
}

TEST_F(LauncherLaunch, FailedCreationCallsNothingElse) {
  office.script->failing["create"] = {rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                                      u"The office is not installed."};
  window().Command3->click();

  EXPECT_THAT(officeLog(), ElementsAre("create"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::err::CannotCreateObject);
  EXPECT_EQ(errors[0].text(), u"The office is not installed.");
  ASSERT_TRUE(rt::ending());
  EXPECT_NE(exitStatus(), 0);
}

TEST_F(LauncherLaunch, FailedCaptionIsReportedAfterTheOpen) {
  office.script->failing["Caption"] = {rt::status::Fail, u"no window"};
  window().Command3->click();
  ASSERT_EQ(officeLog().size(), 5u);
  EXPECT_EQ(officeLog().back(), kCaptionCall);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::status::Fail);
  EXPECT_TRUE(rt::ending());
}

TEST_F(LauncherLaunch, NoComponentRegisteredIsError429) {
  auto none = automation::registerClass(u"PowerPoint.Application", [](rt::ObjectRef&) {
    return rt::fail(rt::status::ClassNotRegistered, u"");
  });
  window().Command3->click();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].number(), rt::err::CannotCreateObject);
  EXPECT_TRUE(officeLog().empty());
  EXPECT_TRUE(rt::ending());
}

}  // namespace
}  // namespace launcher::testing
