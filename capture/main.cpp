// Grabvid: the screen recorder. One window; every action is one of its event
// procedures.
#include <QApplication>

#include "capture/form1.h"
#include "components/filedialog/commondialog.h"
#include "runtime/qt/events.h"
#include "runtime/qt/window_system.h"
#ifdef VARDEL_HAVE_ENCODER_ENGINE
#include "components/encoder/engine.h"
#endif

int main(int argc, char** argv) {
  // On a Wayland desktop the window goes through Xwayland where there is one
  // (see window_system.h), unless the user chose a platform.
  rt::WindowSystemArguments arguments(argc, argv);
  QApplication app(arguments.argc(), arguments.argv());
  QApplication::setApplicationName(QStringLiteral("Grabvid"));

  filedialog::registerCommonDialog();
#ifdef VARDEL_HAVE_ENCODER_ENGINE
  encoder::registerEngine();
#endif

  Form1 form;
  QApplication::setWindowIcon(form.windowIcon());
  form.show();
  // SIGTERM and SIGHUP close the window like the close box: the program ends
  // and the window's encoder completes its file as it is released.
  rt::closeOnTerminationSignals(&form);
  return rt::exec(app);
}
