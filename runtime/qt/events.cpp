#include "runtime/qt/events.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <new>

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

namespace rt {

namespace {
bool gEnding = false;
int gExitStatus = 0;
ErrorReporter gReporter;

void showMessageBox(const RuntimeError& e) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                  QString::fromStdU16String(describe(e)), QMessageBox::Ok);
  box.exec();
}
}  // namespace

namespace {
void reportAndEnd(const RuntimeError& e) {
  if (gEnding) return;
  // The program is ending from here on: events that arrive while the
  // message box is open (a resize, a second click) run no procedure.
  gEnding = true;
  gExitStatus = 1;
  if (gReporter)
    gReporter(e);
  else
    showMessageBox(e);
  QCoreApplication::exit(gExitStatus);
}
}  // namespace

void runEvent(const std::function<void()>& procedure) {
  if (gEnding) return;
  try {
    procedure();
  } catch (const RuntimeError& e) {
    reportAndEnd(e);
  } catch (const std::bad_alloc&) {
    reportAndEnd(RuntimeError(err::OutOfMemory, standardText(err::OutOfMemory)));
  } catch (const std::exception& e) {
    // Nothing else may unwind through the event loop: it is reported and
    // ends the program the same way, so the windows still release what they
    // hold (a running recording is completed).
    reportAndEnd(RuntimeError(err::InternalError, standardText(err::InternalError) + u": " +
                                                      fromUtf8(e.what())));
  }
}

void endNow(int exitStatus) {
  if (gEnding) return;
  gEnding = true;
  gExitStatus = exitStatus;
  QCoreApplication::exit(exitStatus);
}

bool ending() { return gEnding; }

int exec(QApplication& app) {
  if (gEnding) return gExitStatus;
  const int status = app.exec();
  return gEnding ? gExitStatus : status;
}

void setErrorReporter(ErrorReporter reporter) { gReporter = std::move(reporter); }

namespace {
// Watches a window for its first paint event, then posts the work behind it:
// it runs once the paint (and the rest of that repaint) is on the screen.
class FirstPaint : public QObject {
 public:
  FirstPaint(QWidget* window, std::function<void()> then) : QObject(window), then_(std::move(then)) {
    window->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      watched->removeEventFilter(this);
      QMetaObject::invokeMethod(
          this,
          [this] {
            then_();
            deleteLater();
          },
          Qt::QueuedConnection);
    }
    return false;
  }

 private:
  std::function<void()> then_;
};
}  // namespace

void afterFirstPaint(QWidget* window, std::function<void()> then) { new FirstPaint(window, std::move(then)); }

void resetForTesting() {
  gEnding = false;
  gExitStatus = 0;
}

#ifdef _WIN32
// Windows ends a session through the window system's own close requests,
// which Qt delivers as close events; there are no signals to forward.
void closeOnTerminationSignals(QWidget*) {}
#else
namespace {
int gSignalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signo) {
  const int savedErrno = errno;
  const char byte = static_cast<char>(signo);
  // Only async-signal-safe work here: one write to the pipe.
  [[maybe_unused]] const auto n = ::write(gSignalPipe[1], &byte, 1);
  errno = savedErrno;
}
}  // namespace

void closeOnTerminationSignals(QWidget* window) {
  if (gSignalPipe[0] < 0) {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  }
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, window);
  QPointer<QWidget> target(window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [target] {
    char buf[16];
    while (::read(gSignalPipe[0], buf, sizeof buf) > 0) {
    }
    // A dialog or message box that is open would hold the close back until
    // the user answered it: it goes first, as if cancelled.
    for (int nested = 0; nested < 8; ++nested) {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || modal == target || !modal->close()) break;
    }
    if (target) target->close();
  });
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGHUP, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
}

#endif

}  // namespace rt
