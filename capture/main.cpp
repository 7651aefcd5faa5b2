// Grabvid: the screen recorder. One window; every action is one of its event
// procedures.
#include <QApplication>

#include "capture/form1.h"
#include "components/filedialog/commondialog.h"
#include "runtime/qt/events.h"
#ifdef VARDEL_HAVE_ENCODER_ENGINE
#include "components/encoder/engine.h"
#endif

int main(int argc, char** argv) {
  QApplication app(argc, argv);
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
