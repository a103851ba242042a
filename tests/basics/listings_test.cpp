#include "basics/listings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "basics/messages.h"
#include "basics/program.h"
#include "platform/paths.h"

using namespace QUARLE_BASICS;
namespace fs = std::filesystem;

namespace {

std::vector<std::pair<std::string, int32_t>> g_reports;
void CaptureReport(const std::string& text, int32_t level) { g_reports.push_back({text, level}); }

void WriteFile(const fs::path& p, size_t bytes) {
  std::ofstream f(p, std::ios::binary);
  f << std::string(bytes, 'x');
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/listingsXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    rootSys_ = platform::FromOsPath(root_.string());
    saved_ = fs::current_path();
    // root: five plain files (one read-only, one hidden), three sub-folders.
    WriteFile(root_ / "b.WAV", 10);
    WriteFile(root_ / "a.tarvelo", 100);
    WriteFile(root_ / "C.Tarvelo", 1000);
    WriteFile(root_ / "noext", 1);
    WriteFile(root_ / "ro.txt", 5);
    chmod((root_ / "ro.txt").c_str(), 0444);
    WriteFile(root_ / ".hidden.tarvelo", 7);
    fs::create_directories(root_ / "sub1" / "deep");
    WriteFile(root_ / "sub1" / "x.tarvelo", 2);
    WriteFile(root_ / "sub1" / "deep" / "y.tarvelo", 3);
    fs::create_directories(root_ / "sub2");
    WriteFile(root_ / "sub2" / "z.txt", 4);
    fs::create_directories(root_ / "Zed");
    g_reports.clear();
    MessageHook = CaptureReport;
  }
  void TearDown() override {
    MessageHook = nullptr;
    DirListFailNextGrowths(0);
    DirListFree(list_);
    fs::current_path(saved_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::vector<std::string> Listed() const {
    std::vector<std::string> v;
    for (int32_t i = 0; i < DirListCount(list_); ++i) v.push_back(DirListName(list_, i));
    return v;
  }

  fs::path root_;
  std::string rootSys_;
  fs::path saved_;
  DirList* list_ = nullptr;
};

using Names = std::vector<std::string>;

}  // namespace

TEST_F(ListingTest, EveryFileThenFoldersWithAttributes) {
  ASSERT_EQ(ListFolder(list_, rootSys_, "*.*", 0, 0), 0);
  ASSERT_NE(list_, nullptr);
  EXPECT_EQ(Listed(), (Names{"a.tarvelo", "b.WAV", "C.Tarvelo", "noext", "ro.txt", "sub1", "sub2", "Zed"}));
  EXPECT_EQ(list_->files, 5);
  EXPECT_EQ(list_->folders, 3);
  EXPECT_EQ(list_->done, -1);
  EXPECT_EQ(DirListAttr(list_, 0), 32u);
  EXPECT_EQ(DirListAttr(list_, 4), 33u);  // read-only plain file
  EXPECT_EQ(DirListAttr(list_, 5), 16u);
  EXPECT_EQ(DirListFolder(list_, 0), rootSys_);
  EXPECT_EQ(DirListPath(list_, 1), rootSys_ + "\\b.WAV");
  EXPECT_EQ(list_->rootDepth, PathDepth(rootSys_));
  // Listing leaves the process in the listed folder.
  EXPECT_EQ(platform::CurrentFolder(), rootSys_);
  // Past the end: empty texts and attribute 0.
  EXPECT_EQ(DirListPath(list_, 99), "");
  EXPECT_EQ(DirListAttr(list_, 8), 0u);
}

TEST_F(ListingTest, ExtensionMasks) {
  ASSERT_EQ(ListFolder(list_, rootSys_, " .TARVELO ", 0, 0), 0);
  EXPECT_EQ(Listed(), (Names{"a.tarvelo", "C.Tarvelo", "sub1", "sub2", "Zed"}));
  EXPECT_EQ(DynZStringGet(list_->mask), ".tarvelo");
  // An empty mask reuses the previous one.
  ASSERT_EQ(ListFolder(list_, rootSys_, "", 0, 0), 0);
  EXPECT_EQ(list_->files, 2);
  ASSERT_EQ(ListFolder(list_, rootSys_, ".wav.txt", 0, 0), 0);
  EXPECT_EQ(Listed(), (Names{"b.WAV", "ro.txt", "sub1", "sub2", "Zed"}));
  // A one-character mask is no mask: the previous one stays.
  ASSERT_EQ(ListFolder(list_, rootSys_, ".", 0, 0), 0);
  EXPECT_EQ(list_->files, 2);
}

// A save's work files are never listed: those left by a cut save (a
// target's name, "~tarvelo-" and a claim number, ".tmp", ".part" or
// ".part~"; the short names, an older version's too) and one claimed now
// under any name; the user's own files of like names are.
TEST_F(ListingTest, SavesWorkFilesAreNotListed) {
  for (const char* name : {"a.tarvelo~tarvelo-1.tmp", "a_BACKUP.tarvelo~tarvelo-1.part~", "kick.wav~tarvelo-2.part",
                           "~tarvelo-0123456789abcdef-1.tng.tmp", "~tarvelo-0123456789abcdef.tmp", "notes.tmp",
                           "song.part", "a.tarvelo~x.tmp", "a.tarvelo.tmp", "mix.wav.part~"})
    WriteFile(root_ / name, 1);
  const std::string claimed = platform::ClaimWorkFile(rootSys_ + "\\noext", ".tmp");
  ASSERT_EQ(platform::ToOsPath(claimed), (root_ / "noext~tarvelo-1.tmp").string());
  ASSERT_EQ(ListFolder(list_, rootSys_, "*.*", 0, 0), 0);
  platform::ReleaseWorkFile(claimed);
  EXPECT_EQ(Listed(), (Names{"a.tarvelo", "a.tarvelo.tmp", "a.tarvelo~x.tmp", "b.WAV", "C.Tarvelo", "mix.wav.part~",
                             "noext", "notes.tmp", "ro.txt", "song.part", "sub1", "sub2", "Zed"}));
}

// A folder's name keeps its spaces: "Mine " is listed, never "Mine".
TEST_F(ListingTest, FolderNamesKeepTheirSpaces) {
  for (const char* name : {"Mine", "Mine ", " Mine"}) {
    fs::create_directories(root_ / "spaces" / name);
    WriteFile(root_ / "spaces" / name / (std::string(name) + ".tarvelo"), 1);
  }
  for (const char* name : {"Mine ", " Mine", "Mine"}) {
    ASSERT_EQ(ListFolder(list_, rootSys_ + "\\spaces\\" + name, "*.*", 0, 0), 0) << name;
    EXPECT_EQ(Listed(), (Names{std::string(name) + ".tarvelo"}));
  }
}

TEST_F(ListingTest, EmptyFolderListsTheCurrentOne) {
  ASSERT_TRUE(platform::ChangeFolder(rootSys_ + "\\sub2"));
  ASSERT_EQ(ListFolder(list_, "", "*.*", 0, 0), 0);
  EXPECT_EQ(Listed(), (Names{"z.txt"}));
}

TEST_F(ListingTest, RecursionIsDepthFirstWithDepthsAndSizes) {
  ASSERT_EQ(ListFolder(list_, rootSys_, ".tarvelo.txt", -1, -1), 0);
  EXPECT_EQ(Listed(), (Names{"a.tarvelo", "C.Tarvelo", "ro.txt", "sub1", "x.tarvelo", "deep", "y.tarvelo",
                            "sub2", "z.txt", "Zed"}));
  int32_t d = list_->rootDepth;
  EXPECT_EQ(list_->entries[3]->depth, static_cast<uint32_t>(d));      // sub1 itself
  EXPECT_EQ(list_->entries[4]->depth, static_cast<uint32_t>(d + 1));  // its file
  EXPECT_EQ(list_->entries[6]->depth, static_cast<uint32_t>(d + 2));  // deep's file
  EXPECT_EQ(DirListFolder(list_, 6), rootSys_ + "\\sub1\\deep");
  EXPECT_EQ(list_->currentDepth, d);
  EXPECT_EQ(list_->files, 6);
  EXPECT_EQ(list_->folders, 4);
  EXPECT_EQ(list_->entries[1]->size, 1000u);
  EXPECT_EQ(list_->entries[3]->size, 0u);  // folders get no size
  EXPECT_EQ(list_->totalSize, 100u + 1000u + 5u + 2u + 3u + 4u);
  EXPECT_EQ(platform::CurrentFolder(), rootSys_);
}

TEST_F(ListingTest, FolderThatCannotBeEnteredLeavesTheListAlone) {
  ASSERT_EQ(ListFolder(list_, rootSys_, "*.*", 0, 0), 0);
  EXPECT_EQ(ListFolder(list_, rootSys_ + "\\missing", "*.*", 0, 0), -19);
  EXPECT_EQ(DirListCount(list_), 8);
  EXPECT_EQ(list_->done, -1);
  DirList* none = nullptr;
  EXPECT_EQ(ListFolder(none, rootSys_ + "\\missing", "*.*", 0, 0), -19);
  EXPECT_EQ(none, nullptr);
}

TEST_F(ListingTest, SubFolderThatCannotBeEnteredIsReportedAndKept) {
  // Folders deep enough that the path of the next one down is longer than
  // the system takes: that one cannot be entered by its path, even by root.
  fs::path deep = root_ / "sub2";
  while (deep.string().size() + 251 <= PATH_MAX - 200) deep /= std::string(250, 'p');
  if (deep.string().size() + 1 < PATH_MAX - 200) deep /= std::string(PATH_MAX - 201 - deep.string().size(), 'r');
  fs::create_directories(deep);
  WriteFile(deep / "seen.txt", 1);
  const std::string last(PATH_MAX - deep.string().size(), 'q');  // made from inside: its path is too long
  fs::current_path(deep);
  fs::create_directory(last);
  WriteFile(fs::path(last) / "inner.txt", 1);
  const std::string deepSys = platform::FromOsPath(deep.string());
  const int32_t r = ListFolder(list_, deepSys, "*.*", -1, 0);
  fs::current_path(deep);
  fs::remove_all(last);
  ASSERT_EQ(r, 0);
  EXPECT_EQ(Listed(), (Names{"seen.txt", last}));
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].first, "I cannot access the following folder: " + deepSys + "\\" + last + " attr=16");
  EXPECT_EQ(g_reports[0].second, kLevelWarning);
  EXPECT_EQ(list_->done, -1);
  EXPECT_EQ(platform::CurrentFolder(), deepSys);
}

// Names in Japanese and Cyrillic, a Latin-1 byte that is no UTF-8 and a
// backslash: every entry is listed under a name its path opens by, and a
// folder so named is entered.
TEST_F(ListingTest, EveryEntryOpensByThePathItsListingGives) {
  const fs::path holder = root_ / "names";
  const std::string files[] = {"\xE9\x9F\xB3\xE6\xA5\xBD.wav", "caf\xE9.wav", "back\\slash.wav",
                               "\xD0\x9C\xD1\x83\xD0\xB7\xD1\x8B\xD0\xBA\xD0\xB0/inner.wav"};
  for (const std::string& f : files) {
    fs::create_directories((holder / f).parent_path());
    WriteFile(holder / f, f.size());
  }
  ASSERT_EQ(ListFolder(list_, rootSys_ + "\\names", ".wav", -1, -1), 0);
  int32_t opened = 0;  // the figure: files found and read at the path listed
  for (int32_t i = 0; i < DirListCount(list_); ++i) {
    const std::string path = DirListPath(list_, i);
    const bool folder = DirListAttr(list_, i) & 16;
    if (!folder && platform::FileLength(path) > 0 && list_->entries[i]->size == uint64_t(platform::FileLength(path)))
      ++opened;
    EXPECT_TRUE(folder ? platform::FolderExists(path) : platform::FileExists(path)) << path;
  }
  EXPECT_EQ(DirListCount(list_), 5);
  EXPECT_EQ(opened, 4);
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(DirListName(list_, 3), "\xA4{41C}\xA4{443}\xA4{437}\xA4{44B}\xA4{43A}\xA4{430}");
  EXPECT_EQ(DirListFolder(list_, 4), rootSys_ + "\\names\\" + DirListName(list_, 3));
  // The listing of the folder named in Cyrillic, entered by that name.
  ASSERT_EQ(ListFolder(list_, rootSys_ + "\\names\\" + DirListName(list_, 3), "", 0, 0), 0);
  EXPECT_EQ(Listed(), (Names{"inner.wav"}));
}

// Folder links back up (to the folder above, the listed folder, the one that
// holds it) and one to itself are listed but not entered, each named in the
// log; one to a folder outside is followed, its files found where they lie.
TEST_F(ListingTest, LinksIntoTheWalkAreListedNotEnteredAndOthersAreFollowed) {
  const fs::path outside = root_.string() + "-outside";
  fs::create_directories(outside / "inner");
  WriteFile(outside / "o.tarvelo", 1);
  WriteFile(outside / "inner" / "i.tarvelo", 1);
  fs::create_directory_symlink("..", root_ / "sub1" / "up");
  fs::create_directory_symlink(".", root_ / "sub1" / "deep" / "self");
  fs::create_directory_symlink(root_, root_ / "sub2" / "root");
  fs::create_directory_symlink(root_.parent_path(), root_ / "sub2" / "above");
  fs::create_directory_symlink(outside, root_ / "Zed" / "out");
  const std::string outsideSys = platform::FromOsPath(outside.string());

  const int32_t r = ListFolder(list_, rootSys_, ".tarvelo", -1, 0);
  fs::remove_all(outside);
  ASSERT_EQ(r, 0);
  EXPECT_EQ(Listed(), (Names{"a.tarvelo", "C.Tarvelo", "sub1", "x.tarvelo", "deep", "y.tarvelo", "self", "up",
                            "sub2", "above", "root", "Zed", "out", "o.tarvelo", "inner", "i.tarvelo"}));
  EXPECT_EQ(list_->done, -1);
  EXPECT_EQ(list_->currentDepth, list_->rootDepth);
  // Back in the listed folder, though the last folder entered lies elsewhere.
  EXPECT_EQ(platform::CurrentFolder(), rootSys_);
  ASSERT_EQ(DirListCount(list_), 16);
  EXPECT_EQ(DirListPath(list_, 13), outsideSys + "\\o.tarvelo");
  EXPECT_EQ(DirListFolder(list_, 15), outsideSys + "\\inner");
  const std::string said = "I did not follow this link, which leads back into a folder the listing is inside: ";
  std::vector<std::pair<std::string, int32_t>> want;
  for (const char* link : {"\\sub1\\deep\\self", "\\sub1\\up", "\\sub2\\above", "\\sub2\\root"})
    want.push_back({said + rootSys_ + link, kLevelInfo});
  EXPECT_EQ(g_reports, want);
}

// Kits that each link to all the others: every folder is entered once, by its
// own path; each link is listed and named once in the log, never entered.
TEST_F(ListingTest, FoldersLinkedToEachOtherAreEnteredOnce) {
  const fs::path kits = root_ / "FILTERS";
  const int kKits = 8;
  for (int i = 1; i <= kKits; ++i) {
    fs::create_directories(kits / ("k" + std::to_string(i)));
    WriteFile(kits / ("k" + std::to_string(i)) / ("k" + std::to_string(i) + ".wav"), 1);
  }
  for (int i = 1; i <= kKits; ++i)
    for (int j = 1; j <= kKits; ++j)
      if (i != j)
        fs::create_directory_symlink(kits / ("k" + std::to_string(j)),
                                     kits / ("k" + std::to_string(i)) / ("k" + std::to_string(j)));
  const std::string kitsSys = platform::FromOsPath(kits.string());
  ASSERT_EQ(ListFolder(list_, kitsSys, ".wav", -1, 0), 0);
  std::set<std::string> paths, files;
  for (int32_t i = 0; i < DirListCount(list_); ++i) {
    paths.insert(DirListPath(list_, i));
    if ((DirListAttr(list_, i) & 16) == 0) files.insert(DirListPath(list_, i));
  }
  EXPECT_EQ(DirListCount(list_), kKits + kKits + kKits * (kKits - 1));  // kits, their files, the links
  EXPECT_EQ(paths.size(), static_cast<size_t>(DirListCount(list_)));
  EXPECT_EQ(files.size(), static_cast<size_t>(kKits));
  EXPECT_EQ(DirListPath(list_, 1), kitsSys + "\\k1\\k1.wav");
  std::set<std::string> said;
  for (const auto& [text, level] : g_reports) said.insert(text);
  EXPECT_EQ(g_reports.size(), static_cast<size_t>(kKits * (kKits - 1)));
  EXPECT_EQ(said.size(), g_reports.size());
  EXPECT_EQ(said.count("I did not enter this folder, which the listing reaches by another path: " + kitsSys +
                       "\\k1\\k2"),
            1u);
}

// A chain of folders deeper than any listing goes is cut off, said once.
TEST_F(ListingTest, FoldersTooDeepAreListedNotEntered) {
  fs::path deepest = root_ / "sub2";
  for (int i = 0; i < kListingDepthLimit + 1; ++i) deepest /= "d";
  fs::create_directories(deepest);
  WriteFile(deepest / "lost.txt", 1);
  WriteFile(deepest.parent_path() / "kept.txt", 1);
  ASSERT_EQ(ListFolder(list_, rootSys_ + "\\sub2", ".txt", -1, 0), 0);
  const Names names = Listed();
  ASSERT_EQ(names.size(), kListingDepthLimit + 3u);  // z.txt, every "d", kept.txt
  EXPECT_EQ(names[names.size() - 2], "kept.txt");
  EXPECT_EQ(names.back(), "d");
  ASSERT_EQ(g_reports.size(), 1u);
  EXPECT_EQ(g_reports[0].first, "I did not enter this folder, as it lies too deep below the listed one: " +
                                    platform::FromOsPath(deepest.string()));
}

TEST_F(ListingTest, FailedGrowthEndsTheListingWithAnError) {
  fs::create_directories(root_ / "many");
  for (int i = 0; i < 20; ++i) WriteFile(root_ / "many" / ("f" + std::to_string(100 + i) + ".wav"), 1);
  DirListFailNextGrowths(1);
  EXPECT_EQ(ListFolder(list_, rootSys_ + "\\many", ".wav", 0, 0), -21);
  ASSERT_NE(list_, nullptr);
  EXPECT_EQ(list_->done, 0);
  EXPECT_EQ(DirListCount(list_), 16);
  EXPECT_EQ(list_->files, 16);  // counts only what the list holds
  // The next listing grows normally and keeps every entry.
  ASSERT_EQ(ListFolder(list_, "", "", 0, 0), 0);
  EXPECT_EQ(DirListCount(list_), 20);
  EXPECT_EQ(list_->header.capacity, 32);
  EXPECT_EQ(DirListName(list_, 19), "f119.wav");
}

TEST_F(ListingTest, FailedGrowthInsideANestedScanEndsTheWholeListing) {
  for (int i = 0; i < 16; ++i) WriteFile(root_ / "sub2" / ("g" + std::to_string(i) + ".txt"), 1);
  DirListFailNextGrowths(1);
  EXPECT_EQ(ListFolder(list_, rootSys_, ".txt", -1, 0), -21);
  EXPECT_EQ(list_->done, 0);
}

TEST(Listings, NoListAndPathDepth) {
  DirList* none = nullptr;
  EXPECT_EQ(ScanFolder(none, 0, 0), -19);
  EXPECT_EQ(DirListCount(nullptr), 0);
  EXPECT_EQ(DirListName(nullptr, 0), "");
  EXPECT_EQ(PathDepth("file"), 0);
  EXPECT_EQ(PathDepth("C:\\a"), 0);
  EXPECT_EQ(PathDepth("C:\\a\\b"), 1);
  EXPECT_EQ(PathDepth("/home/ann"), 1);
  EXPECT_EQ(PathDepth(""), 0);
}

TEST(Drives, RootIsTheFirstDriveAndTheCurrentFolderStays) {
  std::string before = platform::CurrentFolder();
  DriveList* drives = nullptr;
  InitDrivesAndHome(drives);
  ASSERT_NE(drives, nullptr);
  ASSERT_GE(drives->count, 1);
  EXPECT_EQ(drives->codes[0], 1u);
  EXPECT_EQ(platform::CurrentFolder(), before);
  EXPECT_EQ(DriveText(drives, 0), "\\");
  EXPECT_EQ(DriveText(drives, 1), "\\");
  EXPECT_EQ(DriveText(drives, 200), DriveText(drives, static_cast<uint8_t>(drives->count)));
  EXPECT_GE(CurrentDriveIndex(drives), 1);
  EXPECT_EQ(DriveText(drives, static_cast<uint8_t>(CurrentDriveIndex(drives))), CurrentDriveRoot());

  DriveList empty{};
  EXPECT_EQ(DriveText(&empty, 3), CurrentDriveRoot());
  EXPECT_EQ(CurrentDriveIndex(&empty), -1);
  EXPECT_EQ(CurrentDriveIndex(nullptr), -1);
  delete drives;
}

// The browser's refresh probes the drives again on the interface thread while
// the drive strip's draw reads them on the video thread: every word whole.
TEST(Drives, ARefreshWhileTheStripIsDrawnIsReadWordByWord) {
  DriveList* drives = nullptr;
  InitDrivesAndHome(drives);
  ASSERT_NE(drives, nullptr);
  const std::string first = DriveText(drives, 1);
  std::atomic<bool> stop{false};
  std::atomic<int32_t> reads{0}, wrong{0};
  std::thread draw([&] {
    while (!stop.load()) {
      wrong.fetch_add(DriveText(drives, 1) != first ? 1 : 0);
      reads.fetch_add(1);
    }
  });
  for (int32_t i = 0; i < 20 || reads.load() < 100; ++i) InitDrivesAndHome(drives);
  stop = true;
  draw.join();
  EXPECT_EQ(wrong.load(), 0);
  delete drives;
}

TEST(Drives, VanishedCurrentFolderFallsBackToHome) {
  fs::path saved = fs::current_path();
  char tmpl[] = "/tmp/drivesXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  fs::path base = tmpl;
  fs::create_directories(base / "home");
  fs::create_directories(base / "gone");
  fs::current_path(base / "gone");
  fs::remove(base / "gone");
  DynZStringAssign(HomeFolder, platform::FromOsPath((base / "home").string()));
  g_reports.clear();
  MessageHook = CaptureReport;

  DriveList* drives = nullptr;
  InitDrivesAndHome(drives);
  EXPECT_EQ(platform::CurrentFolder(), platform::FromOsPath((base / "home").string()));
  EXPECT_TRUE(g_reports.empty());

  // Without a home either, the program's folder is next.
  fs::current_path(base / "home");
  fs::remove(base / "home");
  DynZStringAssign(HomeFolder, platform::FromOsPath((base / "home").string()));
  InitDrivesAndHome(drives);
  EXPECT_EQ(platform::CurrentFolder(), platform::ProgramFolder());
  EXPECT_TRUE(g_reports.empty());

  MessageHook = nullptr;
  DynZStringFree(HomeFolder);
  delete drives;
  fs::current_path(saved);
  fs::remove_all(base);
}
