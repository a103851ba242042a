// The audio thread end to end: streams through OpenAL Soft's wave driver into a
// WAV file, captures from an ALSA file PCM, records the output, and survives
// underruns, a lost device and overload injected through the fault seam. Every
// scenario runs in a fresh process (OpenAL reads its configuration once).
#include "audio/thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "audio/audio.h"
#include "audio/backend.h"
#include "audio/recording.h"
#include "audio/openal_env.h"
#include "basics/messages.h"
#include "basics/errors.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "sync_count.h"

namespace QA = QUARLE_AUDIO;
namespace fs = std::filesystem;
namespace QB = QUARLE_BASICS;
using audiotest::ConfigureOpenAl;
using audiotest::PostAudio;
using audiotest::Received;
using audiotest::ReportLog;

namespace {

const char kWaveDevice[] = "Wave File Writer";
constexpr double kTwoPi = 6.283185307179586;

// Left: a 440 Hz sine of amplitude 0.5. Right: +1.0 and -1.0 in turns of 480
// frames, the ends of the 16-bit range.
std::atomic<int64_t> g_frames{0};
std::atomic<int32_t> g_renderSleepUs{0};

void SineRender(float** buffer, int32_t start, int32_t count) {
  int64_t frame = g_frames.load();
  float* out = *buffer;
  for (int32_t i = start; i < start + count; i += 2, ++frame) {
    out[i] = static_cast<float>(0.5 * std::sin(kTwoPi * 440.0 * static_cast<double>(frame) / 48000.0));
    out[i + 1] = (frame / 480) % 2 == 0 ? 1.0f : -1.0f;
  }
  g_frames.store(frame);
  int32_t sleepUs = g_renderSleepUs.load();
  if (sleepUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(sleepUs));
}

std::mutex g_captureLock;
std::vector<float> g_captured;
std::vector<int64_t> g_resyncSeen;
std::vector<int32_t> g_captureCounts;

void KeepCapture(float** buffer, int32_t count, int64_t* resync) {
  std::lock_guard<std::mutex> hold(g_captureLock);
  g_resyncSeen.push_back(*resync);
  g_captureCounts.push_back(count);
  *resync = 0;
  if (g_captured.size() < 200000) g_captured.insert(g_captured.end(), *buffer, *buffer + count);
}

size_t CapturedSize() {
  std::lock_guard<std::mutex> hold(g_captureLock);
  return g_captured.size();
}

std::vector<int32_t> Lengths(const std::vector<Received>& reports) {
  std::vector<int32_t> out;
  for (const auto& r : reports) {
    if (r.type == QA::kAudioStreamBuffer) out.push_back(static_cast<int32_t>(r.single1));
  }
  return out;
}

// Waits until a report 208 carries this buffer length.
bool WaitForLength(ReportLog& log, int32_t length, double timeout) {
  return log.WaitFor(
      [&](const std::vector<Received>& all) {
        for (const auto& r : all) {
          if (r.type == QA::kAudioStreamBuffer && static_cast<int32_t>(r.single1) == length) return true;
        }
        return false;
      },
      timeout);
}

bool WaitForSettled(ReportLog& log, int32_t nth, float length, double timeout) {
  return log.WaitFor(
      [&](const std::vector<Received>& all) {
        int32_t k = 0;
        for (const auto& r : all) {
          if (r.type == QA::kAudioBufferLength && ++k == nth) return r.single1 == length;
        }
        return false;
      },
      timeout);
}

void Sleep(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// The loop's rate over the next whole second, which the thread stores at its
// once-a-second device check: the first value after a change of state counts
// part of the second before it, so the second value is taken.
int32_t NextWholeSecondRate() {
  for (int k = 0; k < 2; ++k) {
    QA::AudioPassesPerSecond.store(-1);
    EXPECT_TRUE(audiotest::WaitUntil([] { return QA::AudioPassesPerSecond.load() != -1; }));
  }
  return QA::AudioPassesPerSecond.load();
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t U32At(const std::vector<uint8_t>& d, size_t at) {
  uint32_t v;
  std::memcpy(&v, d.data() + at, 4);
  return v;
}

// Starts the library and the thread with the wave device chosen by name.
void StartStreaming(std::thread*& handle, ReportLog& log, QA::RenderCallbackFn render,
                    QA::CaptureCallbackFn capture, int32_t ms) {
  audiotest::SetUpFoundation();
  QB::DynZStringAssign(QA::PlaybackSelectedName, kWaveDevice);
  ASSERT_EQ(QA::init(render, capture, 48), 0);
  log.Start();
  ASSERT_EQ(QA::StartAudioThread(handle, 48000, ms), 0);
  EXPECT_EQ(QA::StartAudioThread(handle, 48000, ms), -1);
}

// Posts a command whose report has the same number and waits for the first one.
bool PostAndWait(ReportLog& log, uint32_t command) {
  PostAudio(command);
  return log.WaitForCount(command, 1, 2.0);
}

// A recording that failed is reported stopped once, by the audio thread, with
// the error, the take's number and whether it ever began.
void ExpectOneFailedRecordingStop(ReportLog& log, uint32_t take, uint32_t notStarted) {
  for (const auto& r : log.Reports()) {
    if (r.type != QA::kAudioRecordStop) continue;
    EXPECT_EQ(r.arg1, static_cast<uint32_t>(QA::AudioCommandQueue));
    EXPECT_LT(static_cast<int32_t>(r.arg4), 0);
    EXPECT_EQ(r.arg2, take);
    EXPECT_EQ(r.arg3, notStarted);
  }
  EXPECT_EQ(log.Count(QA::kAudioRecordStop), 1);
}

void StopStreaming(std::thread*& handle, ReportLog& log) {
  PostAudio(QA::kAudioQuit);
  QA::WaitAudioThread(handle);
  EXPECT_EQ(handle, nullptr);
  log.Stop();
  QA::SetAudioBackend(nullptr);
  audiotest::UseRealClock();
  QA::CloseAudio();
}

// The test's folder as the data folder, its AUDIO folder made for the recordings.
std::string MakeRecordingsFolder(const std::string& dir) {
  const std::string audio = dir + "/AUDIO";
  EXPECT_EQ(mkdir(audio.c_str(), 0755), 0);
  QB::DynZStringAssign(QB::HomeFolder, platform::FromOsPath(dir));
  return audio;
}

}  // namespace

TEST(AudioThreadRules, StreamRateAndLength) {
  EXPECT_EQ(QA::StreamRateFor(0), 48000u);
  EXPECT_EQ(QA::StreamRateFor(44100), 48000u);
  EXPECT_EQ(QA::StreamRateFor(-5), 48000u);
  EXPECT_EQ(QA::StreamRateFor(96000), 96000u);
  EXPECT_EQ(QA::StreamRateFor(143999), 96000u);  // whole multiples only
  EXPECT_EQ(QA::StreamRateFor(3 * 48000), 4 * 48000u);
  EXPECT_EQ(QA::StreamRateFor(5 * 48000), 4 * 48000u);
  for (int k : {6, 7, 9, 10, 11, 20}) EXPECT_EQ(QA::StreamRateFor(k * 48000), 8 * 48000u) << k;
  EXPECT_EQ(QA::StreamRateFor(2147483647), 8 * 48000u);

  EXPECT_EQ(QA::StreamLengthFor(48000, 0), 96);
  EXPECT_EQ(QA::StreamLengthFor(48000, -7), 96);
  EXPECT_EQ(QA::StreamLengthFor(48000, 10), 960);
  EXPECT_EQ(QA::StreamLengthFor(48000, 50), 3072);
  EXPECT_EQ(QA::StreamLengthFor(384000, 32), 24576);
}

TEST(AudioThreadRules, StreamBuffers) {
  float* buffer = nullptr;
  int16_t* buffer16 = nullptr;
  uint32_t keepRate = QA::StreamRate;
  int32_t keepLength = QA::StreamLength;
  QA::StreamRate = 48000;
  QA::StreamLength = 0;
  ASSERT_EQ(QA::SetStreamBuffers(&buffer, &buffer16, 0), 0);  // no length yet: 1 ms
  EXPECT_EQ(QA::StreamLength, 96);
  ASSERT_EQ(QA::SetStreamBuffers(&buffer, &buffer16, 11), 0);
  EXPECT_EQ(QA::StreamLength, 1056);
  buffer[1055] = 0.5f;
  buffer16[1055] = 7;
  QA::ClearStreamBuffers(&buffer, &buffer16);
  EXPECT_EQ(buffer[1055], 0.0f);
  EXPECT_EQ(buffer16[1055], 0);
  ASSERT_EQ(QA::SetStreamBuffers(&buffer, &buffer16, 0), 0);  // keeps the length
  EXPECT_EQ(QA::StreamLength, 1056);
  ASSERT_EQ(QA::SetStreamBuffers(&buffer, &buffer16, 500), 0);
  EXPECT_EQ(QA::StreamLength, 3072);
  std::free(buffer);
  std::free(buffer16);
  QA::StreamRate = keepRate;
  QA::StreamLength = keepLength;
}

// The end's count: the time left at the pace the disk writes (the sound
// left while that pace is not known yet), or, while the disk writes (or,
// with no count of its own, confirms) nothing, the sound that waits for it;
// never 0 while the wait lasts, and nothing said when nothing is left (a
// quit with nothing recorded); while the disk writes other files' bytes
// and none of the takes', that, with the sound that waits if any. A new text goes up at once at a wait's
// start, then at most once a second.
TEST(AudioThreadRules, TheEndsCountSaysTheTimeLeftAtTheDisksPace) {
  static std::vector<std::string> said;
  const QB::MessageHookFn keep = QB::MessageHook;
  QB::MessageHook = [](const std::string& text, int32_t) { said.push_back(text); };
  const std::string left = "Writing the recordings to the disk: ";
  const std::string none = left + "the disk confirms nothing; ";
  const double nan = std::nan("");
  const struct {
    QA::RecordingEndProgress p;
    std::string says;
  } kRows[] = {
      {{16.2, 17.0, true}, left + "17 s left"},       // the disk's pace, not the sound's
      {{16.2, 17.0, false}, left + "17 s left"},
      {{-1.0, 2.4, true}, left + "3 s left"},         // pace not known yet
      {{-1.0, 0.0, true}, left + "1 s left"},         // a take's last sync
      {{0.0, 0.0, true}, ""},                          // nothing left: nothing said
      {{-1.0, 16.7, false, true}, left + "the disk writes nothing; 17 s of sound wait for it"},
      {{2.0, 16.7, true, true}, left + "2 s left"},
      {{-1.0, 0.0, true, true, true}, left + "their last step waits while the disk writes other files"},
      {{5.2, 8.3, true, true, true}, left + "the disk writes other files first; 9 s of sound wait"},
      {{-1.0, 16.7, false}, none + "17 s of sound wait for it"},
      {{-1.0, 0.0, false}, none + "1 s of sound wait for it"},
      {{nan, nan, false}, none + "1 s of sound wait for it"},
      {{1.0e300, 5.0, true}, left + "1000000000 s left"},
  };
  for (const auto& row : kRows) {
    std::thread* nothing = nullptr;
    QA::WaitAudioThread(nothing);  // no writer: a wait that begins and ends at once
    said.clear();
    QA::SayWritingLeft(row.p);
    QA::SayWritingLeft(row.p);  // the same text is said once
    EXPECT_EQ(said, row.says.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.says}) << row.says;
  }
  // A changed count waits for the second to pass.
  said.clear();
  QA::SayWritingLeft({4.0, 9.0, true});
  EXPECT_TRUE(said.empty());
  Sleep(1.05);
  QA::SayWritingLeft({4.0, 9.0, true});
  EXPECT_EQ(said, std::vector<std::string>{left + "4 s left"});
  QB::MessageHook = keep;
}

// In standby the thread sleeps until a command comes: a second holds a
// handful of passes (the device check), not a thousand naps, and a command
// wakes it at once. A missed wake would sleep on to the next device check and
// start the stream only after it; so the start must come before any check
// that follows the post. A post delayed past the next check (a busy machine)
// proves nothing either way and is tried again.
TEST(AudioThread, StandbySleepsUntilACommandComes) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    EXPECT_TRUE(log.WaitForMessage(std::string(kWaveDevice) + " is now opened for audio streaming.", 2.0));
    const int32_t standby = NextWholeSecondRate();
    EXPECT_GE(standby, 1);
    EXPECT_LE(standby, 20);
    bool woken = false;
    for (int32_t attempt = 1; attempt <= 3 && !woken; ++attempt) {
      // Just after a device check, a second before the next.
      QA::AudioPassesPerSecond.store(-1);
      ASSERT_TRUE(audiotest::WaitUntil([] { return QA::AudioPassesPerSecond.load() != -1; }));
      QA::AudioPassesPerSecond.store(-1);
      PostAudio(QA::kAudioPlaybackOn);
      ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, attempt, 2.0));
      woken = QA::AudioPassesPerSecond.load() == -1;  // no check came before the start
      PostAudio(QA::kAudioPlaybackOff);
      ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, attempt, 2.0));
    }
    EXPECT_TRUE(woken);
    StopStreaming(handle, log);
  });
}

// Several seconds of a sine through the real thread into the wave driver's
// file, with two recordings of the output read back.
TEST(AudioThread, StreamsRecordsAndReportsThroughTheWaveDriver) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    const std::string audioFolder = MakeRecordingsFolder(setup.dir);
    ReportLog log;
    log.KeepBlocks(true);
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    EXPECT_EQ(QA::StreamRate, 48000u);
    EXPECT_FLOAT_EQ(QA::CapturePollPeriod, 48.0f / (6.0f * 48000.0f));
    EXPECT_TRUE(log.WaitForMessage(std::string(kWaveDevice) + " is now opened for audio streaming.", 2.0));
    EXPECT_EQ(log.CountMessages("Audio thread is started :: In standby. "), 1);
    Sleep(0.05);
    EXPECT_EQ(log.Count(QA::kAudioStreamBuffer), 0);  // standby renders nothing

    PostAudio(456);  // the low 8 bits select the command: 200
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, 1, 2.0));
    synccount::Reset();
    PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup("take1")));
    // Ignored while recording; its text still changes owner and is freed.
    PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup("ignored")));
    Sleep(0.6);
    PostAudio(QA::kAudioRecordStop);
    PostAudio(QA::kAudioRecordStart);  // no stem: "REC_" and a time stamp
    Sleep(0.3);
    PostAudio(QA::kAudioRecordStop);
    // The same stem again: a file of its own beside the first.
    PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup("take1")));
    Sleep(0.2);
    PostAudio(QA::kAudioRecordStop);
    Sleep(0.3);
    ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOff));
    int64_t played = g_frames.load();
    StopStreaming(handle, log);
    // Each recording's folder, data and end is written by the writer and
    // synced by its sync thread.
    EXPECT_EQ(synccount::On("tarvelo-audio"), 0);
    EXPECT_EQ(synccount::WritesOn("tarvelo-audio"), 0);
    EXPECT_EQ(synccount::On("tarvelo-rec"), 0);
    EXPECT_GE(synccount::On("tarvelo-recsync"), 3 * 3);

    // Reports: full buffers carrying the rendered signal, 960 floats until an
    // underrun (a busy machine's) restarts the stream 1 ms longer without the
    // buffer it was filling; within a run of one length nothing is missing.
    auto reports = log.Reports();
    for (const auto& r : reports) {
      if (r.type == QA::kAudioStreamBuffer) {
        EXPECT_EQ(r.arg1, static_cast<uint32_t>(QA::AudioCommandQueue));
      }
    }
    const audiotest::StreamRuns runs = audiotest::SplitStream(reports);
    ASSERT_GT(Lengths(reports).size(), 100u);
    for (size_t i = 0; i < runs.lengths.size(); ++i)
      EXPECT_EQ(runs.lengths[i], 960 + 96 * static_cast<int32_t>(i));
    const int32_t restarts = runs.Restarts();
    if (restarts == 0) {
      EXPECT_EQ(runs.floats, played * 2);
    } else {
      EXPECT_LE(runs.floats, played * 2);
      EXPECT_GE(runs.floats, played * 2 - restarts * runs.Longest());
    }
    EXPECT_NEAR(audiotest::ZeroCrossingFrequency(runs.samples, 0, 48000), 440.0, 0.5);
    EXPECT_EQ(log.Count(QA::kAudioRecordStop), 0);
    EXPECT_EQ(log.CountMessages("Now recording take1.wav"), 1);
    EXPECT_EQ(log.CountMessages("Now recording take1 (2).wav"), 1);
    EXPECT_EQ(log.CountMessages("Playback: buffer overrun"), 0);

    // The wave driver's file: the sine at the source gain of 0.5, in tune,
    // for about as long as it played.
    audiotest::WavContent wav;
    ASSERT_TRUE(audiotest::ReadWav(setup.waveFile, wav));
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.rate, 48000);
    size_t first = 0;
    while (first < wav.samples.size() / 2 && wav.samples[2 * first + 1] == 0.0f) ++first;
    size_t last = wav.samples.size() / 2;
    while (last > first && wav.samples[2 * last - 1] == 0.0f) --last;
    ASSERT_GT(last, first + 48000);
    std::vector<float> heard(wav.samples.begin() + 2 * first, wav.samples.begin() + 2 * last);
    EXPECT_NEAR(audiotest::ZeroCrossingFrequency(heard, 0, 48000), 440.0, 1.0);
    EXPECT_EQ(audiotest::SineBreaks(heard, 0, 440.0, 48000), 0);  // nothing dropped or repeated
    float peak = 0.0f;
    for (size_t i = 0; i < heard.size() / 2; ++i) {
      peak = std::max(peak, std::fabs(heard[2 * i]));
      EXPECT_LE(std::fabs(heard[2 * i + 1]), 0.5f + 1e-4f);
    }
    EXPECT_NEAR(peak, 0.25f, 0.002f);
    // Everything reported was heard, but for what was still queued or waiting
    // at the stop or at a restart (four buffers at most each); only a restart
    // leaves silence between.
    const int64_t sounding = audiotest::SoundingFrames(heard, 1);
    EXPECT_LE(sounding, runs.floats / 2);
    EXPECT_GE(sounding, runs.floats / 2 - (4 * restarts + 5) * runs.Longest() / 2);
    if (restarts == 0) {
      EXPECT_EQ(sounding, static_cast<int64_t>(heard.size() / 2));
    }

    // take1.wav: 16-bit values of what was rendered, sizes in the header.
    auto take = ReadBytes(audioFolder + "/take1.wav");
    ASSERT_GT(take.size(), 88u + 4 * 4800);
    uint32_t dataBytes = U32At(take, 84);
    EXPECT_EQ(take.size(), 88u + dataBytes);
    EXPECT_EQ(U32At(take, 4), dataBytes + 80);
    EXPECT_EQ(U32At(take, 44), dataBytes / 4);  // fact: frames
    std::vector<int16_t> values(dataBytes / 2);
    std::memcpy(values.data(), take.data() + 88, dataBytes);
    // The recording is a run of consecutive stream buffers, whole ones: find
    // where it starts.
    std::vector<float> stream;
    std::vector<size_t> starts;  // of each buffer in the stream
    for (const auto& r : reports) {
      if (r.type != QA::kAudioStreamBuffer) continue;
      starts.push_back(stream.size());
      stream.insert(stream.end(), r.block.begin(), r.block.end());
    }
    starts.push_back(stream.size());
    // The signal repeats every ten buffers of 960: the whole recording, and
    // where it ends, decide.
    const auto value16 = [&](size_t i) { return static_cast<int16_t>(std::nearbyint(stream[i] * 32767.0f)); };
    size_t offset = 0;
    bool found = false;
    for (size_t b = 0; !found && b + 1 < starts.size() && starts[b] + values.size() <= stream.size(); ++b) {
      offset = starts[b];
      found = std::binary_search(starts.begin(), starts.end(), offset + values.size());
      for (size_t i = 0; found && i < values.size(); ++i) found = values[i] == value16(offset + i);
    }
    ASSERT_TRUE(found);
    size_t mismatches = 0;
    int32_t ones = 0, minusOnes = 0;
    for (size_t i = 0; i < values.size(); ++i) {
      mismatches += values[i] != value16(offset + i) ? 1 : 0;
      if (i % 2 == 1) {
        ones += values[i] == 32767 ? 1 : 0;
        minusOnes += values[i] == -32767 ? 1 : 0;
      }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ones + minusOnes, static_cast<int32_t>(values.size() / 2));
    EXPECT_GT(ones, 0);
    EXPECT_GT(minusOnes, 0);

    // The recording without a stem.
    int32_t timed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(audioFolder)) {
      std::string name = entry.path().filename().string();
      if (name.rfind("REC_", 0) == 0) {
        ++timed;
        EXPECT_EQ(name.size(), 4u + 17u + 4u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".wav");
        auto bytes = ReadBytes(entry.path().string());
        ASSERT_GE(bytes.size(), 88u);
        EXPECT_EQ(bytes.size(), 88u + U32At(bytes, 84));
        EXPECT_GT(U32At(bytes, 84), 0u);
      }
    }
    EXPECT_EQ(timed, 1);
    audiotest::RemoveTree(setup.dir);
  });
}

// A recording whose writes fail is ended at once and reported; the stream
// plays on, and once the writer has closed it (whether the disk held its
// syncs meanwhile or not) its header names the whole frames its file holds.
TEST(AudioThread, RecordingThatCannotBeWrittenStops) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "syncs held" : "syncs free");
    audiotest::InFreshProcess([held] {
      // The output goes nowhere; every regular file of this process is limited
      // to 64 KB, so the recording fails after about 34 buffers.
      auto setup = ConfigureOpenAl({}, "/dev/null");
      const std::string audioFolder = MakeRecordingsFolder(setup.dir);
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit;
      ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
      limit.rlim_cur = 65536;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
      ReportLog log;
      std::thread* handle = nullptr;
      StartStreaming(handle, log, &SineRender, nullptr, 10);
      ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOn));
      synccount::Reset();
      if (held) synccount::Hold("tarvelo-recsync");
      PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup("big")), 4);
      ASSERT_TRUE(log.WaitForCount(QA::kAudioRecordStop, 1, 3.0));
      EXPECT_EQ(log.CountMessages("Now recording big.wav"), 1);
      int32_t buffers = log.Count(QA::kAudioStreamBuffer);
      ASSERT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, buffers + 10, 2.0));  // still playing
      synccount::Release();
      // The take's end is the writer's: its file is whole once it settles.
      ASSERT_TRUE(QA::RecordingWriterSettle(audiotest::kHangBound));
      const int64_t size = static_cast<int64_t>(std::filesystem::file_size(audioFolder + "/big.wav"));
      EXPECT_LE(size, 65536);
      auto bytes = ReadBytes(audioFolder + "/big.wav");
      ASSERT_GE(bytes.size(), 88u);
      EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
      EXPECT_EQ(std::memcmp(bytes.data() + 80, "data", 4), 0);
      EXPECT_EQ(U32At(bytes, 4), U32At(bytes, 84) + 80);
      // The sizes name what the file holds, the part block the full disk took
      // included, in whole frames.
      EXPECT_EQ(U32At(bytes, 4) + 8, bytes.size());
      EXPECT_EQ(U32At(bytes, 44) * 4, U32At(bytes, 84));
      buffers = log.Count(QA::kAudioStreamBuffer);
      ASSERT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, buffers + 10, 2.0));  // nothing more written
      EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(audioFolder + "/big.wav")), size);
      ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOff));
      StopStreaming(handle, log);
      ExpectOneFailedRecordingStop(log, 4, 0);
      EXPECT_EQ(synccount::On("tarvelo-audio"), 0);  // the failed end is the writer's too
      EXPECT_EQ(synccount::WritesOn("tarvelo-audio"), 0);
      audiotest::RemoveTree(setup.dir);
    });
  }
}

// Rec on and off 30 times while the disk holds every sync: the stream goes on
// with no write or sync of its own. The end then waits for the writer, saying
// what is left, until every take is whole on the disk, and the writer's
// threads are gone before it returns.
TEST(AudioThread, RecordingsOnADiskThatHoldsItsSyncsNeverStallTheStreamAndTheEndWaits) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl({}, "/dev/null");
    const std::string audioFolder = MakeRecordingsFolder(setup.dir);
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOn));
    synccount::Reset();
    synccount::Hold();
    for (int i = 0; i < 30; ++i) {
      PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup(("take" + std::to_string(i)).c_str())));
      PostAudio(QA::kAudioRecordStop);
    }
    EXPECT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, log.Count(QA::kAudioStreamBuffer) + 20, 5.0));
    EXPECT_EQ(synccount::On("tarvelo-audio"), 0);
    EXPECT_EQ(synccount::WritesOn("tarvelo-audio"), 0);
    // The disk lets its syncs go once the end says what it waits for.
    const auto waiting = [&] {
      for (const std::string& m : log.Messages())
        if (m.rfind("Writing the recordings to the disk: ", 0) == 0) return true;
      return false;
    };
    std::thread disk([&] {
      audiotest::WaitUntil(waiting);
      synccount::Release();
    });
    const bool stopped = PostAndWait(log, QA::kAudioPlaybackOff);
    if (stopped) StopStreaming(handle, log);
    const bool said = waiting();
    std::vector<std::vector<uint8_t>> files;  // as the end left them
    for (int i = 0; i < 30; ++i) files.push_back(ReadBytes(audioFolder + "/take" + std::to_string(i) + ".wav"));
    const bool writersGone = audiotest::WaitUntil([] {  // a joined thread may be listed a moment longer
      return synccount::ThreadsNamed("tarvelo-rec") + synccount::ThreadsNamed("tarvelo-recsync") == 0;
    });
    synccount::Release();
    disk.join();
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(said);
    EXPECT_TRUE(writersGone);
    EXPECT_EQ(log.CountMessages("The last recording may not be on the disk yet: the disk has not confirmed it"), 0);
    EXPECT_EQ(log.Count(QA::kAudioRecordStop), 0);
    for (int i = 0; i < 30; ++i) {
      const auto& b = files[size_t(i)];
      ASSERT_GE(b.size(), 88u) << i;
      EXPECT_EQ(U32At(b, 84) + 88, b.size()) << i;  // the header names what it holds
    }
    audiotest::RemoveTree(setup.dir);
  });
}

// A start that is not taken says that no recording was started: its file
// could not be made, or the writer still holds the takes before it (here
// thirty-two, its disk taking nothing).
TEST(AudioThread, ARefusedRecordingIsReportedStopped) {
  audiotest::InFreshProcess([] {
    // No AUDIO folder: the recording file cannot be created.
    auto setup = ConfigureOpenAl({}, "/dev/null");
    QB::DynZStringAssign(QB::HomeFolder, platform::FromOsPath(setup.dir));
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup("nowhere")), 5);
    // The interface's record button went on when it asked; the report turns it off.
    ASSERT_TRUE(log.WaitForCount(QA::kAudioRecordStop, 1, 3.0));
    EXPECT_EQ(log.CountMessages("Now recording nowhere.wav"), 0);
    // The interface may answer with a new take before this thread appends
    // again (here nothing plays, so it never does): the take is started.
    MakeRecordingsFolder(setup.dir);
    PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup("again")), 6);
    EXPECT_TRUE(log.WaitForMessage("Now recording again.wav", audiotest::kHangBound));
    StopStreaming(handle, log);
    ExpectOneFailedRecordingStop(log, 5, QA::kRecordNotStarted);  // its file was never made
    audiotest::RemoveTree(setup.dir);
  });
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl({}, "/dev/null");
    MakeRecordingsFolder(setup.dir);
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    synccount::Reset();
    synccount::HoldWrites();
    for (uint32_t k = 1; k <= 33; ++k) {
      PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup(("q" + std::to_string(k)).c_str())), k);
      PostAudio(QA::kAudioRecordStop);
    }
    ASSERT_TRUE(log.WaitForCount(QA::kAudioRecordStop, 1, 3.0));
    synccount::Release();
    StopStreaming(handle, log);
    ExpectOneFailedRecordingStop(log, 33, QA::kRecordNotStarted);  // the writer held the 32 before
    EXPECT_EQ(log.CountMessages("Now recording q32.wav"), 1);
    audiotest::RemoveTree(setup.dir);
  });
}

// Underruns lengthen the buffer by 1 ms until the stream settles; a settled
// stream warns on repeated underruns and grows again after the third; command
// 206 unsettles it and command 210 restores the settled length. The restart
// after an underrun is no stop: nothing is reported, the graph stays with the
// audio thread. The only underruns are the forced ones, and the thread's clock
// runs a hundred times slower than the real one: the stream settles only when
// the test moves the clock past the settling time, and the forced underruns
// fall within it of each other however slow the machine.
TEST(AudioThread, UnderrunsSettlingAndBufferLength) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    auto& fake = audiotest::InstallFaults();
    fake.HideNaturalUnderruns(true);
    audiotest::UseFastClock(0.01);
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    PostAudio(QA::kAudioPlaybackOn);
    ASSERT_TRUE(WaitForLength(log, 960, 2.0));

    fake.ForceUnderruns(1);
    ASSERT_TRUE(WaitForLength(log, 1056, 2.0));  // one underrun: 10 ms + 1 ms
    EXPECT_EQ(log.Count(QA::kAudioPlaybackOn), 1);
    EXPECT_EQ(log.Count(QA::kAudioPlaybackOff), 0);
    EXPECT_EQ(log.Count(QA::kAudioBufferLength), 0);  // not settled before its time
    audiotest::AdvanceClock(11.0);
    ASSERT_TRUE(WaitForSettled(log, 1, 1056.0f, 3.0));

    // Taken, then two more buffers: the stream runs again.
    auto underrunAndWait = [&] {
      fake.ForceUnderruns(1);
      ASSERT_TRUE(audiotest::WaitUntil([&] { return fake.PendingUnderruns() == 0; }));
      ASSERT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, log.Count(QA::kAudioStreamBuffer) + 2, 2.0));
      // The audio thread's log lines are written by the recording's writer:
      // the log file is a disk too.
      ASSERT_TRUE(QA::RecordingWriterSettle(audiotest::kHangBound));
    };
    underrunAndWait();  // settled: forgiven
    EXPECT_EQ(log.CountMessages("Playback: buffer overrun"), 0);
    underrunAndWait();
    EXPECT_EQ(log.CountMessages("Playback: buffer overrun", "tarvelo-rec"), 1);
    auto before = Lengths(log.Reports());
    for (int32_t n : before) EXPECT_LE(n, 1056);
    underrunAndWait();  // the third unsettles the stream: it grows again
    EXPECT_EQ(log.CountMessages("Playback: buffer overrun", "tarvelo-rec"), 2);
    ASSERT_TRUE(WaitForLength(log, 1152, 2.0));
    EXPECT_EQ(log.Count(QA::kAudioBufferLength), 1);
    audiotest::AdvanceClock(11.0);
    ASSERT_TRUE(WaitForSettled(log, 2, 1152.0f, 3.0));

    PostAudio(QA::kAudioBufferLength, 20.0f);
    ASSERT_TRUE(WaitForLength(log, 1920, 2.0));
    PostAudio(QA::kAudioPlaybackDevice, 1.0f);
    ASSERT_TRUE(log.WaitForMessage(std::string(kWaveDevice) + " is now opened for audio streaming.", 2.0));
    ASSERT_TRUE(log.WaitFor(
        [](const std::vector<Received>& all) {
          auto l = Lengths(all);
          return !l.empty() && l.back() == 1152;
        },
        2.0));
    PostAudio(QA::kAudioPlaybackOff);
    // Stops by command 206, by command 210 and by command 201.
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, 3, 2.0));
    EXPECT_EQ(log.Count(QA::kAudioPlaybackOn), 3);
    EXPECT_EQ(fake.PendingUnderruns(), 0);
    // Three forced underrun restarts and nothing else: no other length came.
    std::vector<int32_t> lengths = Lengths(log.Reports());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    EXPECT_EQ(lengths, (std::vector<int32_t>{960, 1056, 1152, 1920, 1152}));
    EXPECT_EQ(log.Count(QA::kAudioBufferLength), 2);
    StopStreaming(handle, log);
    audiotest::RemoveTree(setup.dir);
  });
}

// A device that goes away is closed and reported; hostile indexes are harmless;
// choosing it again after it came back resumes the stream.
TEST(AudioThread, LostDeviceIsClosedAndCanBeChosenAgain) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    auto& fake = audiotest::InstallFaults();
    audiotest::UseFastClock(10.0);  // a device check every 0.1 s
    QA::AutoConnect = -1;
    QA::UseDefaultDevice = -1;
    ReportLog log;
    std::thread* handle = nullptr;
    audiotest::SetUpFoundation();
    // Nothing selected: the automatic choice posts 210 to the thread itself.
    ASSERT_EQ(QA::init(&SineRender, nullptr, 48), 0);
    log.Start();
    ASSERT_EQ(QA::StartAudioThread(handle, 48000, 10), 0);
    PostAudio(QA::kAudioPlaybackOn);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, 1, 3.0));
    ASSERT_TRUE(WaitForLength(log, 960, 2.0));

    fake.LoseDevice(kWaveDevice);
    ASSERT_TRUE(log.WaitForMessage("Current playback device is disconnected.", 2.0));
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, 1, 2.0));
    Sleep(0.1);
    int32_t buffers = log.Count(QA::kAudioStreamBuffer);
    for (float index : {std::nanf(""), 1.0e9f, -5.0f, 1.0f}) PostAudio(QA::kAudioPlaybackDevice, index);
    Sleep(0.25);  // past device checks
    EXPECT_EQ(log.Count(QA::kAudioStreamBuffer), buffers);  // nothing plays
    EXPECT_EQ(log.Count(QA::kAudioPlaybackOn), 1);

    fake.RestoreDevice();
    Sleep(0.25);  // the device check finds it listed but not chosen
    EXPECT_EQ(log.Count(QA::kAudioPlaybackOn), 1);
    PostAudio(QA::kAudioPlaybackDevice, 1.0f);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, 2, 2.0));
    ASSERT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, buffers + 5, 2.0));
    EXPECT_EQ(log.CountMessages(std::string(kWaveDevice) + " is now opened for audio streaming."), 2);
    EXPECT_EQ(log.CountMessages("Current playback device is disconnected."), 1);
    StopStreaming(handle, log);
    audiotest::RemoveTree(setup.dir);
  });
}

// A render load at or above 1.0 stops the stream before it is reported: the
// stop report comes first, the render callback is called no more, and the
// next start (Play) streams again.
TEST(AudioThread, OverloadStopsTheStreamBeforeItIsReported) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    // The thread's clock runs 8 times fast, so a render call of 1.6 ms real per
    // 10 ms buffer measures as a load of 1.28.
    audiotest::UseFastClock(8.0);
    g_renderSleepUs.store(1600);
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    PostAudio(QA::kAudioPlaybackOn);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioOverload, 1, 3.0));
    const int64_t rendered = g_frames.load();
    g_renderSleepUs.store(0);
    Sleep(0.3);
    EXPECT_EQ(g_frames.load(), rendered);  // the render callback is left alone
    EXPECT_EQ(log.Count(QA::kAudioOverload), 1);
    ASSERT_TRUE(QA::RecordingWriterSettle(audiotest::kHangBound));
    EXPECT_EQ(log.CountMessages("Playback: work overload!", "tarvelo-rec"), 1);
    auto stopAndOverload = [&] {
      std::vector<uint32_t> order;
      for (const auto& r : log.Reports())
        if (r.type == QA::kAudioPlaybackOff || r.type == QA::kAudioOverload) order.push_back(r.type);
      return order;
    };
    EXPECT_EQ(stopAndOverload(), (std::vector<uint32_t>{QA::kAudioPlaybackOff, QA::kAudioOverload}));

    // Play again: it streams (the load measured before is forgotten).
    PostAudio(QA::kAudioPlaybackOn);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, 2, 2.0));
    ASSERT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, log.Count(QA::kAudioStreamBuffer) + 20, 3.0));
    EXPECT_GT(g_frames.load(), rendered);
    EXPECT_EQ(log.Count(QA::kAudioOverload), 1);

    // The test seam forces one.
    QA::ForceOverload.store(true);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioOverload, 2, 2.0));
    EXPECT_EQ(stopAndOverload(), (std::vector<uint32_t>{QA::kAudioPlaybackOff, QA::kAudioOverload,
                                                        QA::kAudioPlaybackOff, QA::kAudioOverload}));
    StopStreaming(handle, log);
    audiotest::RemoveTree(setup.dir);
  });
}

// An output that stops unasked under a running take (overload, the device
// gone, a restart after an underrun that fails) ends the take with its reason:
// one stop report for the take, which never began anew, and a file whose
// header names what it holds and that grows no more.
TEST(AudioThread, AnOutputThatStopsEndsTheRunningTakeWithItsReason) {
  const struct {
    const char* name;
    void (*stop)(audiotest::TestBackend&);
    int32_t error;
  } kRows[] = {
      {"overload", [](audiotest::TestBackend&) { QA::ForceOverload.store(true); }, QB::kErrOutputOverload},
      {"device gone", [](audiotest::TestBackend& f) { f.LoseDevice(kWaveDevice); }, QB::kErrOutputLost},
      {"no restart",
       [](audiotest::TestBackend& f) {
         f.FailPlays(1);
         f.ForceUnderruns(1);
       },
       QB::kErrOutputNoRestart},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    audiotest::InFreshProcess([&] {
      auto setup = ConfigureOpenAl({}, "/dev/null");
      const std::string audioFolder = MakeRecordingsFolder(setup.dir);
      auto& fake = audiotest::InstallFaults();
      fake.HideNaturalUnderruns(true);
      ReportLog log;
      std::thread* handle = nullptr;
      StartStreaming(handle, log, &SineRender, nullptr, 10);
      ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOn));
      PostAudio(QA::kAudioRecordStart, 0.0f, reinterpret_cast<uintptr_t>(strdup("cut")), 7);
      const std::string take = audioFolder + "/cut.wav";
      ASSERT_TRUE(audiotest::WaitUntil([&] { return fs::exists(take) && fs::file_size(take) > 88 + 4 * 4800; }));
      row.stop(fake);
      ASSERT_TRUE(log.WaitForCount(QA::kAudioRecordStop, 1, 3.0));
      ASSERT_TRUE(QA::RecordingWriterSettle(audiotest::kHangBound));
      const auto ended = ReadBytes(take);
      // Played again where it can be: nothing more reaches the take.
      PostAudio(QA::kAudioPlaybackOn);
      Sleep(0.2);
      StopStreaming(handle, log);
      ExpectOneFailedRecordingStop(log, 7, 0);
      for (const auto& r : log.Reports()) {
        if (r.type != QA::kAudioRecordStop) continue;
        EXPECT_EQ(static_cast<int32_t>(r.arg4), -row.error);
      }
      ASSERT_GE(ended.size(), 88u);
      EXPECT_EQ(U32At(ended, 84) + 88, ended.size());
      EXPECT_EQ(ReadBytes(take), ended);
      audiotest::RemoveTree(setup.dir);
    });
  }
}

// With the hand-over in force the render callback is called only once the
// interface has taken every start and stop report: silence streams meanwhile.
TEST(AudioThread, RenderWaitsUntilTheInterfaceTookThePlaybackReports) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    QA::PlaybackHandOver.store(true);
    ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOn));
    ASSERT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, 10, 2.0));  // streaming silence
    EXPECT_EQ(g_frames.load(), 0);
    ASSERT_EQ(QA::LastPlaybackReport(), 1u);
    QA::PlaybackReportTaken(1);
    EXPECT_TRUE(audiotest::WaitUntil([] { return g_frames.load() > 0; }));
    // A buffer-length change stops and starts: silence until both are taken.
    PostAudio(QA::kAudioBufferLength, 12.0f);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, 2, 2.0));
    const int64_t rendered = g_frames.load();
    ASSERT_TRUE(log.WaitForCount(QA::kAudioStreamBuffer, log.Count(QA::kAudioStreamBuffer) + 10, 2.0));
    EXPECT_EQ(g_frames.load(), rendered);
    ASSERT_EQ(QA::LastPlaybackReport(), 3u);
    QA::PlaybackReportTaken(2);
    Sleep(0.1);
    EXPECT_EQ(g_frames.load(), rendered);  // the start is not taken yet
    QA::PlaybackReportTaken(3);
    EXPECT_TRUE(audiotest::WaitUntil([&] { return g_frames.load() > rendered; }));
    PostAudio(QA::kAudioPlaybackOff);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, 2, 2.0));
    StopStreaming(handle, log);
    audiotest::RemoveTree(setup.dir);
  });
}

// A clock far ahead of the stream (hours of it within a second) neither stalls
// the stream nor makes it underrun: what is left to render stays bounded.
TEST(AudioThread, AClockFarAheadKeepsTheStreamFlowing) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    audiotest::UseFastClock(20000.0);
    ReportLog log;
    log.KeepBlocks(true);
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOn));
    // Half a second of sound, however long a busy machine takes over it.
    ASSERT_TRUE(log.WaitForCount(QA::kAudioOverload, 1, 2.0));
    ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOff));
    StopStreaming(handle, log);
    EXPECT_EQ(log.Count(QA::kAudioPlaybackOn), 1);  // never restarted
    // Every pass looks late to such a clock: the delay is told in whole ms,
    // by the recording's writer.
    int32_t delays = 0;
    for (const auto& m : log.MessagesOn("tarvelo-rec")) {
      const std::string tail = "ms delay in audio thread.";
      if (m.size() <= tail.size() || m.compare(m.size() - tail.size(), tail.size(), tail) != 0) continue;
      ++delays;
      EXPECT_EQ(m.find_first_not_of("0123456789"), m.size() - tail.size()) << m;
    }
    EXPECT_GT(delays, 0);
    auto reports = log.Reports();
    const audiotest::StreamRuns runs = audiotest::SplitStream(reports);
    // Such a clock also measures the render as overloaded once the load is
    // first taken, after half a second of sound (48000 floats, about 50
    // buffers): the stream stops there.
    EXPECT_EQ(log.Count(QA::kAudioOverload), 1);
    EXPECT_LT(runs.floats, 48000 + runs.Longest());
    EXPECT_GE(runs.floats, 48000 - (runs.Restarts() + 1) * runs.Longest());
    // In tune over what was rendered back to back (an underrun of a busy
    // machine restarts the stream without the buffer it was filling).
    EXPECT_NEAR(audiotest::ZeroCrossingFrequency(runs.samples, 0, 48000), 440.0, 0.5);
    audiotest::RemoveTree(setup.dir);
  });
}

// Capture from an ALSA file PCM through OpenAL Soft reaches the capture
// callback block by block, unchanged.
TEST(AudioThread, CaptureReachesTheCallback) {
  audiotest::InFreshProcess([] {
    std::vector<float> input(2 * 24000);
    for (size_t i = 0; i < input.size() / 2; ++i) {
      float v = static_cast<float>(0.25 * std::sin(kTwoPi * 1000.0 * static_cast<double>(i) / 48000.0));
      input[2 * i] = v;
      input[2 * i + 1] = -v;
    }
    auto setup = ConfigureOpenAl(input);
    ReportLog log;
    std::thread* handle = nullptr;
    audiotest::SetUpFoundation();
    QB::DynZStringAssign(QA::CaptureSelectedName, "ALSA Default");
    ASSERT_EQ(QA::init(nullptr, &KeepCapture, 48), 0);
    log.Start();
    ASSERT_EQ(QA::CaptureSelected, 1);
    ASSERT_EQ(QA::StartAudioThread(handle, 48000, 10), 0);
    ASSERT_TRUE(log.WaitForMessage("ALSA Default is now opened for audio capture.", 2.0));
    ASSERT_TRUE(PostAndWait(log, QA::kAudioCaptureOn));
    EXPECT_TRUE(audiotest::WaitUntil([&] { return CapturedSize() >= input.size(); }));
    PostAudio(QA::kAudioCaptureOff);
    // The stop copies the test device's whole ring (1.6 GB, see
    // openal_env.cpp): on a busy machine that copy alone may take longer than
    // the usual hang bound.
    ASSERT_TRUE(log.WaitForCount(QA::kAudioCaptureOff, 1, 4 * audiotest::kHangBound));
    size_t afterStop = CapturedSize();
    Sleep(0.05);
    EXPECT_EQ(CapturedSize(), afterStop);
    StopStreaming(handle, log);

    std::lock_guard<std::mutex> hold(g_captureLock);
    ASSERT_GE(g_captured.size(), input.size());
    for (size_t i = 0; i < input.size(); ++i) {
      ASSERT_EQ(g_captured[i], input[i]) << "float " << i;
    }
    ASSERT_FALSE(g_resyncSeen.empty());
    EXPECT_EQ(g_resyncSeen[0], -1);  // every start of capture asks for a resync
    EXPECT_EQ(g_resyncSeen[1], 0);
    for (int32_t c : g_captureCounts) EXPECT_EQ(c, 96);
    audiotest::RemoveTree(setup.dir);
  });
}

// The loop's rate while playing counts the sleep between buffers at the pace
// of the loop's own light passes, as the loop spinning there would make them
// (a release build reads hundreds of thousands; a sanitized one some 50000);
// standing by it reads below 1000 (standby), and passes slowed by the test
// hook read below the stream rate: red.
TEST(AudioThread, TheLoopRateTellsPlayingAndStandbyFromSlowPasses) {
  audiotest::InFreshProcess([] {
    auto setup = ConfigureOpenAl();
    ReportLog log;
    std::thread* handle = nullptr;
    StartStreaming(handle, log, &SineRender, nullptr, 10);
    EXPECT_LE(NextWholeSecondRate(), 999);
    ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOn));
    const int32_t playing = NextWholeSecondRate();
    EXPECT_GT(playing, 999);
    QA::AudioLoopMeter.slowPassUs = 2000;
    const int32_t slow = NextWholeSecondRate();
    QA::AudioLoopMeter.slowPassUs = 0;
    EXPECT_LT(slow, 48000);
    EXPECT_GT(playing, 10 * slow);
    ASSERT_TRUE(PostAndWait(log, QA::kAudioPlaybackOff));
    StopStreaming(handle, log);
    audiotest::RemoveTree(setup.dir);
  });
}
