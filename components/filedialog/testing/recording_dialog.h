// For tests: a recording fake of "MSComDlg.CommonDialog". It logs every member
// access by identifier ("put 18 bool:true", "call 30", "get 1") and answers
// ShowOpen from a script: confirm with a path, cancel, or fail.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "components/automation/automation.h"

namespace filedialog::testing {

class RecordingDialog : public automation::Dispatch {
 public:
  struct Outcome {
    enum Kind { Confirm, Cancel, Fail } kind;
    rt::Text path;  // for Confirm
  };

  std::vector<std::string> log;
  std::deque<Outcome> script;  // one outcome per ShowOpen; empty = cancel

  rt::Status idOfName(std::u16string_view name, automation::DispId& id) override;
  rt::Status invoke(automation::DispId id, automation::CallKind kind, const automation::Args& args,
                    rt::Variant& result) override;

 private:
  bool cancelError_ = false;
  rt::Text fileName_;
};

// Registers a fresh RecordingDialog per creation under "MSComDlg.CommonDialog"
// for the life of the fixture; `last` is the most recently created one.
struct RecordingDialogFactory {
  RecordingDialogFactory();
  std::shared_ptr<RecordingDialog> last;
  std::deque<RecordingDialog::Outcome> script;  // handed to each new dialog
  automation::Registration registration;
};

}  // namespace filedialog::testing
