#include "components/automation/testing/call_log.h"

namespace automation::testing {

std::string describe(const Variant& v) {
  if (v.isRef()) return "ref(" + describe(v.deref()) + ")";
  switch (v.type()) {
    case rt::VarType::kEmpty: return "empty";
    case rt::VarType::kBool: return *v.get<bool>() ? "bool:true" : "bool:false";
    case rt::VarType::kInt16: return "i16:" + std::to_string(*v.get<std::int16_t>());
    case rt::VarType::kInt32: return "i32:" + std::to_string(*v.get<std::int32_t>());
    case rt::VarType::kText: return "text:" + rt::toUtf8(*v.get<Text>());
    case rt::VarType::kObject: return *v.get<rt::ObjectRef>() ? "object" : "nothing";
    case rt::VarType::kRef: break;
  }
  return "?";
}

std::string describeCall(std::string_view member, const Args& args) {
  std::string s(member);
  s += "(";
  bool first = true;
  for (const auto& p : args.positional) {
    s += (first ? "" : ", ") + describe(p);
    first = false;
  }
  for (const auto& n : args.named) {
    s += (first ? "" : ", ") + rt::toUtf8(n.name) + "=" + describe(n.value);
    first = false;
  }
  return s + ")";
}

}  // namespace automation::testing
