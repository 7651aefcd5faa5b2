// The portal source's parts that need no services: how changed rows pile up
// between two updates, and how the restore token is kept on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "components/encoder/engine/sources/pipewire_stream.h"
#include "components/encoder/engine/sources/screencast_portal.h"

using encoder::engine::pipewire::addBand;
using encoder::engine::pipewire::Band;
namespace portal = encoder::engine::portal;
namespace fs = std::filesystem;

namespace {

std::string show(const std::vector<Band>& bands) {
  std::string s;
  for (const auto& b : bands) s += "[" + std::to_string(b.top) + "," + std::to_string(b.bottom) + ")";
  return s;
}

TEST(ChangedBands, StaySortedAndMergeWhatOverlapsOrTouches) {
  std::vector<Band> bands;
  addBand(bands, 50, 60);
  addBand(bands, 10, 20);
  EXPECT_EQ(show(bands), "[10,20)[50,60)");
  addBand(bands, 20, 25);  // touching
  EXPECT_EQ(show(bands), "[10,25)[50,60)");
  addBand(bands, 55, 70);  // overlapping
  EXPECT_EQ(show(bands), "[10,25)[50,70)");
  addBand(bands, 0, 100);  // covering all
  EXPECT_EQ(show(bands), "[0,100)");
  addBand(bands, 30, 30);  // empty: nothing
  addBand(bands, 40, 35);
  EXPECT_EQ(show(bands), "[0,100)");
}

TEST(ChangedBands, ManyScatteredBandsFoldWithoutLosingAnyRow) {
  std::vector<Band> bands;
  for (int i = 0; i < 100; ++i) addBand(bands, i * 10, i * 10 + 2);
  EXPECT_LE(bands.size(), 32u);
  // Every changed row is still inside some band.
  for (int i = 0; i < 100; ++i)
    for (int row = i * 10; row < i * 10 + 2; ++row) {
      bool inside = false;
      for (const auto& b : bands) inside = inside || (row >= b.top && row < b.bottom);
      EXPECT_TRUE(inside) << row;
    }
  for (std::size_t i = 1; i < bands.size(); ++i) EXPECT_LT(bands[i - 1].bottom, bands[i].top);
}

class RestoreToken : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vardel-token-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path dir;
};

TEST_F(RestoreToken, IsKeptPrivateAndReplacedWhole) {
  const fs::path file = dir / "config" / "vardel" / "grabvid-screencast-token";
  EXPECT_EQ(portal::restoreTokenPath(), file.string());
  EXPECT_EQ(portal::loadRestoreToken(), "");
  ASSERT_TRUE(portal::saveRestoreToken("abc-123"));
  EXPECT_EQ(portal::loadRestoreToken(), "abc-123");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_TRUE(portal::saveRestoreToken("second"));
  EXPECT_EQ(portal::loadRestoreToken(), "second");
  // No temporary files are left beside it.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(file.parent_path())) ++entries;
  EXPECT_EQ(entries, 1);
  ASSERT_TRUE(portal::saveRestoreToken(""));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(portal::saveRestoreToken("")) << "removing what is not there is no failure";
}

TEST_F(RestoreToken, ContentThatIsNoTokenIsNotPassedOn) {
  const fs::path file = dir / "config" / "vardel" / "grabvid-screencast-token";
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "has space\n";
  EXPECT_EQ(portal::loadRestoreToken(), "");
  std::ofstream(file) << std::string(600, 'a') << "\n";
  EXPECT_EQ(portal::loadRestoreToken(), "");
  std::ofstream(file) << "fine\n";
  EXPECT_EQ(portal::loadRestoreToken(), "fine");
}

TEST_F(RestoreToken, FallsBackToHomeAndFailsWithoutEither) {
  const char* home = std::getenv("HOME");
  const std::string savedHome = home != nullptr ? home : "";
  setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
  setenv("HOME", dir.c_str(), 1);
  EXPECT_EQ(portal::restoreTokenPath(), (dir / ".config" / "vardel" / "grabvid-screencast-token").string());
  ASSERT_TRUE(portal::saveRestoreToken("t"));
  EXPECT_TRUE(fs::exists(dir / ".config" / "vardel" / "grabvid-screencast-token"));
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_EQ(portal::restoreTokenPath(), "");
  EXPECT_FALSE(portal::saveRestoreToken("t"));
  if (!savedHome.empty()) setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(RestoreToken, AFolderThatCannotBeMadeIsReportedNotIgnored) {
  // A file where the folder should be: no one, not even root, can write there.
  std::ofstream(dir / "config") << "in the way\n";
  EXPECT_FALSE(portal::saveRestoreToken("t"));
  EXPECT_EQ(portal::loadRestoreToken(), "");
}

}  // namespace
