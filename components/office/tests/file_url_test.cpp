// File names become file URLs by the office's own conversion, exactly as
// given, under a UTF-8 and under the C locale (this binary runs under both).
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "components/office/uno/file_url.h"

namespace {

using rtl::OUString;

std::string urlOf(const rt::Text& path) {
  OUString url;
  rt::Text error;
  EXPECT_TRUE(office::fileUrlFromPath(path, url, error)) << rt::toUtf8(error);
  return rtl::OUStringToOString(url, RTL_TEXTENCODING_UTF8).getStr();
}

// The current folder as a file URL, spelled out by hand: every byte that is
// not unreserved is percent-encoded (the test folders below are ASCII).
std::string cwdUrl() {
  char buf[4096];
  EXPECT_NE(getcwd(buf, sizeof buf), nullptr);
  return std::string("file://") + buf;
}

class FileUrl : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vardel-url-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    ASSERT_EQ(chdir("/"), 0);
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(FileUrl, ChineseNamesArePercentEncodedAsUtf8WhateverTheLocale) {
  EXPECT_EQ(urlOf(u"/tmp/演示 文稿/welcome.ppt"),
            "file:///tmp/%E6%BC%94%E7%A4%BA%20%E6%96%87%E7%A8%BF/welcome.ppt");
  EXPECT_EQ(urlOf(u"/『Vardel』课件/x.ppt"),
            "file:///%E3%80%8EVardel%E3%80%8F%E8%AF%BE%E4%BB%B6/x.ppt");
  EXPECT_EQ(urlOf(u"演示.ppt"), cwdUrl() + "/%E6%BC%94%E7%A4%BA.ppt");
}

TEST_F(FileUrl, BlankNamesAreNamesInTheCurrentFolder) {
  EXPECT_EQ(urlOf(u" "), cwdUrl() + "/%20");
  EXPECT_EQ(urlOf(u"   "), cwdUrl() + "/%20%20%20");
  EXPECT_EQ(urlOf(u" a b .ppt "), cwdUrl() + "/%20a%20b%20.ppt%20");
}

TEST_F(FileUrl, UrlAndMacroLookingTextsAreOnlyFileNames) {
  const std::string here = cwdUrl();
  EXPECT_EQ(urlOf(u"macro:///Standard.Module1.Main()"),
            here + "/macro:/Standard.Module1.Main()");
  EXPECT_EQ(urlOf(u"vnd.sun.star.script:Standard.Module1.Main?language=Basic&location=application"),
            here + "/vnd.sun.star.script:Standard.Module1.Main%3Flanguage=Basic&location=application");
  EXPECT_EQ(urlOf(u"http://example.com/a.ppt"), here + "/http:/example.com/a.ppt");
  EXPECT_EQ(urlOf(u"file:///etc/passwd"), here + "/file:/etc/passwd");
  EXPECT_EQ(urlOf(u"~/a.ppt"), here + "/~/a.ppt");
  EXPECT_EQ(urlOf(u"%41.ppt"), here + "/%2541.ppt") << "a percent sign is a character";
  EXPECT_EQ(urlOf(u"a#b?.ppt"), here + "/a%23b%3F.ppt");
}

TEST_F(FileUrl, RelativePathsResolveAgainstTheCurrentFolder) {
  EXPECT_EQ(urlOf(u"x.ppt"), cwdUrl() + "/x.ppt");
  EXPECT_EQ(urlOf(u"sub/x.ppt"), cwdUrl() + "/sub/x.ppt");
  EXPECT_EQ(urlOf(u"/abs/x.ppt"), "file:///abs/x.ppt");
}

TEST_F(FileUrl, EmptyNamesAreRefused) {
  OUString url;
  rt::Text error;
  EXPECT_FALSE(office::fileUrlFromPath(u"", url, error));
  EXPECT_EQ(error, u"The file name is empty.");
  EXPECT_FALSE(office::fileUrlFromPath(rt::Text(u"a\0b", 3), url, error));
}

TEST_F(FileUrl, UrlsTurnBackIntoTheSamePath) {
  OUString url;
  rt::Text error;
  ASSERT_TRUE(office::fileUrlFromPath(u"/tmp/演示 文稿/welcome.ppt", url, error));
  EXPECT_EQ(office::pathFromFileUrl(url), u"/tmp/演示 文稿/welcome.ppt");
}

}  // namespace

int main(int argc, char** argv) {
  // As the programs do: take the locale from the environment (LC_ALL=C or a
  // UTF-8 one, set by the test's registration).
  std::setlocale(LC_ALL, "");
  ::testing::InitGoogleTest(&argc, argv);
  std::printf("locale: %s\n", std::setlocale(LC_CTYPE, nullptr));
  return RUN_ALL_TESTS();
}
