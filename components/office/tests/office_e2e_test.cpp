// "PowerPoint.Application" against the real office under a display: each
// test starts LibreOffice in a fresh private profile (UserInstallation), opens
// a copy of the sample presentation, and ends every office process it started
// by process id. Needs DISPLAY with a window manager (scripts/test-session.sh).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/util/XModifiable.hpp>

#include "components/automation/automation.h"
#include "components/office/office.h"
#include "components/office/uno/office_process.h"

namespace {

namespace fs = std::filesystem;
using automation::Args;
using rt::ObjectRef;
using rt::Variant;

const char kCaption[] = "Vardel课件快速制作系统";

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(("timeout 20 " + command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  while (std::size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  pclose(p);
  return out;
}

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (!line.empty()) out.insert(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

template <class Condition>
bool poll(Condition condition, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

std::string errorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const rt::RuntimeError& e) {
    return rt::toUtf8(e.text());
  }
  return "(no error)";
}

// The test's own connection to the office the component started (the
// component offers no way to edit or inspect documents).
css::uno::Reference<css::container::XEnumeration> officeDocuments() {
  office::Connection c;
  EXPECT_EQ(office::connectToOffice(c), rt::status::Ok) << rt::toUtf8(rt::takeErrorInfo());
  if (!c.context.is()) return {};
  return css::frame::Desktop::create(c.context)->getComponents()->createEnumeration();
}

void setAllModified(bool modified) {
  auto all = officeDocuments();
  int count = 0;
  while (all.is() && all->hasMoreElements()) {
    css::uno::Reference<css::util::XModifiable> doc(all->nextElement(), css::uno::UNO_QUERY);
    if (doc.is()) doc->setModified(modified), ++count;
  }
  EXPECT_GT(count, 0);
}

// Whether every document answers its questions with the office's own
// interaction handler (not the aborting one it was loaded with).
bool documentsUseTheOfficesHandler() {
  auto all = officeDocuments();
  int count = 0;
  while (all.is() && all->hasMoreElements()) {
    css::uno::Reference<css::frame::XModel> doc(all->nextElement(), css::uno::UNO_QUERY);
    if (!doc.is()) continue;
    ++count;
    for (const auto& arg : doc->getArgs()) {
      if (arg.Name != "InteractionHandler") continue;
      css::uno::Reference<css::lang::XServiceInfo> info(arg.Value, css::uno::UNO_QUERY);
      if (!info.is() || !info->supportsService("com.sun.star.task.InteractionHandler")) return false;
    }
  }
  return count > 0;
}

// This program ends as the launcher does: its connections to the office are
// closed before it leaves main.
class EndOfProgram : public ::testing::Environment {
 public:
  void TearDown() override { office::shutdown(std::chrono::milliseconds(1600)); }
};
const auto* const kEndOfProgram = ::testing::AddGlobalTestEnvironment(new EndOfProgram);

class OfficeE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    ASSERT_TRUE(display && *display) << "the office tests need DISPLAY (run them in scripts/test-session.sh)";
    const char* scratch = std::getenv("VARDEL_TEST_OFFICE_PROFILE");
    std::string tmpl = std::string(scratch && *scratch ? scratch : "/tmp") + "/vardel-office-e2e.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    // A fresh profile per test: a used one may hold stale locks.
    setenv("UserInstallation", ("file://" + dir_ + "/profile").c_str(), 1);
    folder_ = dir_ + "/演示 文稿";
    fs::create_directories(folder_);
    presentation_ = folder_ + "/欢迎.ppt";
    fs::copy_file(VARDEL_SAMPLE_PPT, presentation_);
    office::registerPowerPoint();
  }

  void TearDown() override {
    app_.reset();
    for (const auto& pid : officePids()) kill(std::stoi(pid), SIGKILL);
    EXPECT_TRUE(poll([&] { return officePids().empty(); }, 30)) << "office processes remain";
    unsetenv("UserInstallation");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // The office processes of this test: their command line names its profile.
  // (The bracket keeps the pattern from matching the shell that runs pgrep.)
  std::set<std::string> officePids() {
    return lines(run("pgrep -f '[" + dir_.substr(0, 1) + "]" + dir_.substr(1) + "/profile'"));
  }

  // Titles of the office's visible top-level windows.
  std::set<std::string> officeWindowTitles() {
    std::set<std::string> titles;
    for (const auto& pid : officePids())
      for (const auto& w : lines(run("xdotool search --onlyvisible --pid " + pid)))
        for (const auto& t : lines(run("xdotool getwindowname " + w))) titles.insert(t);
    return titles;
  }

  bool windowTitled(const std::string& title) { return officeWindowTitles().count(title) > 0; }

  Variant open(Args args) {
    return automation::call(automation::get(app_, u"Presentations").toObject(), u"Open", std::move(args));
  }
  static Args named(const std::string& path, Variant& readOnly) {
    Args a;
    a.named.push_back({u"FileName", rt::fromUtf8(path)});
    a.named.push_back({u"ReadOnly", Variant::byRef(readOnly)});
    return a;
  }

  std::string dir_, folder_, presentation_;
  ObjectRef app_;
};

TEST_F(OfficeE2E, OpensVisiblyWithTheCaptionFailsAtOnceOnAMissingFileAndQuits) {
  app_ = automation::createObject(office::kProgId);
  ASSERT_FALSE(officePids().empty()) << "no office started";
  automation::set(app_, u"Visible", true);
  EXPECT_EQ(automation::get(app_, u"Visible"), Variant(true));

  Variant empty;  // "ReadOnly" as a reference to an unassigned value
  open(named(presentation_, empty));
  automation::set(app_, u"Caption", rt::fromUtf8(kCaption));
  EXPECT_EQ(automation::get(app_, u"Caption").toText(), rt::fromUtf8(kCaption));
  EXPECT_TRUE(documentsUseTheOfficesHandler()) << "the document still asks the aborting handler";
  EXPECT_TRUE(poll([&] { return windowTitled(kCaption); }, 60))
      << "no office window titled with the caption; windows: " << ::testing::PrintToString(officeWindowTitles());

  // A second creation finds the same office.
  const auto pids = officePids();
  auto again = automation::createObject(office::kProgId);
  EXPECT_EQ(officePids(), pids);
  again.reset();

  // Missing files fail with the office's reason, and ask nothing on screen.
  const std::string missing = folder_ + "/缺少.ppt";
  EXPECT_EQ(errorText([&] { open(named(missing, empty)); }), "\"" + missing + "\" does not exist.");
  EXPECT_EQ(errorText([&] { open(named("   ", empty)); }),
            "\"" + fs::current_path().string() + "/   \" does not exist.");
  EXPECT_EQ(errorText([&] { open(named("macro:///Standard.Module1.Main()", empty)); }),
            "\"" + fs::current_path().string() + "/macro:/Standard.Module1.Main()\" does not exist.");
  EXPECT_EQ(errorText([&] { open({}); }), "Open needs the argument FileName.");
  Args unknown = named(presentation_, empty);
  unknown.named.push_back({u"Password", Variant(rt::Text(u"x"))});
  EXPECT_EQ(errorText([&] { open(unknown); }), "Open has no argument named \"Password\".");
  EXPECT_EQ(officeWindowTitles(), std::set<std::string>{kCaption}) << "a dialog or another window is open";

  automation::call(app_, u"Quit");
  EXPECT_TRUE(poll([&] { return officePids().empty(); }, 60)) << "the office did not end";
  EXPECT_EQ(errorText([&] { open(named(presentation_, empty)); }),
            "The presentation application is no longer running (LibreOffice was closed or ended).");
}

TEST_F(OfficeE2E, LockedFileFailsAtOnceAndReadOnlyOpensByPosition) {
  // Another user on another machine has the presentation open for editing.
  {
    std::FILE* lock = std::fopen((folder_ + "/.~lock.欢迎.ppt#").c_str(), "w");
    ASSERT_NE(lock, nullptr);
    std::fputs(",Li Lei,otherhost,07.12.2026 09:00,file:///home/lilei/.config/libreoffice/4;", lock);
    std::fclose(lock);
  }
  app_ = automation::createObject(office::kProgId);
  automation::set(app_, u"Visible", true);
  Variant empty;
  const std::string text = errorText([&] { open(named(presentation_, empty)); });
  EXPECT_NE(text.find("is locked"), std::string::npos) << text;
  EXPECT_NE(text.find("Li Lei"), std::string::npos) << text;
  EXPECT_TRUE(officeWindowTitles().empty()) << ::testing::PrintToString(officeWindowTitles());

  // By position, read-only: the office marks the window so.
  const std::string copy = folder_ + "/副本.ppt";
  fs::copy_file(VARDEL_SAMPLE_PPT, copy);
  Args positional;
  positional.positional = {Variant(rt::fromUtf8(copy)), Variant(true)};
  open(positional);
  EXPECT_TRUE(poll(
      [&] {
        for (const auto& t : officeWindowTitles())
          if (t.find("副本.ppt") != std::string::npos && t.find("read-only") != std::string::npos) return true;
        return false;
      },
      60))
      << ::testing::PrintToString(officeWindowTitles());
  automation::call(app_, u"Quit");
  EXPECT_TRUE(poll([&] { return officePids().empty(); }, 60)) << "the office did not end";
}

TEST_F(OfficeE2E, QuitRefusesWhileAPresentationHasUnsavedChanges) {
  app_ = automation::createObject(office::kProgId);
  automation::set(app_, u"Visible", true);
  Variant empty;
  open(named(presentation_, empty));
  setAllModified(true);

  const std::string text = errorText([&] { automation::call(app_, u"Quit"); });
  EXPECT_EQ(text, "The presentation application cannot quit: \"欢迎.ppt\" has unsaved changes. "
                  "Save or close it first.");
  EXPECT_FALSE(officePids().empty()) << "the office ended and the changes are lost";
  EXPECT_EQ(officeWindowTitles(), std::set<std::string>{"欢迎.ppt - LibreOffice Impress"})
      << "a question is left on screen";

  setAllModified(false);
  automation::call(app_, u"Quit");
  EXPECT_TRUE(poll([&] { return officePids().empty(); }, 60)) << "the office did not end";
}

}  // namespace
