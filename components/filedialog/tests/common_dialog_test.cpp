// The dialog's members against a recording fake of the window system's dialog.
#include <gtest/gtest.h>

#include <deque>

#include "components/automation/automation.h"
#include "components/filedialog/common_dialog.h"
#include "components/filedialog/commondialog.h"

namespace filedialog {
namespace {

using automation::callId;
using automation::getId;
using automation::setId;
using rt::Text;

// Records every dialog it is asked to show and answers from a script:
// a path confirms, nothing cancels.
class RecordingBackend : public DialogBackend {
 public:
  std::vector<OpenFileRequest> shown;
  std::deque<std::optional<Text>> answers;

  std::optional<Text> showOpen(const OpenFileRequest& request) override {
    shown.push_back(request);
    if (answers.empty()) return std::nullopt;
    auto a = answers.front();
    answers.pop_front();
    return a;
  }
};

class CommonDialogTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingBackend> backend = std::make_shared<RecordingBackend>();
  rt::ObjectRef dialog = std::make_shared<CommonDialog>(backend);

  // The settings the recorder's chooser makes, in its order.
  void setUpAsChooser() {
    setId(dialog, member::CancelError, true);
    setId(dialog, member::Flags, std::int32_t{4});
    setId(dialog, member::Filter, u"屏幕视频文件(*.WMV)|*.WMV");
    setId(dialog, member::Unnamed23, std::int16_t{2});
  }

  int errorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const rt::RuntimeError& e) {
      return e.number();
    }
    return 0;
  }
};

TEST_F(CommonDialogTest, ConfirmShowsOneOpenDialogAndReturnsThePathUnchanged) {
  const Text path = u"/home/用户/My Videos/录像 1.wmv.part";
  backend->answers.push_back(path);
  setUpAsChooser();
  callId(dialog, member::ShowOpen);

  OpenFileRequest expected;
  expected.filters = {{u"屏幕视频文件(*.WMV)", {u"*.WMV"}}};
  expected.readOnlyOption = false;  // flag 4
  expected.fileMustExist = false;   // never told the file must exist
  ASSERT_EQ(backend->shown.size(), 1u);
  EXPECT_EQ(backend->shown[0], expected);
  EXPECT_EQ(getId(dialog, member::FileName).toText(), path);
}

TEST_F(CommonDialogTest, CancelRaisesErrorOnlyWhenCancelErrorIsSet) {
  backend->answers = {u"/tmp/first.wmv", std::nullopt, std::nullopt};
  setUpAsChooser();
  callId(dialog, member::ShowOpen);
  EXPECT_EQ(errorOf([&] { callId(dialog, member::ShowOpen); }), rt::err::DialogCancelled);
  EXPECT_EQ(getId(dialog, member::FileName).toText(), u"/tmp/first.wmv");

  setId(dialog, member::CancelError, false);
  EXPECT_EQ(errorOf([&] { callId(dialog, member::ShowOpen); }), 0);
  EXPECT_EQ(getId(dialog, member::FileName).toText(), u"/tmp/first.wmv");
  // The earlier choice is offered again as the dialog's preselected name.
  EXPECT_EQ(backend->shown.back().initialFileName, u"/tmp/first.wmv");
}

TEST_F(CommonDialogTest, FlagsDecideReadOnlyOptionAndExistingFilesOnly) {
  setId(dialog, member::Flags, std::int32_t{0});
  callId(dialog, member::ShowOpen);
  setId(dialog, member::Flags, std::int32_t{0x1000 | 4});
  callId(dialog, member::ShowOpen);
  ASSERT_EQ(backend->shown.size(), 2u);
  EXPECT_TRUE(backend->shown[0].readOnlyOption);
  EXPECT_FALSE(backend->shown[0].fileMustExist);
  EXPECT_FALSE(backend->shown[1].readOnlyOption);
  EXPECT_TRUE(backend->shown[1].fileMustExist);
}

TEST_F(CommonDialogTest, UnknownMembersAndBadValuesFailWithTheirErrors) {
  EXPECT_EQ(errorOf([&] { getId(dialog, 99); }), rt::err::MemberNotSupported);
  EXPECT_EQ(errorOf([&] { setId(dialog, 99, std::int32_t{1}); }), rt::err::MemberNotSupported);
  EXPECT_EQ(errorOf([&] { callId(dialog, member::FileName, {{std::int32_t{1}}, {}}); }),
            rt::err::MemberNotSupported);
  EXPECT_EQ(errorOf([&] { setId(dialog, member::ShowOpen, true); }), rt::err::MemberNotSupported);
  EXPECT_EQ(errorOf([&] { setId(dialog, member::Unnamed23, std::int32_t{70000}); }),
            rt::err::Overflow);
  EXPECT_EQ(errorOf([&] { setId(dialog, member::Flags, u"four"); }), 13);  // type mismatch
  EXPECT_TRUE(backend->shown.empty());

  // Member 23 keeps what it was given and nothing else reads it.
  setId(dialog, member::Unnamed23, std::int16_t{2});
  EXPECT_EQ(getId(dialog, member::Unnamed23), rt::Variant(std::int16_t{2}));
}

TEST_F(CommonDialogTest, NamedMembersResolveToTheirIdentifiers) {
  automation::set(dialog, u"cancelerror", true);
  automation::set(dialog, u"FILTER", u"a|*.a");
  EXPECT_EQ(getId(dialog, member::CancelError), rt::Variant(true));
  EXPECT_EQ(getId(dialog, member::Filter).toText(), u"a|*.a");
  EXPECT_EQ(errorOf([&] { automation::get(dialog, u"Title"); }), rt::err::MemberNotSupported);
}

TEST(ParseFilter, SplitsEntriesAndPatterns) {
  using V = std::vector<NameFilter>;
  EXPECT_EQ(parseFilter(u"PowerPoint 文本文件 Files(*.PPT)|*.PPT"),
            (V{{u"PowerPoint 文本文件 Files(*.PPT)", {u"*.PPT"}}}));
  EXPECT_EQ(parseFilter(u"Video|*.wmv; *.asf|All|*.*"),
            (V{{u"Video", {u"*.wmv", u"*.asf"}}, {u"All", {u"*.*"}}}));
  EXPECT_EQ(parseFilter(u"Everything"), (V{{u"Everything", {u"*"}}}));
  EXPECT_EQ(parseFilter(u""), V{});
}

}  // namespace
}  // namespace filedialog
