#include "runtime/error.h"

#include <cstdio>

namespace rt {

namespace {
thread_local Text tErrorInfo;
thread_local bool tHasErrorInfo = false;
}  // namespace

void setErrorInfo(Text description) {
  tErrorInfo = std::move(description);
  tHasErrorInfo = true;
}

Text takeErrorInfo() {
  Text t = std::move(tErrorInfo);
  tErrorInfo.clear();
  tHasErrorInfo = false;
  return t;
}

void clearErrorInfo() {
  tErrorInfo.clear();
  tHasErrorInfo = false;
}

Status fail(Status s, Text description) {
  setErrorInfo(std::move(description));
  return s;
}

RuntimeError::RuntimeError(std::int32_t number, Text text)
    : number_(number), text_(std::move(text)), utf8_(toUtf8(text_)) {}

Text standardText(std::int32_t number) {
  switch (number) {
    case err::InvalidCall: return u"Invalid procedure call or argument";
    case err::Overflow: return u"Overflow";
    case err::OutOfMemory: return u"Out of memory";
    case err::InternalError: return u"Internal error";
    case err::ObjectRequired: return u"Object variable or With block variable not set";
    case err::CannotCreateObject: return u"ActiveX component can't create object";
    case err::MemberNotSupported: return u"Object doesn't support this property or method";
    case err::DialogCancelled: return u"Cancel was selected.";
    default: return u"Automation error";
  }
}

void raiseError(std::int32_t number) { throw RuntimeError(number, standardText(number)); }

void raiseError(std::int32_t number, Text text) { throw RuntimeError(number, std::move(text)); }

std::int32_t errorNumberOf(Status s) {
  const auto u = static_cast<std::uint32_t>(s);
  if ((u & 0xFFFF0000u) == 0x800A0000u) return static_cast<std::int32_t>(u & 0xFFFFu);
  if (s == status::MemberNotFound || s == status::UnknownName) return err::MemberNotSupported;
  if (s == status::ClassNotRegistered) return err::CannotCreateObject;
  return s;
}

Status check(Status s) {
  if (!failed(s)) {
    clearErrorInfo();
    return s;
  }
  const bool had = tHasErrorInfo;
  Text text = takeErrorInfo();
  const std::int32_t number = errorNumberOf(s);
  if (!had || text.empty()) text = standardText(number);
  throw RuntimeError(number, std::move(text));
}

Text describe(const RuntimeError& e) {
  Text number = fromUtf8(std::to_string(e.number()));
  if (e.number() < 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(e.number()));
    number += u" (" + fromUtf8(hex) + u")";
  }
  return u"Run-time error " + number + u":\n\n" + e.text();
}

}  // namespace rt
