#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "runtime/ending.h"
#include "runtime/error.h"
#include "runtime/handling.h"
#include "runtime/text.h"
#include "runtime/variant.h"

using namespace rt;

TEST(Text, RoundTripsChineseAndAstralCharacters) {
  const std::string utf8 = "Vardel课件 🎬 ok";
  const Text t = fromUtf8(utf8);
  EXPECT_EQ(t, u"Vardel课件 🎬 ok");
  EXPECT_EQ(toUtf8(t), utf8);
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
  EXPECT_EQ(fromUtf8("a\xff" "b"), u"a\uFFFDb");
  EXPECT_EQ(fromUtf8("\xe4\xb8"), u"\uFFFD\uFFFD");  // truncated sequence
  EXPECT_EQ(fromUtf8("\xc0\x80"), u"\uFFFD");        // overlong encoding
  const char16_t lone[] = {u'x', 0xD800, u'y', 0};
  EXPECT_EQ(toUtf8(lone), "x\xef\xbf\xbdy");
}

TEST(Check, FailingStatusCarriesComponentDescription) {
  setErrorInfo(u"The file is locked.");
  try {
    check(status::Fail);
    FAIL() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), static_cast<std::int32_t>(0x80004005));
    EXPECT_EQ(e.text(), u"The file is locked.");
    EXPECT_NE(describe(e).find(u"0x80004005"), Text::npos);
  }
  // The description was consumed: the next failure without one gets the standard text.
  try {
    check(status::Fail);
    FAIL() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.text(), u"Automation error");
  }
}

TEST(Check, StatusesMapToTheirErrorNumbers) {
  auto numberOf = [](Status s) {
    try {
      check(s);
    } catch (const RuntimeError& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(numberOf(status::fromErrorNumber(err::DialogCancelled)), 32755);
  EXPECT_EQ(numberOf(status::UnknownName), 438);
  EXPECT_EQ(numberOf(status::MemberNotFound), 438);
  EXPECT_EQ(numberOf(status::ClassNotRegistered), 429);
  EXPECT_EQ(numberOf(status::fromErrorNumber(err::Overflow)), 6);
  EXPECT_EQ(check(status::False), status::False);  // success codes pass
}

TEST(Check, SuccessClearsStaleDescription) {
  setErrorInfo(u"stale");
  check(status::Ok);
  try {
    check(status::Fail);
    FAIL() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.text(), u"Automation error");
  }
}

TEST(Variant, SixteenBitConversionOverflowsOutsideItsRange) {
  EXPECT_EQ(Variant(std::int32_t{32767}).toInt16(), 32767);
  EXPECT_EQ(Variant(std::int32_t{-32768}).toInt16(), -32768);
  for (std::int32_t v : {32768, -32769}) {
    try {
      Variant(v).toInt16();
      FAIL() << v;
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.number(), err::Overflow);
    }
  }
}

TEST(Variant, ByReferenceSeesTheTargetsCurrentValue) {
  Variant target;
  const Variant ref = Variant::byRef(target);
  EXPECT_TRUE(ref.isRef());
  EXPECT_TRUE(ref.deref().isEmpty());
  target = Variant(Text(u"now text"));
  EXPECT_EQ(ref.toText(), u"now text");
  EXPECT_EQ(ref.deref().type(), VarType::kText);
}

TEST(Variant, ConversionsBetweenKinds) {
  EXPECT_EQ(Variant(true).toInt32(), -1);
  EXPECT_EQ(Variant(Text(u"42")).toInt16(), 42);
  EXPECT_EQ(Variant(std::int16_t{7}).toText(), u"7");
  EXPECT_EQ(Variant().toText(), u"");
  EXPECT_EQ(Variant().toObject(), nullptr);
  EXPECT_THROW(Variant(Text(u"4x")).toInt32(), RuntimeError);
  EXPECT_THROW(Variant(Text(u"x")).toObject(), RuntimeError);
  auto obj = std::make_shared<Object>();
  EXPECT_EQ(Variant(obj).toObject(), obj);
}

TEST(Handling, ResumeNextSkipsOnlyTheFailingStatement) {
  int ran = 0;
  resumeNext([&] { raiseError(err::ObjectRequired); });
  resumeNext([&] { ++ran; });
  EXPECT_EQ(ran, 1);
}

TEST(Ending, StepsThatFinishInTimeReturnTheStatus) {
  int ran = 0;
  EXPECT_EQ(endWithin(std::chrono::seconds(5), 3, [&] { ++ran; }), 3);
  EXPECT_EQ(ran, 1);
  // A step that throws is abandoned, not let out of main.
  EXPECT_EQ(endWithin(std::chrono::seconds(5), 0, [] { raiseError(err::ObjectRequired); }), 0);
}

#if GTEST_HAS_DEATH_TEST
// Steps that hang (a component that stopped answering) end the process at
// the limit with the status, without the destructors and exit handlers that
// would run under the threads still inside the component's libraries.
TEST(Ending, StepsThatHangEndTheProcessWithTheStatusAndNoExitHandlers) {
  EXPECT_EXIT(
      {
        std::atexit([] { std::fputs("exit handlers ran\n", stderr); });
        endWithin(std::chrono::milliseconds(100), 7, [] {
          for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
        });
        std::fputs("the steps returned\n", stderr);
        std::exit(8);
      },
      ::testing::ExitedWithCode(7), ::testing::Not(::testing::HasSubstr("ran")));
}
#endif
