#include <gtest/gtest.h>

#include "components/automation/automation.h"
#include "components/automation/member_table.h"

using namespace automation;
using rt::RuntimeError;

namespace {

// A component with one property, one method taking named arguments, and a
// method that always fails with a description.
class Sample : public MemberTable {
 public:
  Variant visible = false;
  Args lastOpen;

  Sample() {
    property(
        1, u"Visible", [this](Variant& r) { r = visible; return rt::status::Ok; },
        [this](const Variant& v) { visible = v; return rt::status::Ok; });
    method(2, u"Open", [this](const Args& a, Variant& r) {
      lastOpen = a;
      r = Variant(Text(u"opened"));
      return rt::status::Ok;
    });
    method(3, u"Broken", [](const Args&, Variant&) {
      return rt::fail(rt::status::Fail, u"It broke.");
    });
  }
};

int errorNumber(const std::function<void()>& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.number();
  }
  return 0;
}

}  // namespace

TEST(Automation, CreatesByIdentifierCaseInsensitivelyAndRestoresRegistry) {
  {
    auto reg = registerClass(u"Sample.Application", [](rt::ObjectRef& out) {
      out = std::make_shared<Sample>();
      return rt::status::Ok;
    });
    auto a = createObject(u"sample.application");
    auto b = createObject(u"Sample.Application");
    EXPECT_NE(a, nullptr);
    EXPECT_NE(a, b) << "each creation gives a fresh object";
  }
  EXPECT_EQ(errorNumber([] { createObject(u"Sample.Application"); }), 429);
}

TEST(Automation, UnknownIdentifierIsError429WithItsName) {
  try {
    createObject(u"No.Such.Thing");
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), 429);
    EXPECT_NE(e.text().find(u"No.Such.Thing"), Text::npos);
  }
}

TEST(Automation, FactoryFailureKeepsItsDescription) {
  auto reg = registerClass(u"Failing.Thing", [](rt::ObjectRef&) {
    return rt::fail(rt::status::fromErrorNumber(429), u"The office is not installed.");
  });
  try {
    createObject(u"Failing.Thing");
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), 429);
    EXPECT_EQ(e.text(), u"The office is not installed.");
  }
}

TEST(Automation, GetSetAndCallByNameAndById) {
  auto s = std::make_shared<Sample>();
  set(s, u"VISIBLE", true);
  EXPECT_EQ(get(s, u"visible"), Variant(true));
  setId(s, 1, false);
  EXPECT_EQ(getId(s, 1), Variant(false));

  Variant empty;
  Args args;
  args.named.push_back({u"FileName", Variant(Text(u"/tmp/a b.ppt"))});
  args.named.push_back({u"ReadOnly", Variant::byRef(empty)});
  EXPECT_EQ(call(s, u"Open", args).toText(), u"opened");
  ASSERT_EQ(s->lastOpen.named.size(), 2u);
  EXPECT_EQ(namedArg(s->lastOpen, u"filename")->toText(), u"/tmp/a b.ppt");
  const Variant* ro = namedArg(s->lastOpen, u"ReadOnly");
  ASSERT_NE(ro, nullptr);
  EXPECT_TRUE(ro->isRef());
  EXPECT_TRUE(ro->deref().isEmpty());
  EXPECT_EQ(namedArg(s->lastOpen, u"Other"), nullptr);
}

TEST(Automation, FailuresRaiseTheRightRunTimeErrors) {
  auto s = std::make_shared<Sample>();
  EXPECT_EQ(errorNumber([&] { get(s, u"NoSuchMember"); }), 438);
  EXPECT_EQ(errorNumber([&] { callId(s, 99); }), 438);
  EXPECT_EQ(errorNumber([&] { set(s, u"Open", 1); }), 438) << "a method cannot be set";
  EXPECT_EQ(errorNumber([&] { call(nullptr, u"Quit"); }), 91);
  EXPECT_EQ(errorNumber([&] { call(std::make_shared<rt::Object>(), u"Quit"); }), 438);
  try {
    call(s, u"Broken");
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), static_cast<int>(rt::status::Fail));
    EXPECT_EQ(e.text(), u"It broke.");
  }
}
