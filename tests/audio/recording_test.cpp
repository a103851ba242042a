#include "audio/recording.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <mutex>
#include <utility>
#include <vector>

#include "audio/audio.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "file_fixture.h"
#include "openal_env.h"
#include "platform/disk_pace.h"
#include "platform/files.h"
#include "platform/threads.h"
#include "sync_count.h"

namespace {

using namespace QUARLE_AUDIO;
namespace fs = std::filesystem;
using namespace audiotest;

// Each test's own writer, whose disk keeps no count of its own (the pace is
// its confirmations'), so no test reads this machine's disk activity.
RecordingWriter* g_writer = nullptr;
RecordingWriter& W() { return *g_writer; }
RecordingWriterOptions Uncounted() {
  RecordingWriterOptions o;
  o.writtenBytes = [](uint64_t) -> int64_t { return -1; };
  return o;
}

class Recording : public TempFolderTest {
 protected:
  void SetUp() override {
    StartIn("tarvelo_rec_", 2031, 12, 31, 23, 59, 58);
    if (HasFatalFailure()) return;
    // Queue 0, where the writer reports, made before any writer runs.
    if (QUARLE_BASICS::CommandQueueCount() == 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
    }
    SoundBufferInitFormat(&sb_, 2, 16, 48000);
    g_writer = new RecordingWriter(Uncounted());
  }
  void TearDown() override {
    // The disk a failed test left held lets go; a writer it left held all
    // the same is left to the process, alone.
    synccount::Release();
    synccount::Pace(0);
    synccount::FailDataSyncs(0);
    delete g_writer;
    g_writer = nullptr;
    ReleaseLog();
    SoundBufferFree(&sb_);
    TempFolderTest::TearDown();
  }
  // Catches the log's lines, each after its writing thread's name when asked,
  // until ReleaseLog or the test's end. Read `lines` under `lock`.
  static inline std::mutex lock;
  static inline std::vector<std::string> lines;
  static inline bool withThread = false;
  void CatchLog(bool threads) {
    lines.clear();
    withThread = threads;
    savedHook_ = QUARLE_BASICS::MessageHook;
    caught_ = true;
    QUARLE_BASICS::MessageHook = [](const std::string& text, int32_t) {
      std::lock_guard<std::mutex> hold(lock);
      lines.push_back(withThread ? synccount::ThreadName() + ": " + text : text);
    };
  }
  void ReleaseLog() {
    if (caught_) QUARLE_BASICS::MessageHook = savedHook_;
    caught_ = false;
  }
  // The writer running, its takes going to dir_/AUDIO (its ring, made at the
  // first start, holds 2 s).
  void StartWriter() {
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, dir_);
    if (!fs::exists(dir_ + "/AUDIO")) {
      ASSERT_TRUE(fs::create_directory(dir_ + "/AUDIO"));
    }
    ASSERT_TRUE(W().Start(48000, 2 * 48000 * 2));
    ASSERT_TRUE(W().Settle(kHangBound));
  }
  // Appends as the audio thread would, but waits while the ring is full
  // (the audio thread would have ended the take there).
  static int32_t Append(int32_t take, const std::vector<int16_t>& v) {
    int32_t rc = 0;
    WaitUntil([&] { return (rc = W().Append(take, v.data(), int32_t(v.size()))) != -QUARLE_BASICS::kErrDiskTooSlow; });
    return rc;
  }
  QUARLE_BASICS::MessageHookFn savedHook_ = nullptr;
  bool caught_ = false;
  // The 88-byte header: fact and data sizes from the frames written, the
  // fixed clock's time in PEAK and no peaks taken.
  static void ExpectHeader(const Bytes& b, uint32_t frames) {
    ASSERT_GE(b.size(), 88u);
    Bytes want;
    auto text = [&](const char* t) {
      for (int i = 0; i < 4; ++i) want.push_back(uint8_t(t[i]));
    };
    auto u32 = [&](std::initializer_list<uint32_t> words) {
      for (uint32_t v : words)
        for (int i = 0; i < 4; ++i) want.push_back(uint8_t(v >> (8 * i)));
    };
    text("RIFF");
    u32({4 * frames + 80});
    text("WAVE");
    text("fmt ");
    u32({16, 0x00020001u, 48000, 192000, 0x00100004u});  // PCM, 2 channels, align 4, 16 bits
    text("fact");
    u32({4, frames});
    text("PEAK");
    u32({24, 1, QUARLE_BASICS::UnixTimeNow(), 0, 0, 0, 0});
    text("data");
    u32({4 * frames});
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 88), want);
  }

  // The disk lets go: the take ends whole, its header naming all appended (bytes).
  void ExpectWholeOnceLetGo(const std::string& path, int64_t appended) {
    synccount::Release();
    ASSERT_TRUE(W().Settle(kHangBound));
    const Bytes b = Load(path);
    ASSERT_EQ(int64_t(b.size()), 88 + appended);
    ExpectHeader(b, uint32_t(appended / 4));
  }

  SoundBuffer sb_;
};

using synccount::ThreadName;

// What reached queue 0 since the last call, of one type.
std::vector<QUARLE_BASICS::CommandMessage> Reports(uint32_t type) {
  QUARLE_BASICS::CommandMessage* buffer = nullptr;
  QUARLE_BASICS::ArrayHeader header;
  QUARLE_BASICS::ArrayHeaderInit(header);
  std::vector<QUARLE_BASICS::CommandMessage> got;
  if (QUARLE_BASICS::FetchCommands(buffer, header, 0) == 0)
    for (int32_t i = 0; i < header.count; ++i)
      if (buffer[i].type == type) got.push_back(buffer[i]);
  std::free(buffer);
  QUARLE_BASICS::ArrayHeaderFree(header);
  return got;
}

// The data bytes the file's header names (0 before its header is whole).
uint32_t Named(const std::string& path) {
  const Bytes b = Load(path, 88);
  return b.size() >= 88 ? ReadU32(b, 84) : 0;
}

// Descriptors the process holds open.
int32_t OpenDescriptors() {
  int32_t n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) n += !e.path().empty();
  return n;
}

// A disk that fills: every later write of the open file goes to /dev/full.
void FillTheDisk(const std::string& path) {
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::equivalent(e.path(), path, ec)) {
      ASSERT_GE(::dup2(full, std::stoi(e.path().filename().string())), 0);
    }
  }
  ::close(full);
}

// A take recorded through the writer in blocks of a ramp, as the audio thread
// hands them over: the file reads back every value, under the stamped name a
// take without a stem gets.
TEST_F(Recording, StampedFileReadsBack) {
  StartWriter();
  const std::string name = "REC_" + QUARLE_BASICS::TimeStampText() + ".wav";
  ASSERT_EQ(name.size(), 4u + 17u + 4u);
  const int32_t take = W().HandOver(nullptr, 1);
  ASSERT_GT(take, 0);
  std::vector<int16_t> all;
  for (int block = 0; block < 3; ++block) {
    std::vector<int16_t> v(2 * 50);
    for (size_t i = 0; i < v.size(); ++i)
      v[i] = int16_t((i & 1 ? -1 : 1) * int(block * 100 + i / 2) * 300);
    ASSERT_EQ(Append(take, v), 0);
    all.insert(all.end(), v.begin(), v.end());
  }
  W().End();
  ASSERT_TRUE(W().Settle(kHangBound));
  const std::string path = dir_ + "\\AUDIO\\" + name;  // a system path
  Bytes b = Load(dir_ + "/AUDIO/" + name);
  ASSERT_EQ(b.size(), 88u + 600u);
  ExpectHeader(b, 150);
  SoundBuffer in;
  SoundBufferInit(&in);
  ASSERT_EQ(ReadWavHeader(path, &in), 0);
  EXPECT_EQ(in.frameCount, 150u);
  EXPECT_EQ(in.dataOffset, 89);
  ASSERT_EQ(ReadWavData(path, &in), 0);
  ASSERT_EQ(WavDataToFloat(&in), 0);
  ASSERT_EQ(in.dataSize, 4u * 300);
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(in.samples[i], all[i] / 32768.0f) << i;
  SoundBufferFree(&in);
}

TEST_F(Recording, CreationReplacesAnOldFileAndTextShiftsTheData) {
  const std::string path = dir_ + "/old.wav";
  std::ofstream(path) << std::string(5000, 'x');
  QUARLE_BASICS::DynZStringAssign(sb_.listText, "odd");
  const int32_t f = CreateRecordingWav(path, &sb_);
  ASSERT_GT(f, 0);
  EXPECT_EQ(sb_.dataOffset, 89 + 11);
  platform::FileClose(f);
  Bytes b = Load(path);
  ASSERT_EQ(b.size(), 88u + 11);
  EXPECT_EQ(ReadText(b, 48), "LIST");
  EXPECT_EQ(ReadU32(b, 4), 80u + 11);
  EXPECT_EQ(ReadText(b, 91), "data");
  EXPECT_EQ(ReadU32(b, 95), 0u);
}

TEST_F(Recording, FailuresAreReported) {
  // No folder: the open's error, nothing left open.
  EXPECT_LT(CreateRecordingWav(dir_ + "/no/such/dir.wav", &sb_), 0);
  // A disk that is full: the header cannot be written, so there is no recording.
  if (fs::exists("/dev/full")) {
    fs::create_symlink("/dev/full", dir_ + "/full.wav");
    EXPECT_LT(CreateRecordingWav(dir_ + "/full.wav", &sb_), 0);
  }
}

// A recording the program never finished (killed, crashed, the power gone):
// while it runs, the header names the first block once a sync kept it, then
// the whole seconds kept, never more than the file holds; what a kill -9
// leaves reads up to them.
TEST_F(Recording, AnUnfinishedRecordingReadsUpToItsLastWholeSecond) {
  StartWriter();
  const int32_t take = W().HandOver(strdup("killed"), 1);
  ASSERT_GT(take, 0);
  const std::string path = dir_ + "/AUDIO/killed.wav";
  // 10 ms blocks of a ramp, as the audio thread writes them: 1.5 s.
  std::vector<int16_t> all;
  for (int block = 0; block < 150; ++block) {
    std::vector<int16_t> v(960);
    for (size_t i = 0; i < v.size(); ++i) v[i] = int16_t((block * 960 + int(i)) % 30000);
    ASSERT_EQ(Append(take, v), 0);
    all.insert(all.end(), v.begin(), v.end());
    if (block == 0) {
      ASSERT_TRUE(WaitUntil([&] { return Named(path) == 1920u; }));
    }
  }
  ASSERT_TRUE(WaitUntil([&] {
    const Bytes b = Load(path);
    return b.size() == 88u + 2 * all.size() && ReadU32(b, 84) == 192000u;
  }));
  Bytes b = Load(path);  // what a kill -9 leaves: no end
  EXPECT_EQ(ReadU32(b, 4), 192000u + 80);  // one second of 16-bit stereo
  EXPECT_EQ(ReadU32(b, 44), 48000u);       // its frames
  SoundBuffer in;
  SoundBufferInit(&in);
  ASSERT_EQ(ReadWavHeader(path, &in), 0);
  EXPECT_EQ(in.frameCount, 48000u);
  ASSERT_EQ(ReadWavData(path, &in), 0);
  ASSERT_EQ(WavDataToFloat(&in), 0);
  ASSERT_EQ(in.dataSize / 4, 96000u);
  for (size_t i = 0; i < 96000; i += 997) ASSERT_EQ(in.samples[i], all[i] / 32768.0f) << i;
  SoundBufferFree(&in);
  // Writing went on at the end of the data, not over the sizes.
  EXPECT_EQ(ReadU16(b, 88 + 2 * 96000), uint16_t(all[96000]));
  W().End();
  ASSERT_TRUE(W().Settle(kHangBound));
  ExpectHeader(Load(path), 72000);
}

// A power cut loses at most the last two seconds: while the take runs, the
// sync thread keeps its data, the header then naming no more than it holds.
// What a finished sync kept is what the writer's header names once it came
// back (a sync notes the header as it stood when it was asked, what the sync
// before kept). Rows: the disk holds the take's first syncs (its folder's)
// until two seconds of sound wait, so the first data it keeps is all of them.
TEST_F(Recording, ARunningRecordingIsSyncedWithItsSizesEveryTwoSecondsAtMost) {
  StartWriter();
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "first syncs held" : "a disk that syncs at once");
    synccount::Reset();
    if (held) synccount::Hold("tarvelo-recsync", false);
    const std::string stem = held ? "held" : "synced";
    const int32_t take = W().HandOver(strdup(stem.c_str()), 1);
    ASSERT_GT(take, 0);
    const std::string path = fs::weakly_canonical(dir_ + "/AUDIO").string() + "/" + stem + ".wav";
    const auto noted = [&] {  // the header the latest sync of the take wrote
      uint32_t n = 0;
      for (const auto& s : synccount::Syncs())
        if (s.path == path) n = std::max(n, s.dataSize);
      return n;
    };
    const std::vector<int16_t> v(960, 3);  // 10 ms blocks: 4 s
    const uint32_t all = 400 * 1920;
    for (uint32_t written = 1920; written <= all; written += 1920) {
      ASSERT_EQ(Append(take, v), 0);
      // In step with the writer, as the sound comes in real time. A real sync
      // waits for the file system's journal, which another program's large
      // writes on the same disk can hold far longer than a hang bound's usual.
      ASSERT_TRUE(WaitUntil([&] { return fs::exists(path) && fs::file_size(path) >= 88 + written; }, 4 * kHangBound));
      if (held && written == 2 * 192000) synccount::Release();
      ASSERT_TRUE(WaitUntil([&] { return Named(path) + 2 * 192000 >= written; }, 4 * kHangBound)) << written;
    }
    W().End();
    ASSERT_TRUE(W().Settle(kHangBound));
    EXPECT_EQ(noted(), all);  // the closing sync keeps the closing header
    for (const auto& s : synccount::Syncs()) {
      if (s.path != path) continue;
      EXPECT_EQ(s.thread, "tarvelo-recsync");
      EXPECT_LE(int64_t(s.dataSize), s.length - 88);
      EXPECT_EQ(s.riffSize, s.dataSize + 80);
      EXPECT_EQ(s.factFrames, s.dataSize / 4);
    }
    ExpectHeader(Load(path), all / 4);
    // The writer leaves every write-back to the sync thread: starting one may
    // wait for the file system's journal, which a busy disk holds for long.
    EXPECT_EQ(synccount::WriteBacksOn("tarvelo-rec"), 0);
    EXPECT_GE(synccount::WriteBacksOn("tarvelo-recsync"), int32_t(all / platform::kWriteBackPiece));
  }
}

// A sync may write a file's pages in any order: at every sync, the last
// included, the header names only data an earlier sync kept, and is
// rewritten only after a sync finished. Rows: values a block, blocks, takes
// handed over at once (held syncs let several pile up, then kept together;
// or a running take written on during a held sync, then as many blocks again).
TEST_F(Recording, AHeaderNamesOnlyDataAnEarlierSyncKept) {
  StartWriter();
  const struct {
    int32_t values, blocks, takes;
    bool held, running;
  } kRows[] = {{960, 250, 1, false, false}, {1152, 200, 1, false, false}, {3072, 80, 1, false, false},
               {96000, 3, 1, false, false}, {960, 150, 4, true, false},    {960, 150, 1, false, true}};
  int32_t row = 0;
  for (const auto& r : kRows) {
    SCOPED_TRACE(r.values);
    synccount::Reset();
    if (r.held) synccount::Hold();
    const std::vector<int16_t> v(size_t(r.values), 9);
    std::vector<std::string> paths;
    for (int32_t k = 0; k < r.takes; ++k) {
      const std::string stem = "order" + std::to_string(row) + "_" + std::to_string(k);
      const int32_t take = W().HandOver(strdup(stem.c_str()), 1);
      ASSERT_GT(take, 0);
      paths.push_back(fs::weakly_canonical(dir_ + "/AUDIO").string() + "/" + stem + ".wav");
      const auto synced = [&](int64_t length) {  // a sync of the take noted at that length or more
        const auto syncs = synccount::Syncs();
        return std::any_of(syncs.begin(), syncs.end(),
                           [&](const auto& s) { return s.path == paths.back() && s.length >= length; });
      };
      for (int32_t b = 0; b < r.blocks; ++b) {
        ASSERT_EQ(Append(take, v), 0);
        // Its second second's sync is held after the disk was asked: the
        // writer writes on, as many blocks again, before it finishes.
        if (r.running && b == 0) {
          ASSERT_TRUE(WaitUntil([&] { return Named(paths.back()) == uint32_t(r.values) * 2; }));
          synccount::Hold("", false);
        }
      }
      if (r.running) {
        ASSERT_TRUE(WaitUntil([&] { return synced(88 + 192000); }));
        for (int32_t b = 0; b < r.blocks; ++b) ASSERT_EQ(Append(take, v), 0);
        ASSERT_TRUE(WaitUntil([&] { return int64_t(fs::file_size(paths.back())) == 88 + 4 * r.values * r.blocks; }));
        synccount::Release();
        ASSERT_TRUE(WaitUntil([&] { return Named(paths.back()) > uint32_t(r.values) * 2; }));  // the sync's end named
      }
      W().End();
    }
    const int64_t all = int64_t(r.values) * r.blocks * 2 * (r.running ? 2 : 1);
    if (r.held) {
      ASSERT_TRUE(WaitUntil([&] { return fs::exists(paths.back()) && int64_t(fs::file_size(paths.back())) == 88 + all; }));
      synccount::Release();
    }
    ASSERT_TRUE(W().Settle(kHangBound));
    for (const std::string& path : paths) {
      SCOPED_TRACE(path);
      ExpectHeader(Load(path), uint32_t(all / 4));
      int64_t kept = 88;
      bool whole = false;
      for (const auto& s : synccount::Syncs()) {
        if (s.path != path) continue;
        EXPECT_LE(88 + int64_t(s.dataSize), kept) << "ahead of the data kept";
        kept = std::max(kept, s.length);
        whole = whole || (s.length == 88 + all && s.dataSize == all);
      }
      EXPECT_TRUE(whole);
    }
    if (r.takes > 1) {
      EXPECT_GT(synccount::WholeDiskSyncs(), 0);
    }
    ++row;
  }
}

// Killed within its first second: the file already names the block written
// once a sync kept it, and another reader takes it while the take runs.
TEST_F(Recording, AFirstBlockReadsBeforeTheRecordingEnds) {
  StartWriter();
  const int32_t take = W().HandOver(strdup("early"), 1);
  ASSERT_GT(take, 0);
  const std::string path = dir_ + "/AUDIO/early.wav";
  std::vector<int16_t> v(2 * 240);
  for (size_t i = 0; i < v.size(); ++i) v[i] = int16_t(int(i) * 61 - 14000);
  ASSERT_EQ(Append(take, v), 0);
  ASSERT_TRUE(WaitUntil([&] { return Named(path) == 960u; }));
  audiotest::InFreshProcess([&] {
    Bytes b = Load(path);
    ASSERT_EQ(b.size(), 88u + 960);
    EXPECT_EQ(ReadU32(b, 4), 960u + 80);
    EXPECT_EQ(ReadU32(b, 44), 240u);
    SoundBuffer in;
    SoundBufferInit(&in);
    ASSERT_EQ(ReadWavHeader(path, &in), 0);
    EXPECT_EQ(in.frameCount, 240u);
    ASSERT_EQ(ReadWavData(path, &in), 0);
    ASSERT_EQ(WavDataToFloat(&in), 0);
    ASSERT_EQ(in.dataSize, 4u * 480);
    for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(in.samples[i], v[i] / 32768.0f) << i;
    SoundBufferFree(&in);
  }, dir_);
  W().End();
  ASSERT_TRUE(W().Settle(kHangBound));
  ExpectHeader(Load(path), 240);
}

// The disk fills in the middle of a block: the take ends at once, and its
// file names exactly the whole frames it holds (it once held a part block
// beyond its sizes).
TEST_F(Recording, AFullDiskEndsWithSizesMatchingTheFile) {
  const std::string path = dir_ + "/AUDIO/full.wav";
  audiotest::InFreshProcess([&] {
    signal(SIGXFSZ, SIG_IGN);
    StartWriter();
    // Regular files of this process end at 88 + 1101 bytes: the disk fills
    // in the middle of the second block, after 75 frames and a byte of it.
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    limit.rlim_cur = 88 + 1101;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const int32_t take = W().HandOver(strdup("full"), 3);
    ASSERT_GT(take, 0);
    std::vector<int16_t> v(400, 7);  // 200 frames a block
    ASSERT_EQ(Append(take, v), 0);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(path) && fs::file_size(path) == 88 + 800; }));
    ASSERT_EQ(Append(take, v), 0);
    ASSERT_TRUE(WaitUntil([&] { return W().Append(take, v.data(), 0) == 1; }));  // ended by the writer
    W().End();
    ASSERT_TRUE(W().Settle(kHangBound));
    Bytes b = Load(path);
    ASSERT_EQ(b.size(), 88u + 1100);
    EXPECT_EQ(ReadU32(b, 4), b.size() - 8);
    EXPECT_EQ(ReadU32(b, 44), 275u);
    EXPECT_EQ(ReadU32(b, 84), 1100u);
  }, dir_);
}

// A create the disk refuses, before or in the middle of the header, takes
// away the file it made: no empty recording is left at each try. A file that
// was there before (here a link to a full device) is not the create's to take.
TEST_F(Recording, ARefusedCreateLeavesNoFile) {
  audiotest::InFreshProcess([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlim_t unlimited = limit.rlim_cur;
    for (const rlim_t room : {rlim_t{0}, rlim_t{40}}) {
      SCOPED_TRACE(room);
      limit.rlim_cur = room;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
      EXPECT_LT(CreateRecordingWav(dir_ + "\\REC_refused.wav", &sb_), 0);
      limit.rlim_cur = unlimited;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
      EXPECT_TRUE(fs::is_empty(dir_)) << fs::directory_iterator(dir_)->path();
    }
  }, dir_);
  if (fs::exists("/dev/full")) {
    fs::create_symlink("/dev/full", dir_ + "/full.wav");
    EXPECT_LT(CreateRecordingWav(dir_ + "/full.wav", &sb_), 0);
    EXPECT_TRUE(fs::is_symlink(dir_ + "/full.wav"));
  }
}

TEST_F(Recording, NoFreeFileNumber) {
  std::vector<int32_t> held;
  std::ofstream(Path("held.bin")).put('x');
  for (;;) {
    int32_t n = platform::FreeFile();
    if (n <= 0) break;
    ASSERT_EQ(platform::FileOpen(n, Path("held.bin"), platform::kFileInput), 0);
    held.push_back(n);
  }
  EXPECT_EQ(CreateRecordingWav(dir_ + "/x.wav", &sb_), -23);
  for (int32_t n : held) platform::FileClose(n);
}

// A disk that takes every byte at once but holds its syncs (a copy written
// onto the same disk): the writer writes on beside them. Takes back to back,
// each three rings long, end whole and none as "too slow"; until a sync has
// finished no header names any data, and then each names all its file holds.
TEST_F(Recording, HeldSyncsNeverEndATakeAsTooSlow) {
  namespace QB = QUARLE_BASICS;
  ASSERT_TRUE(fs::create_directory(dir_ + "/AUDIO"));
  QB::DynZStringAssign(QB::HomeFolder, dir_);
  constexpr uint32_t kRing = 2 * 48000 * 2;  // 2 s
  constexpr int32_t kBlocks = 3 * int32_t(kRing) / 1152;
  ASSERT_TRUE(W().Start(48000, kRing));
  ASSERT_TRUE(W().Settle(kHangBound));
  synccount::Reset();
  synccount::Hold();
  std::vector<int16_t> block(1152);
  for (int32_t k = 0; k < 3; ++k) {
    const int32_t take = W().HandOver(strdup(("b" + std::to_string(k)).c_str()), uint32_t(k) + 1);
    ASSERT_GT(take, 0);
    for (int32_t n = 0; n < kBlocks; ++n) {
      for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t(k * 5000 + n + int(i));
      // A full ring waits while the writer writes (the audio thread would
      // have ended the take here): a disk that writes is never too slow.
      int32_t rc = 0;
      ASSERT_TRUE(WaitUntil([&] {
        return (rc = W().Append(take, block.data(), 1152)) != -QB::kErrDiskTooSlow;
      })) << "take " << k << ", block " << n;
      ASSERT_EQ(rc, 0);
    }
    W().End();
  }
  const uint32_t data = uint32_t(kBlocks) * 2304;
  for (int32_t k = 0; k < 2; ++k) {
    const std::string path = dir_ + "/AUDIO/b" + std::to_string(k) + ".wav";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(path) && fs::file_size(path) >= 88 + data; })) << k;
    EXPECT_EQ(ReadU32(Load(path), 84), 0u) << k;  // no sync has kept any of it yet
  }
  synccount::Release();
  ASSERT_TRUE(W().Settle(kHangBound));
  for (int32_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const Bytes b = Load(dir_ + "/AUDIO/b" + std::to_string(k) + ".wav");
    ASSERT_EQ(b.size(), 88u + data);
    ExpectHeader(b, data / 4);
    for (int32_t n = 0; n < kBlocks; n += 17)
      ASSERT_EQ(int16_t(ReadU16(b, 88 + size_t(n) * 2304 + 10)), int16_t(k * 5000 + n + 5)) << n;
  }
  for (const auto& s : synccount::Syncs()) {
    if (s.length < 88) continue;  // a folder
    EXPECT_LE(int64_t(s.dataSize), s.length - 88);
  }
}

// The writer takes every disk wait off the audio thread (here the test). While
// the disk takes nothing: a take outgrowing the ring ends whole, later takes
// queue, one beyond the queue is refused, log lines wait; once it takes again,
// each is on disk.
TEST_F(Recording, TheWriterTakesEveryDiskWaitAndEndsWhole) {
  namespace QB = QUARLE_BASICS;
  ASSERT_TRUE(fs::create_directory(dir_ + "/AUDIO"));
  QB::DynZStringAssign(QB::HomeFolder, dir_);
  CatchLog(true);
  constexpr uint32_t kRing = 2 * 48000 * 2;  // 2 s
  ASSERT_TRUE(W().Start(48000, kRing));
  ASSERT_TRUE(W().Settle(kHangBound));
  synccount::Reset();
  synccount::Hold();
  synccount::HoldWrites();
  int32_t take = W().HandOver(strdup("long"), 1);
  ASSERT_GT(take, 0);
  ASSERT_TRUE(WaitUntil([] { return synccount::WritesOn("tarvelo-rec") > 0; }));  // the header's, held
  std::vector<int16_t> block(1152);
  int32_t appended = 0, rc = 0;
  // Bounded by the ring's room: a ring that never says full fails here.
  while (rc == 0 && appended <= int32_t(kRing / 1152)) {
    for (size_t i = 0; i < block.size(); ++i) block[i] = int16_t(appended * 7 + int(i));
    if ((rc = W().Append(take, block.data(), 1152)) == 0) ++appended;
  }
  EXPECT_EQ(rc, -QB::kErrDiskTooSlow);
  EXPECT_EQ(appended, int32_t(kRing / 1152));
  W().End();
  std::vector<std::string> want = {
      "Now recording long.wav", "7ms delay in audio thread.", "Buffer queueing error: " + QB::ErrorText(40963),
      "The recording could not be handed over to its writer, which still holds the ones before: none was started"};
  int32_t queued = 1;
  for (; queued <= 32 && (take = W().HandOver(strdup(("q" + std::to_string(queued)).c_str()), 1)) > 0;
       ++queued) {
    EXPECT_EQ(W().Append(take, block.data(), 1152), -QB::kErrDiskTooSlow);
    W().End();
    want.push_back("Now recording q" + std::to_string(queued) + ".wav");
  }
  EXPECT_EQ(take, -QB::kErrWriterBusy);
  EXPECT_EQ(queued, 32);
  W().LogLine(83, "{$}ms delay in audio thread.", 7, 1);
  W().LogError(82, "Buffer queueing error: ", 40963, 2);
  W().LogError(0, nullptr, -QB::kErrAllocation, 3);  // the error's text alone
  want.push_back(QB::ErrorText(-QB::kErrAllocation));
  EXPECT_TRUE([] { std::lock_guard<std::mutex> hold(lock); return lines.empty(); }());  // they wait too
  synccount::Release();
  ASSERT_TRUE(W().Settle(kHangBound));
  ReleaseLog();

  // The long take holds every value appended before the ring was full.
  const uint32_t data = uint32_t(appended) * 1152 * 2;
  Bytes b = Load(dir_ + "/AUDIO/long.wav");
  ASSERT_EQ(b.size(), 88u + data);
  ExpectHeader(b, data / 4);
  for (int32_t k = 0; k < appended; k += 13)
    ASSERT_EQ(int16_t(ReadU16(b, 88 + size_t(k) * 2304 + 6)), int16_t(k * 7 + 3)) << k;
  for (int32_t q = 1; q < queued; ++q) ExpectHeader(Load(dir_ + "/AUDIO/q" + std::to_string(q) + ".wav"), 0);
  EXPECT_EQ(synccount::On("tarvelo-recsync"), int32_t(synccount::Syncs().size()));
  for (auto& w : want) w = "tarvelo-rec: " + w;
  std::sort(want.begin(), want.end());
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, want);
}

// A writer dropped while its disk holds a write (its destructor cuts the end
// short and leaves it held): once the disk lets go, both its threads end, the
// sync thread too, and nothing of it stays open.
TEST_F(Recording, AWriterDroppedWhileItsDiskHoldsAWriteEndsBothThreadsOnceLetGo) {
  const int32_t syncThreads = synccount::ThreadsNamed("tarvelo-recsync"), writers = synccount::ThreadsNamed("tarvelo-rec");
  const int32_t fds = OpenDescriptors();
  StartWriter();
  synccount::Reset();
  synccount::HoldWrites();
  const int32_t take = W().HandOver(strdup("dropped"), 1);
  ASSERT_GT(take, 0);
  ASSERT_TRUE(WaitUntil([] { return synccount::WritesOn("tarvelo-rec") > 0; }));  // held in it
  delete g_writer;  // gives up at once, the writer held
  g_writer = nullptr;
  EXPECT_EQ(synccount::ThreadsNamed("tarvelo-rec"), writers + 1);
  synccount::Release();
  EXPECT_TRUE(WaitUntil([&] { return synccount::ThreadsNamed("tarvelo-rec") == writers; }));
  EXPECT_TRUE(WaitUntil([&] { return synccount::ThreadsNamed("tarvelo-recsync") == syncThreads; }))
      << "the sync thread of a writer given up on lives on";
  EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == fds; }));
  g_writer = new RecordingWriter(Uncounted());  // the fixture's, for its end
}

// The writer's stop report names its take (the interface's number) and says
// whether it began: a file that cannot be made is no recording started, a disk
// that fills ends one that ran, whose failed end is said with its name.
TEST_F(Recording, AStopReportNamesItsTakeAndWhetherItBegan) {
  namespace QB = QUARLE_BASICS;
  QB::DynZStringAssign(QB::HomeFolder, dir_);  // no AUDIO folder yet
  CatchLog(false);
  ASSERT_TRUE(W().Start(48000, 2 * 48000 * 2));
  ASSERT_TRUE(W().Settle(kHangBound));
  Reports(kAudioRecordStop);
  std::vector<QB::CommandMessage> got;
  const auto reported = [&] { return !(got = Reports(kAudioRecordStop)).empty(); };

  int32_t take = W().HandOver(strdup("nowhere"), 7);
  ASSERT_GT(take, 0);
  W().End();
  ASSERT_TRUE(WaitUntil(reported));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].arg2, 7u);
  EXPECT_EQ(got[0].arg3, kRecordNotStarted);
  EXPECT_LT(int32_t(got[0].arg4), 0);

  ASSERT_TRUE(fs::create_directory(dir_ + "/AUDIO"));
  if (fs::exists("/dev/full")) {
    synccount::Reset();
    take = W().HandOver(strdup("filled"), 8);
    ASSERT_GT(take, 0);
    const std::string path = dir_ + "/AUDIO/filled.wav";
    // Begun once its folder's sync was made (a running take keeps the writer
    // from settling): its file and the sync thread's descriptor of it are open.
    ASSERT_TRUE(WaitUntil([] { return synccount::On("tarvelo-recsync") > 0; }));
    FillTheDisk(path);
    const std::vector<int16_t> block(1152, 5);
    ASSERT_EQ(W().Append(take, block.data(), 1152), 0);
    ASSERT_TRUE(WaitUntil(reported));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].arg2, 8u);
    EXPECT_EQ(got[0].arg3, 0u);
    EXPECT_EQ(int32_t(got[0].arg4), -QB::kErrDiskFull);
    EXPECT_EQ(W().Append(take, block.data(), 1152), 1);
    W().End();
    ASSERT_TRUE(W().Settle(kHangBound));
    // Its end failed too (the header could not be written): said, with the file.
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("The end of the recording filled.wav could not be written: ", 0) == 0;
              }),
              1);
  }
  ReleaseLog();
}

// With no writer the audio thread's log lines are not lost: they reach queue
// 0, whose handler says them, and a start is refused with its cause.
TEST_F(Recording, WithoutAWriterLogLinesReachTheInterface) {
  audiotest::InFreshProcess([&] {
    namespace QB = QUARLE_BASICS;
    static std::vector<std::string> lines;
    QB::MessageHook = [](const std::string& text, int32_t level) {
      lines.push_back(text + " @" + std::to_string(level));
    };
    W().LogLine(83, "{$}ms delay in audio thread.", 7, 1);
    W().LogError(82, "Buffer queueing error: ", 40963, 2);
    EXPECT_EQ(W().HandOver(strdup("x"), 9), -QB::kErrThreadCreate);
    const auto got = Reports(kAudioLogLine);
    ASSERT_EQ(got.size(), 2u);
    for (const auto& m : got) ReportAudioLogLine(m);
    const std::vector<std::string> want = {"7ms delay in audio thread. @1",
                                           "Buffer queueing error: " + QB::ErrorText(40963) + " @2"};
    EXPECT_EQ(lines, want);
  }, dir_);
}

// The writer's end while it is behind, the disk doing one of these: it lets
// its held syncs go once the end says what is left (every take whole, both
// threads joined); it confirms slowly (the wait goes on past the idle limit,
// its count of time left moving); it holds them for good, or takes nothing
// at all (the wait ends, the take closes with a header naming what its file
// holds, and the end says it is short; a writer held in a write is joined
// only once the disk lets it go); a second quit cuts the wait short while the
// writer is held in a write (the header still names what the file holds).
TEST_F(Recording, TheEndWritesWhatTheWriterHoldsAndJoinsIt) {
  StartWriter();
  // What an end that gave up left open goes once the disk lets go.
  const int32_t fds = OpenDescriptors();
  static std::vector<RecordingEndProgress> shown;
  static bool letGo, cut;  // at the first thing shown
  CatchLog(false);
  const struct {
    const char* disk;
    bool letGo, writes, cut;  // writes: the disk takes no byte either (after the first second when cut)
    int64_t pace;             // bytes a second the disk confirms; 0: at once
    double idle;
    int32_t first, second;  // what the end returns, and again once the disk takes
    uint32_t named;         // data bytes the header names
    const char* said;
  } kRows[] = {
      {"syncs let go", true, false, false, 0, kHangBound, 0, 0, 192000, nullptr},
      {"syncs held", false, false, false, 0, 0.3, 1, 0, 192000,
       "The recording end1.wav may not be whole on the disk: the disk has not confirmed its last 1.0 s"},
      {"nothing taken", false, true, false, 0, 0.3, -1, 1, 0,
       "The recording end2.wav is short: the disk took nothing for a long while, and its last 1.0 s were not "
       "written"},
      {"confirms slowly", false, false, false, 64000, 2.0, 0, 0, 192000, nullptr},
      {"a second quit, the writer held", false, true, true, 0, kHangBound, -1, 1, 192000,
       "The recording end4.wav is short: the disk took nothing for a long while, and its last 0.5 s were not "
       "written"},
  };
  const std::vector<int16_t> second(96000, 11);
  for (size_t row = 0; row < std::size(kRows); ++row) {
    const auto& r = kRows[row];
    SCOPED_TRACE(r.disk);
    lines.clear();
    shown.clear();
    letGo = r.letGo;
    cut = r.cut;
    ASSERT_TRUE(W().Start(48000, 2 * 48000 * 2));
    ASSERT_TRUE(W().Settle(kHangBound));
    synccount::Reset();
    if (r.pace == 0) synccount::Hold();
    synccount::Pace(r.pace);
    if (r.writes && !r.cut) synccount::HoldWrites();
    const std::string name = "end" + std::to_string(row) + ".wav";
    const int32_t take = W().HandOver(strdup(name.substr(0, 4).c_str()), uint32_t(row) + 1);
    ASSERT_GT(take, 0);
    ASSERT_EQ(W().Append(take, second.data(), 96000), 0);
    // Before the wait starts, a disk that writes has taken the whole second;
    // one that takes nothing holds the writer in its first write, or (cut)
    // in the first write of the next half second.
    const std::string path = dir_ + "/AUDIO/" + name;
    ASSERT_TRUE(WaitUntil([&] {
      return r.writes && !r.cut ? synccount::WritesOn("tarvelo-rec") > 0
                                : fs::exists(path) && fs::file_size(path) == 88 + 192000;
    }));
    if (r.cut) {
      synccount::HoldWrites();
      const int32_t writes = synccount::WritesOn("tarvelo-rec");
      ASSERT_EQ(W().Append(take, second.data(), 48000), 0);
      ASSERT_TRUE(WaitUntil([&] { return synccount::WritesOn("tarvelo-rec") > writes; }));
    }
    W().End();
    const auto show = [](const RecordingEndProgress& p) {
      std::lock_guard<std::mutex> hold(lock);
      shown.push_back(p);
      if (letGo) synccount::Release();
      return !cut;
    };
    EXPECT_EQ(W().Stop(r.idle, show), r.first);
    // A joined thread may be listed a moment longer.
    if (r.first < 0) {
      EXPECT_EQ(synccount::ThreadsNamed("tarvelo-rec"), 1);
    } else {
      EXPECT_TRUE(WaitUntil([] { return synccount::ThreadsNamed("tarvelo-rec") == 0; }));
    }
    // What the end could not confirm is named before it returns (a take the
    // writer was held creating, once it is let go).
    if (r.first >= 0 || r.cut) {
      EXPECT_EQ(W().EndUnconfirmed(), r.said ? std::vector<std::string>{name} : std::vector<std::string>{});
    }
    if (r.cut) {
      // As the cut left it, the writer still held in a write: the header
      // names every whole frame the file holds.
      const Bytes b = Load(path);
      ASSERT_GE(b.size(), 88u + r.named);
      ExpectHeader(b, uint32_t(b.size() - 88) / 4);
    }
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(std::ceil(shown.front().soundLeft), r.cut ? 2 : 1);  // the sound appended, not yet kept
    if (r.pace > 0) {
      // The count is the time left at the disk's pace, and it moves.
      std::vector<int32_t> counts;
      for (const auto& p : shown)
        if (p.secondsLeft > 0 && (counts.empty() || counts.back() != int32_t(std::ceil(p.secondsLeft))))
          counts.push_back(int32_t(std::ceil(p.secondsLeft)));
      ASSERT_GE(counts.size(), 2u);
      EXPECT_GT(counts.front(), counts.back());
      EXPECT_TRUE(std::is_sorted(counts.rbegin(), counts.rend()));  // it never rises
      EXPECT_TRUE(shown.back().confirming);
    }
    synccount::Pace(0);
    synccount::Release();
    if (r.first < 0) {
      cut = false;
      EXPECT_EQ(W().Stop(r.idle, show), r.second);
      if (!r.cut) {
        EXPECT_EQ(W().EndUnconfirmed(), std::vector<std::string>{name});
      }
    }
    EXPECT_TRUE(WaitUntil([] { return synccount::ThreadsNamed("tarvelo-rec") == 0; }));
    ASSERT_TRUE(WaitUntil([] { return synccount::ThreadsNamed("tarvelo-recsync") == 0; }));
    const Bytes b = Load(path);
    if (r.cut) {
      ASSERT_GT(b.size(), 88u + r.named);  // the held write went on
    } else {
      ASSERT_EQ(b.size(), 88u + r.named);
    }
    ExpectHeader(b, uint32_t(b.size() - 88) / 4);
    std::vector<std::string> said;
    for (const std::string& l : lines)
      if (l.rfind("The recording ", 0) == 0) said.push_back(l);
    EXPECT_EQ(said, r.said ? std::vector<std::string>{r.said} : std::vector<std::string>{});
    EXPECT_EQ(OpenDescriptors(), fds);
  }
  ReleaseLog();
  ASSERT_TRUE(W().Start(48000, 2 * 48000 * 2));
}

// A disk that confirms the sound more slowly than it comes: the writer writes
// no more than 20 s of sound ahead of what the disk confirmed, so the ring
// fills and the take ends "too slow", its file whole up to that; syncs held
// for 15 s of sound end nothing. Rows: seconds of sound the disk holds its
// syncs for (then lets them go), whether the take ends too slow.
TEST_F(Recording, ADiskSlowerThanTheSoundEndsTheTakeTooSlow) {
  namespace QB = QUARLE_BASICS;
  StartWriter();
  constexpr int64_t kBound = 20 * 192000;  // bytes of sound
  constexpr int64_t kRing = 2 * 192000;
  const struct {
    int32_t heldSeconds, seconds;
    bool tooSlow;
  } kRows[] = {{40, 40, true}, {15, 25, false}};
  const std::vector<int16_t> block(9600, 5);  // 0.1 s
  for (size_t row = 0; row < std::size(kRows); ++row) {
    const auto& r = kRows[row];
    SCOPED_TRACE(r.heldSeconds);
    synccount::Reset();
    synccount::Hold();
    const std::string stem = "slow" + std::to_string(row);
    const std::string path = dir_ + "/AUDIO/" + stem + ".wav";
    const int32_t take = W().HandOver(strdup(stem.c_str()), 1);
    ASSERT_GT(take, 0);
    int64_t appended = 0;  // bytes
    int32_t rc = 0;
    for (int32_t n = 0; rc == 0 && n < 10 * r.seconds; ++n) {
      if (n == 10 * r.heldSeconds) synccount::Release();
      // A full ring waits while the writer writes; once the file holds all
      // the writer may write ahead of the disk, a full ring is the end.
      ASSERT_TRUE(WaitUntil([&] {
        rc = W().Append(take, block.data(), 9600);
        return rc != -QB::kErrDiskTooSlow ||
               (n < 10 * r.heldSeconds && fs::exists(path) && int64_t(fs::file_size(path)) > 88 + kBound - 19200);
      }));
      if (rc == 0) appended += 19200;
    }
    W().End();
    EXPECT_EQ(rc, r.tooSlow ? -QB::kErrDiskTooSlow : 0);
    if (r.tooSlow) {
      // The file holds the bound at most, the ring the rest.
      EXPECT_LE(int64_t(fs::file_size(path)), 88 + kBound);
      EXPECT_GE(appended, kBound + kRing - 2 * 19200);
      EXPECT_LE(appended, kBound + kRing);
    }
    ExpectWholeOnceLetGo(path, appended);
  }
}

// Takes the sync thread fell behind on (its syncs held while twelve short
// takes were made) are kept together: a sync of them all, not three syncs a
// take (folder, data, closing header) one after another; each ends whole.
TEST_F(Recording, TakesTheSyncThreadFellBehindOnAreKeptTogether) {
  StartWriter();
  synccount::Reset();
  synccount::Hold();
  const std::vector<int16_t> block(9600, 3);  // 0.1 s
  for (int32_t k = 0; k < 12; ++k) {
    const int32_t take = W().HandOver(strdup(("behind" + std::to_string(k)).c_str()), 1);
    ASSERT_GT(take, 0);
    ASSERT_EQ(Append(take, block), 0);
    W().End();
  }
  const std::string last = dir_ + "/AUDIO/behind11.wav";
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(last) && fs::file_size(last) == 88 + 19200; }));
  synccount::Release();
  ASSERT_TRUE(W().Settle(kHangBound));
  int32_t calls = synccount::WholeDiskSyncs();
  for (const auto& s : synccount::Syncs()) calls += s.thread == "tarvelo-recsync" && !s.allFiles;
  EXPECT_LE(calls, 6);
  EXPECT_GE(synccount::WholeDiskSyncs(), 1);
  for (int32_t k = 0; k < 12; ++k) ExpectHeader(Load(dir_ + "/AUDIO/behind" + std::to_string(k) + ".wav"), 4800);
}

// A take the disk cannot keep says so: one whose own descriptors cannot be
// had (every number taken) is no recording started, and leaves no file; one
// whose end's data sync fails ends with a header naming only what an earlier
// sync kept, and its failed end is said with its name.
TEST_F(Recording, ATakeTheDiskCannotKeepSaysSo) {
  namespace QB = QUARLE_BASICS;
  for (const int room : {1, 2}) {  // descriptors free: the stream's, and its own for syncs
    SCOPED_TRACE(room);
    audiotest::InFreshProcess([&] {
      StartWriter();
      Reports(kAudioRecordStop);
      const int probe = ::open("/dev/null", O_RDONLY);
      ASSERT_GE(probe, 0);
      ::close(probe);
      struct rlimit limit;
      ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
      const rlim_t all = limit.rlim_cur;
      limit.rlim_cur = rlim_t(probe + room);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
      const int32_t take = W().HandOver(strdup("nofd"), 7);
      std::vector<QB::CommandMessage> got;
      const bool reported = WaitUntil([&] { return !(got = Reports(kAudioRecordStop)).empty(); });
      limit.rlim_cur = all;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
      ASSERT_GT(take, 0);
      ASSERT_TRUE(reported);
      EXPECT_EQ(got[0].arg2, 7u);
      EXPECT_EQ(got[0].arg3, kRecordNotStarted);
      EXPECT_EQ(int32_t(got[0].arg4), -QB::kErrNoFreeFile);
      W().End();
      ASSERT_TRUE(W().Settle(kHangBound));
      EXPECT_FALSE(fs::exists(dir_ + "/AUDIO/nofd.wav"));
    }, dir_);
  }
  StartWriter();
  CatchLog(false);
  synccount::Reset();
  const int32_t take = W().HandOver(strdup("unkept"), 8);
  ASSERT_GT(take, 0);
  const std::string path = dir_ + "/AUDIO/unkept.wav";
  const std::vector<int16_t> first(960, 4), more(48000, 6);
  ASSERT_EQ(Append(take, first), 0);
  ASSERT_TRUE(WaitUntil([&] { return Named(path) == 1920u; }));
  synccount::FailDataSyncs(EIO);
  ASSERT_EQ(Append(take, more), 0);
  W().End();
  ASSERT_TRUE(W().Settle(kHangBound));
  synccount::FailDataSyncs(0);
  const Bytes b = Load(path);
  EXPECT_EQ(b.size(), 88u + 1920 + 96000);
  ExpectHeader(b, 480);
  ReleaseLog();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "The end of the recording unkept.wav could not be written: " + QB::ErrorText(-QB::kErrFileAccess)),
            1);
}

}  // namespace

namespace {

// A disk's own count of written bytes, as the kernel keeps it, faked: it
// grows at g_diskPace bytes a second from g_diskFrom (the test's writer reads it).
std::atomic<int64_t> g_diskPace{0};
std::atomic<double> g_diskFrom{0.0};
void Sleep(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }
RecordingWriterOptions Counted(int64_t pace, double window) {
  g_diskPace = pace;
  g_diskFrom = platform::HighResClock();
  RecordingWriterOptions o;
  o.writtenBytes = [](uint64_t) -> int64_t {
    return 1000000 + int64_t(double(g_diskPace.load()) * (platform::HighResClock() - g_diskFrom.load()));
  };
  o.paceSeconds = window;
  o.memoryBytes = 8u << 20;  // 43.7 s of sound
  return o;
}

// A take ends (a quit) while the disk holds the sync of its first second: once
// that sync comes back the header names that second at once, while the rest
// still waits (a program killed in the end's wait leaves a file that names the
// sound the disk kept), and the rest is named once kept. Rows: the sound
// appended before the end, in seconds.
TEST_F(Recording, AnEndedTakesHeaderNamesWhatTheDiskKeptWhileTheRestWaits) {
  StartWriter();
  const double kRows[] = {1.5, 2.5};
  int32_t row = 0;
  for (const double seconds : kRows) {
    SCOPED_TRACE(seconds);
    synccount::Reset();
    const std::string stem = "kept" + std::to_string(row++);
    const std::string path = fs::weakly_canonical(dir_ + "/AUDIO").string() + "/" + stem + ".wav";
    const int32_t take = W().HandOver(strdup(stem.c_str()), 1);
    ASSERT_GT(take, 0);
    const std::vector<int16_t> block(960, 5);
    ASSERT_EQ(Append(take, block), 0);
    ASSERT_TRUE(WaitUntil([&] { return Named(path) == 1920; }));
    synccount::Hold("", false);
    const int32_t blocks = int32_t(seconds * 100) - 1;
    for (int32_t b = 0; b < blocks; ++b) ASSERT_EQ(Append(take, block), 0);
    // The sync of its first whole second is held, the take ends, and the
    // writer goes on to the next take (so it has taken the end).
    ASSERT_TRUE(WaitUntil([&] {
      const auto syncs = synccount::Syncs();
      return std::any_of(syncs.begin(), syncs.end(), [&](const auto& s) { return s.path == path && s.length >= 88 + 192000; });
    }));
    W().End();
    const std::string next = stem + "n";
    ASSERT_GT(W().HandOver(strdup(next.c_str()), 2), 0);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir_ + "/AUDIO/" + next + ".wav"); }));
    EXPECT_EQ(Named(path), 1920u);
    synccount::LetOneThrough();
    EXPECT_TRUE(WaitUntil([&] { return Named(path) == 192000; }));
    W().End();
    ExpectWholeOnceLetGo(path, int64_t(blocks + 1) * 1920);
  }
}


// A fresh writer on a disk that counts what it writes (pace bytes a second,
// judged over a second), its syncs held: a take begun, named stem + pace.
class CountedDisk : public Recording {
 protected:
  int32_t TakeOnACountedDisk(int64_t pace, const std::string& stem) {
    delete g_writer;
    g_writer = new RecordingWriter(Counted(pace, 1.0));
    StartWriter();
    synccount::Reset();
    synccount::Hold();
    const int32_t take = W().HandOver(strdup((stem + std::to_string(pace)).c_str()), 1);
    EXPECT_GT(take, 0);
    return take;
  }
};

// The disk confirms nothing of the take (another file's write-back ahead of
// it), but its own count says how fast it writes: a take goes on while the
// disk writes faster than the sound comes, however long its bytes wait, up
// to the memory bound; one on a disk slower than the sound over the pace
// window ends "too slow" once 20 s of sound wait (and the ring is full).
TEST_F(CountedDisk, ATakeGoesOnWhileTheDiskWritesFastEnoughWhateverItConfirms) {
  namespace QB = QUARLE_BASICS;
  constexpr int64_t kLeast = 20 * 192000;  // bytes of sound
  const struct {
    const char* disk;
    int64_t pace;
    bool tooSlow;
  } kRows[] = {{"five times the sound's pace", 960000, false},
               {"half the sound's pace", 96000, true},
               {"writing nothing", 0, true}};
  const std::vector<int16_t> block(9600, 5);  // 0.1 s
  for (const auto& r : kRows) {
    SCOPED_TRACE(r.disk);
    const std::string path = dir_ + "/AUDIO/pace" + std::to_string(r.pace) + ".wav";
    int32_t take = 0;
    ASSERT_NO_FATAL_FAILURE(take = TakeOnACountedDisk(r.pace, "pace"));
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(path); }));
    Sleep(1.5);  // the pace window passes
    int64_t appended = 0;  // bytes
    int32_t rc = 0;
    for (int32_t n = 0; rc == 0 && n < 10 * 30; ++n) {
      // A full ring waits while the writer writes; once the file holds the
      // least the writer may write ahead of the disk, a full ring is the end.
      ASSERT_TRUE(WaitUntil([&] {
        rc = W().Append(take, block.data(), 9600);
        return rc != -QB::kErrDiskTooSlow ||
               (r.tooSlow && int64_t(fs::file_size(path)) > 88 + kLeast - 19200);
      }));
      if (rc == 0) appended += 19200;
    }
    W().End();
    EXPECT_EQ(rc, r.tooSlow ? -QB::kErrDiskTooSlow : 0);
    if (r.tooSlow) {
      EXPECT_LE(int64_t(fs::file_size(path)), 88 + kLeast);
    }
    EXPECT_EQ(ReadU32(Load(path), 84), 0u);  // nothing was confirmed
    ExpectWholeOnceLetGo(path, appended);
  }
}

// The end's wait where the disk counts what it writes: it goes on while the
// disk writes, though it confirms nothing of ours for longer than the idle
// limit, its count the time left at the disk's pace (at first the sound left,
// at half the sound's pace, twice over, then falling as the disk writes), and
// it gives up once the disk writes nothing.
TEST_F(CountedDisk, TheEndWaitsWhileTheDiskWritesAndCountsAtItsPace) {
  constexpr double kIdle = 1.5;
  static std::vector<RecordingEndProgress> shown;
  static double releaseAt;
  const struct {
    int64_t pace;
    int32_t returns;
    bool named;  // the take is said not confirmed whole
  } kRows[] = {{96000, 0, false}, {0, 1, true}};
  const std::vector<int16_t> second(96000, 11);
  for (const auto& r : kRows) {
    SCOPED_TRACE(r.pace);
    const std::string stem = "end" + std::to_string(r.pace);
    const std::string path = dir_ + "/AUDIO/" + stem + ".wav";
    const int32_t fds = OpenDescriptors();
    int32_t take = 0;
    ASSERT_NO_FATAL_FAILURE(take = TakeOnACountedDisk(r.pace, "end"));
    ASSERT_EQ(W().Append(take, second.data(), 96000), 0);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(path) && fs::file_size(path) == 88 + 192000; }));
    W().End();
    shown.clear();
    // Held for three idle limits; the disk that writes nothing is given up on
    // long before. The limit is long beside a busy machine's pauses of the
    // waiting thread, which a limit of a few tenths reads as a disk gone idle.
    releaseAt = platform::HighResClock() + 3 * kIdle;
    const int32_t got = W().Stop(kIdle, [](const RecordingEndProgress& p) {
      shown.push_back(p);
      if (platform::HighResClock() > releaseAt) synccount::Release();
      return true;
    });
    synccount::Release();
    EXPECT_EQ(got, r.returns);
    EXPECT_EQ(W().EndUnconfirmed(), r.named ? std::vector<std::string>{stem + ".wav"} : std::vector<std::string>{});
    // What the end left to the disk is closed once it lets go.
    EXPECT_TRUE(WaitUntil([] { return synccount::ThreadsNamed("tarvelo-recsync") == 0; }));
    EXPECT_EQ(OpenDescriptors(), fds);
    ASSERT_FALSE(shown.empty());
    EXPECT_TRUE(shown.front().diskCounted);
    int32_t paced = 0;
    for (const auto& p : shown) {
      if (p.secondsLeft <= 0.0 || p.soundLeft < 0.5) continue;
      // At most the sound left at half the sound's pace, twice over: less as
      // the disk writes (what it writes may be ours, confirmed only at the
      // sync's end).
      ++paced;
      EXPECT_LE(p.secondsLeft / p.soundLeft, 2.5);
    }
    if (r.pace > 0) {
      EXPECT_GT(paced, 0);
      EXPECT_TRUE(std::all_of(shown.begin(), shown.end(), [](const auto& p) { return p.confirming; }));
      ExpectHeader(Load(path), 48000);
    } else {
      EXPECT_EQ(paced, 0);  // no pace: no time left is said, only the sound that waits
    }
  }
}

}  // namespace
