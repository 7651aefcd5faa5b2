// What the common dialog asks of the window system's file dialog, kept apart
// from the dialog's members so the members can be exercised without a screen.
#pragma once

#include <optional>
#include <vector>

#include "runtime/text.h"

namespace filedialog {

// One entry of the dialog's file-type list.
struct NameFilter {
  rt::Text description;            // what the user sees, e.g. "屏幕视频文件(*.WMV)"
  std::vector<rt::Text> patterns;  // e.g. {"*.WMV"}
  friend bool operator==(const NameFilter&, const NameFilter&) = default;
};

// One open-file dialog, as the members set it up.
struct OpenFileRequest {
  std::vector<NameFilter> filters;
  std::size_t selectedFilter = 0;  // index into filters
  rt::Text initialFileName;        // preselected name; empty for none
  bool readOnlyOption = false;     // offer a "open as read-only" choice
  bool fileMustExist = false;      // refuse names of files that do not exist
  friend bool operator==(const OpenFileRequest&, const OpenFileRequest&) = default;
};

class DialogBackend {
 public:
  virtual ~DialogBackend() = default;
  // Shows a modal open-file dialog. Returns the chosen file's full path, or
  // nothing when the user cancelled or closed the dialog.
  virtual std::optional<rt::Text> showOpen(const OpenFileRequest& request) = 0;
};

}  // namespace filedialog
