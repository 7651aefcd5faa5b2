// A program's whole use of "PowerPoint.Application" against the real office
// under a display, as the launcher makes it: the office is made ready ahead
// (office::warmUp), the creation waits for that office instead of starting
// a second, the presentation opens under the caption, and the program's end
// (office::shutdown) leaves no thread of the bridge running while the office
// goes on showing the presentation. Runs alone in its program: the end of
// the UNO runtime is for good. Needs DISPLAY (scripts/test-session.sh).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "components/automation/automation.h"
#include "components/office/office.h"
#include "components/office/tests/process_state.h"

namespace {

namespace fs = std::filesystem;
using office::testing::waitFor;
using namespace std::chrono_literals;

std::set<std::string> lines(const std::string& command) {
  std::set<std::string> out;
  FILE* p = popen(("timeout 20 " + command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) {
    std::string line(buf);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty()) out.insert(line);
  }
  pclose(p);
  return out;
}

TEST(OfficeEnd, TheReadyOfficeServesTheLaunchAndTheEndLeavesNoBridgeThreadAndThePresentationOpen) {
  const char* display = std::getenv("DISPLAY");
  ASSERT_TRUE(display && *display) << "needs DISPLAY (run it in scripts/test-session.sh)";
  const char* scratch = std::getenv("VARDEL_TEST_OFFICE_PROFILE");
  std::string dir = std::string(scratch && *scratch ? scratch : "/tmp") + "/vardel-office-end.XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  setenv("UserInstallation", ("file://" + dir + "/profile").c_str(), 1);
  const std::string presentation = dir + "/课件.ppt";
  fs::copy_file(VARDEL_SAMPLE_PPT, presentation);
  // The office processes of this test: their command line names its profile.
  const std::string offices = "pgrep -f '[" + dir.substr(0, 1) + "]" + dir.substr(1) + "/profile'";
  const std::string bins = "pgrep -f '[s]office.bin.*" + dir + "/profile'";

  office::registerPowerPoint();
  office::warmUp();
  ASSERT_TRUE(waitFor([&] { return !lines(bins).empty(); }, 30s)) << "no office was made ready";
  {
    rt::ObjectRef app = automation::createObject(office::kProgId);
    EXPECT_EQ(lines(bins).size(), 1u) << "a second office was started";
    automation::set(app, u"Visible", true);
    rt::Variant readOnly;
    automation::Args open;
    open.named.push_back({u"FileName", rt::fromUtf8(presentation)});
    open.named.push_back({u"ReadOnly", rt::Variant::byRef(readOnly)});
    automation::call(automation::get(app, u"Presentations").toObject(), u"Open", open);
    automation::set(app, u"Caption", rt::Text(u"Vardel课件快速制作系统"));
  }
  EXPECT_FALSE(office::testing::unoThreads().empty()) << "no bridge to end";

  office::shutdown(1600ms);
  const auto left = office::testing::unoThreads();
  EXPECT_TRUE(left.empty()) << "still running: " << ::testing::PrintToString(left);
  EXPECT_TRUE(waitFor([&] { return !lines("xdotool search --onlyvisible --name '^Vardel课件快速制作系统$'").empty(); },
                   30s))
      << "the presentation is not on screen under the caption after the end";
  EXPECT_EQ(lines(bins).size(), 1u) << "the office did not stay";

  for (const auto& pid : lines(offices)) kill(std::stoi(pid), SIGKILL);
  EXPECT_TRUE(waitFor([&] { return lines(offices).empty(); }, 30s)) << "office processes remain";
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
