// Quenlo: the courseware kit's launcher. It shows the start screen and hands
// a presentation to the presentation application.
#include <QApplication>

#include "launcher/start.h"
#include "runtime/qt/events.h"
#include "runtime/qt/window_system.h"

#include "components/filedialog/commondialog.h"
#ifdef VARDEL_HAVE_OFFICE
#include "components/office/office.h"
#endif

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

  launcher::Start start;
  rt::closeOnTerminationSignals(&start);
  // The load step may already have ended the program (a run-time error).
  if (!rt::ending()) start.show();
  return rt::exec(app);
}
