// The choice of Qt's window-system plugin: Xwayland on a Wayland desktop that
// has it, the user's choice always kept, and the command line QApplication gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/qt/window_system.h"

namespace {

using rt::chosenWindowPlatform;
using rt::WindowSystemArguments;
using rt::WindowSystemEnvironment;

WindowSystemEnvironment gnomeOnWayland() {
  return {.qtQpaPlatform = "", .display = ":0", .waylandDisplay = "wayland-0",
          .sessionType = "wayland"};
}

TEST(WindowPlatformChoice, WaylandSessionWithXwaylandGoesThroughX) {
  EXPECT_EQ(chosenWindowPlatform(gnomeOnWayland(), {}), "xcb;wayland");

  // Either sign of a Wayland session is enough.
  WindowSystemEnvironment onlySocket = gnomeOnWayland();
  onlySocket.sessionType = "";
  EXPECT_EQ(chosenWindowPlatform(onlySocket, {}), "xcb;wayland");
  WindowSystemEnvironment onlySessionType = gnomeOnWayland();
  onlySessionType.waylandDisplay = "";
  EXPECT_EQ(chosenWindowPlatform(onlySessionType, {}), "xcb;wayland");
}

TEST(WindowPlatformChoice, LeftToQtWithoutXwaylandOrOutsideWayland) {
  WindowSystemEnvironment noXwayland = gnomeOnWayland();
  noXwayland.display = "";
  EXPECT_EQ(chosenWindowPlatform(noXwayland, {}), "");

  const WindowSystemEnvironment x11{.qtQpaPlatform = "", .display = ":1", .waylandDisplay = "",
                                    .sessionType = "x11"};
  EXPECT_EQ(chosenWindowPlatform(x11, {}), "");
  EXPECT_EQ(chosenWindowPlatform(WindowSystemEnvironment{}, {}), "");  // a console, ssh
}

TEST(WindowPlatformChoice, TheUsersChoiceStands) {
  WindowSystemEnvironment chosen = gnomeOnWayland();
  chosen.qtQpaPlatform = "wayland";
  EXPECT_EQ(chosenWindowPlatform(chosen, {}), "");

  EXPECT_EQ(chosenWindowPlatform(gnomeOnWayland(), {"-platform", "wayland"}), "");
  EXPECT_EQ(chosenWindowPlatform(gnomeOnWayland(), {"--platform", "offscreen"}), "");
  EXPECT_EQ(chosenWindowPlatform(gnomeOnWayland(), {"-style", "fusion", "-platform", "xcb"}), "");
  // Other options, and a file that merely mentions the word, are no choice.
  EXPECT_EQ(chosenWindowPlatform(gnomeOnWayland(), {"-platformpluginpath", "/opt/qt"}),
            "xcb;wayland");
  EXPECT_EQ(chosenWindowPlatform(gnomeOnWayland(), {"platform"}), "xcb;wayland");
}

std::vector<std::string> strings(WindowSystemArguments& args) {
  std::vector<std::string> out;
  for (int i = 0; i < args.argc(); ++i) out.emplace_back(args.argv()[i]);
  EXPECT_EQ(args.argv()[args.argc()], nullptr);  // terminated like main()'s argv
  return out;
}

TEST(WindowPlatformArguments, AddsThePlatformAfterTheProgramsOwnArguments) {
  char program[] = "Grabvid";
  char option[] = "-reverse";
  char* argv[] = {program, option, nullptr};
  WindowSystemArguments args(2, argv, gnomeOnWayland());
  EXPECT_EQ(args.platform(), "xcb;wayland");
  EXPECT_EQ(strings(args),
            (std::vector<std::string>{"Grabvid", "-reverse", "-platform", "xcb;wayland"}));
}

TEST(WindowPlatformArguments, PassesTheCommandLineUnchangedWhenQtChooses) {
  char program[] = "Quenlo";
  char option[] = "-platform";
  char name[] = "offscreen";
  char* argv[] = {program, option, name, nullptr};
  WindowSystemArguments chosenByUser(3, argv, gnomeOnWayland());
  EXPECT_EQ(chosenByUser.platform(), "");
  EXPECT_EQ(strings(chosenByUser), (std::vector<std::string>{"Quenlo", "-platform", "offscreen"}));

  WindowSystemArguments onX11(
      1, argv, {.qtQpaPlatform = "", .display = ":0", .waylandDisplay = "", .sessionType = ""});
  EXPECT_EQ(strings(onX11), (std::vector<std::string>{"Quenlo"}));
}

}  // namespace
