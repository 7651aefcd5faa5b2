#include "components/filedialog/qt_dialog_backend.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QPointer>

namespace filedialog {

QStringList qtNameFilters(const std::vector<NameFilter>& filters) {
  QStringList out;
  for (const auto& f : filters) {
    QStringList patterns;
    for (const auto& p : f.patterns) patterns << QString::fromStdU16String(p);
    out << QString::fromStdU16String(f.description) + QStringLiteral(" (") + patterns.join(u' ') + u')';
  }
  return out;
}

void configure(QFileDialog& dialog, const OpenFileRequest& request) {
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // A name typed for a file that does not exist yet is accepted unless the
  // caller asked for existing files only.
  dialog.setFileMode(request.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::HideNameFilterDetails, true);
  // Qt's dialog has no "open as read-only" check box, so a request without
  // one is met as it stands; the model itself stays writable either way.
  dialog.setOption(QFileDialog::ReadOnly, false);
  const QStringList filters = qtNameFilters(request.filters);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(static_cast<qsizetype>(request.selectedFilter)));
  }
  if (!request.initialFileName.empty())
    dialog.selectFile(QString::fromStdU16String(request.initialFileName));
  dialog.setModal(true);
}

std::optional<rt::Text> QtDialogBackend::showOpen(const OpenFileRequest& request) {
  // Parented to the active window so the dialog sits over it and blocks it.
  QPointer<QFileDialog> dialog = new QFileDialog(QApplication::activeWindow());
  dialog->setAttribute(Qt::WA_DeleteOnClose, false);
  configure(*dialog, request);
  const int accepted = dialog->exec();
  std::optional<rt::Text> chosen;
  if (dialog && accepted == QDialog::Accepted) {
    const QStringList files = dialog->selectedFiles();
    if (!files.isEmpty()) chosen = QDir::toNativeSeparators(files.front()).toStdU16String();
  }
  delete dialog.data();
  return chosen;
}

}  // namespace filedialog
