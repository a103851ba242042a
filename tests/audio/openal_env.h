// Test helpers for the streaming side of the audio library: OpenAL Soft set up
// by a configuration file of our own (its "wave" driver writes the mixed output
// to a WAV file in real time; its ALSA driver captures from an ALSA "file" PCM
// that plays a raw float file), a fresh process per configuration, a log of
// what reaches queue 0 and the message hook, and a clock that runs fast.
#pragma once
#include <gtest/gtest.h>

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
// test style). The body's assertion messages reach the parent's report.
void InFreshProcess(const std::function<void()>& body);

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
};

class ReportLog {
 public:
  ~ReportLog();
  // Only once every queue exists: creating a queue replaces the queue table.
  void Start();
  void Stop();
  std::vector<Received> Reports();
  std::vector<std::string> Messages();
  int32_t Count(uint32_t type);
  int32_t CountMessages(const std::string& text);
  // Waits up to timeout seconds until pred holds over the reports.
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

template <class Pred>
bool ReportLog::WaitFor(Pred pred, double timeout) {
  timeout *= kSanitizerSlowdown;
  for (double waited = 0.0; waited < timeout; waited += 0.005) {
    if (pred(Reports())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred(Reports());
}

// The fault injector of this process, installed as the backend. Never
// destroyed: a failed assertion may leave the audio thread running.
QUARLE_AUDIO::FaultInjectingBackend& InstallFaults();

// Posts a command to the audio thread.
void PostAudio(uint32_t type, float single1 = 0.0f, uint64_t word2 = 0);

// A clock for the thread's timing rules that runs factor times faster than
// the real one (from the moment it is installed).
void UseFastClock(double factor);
void UseRealClock();

// Reads a WAV file as the wave driver writes it (WAVE_FORMAT_EXTENSIBLE or
// plain, 32-bit float or 16-bit PCM) into interleaved floats.
struct WavContent {
  int32_t channels = 0;
  int32_t rate = 0;
  int32_t bits = 0;
  std::vector<float> samples;
};
bool ReadWav(const std::string& path, WavContent& out);

// Frequency of a channel estimated from its rising zero crossings.
double ZeroCrossingFrequency(const std::vector<float>& interleaved, int32_t channel,
                             int32_t rate);

}  // namespace audiotest
