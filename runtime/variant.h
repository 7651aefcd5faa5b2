// Variant: the value that crosses an automation call. Empty, boolean, 16- and
// 32-bit integers, text, an object reference, or a reference to another
// Variant (what a by-reference argument passes).
#pragma once

#include <cstdint>
#include <memory>
#include <variant>

#include "runtime/text.h"

namespace rt {

// Base of every component object a Variant can refer to. Objects are shared by
// reference count: a std::shared_ptr is one reference.
class Object {
 public:
  virtual ~Object() = default;
};
using ObjectRef = std::shared_ptr<Object>;

struct Empty {
  friend bool operator==(Empty, Empty) { return true; }
};

class Variant;
// A by-reference argument: the callee reads (and may write) the caller's Variant.
struct VariantRef {
  Variant* target;
  friend bool operator==(VariantRef a, VariantRef b) { return a.target == b.target; }
};

enum class VarType { kEmpty, kBool, kInt16, kInt32, kText, kObject, kRef };

class Variant {
 public:
  Variant() = default;
  Variant(Empty) {}
  Variant(bool v) : v_(v) {}
  Variant(std::int16_t v) : v_(v) {}
  Variant(std::int32_t v) : v_(v) {}
  Variant(Text v) : v_(std::move(v)) {}
  Variant(const char16_t* v) : v_(Text(v)) {}
  Variant(ObjectRef v) : v_(std::move(v)) {}
  template <class T>
    requires std::is_base_of_v<Object, T>
  Variant(std::shared_ptr<T> v) : v_(ObjectRef(std::move(v))) {}
  static Variant byRef(Variant& target) { return Variant(VariantRef{&target}); }

  VarType type() const { return static_cast<VarType>(v_.index()); }
  bool isEmpty() const { return type() == VarType::kEmpty; }
  bool isRef() const { return type() == VarType::kRef; }

  // The value itself, following a by-reference argument to its target.
  const Variant& deref() const;

  // Typed access to the exact type; nullptr when the Variant holds another.
  template <class T>
  const T* get() const {
    return std::get_if<T>(&deref().v_);
  }

  // Conversions as assignments to typed variables do them: they raise a
  // run-time error (overflow 6, type mismatch) when the value does not fit.
  bool toBool() const;
  std::int16_t toInt16() const;
  std::int32_t toInt32() const;
  Text toText() const;
  ObjectRef toObject() const;  // the held object; nullptr for Empty

  friend bool operator==(const Variant& a, const Variant& b) { return a.v_ == b.v_; }

 private:
  explicit Variant(VariantRef r) : v_(r) {}
  std::variant<Empty, bool, std::int16_t, std::int32_t, Text, ObjectRef, VariantRef> v_;
};

// Converts a 32-bit value to a 16-bit one; raises overflow (6) outside its range.
std::int16_t toInt16(std::int64_t v);

}  // namespace rt
