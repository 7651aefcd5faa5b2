// The office module in a program that does not link the office's libraries
// itself, as the launcher: creation loads those libraries by their full
// names and then the module, which has no library search path of its own.
// Without a display the module's own check answers, which proves it ran.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "components/automation/automation.h"
#include "components/office/office.h"
#include "components/office/office_libraries.h"

namespace {

bool loaded(const char* name) {
  const std::string path = std::string(VARDEL_OFFICE_PROGRAM_DIR "/") + name;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

TEST(OfficeModuleLoad, LoadsTheOfficeLibrariesThenTheModule) {
  ASSERT_GT(std::size(office::kOfficeLibraries), 0u);
  for (const char* name : office::kOfficeLibraries)
    ASSERT_FALSE(loaded(name)) << name << " is loaded before any office object was created";

  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("UserInstallation", "file:///tmp/vardel-module-load-profile", 1);
  office::registerPowerPoint();
  try {
    automation::createObject(office::kProgId);
    FAIL() << "created without a display";
  } catch (const rt::RuntimeError& e) {
    const std::string text = rt::toUtf8(e.text());
    EXPECT_EQ(e.number(), 429);
    EXPECT_EQ(text.find("could not be loaded"), std::string::npos) << text;
    // Only the module looks at the display.
    EXPECT_NE(text.find("no display"), std::string::npos) << text;
  }
  for (const char* name : office::kOfficeLibraries) EXPECT_TRUE(loaded(name)) << name;
  unsetenv("UserInstallation");
}

}  // namespace
