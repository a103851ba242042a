// A stored path (the session, a melody or sample a synth names, the settings)
// can name something other than a file: a named pipe would hold its reader
// until a writer came. Every loader refuses it at once with its usual open
// error and changes nothing; a save over one writes a file in its place.
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
};

TEST_F(NamedPipeTest, EveryLoaderRefusesAPipeAtOnce) {
  SessionFolder = Home("SYNTHS");
  SessionFile = "mine.tarvelo";
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
      {"", "fifo.txt", [](const std::string& folder, const std::string& file) { return LoadSettings(folder + "\\" + file); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder + std::string("\\") + c.file);
    const std::string folder = *c.folder ? Home(c.folder) : Home();
    const fs::path pipe = Pipe(*c.folder ? c.folder + std::string("\\") + c.file : c.file);
    const int32_t rc = Bounded(pipe, [&] { return c.load(folder, c.file); });
    EXPECT_EQ(rc, -QUARLE_BASICS::kErrFileIo);
    EXPECT_EQ(SampleLibrary.header.count, 0);
    EXPECT_EQ(FilterLibrary.header.count, 0);
    EXPECT_EQ(MelodyLibrary.header.count, 0);
    EXPECT_EQ(SessionFile, "mine.tarvelo");
    EXPECT_EQ(QUARLE_BASICS::DynZStringGet(EditedTuning.FileName), tuningBefore);
  }
}

// The backup copy of a session whose name is a pipe is not read from it.
TEST_F(NamedPipeTest, ASaveOverAPipeWritesAFileInItsPlace) {
  const fs::path pipe = Pipe("SYNTHS\\fifo.tarvelo");
  EXPECT_EQ(Bounded(pipe, [&] { return SaveSession(Home("SYNTHS"), "fifo.tarvelo"); }), 0);
  EXPECT_TRUE(fs::is_regular_file(pipe));
  EXPECT_EQ(LoadSynth(Home("SYNTHS"), "fifo.tarvelo"), 0);
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
