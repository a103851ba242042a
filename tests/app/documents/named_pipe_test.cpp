// A stored path (the session, a melody or sample a synth names, the settings)
// can name something other than a file: a named pipe would hold its reader
// until a writer came, a link to /dev/zero would never end, a folder holds no
// bytes at all. Every loader refuses each at once, says which it met, and
// changes nothing; a save over a pipe writes a file in its place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "synth_doc_fixture.h"

#include "app/documents/melody_file.h"
#include "app/documents/sample_library_file.h"
#include "app/documents/wave_convert.h"
#include "basics/errors.h"

namespace Tarvelo {
namespace doc_test {
namespace {

class NamedPipeTest : public SynthDocumentTest {
 protected:
  // Runs the call; one that still waits after the hang bound is let go by
  // opening and closing the pipe's other end (it then reads an empty file)
  // and fails the test.
  int32_t Bounded(const fs::path& pipe, const std::function<int32_t()>& call) {
    std::atomic<bool> done{false};
    int32_t rc = 0;
    std::thread t([&] {
      rc = call();
      done.store(true);
    });
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done.load() && std::chrono::steady_clock::now() < bound)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool hung = !done.load();
    while (!done.load()) {
      const int fd = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    t.join();
    EXPECT_FALSE(hung) << pipe << " held its reader";
    return rc;
  }
  fs::path Pipe(const std::string& sub) {
    const fs::path p = Os(sub);
    EXPECT_EQ(::mkfifo(p.c_str(), 0644), 0);
    return p;
  }

  // What may lie at a loader's name instead of a file, and what the loader says of it.
  struct Kind { const char* stem; int32_t code; const char* text; };
  static constexpr Kind kKinds[] = {
      {"fifo", -QUARLE_BASICS::kErrNotRegularFile, "Not a regular file (a named pipe, a device or a socket)"},
      {"zero", -QUARLE_BASICS::kErrNotRegularFile, "Not a regular file (a named pipe, a device or a socket)"},
      {"folder", -QUARLE_BASICS::kErrFolderNamed, "A folder, not a file"},
  };
  static void Make(const Kind& k, const fs::path& p) {
    const char* s = p.c_str();
    EXPECT_EQ(*k.stem == 'z' ? ::symlink("/dev/zero", s) : k.stem[1] == 'o' ? ::mkdir(s, 0755) : ::mkfifo(s, 0644), 0);
  }
};

TEST_F(NamedPipeTest, EveryLoaderRefusesWhatIsNoFileAtOnceAndSaysWhich) {
  ASSERT_EQ(SaveSession(Home("SYNTHS"), "mine.tarvelo"), 0);  // it and its tuning stay as they were
  SessionFolder = Home("SYNTHS");
  SessionFile = "mine.tarvelo";
  const auto synthBytes = ReadBytes(Os("SYNTHS\\mine.tarvelo")), tuningBytes = ReadBytes(Os("TUNINGS\\test.tng"));
  const std::string tuningBefore = QUARLE_BASICS::DynZStringGet(ActiveTuning.FileName);
  using Loader = std::function<int32_t(const std::string& folder, const std::string& file)>;
  struct Case {
    const char* folder;
    const char* file;
    Loader load;
  };
  const Case cases[] = {
      {"SYNTHS", "fifo.tarvelo", LoadSynth},
      {"AUDIO", "fifo.wav", ConvertAndLoadWave},
      {"FILTERS", "fifo.wav", LoadFilterFile},
      {"MELODIES", "fifo.mel", LoadMelody},
      {"TUNINGS", "fifo.tng",
       [](const std::string& folder, const std::string& file) {
         platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
         return LoadTuning(EditedTuning, folder, file);
       }},
      {"", "", [](const std::string&, const std::string&) { WFLibraryLoaded = 0; return LoadWFLibrary(); }},  // its list
      {"", "fifo.txt", [](const std::string& folder, const std::string& file) { return LoadSettings(folder + "\\" + file); }},
  };
  for (size_t n = 0; n < std::size(kKinds) * std::size(cases); ++n) {
    const Kind& k = kKinds[n / std::size(cases)];
    const Case& c = cases[n % std::size(cases)];
    const std::string file = *c.file ? k.stem + std::string(c.file + 4) : std::string(kSampleLibraryFileName);
    const fs::path at = Os(*c.folder ? c.folder + std::string("\\") + file : file);
    SCOPED_TRACE(at.string());
    Make(k, at);
    const int32_t rc = Bounded(at, [&] { return c.load(*c.folder ? Home(c.folder) : Home(), file); });
    // The settings read a folder as no file at all.
    const bool noFile = file == "folder.txt";
    EXPECT_EQ(rc, noFile ? -QUARLE_BASICS::kErrFileNotFound : k.code);
    EXPECT_TRUE(noFile || QUARLE_BASICS::ErrorText(rc) == k.text) << QUARLE_BASICS::ErrorText(rc);
    EXPECT_EQ(SampleLibrary.header.count, 0);
    EXPECT_EQ(FilterLibrary.header.count, 0);
    EXPECT_EQ(MelodyLibrary.header.count, 0);
    EXPECT_EQ(SessionFile, "mine.tarvelo");
    EXPECT_EQ(QUARLE_BASICS::DynZStringGet(EditedTuning.FileName), tuningBefore);
    fs::remove(at);
  }
  EXPECT_EQ(ReadBytes(Os("SYNTHS\\mine.tarvelo")), synthBytes);
  EXPECT_EQ(ReadBytes(Os("TUNINGS\\test.tng")), tuningBytes);
}

// A library list naming one: that line is refused with its cause, the others load.
TEST_F(NamedPipeTest, ALibraryLineNamingWhatIsNoFileSaysWhich) {
  MakeWav(Home("AUDIO\\ok.wav"), 480, 1, 32, 48000);
  std::string list;
  for (const Kind& k : kKinds) {
    Make(k, Os("AUDIO\\" + std::string(k.stem) + ".wav"));
    list += Home("AUDIO") + "," + k.stem + ".wav\r\n";
  }
  WriteText(Os(kSampleLibraryFileName), list + Home("AUDIO") + ",ok.wav\r\n");
  WFLibraryLoaded = 0;
  EXPECT_EQ(Bounded(Os("AUDIO\\fifo.wav"), [] { return LoadWFLibrary(); }), 0);
  ASSERT_EQ(SampleLibrary.header.count, 1);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(SampleLibrary.entries[0]->File), "ok.wav");
  for (const Kind& k : kKinds)
    EXPECT_EQ(CountReports("Could not load: " + std::string(k.stem) + ".wav - " + k.text), 1) << k.stem;
}

// A save onto a pipe is refused without opening it (no reader waits on it)
// and leaves the pipe as it was; neither it nor a backup of it is read.
TEST_F(NamedPipeTest, ASaveOverAPipeIsRefusedAndChangesNothing) {
  const fs::path pipe = Pipe("SYNTHS\\fifo.tarvelo");
  EXPECT_EQ(Bounded(pipe, [&] { return SaveSession(Home("SYNTHS"), "fifo.tarvelo"); }), -QUARLE_BASICS::kErrNotRegularFile);
  EXPECT_TRUE(fs::is_fifo(pipe));
  EXPECT_EQ(LoadSynth(Home("SYNTHS"), "fifo.tarvelo"), -QUARLE_BASICS::kErrNotRegularFile);
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
