// Quenlo: the courseware kit's launcher. It shows the start screen and hands
// a presentation to the presentation application.
#include <QApplication>

#include <chrono>

#include "components/automation/automation.h"
#include "launcher/start.h"
#include "runtime/ending.h"
#include "runtime/qt/events.h"
#include "runtime/qt/window_system.h"

#include "components/filedialog/commondialog.h"
#ifdef VARDEL_HAVE_OFFICE
#include "components/office/office.h"
#endif

namespace {

// How long the end of the program may take: closing the connection to the
// presentation application, and ending an office started here that shows
// nothing. Past it the program ends at once (an office that stopped
// answering must not keep it).
constexpr std::chrono::milliseconds kEndLimit{2000};
// What the office's part of the end is given of that: the rest is margin
// for leaving main.
constexpr std::chrono::milliseconds kOfficeEnd{1600};

}  // namespace

int main(int argc, char** argv) {
  // On a Wayland desktop the window goes through Xwayland where there is one
  // (see window_system.h), unless the user chose a platform.
  rt::WindowSystemArguments arguments(argc, argv);
  QApplication app(arguments.argc(), arguments.argv());
  // The same name as the window's: Qt adds the display name to window titles
  // that differ from it, and the error message box carries it as its title.
  QApplication::setApplicationDisplayName(QStringLiteral("Vardel课件制作系统"));

  // Without a component of ours (Windows), "PowerPoint.Application" is
  // created through COM.
#ifdef VARDEL_HAVE_OFFICE
  office::registerPowerPoint();
#endif
  filedialog::registerCommonDialog();

  int status = 0;
  {
    launcher::Start start;
    rt::closeOnTerminationSignals(&start);
    // The load step may already have ended the program (a run-time error).
    if (!rt::ending()) {
      start.show();
#ifdef VARDEL_HAVE_OFFICE
      // While the user looks at the start window, the office gets ready in
      // the background, so that OK only has to open the presentation. Not
      // before the window is on the screen: that must not wait for it.
      rt::afterFirstPaint(&start, [] {
        if (!rt::ending()) office::warmUp();
      });
#endif
    }
    status = rt::exec(app);
  }  // the window goes, and with it every reference it held

  // Only then do the connections to the components close: a launch leaves
  // the presentation open in the office, and an office started here that
  // shows nothing is ended.
  return rt::endWithin(kEndLimit, status, [] {
#ifdef VARDEL_HAVE_OFFICE
    office::shutdown(kOfficeEnd);
#endif
    automation::shutdown();
  });
}
