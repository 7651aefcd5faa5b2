// The common file dialog's members over a DialogBackend: the state the
// members set (CancelError, Flags, Filter, member 23, FileName) and the
// ShowOpen method that turns that state into one open-file dialog.
#pragma once

#include <memory>

#include "components/automation/automation.h"
#include "components/filedialog/dialog_backend.h"

namespace filedialog {

// Option flags the dialog understands; all others are accepted and ignored.
namespace flag {
inline constexpr std::int32_t ReadOnly = 0x1;          // pre-tick "open as read-only"
inline constexpr std::int32_t HideReadOnly = 0x4;      // no read-only option at all
inline constexpr std::int32_t FileMustExist = 0x1000;  // refuse names of missing files
}  // namespace flag

// Splits "desc|pattern|desc|pattern…" into the dialog's file-type list.
// Several patterns of one entry are separated by ';'.
std::vector<NameFilter> parseFilter(const rt::Text& filter);

class CommonDialog : public automation::Dispatch {
 public:
  explicit CommonDialog(std::shared_ptr<DialogBackend> backend);

  rt::Status idOfName(std::u16string_view name, automation::DispId& id) override;
  rt::Status invoke(automation::DispId id, automation::CallKind kind, const automation::Args& args,
                    rt::Variant& result) override;

 private:
  rt::Status put(automation::DispId id, const automation::Args& args);
  rt::Status showOpen();

  std::shared_ptr<DialogBackend> backend_;
  bool cancelError_ = false;
  std::int32_t flags_ = 0;
  rt::Text filter_;
  std::int16_t member23_ = 0;  // kept as given; it changes nothing in this dialog
  rt::Text fileName_;
};

}  // namespace filedialog
