#include "runtime/variant.h"

#include <limits>
#include <string>

#include "runtime/error.h"

namespace rt {

namespace {
constexpr std::int32_t kTypeMismatch = 13;

[[noreturn]] void typeMismatch() { raiseError(kTypeMismatch, u"Type mismatch"); }

std::int64_t toInteger(const Variant& v) {
  const Variant& d = v.deref();
  if (auto b = d.get<bool>()) return *b ? -1 : 0;  // a true boolean is -1 as a number
  if (auto i = d.get<std::int16_t>()) return *i;
  if (auto i = d.get<std::int32_t>()) return *i;
  if (d.isEmpty()) return 0;
  if (auto t = d.get<Text>()) {
    const std::string s = toUtf8(*t);
    try {
      std::size_t used = 0;
      const long long n = std::stoll(s, &used);
      if (used == s.size()) return n;
    } catch (const std::out_of_range&) {
      raiseError(err::Overflow);
    } catch (const std::invalid_argument&) {
    }
  }
  typeMismatch();
}
}  // namespace

const Variant& Variant::deref() const {
  const Variant* v = this;
  while (auto r = std::get_if<VariantRef>(&v->v_)) v = r->target;
  return *v;
}

bool Variant::toBool() const { return toInteger(*this) != 0; }

std::int16_t toInt16(std::int64_t v) {
  if (v < std::numeric_limits<std::int16_t>::min() || v > std::numeric_limits<std::int16_t>::max())
    raiseError(err::Overflow);
  return static_cast<std::int16_t>(v);
}

std::int16_t Variant::toInt16() const { return rt::toInt16(toInteger(*this)); }

std::int32_t Variant::toInt32() const {
  const std::int64_t v = toInteger(*this);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    raiseError(err::Overflow);
  return static_cast<std::int32_t>(v);
}

Text Variant::toText() const {
  const Variant& d = deref();
  if (d.isEmpty()) return {};
  if (auto t = d.get<Text>()) return *t;
  if (auto b = d.get<bool>()) return *b ? u"True" : u"False";
  if (auto i = d.get<std::int16_t>()) return fromUtf8(std::to_string(*i));
  if (auto i = d.get<std::int32_t>()) return fromUtf8(std::to_string(*i));
  typeMismatch();
}

ObjectRef Variant::toObject() const {
  const Variant& d = deref();
  if (d.isEmpty()) return nullptr;
  if (auto o = d.get<ObjectRef>()) return *o;
  typeMismatch();
}

}  // namespace rt
