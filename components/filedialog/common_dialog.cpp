#include "components/filedialog/common_dialog.h"

#include <array>
#include <string>
#include <utility>

#include "components/filedialog/commondialog.h"

namespace filedialog {

using automation::Args;
using automation::CallKind;
using automation::DispId;
using automation::sameName;
using rt::Status;
using rt::Text;

namespace {

struct NamedMember {
  std::u16string_view name;
  DispId id;
};
constexpr std::array<NamedMember, 5> kNames{{{u"FileName", member::FileName},
                                             {u"Filter", member::Filter},
                                             {u"Flags", member::Flags},
                                             {u"CancelError", member::CancelError},
                                             {u"ShowOpen", member::ShowOpen}}};

Status memberNotFound(DispId id) {
  return rt::fail(rt::status::MemberNotFound,
                  u"Object doesn't support this property or method: member " +
                      rt::fromUtf8(std::to_string(id)) + u".");
}

// A value that does not convert (overflow, type mismatch) fails the call with
// that run-time error, as the caller's own assignment would.
template <class Convert>
Status converted(Convert&& convert) {
  try {
    std::forward<Convert>(convert)();
    return rt::status::Ok;
  } catch (const rt::RuntimeError& e) {
    return rt::fail(rt::status::fromErrorNumber(e.number()), e.text());
  }
}

std::vector<Text> splitPatterns(const Text& patterns) {
  std::vector<Text> out;
  std::size_t start = 0;
  while (start <= patterns.size()) {
    std::size_t end = patterns.find(u';', start);
    if (end == Text::npos) end = patterns.size();
    Text p = patterns.substr(start, end - start);
    while (!p.empty() && p.front() == u' ') p.erase(p.begin());
    while (!p.empty() && p.back() == u' ') p.pop_back();
    if (!p.empty()) out.push_back(std::move(p));
    start = end + 1;
  }
  return out;
}

}  // namespace

std::vector<NameFilter> parseFilter(const Text& filter) {
  std::vector<Text> parts;
  std::size_t start = 0;
  while (start < filter.size()) {
    std::size_t end = filter.find(u'|', start);
    if (end == Text::npos) end = filter.size();
    parts.push_back(filter.substr(start, end - start));
    start = end + 1;
  }
  std::vector<NameFilter> out;
  for (std::size_t i = 0; i < parts.size(); i += 2) {
    NameFilter f{parts[i], i + 1 < parts.size() ? splitPatterns(parts[i + 1]) : std::vector<Text>{}};
    // An entry without a pattern would hide every file; it shows all of them instead.
    if (f.patterns.empty()) f.patterns.push_back(u"*");
    out.push_back(std::move(f));
  }
  return out;
}

CommonDialog::CommonDialog(std::shared_ptr<DialogBackend> backend) : backend_(std::move(backend)) {}

Status CommonDialog::idOfName(std::u16string_view name, DispId& id) {
  for (const auto& m : kNames) {
    if (sameName(m.name, name)) {
      id = m.id;
      return rt::status::Ok;
    }
  }
  return rt::fail(rt::status::UnknownName,
                  u"Object doesn't support this property or method: " + Text(name));
}

Status CommonDialog::invoke(DispId id, CallKind kind, const Args& args, rt::Variant& result) {
  switch (kind) {
    case CallKind::PropertyPut: return put(id, args);
    case CallKind::PropertyGet:
    case CallKind::Method:
      if (!args.positional.empty() || !args.named.empty()) {
        if (id == member::ShowOpen)
          return rt::fail(rt::status::BadParamCount, u"ShowOpen takes no arguments.");
        if (kind == CallKind::Method) return memberNotFound(id);
      }
      switch (id) {
        case member::ShowOpen: return showOpen();
        case member::FileName: result = rt::Variant(fileName_); return rt::status::Ok;
        case member::Filter: result = rt::Variant(filter_); return rt::status::Ok;
        case member::Flags: result = rt::Variant(flags_); return rt::status::Ok;
        case member::CancelError: result = rt::Variant(cancelError_); return rt::status::Ok;
        case member::Unnamed23: result = rt::Variant(member23_); return rt::status::Ok;
        default: return memberNotFound(id);
      }
  }
  return memberNotFound(id);
}

Status CommonDialog::put(DispId id, const Args& args) {
  const bool known = id == member::CancelError || id == member::Flags || id == member::Filter ||
                     id == member::Unnamed23 || id == member::FileName;
  if (!known) return memberNotFound(id);
  if (args.positional.size() != 1 || !args.named.empty())
    return rt::fail(rt::status::BadParamCount, u"A property takes exactly one value.");
  const rt::Variant& v = args.positional.front();
  return converted([&] {
    switch (id) {
      case member::CancelError: cancelError_ = v.toBool(); break;
      case member::Flags: flags_ = v.toInt32(); break;
      case member::Filter: filter_ = v.toText(); break;
      case member::Unnamed23: member23_ = v.toInt16(); break;
      case member::FileName: fileName_ = v.toText(); break;
      default: break;
    }
  });
}

Status CommonDialog::showOpen() {
  OpenFileRequest request;
  request.filters = parseFilter(filter_);
  request.initialFileName = fileName_;
  request.readOnlyOption = (flags_ & flag::HideReadOnly) == 0;
  request.fileMustExist = (flags_ & flag::FileMustExist) != 0;
  std::optional<Text> chosen = backend_->showOpen(request);
  if (!chosen) {
    if (cancelError_)
      return rt::fail(rt::status::fromErrorNumber(rt::err::DialogCancelled),
                      rt::standardText(rt::err::DialogCancelled));
    return rt::status::Ok;
  }
  fileName_ = std::move(*chosen);
  return rt::status::Ok;
}

}  // namespace filedialog
