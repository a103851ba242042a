#include "platform/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "audio/sync_count.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "platform/system.h"

using namespace platform;

namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvelo_files_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    osDir = tmpl;
    dir = FromOsPath(osDir);
  }
  void TearDown() override {
    FileCloseAll();
    std::filesystem::remove_all(osDir);
  }
  std::string Sys(const std::string& name) const { return dir + "\\" + name; }
  void WriteOs(const std::string& name, const std::string& bytes) const {
    std::ofstream out(osDir + "/" + name, std::ios::binary);
    out << bytes;
  }
  std::string ReadOs(const std::string& name) const {
    std::ifstream in(osDir + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  int32_t Open(const std::string& name, FileMode mode, FileAccess access = kAccessReadWrite) {
    int32_t n = FreeFile();
    EXPECT_GT(n, 0);
    int32_t rc = FileOpen(n, Sys(name), mode, access);
    return rc == 0 ? n : -rc;
  }
  std::string osDir, dir;
};

}  // namespace

TEST(Paths, SeparatorsAndCodePage) {
  EXPECT_EQ(ToOsPath("\\home\\me\\Tarvelo\\SYNTHS\\DEMO 1.8.13"), "/home/me/Tarvelo/SYNTHS/DEMO 1.8.13");
  EXPECT_EQ(ToOsPath("Caf\xE9\\\x80"), "Caf\xC3\xA9/\xE2\x82\xAC");
  EXPECT_EQ(FromOsPath("/home/me/Caf\xC3\xA9"), "\\home\\me\\Caf\xE9");
  EXPECT_EQ(FromOsPath("\xE2\x82\xAC\xC5\x92"), "\x80\x8C");
  std::string all;
  for (int c = 1; c < 256; ++c) if (c != '\\' && c != '/' && c != 0xA4) all += static_cast<char>(c);
  all += "\xA4\xA4";  // the escape character, as a name holds it (see below)
  EXPECT_EQ(FromOsPath(ToOsPath(all)), all);
}

// A name on the disk that the code page cannot spell takes a form of its own
// ("\xA4" is the escape character) that leads back to the very bytes.
TEST(Paths, NamesTheCodePageCannotSpellTakeAFormOfTheirOwn) {
  const std::pair<std::string, std::string> rows[] = {  // on the disk; inside the system
      {"\xE9\x9F\xB3.wav", "\xA4{97F3}.wav"},                                                  // Japanese
      {"\xD0\x9C\xD1\x83\xD0\xB7\xD1\x8B\xD0\xBA\xD0\xB0", "\xA4{41C}\xA4{443}\xA4{437}\xA4{44B}\xA4{43A}\xA4{430}"},
      {"caf\xE9.wav", "caf\xA4[E9].wav"},               // a Latin-1 byte that is no UTF-8
      {"back\\slash.wav", "back\xA4{5C}slash.wav"},     // never the system's separator
      {"\xC2\xA4 and \xC2\xA4{41C}", "\xA4\xA4 and \xA4\xA4{41C}"},  // the escape character itself
      {"\xF0\x9F\x8E\xB5", "\xA4{1F3B5}"},
      {"a\xE4\xB8\xAD" "b", "a\xA4{4E2D}b"},
      {"a\xC0\xAF" "b", "a\xA4[C0]\xA4[AF]b"},          // overlong '/'
      {"a\xC3", "a\xA4[C3]"},                           // cut sequence
      {"\xED\xA0\x80", "\xA4[ED]\xA4[A0]\xA4[80]"},      // a surrogate is no character
      {"\xF4\x90\x80\x80", "\xA4[F4]\xA4[90]\xA4[80]\xA4[80]"},  // beyond Unicode
      {"/home/\xD0\x9C/x", "\\home\\\xA4{41C}\\x"},
      {"Caf\xC3\xA9 \xE2\x82\xAC", "Caf\xE9 \x80"},     // what the code page spells stays as it is
      {"\xC2\x80\xC2\x9F", "\xA4[C2]\xA4[80]\xA4[C2]\xA4[9F]"},  // control characters: by their bytes
      {"\xC2\x81", "\x81"},                          // a byte the code page leaves undefined
  };
  for (const auto& [os, sys] : rows) {
    EXPECT_EQ(FromOsPath(os), sys) << os;
    EXPECT_EQ(ToOsPath(sys), os) << os;
  }
  // Typed by hand: letter case of the digits does not matter; anything that is
  // not one of the forms above is an ordinary "\xA4".
  const std::pair<std::string, std::string> typed[] = {
      {"\xA4{41c}\xA4[e9]", "\xD0\x9C\xE9"}, {"a\xA4", "a\xC2\xA4"}, {"\xA4{}", "\xC2\xA4{}"},
      {"\xA4{2F}", "\xC2\xA4{2F}"},          // never a separator
      {"\xA4{0}", "\xC2\xA4{0}"},            {"\xA4{D800}", "\xC2\xA4{D800}"}, {"\xA4{110000}", "\xC2\xA4{110000}"},
      {"\xA4{1234567}", "\xC2\xA4{1234567}"}, {"\xA4[41]", "\xC2\xA4[41]"},    {"\xA4[E]", "\xC2\xA4[E]"},
      {"\xA4x", "\xC2\xA4x"},                {"\xA4{41C", "\xC2\xA4{41C"},
  };
  for (const auto& [sys, os] : typed) EXPECT_EQ(ToOsPath(sys), os) << sys;
  // No typed number puts a control character into a name: those of the code
  // page's upper half (0x80 to 0x9F) no more than those below 0x20 and 0x7F.
  int32_t controls = 0;
  for (uint32_t cp = 1; cp < 0xA0; ++cp) {
    if (cp >= 0x20 && cp < 0x7F) continue;
    char form[16];
    std::snprintf(form, sizeof form, "{%X}", cp);
    controls += ToOsPath("\xA4" + std::string(form)) != "\xC2\xA4" + std::string(form);
  }
  EXPECT_EQ(controls, 0);
  // Any bytes at all come back as they were.
  uint32_t seed = 12345;
  int32_t wrong = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string os;
    for (int n = 0; n < 12; ++n) {
      seed = seed * 1664525u + 1013904223u;
      const char c = static_cast<char>(seed >> 24);
      os += c == 0 ? 'z' : c;
    }
    wrong += ToOsPath(FromOsPath(os)) != os;
  }
  EXPECT_EQ(wrong, 0);
}

TEST(Paths, ExtensionsIgnoreLetterCase) {
  EXPECT_EQ(PathExtension("\\a.b\\Song.TARVELO"), ".TARVELO");
  EXPECT_EQ(PathExtension("\\a.b\\noext"), "");
  EXPECT_TRUE(ExtensionIs("KICK.WAV", ".wav"));
  EXPECT_TRUE(ExtensionIs("r\xC9.\xC9T", ".\xE9t"));
  EXPECT_FALSE(ExtensionIs("wav", ".wav"));
  EXPECT_FALSE(ExtensionIs("a.wave", ".wav"));
  EXPECT_EQ(LowerCase("ABC\xC0\xDE\xD7\x8A\x9F"), "abc\xE0\xFE\xD7\x9A\xFF");
  EXPECT_EQ(UpperCase("abc\xE0\xFE\xF7\x9A\xFF"), "ABC\xC0\xDE\xF7\x8A\x9F");
}

TEST(Paths, ProfileProgramUserAndProcessors) {
  const char* saved = getenv("HOME");
  std::string keep = saved ? saved : "";
  setenv("HOME", "/tmp/some home/", 1);
  EXPECT_EQ(ProfileFolder(), "\\tmp\\some home");
  setenv("HOME", "/home/\xD0\x94\xD0\xB8\xD0\xBC\xD0\xB0", 1);
  EXPECT_EQ(ProfileFolder(), "\\home\\\xA4{414}\xA4{438}\xA4{43C}\xA4{430}");
  if (saved) setenv("HOME", keep.c_str(), 1); else unsetenv("HOME");

  std::string real = ProgramFolder();
  ASSERT_FALSE(real.empty());
  EXPECT_TRUE(FolderExists(real));
  EXPECT_NE(real.back(), '\\');
  SetProgramFolderOverride("\\tmp\\elsewhere\\");
  EXPECT_EQ(ProgramFolder(), "\\tmp\\elsewhere");
  SetProgramFolderOverride("");
  EXPECT_EQ(ProgramFolder(), real);

  const char* user = getenv("USER");
  std::string keepUser = user ? user : "";
  setenv("USER", "zo\xC3\xA9", 1);
  EXPECT_EQ(UserName(), "zo\xE9");
  setenv("USER", "\xD0\x94\xD0\xB8\xD0\xBC\xD0\xB0", 1);  // a name, not a path: shown as best it can be
  EXPECT_EQ(UserName(), "????");
  unsetenv("USER");
  EXPECT_FALSE(UserName().empty());  // from the password database
  if (user) setenv("USER", keepUser.c_str(), 1);
  EXPECT_GE(ProcessorCount(), 1);
}

TEST_F(Files, FolderOperations) {
  std::string sub = Sys("AUDIO");
  EXPECT_FALSE(FolderExists(sub));
  EXPECT_TRUE(MakeFolder(sub));
  EXPECT_TRUE(MakeFolder(sub));  // exists already
  EXPECT_TRUE(MakeFolder(Sys("AUDIO\\CONVERTED")));
  EXPECT_FALSE(MakeFolder(Sys("NO\\SUCH\\PARENT")));
  EXPECT_FALSE(FileExists(sub));
  std::string before = CurrentFolder();
  ASSERT_TRUE(ChangeFolder(Sys("AUDIO\\CONVERTED")));
  EXPECT_EQ(CurrentFolder(), Sys("AUDIO\\CONVERTED"));
  EXPECT_TRUE(ChangeFolder(".."));
  EXPECT_EQ(CurrentFolder(), sub);
  EXPECT_FALSE(ChangeFolder(Sys("missing")));
  EXPECT_FALSE(ChangeFolder(""));
  EXPECT_EQ(CurrentFolder(), sub);
  WriteOs("f.txt", "x");
  EXPECT_FALSE(ChangeFolder(Sys("f.txt")));
  ASSERT_TRUE(ChangeFolder(before));
}

TEST_F(Files, CopyRenameDelete) {
  WriteOs("a.bin", std::string("abc\0def", 7));
  EXPECT_TRUE(FileExists(Sys("a.bin")));
  EXPECT_EQ(FileLength(Sys("a.bin")), 7);
  EXPECT_EQ(FileLength(Sys("none")), 0);
  EXPECT_EQ(FileLength(dir), 0);
  EXPECT_EQ(FileCopy(Sys("a.bin"), Sys("b.bin")), 0);
  EXPECT_EQ(ReadOs("b.bin"), std::string("abc\0def", 7));
  WriteOs("c.bin", "old");
  EXPECT_EQ(FileCopy(Sys("a.bin"), Sys("c.bin")), 0);  // replaces
  EXPECT_EQ(FileLength(Sys("c.bin")), 7);
  EXPECT_EQ(FileCopy(Sys("none"), Sys("d.bin")), -24);
  EXPECT_FALSE(FileExists(Sys("d.bin")));
  // A copy that cannot be written leaves the source and no stray file.
  EXPECT_EQ(FileCopy(Sys("a.bin"), Sys("nofolder\\x.bin")), -20);
  EXPECT_EQ(FileRename(Sys("b.bin"), Sys("e.bin")), 0);
  EXPECT_FALSE(FileExists(Sys("b.bin")));
  EXPECT_TRUE(FileExists(Sys("e.bin")));
  EXPECT_EQ(FileRename(Sys("b.bin"), Sys("f.bin")), -24);
  EXPECT_EQ(FileDelete(Sys("e.bin")), 0);
  EXPECT_EQ(FileDelete(Sys("e.bin")), -24);
  EXPECT_EQ(FileDelete(dir), -24);  // never a folder
  // A save's last step: the complete file takes the name, the folder synced.
  WriteOs("c.bin.tmp", "new");
  EXPECT_EQ(FileReplace(Sys("c.bin.tmp"), Sys("c.bin")), 0);
  EXPECT_EQ(ReadOs("c.bin"), "new");
  EXPECT_EQ(FileReplace(Sys("c.bin.tmp"), Sys("c.bin")), -24);
  EXPECT_EQ(FolderSync(dir), 0);
  EXPECT_EQ(FolderSync(Sys("none")), -20);
  std::vector<std::string> left;
  for (auto& e : std::filesystem::directory_iterator(osDir)) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"a.bin", "c.bin"}));
}

// A save is done only once the disk keeps its name: a folder sync that fails
// after the rename is said as the save's failure (the new bytes hold the
// name, which the disk may not keep), by the save that ends with it too.
TEST_F(Files, AFolderSyncThatFailsAfterTheRenameIsNoSave) {
  WriteOs("kept.bin", "old");
  WriteOs("kept.bin.new", "new");
  synccount::FailFolderSyncs(EIO);
  const int32_t replaced = FileReplace(Sys("kept.bin.new"), Sys("kept.bin"));
  const int32_t saved = PutFileInPlace(Sys("saved.bin"), std::string_view("bytes"), ".tmp");
  const int32_t synced = FolderSync(dir);
  synccount::FailFolderSyncs(0);
  EXPECT_EQ(replaced, -3);
  EXPECT_EQ(saved, -3);
  EXPECT_EQ(synced, -20);
  EXPECT_EQ(ReadOs("kept.bin"), "new");
  EXPECT_FALSE(std::filesystem::exists(osDir + "/kept.bin.new"));
  EXPECT_FALSE(std::filesystem::exists(ToOsPath(WorkFileName(Sys("saved.bin"), ".tmp"))));
  EXPECT_EQ(FileReplace(Sys("saved.bin"), Sys("again.bin")), 0);  // a disk that keeps it: done
}

// Every name a folder search gives opens, copies, renames, deletes and is
// saved under that name, and the bytes on the disk are the file's.
TEST_F(Files, EveryNameOnTheDiskWorksUnderTheNameItsSearchGives) {
  const std::string rows[] = {"\xE9\x9F\xB3\xE6\xA5\xBD.wav", "\xD0\x9C\xD1\x83\xD0\xB7\xD1\x8B\xD0\xBA\xD0\xB0.wav",
                              "caf\xE9.wav", "back\\slash.wav", "caf\xC3\xA9.wav"};
  int32_t held = 0;  // the figure: rows that went through whole
  for (const std::string& os : rows) {
    std::filesystem::remove_all(osDir);
    std::filesystem::create_directories(osDir);
    WriteOs(os, "bytes of " + os);
    const std::string before = CurrentFolder();
    std::vector<FolderEntry> found;
    const bool searched = ChangeFolder(dir) && FolderSearch("*.wav", kAttrArchive, found) && found.size() == 1;
    ChangeFolder(before);
    const std::string name = searched ? found[0].name : "";
    int32_t n = FreeFile();
    bool ok = searched && FileExists(Sys(name)) && FileLength(Sys(name)) == int64_t(9 + os.size());
    std::string read(9 + os.size(), '\0');
    size_t got = 0;
    ok = ok && FileOpen(n, Sys(name), kFileBinary, kAccessRead) == 0 &&
         FileGet(n, 1, read.data(), read.size(), &got) == 0 && read == "bytes of " + os;
    FileClose(n);
    // Read whole, told apart, listed and dated under the same name.
    std::vector<unsigned char> whole;
    std::vector<std::string> names;
    ok = ok && FileReadWhole(Sys(name), whole) == 0 && std::string(whole.begin(), whole.end()) == "bytes of " + os &&
         PathKindAt(Sys(name)) == PathKind::kFile && FolderNames(dir, names) &&
         names == std::vector<std::string>{name} && FileModifiedTime(Sys(name)) > 0;
    ok = ok && FileCopy(Sys(name), Sys(name + ".copy")) == 0 && ReadOs(os + ".copy") == "bytes of " + os;
    ok = ok && FileDelete(Sys(name)) == 0 && FileRename(Sys(name + ".copy"), Sys(name)) == 0 &&
         ReadOs(os) == "bytes of " + os;
    // Saved again under its own name: written anew, then put in place.
    n = FreeFile();
    ok = ok && FileOpen(n, Sys(name + ".new"), kFileBinary) == 0 && FilePut(n, 1, "saved", 5) == 0;
    FileClose(n);
    ok = ok && FileReplace(Sys(name + ".new"), Sys(name)) == 0 && ReadOs(os) == "saved";
    std::vector<std::string> left;
    for (auto& e : std::filesystem::directory_iterator(osDir)) left.push_back(e.path().filename());
    ok = ok && left == std::vector<std::string>{os};
    EXPECT_TRUE(ok) << os << " listed as " << name;
    held += ok;
  }
  EXPECT_EQ(held, static_cast<int32_t>(std::size(rows)));
}

// A save onto a link writes the file the link names, whatever leads there (a
// chain of links, a relative one read from its own folder), and keeps every
// link; a dangling link gets the file it names. The work file lies beside
// that file, so the rename stays on its disk. A save onto anything else that
// is no regular file (a named pipe, a device, a loop of links) is refused and
// changes nothing, as is a copy.
TEST_F(Files, ASaveOntoALinkWritesTheFileItNamesAndNothingElseThatIsNoFile) {
  const std::string real = osDir + "/real", links = osDir + "/links";
  std::filesystem::create_directories(real);
  std::filesystem::create_directories(links);
  WriteOs("real/song.wav", "old song");
  WriteOs("real/other.wav", "old other");
  ASSERT_EQ(mkfifo((links + "/pipe").c_str(), 0644), 0);
  const std::pair<const char*, std::string> made[] = {
      {"abs.wav", real + "/song.wav"}, {"rel.wav", "../real/other.wav"}, {"chain.wav", "rel.wav"},
      {"dangling.wav", "../real/new.wav"}, {"topipe", "pipe"}, {"null.wav", "/dev/null"},
      {"loop1", "loop2"}, {"loop2", "loop1"}, {"nowhere.wav", "../gone/new.wav"}};
  for (const auto& [name, to] : made) ASSERT_EQ(symlink(to.c_str(), (links + "/" + name).c_str()), 0) << name;
  const auto listing = [](const std::string& at) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(at))
      names.push_back(e.path().filename().string() + (e.is_symlink() ? "@" : ""));
    std::sort(names.begin(), names.end());
    return names;
  };
  const struct {
    const char* name;  // in links
    int32_t rc;
    const char* written;  // the file in real that holds the new bytes; null: refused
  } rows[] = {
      {"abs.wav", 0, "song.wav"},     {"rel.wav", 0, "other.wav"},  {"chain.wav", 0, "other.wav"},
      {"dangling.wav", 0, "new.wav"}, {"pipe", -kOpenNotRegular, nullptr},
      {"topipe", -kOpenNotRegular, nullptr}, {"null.wav", -kOpenNotRegular, nullptr},
      {"loop1", -kOpenNotRegular, nullptr},  {"nowhere.wav", -2, nullptr},  // no folder for its file
  };
  int32_t linksKept = 0;  // the figure
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const std::vector<std::string> before = listing(links), realBefore = listing(real);
    const std::string bytes = std::string("new ") + r.name;
    std::string work;
    const int32_t rc = PutFileInPlace(Sys(std::string("links\\") + r.name), ".tmp", [&](int fd) {
      work = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
      return SaveWrite(fd, bytes.data(), bytes.size());
    });
    EXPECT_EQ(rc, r.rc);
    EXPECT_EQ(listing(links), before);
    linksKept += listing(links) == before;
    if (r.written) {
      EXPECT_EQ(ReadOs(std::string("real/") + r.written), bytes);
      EXPECT_EQ(work.substr(0, real.size() + 1), real + "/");
    } else {
      EXPECT_EQ(work, "");
      EXPECT_EQ(listing(real), realBefore);
    }
  }
  EXPECT_EQ(linksKept, static_cast<int32_t>(std::size(rows)));
  EXPECT_TRUE(std::filesystem::is_fifo(links + "/pipe"));
  EXPECT_EQ(ReadOs("real/song.wav"), "new abs.wav");
  EXPECT_EQ(std::filesystem::read_symlink(links + "/chain.wav"), "rel.wav");
  // A copy goes through the same steps.
  EXPECT_EQ(FileCopy(Sys("real\\song.wav"), Sys("links\\rel.wav")), 0);
  EXPECT_EQ(ReadOs("real/other.wav"), "new abs.wav");
  EXPECT_EQ(FileCopy(Sys("real\\song.wav"), Sys("links\\topipe")), -20);
  EXPECT_TRUE(std::filesystem::is_symlink(links + "/rel.wav"));
  EXPECT_TRUE(std::filesystem::is_symlink(links + "/topipe"));
}

// A save's work file sits beside its target and fits wherever the target
// does; a second claim meanwhile gets a name of its own.
TEST_F(Files, WorkFilesFitBesideEveryLegalName) {
  const std::pair<std::string, bool> rows[] = {  // the target's name; whether its work file is it + "~tarvelo-1.tmp"
      {"a.bin", true},
      {std::string(234, 'w') + ".bin", true},  // 255 bytes with the mark, four digits and the suffix
      {std::string(235, 'w') + ".bin", false},
      {std::string(246, 's') + ".tarvelo", false},  // 254 bytes
      {std::string(122, '\xE9') + ".wav", false},   // 126 characters, 248 bytes on the disk
  };
  for (const auto& [name, plain] : rows) {
    const std::string work = ClaimWorkFile(Sys(name), ".tmp"), second = ClaimWorkFile(Sys(name), ".tmp");
    const std::string own = work.substr(dir.size() + 1);  // in the target's folder
    EXPECT_EQ(own == name + "~tarvelo-1.tmp", plain) << own;
    EXPECT_EQ(own.rfind(kWorkMark, 0) == 0, !plain) << own;
    // A short name keeps the target's extension.
    EXPECT_TRUE(plain || own.ends_with("-1" + name.substr(name.rfind('.')) + ".tmp")) << own;
    EXPECT_LE(ToOsPath(own).size(), 255u);
    EXPECT_NE(second, work);
    ReleaseWorkFile(second);
    ReleaseWorkFile(work);
  }
}

// Only the names our saves make are work files: a user's own files of like
// names (a document's name with ".tmp", a download's ".part") are not, and
// every name ClaimWorkFile gives is, also once no save of this run claims it.
TEST_F(Files, OnlyTheNamesOurSavesMakeAreWorkFiles) {
  const char* const users[] = {"X.tarvelo.tmp", "mix.wav.tmp", "download.wav.part~", "Todo.txt.tmp",
                               "kick.wav.part", "Same.tarvelo~2.tmp", "a.tarvelo~x.tmp", "notes.tmp",
                               "~tarvelo-0123.tmp", "~tarvelo-0123456789abcdeg.tmp", "X.tarvelo~tarvelo-.tmp",
                               "X.tarvelo~tarvelo-1.bak", "~tarvelo-1.tmp"};
  int32_t wrong = 0;  // the figure: names read the wrong way
  for (const char* name : users) {
    EXPECT_FALSE(IsWorkFile(dir, name)) << name << " is the user's";
    wrong += IsWorkFile(dir, name);
  }
  // Left by an older version under its own short name: ours all the same.
  for (const char* name : {"~tarvelo-0123456789abcdef.tmp", "~tarvelo-0123456789abcdef~2.part"}) {
    EXPECT_TRUE(IsWorkFile(dir, name)) << name;
    wrong += !IsWorkFile(dir, name);
  }
  for (const std::string& target : {std::string("Song.tarvelo"), std::string("big#2.wav"), std::string("noext"),
                                    std::string(246, 's') + ".tarvelo"})
    for (const char* suffix : {".tmp", ".part", ".part~"}) {
      const std::string work = ClaimWorkFile(Sys(target), suffix), second = ClaimWorkFile(Sys(target), suffix);
      ReleaseWorkFile(second);
      ReleaseWorkFile(work);
      int32_t claim = 0;
      for (const std::string& claimed : {work, second}) {
        const std::string own = claimed.substr(dir.size() + 1);
        ++claim;
        // Read back as what it was written for.
        WorkName read;
        const bool ours = IsWorkFile(dir, own) && ReadWorkName(own, read) && read.suffix == suffix &&
                          read.claim == claim && (read.target == target || (read.target.empty() && read.hash.size() == 16 &&
                                                                            read.extension == ".tarvelo"));
        EXPECT_TRUE(ours) << own;
        wrong += !ours;
      }
    }
  EXPECT_EQ(wrong, 0);
}

// A save holds its work file while it writes it, to its rename: the start's
// sweep takes no hold of it then, nor of one another program's save holds
// (another open file's lock here), and a save whose work name another
// program holds writes beside it and leaves that file as it is.
TEST_F(Files, ARunningSaveHoldsItsWorkFile) {
  const std::string first = ToOsPath(WorkFileName(Sys("song.tarvelo"), ".tmp"));
  const int other = ::open(first.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  ASSERT_EQ(::write(other, "other", 5), 5);
  EXPECT_EQ(HoldLeftWorkFile(FromOsPath(first)), -1);
  int sweepHeld = -2;
  std::string writtenAs(PATH_MAX, '\0');
  const int32_t rc = PutFileInPlace(Sys("song.tarvelo"), ".tmp", [&](int fd) {
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), writtenAs.data(), writtenAs.size());
    writtenAs.resize(n > 0 ? size_t(n) : 0);
    sweepHeld = HoldLeftWorkFile(FromOsPath(writtenAs));
    return SaveWrite(fd, "mine", 4);
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(sweepHeld, -1) << "the sweep could take a running save's work file";
  EXPECT_EQ(writtenAs, ToOsPath(WorkFileName(Sys("song.tarvelo"), ".tmp", 2)));
  EXPECT_EQ(ReadOs("song.tarvelo"), "mine");
  EXPECT_EQ(ReadOs(std::filesystem::path(first).filename()), "other");
  ::close(other);
  // Let go, it is a leftover: the sweep holds it, and a save meanwhile
  // writes beside it.
  const int held = HoldLeftWorkFile(FromOsPath(first));
  EXPECT_GE(held, 0);
  EXPECT_EQ(PutFileInPlace(Sys("song.tarvelo"), std::string_view("again"), ".tmp"), 0);
  EXPECT_EQ(ReadOs("song.tarvelo"), "again");
  EXPECT_EQ(ReadOs(std::filesystem::path(first).filename()), "other");
  if (held >= 0) ::close(held);
  // Only a plain file under the name is held.
  std::filesystem::create_symlink(first, osDir + "/link" + std::string(kWorkMark) + "1.tmp");
  EXPECT_EQ(HoldLeftWorkFile(Sys("link" + std::string(kWorkMark) + "1.tmp")), -1);
}

TEST_F(Files, NumbersAreTakenAndGivenBack) {
  EXPECT_EQ(FreeFile(), 1);
  std::vector<int32_t> taken;
  for (int i = 0; i < kMaxFileNumbers; ++i) {
    int32_t n = FreeFile();
    ASSERT_EQ(n, i + 1);
    ASSERT_EQ(FileOpen(n, Sys("f" + std::to_string(i)), kFileOutput), 0);
  }
  EXPECT_EQ(FreeFile(), 0);
  EXPECT_EQ(FileOpen(3, Sys("again"), kFileOutput), 1);  // already open
  EXPECT_EQ(FileClose(17), 0);
  EXPECT_EQ(FileClose(17), -19);
  EXPECT_EQ(FreeFile(), 17);
  FileCloseAll();
  EXPECT_EQ(FreeFile(), 1);
  EXPECT_EQ(FileOpen(0, Sys("x"), kFileOutput), 1);
  EXPECT_EQ(FileOpen(kMaxFileNumbers + 1, Sys("x"), kFileOutput), 1);
  EXPECT_EQ(FileClose(0), -19);
}

TEST_F(Files, OpenFailures) {
  EXPECT_EQ(FileOpen(1, Sys("missing.txt"), kFileInput), 2);
  EXPECT_EQ(FileOpen(1, Sys("missing.bin"), kFileBinary, kAccessRead), 2);
  EXPECT_EQ(FileOpen(1, Sys("nofolder\\x.txt"), kFileOutput), 2);
  EXPECT_EQ(FileOpen(1, dir, kFileInput), kOpenFolder);  // a folder is no file
  EXPECT_EQ(FileOpen(1, "", kFileInput), 2);
  WriteOs("ro.txt", "keep");
  chmod((osDir + "/ro.txt").c_str(), 0444);
  if (geteuid() != 0) {
    EXPECT_EQ(FileOpen(1, Sys("ro.txt"), kFileOutput), kOpenNoPermission);
    EXPECT_EQ(ReadOs("ro.txt"), "keep");
  }
  EXPECT_FALSE(FileIsOpen(1));

  // A refusal names its cause: a folder the user may not write in, a file
  // system mounted read-only. Each is tried in a child of its own: as nobody
  // (root may write anywhere), and in a mount namespace of its own. Rows: the
  // folder, the mount's flags (none: no mount), the code.
  ASSERT_EQ(chmod(osDir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((osDir + "/shut").c_str(), 0555), 0);
  ASSERT_EQ(mkdir((osDir + "/rofs").c_str(), 0777), 0);
  constexpr int kCannot = 200;  // the child could not set the case up
  const struct {
    const char* folder;
    bool mount;
    int32_t code;
  } causes[] = {{"shut", false, kOpenNoPermission}, {"rofs", true, kOpenReadOnly}};
  for (const auto& c : causes) {
    SCOPED_TRACE(c.folder);
    const std::string path = Sys(std::string(c.folder) + "\\new.wav");
    const std::string at = osDir + "/" + c.folder;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.mount) {
        const bool own = geteuid() == 0 ? unshare(CLONE_NEWNS) == 0 : unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0;
        if (!own) _exit(kCannot);
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        if (mount("none", at.c_str(), "tmpfs", MS_RDONLY, nullptr) != 0) _exit(kCannot);
      } else if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
        _exit(kCannot);
      }
      _exit(FileOpen(1, path, kFileOutput));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kCannot) continue;  // no namespace to be had here
    EXPECT_EQ(WEXITSTATUS(status), c.code);
    EXPECT_FALSE(std::filesystem::exists(at + "/new.wav"));
  }

  // A named pipe is refused at once in every mode (a read would wait for a
  // writer for good), and so is a copy from one; a device is no file to read,
  // though writes still take one (the full-disk cases write to /dev/full).
  // The refusal says which: no regular file, or a folder.
  ASSERT_EQ(mkfifo((osDir + "/pipe").c_str(), 0644), 0);
  const std::pair<FileMode, FileAccess> modes[] = {{kFileInput, kAccessRead},     {kFileOutput, kAccessReadWrite},
                                                   {kFileAppend, kAccessReadWrite}, {kFileBinary, kAccessRead},
                                                   {kFileBinary, kAccessWrite},   {kFileBinary, kAccessReadWrite}};
  for (const auto& [mode, access] : modes) {
    EXPECT_EQ(FileOpen(1, Sys("pipe"), mode, access), kOpenNotRegular) << mode << access;
    EXPECT_EQ(FileOpen(1, dir, mode, access), kOpenFolder) << mode << access;
  }
  EXPECT_EQ(FileCopy(Sys("pipe"), Sys("copy.bin")), -20);
  EXPECT_FALSE(FileExists(Sys("copy.bin")));
  ASSERT_EQ(symlink("/dev/zero", (osDir + "/zero.bin").c_str()), 0);
  EXPECT_EQ(FileOpen(1, Sys("zero.bin"), kFileInput), kOpenNotRegular);
  EXPECT_EQ(FileOpen(1, Sys("zero.bin"), kFileBinary, kAccessRead), kOpenNotRegular);
  EXPECT_EQ(FileOpen(1, "/dev/null", kFileInput), kOpenNotRegular);
  EXPECT_EQ(FileOpen(1, "/dev/null", kFileBinary, kAccessRead), kOpenNotRegular);
  EXPECT_FALSE(FileIsOpen(1));
  EXPECT_EQ(FileOpen(1, "/dev/null", kFileOutput), 0);
  EXPECT_EQ(FileClose(1), 0);
  // A whole read refuses the same, and says what lies at each name.
  const struct {
    std::string path;
    int32_t read;
    PathKind kind;
  } whole[] = {{Sys("pipe"), kOpenNotRegular, PathKind::kOther},  {dir, kOpenFolder, PathKind::kFolder},
               {Sys("zero.bin"), kOpenNotRegular, PathKind::kLink}, {Sys("missing"), 2, PathKind::kNothing}};
  for (const auto& w : whole) {
    std::vector<unsigned char> bytes{1};
    EXPECT_EQ(FileReadWhole(w.path, bytes), w.read) << w.path;
    EXPECT_TRUE(bytes.empty()) << w.path;
    EXPECT_EQ(PathKindAt(w.path), w.kind) << w.path;
  }
  EXPECT_EQ(FileModifiedTime(Sys("missing")), -1);
  EXPECT_EQ(OpenForSync(Sys("missing")), -1);
  const int fd = OpenForSync(dir);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST_F(Files, OutputAppendAndBinaryKeepContent) {
  int32_t n = Open("log.txt", kFileOutput);
  ASSERT_GT(n, 0);
  EXPECT_EQ(FileWriteLine(n, "first"), 0);
  EXPECT_EQ(FileWrite(n, "sec"), 0);
  EXPECT_EQ(FileLengthOf(n), 10);  // flushed before measuring
  FileClose(n);
  n = Open("log.txt", kFileAppend);
  EXPECT_EQ(FileWriteLine(n, "ond"), 0);
  FileClose(n);
  EXPECT_EQ(ReadOs("log.txt"), "first\r\nsecond\r\n");
  // Binary read-write keeps what is there and creates a missing file.
  n = Open("log.txt", kFileBinary);
  EXPECT_EQ(FileLengthOf(n), 15);
  FileClose(n);
  n = Open("new.bin", kFileBinary, kAccessWrite);
  ASSERT_GT(n, 0);
  FileClose(n);
  EXPECT_TRUE(FileExists(Sys("new.bin")));
  // Output empties an existing file.
  n = Open("log.txt", kFileOutput);
  FileClose(n);
  EXPECT_EQ(FileLength(Sys("log.txt")), 0);
}

TEST_F(Files, PositionedBinaryTransfers) {
  int32_t n = Open("h.bin", kFileBinary);
  ASSERT_GT(n, 0);
  EXPECT_EQ(FilePosition(n), 1);
  EXPECT_TRUE(FileEof(n));
  EXPECT_EQ(FilePut(n, 1, "RIFF", 4), 0);
  EXPECT_EQ(FilePut(n, 9, "WAVE", 4), 0);  // the gap reads as zeros
  EXPECT_EQ(FilePosition(n), 13);
  uint32_t size = 0x01020304;
  EXPECT_EQ(FilePut(n, 5, &size, 4), 0);
  EXPECT_EQ(FilePosition(n), 9);
  EXPECT_EQ(FilePut(n, 0, "more", 4), 0);  // at the current position: over "WAVE"
  EXPECT_EQ(FileLengthOf(n), 12);
  char buf[16];
  size_t got = 0;
  EXPECT_EQ(FileGet(n, 1, buf, 12, &got), 0);
  EXPECT_EQ(got, 12u);
  EXPECT_EQ(std::string(buf, 12), std::string("RIFF\x04\x03\x02\x01more", 12));
  EXPECT_TRUE(FileEof(n));
  EXPECT_EQ(FileSeek(n, 5), 0);
  EXPECT_FALSE(FileEof(n));
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(FileGet(n, 0, buf, 16, &got), 0);  // past the end: zeros
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(buf[8], 0);
  EXPECT_EQ(buf[15], 0);
  EXPECT_EQ(FileSeek(n, 0), -19);
  EXPECT_EQ(FileGet(n, -1, buf, 1), -19);
  EXPECT_EQ(FilePut(n, 1, nullptr, 1), -19);
  FileClose(n);
  EXPECT_EQ(FileGet(n, 1, buf, 1), -19);
  EXPECT_EQ(FilePut(n, 1, buf, 1), -19);
  // Read-only binary access refuses writes.
  n = Open("h.bin", kFileBinary, kAccessRead);
  ASSERT_GT(n, 0);
  EXPECT_EQ(FilePut(n, 1, "x", 1), -20);
  EXPECT_EQ(FileGet(n, 1, buf, 4), 0);
  EXPECT_EQ(std::string(buf, 4), "RIFF");
}

// A full disk shows only when buffered bytes are written: at a flush, at the
// seek before a positioned transfer, or at the close.
TEST_F(Files, AFullDiskIsReportedWhereverItShows) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string full = Sys("full");
  std::filesystem::create_symlink("/dev/full", osDir + "/full");
  int32_t n = FreeFile();
  ASSERT_EQ(FileOpen(n, full, kFileOutput), 0);
  EXPECT_EQ(FileWrite(n, "a few bytes"), 0);  // still buffered
  EXPECT_EQ(FileClose(n), -20);
  EXPECT_FALSE(FileIsOpen(n));  // the number is given back all the same
  EXPECT_EQ(FileClose(n), -19);

  ASSERT_EQ(FileOpen(n, full, kFileBinary, kAccessWrite), 0);
  EXPECT_EQ(FilePut(n, 1, "head", 4), 0);
  EXPECT_EQ(FilePut(n, 9, "body", 4), -20);  // not a bad position: the disk
  FileClose(n);

  // A save's sync before its rename: the buffered bytes first.
  ASSERT_EQ(FileOpen(n, full, kFileOutput), 0);
  EXPECT_EQ(FileWrite(n, "a few bytes"), 0);
  EXPECT_EQ(FileSync(n), -20);
  FileClose(n);
  EXPECT_EQ(FileSync(n), -19);
  n = Open("synced.bin", kFileOutput);
  ASSERT_GT(n, 0);
  EXPECT_EQ(FileWrite(n, "kept"), 0);
  EXPECT_EQ(FileSync(n), 0);
  EXPECT_EQ(FileLengthOf(n), 4);
  FileClose(n);

  // Cutting a file back: what was written and buffered stays up to the length.
  n = Open("cut.bin", kFileBinary);
  ASSERT_GT(n, 0);
  EXPECT_EQ(FilePut(n, 1, "0123456789", 10), 0);
  EXPECT_EQ(FileTruncate(n, 6), 0);
  EXPECT_EQ(FileLengthOf(n), 6);
  EXPECT_EQ(FileTruncate(n, -1), -19);
  EXPECT_EQ(FileClose(n), 0);
  EXPECT_EQ(FileTruncate(n, 1), -19);
  std::ifstream in(osDir + "/cut.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "012345");
}

TEST_F(Files, InputItemsAndLines) {
  WriteOs("s.txt",
          "\"LANGUAGE\",1\r\n"
          "  \"FOLDER\" , \"C:\\a, b\" tail,  x y  \n"
          "\n"
          "last\rcr only\r\n"
          "\"unclosed, item\n"
          "end");
  int32_t n = Open("s.txt", kFileInput);
  ASSERT_GT(n, 0);
  std::string s;
  auto item = [&] { EXPECT_EQ(FileReadItem(n, s), 0); return s; };
  EXPECT_EQ(item(), "LANGUAGE");
  EXPECT_EQ(item(), "1");
  EXPECT_EQ(item(), "FOLDER");
  EXPECT_EQ(item(), "C:\\a, b");
  EXPECT_EQ(item(), "x y  ");
  EXPECT_EQ(item(), "");  // the blank line
  EXPECT_EQ(item(), "last");
  EXPECT_EQ(FileReadLine(n, s), 0);
  EXPECT_EQ(s, "cr only");
  EXPECT_EQ(item(), "unclosed, item");
  EXPECT_FALSE(FileEof(n));
  EXPECT_EQ(FileReadLine(n, s), 0);
  EXPECT_EQ(s, "end");
  EXPECT_TRUE(FileEof(n));
  EXPECT_EQ(FileReadItem(n, s), -17);
  EXPECT_EQ(FileReadLine(n, s), -17);
  EXPECT_EQ(s, "");
  FileClose(n);
  EXPECT_EQ(FileReadItem(n, s), -19);
  EXPECT_EQ(FileReadLine(n, s), -19);

  WriteOs("long.txt", std::string(5000, 'a') + ",b\n" + std::string(5000, 'c') + "\nd");
  n = Open("long.txt", kFileInput);
  EXPECT_EQ(item(), std::string(kMaxItemLength, 'a'));
  EXPECT_EQ(item(), "b");
  EXPECT_EQ(FileReadLine(n, s), 0);
  EXPECT_EQ(s.size(), kMaxItemLength);
  EXPECT_EQ(item(), "d");
}

TEST(ItemValue, DecimalNumbersOnly) {
  EXPECT_EQ(ItemValue("  42 "), 42.0);
  EXPECT_EQ(ItemValue("+.25"), 0.25);
  EXPECT_EQ(ItemValue("1.5e"), 1.5);
  EXPECT_EQ(ItemValue("."), 0.0);
  EXPECT_EQ(ItemValue("nan"), 0.0);
  EXPECT_EQ(ItemValue("0x10"), 0.0);
  EXPECT_EQ(ItemValue("-1e400"), -DBL_MAX);
  EXPECT_EQ(ItemValue(std::string(400, '9')), DBL_MAX);
  EXPECT_EQ(ItemValue("1e-400"), 0.0);
  EXPECT_EQ(ItemValue("0." + std::string(400, '0') + "1"), 0.0);
}

TEST_F(Files, SeveralThreadsOpenUnderTheirOwnLock) {
  // Taking a number and opening happen together under one lock, as callers do.
  std::mutex filesLock;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        int32_t n;
        {
          std::lock_guard<std::mutex> g(filesLock);
          n = FreeFile();
          if (n == 0 || FileOpen(n, Sys("t" + std::to_string(t)), kFileOutput) != 0) {
            failures++;
            continue;
          }
        }
        if (FileWriteLine(n, "x") != 0) failures++;
        if (FileClose(n) != 0) failures++;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(FreeFile(), 1);
}

// --- The saver ---------------------------------------------------------------------------

namespace {
// Waits by sleeping until `done` holds; false after 30 s (a hang only).
template <class F>
bool WaitFor(F done) {
  for (int i = 0; i < 30000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}
}  // namespace

// Saves handed to the saver while the disk holds its syncs: the caller goes
// on, the file keeps its old bytes and nothing says "saved" until the sync is
// done; two saves of one file reach the disk and are told in their order, the
// later bytes in place.
TEST_F(Files, TheSaverWritesAsideAndTellsEachSaveInOrderOnlyOnceOnTheDisk) {
  ASSERT_TRUE(SaverStart());
  WriteOs("doc", "old");
  std::vector<std::string> heard;
  const std::string first(100, 'a'), second(200, 'b');
  synccount::Reset();
  synccount::Hold("tarvelo-save", false);
  for (const std::string* bytes : {&first, &second}) {
    SaveRequest r;
    r.Target = Sys("doc");
    r.Bytes = *bytes;
    r.Done = [&heard, bytes](int32_t rc) { heard.push_back(bytes->substr(0, 1) + std::to_string(rc)); };
    EXPECT_EQ(SaveInBackground(std::move(r)), 0);
    // The first is being written when the second comes (else the second replaces it).
    ASSERT_TRUE(WaitFor([] { return synccount::On("tarvelo-save") >= 1; }));
  }
  EXPECT_EQ(synccount::On(synccount::ThreadName()), 0);  // no sync on the caller's thread
  // One thread for the disk, made at its first save.
  EXPECT_EQ(synccount::ThreadsNamed("tarvelo-save"), 1);
  EXPECT_EQ(ReadOs("doc"), "old");
  EXPECT_EQ(SaverPending(), 2);
  EXPECT_EQ(SaverTakeOutcomes(), 0);
  // An act on the file waits for its last save's outcome; one on another file does not.
  EXPECT_TRUE(SaverHolds(Sys("doc")));
  EXPECT_FALSE(SaverHolds(Sys("other")));
  SaverWhenDone(Sys("doc"), [&heard] { heard.push_back("act"); });
  SaverWhenDone(Sys("other"), [&heard] { heard.push_back("now"); });
  EXPECT_EQ(heard, (std::vector<std::string>{"now"}));
  synccount::Release();
  ASSERT_TRUE(SaverWaitIdle(30.0));
  EXPECT_TRUE(SaverHolds(Sys("doc")));  // written, but not yet told
  EXPECT_EQ(SaverTakeOutcomes(), 2);
  EXPECT_FALSE(SaverHolds(Sys("doc")));
  EXPECT_EQ(heard, (std::vector<std::string>{"now", "a0", "b0", "act"}));
  EXPECT_EQ(ReadOs("doc"), second);
  std::vector<int64_t> synced;  // the files' syncs (the folder's are no regular files)
  for (const synccount::Sync& s : synccount::Syncs())
    if (s.length > 0) synced.push_back(s.length);
  EXPECT_EQ(synced, (std::vector<int64_t>{100, 200}));
  EXPECT_EQ(SaverStop(30.0, nullptr), 0);
  EXPECT_EQ(synccount::ThreadsNamed("tarvelo-save"), 0);
}

// A disk that writes a big save slowly: one sync would wait longer than the
// quit's idle bound, but the save's pieces written back one by one show it
// writing, so the quit waits and the file is in place. The saver's own: its
// disk keeps no count (this machine's moves with other work), so only the
// pieces it waits for show the disk writing.
TEST_F(Files, TheQuitWaitsWhileTheDiskWritesASaveBack) {
  Saver saver([](uint64_t) -> int64_t { return -1; });
  ASSERT_TRUE(saver.Start());
  WriteOs("big", "old");
  synccount::Reset();
  synccount::Pace(2 << 20);
  synccount::PaceSyncs(2 << 20);
  int32_t told = 1;
  SaveRequest r;
  r.Target = Sys("big");
  r.Bytes = std::string(size_t(4) << 20, 'n');
  r.Done = [&told](int32_t rc) { told = rc; };
  saver.Hand(std::move(r));
  // Half the save's time at the disk's pace.
  EXPECT_EQ(saver.Stop(1.0, nullptr), 0);
  synccount::Pace(0);
  synccount::PaceSyncs(0);
  EXPECT_EQ(told, 0);
  EXPECT_EQ(ReadOs("big"), std::string(size_t(4) << 20, 'n'));
}

// A save the disk refuses is told as a failure, and the file saved before
// stays whole with no work file left beside it.
TEST_F(Files, ASaveTheDiskRefusesKeepsTheOldFileAndSaysWhy) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_TRUE(SaverStart());
  const struct {
    const char* name;
    const char* why;  // what lies in the way
    int32_t rc;
  } rows[] = {
      {"full", "work file on a full disk", -3},
      {"gone\\doc", "folder missing", -2},
      {"folder", "a folder holding a file in the target's place", -20},
  };
  WriteOs("full", "old");
  const std::string fullWork = ToOsPath(WorkFileName(Sys("full"), ".tmp"));
  std::filesystem::create_symlink("/dev/full", fullWork);
  std::filesystem::create_directories(osDir + "/folder/inside");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    int32_t told = 1;
    SaveRequest r;
    r.Target = Sys(row.name);
    r.Bytes = std::string(5000, 'n');
    r.Done = [&told](int32_t rc) { told = rc; };
    EXPECT_EQ(SaveInBackground(std::move(r)), 0);
    ASSERT_TRUE(SaverWaitIdle(30.0));
    EXPECT_EQ(SaverTakeOutcomes(), 1);
    EXPECT_EQ(told, row.rc);
  }
  EXPECT_EQ(ReadOs("full"), "old");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(fullWork)));
  EXPECT_TRUE(std::filesystem::exists(osDir + "/folder/inside"));
  EXPECT_FALSE(std::filesystem::exists(ToOsPath(WorkFileName(Sys("folder"), ".tmp"))));
  EXPECT_EQ(SaverStop(30.0, nullptr), 0);
}

// The end waits for every save handed over, and for those their outcomes hand
// over, telling how many are left while the disk holds them; afterwards a
// save runs on its caller's thread, told before it returns.
TEST_F(Files, TheSaverStopWaitsForEverySaveAndItsFollowers) {
  ASSERT_TRUE(SaverStart());
  static std::vector<int32_t> shown;
  shown.clear();
  std::vector<std::string> heard;
  synccount::Reset();
  synccount::Hold("tarvelo-save", false);
  SaveRequest r;
  r.Target = Sys("a");
  r.Bytes = "a";
  r.Done = [&](int32_t rc) {
    heard.push_back("a" + std::to_string(rc));
    SaveRequest then;
    then.Target = Sys("b");
    then.Bytes = "b";
    then.Done = [&heard](int32_t rc2) { heard.push_back("b" + std::to_string(rc2)); };
    SaveInBackground(std::move(then));
  };
  SaveInBackground(std::move(r));
  std::thread disk([] {
    WaitFor([] { return synccount::On("tarvelo-save") >= 1; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    synccount::Release();
  });
  EXPECT_EQ(SaverStop(30.0,
                      [](int32_t left) {
                        shown.push_back(left);
                        return true;
                      }),
            0);
  disk.join();
  EXPECT_EQ(heard, (std::vector<std::string>{"a0", "b0"}));
  EXPECT_EQ(ReadOs("a"), "a");
  EXPECT_EQ(ReadOs("b"), "b");
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), 1);
  EXPECT_FALSE(SaverRunning());
  int32_t told = 1;
  SaveRequest late;
  late.Target = Sys("c");
  late.Bytes = "c";
  late.Done = [&told](int32_t rc) { told = rc; };
  EXPECT_EQ(SaveInBackground(std::move(late)), 0);
  EXPECT_EQ(told, 0);
  EXPECT_EQ(ReadOs("c"), "c");
}

// A saver of the test's own, whose disk's written-bytes count the test moves:
// while the disk holds the save's sync, a count that moves keeps the stop
// waiting past its idle bound; one that stands still, or a stop cut short,
// ends it with the saves not finished named, and the held save tells nothing
// afterwards. A saver made after it knows nothing of the held one.
TEST_F(Files, TheQuitWaitsWhileTheDeviceWritesAndNamesWhatItCouldNotFinish) {
  static std::atomic<int64_t> deviceBytes{0};
  const struct {
    const char* why;
    bool moves;
    bool cut;  // the stop's callback cuts the wait short
    int32_t rc;
  } rows[] = {
      {"the device writes another file's bytes ahead of ours", true, false, 0},
      {"the device writes nothing", false, false, -1},
      {"a second quit signal", true, true, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    WriteOs("a", "old");
    WriteOs("b", "old");
    std::vector<std::string> heard;
    {
      Saver saver([](uint64_t) { return deviceBytes.load(); });
      ASSERT_TRUE(saver.Start());
      synccount::Reset();
      synccount::Hold("tarvelo-save", false);
      for (const char* name : {"a", "b"}) {
        SaveRequest r;
        r.Target = Sys(name);
        r.Bytes = name;
        r.Done = [&heard, name](int32_t rc) { heard.push_back(name + std::to_string(rc)); };
        saver.Hand(std::move(r));
      }
      ASSERT_TRUE(WaitFor([] { return synccount::On("tarvelo-save") >= 1; }));
      std::atomic<bool> stop{false};
      std::thread device([&] {
        // Two seconds of writing (four idle bounds), then the disk gets to our save.
        for (int i = 0; i < 40 && !stop; ++i) {
          if (row.moves) deviceBytes += 4096;
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (row.moves) synccount::Release();
      });
      static bool s_cut;
      s_cut = row.cut;
      EXPECT_EQ(saver.Stop(0.5, [](int32_t) { return !s_cut; }), row.rc);
      stop = true;
      device.join();
      synccount::Release();
      if (row.rc == 0) {
        EXPECT_EQ(heard, (std::vector<std::string>{"a0", "b0"}));
        EXPECT_TRUE(saver.Unfinished().empty());
        EXPECT_EQ(ReadOs("b"), "b");
      } else {
        EXPECT_EQ(saver.Unfinished(), (std::vector<std::string>{Sys("a"), Sys("b")}));
        EXPECT_FALSE(saver.Running());
        // The held save ends on its own; the one behind it is never written, and nothing is told.
        ASSERT_TRUE(WaitFor([] { return synccount::ThreadsNamed("tarvelo-save") == 0; }));
        EXPECT_EQ(saver.TakeOutcomes(), 0);
        EXPECT_TRUE(heard.empty());
        EXPECT_EQ(ReadOs("b"), "old");
      }
    }
    // A fresh saver starts clean while a held one may still be on its way out.
    Saver next;
    ASSERT_TRUE(next.Start());
    SaveRequest r;
    r.Target = Sys("c");
    r.Bytes = "c";
    next.Hand(std::move(r));
    ASSERT_TRUE(next.WaitIdle(30.0));
    EXPECT_EQ(next.TakeOutcomes(), 1);
    EXPECT_EQ(next.Stop(30.0, nullptr), 0);
  }
}

// Saves of a file that wait behind a held one: each newer one replaces the
// waiting one (its bytes win, every Done runs with the outcome of the save
// that wrote), unless a save between them names the replaced one and the
// newer one names that save: then it queues behind.
TEST_F(Files, ANewerSaveOfAWaitingFileReplacesIt) {
  Saver saver;
  ASSERT_TRUE(saver.Start());
  std::vector<std::string> heard;
  synccount::Reset();
  synccount::Hold("tarvelo-save", false);
  std::vector<SaveOutcome> outcomes;
  const auto hand = [&](const std::string& name, const std::string& bytes, std::vector<SaveOutcome> after) {
    SaveRequest r;
    r.Target = Sys(name);
    r.Bytes = bytes + std::string(100, '.');  // long enough for the disk stand-in to note its length
    r.Outcome = NewSaveOutcome();
    r.After = std::move(after);
    outcomes.push_back(r.Outcome);
    r.Done = [&heard, bytes](int32_t rc) { heard.push_back(bytes + ":" + std::to_string(rc)); };
    saver.Hand(std::move(r));
  };
  hand("doc", "d1", {});
  ASSERT_TRUE(WaitFor([] { return synccount::On("tarvelo-save") >= 1; }));  // d1 is being written
  hand("doc", "d2", {});
  hand("settings", "s1", {outcomes[1]});  // names d2
  hand("doc", "d3", {});                  // replaces d2, ahead of s1
  hand("doc", "d4", {outcomes[2]});       // names s1, which names d2 (now d3): queued behind s1
  EXPECT_EQ(saver.Pending(), 4);          // d1, d3, s1, d4
  synccount::Release();
  ASSERT_TRUE(saver.WaitIdle(30.0));
  EXPECT_EQ(saver.TakeOutcomes(), 5);
  EXPECT_EQ(heard, (std::vector<std::string>{"d1:0", "d2:0", "d3:0", "s1:0", "d4:0"}));
  for (const SaveOutcome& o : outcomes) EXPECT_EQ(o->load(), 0);
  EXPECT_EQ(ReadOs("doc"), "d4" + std::string(100, '.'));
  EXPECT_EQ(ReadOs("settings"), "s1" + std::string(100, '.'));
  int32_t synced = 0;
  for (const synccount::Sync& s : synccount::Syncs()) synced += s.length > 0;
  EXPECT_EQ(synced, 4);
  EXPECT_EQ(saver.Stop(30.0, nullptr), 0);
}

namespace {
// The fill of a save onto a disk that takes nothing until `go` (a stick whose
// writes stopped), then the bytes; `started` counts the fills begun.
SaveFill HeldFill(const std::atomic<bool>& go, const std::string& bytes, std::atomic<int>* started = nullptr) {
  return [&go, bytes, started](int fd) {
    if (started) ++*started;
    WaitFor([&go] { return go.load(); });
    return SaveWrite(fd, bytes.data(), bytes.size());
  };
}
}  // namespace

// Saves to three disks while one, a stick, takes nothing: a save to another
// disk lands and is told at once; one to the stick waits behind the held one;
// one on a third disk naming the held save waits for its outcome. The stick's
// progress word stands still meanwhile. Once the stick writes again, each
// lands with its own bytes, the one naming the held save after it.
TEST_F(Files, ASaveToOneDiskNeverWaitsForAnotherDisksSave) {
  for (const char* folder : {"/stick", "/third"}) std::filesystem::create_directories(osDir + folder);
  const struct {
    const char* target;
    bool namesHeld;
    bool landsAtOnce;
  } rows[] = {
      {"stick\\other", false, false},
      {"third\\named", true, false},
      {"internal", false, true},
  };
  Saver saver([](uint64_t) { return int64_t{5}; }, [](const std::string& target) -> uint64_t {
    return target.find("stick") != std::string::npos ? 1 : target.find("third") != std::string::npos ? 3 : 2;
  });
  ASSERT_TRUE(saver.Start());
  const auto osName = [](std::string target) {
    if (const size_t cut = target.find('\\'); cut != std::string::npos) target[cut] = '/';
    return target;
  };
  WriteOs("stick/doc", "old");
  std::atomic<bool> go{false};
  std::atomic<int> started{0};
  std::vector<std::string> heard;
  SaveRequest held;
  held.Target = Sys("stick\\doc");
  held.Fill = HeldFill(go, "new doc", &started);
  held.Outcome = NewSaveOutcome();
  held.Done = [&heard](int32_t rc) { heard.push_back("stick\\doc" + std::to_string(rc)); };
  const SaveOutcome heldOutcome = held.Outcome;
  saver.Hand(std::move(held));
  ASSERT_TRUE(WaitFor([&] { return started == 1; }));
  const uint64_t progress = saver.Progress(Sys("stick\\doc"));
  EXPECT_NE(progress, 0u);
  for (const auto& row : rows) {
    WriteOs(osName(row.target), "old");
    SaveRequest r;
    r.Target = Sys(row.target);
    r.Bytes = row.target;
    if (row.namesHeld) r.After = {heldOutcome};
    r.Done = [&heard, target = std::string(row.target)](int32_t rc) { heard.push_back(target + std::to_string(rc)); };
    saver.Hand(std::move(r));
  }
  ASSERT_TRUE(WaitFor([&] {
    saver.TakeOutcomes();
    return !heard.empty();
  }));
  EXPECT_EQ(heard, (std::vector<std::string>{"internal0"}));
  EXPECT_EQ(saver.Pending(), 3);
  // What the end notes before it waits: every disk's saves, the held one too.
  std::vector<std::string> pending = saver.PendingTargets();
  std::sort(pending.begin(), pending.end());
  EXPECT_EQ(pending, (std::vector<std::string>{Sys("stick\\doc"), Sys("stick\\other"), Sys("third\\named")}));
  EXPECT_EQ(saver.Progress(Sys("stick\\doc")), progress) << "the held stick moved";
  EXPECT_EQ(saver.Progress(Sys("internal")), 0u);
  for (const char* f : {"stick/doc", "stick/other", "third/named"}) EXPECT_EQ(ReadOs(f), "old") << f;
  go = true;
  ASSERT_TRUE(saver.WaitIdle(30.0));
  saver.TakeOutcomes();
  ASSERT_EQ(heard.size(), 4u);
  EXPECT_EQ(heard[1], "stick\\doc0");
  std::vector<std::string> rest(heard.begin() + 2, heard.end());
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"stick\\other0", "third\\named0"}));
  EXPECT_EQ(ReadOs("stick/doc"), "new doc");
  for (const auto& row : rows) EXPECT_EQ(ReadOs(osName(row.target)), row.target);
  EXPECT_EQ(saver.Stop(30.0, nullptr), 0);
}
// An act asked while a save of its file is under way waits for that save (and
// a newer one that replaced a waiting save asked before it), not for a save
// of the file handed over after it, which would keep it waiting for as long
// as saves come faster than the disk writes them.
TEST_F(Files, AnActWaitsForTheSavesHeldAtItsAskNotForLaterOnes) {
  const struct {
    const char* why;
    bool waitingAtAsk;  // a second save waits behind the held one when the act is asked
    const char* fileAtAct;
  } rows[] = {
      {"a save handed over after the ask", false, "one"},
      {"a newer save replacing one waiting at the ask", true, "three"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    WriteOs("doc", "old");
    Saver saver;
    ASSERT_TRUE(saver.Start());
    std::atomic<bool> goFirst{false}, goLast{false};
    std::atomic<int> started{0};
    const auto hand = [&](const std::atomic<bool>& go, const std::string& bytes) {
      SaveRequest r;
      r.Target = Sys("doc");
      r.Fill = HeldFill(go, bytes, &started);
      saver.Hand(std::move(r));
    };
    hand(goFirst, "one");
    ASSERT_TRUE(WaitFor([&] { return started == 1; }));
    if (row.waitingAtAsk) hand(goLast, "two");
    std::string seen;
    saver.WhenDone(Sys("doc"), [&] { seen = ReadOs("doc"); });
    hand(goLast, row.waitingAtAsk ? "three" : "later");
    goFirst = true;
    if (row.waitingAtAsk) goLast = true;
    ASSERT_TRUE(WaitFor([&] {
      saver.TakeOutcomes();
      return !seen.empty();
    })) << "the act still waits";
    EXPECT_EQ(seen, row.fileAtAct);
    goLast = true;
    ASSERT_TRUE(saver.WaitIdle(30.0));
    saver.TakeOutcomes();
    EXPECT_EQ(ReadOs("doc"), row.waitingAtAsk ? "three" : "later");
    EXPECT_EQ(saver.Stop(30.0, nullptr), 0);
  }
}

namespace {
// The outcomes the watch was told of (the status line's "not saved" list).
std::vector<std::string> g_watched;
void WatchOutcome(const std::string& target, int32_t rc) { g_watched.push_back(target + ":" + std::to_string(rc)); }
}  // namespace

// The program's own files (bundled copies) while the disk holds their syncs:
// the quit neither waits for them nor names them (not among the pending
// targets a note is written from, not unfinished, no outcome watched), but
// waits for a user's save queued behind them, whose count alone is shown. A
// copy written only when missing keeps a file in its place and never takes
// the place of a user's save of that name.
TEST_F(Files, TheQuitNeitherWaitsForNorNamesTheProgramsOwnFiles) {
  const struct {
    const char* why;
    bool userSave;  // a user's save waits behind the held copy
  } rows[] = {{"only the program's own files are held", false}, {"a user's save waits behind them", true}};
  SetSaveOutcomeWatch(WatchOutcome);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    for (const char* name : {"own1", "own2", "doc", "mine"}) std::filesystem::remove(osDir + "/" + name);
    WriteOs("mine", "user's");
    g_watched.clear();
    std::vector<std::string> heard;
    {
      Saver saver;
      ASSERT_TRUE(saver.Start());
      synccount::Reset();
      synccount::Hold("tarvelo-save", false);
      const auto hand = [&](const char* name, bool own, bool ifMissing) {
        SaveRequest r;
        r.Target = Sys(name);
        r.Bytes = std::string(100, name[0]);
        r.Own = own;
        r.IfMissing = ifMissing;
        r.Done = [&heard, name](int32_t rc) { heard.push_back(name + std::string(":") + std::to_string(rc)); };
        saver.Hand(std::move(r));
      };
      hand("own1", true, false);
      ASSERT_TRUE(WaitFor([] { return synccount::On("tarvelo-save") >= 1; }));  // own1 in its sync
      hand("own2", true, true);
      hand("mine", true, true);
      if (row.userSave) {
        hand("doc", false, false);
        hand("doc", true, true);  // queued behind the user's, never in its place
      }
      EXPECT_EQ(saver.Pending(), row.userSave ? 5 : 3);
      EXPECT_EQ(saver.PendingTargets(), row.userSave ? std::vector<std::string>{Sys("doc")} : std::vector<std::string>{});
      EXPECT_TRUE(saver.Holds(Sys("own2")));  // a load still waits for it
      static std::vector<int32_t> shown;
      shown.clear();
      EXPECT_EQ(saver.Stop(30.0,
                           [](int32_t left) {
                             shown.push_back(left);
                             // The disk goes on once the end has begun.
                             synccount::Release();
                             return true;
                           }),
                0);
      EXPECT_TRUE(saver.Unfinished().empty());
      if (row.userSave) {
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.front(), 1);
        EXPECT_EQ(ReadOs("doc"), std::string(100, 'd'));
        EXPECT_EQ(heard, (std::vector<std::string>{"own1:0", "doc:0"}));
        EXPECT_EQ(g_watched, (std::vector<std::string>{Sys("doc") + ":0"}));
      } else {
        // Not waited for: the end went on while the copy's sync was held.
        EXPECT_TRUE(shown.empty());
        EXPECT_TRUE(saver.LeftThread());
        EXPECT_TRUE(heard.empty());
        EXPECT_TRUE(g_watched.empty());
      }
      synccount::Release();
      ASSERT_TRUE(WaitFor([] { return synccount::ThreadsNamed("tarvelo-save") == 0; }));
    }
    // The waiting copies were dropped: the user's file and the missing one as they were.
    EXPECT_EQ(ReadOs("mine"), "user's");
    EXPECT_FALSE(std::filesystem::exists(osDir + "/own2"));
  }
  // Written only when missing: a file in its place stays, a missing one comes.
  Saver saver;
  ASSERT_TRUE(saver.Start());
  for (const char* name : {"mine", "own2"}) {
    SaveRequest r;
    r.Target = Sys(name);
    r.Bytes = "copy";
    r.Own = r.IfMissing = true;
    saver.Hand(std::move(r));
  }
  ASSERT_TRUE(saver.WaitIdle(30.0));
  EXPECT_EQ(saver.TakeOutcomes(), 2);
  EXPECT_EQ(ReadOs("mine"), "user's");
  EXPECT_EQ(ReadOs("own2"), "copy");
  EXPECT_EQ(saver.Stop(30.0, nullptr), 0);
  SetSaveOutcomeWatch(nullptr);
}

// The program's own file being written back when the end comes stops at its
// next piece, its old state kept (no file): the user's save behind it lands.
// None of its pieces was queued at the device ahead of the wait for it.
TEST_F(Files, TheEndCutsTheProgramsOwnFileShortBetweenTwoPieces) {
  Saver saver;
  ASSERT_TRUE(saver.Start());
  synccount::Reset();
  synccount::Pace(1 << 20);  // four seconds for the whole file
  const int64_t pieces = (int64_t(4) << 20) / kWriteBackPiece;
  for (const char* name : {"big", "doc"}) {
    SaveRequest r;
    r.Target = Sys(name);
    r.Bytes = name[0] == 'b' ? std::string(size_t(4) << 20, 'b') : "doc";
    r.Own = name[0] == 'b';
    saver.Hand(std::move(r));
  }
  ASSERT_TRUE(WaitFor([] { return synccount::WriteBacksOn("tarvelo-save") >= 1; }));
  EXPECT_EQ(saver.Stop(30.0, nullptr), 0);
  synccount::Pace(0);
  EXPECT_FALSE(saver.LeftThread());
  EXPECT_LT(synccount::WriteBacksOn("tarvelo-save"), pieces);
  EXPECT_FALSE(std::filesystem::exists(osDir + "/big"));
  EXPECT_EQ(ReadOs("doc"), "doc");
}
