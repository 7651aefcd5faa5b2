// A Dispatch built from a table of members, for components written in C++:
// each member has an identifier, a name and handlers for the kinds of call it
// supports. A call of a kind the member lacks is "member not found".
#pragma once

#include <functional>
#include <vector>

#include "components/automation/automation.h"

namespace automation {

class MemberTable : public Dispatch {
 public:
  using Getter = std::function<Status(Variant& result)>;
  using Putter = std::function<Status(const Variant& value)>;
  using Method = std::function<Status(const Args& args, Variant& result)>;

  Status idOfName(std::u16string_view name, DispId& id) override;
  Status invoke(DispId id, CallKind kind, const Args& args, Variant& result) override;

 protected:
  void property(DispId id, Text name, Getter get, Putter put = {});
  void method(DispId id, Text name, Method call);

 private:
  struct Member {
    DispId id;
    Text name;
    Getter get;
    Putter put;
    Method call;
  };
  Member* find(DispId id);
  std::vector<Member> members_;
};

// Finds a named argument by name (case-insensitive); nullptr when absent.
const Variant* namedArg(const Args& args, std::u16string_view name);

}  // namespace automation
