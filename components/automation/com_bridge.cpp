#include "components/automation/com_bridge.h"

#ifdef _WIN32

#include <windows.h>
// windows.h first: the OLE headers rely on its types.
#include <objbase.h>
#include <oleauto.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace automation::com {

namespace {

// COM takes wide strings; on Windows wchar_t is UTF-16 like rt::Text.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
const wchar_t* wide(const Text& t) { return reinterpret_cast<const wchar_t*>(t.c_str()); }
Text fromWide(const wchar_t* s, std::size_t n) { return Text(reinterpret_cast<const char16_t*>(s), n); }

Text fromBstr(BSTR b) { return b ? fromWide(b, SysStringLen(b)) : Text(); }

// Whether this thread has entered COM through the bridge, and whether that
// entry is ours to leave (a thread that had already chosen another apartment
// keeps it, and is not left by us).
struct Apartment {
  bool entered = false;
  bool ours = false;
};
thread_local Apartment apartment;

Status ensureInitialised() {
  // The window thread is a single-threaded apartment.
  if (apartment.entered) return rt::status::Ok;
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr) && hr != RPC_E_CHANGED_MODE)
    return rt::fail(hr, u"COM could not be initialised.");
  apartment.entered = true;
  apartment.ours = SUCCEEDED(hr);  // S_OK, or S_FALSE when already in this apartment
  return rt::status::Ok;
}

// Holds a VARIANT and clears it on every path.
struct OwnedVariant {
  VARIANT v;
  OwnedVariant() { VariantInit(&v); }
  ~OwnedVariant() { VariantClear(&v); }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
};

class ComDispatch;

Status toVariant(const Variant& in, VARIANT& out);
Status fromVariant(const VARIANT& in, Variant& out);

// Every wrapper alive, so that the end of the program can release the
// objects they hold before COM goes.
struct Wrappers {
  std::mutex mutex;
  std::set<ComDispatch*> alive;
};
Wrappers& wrappers() {
  static Wrappers* w = new Wrappers;  // never destroyed: wrappers may outlive main
  return *w;
}

Status disconnected() {
  return rt::fail(RPC_E_DISCONNECTED,
                  u"The object invoked has disconnected from its clients: the program is ending.");
}

class ComDispatch : public Dispatch {
 public:
  explicit ComDispatch(IDispatch* d) : d_(d) {
    d_->AddRef();
    std::lock_guard lock(wrappers().mutex);
    wrappers().alive.insert(this);
  }
  ~ComDispatch() override {
    {
      std::lock_guard lock(wrappers().mutex);
      wrappers().alive.erase(this);
    }
    disconnect();
  }
  ComDispatch(const ComDispatch&) = delete;
  ComDispatch& operator=(const ComDispatch&) = delete;

  IDispatch* get() const { return d_; }

  // Releases the object now; later calls fail as disconnected.
  void disconnect() {
    if (IDispatch* d = std::exchange(d_, nullptr)) d->Release();
  }

  Status idOfName(std::u16string_view name, DispId& id) override {
    if (!d_) return disconnected();
    Text n(name);
    LPOLESTR names[] = {const_cast<LPOLESTR>(wide(n))};
    DISPID got = 0;
    const HRESULT hr = d_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &got);
    if (FAILED(hr))
      return rt::fail(hr, u"Object doesn't support this property or method: " + n);
    id = got;
    names_[got] = std::move(n);
    return rt::status::Ok;
  }

  Status invoke(DispId id, CallKind kind, const Args& args, Variant& result) override {
    if (!d_) return disconnected();
    const std::size_t count = args.positional.size() + args.named.size();
    std::vector<OwnedVariant> slots(count);
    // By-reference arguments: the callee writes into these, and the values
    // are copied back into the caller's Variants afterwards.
    std::vector<OwnedVariant> targets(count);
    std::vector<Variant*> refTargets(count, nullptr);
    std::vector<DISPID> namedIds;

    // DISPPARAMS holds the arguments in reverse order, the named ones first.
    std::size_t slot = 0;
    auto put = [&](const Variant& a) -> Status {
      VARIANT& v = slots[slot].v;
      if (a.isRef()) {
        Variant* target = const_cast<Variant*>(&a.deref());
        const Status s = toVariant(*target, targets[slot].v);
        if (rt::failed(s)) return s;
        v.vt = VT_BYREF | VT_VARIANT;
        v.pvarVal = &targets[slot].v;
        refTargets[slot] = target;
      } else {
        const Status s = toVariant(a, v);
        if (rt::failed(s)) return s;
      }
      ++slot;
      return rt::status::Ok;
    };
    if (!args.named.empty()) {
      auto it = names_.find(id);
      if (it == names_.end())
        return rt::fail(rt::status::InvalidArg,
                        u"Named arguments need the member to be looked up by name first.");
      std::vector<Text> names{it->second};
      for (const auto& n : args.named) names.push_back(n.name);
      std::vector<LPOLESTR> ptrs;
      for (auto& n : names) ptrs.push_back(const_cast<LPOLESTR>(wide(n)));
      std::vector<DISPID> ids(names.size());
      const HRESULT hr = d_->GetIDsOfNames(IID_NULL, ptrs.data(), static_cast<UINT>(ptrs.size()),
                                           LOCALE_USER_DEFAULT, ids.data());
      if (FAILED(hr)) return rt::fail(hr, u"A named argument is not known to " + it->second + u".");
      for (std::size_t i = args.named.size(); i-- > 0;) {
        const Status s = put(args.named[i].value);
        if (rt::failed(s)) return s;
        namedIds.push_back(ids[i + 1]);
      }
    }
    for (std::size_t i = args.positional.size(); i-- > 0;) {
      const Status s = put(args.positional[i]);
      if (rt::failed(s)) return s;
    }

    DISPPARAMS params{};
    params.cArgs = static_cast<UINT>(count);
    params.rgvarg = count ? &slots[0].v : nullptr;
    static_assert(sizeof(OwnedVariant) == sizeof(VARIANT));
    WORD flags = DISPATCH_METHOD;
    DISPID putId = DISPID_PROPERTYPUT;
    if (kind == CallKind::PropertyGet) {
      flags = DISPATCH_PROPERTYGET | DISPATCH_METHOD;
    } else if (kind == CallKind::PropertyPut) {
      flags = DISPATCH_PROPERTYPUT;
      params.cNamedArgs = 1;
      params.rgdispidNamedArgs = &putId;
    }
    if (!namedIds.empty()) {
      params.cNamedArgs = static_cast<UINT>(namedIds.size());
      params.rgdispidNamedArgs = namedIds.data();
    }

    OwnedVariant ret;
    EXCEPINFO info{};
    UINT badArg = 0;
    const HRESULT hr = d_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                  kind == CallKind::PropertyPut ? nullptr : &ret.v, &info, &badArg);
    for (std::size_t i = 0; i < count; ++i) {
      if (refTargets[i]) {
        Variant back;
        if (!rt::failed(fromVariant(targets[i].v, back))) *refTargets[i] = std::move(back);
      }
    }
    // A value that could not be copied back leaves the caller's as it was;
    // its description must not become the text of this call's outcome.
    rt::clearErrorInfo();
    if (hr == DISP_E_EXCEPTION) {
      if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
      Text text = fromBstr(info.bstrDescription);
      HRESULT code = info.scode ? info.scode
                                : rt::status::fromErrorNumber(static_cast<std::int32_t>(info.wCode));
      SysFreeString(info.bstrDescription);
      SysFreeString(info.bstrSource);
      SysFreeString(info.bstrHelpFile);
      return rt::fail(code, text);
    }
    if (FAILED(hr)) {
      Text text;
      if (hr == DISP_E_MEMBERNOTFOUND) text = u"Object doesn't support this property or method";
      return text.empty() ? hr : rt::fail(hr, text);
    }
    return fromVariant(ret.v, result);
  }

 private:
  IDispatch* d_;
  std::map<DISPID, Text> names_;
};

Status toVariant(const Variant& in, VARIANT& out) {
  VariantInit(&out);
  switch (in.type()) {
    case rt::VarType::kEmpty: out.vt = VT_EMPTY; return rt::status::Ok;
    case rt::VarType::kBool:
      out.vt = VT_BOOL;
      out.boolVal = *in.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
      return rt::status::Ok;
    case rt::VarType::kInt16: out.vt = VT_I2; out.iVal = *in.get<std::int16_t>(); return rt::status::Ok;
    case rt::VarType::kInt32: out.vt = VT_I4; out.lVal = *in.get<std::int32_t>(); return rt::status::Ok;
    case rt::VarType::kText: {
      const Text& t = *in.get<Text>();
      out.vt = VT_BSTR;
      out.bstrVal = SysAllocStringLen(wide(t), static_cast<UINT>(t.size()));
      return out.bstrVal || t.empty() ? rt::status::Ok
                                      : rt::fail(rt::status::OutOfMemory, u"Out of memory");
    }
    case rt::VarType::kObject: {
      const auto& o = *in.get<rt::ObjectRef>();
      out.vt = VT_DISPATCH;
      out.pdispVal = nullptr;
      if (!o) return rt::status::Ok;  // Nothing
      auto c = std::dynamic_pointer_cast<ComDispatch>(o);
      if (!c)
        return rt::fail(rt::status::TypeMismatch,
                        u"Only COM objects can be passed to a COM component.");
      if (!c->get()) return disconnected();
      out.pdispVal = c->get();
      out.pdispVal->AddRef();
      return rt::status::Ok;
    }
    case rt::VarType::kRef: return toVariant(in.deref(), out);
  }
  return rt::fail(rt::status::TypeMismatch, u"Type mismatch");
}

Status fromVariant(const VARIANT& in, Variant& out) {
  const VARIANT* v = &in;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  switch (v->vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR:  // an omitted optional value
      out = Variant();
      return rt::status::Ok;
    case VT_BOOL: out = Variant(v->boolVal != VARIANT_FALSE); return rt::status::Ok;
    case VT_I2: out = Variant(static_cast<std::int16_t>(v->iVal)); return rt::status::Ok;
    case VT_I4: out = Variant(static_cast<std::int32_t>(v->lVal)); return rt::status::Ok;
    case VT_BSTR: out = Variant(fromBstr(v->bstrVal)); return rt::status::Ok;
    case VT_DISPATCH:
      out = v->pdispVal ? Variant(rt::ObjectRef(std::make_shared<ComDispatch>(v->pdispVal)))
                        : Variant(rt::ObjectRef());
      return rt::status::Ok;
    default: {
      // Anything else arrives as text, the way a late-bound caller would show it.
      OwnedVariant text;
      const HRESULT hr = VariantChangeType(&text.v, const_cast<VARIANT*>(v), 0, VT_BSTR);
      if (FAILED(hr)) return rt::fail(hr, u"The component returned a value of an unsupported type.");
      out = Variant(fromBstr(text.v.bstrVal));
      return rt::status::Ok;
    }
  }
}

}  // namespace

Status createInstance(std::u16string_view id, rt::ObjectRef& created) {
  created.reset();
  if (const Status s = ensureInitialised(); rt::failed(s)) return s;
  const Text name(id);
  CLSID clsid{};
  const HRESULT found = name.starts_with(u"{") ? CLSIDFromString(wide(name), &clsid)
                                              : CLSIDFromProgID(wide(name), &clsid);
  if (FAILED(found))
    return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                    u"ActiveX component can't create object: \"" + name + u"\" is not registered.");
  IDispatch* dispatch = nullptr;
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                      IID_IDispatch, reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr) || !dispatch)
    return rt::fail(rt::status::fromErrorNumber(rt::err::CannotCreateObject),
                    u"ActiveX component can't create object: \"" + name + u"\".");
  created = std::make_shared<ComDispatch>(dispatch);
  dispatch->Release();
  return rt::status::Ok;
}

DispatchRef wrap(IDispatch* dispatch) {
  // A wrapper holds a COM object: the thread is in COM at least as long.
  rt::check(ensureInitialised());
  return std::make_shared<ComDispatch>(dispatch);
}

void shutdown() {
  {
    auto& w = wrappers();
    std::lock_guard lock(w.mutex);
    for (ComDispatch* d : w.alive) d->disconnect();
  }
  if (apartment.entered && apartment.ours) CoUninitialize();
  apartment = {};
}

}  // namespace automation::com

#endif
