#include "components/automation/member_table.h"

#include <algorithm>

namespace automation {

namespace {
Status memberNotFound(const Text& what) {
  return rt::fail(rt::status::MemberNotFound,
                  u"Object doesn't support this property or method: " + what);
}
}  // namespace

void MemberTable::property(DispId id, Text name, Getter get, Putter put) {
  members_.push_back({id, std::move(name), std::move(get), std::move(put), {}});
}

void MemberTable::method(DispId id, Text name, Method call) {
  members_.push_back({id, std::move(name), {}, {}, std::move(call)});
}

MemberTable::Member* MemberTable::find(DispId id) {
  for (auto& m : members_)
    if (m.id == id) return &m;
  return nullptr;
}

Status MemberTable::idOfName(std::u16string_view name, DispId& id) {
  for (const auto& m : members_) {
    if (sameName(m.name, name)) {
      id = m.id;
      return rt::status::Ok;
    }
  }
  return rt::fail(rt::status::UnknownName,
                  u"Object doesn't support this property or method: " + Text(name));
}

Status MemberTable::invoke(DispId id, CallKind kind, const Args& args, Variant& result) {
  Member* m = find(id);
  const Text label = m ? m->name : u"member " + rt::fromUtf8(std::to_string(id));
  if (!m) return memberNotFound(label);
  switch (kind) {
    case CallKind::PropertyGet:
      // A method without arguments may be called with property-get syntax.
      if (m->get) return m->get(result);
      if (m->call) return m->call(args, result);
      return memberNotFound(label);
    case CallKind::PropertyPut:
      if (!m->put) return memberNotFound(label);
      if (args.positional.size() != 1 || !args.named.empty())
        return rt::fail(rt::status::BadParamCount, u"Invalid number of parameters: " + label);
      return m->put(args.positional.front());
    case CallKind::Method:
      if (m->call) return m->call(args, result);
      if (m->get && args.positional.empty() && args.named.empty()) return m->get(result);
      return memberNotFound(label);
  }
  return memberNotFound(label);
}

const Variant* namedArg(const Args& args, std::u16string_view name) {
  for (const auto& a : args.named)
    if (sameName(a.name, name)) return &a.value;
  return nullptr;
}

}  // namespace automation
