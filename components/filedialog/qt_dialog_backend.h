// The open-file dialog on Qt: QFileDialog, the platform's native dialog where
// Qt has one.
#pragma once

#include <QString>
#include <QStringList>

#include "components/filedialog/dialog_backend.h"

class QFileDialog;

namespace filedialog {

// The name-filter texts Qt is given: "description (pattern pattern…)". The
// dialog is told to hide the parenthesised part, so the user sees the
// description exactly as given.
QStringList qtNameFilters(const std::vector<NameFilter>& filters);

// Applies a request to a dialog (kept apart from showing it so it can be checked).
void configure(QFileDialog& dialog, const OpenFileRequest& request);

class QtDialogBackend : public DialogBackend {
 public:
  std::optional<rt::Text> showOpen(const OpenFileRequest& request) override;
};

}  // namespace filedialog
