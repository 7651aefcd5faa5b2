// How the office is started (environment, pipe), and what creation without a
// display does. Needs no office running.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "components/automation/automation.h"
#include "components/office/office.h"
#include "components/office/uno/office_process.h"

namespace {

bool has(const std::vector<std::string>& env, const std::string& entry) {
  return std::find(env.begin(), env.end(), entry) != env.end();
}
bool hasName(const std::vector<std::string>& env, const std::string& name) {
  return std::any_of(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name + "=", 0) == 0; });
}

TEST(OfficeEnvironment, CLocaleGetsUtf8CharacterTypeAndKeepsTheRest) {
  const auto env = office::officeEnvironment(
      {"LC_ALL=C", "LANG=en_US.UTF-8", "UserInstallation=file:///tmp/p", "DISPLAY=:5"});
  EXPECT_FALSE(hasName(env, "LC_ALL")) << "LC_ALL would override the character type";
  EXPECT_TRUE(has(env, "LANG=C")) << "the other categories stay as LC_ALL had them";
  EXPECT_TRUE(has(env, "LC_CTYPE=C.UTF-8"));
  EXPECT_TRUE(has(env, "UserInstallation=file:///tmp/p"));
  EXPECT_TRUE(has(env, "DISPLAY=:5"));
}

TEST(OfficeEnvironment, NonUtf8CharacterTypeIsReplacedUtf8IsKept) {
  auto env = office::officeEnvironment({"LANG=zh_CN.UTF-8", "LC_CTYPE=zh_CN.GB18030"});
  EXPECT_TRUE(has(env, "LC_CTYPE=C.UTF-8"));
  EXPECT_FALSE(has(env, "LC_CTYPE=zh_CN.GB18030"));
  EXPECT_TRUE(has(env, "LANG=zh_CN.UTF-8"));

  const std::vector<std::string> utf8 = {"LC_ALL=zh_CN.utf8", "LC_CTYPE=POSIX"};
  EXPECT_EQ(office::officeEnvironment(utf8), utf8) << "LC_ALL decides, and it is UTF-8";
  const std::vector<std::string> none = {"PATH=/usr/bin"};
  EXPECT_TRUE(has(office::officeEnvironment(none), "LC_CTYPE=C.UTF-8")) << "no locale at all is C";
}

TEST(OfficePipe, OnePerUserAndOnePerPrivateProfile) {
  unsetenv("UserInstallation");
  const std::string user = office::pipeName();
  EXPECT_EQ(user, "vardel_office_" + std::to_string(getuid()));
  setenv("UserInstallation", "file:///tmp/profile-a", 1);
  const std::string a = office::pipeName();
  setenv("UserInstallation", "file:///tmp/profile-b", 1);
  const std::string b = office::pipeName();
  unsetenv("UserInstallation");
  EXPECT_NE(a, user);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(user + "_", 0), 0u);
}

TEST(OfficeCreation, WithoutADisplayIsError429AndStartsNothing) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("UserInstallation", "file:///tmp/vardel-no-display-profile", 1);
  office::registerPowerPoint();
  try {
    automation::createObject(office::kProgId);
    FAIL() << "created without a display";
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number(), 429);
    EXPECT_NE(rt::toUtf8(e.text()).find("no display"), std::string::npos) << rt::toUtf8(e.text());
  }
  // (The bracket keeps the pattern from matching the shell that runs pgrep.)
  const std::string probe = "pgrep -f '[-]-accept=pipe,name=" + office::pipeName() + ";' >/dev/null";
  EXPECT_NE(std::system(probe.c_str()), 0) << "an office was started";
  unsetenv("UserInstallation");
}

}  // namespace
