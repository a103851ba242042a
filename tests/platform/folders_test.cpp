#include "platform/folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

class FolderSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/foldersXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    saved_ = fs::current_path();
    for (const char* n : {"beta.TXT", "Alpha.txt", "c.wav", "x", "ro.txt", ".hidden"})
      std::ofstream(root_ / n) << "data";
    chmod((root_ / "ro.txt").c_str(), 0444);
    fs::create_directories(root_ / "Folder");
    fs::create_directories(root_ / ".git");
    mkfifo((root_ / "pipe").c_str(), 0644);
    fs::current_path(root_);
  }
  void TearDown() override {
    fs::current_path(saved_);
    fs::remove_all(root_);
  }
  static std::string Joined(const std::vector<platform::FolderEntry>& v) {
    std::string s;
    for (const auto& e : v) s += e.name + ":" + std::to_string(e.attribute) + " ";
    return s;
  }
  fs::path root_, saved_;
};

}  // namespace

TEST_F(FolderSearchTest, SelectsByAttributeAndSortsIgnoringCase) {
  using namespace platform;
  std::vector<FolderEntry> v;
  ASSERT_TRUE(FolderSearch("*.*", kAttrReadOnly | kAttrArchive, v));
  EXPECT_EQ(Joined(v), "Alpha.txt:32 beta.TXT:32 c.wav:32 ro.txt:33 x:32 ");
  ASSERT_TRUE(FolderSearch("*.*", kAttrReadOnly | kAttrFolder, v));
  EXPECT_EQ(Joined(v), "Folder:16 ");
  // Hidden and special entries come only when asked for.
  ASSERT_TRUE(FolderSearch("*.*", kAttrFolder | kAttrHidden, v));
  EXPECT_EQ(Joined(v), ".git:18 Folder:16 ");
  ASSERT_TRUE(FolderSearch("*.*", kAttrSystem, v));
  EXPECT_EQ(Joined(v), "pipe:4 ");
}

TEST_F(FolderSearchTest, PatternsIgnoreLetterCase) {
  using namespace platform;
  std::vector<FolderEntry> v;
  ASSERT_TRUE(FolderSearch("*.txt", kAttrReadOnly | kAttrArchive, v));
  EXPECT_EQ(Joined(v), "Alpha.txt:32 beta.TXT:32 ro.txt:33 ");
  ASSERT_TRUE(FolderSearch("?.WAV", kAttrArchive, v));
  EXPECT_EQ(Joined(v), "c.wav:32 ");
  ASSERT_TRUE(FolderSearch("nothing*", kAttrArchive, v));
  EXPECT_TRUE(v.empty());
}

TEST_F(FolderSearchTest, VanishedCurrentFolderHoldsNothing) {
  fs::create_directories(root_ / "doomed");
  fs::current_path(root_ / "doomed");
  fs::remove(root_ / "doomed");
  std::vector<platform::FolderEntry> v{{"stale", 1, false, {}}};
  platform::FolderSearch("*.*", platform::kAttrArchive | platform::kAttrFolder, v);
  EXPECT_TRUE(v.empty());  // no stale results from an earlier search either
}

TEST(Drives, RootFirstAndLongestRootHoldsAPath) {
  platform::ProbeDrives();
  EXPECT_EQ(platform::DriveRoot(1), "\\");
  EXPECT_EQ(platform::DriveRoot(0), "");
  EXPECT_EQ(platform::DriveRoot(27), "");
  EXPECT_EQ(platform::DriveOf("\\"), 1u);
  EXPECT_GE(platform::DriveOf("\\tmp\\anything"), 1u);
  EXPECT_EQ(platform::DriveOf("relative\\path"), 0u);
  EXPECT_EQ(platform::DriveOf(""), 0u);
  for (uint32_t n = 2; !platform::DriveRoot(n).empty(); ++n)
    EXPECT_EQ(platform::DriveOf(platform::DriveRoot(n) + "\\x"), n);
}
