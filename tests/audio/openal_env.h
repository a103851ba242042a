// Test helpers for the streaming side of the audio library: OpenAL Soft set up
// by a configuration file of our own (its "wave" driver writes the mixed output
// to a WAV file in real time; its ALSA driver captures from an ALSA "file" PCM
// that plays a raw float file), a fresh process per configuration, a log of
// what reaches queue 0 and the message hook, and a clock that runs fast.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/backend.h"

namespace audiotest {

struct OpenAlSetup {
  std::string dir;       // fresh temporary folder, also HOME
  std::string waveFile;  // where the wave driver writes the output
  std::string rawInput;  // interleaved stereo f32 the ALSA capture reads ("" when none)
};

// Makes a temporary folder and points OpenAL Soft (ALSOFT_CONF) and ALSA (HOME
// with an .asoundrc) at it. Must run before the process's first OpenAL call.
// With captureInput non-empty, those frames become the default ALSA capture
// device's input; playback always goes to the wave driver, into waveFile when
// one is given.
OpenAlSetup ConfigureOpenAl(const std::vector<float>& captureInput = {},
                            const std::string& waveFile = "");
void RemoveTree(const std::string& dir);

// OpenAL Soft reads its configuration once per process: each configured test
// runs its body in a fresh process of this program (gtest's re-executing death
// test style). The body's assertion messages reach the parent's report. The
// fresh process ran the fixture's set-up too, but never reaches its tear-down:
// childFolder names what that set-up made there, removed before it ends.
void InFreshProcess(const std::function<void()>& body, const std::string& childFolder = "");

// Creates queue 0 (main), installs the message hook and initialises the audio
// library with the given callbacks (which creates the audio queue).
void SetUpFoundation();

// What reached queue 0 and the message hook. A drain thread frees the heap
// blocks of the reports and keeps what the tests look at.
struct Received {
  uint32_t type;
  float single1;
  uint32_t arg1;
  uint32_t arg4;
  double timeStamp;
  std::vector<float> block;  // copy of report 208's buffer
  uint32_t arg2 = 0, arg3 = 0;
};

class ReportLog {
 public:
  ~ReportLog();
  // Only once every queue exists: creating a queue replaces the queue table.
  void Start();
  void Stop();
  std::vector<Received> Reports();
  std::vector<std::string> Messages();
  std::vector<std::string> MessagesOn(const std::string& thread);  // those it wrote
  int32_t Count(uint32_t type);
  // Lines of this text (written by that thread, when one is named).
  int32_t CountMessages(const std::string& text, const std::string& thread = "");
  // Waits until pred holds over the reports; the timeout (seconds) only
  // bounds a hang, see WaitUntil.
  template <class Pred>
  bool WaitFor(Pred pred, double timeout);
  // Waits for the n-th report of a type (counted from the start).
  bool WaitForCount(uint32_t type, int32_t n, double timeout);
  bool WaitForMessage(const std::string& text, double timeout);
  void KeepBlocks(bool keep) { keepBlocks_ = keep; }

 private:
  void Drain();
  std::thread thread_;
  std::mutex lock_;
  std::vector<Received> reports_;
  bool stop_ = false;
  bool keepBlocks_ = false;
};

std::vector<std::string> HookedMessages();

// Waits on real time are bounds, not goals: under the sanitizers they are
// stretched (ThreadSanitizer checks every byte OpenAL Soft copies, which makes
// a capture stop, a 1.6 GB copy on the test device, take tens of seconds).
#if defined(__SANITIZE_THREAD__)
constexpr double kSanitizerSlowdown = 12.0;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kSanitizerSlowdown = 3.0;
#else
constexpr double kSanitizerSlowdown = 1.0;
#endif

// A wait on real time only catches a hang: a busy machine (or CI's own load)
// may take many times as long as an idle one, so no wait ends before this.
constexpr double kHangBound = 30.0;

// Polls until done holds; false only when it still does not after
// max(timeout stretched by the sanitizer, kHangBound) seconds.
template <class Done>
bool WaitUntil(Done done, double timeout = 0.0) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration<double>(std::max(timeout * kSanitizerSlowdown, kHangBound));
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

template <class Pred>
bool ReportLog::WaitFor(Pred pred, double timeout) {
  return WaitUntil([&] { return pred(Reports()); }, timeout);
}

// The fault injector of tests: besides the faults, it can hide the underruns
// a busy machine causes (a source the driver stopped for want of buffers while
// the thread had it playing is started again and reads as playing), so that
// the only underruns are the forced ones, and it moves the test clock where no
// render is being timed (see AdvanceClock).
class TestBackend : public QUARLE_AUDIO::FaultInjectingBackend {
 public:
  void HideNaturalUnderruns(bool hide) { hide_.store(hide); }
  // The next n plays start nothing and leave an error, as a driver that
  // cannot restart its stream does.
  void FailPlays(int32_t n) { failPlays_.store(n); }
  void GetSourcei(ALuint source, ALenum param, ALint* value) override;
  void SourcePlay(ALuint source) override;
  void SourceStop(ALuint source) override;
  ALenum GetError() override;

 private:
  std::atomic<int32_t> failPlays_{0};
  std::atomic<ALenum> error_{AL_NO_ERROR};  // the failed play's, for the next GetError
  std::atomic<bool> hide_{false};
  std::atomic<ALuint> playing_{0};  // the source last played and not stopped since
};

// The fault injector of this process, installed as the backend. Never
// destroyed: a failed assertion may leave the audio thread running.
TestBackend& InstallFaults();

// Posts a command to the audio thread.
void PostAudio(uint32_t type, float single1 = 0.0f, uint64_t word2 = 0, uint32_t arg2 = 0);

// A clock for the thread's timing rules that runs factor times faster than
// the real one (from the moment it is installed); below 1, slower.
void UseFastClock(double factor);
// Moves that clock forward by this many seconds at the audio thread's next
// source query through InstallFaults' backend: never while a render is being
// timed, which would read as an overload.
void AdvanceClock(double seconds);
void UseRealClock();

// The stream buffers of report 208 in order, in runs of one length. After an
// underrun (a busy machine's) the stream starts again 1 ms longer and without
// what it had rendered into the buffer being filled, so each run was rendered
// back to back. The samples are there when the log keeps its blocks.
struct StreamRuns {
  std::vector<int32_t> lengths;             // floats a buffer, per run
  std::vector<int32_t> buffers;             // buffers, per run
  std::vector<std::vector<float>> samples;  // per run
  int64_t floats = 0;                       // in all buffers
  int32_t Restarts() const { return lengths.empty() ? 0 : static_cast<int32_t>(lengths.size()) - 1; }
  int32_t Longest() const { return lengths.empty() ? 0 : lengths.back(); }
};
StreamRuns SplitStream(const std::vector<Received>& reports);

// Reads a WAV file as the wave driver writes it (WAVE_FORMAT_EXTENSIBLE or
// plain, 32-bit float or 16-bit PCM) into interleaved floats.
struct WavContent {
  int32_t channels = 0;
  int32_t rate = 0;
  int32_t bits = 0;
  std::vector<float> samples;
};
bool ReadWav(const std::string& path, WavContent& out);

// Frequency of a channel estimated from its rising zero crossings, counted
// within runs of sound only: a stretch of silence (the gap of an underrun and
// the silent buffer its restart queues) and the jump of phase across it are
// left out, so what a busy machine inserts does not count as sound.
double ZeroCrossingFrequency(const std::vector<float>& interleaved, int32_t channel,
                             int32_t rate);
// Frames within the runs of sound of a channel where it stops being one sine
// of this frequency: sound dropped, repeated or put out of order. A sampled
// sine keeps x[n] = 2 cos(w) x[n-1] - x[n-2]; a few frames at the ends of a
// run are left out (a driver may fade a source that stops or starts).
int64_t SineBreaks(const std::vector<float>& interleaved, int32_t channel, double hz, int32_t rate);
// Frames of a channel that hold sound: all but the runs of silence above.
int64_t SoundingFrames(const std::vector<float>& interleaved, int32_t channel);
// The same over pieces known to be contiguous each (say, the stream buffers
// rendered between two restarts), pooled.
double ZeroCrossingFrequency(const std::vector<std::vector<float>>& pieces, int32_t channel,
                             int32_t rate);

}  // namespace audiotest
