#include "components/filedialog/testing/recording_dialog.h"

#include "components/automation/testing/call_log.h"
#include "components/filedialog/commondialog.h"

namespace filedialog::testing {

using automation::CallKind;

rt::Status RecordingDialog::idOfName(std::u16string_view name, automation::DispId&) {
  log.push_back("name " + rt::toUtf8(name));
  return rt::fail(rt::status::UnknownName, u"The dialog is reached by member identifier only.");
}

rt::Status RecordingDialog::invoke(automation::DispId id, CallKind kind,
                                   const automation::Args& args, rt::Variant& result) {
  const std::string value =
      args.positional.empty() ? "" : " " + automation::testing::describe(args.positional[0]);
  switch (kind) {
    case CallKind::PropertyPut: log.push_back("put " + std::to_string(id) + value); break;
    case CallKind::PropertyGet: log.push_back("get " + std::to_string(id)); break;
    case CallKind::Method: log.push_back("call " + std::to_string(id)); break;
  }
  if (kind == CallKind::PropertyPut && id == member::CancelError) {
    cancelError_ = args.positional.at(0).toBool();
  } else if (kind == CallKind::PropertyGet && id == member::FileName) {
    result = rt::Variant(fileName_);
  } else if (kind == CallKind::Method && id == member::ShowOpen) {
    const Outcome next = script.empty() ? Outcome{Outcome::Cancel, {}} : script.front();
    if (!script.empty()) script.pop_front();
    if (next.kind == Outcome::Fail)
      return rt::fail(rt::status::Fail, u"The dialog could not be shown.");
    if (next.kind == Outcome::Cancel) {
      return cancelError_ ? rt::fail(rt::status::fromErrorNumber(rt::err::DialogCancelled),
                                     u"Cancel was selected.")
                          : rt::status::Ok;
    }
    fileName_ = next.path;
  }
  return rt::status::Ok;
}

RecordingDialogFactory::RecordingDialogFactory()
    : registration(automation::registerClass(kProgId, [this](rt::ObjectRef& out) {
        last = std::make_shared<RecordingDialog>();
        last->script = script;
        out = last;
        return rt::status::Ok;
      })) {}

}  // namespace filedialog::testing
