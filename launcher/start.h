// Start: the launcher's one window, the kit's borderless start screen.
//
// The file reads like the window's list of event procedures, in the order a
// user meets them: the window's load step, the browse button, the OK button,
// the two exit controls and the window's unload step. Each procedure runs
// through rt::runEvent, which reports a run-time error that leaves it and
// ends the program.
#pragma once

#include <cstdint>

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QWidget>

#include "runtime/variant.h"

namespace launcher {

// A label drawn on the window's surface: transparent, plain text, left-aligned
// from the top and wrapped within its width. Its lines are spaced by the
// font's size rather than by the face's own line height: the CJK substitute
// faces are far taller than the originals, and the two-line note has to fit
// the height its layout gives it.
class SurfaceLabel : public QLabel {
 public:
  using QLabel::QLabel;

  // The wrapped text's lines and the height they take, in pixels.
  int lineCount() const;
  int textHeight() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  struct Lines;
  void layOut(Lines& lines) const;
};

// A surface label that raises a click: a press and a release of the left
// button, both inside the label.
class ClickLabel : public SurfaceLabel {
  Q_OBJECT
 public:
  using SurfaceLabel::SurfaceLabel;

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};

// The kit's demonstration presentation, opened when the path box is empty.
extern const rt::Text kDemonstrationPresentation;

class Start : public QWidget {
  Q_OBJECT
 public:
  explicit Start(QWidget* parent = nullptr);
  ~Start() override;

  // Controls, in the order they are stacked: the pictures and labels lie on
  // the window's surface, the text box and the buttons above them.
  QLabel* Image1;
  SurfaceLabel* Label1;
  SurfaceLabel* Label5;
  SurfaceLabel* Label4;
  SurfaceLabel* Label6;
  ClickLabel* Label3;
  QLineEdit* Text1;
  QPushButton* Command1;
  QPushButton* Command3;
  QPushButton* Command4;

  // The common file dialog (no presence in the window).
  rt::ObjectRef CommonDialog1;
  // The presentation application started by a launch; empty until then.
  rt::ObjectRef PPTApp;

  // The window operation the load step uses: brings the window in front of
  // the others when it first appears. `position` 1 = in front, 0 = leave the
  // stacking to the window system. Any other value is an invalid argument,
  // raised as a run-time error.
  void BringToFront(std::int16_t position);

  // Event procedures.
  void Form_Load();
  void Command1_Click();
  void Command3_Click();
  void Command4_Click();
  void Label3_Click();
  void Form_Unload(std::int16_t& Cancel);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void endAtOnce();

  QPixmap picture_;
  bool frontOnShow_ = false;
  bool shownOnce_ = false;
};

}  // namespace launcher
