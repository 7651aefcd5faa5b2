#include "runtime/qt/window_system.h"

#include <cstdlib>

namespace rt {
namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// Qt takes "-platform NAME" and, as for all its options, "--platform NAME".
bool isPlatformOption(std::string_view argument) {
  return argument == "-platform" || argument == "--platform";
}

}  // namespace

WindowSystemEnvironment WindowSystemEnvironment::current() {
  return {variable("QT_QPA_PLATFORM"), variable("DISPLAY"), variable("WAYLAND_DISPLAY"),
          variable("XDG_SESSION_TYPE")};
}

std::string chosenWindowPlatform(const WindowSystemEnvironment& environment,
                                 const std::vector<std::string_view>& arguments) {
  // The user's choice stands (Qt ignores an empty QT_QPA_PLATFORM, so do we).
  if (!environment.qtQpaPlatform.empty()) return {};
  for (std::string_view argument : arguments)
    if (isPlatformOption(argument)) return {};

  const bool waylandSession =
      !environment.waylandDisplay.empty() || environment.sessionType == "wayland";
  if (waylandSession && !environment.display.empty()) return "xcb;wayland";
  return {};
}

WindowSystemArguments::WindowSystemArguments(int argc, char** argv,
                                             const WindowSystemEnvironment& environment) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  platform_ = chosenWindowPlatform(environment, arguments);

  argv_.assign(argv, argv + argc);
  if (!platform_.empty()) {
    argv_.push_back(platformOption_.data());
    argv_.push_back(platform_.data());
  }
  argc_ = static_cast<int>(argv_.size());
  argv_.push_back(nullptr);
}

}  // namespace rt
