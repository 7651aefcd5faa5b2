// Which of Qt's window-system plugins the programs' windows use.
//
// On a Wayland desktop the windows go through Xwayland when it is there.
// Wayland's window protocol cannot tell a program that its window was
// minimised or restored, so Qt's `wayland` plugin reports the program's own
// minimise as Minimized and straight away as not minimised again, and never
// sees the user bring the window back. Through Xwayland, desktops that honour
// minimise (mutter, kwin, weston) keep X11's meaning: the window manager
// takes the window off screen and tells the program when the user restores
// it. A platform the user chose (QT_QPA_PLATFORM, or -platform on the command
// line) is always kept.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rt {

// What the choice depends on: the environment variables of the same names.
struct WindowSystemEnvironment {
  std::string qtQpaPlatform;   // QT_QPA_PLATFORM
  std::string display;         // DISPLAY: an X server (Xwayland on a Wayland desktop)
  std::string waylandDisplay;  // WAYLAND_DISPLAY
  std::string sessionType;     // XDG_SESSION_TYPE

  static WindowSystemEnvironment current();
};

// The platform list to hand Qt with -platform, or empty to leave the choice
// to Qt. `arguments` is the command line without the program name.
// On a Wayland session with an X display: "xcb;wayland" (xcb first, the
// native plugin only if the X server cannot be reached).
std::string chosenWindowPlatform(const WindowSystemEnvironment& environment,
                                 const std::vector<std::string_view>& arguments);

// The command line for QApplication: the program's own, plus
// "-platform <list>" when chosenWindowPlatform() gives one. Keep the object
// alive as long as the QApplication made from it (Qt keeps argc and argv).
//
//   rt::WindowSystemArguments args(argc, argv);
//   QApplication app(args.argc(), args.argv());
class WindowSystemArguments {
 public:
  WindowSystemArguments(int argc, char** argv,
                        const WindowSystemEnvironment& environment = WindowSystemEnvironment::current());
  // argv points into the object's own strings.
  WindowSystemArguments(const WindowSystemArguments&) = delete;
  WindowSystemArguments& operator=(const WindowSystemArguments&) = delete;

  int& argc() { return argc_; }
  char** argv() { return argv_.data(); }
  // The platform list added, or empty.
  const std::string& platform() const { return platform_; }

 private:
  std::string platformOption_ = "-platform";
  std::string platform_;
  int argc_ = 0;
  std::vector<char*> argv_;  // ends with a null pointer, as main()'s does
};

}  // namespace rt
