#include "components/automation/automation.h"

#include <algorithm>
#include <map>
#include <mutex>

#ifdef _WIN32
#include "components/automation/com_bridge.h"
#endif

namespace automation {

namespace {

char16_t lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// The registry's key: the identifier in lower case.
Text fold(std::u16string_view s) {
  Text out(s);
  for (auto& c : out) c = lower(c);
  return out;
}

struct Registry {
  std::mutex mutex;
  std::map<Text, Factory> factories;
};

Registry& registry() {
  static Registry r;
  return r;
}

DispId lookUp(const DispatchRef& d, std::u16string_view member) {
  DispId id = 0;
  rt::check(d->idOfName(member, id));
  return id;
}

Variant invokeChecked(const DispatchRef& d, DispId id, CallKind kind, const Args& args) {
  Variant result;
  rt::check(d->invoke(id, kind, args, result));
  return result;
}

Args putArgs(Variant value) {
  Args a;
  a.positional.push_back(std::move(value));
  return a;
}

}  // namespace

bool sameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

DispatchRef dispatchOf(const rt::ObjectRef& object) {
  if (!object) rt::raiseError(rt::err::ObjectRequired);
  auto d = std::dynamic_pointer_cast<Dispatch>(object);
  if (!d) rt::raiseError(rt::err::MemberNotSupported);
  return d;
}

DispatchRef dispatchOf(const Variant& object) { return dispatchOf(object.toObject()); }

Variant get(const rt::ObjectRef& object, std::u16string_view member) {
  auto d = dispatchOf(object);
  return invokeChecked(d, lookUp(d, member), CallKind::PropertyGet, {});
}

void set(const rt::ObjectRef& object, std::u16string_view member, Variant value) {
  auto d = dispatchOf(object);
  invokeChecked(d, lookUp(d, member), CallKind::PropertyPut, putArgs(std::move(value)));
}

Variant call(const rt::ObjectRef& object, std::u16string_view member, Args args) {
  auto d = dispatchOf(object);
  return invokeChecked(d, lookUp(d, member), CallKind::Method, args);
}

Variant getId(const rt::ObjectRef& object, DispId member) {
  return invokeChecked(dispatchOf(object), member, CallKind::PropertyGet, {});
}

void setId(const rt::ObjectRef& object, DispId member, Variant value) {
  invokeChecked(dispatchOf(object), member, CallKind::PropertyPut, putArgs(std::move(value)));
}

Variant callId(const rt::ObjectRef& object, DispId member, Args args) {
  return invokeChecked(dispatchOf(object), member, CallKind::Method, args);
}

Registration::Registration(Text id, Factory previous, bool hadPrevious)
    : id_(std::move(id)), previous_(std::move(previous)), hadPrevious_(hadPrevious), active_(true) {}

Registration::Registration(Registration&& o) noexcept
    : id_(std::move(o.id_)),
      previous_(std::move(o.previous_)),
      hadPrevious_(o.hadPrevious_),
      active_(o.active_) {
  o.active_ = false;
}

Registration& Registration::operator=(Registration&& o) noexcept {
  if (this != &o) {
    this->~Registration();
    new (this) Registration(std::move(o));
  }
  return *this;
}

Registration::~Registration() {
  if (!active_) return;
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  if (hadPrevious_)
    r.factories[id_] = std::move(previous_);
  else
    r.factories.erase(id_);
}

Registration registerClass(Text id, Factory factory) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  Text key = fold(id);
  auto it = r.factories.find(key);
  const bool had = it != r.factories.end();
  Factory previous = had ? std::move(it->second) : Factory{};
  r.factories[key] = std::move(factory);
  return Registration(std::move(key), std::move(previous), had);
}

Status createInstance(std::u16string_view id, rt::ObjectRef& created) {
  created.reset();
  Factory factory;
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.factories.find(fold(id));
    if (it != r.factories.end()) factory = it->second;
  }
  if (factory) {
    const Status s = factory(created);
    if (!rt::failed(s) && !created)
      return rt::fail(rt::status::Fail, u"The component returned no object.");
    return s;
  }
#ifdef _WIN32
  return com::createInstance(id, created);
#else
  return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                  u"ActiveX component can't create object: no component is registered as \"" +
                      Text(id) + u"\".");
#endif
}

rt::ObjectRef createObject(std::u16string_view id) {
  rt::ObjectRef created;
  rt::check(createInstance(id, created));
  return created;
}

void shutdown() {
#ifdef _WIN32
  com::shutdown();
#endif
}

}  // namespace automation
