// "MSComDlg.CommonDialog": the common file dialog, reached by member
// identifiers, over Qt's file dialog.
#pragma once

#include "components/automation/automation.h"

namespace filedialog {

inline constexpr char16_t kProgId[] = u"MSComDlg.CommonDialog";

// Member identifiers of the dialog.
namespace member {
inline constexpr automation::DispId FileName = 1;
inline constexpr automation::DispId Filter = 3;
inline constexpr automation::DispId Flags = 7;
inline constexpr automation::DispId CancelError = 18;
inline constexpr automation::DispId Unnamed23 = 23;  // stored at every use; no further effect
inline constexpr automation::DispId ShowOpen = 30;
}  // namespace member

// Registers the Qt implementation under kProgId for the life of the program.
void registerCommonDialog();

}  // namespace filedialog
