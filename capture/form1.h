// Form1: the recorder's only window. It collects the recording settings and
// runs the recorder's event procedures:
//
//   CmdSave_Click       pick the output file (ChooseOutputFile)
//   StartCapture_Click  set up a new encoder (Main), minimise, start
//   Form_Resize         a resize that finds the window back on screen stops a recording
//   StopCapture_Click   stop
//   exit_Click          stop, ignoring failures, and end at once
//
// Closing the window (close box, system menu, SIGTERM) runs none of them: the
// program ends, the window releases its encoder, and the encoder completes
// its file on release.
#pragma once

#include <QWidget>

#include "components/encoder/encoder.h"
#include "runtime/variant.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class Form1 : public QWidget {
 public:
  explicit Form1(QWidget* parent = nullptr);
  ~Form1() override;

  // Controls, named as the recorder's procedures refer to them.
  QGroupBox* Frame1;
  QRadioButton* Option1;
  QRadioButton* Option2;
  QRadioButton* Option3;
  QPushButton* StartCapture;
  QPushButton* StopCapture;
  QGroupBox* Frame2;
  QCheckBox* ChkAudio;
  QPushButton* exit;
  QLabel* Label2;
  QLineEdit* Text3;
  QPushButton* CmdSave;
  QLabel* Label3;
  QLineEdit* Text4;
  QLabel* Label4;
  QLineEdit* Text5;
  QLabel* Label5;
  QLineEdit* Text6;
  QLabel* Label6;
  QLineEdit* Text7;

  // The common file dialog (no presence in the window).
  rt::ObjectRef CommonDialog1;
  // The encoder of the current or last recording; empty before the first.
  encoder::Ref<encoder::Encoder> encoder;

  // Event procedures.
  void StartCapture_Click();
  void StopCapture_Click();
  void Form_Resize();
  void exit_Click();
  void CmdSave_Click();

  // Creates a new encoder in `encoder` and configures it from the window.
  void Main();
  // Lets the user pick the output file into Text3.
  void ChooseOutputFile();

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void raiseResize();
  bool shownOnce_ = false;
  // Set when the start asks the desktop to minimise the window; cleared once
  // the desktop has taken the window off screen (it stops being exposed) or
  // changes its size. While it is set the window has not left the screen, so
  // a report that it is not minimised is the desktop refusing the request
  // (tiling window managers, Qt's wayland plugin), not the user restoring it.
  bool minimiseAwaited_ = false;
};

// The output file the window offers at start: "C:\OutputFile.wmv" on Windows,
// OutputFile.wmv in the user's home folder elsewhere.
QString defaultOutputFile();
