// The COM bridge against an in-process IDispatch that records what arrives:
// DISPPARAMS order, named arguments, by-reference empties, property puts,
// BSTR text and EXCEPINFO failures.
#include <windows.h>
// windows.h first: the OLE headers rely on its types.
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "components/automation/com_bridge.h"

using namespace automation;

namespace {

std::u16string text(BSTR b) {
  return std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b));
}

// COM interfaces have no virtual destructor by design: objects die through Release().
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class RecordingDispatch final : public IDispatch {
 public:
  RecordingDispatch() = default;
  RecordingDispatch(const RecordingDispatch&) = delete;
  RecordingDispatch& operator=(const RecordingDispatch&) = delete;
  virtual ~RecordingDispatch() = default;

  struct Call {
    DISPID id;
    WORD flags;
    std::vector<VARTYPE> types;          // rgvarg order as received
    std::vector<std::u16string> texts;   // BSTR arguments, rgvarg order
    std::vector<DISPID> named;
    bool byRefEmpty = false;
  };
  std::vector<Call> calls;
  ULONG refs = 1;
  bool lastReleaseInCom = false;  // whether COM was still there at the last Release

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    lastReleaseInCom = SUCCEEDED(CoGetApartmentType(&type, &qualifier));
    return --refs;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT n, LCID,
                                          DISPID* ids) override {
    for (UINT i = 0; i < n; ++i) {
      const std::wstring name(names[i]);
      if (name == L"Open") ids[i] = 10;
      else if (name == L"Caption") ids[i] = 11;
      else if (name == L"FileName") ids[i] = 0;
      else if (name == L"ReadOnly") ids[i] = 1;
      else if (name == L"Quit") ids[i] = 12;
      else return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p,
                                   VARIANT* result, EXCEPINFO* info, UINT*) override {
    Call c{id, flags, {}, {}, {}};
    for (UINT i = 0; i < p->cArgs; ++i) {
      c.types.push_back(p->rgvarg[i].vt);
      if (p->rgvarg[i].vt == VT_BSTR) c.texts.push_back(text(p->rgvarg[i].bstrVal));
      if (p->rgvarg[i].vt == (VT_BYREF | VT_VARIANT))
        c.byRefEmpty = p->rgvarg[i].pvarVal->vt == VT_EMPTY;
    }
    for (UINT i = 0; i < p->cNamedArgs; ++i) c.named.push_back(p->rgdispidNamedArgs[i]);
    calls.push_back(c);
    if (id == 12) {
      info->scode = E_FAIL;
      info->bstrDescription = SysAllocString(L"The document has unsaved changes.");
      return DISP_E_EXCEPTION;
    }
    if (result) {
      result->vt = VT_BSTR;
      result->bstrVal = SysAllocString(L"\u8bfe\u4ef6");
    }
    return S_OK;
  }
};

}  // namespace

TEST(ComBridge, NamedArgumentsTravelReversedWithTheirIds) {
  RecordingDispatch fake;
  {
    auto d = com::wrap(&fake);
    Variant empty;
    Args args;
    args.named.push_back({u"FileName", Variant(Text(u"C:\\课件\\a.ppt"))});
    args.named.push_back({u"ReadOnly", Variant::byRef(empty)});
    auto result = call(d, u"Open", args);
    EXPECT_EQ(result.toText(), u"课件");
  }
  ASSERT_EQ(fake.calls.size(), 1u);
  const auto& c = fake.calls[0];
  EXPECT_EQ(c.id, 10);
  EXPECT_EQ(c.flags, DISPATCH_METHOD);
  // rgvarg is in reverse order: ReadOnly first, then FileName.
  ASSERT_EQ(c.types.size(), 2u);
  EXPECT_EQ(c.types[0], VT_BYREF | VT_VARIANT);
  EXPECT_TRUE(c.byRefEmpty);
  EXPECT_EQ(c.types[1], VT_BSTR);
  EXPECT_EQ(c.texts.at(0), u"C:\\课件\\a.ppt");
  EXPECT_EQ(c.named, (std::vector<DISPID>{1, 0}));
  EXPECT_EQ(fake.refs, 1u) << "the wrapper released its reference";
}

TEST(ComBridge, PropertyPutUsesThePropertyPutNamedArgument) {
  RecordingDispatch fake;
  set(com::wrap(&fake), u"Caption", Variant(Text(u"Vardel课件快速制作系统")));
  ASSERT_EQ(fake.calls.size(), 1u);
  EXPECT_EQ(fake.calls[0].flags, DISPATCH_PROPERTYPUT);
  EXPECT_EQ(fake.calls[0].named, (std::vector<DISPID>{DISPID_PROPERTYPUT}));
  EXPECT_EQ(fake.calls[0].texts.at(0), u"Vardel课件快速制作系统");
}

TEST(ComBridge, ExceptionsAndUnknownNamesBecomeRunTimeErrors) {
  RecordingDispatch fake;
  auto d = com::wrap(&fake);
  try {
    call(d, u"Quit");
    FAIL();
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number(), static_cast<std::int32_t>(E_FAIL));
    EXPECT_EQ(e.text(), u"The document has unsaved changes.");
  }
  try {
    get(d, u"Nonsense");
    FAIL();
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number(), rt::err::MemberNotSupported);
  }
}

TEST(ComBridge, UnregisteredProgIdIsError429) {
  try {
    createObject(u"Vardel.NoSuchComponent.Test");
    FAIL();
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number(), rt::err::CannotCreateObject);
  }
}

// The end of the program: an object the program still refers to is released
// while COM is there, COM is left after it, and the reference left over
// fails cleanly instead of reaching a component after COM has gone.
TEST(ComBridge, ShutdownReleasesWhatIsStillHeldBeforeLeavingCom) {
  RecordingDispatch fake;
  auto held = com::wrap(&fake);
  ASSERT_EQ(fake.refs, 2u);
  automation::shutdown();
  EXPECT_EQ(fake.refs, 1u) << "not released at the end";
  EXPECT_TRUE(fake.lastReleaseInCom) << "released after COM was left";
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  EXPECT_EQ(CoGetApartmentType(&type, &qualifier), CO_E_NOTINITIALIZED) << "COM was not left";
  try {
    get(held, u"Caption");
    FAIL() << "a call reached the released object";
  } catch (const rt::RuntimeError& e) {
    EXPECT_EQ(e.number(), static_cast<std::int32_t>(RPC_E_DISCONNECTED));
  }
  held.reset();
  EXPECT_EQ(fake.refs, 1u) << "released twice";
}
