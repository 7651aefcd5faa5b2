// Late binding: components reached by member name or by numeric member
// identifier, created by programmatic identifier (or class identifier) from a
// registry of implementations.
//
// A component implements Dispatch. Every call returns a status; a failing
// status leaves a description in the thread's error info (rt::setErrorInfo).
// The client functions below (get, set, call, ...) pass each status through
// rt::check(), so a failure raises the run-time error in the calling procedure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "runtime/error.h"
#include "runtime/variant.h"

namespace automation {

using rt::Status;
using rt::Text;
using rt::Variant;
using DispId = std::int32_t;

enum class CallKind { Method, PropertyGet, PropertyPut };

struct NamedArg {
  Text name;
  Variant value;
};

// The arguments of one call: positional ones in order, then named ones.
struct Args {
  std::vector<Variant> positional;
  std::vector<NamedArg> named;
};

// Member, argument and identifier names compare as automation compares them:
// without regard to ASCII case.
bool sameName(std::u16string_view a, std::u16string_view b);

class Dispatch : public rt::Object {
 public:
  // The member identifier of a member name (case-insensitive, as automation
  // names are). Unknown names return status::UnknownName.
  virtual Status idOfName(std::u16string_view name, DispId& id) = 0;
  // Calls member `id`. A property put passes its value as the one positional
  // argument. Unknown identifiers return status::MemberNotFound.
  virtual Status invoke(DispId id, CallKind kind, const Args& args, Variant& result) = 0;
};
using DispatchRef = std::shared_ptr<Dispatch>;

// --- Client side: each raises the run-time error on a failing status. -------

// The Dispatch a Variant holds: error 91 for an empty reference, 438 for an
// object without late binding.
DispatchRef dispatchOf(const Variant& object);
DispatchRef dispatchOf(const rt::ObjectRef& object);

Variant get(const rt::ObjectRef& object, std::u16string_view member);
void set(const rt::ObjectRef& object, std::u16string_view member, Variant value);
Variant call(const rt::ObjectRef& object, std::u16string_view member, Args args = {});

Variant getId(const rt::ObjectRef& object, DispId member);
void setId(const rt::ObjectRef& object, DispId member, Variant value);
Variant callId(const rt::ObjectRef& object, DispId member, Args args = {});

// --- Creation by identifier. ------------------------------------------------

using Factory = std::function<Status(rt::ObjectRef& created)>;

// Registers an implementation under a programmatic or class identifier
// (compared case-insensitively), replacing any earlier one. Returns a token
// that unregisters it again (tests use it to restore the previous state).
class Registration {
 public:
  Registration() = default;
  Registration(Text id, Factory previous, bool hadPrevious);
  Registration(Registration&&) noexcept;
  Registration& operator=(Registration&&) noexcept;
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  ~Registration();

 private:
  Text id_;
  Factory previous_;
  bool hadPrevious_ = false;
  bool active_ = false;
};
[[nodiscard]] Registration registerClass(Text id, Factory factory);

// Creates a new object. An unknown identifier is error 429; on Windows an
// identifier not registered here falls through to COM (see com_bridge.h).
rt::ObjectRef createObject(std::u16string_view id);

// Same, as a status for components that create other components.
Status createInstance(std::u16string_view id, rt::ObjectRef& created);

// --- The end of the program. -------------------------------------------------

// Call on the window thread after the window released what it holds, before
// leaving main. On Windows: every object reached through COM is released,
// also one still referred to somewhere (later calls on it fail as
// disconnected), and only then is COM left, so that no release reaches a
// component after COM has gone. Elsewhere there is nothing to do.
void shutdown();

}  // namespace automation
