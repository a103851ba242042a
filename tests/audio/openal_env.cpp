#include "audio/openal_env.h"

#include <gtest/gtest-spi.h>

#include "audio/meters.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "audio/audio.h"
#include "audio/backend.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "platform/threads.h"

namespace audiotest {

namespace {

std::mutex g_messageLock;
std::vector<std::string> g_messages;
std::vector<std::string> g_messageThreads;  // who wrote each

void HookMessage(const std::string& text, int32_t level) {
  (void)level;
  const std::string thread = platform::ThreadName();
  std::lock_guard<std::mutex> hold(g_messageLock);
  g_messages.push_back(text);
  g_messageThreads.push_back(thread);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string g_configuredDir;  // removed when the fresh process ends
std::atomic<double> g_clockBase{0.0};
std::atomic<double> g_clockFactor{1.0};
std::atomic<double> g_clockOffset{0.0};
std::atomic<double> g_clockJump{0.0};  // added at the next source query

double FastClock() {
  double base = g_clockBase.load();
  return base + (platform::HighResClock() - base) * g_clockFactor.load() + g_clockOffset.load();
}

}  // namespace

OpenAlSetup ConfigureOpenAl(const std::vector<float>& captureInput, const std::string& waveFile) {
  OpenAlSetup setup;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvelo_audio_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) return setup;
  setup.dir = name.data();
  g_configuredDir = setup.dir;
  setup.waveFile = waveFile.empty() ? setup.dir + "/out.wav" : waveFile;

  std::string drivers = "wave";
  if (!captureInput.empty()) {
    setup.rawInput = setup.dir + "/in.raw";
    std::ofstream raw(setup.rawInput, std::ios::binary);
    raw.write(reinterpret_cast<const char*>(captureInput.data()),
              static_cast<std::streamsize>(captureInput.size() * sizeof(float)));
    raw.close();
    // The default capture device reads the raw file. Its "null" slave has no
    // clock: a capture runs as fast as it is polled, and the device always
    // offers its whole ring (some 200 million frames), which OpenAL Soft
    // copies when the capture stops (1.6 GB, about a second): stop captures
    // sparingly.
    WriteFile(setup.dir + "/.asoundrc",
              "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n"
              "  infile \"" + setup.rawInput + "\"\n  format \"raw\"\n}\n");
    drivers = "wave,alsa";
  }
  // The driver mixes 5 ms at a time: well inside the three 10 ms buffers the
  // thread keeps queued (with its default 1024 frames a 10 ms stream would
  // underrun and grow at once).
  WriteFile(setup.dir + "/alsoft.conf", "[general]\ndrivers = " + drivers +
                                            "\nfrequency = 48000\nperiod_size = 240\n"
                                            "[wave]\nfile = " + setup.waveFile + "\n");
  setenv("ALSOFT_CONF", (setup.dir + "/alsoft.conf").c_str(), 1);
  // Neither a user's own OpenAL nor ALSA configuration may take part.
  setenv("HOME", setup.dir.c_str(), 1);
  setenv("XDG_CONFIG_HOME", setup.dir.c_str(), 1);
  unsetenv("ALSA_CONFIG_PATH");
  return setup;
}

void RemoveTree(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

void InFreshProcess(const std::function<void()>& body, const std::string& childFolder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A death test's child forwards no results: collect them here and
        // print them where the parent shows them.
        ::testing::TestPartResultArray results;
        {
          ::testing::ScopedFakeTestPartResultReporter reporter(
              ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
          body();
        }
        RemoveTree(g_configuredDir);
        if (!childFolder.empty()) RemoveTree(childFolder);
        int failures = 0;
        for (int i = 0; i < results.size(); ++i) {
          const auto& r = results.GetTestPartResult(i);
          if (!r.failed()) continue;
          ++failures;
          std::fprintf(stderr, "%s:%d: %s\n", r.file_name() ? r.file_name() : "?",
                       r.line_number(), r.message());
        }
        std::fflush(stderr);
        std::exit(failures == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

void SetUpFoundation() {
  QUARLE_BASICS::BasicsCreateLocks();
  QUARLE_BASICS::CreateCommandQueue(QUARLE_BASICS::MainCommandQueue);
  QUARLE_BASICS::MessageHook = &HookMessage;
}

std::vector<std::string> HookedMessages() {
  std::lock_guard<std::mutex> hold(g_messageLock);
  return g_messages;
}

void ReportLog::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Drain(); });
}

ReportLog::~ReportLog() { Stop(); }

void ReportLog::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  if (thread_.joinable()) thread_.join();
}

void ReportLog::Drain() {
  QUARLE_BASICS::ArrayHeader header;
  QUARLE_BASICS::ArrayHeaderInit(header);
  QUARLE_BASICS::CommandMessage* buffer = nullptr;
  for (;;) {
    bool last;
    {
      std::lock_guard<std::mutex> hold(lock_);
      last = stop_;
    }
    if (QUARLE_BASICS::FetchCommands(buffer, header, 0) == 0) {
      std::vector<Received> got;
      for (int32_t i = 0; i < header.count; ++i) {
        const auto& m = buffer[i];
        Received r{m.type, m.single1, m.arg1, m.arg4, m.timeStamp, {}, m.arg2, m.arg3};
        void* block = reinterpret_cast<void*>(static_cast<uintptr_t>(m.word2));
        if (m.type == QUARLE_AUDIO::kAudioStreamBuffer && block && keepBlocks_) {
          const float* f = static_cast<const float*>(block);
          r.block.assign(f, f + static_cast<int32_t>(m.single1));
        }
        QUARLE_AUDIO::ReleaseReportBlock(m.type, m.word2);
        got.push_back(std::move(r));
      }
      std::lock_guard<std::mutex> hold(lock_);
      for (auto& r : got) reports_.push_back(std::move(r));
    }
    if (last) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::free(buffer);
  QUARLE_BASICS::ArrayHeaderFree(header);
}

std::vector<Received> ReportLog::Reports() {
  std::lock_guard<std::mutex> hold(lock_);
  return reports_;
}

std::vector<std::string> ReportLog::Messages() { return HookedMessages(); }

int32_t ReportLog::Count(uint32_t type) {
  std::lock_guard<std::mutex> hold(lock_);
  int32_t n = 0;
  for (const auto& r : reports_) n += r.type == type ? 1 : 0;
  return n;
}

int32_t ReportLog::CountMessages(const std::string& text, const std::string& thread) {
  std::lock_guard<std::mutex> hold(g_messageLock);
  int32_t n = 0;
  for (size_t i = 0; i < g_messages.size(); ++i)
    n += g_messages[i] == text && (thread.empty() || g_messageThreads[i] == thread) ? 1 : 0;
  return n;
}

std::vector<std::string> ReportLog::MessagesOn(const std::string& thread) {
  std::lock_guard<std::mutex> hold(g_messageLock);
  std::vector<std::string> on;
  for (size_t i = 0; i < g_messages.size(); ++i)
    if (g_messageThreads[i] == thread) on.push_back(g_messages[i]);
  return on;
}

bool ReportLog::WaitForCount(uint32_t type, int32_t n, double timeout) {
  return WaitFor(
      [&](const std::vector<Received>& all) {
        int32_t k = 0;
        for (const auto& r : all) k += r.type == type ? 1 : 0;
        return k >= n;
      },
      timeout);
}

bool ReportLog::WaitForMessage(const std::string& text, double timeout) {
  return WaitUntil([&] { return CountMessages(text) > 0; }, timeout);
}

void TestBackend::GetSourcei(ALuint source, ALenum param, ALint* value) {
  if (double jump = g_clockJump.exchange(0.0); jump != 0.0) g_clockOffset.store(g_clockOffset.load() + jump);
  if (param == AL_SOURCE_STATE && hide_.load() && source != 0 && playing_.load() == source &&
      !DeviceLost()) {
    // Only the driver stops a source the thread has playing: it ran dry.
    // Played again, it replays what it still holds queued and the thread goes
    // on filling; a forced underrun still reads as one below.
    ALint real = 0;
    QUARLE_AUDIO::AudioBackend::GetSourcei(source, AL_SOURCE_STATE, &real);
    if (real == AL_STOPPED) QUARLE_AUDIO::AudioBackend::SourcePlay(source);
  }
  FaultInjectingBackend::GetSourcei(source, param, value);
}

void TestBackend::SourcePlay(ALuint source) {
  if (int32_t n = failPlays_.load(); n > 0 && failPlays_.compare_exchange_strong(n, n - 1)) {
    error_.store(AL_INVALID_OPERATION);
    return;
  }
  FaultInjectingBackend::SourcePlay(source);
  playing_.store(source);
}

void TestBackend::SourceStop(ALuint source) {
  ALuint was = source;
  playing_.compare_exchange_strong(was, 0);
  FaultInjectingBackend::SourceStop(source);
}

ALenum TestBackend::GetError() {
  const ALenum failed = error_.exchange(AL_NO_ERROR);
  const ALenum real = FaultInjectingBackend::GetError();
  return failed != AL_NO_ERROR ? failed : real;
}

TestBackend& InstallFaults() {
  static TestBackend* faults = new TestBackend;
  QUARLE_AUDIO::SetAudioBackend(faults);
  return *faults;
}

void PostAudio(uint32_t type, float single1, uint64_t word2, uint32_t arg2) {
  QUARLE_BASICS::CommandMessage msg{};
  msg.type = type;
  msg.single1 = single1;
  msg.word2 = word2;
  msg.arg2 = arg2;
  QUARLE_BASICS::PostCommand(msg, QUARLE_AUDIO::AudioCommandQueue, -1);
}

void UseFastClock(double factor) {
  g_clockBase.store(platform::HighResClock());
  g_clockFactor.store(factor);
  g_clockOffset.store(0.0);
  g_clockJump.store(0.0);
  QUARLE_AUDIO::SetAudioClock(&FastClock);
}

void AdvanceClock(double seconds) { g_clockJump.store(g_clockJump.load() + seconds); }

void UseRealClock() { QUARLE_AUDIO::SetAudioClock(nullptr); }

namespace {
uint32_t U32(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 |
         static_cast<uint32_t>(d[at + 2]) << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
}
uint16_t U16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}
}  // namespace

bool ReadWav(const std::string& path, WavContent& out) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (d.size() < 12 || std::memcmp(d.data(), "RIFF", 4) != 0 ||
      std::memcmp(d.data() + 8, "WAVE", 4) != 0) {
    return false;
  }
  uint16_t tag = 0;
  size_t at = 12;
  while (at + 8 <= d.size()) {
    std::string id(reinterpret_cast<const char*>(d.data() + at), 4);
    size_t size = U32(d, at + 4);
    size_t body = at + 8;
    if (id == "fmt " && body + 16 <= d.size()) {
      tag = U16(d, body);
      out.channels = U16(d, body + 2);
      out.rate = static_cast<int32_t>(U32(d, body + 4));
      out.bits = U16(d, body + 14);
      if (tag == 0xFFFE && size >= 26) tag = U16(d, body + 24);  // extensible: sub-format
    } else if (id == "data") {
      size_t end = size == 0 || body + size > d.size() ? d.size() : body + size;
      if (tag == 3 && out.bits == 32) {
        for (size_t p = body; p + 4 <= end; p += 4) {
          float f;
          std::memcpy(&f, d.data() + p, 4);
          out.samples.push_back(f);
        }
      } else if (tag == 1 && out.bits == 16) {
        for (size_t p = body; p + 2 <= end; p += 2) {
          out.samples.push_back(static_cast<int16_t>(U16(d, p)) / 32768.0f);
        }
      } else {
        return false;
      }
      return true;
    }
    at = body + size + (size & 1);
  }
  return false;
}

StreamRuns SplitStream(const std::vector<Received>& reports) {
  StreamRuns runs;
  for (const Received& r : reports) {
    if (r.type != QUARLE_AUDIO::kAudioStreamBuffer) continue;
    const auto length = static_cast<int32_t>(r.single1);
    if (runs.lengths.empty() || runs.lengths.back() != length) {
      runs.lengths.push_back(length);
      runs.buffers.push_back(0);
      runs.samples.emplace_back();
    }
    runs.buffers.back() += 1;
    runs.samples.back().insert(runs.samples.back().end(), r.block.begin(), r.block.end());
    runs.floats += length;
  }
  return runs;
}

namespace {

// Rising crossings of one contiguous piece: their count and the frames from
// the first to the last.
struct Crossings {
  int64_t count = 0;
  int64_t span = 0;
};

Crossings CountCrossings(const float* interleaved, size_t frames, int32_t channel) {
  int64_t first = -1;
  int64_t last = -1;
  Crossings c;
  for (size_t i = 1; i < frames; ++i) {
    const float a = interleaved[2 * (i - 1) + channel];
    const float b = interleaved[2 * i + channel];
    if (a < 0.0f && b >= 0.0f) {
      if (first < 0) first = static_cast<int64_t>(i);
      last = static_cast<int64_t>(i);
      ++c.count;
    }
  }
  c.span = c.count >= 2 ? last - first : 0;
  return c;
}

double Pooled(const std::vector<Crossings>& pieces, int32_t rate) {
  int64_t periods = 0;
  int64_t span = 0;
  for (const Crossings& c : pieces) {
    if (c.count < 2) continue;
    periods += c.count - 1;
    span += c.span;
  }
  return span > 0 ? static_cast<double>(periods) * rate / static_cast<double>(span) : 0.0;
}

// Sound holds an exact zero at most now and then: eight in a row are silence.
constexpr size_t kSilentRun = 8;

// The runs of sound of a channel, as [first, end) frames.
std::vector<std::pair<size_t, size_t>> SoundRuns(const std::vector<float>& interleaved, int32_t channel) {
  const size_t frames = interleaved.size() / 2;
  std::vector<std::pair<size_t, size_t>> runs;
  size_t start = 0;
  size_t zeros = 0;
  for (size_t i = 0; i < frames; ++i) {
    if (interleaved[2 * i + channel] != 0.0f) {
      if (zeros >= kSilentRun) start = i;
      zeros = 0;
      continue;
    }
    if (++zeros == kSilentRun) {
      const size_t end = i + 1 - kSilentRun;
      if (end > start) runs.emplace_back(start, end);
    }
  }
  if (zeros < kSilentRun && frames > start) runs.emplace_back(start, frames);
  return runs;
}

}  // namespace

int64_t SoundingFrames(const std::vector<float>& interleaved, int32_t channel) {
  int64_t sounding = 0;
  for (const auto& [first, end] : SoundRuns(interleaved, channel)) sounding += static_cast<int64_t>(end - first);
  return sounding;
}

double ZeroCrossingFrequency(const std::vector<float>& interleaved, int32_t channel,
                             int32_t rate) {
  std::vector<Crossings> pieces;
  for (const auto& [first, end] : SoundRuns(interleaved, channel))
    pieces.push_back(CountCrossings(interleaved.data() + 2 * first, end - first, channel));
  return Pooled(pieces, rate);
}

int64_t SineBreaks(const std::vector<float>& interleaved, int32_t channel, double hz, int32_t rate) {
  constexpr size_t kEdge = 64;
  constexpr double kTolerance = 1e-4;
  const double c = 2.0 * std::cos(6.283185307179586 * hz / rate);
  int64_t breaks = 0;
  for (const auto& [first, end] : SoundRuns(interleaved, channel)) {
    for (size_t i = first + kEdge + 2; i + kEdge < end; ++i) {
      const double x = interleaved[2 * i + channel];
      const double predicted = c * interleaved[2 * (i - 1) + channel] - interleaved[2 * (i - 2) + channel];
      breaks += std::fabs(x - predicted) > kTolerance ? 1 : 0;
    }
  }
  return breaks;
}

double ZeroCrossingFrequency(const std::vector<std::vector<float>>& pieces, int32_t channel,
                             int32_t rate) {
  std::vector<Crossings> counted;
  for (const auto& p : pieces) counted.push_back(CountCrossings(p.data(), p.size() / 2, channel));
  return Pooled(counted, rate);
}

}  // namespace audiotest
