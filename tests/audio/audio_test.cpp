// The audio library's set-up and its device layer against OpenAL Soft's wave
// driver (and its ALSA driver for capture), each test in a fresh process.
#include "audio/audio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "audio/backend.h"
#include "audio/meters.h"
#include "audio/openal_env.h"
#include "basics/queues.h"
#include "platform/threads.h"

namespace QA = QUARLE_AUDIO;
namespace QB = QUARLE_BASICS;
using audiotest::ConfigureOpenAl;
using audiotest::HookedMessages;

namespace {

const char kWaveDevice[] = "Wave File Writer";

void SilentRender(float** buffer, int32_t start, int32_t count) {
  for (int32_t i = 0; i < count; ++i) (*buffer)[start + i] = 0.0f;
}
void SilentCapture(float**, int32_t, int64_t* resync) { *resync = 0; }

std::vector<QB::CommandMessage> FetchAudioQueue() {
  static QB::ArrayHeader header;
  static QB::CommandMessage* buffer = nullptr;
  if (!header.lock) QB::ArrayHeaderInit(header);
  std::vector<QB::CommandMessage> out;
  if (QB::FetchCommands(buffer, header, QA::AudioCommandQueue) == 0) {
    out.assign(buffer, buffer + header.count);
  }
  return out;
}

int32_t CountMessage(const std::string& text) {
  int32_t n = 0;
  for (const auto& m : HookedMessages()) n += m == text ? 1 : 0;
  return n;
}

struct Playback {
  ALCdevice* device = nullptr;
  ALCcontext* context = nullptr;
  ALuint source = 0;
  ALuint buffers[3] = {0, 0, 0};
  int64_t freeFlags[3] = {-1, -1, -1};
  int64_t playing = 0;
  void Open() { QA::OpenPlaybackDevice(&device, &context, &source, buffers, freeFlags, &playing); }
  void Close() { QA::ClosePlaybackDevice(&device, &context, &source, buffers, freeFlags, &playing); }
};

// Runs a test's body in a fresh process against the wave driver (with
// `input` behind the capture device), the foundation set up and the audio
// library closed after it.
void WithOpenAl(const std::vector<float>& input, const std::function<void()>& body) {
  audiotest::InFreshProcess([&] {
    auto setup = ConfigureOpenAl(input);
    audiotest::SetUpFoundation();
    body();
    QA::CloseAudio();
    audiotest::RemoveTree(setup.dir);
  });
}
void WithOpenAl(const std::function<void()>& body) { WithOpenAl({}, body); }

}  // namespace

TEST(AudioInit, FirstInitSetsEverythingAndASecondChangesNothing) {
  WithOpenAl([] {
    ASSERT_EQ(QA::init(nullptr, nullptr, 0), 0);
    EXPECT_EQ(QA::AudioInitialised, -1);
    EXPECT_EQ(QA::StreamRate, 48000u);
    EXPECT_EQ(QA::CaptureFrames, 480);
    EXPECT_EQ(QA::RenderCallback, &QA::DefaultRenderCallback);
    EXPECT_EQ(QA::AudioCommandQueue, 1);
    // The wave driver has one playback device and no capture device.
    EXPECT_EQ(QA::PlaybackDeviceCount, 2);
    EXPECT_EQ(QB::DynZStringGet(QA::PlaybackDeviceList[0]), "[No Device]");
    EXPECT_EQ(QB::DynZStringGet(QA::PlaybackDeviceList[1]), kWaveDevice);
    EXPECT_EQ(QA::CaptureDeviceCount, 1);

    EXPECT_EQ(QA::init(&SilentRender, &SilentCapture, 96), -1);
    EXPECT_EQ(QA::RenderCallback, &QA::DefaultRenderCallback);

    // After shutdown the library can be set up again, on the same queue.
    QA::CloseAudio();
    EXPECT_EQ(QA::MT_AUDIO, nullptr);
    EXPECT_EQ(QA::AudioFetchBuffer, nullptr);
    ASSERT_EQ(QA::init(&SilentRender, &SilentCapture, 96), 0);
    EXPECT_EQ(QA::RenderCallback, &SilentRender);
    EXPECT_EQ(QA::CaptureFrames, 960);
    EXPECT_EQ(QA::AudioCommandQueue, 1);
  });
}

TEST(AudioInit, LockFailureAndOversizedBlocks) {
  WithOpenAl([] {
    platform::FailNextMutexCreations(1);
    EXPECT_EQ(QA::init(&SilentRender, nullptr, 50), -26);
    EXPECT_EQ(QA::AudioInitialised, 0);
    EXPECT_EQ(QA::SamplesPerMs, 50);  // set before the lock was asked for
    EXPECT_EQ(QA::RenderCallback, &SilentRender);
    // A block size no stream rate reaches would only overflow the ring size.
    ASSERT_EQ(QA::init(nullptr, nullptr, 2000000000), 0);
    EXPECT_EQ(QA::SamplesPerMs, 384);
    EXPECT_EQ(QA::CaptureFrames, 3840);
  });
}

TEST(AudioDevices, SelectedNamesAreFoundAgainOrForgotten) {
  WithOpenAl([] {
    QB::DynZStringAssign(QA::PlaybackSelectedName, kWaveDevice);
    QB::DynZStringAssign(QA::CaptureSelectedName, "Some Microphone");
    ASSERT_EQ(QA::init(nullptr, nullptr, 48), 0);
    EXPECT_EQ(QA::PlaybackSelected, 1);
    EXPECT_EQ(QA::CaptureSelected, 0);
    EXPECT_EQ(QB::DynZStringGet(QA::CaptureSelectedName), "[No Device]");
    // Nothing was open, so nothing is reported as lost.
    EXPECT_EQ(CountMessage("Current capture device is disconnected."), 0);
    QA::DeviceListChanged = 0;
    EXPECT_EQ(QA::RefreshPlaybackDevices(nullptr), 0);
    EXPECT_EQ(QA::RefreshCaptureDevices(nullptr), 0);
    EXPECT_EQ(QA::DeviceListChanged, 0);
  });
}

TEST(AudioDevices, AutomaticChoice) {
  WithOpenAl([] {
    ASSERT_EQ(QA::init(nullptr, nullptr, 48), 0);
    ASSERT_EQ(QA::PlaybackSelected, 0);

    QA::AutoConnect = 0;
    EXPECT_EQ(QA::SelectDefaultPlaybackDevice(), 0);
    EXPECT_EQ(QA::PlaybackSelected, 0);
    EXPECT_TRUE(FetchAudioQueue().empty());

    QA::AutoConnect = -1;
    QA::UseDefaultDevice = 0;
    QA::DeviceListChanged = 0;
    QA::SelectDefaultPlaybackDevice();
    EXPECT_EQ(QA::PlaybackSelected, 1);
    EXPECT_EQ(QB::DynZStringGet(QA::PlaybackSelectedName), kWaveDevice);
    EXPECT_EQ(QA::DeviceListChanged, -1);
    auto posted = FetchAudioQueue();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].type, 210u);
    EXPECT_FLOAT_EQ(posted[0].single1, 1.0f);
    EXPECT_GT(posted[0].timeStamp, 0.0);

    // Already chosen: nothing more.
    QA::SelectDefaultPlaybackDevice();
    EXPECT_TRUE(FetchAudioQueue().empty());

    // Through the driver's default name.
    QA::PlaybackSelected = 0;
    QA::UseDefaultDevice = -1;
    QA::SelectDefaultPlaybackDevice();
    EXPECT_EQ(QA::PlaybackSelected, 1);
    EXPECT_EQ(FetchAudioQueue().size(), 1u);

    // No capture device at all: nothing is chosen and nothing posted.
    QA::SelectDefaultCaptureDevice();
    EXPECT_EQ(QA::CaptureSelected, 0);
    EXPECT_TRUE(FetchAudioQueue().empty());
  });
}

TEST(AudioDevices, PlaybackOpenStartStopUnqueueClose) {
  WithOpenAl([] {
    audiotest::ReportLog log;
    ASSERT_EQ(QA::init(nullptr, nullptr, 48), 0);
    log.Start();
    Playback p;

    // Nothing selected: only closes.
    p.Open();
    EXPECT_EQ(p.device, nullptr);
    EXPECT_EQ(CountMessage("Playback device is closed."), 1);

    // A selection beyond the list is none.
    QA::PlaybackSelected = 7;
    p.Open();
    EXPECT_EQ(QA::PlaybackSelected, 0);
    EXPECT_EQ(CountMessage("Playback device is closed."), 2);

    // A name the driver does not know cannot be opened.
    QB::DynZStringAssign(QA::PlaybackDeviceList[1], "No Such Device");
    QA::PlaybackSelected = 1;
    p.Open();
    EXPECT_EQ(p.device, nullptr);
    EXPECT_EQ(QA::PlaybackSelected, 0);
    EXPECT_EQ(QB::DynZStringGet(QA::PlaybackSelectedName), "[No Device]");
    EXPECT_EQ(CountMessage("The playback device could not be opened."), 1);

    QA::RefreshPlaybackDevices(nullptr);
    QA::PlaybackSelected = 1;
    QA::OutputGain = 0.25f;
    p.Open();
    ASSERT_NE(p.device, nullptr);
    EXPECT_EQ(QA::PlaybackOpen, -1);
    EXPECT_NE(p.source, 0u);
    EXPECT_EQ(CountMessage(std::string(kWaveDevice) + " is now opened for audio streaming."), 1);
    ALfloat gain = 0.0f;
    alGetSourcef(p.source, AL_GAIN, &gain);
    EXPECT_FLOAT_EQ(gain, 0.25f);
    // Still connected: the refresh reports nothing.
    EXPECT_EQ(QA::RefreshPlaybackDevices(p.device), 0);

    // 20 ms of silence on buffer 0.
    std::vector<float> silence(1920, 0.0f);
    alBufferData(p.buffers[0], QA::kFormatStereoFloat32, silence.data(), 1920 * 4, 48000);
    alSourceQueueBuffers(p.source, 1, &p.buffers[0]);
    p.freeFlags[0] = 0;
    EXPECT_EQ(QA::UnqueueProcessedBuffer(p.source, p.buffers, p.freeFlags), 1);
    double t = QA::StartPlayback(p.source, &p.playing);
    EXPECT_GT(t, 0.0);
    EXPECT_EQ(p.playing, -1);
    // Already playing: no second start, no report.
    EXPECT_EQ(QA::StartPlayback(p.source, &p.playing), 0.0);
    // Played out (the driver mixes in real time: a busy machine takes its
    // time): buffer 0 comes back; the lowest free index is 0.
    ASSERT_TRUE(audiotest::WaitUntil([&] {
      ALint processed = 0;
      alGetSourcei(p.source, AL_BUFFERS_PROCESSED, &processed);
      return processed >= 1;
    }));
    p.freeFlags[1] = p.freeFlags[2] = 0;
    EXPECT_EQ(QA::UnqueueProcessedBuffer(p.source, p.buffers, p.freeFlags), 0);
    p.freeFlags[1] = p.freeFlags[2] = -1;
    QA::StopPlayback(p.source, &p.playing);
    EXPECT_EQ(p.playing, 0);

    p.Close();
    EXPECT_EQ(p.device, nullptr);
    EXPECT_EQ(p.source, 0u);
    EXPECT_EQ(QA::PlaybackOpen, 0);
    EXPECT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, 1, 2.0));
    log.Stop();
    EXPECT_EQ(log.Count(QA::kAudioPlaybackOn), 1);
    for (const auto& r : log.Reports()) {
      if (r.type == QA::kAudioPlaybackOn) {
        EXPECT_DOUBLE_EQ(r.timeStamp, t);
      }
    }
  });
}

TEST(AudioDevices, LostPlaybackDeviceIsReportedOnce) {
  WithOpenAl([] {
    auto& fake = audiotest::InstallFaults();
    QB::DynZStringAssign(QA::PlaybackSelectedName, kWaveDevice);
    ASSERT_EQ(QA::init(nullptr, nullptr, 48), 0);
    Playback p;
    p.Open();
    ASSERT_EQ(QA::PlaybackOpen, -1);
    fake.LoseDevice(kWaveDevice);
    QA::DeviceListChanged = 0;
    EXPECT_EQ(QA::RefreshPlaybackDevices(p.device), -1);
    EXPECT_EQ(QA::PlaybackOpen, 0);
    EXPECT_EQ(QA::PlaybackSelected, 0);
    EXPECT_EQ(QA::PlaybackDeviceCount, 1);
    EXPECT_EQ(QB::DynZStringGet(QA::PlaybackSelectedName), "[No Device]");
    EXPECT_EQ(QA::DeviceListChanged, -1);
    EXPECT_EQ(CountMessage("Current playback device is disconnected."), 1);
    // The next refresh finds "[No Device]" at index 0: no change.
    EXPECT_EQ(QA::RefreshPlaybackDevices(p.device), 0);
    EXPECT_EQ(CountMessage("Current playback device is disconnected."), 1);
    fake.RestoreDevice();
    p.Close();
    QA::SetAudioBackend(nullptr);
  });
}

TEST(AudioDevices, CaptureOpenAndClose) {
  WithOpenAl(std::vector<float>(9600, 0.125f), [] {
    ASSERT_EQ(QA::init(nullptr, nullptr, 48), 0);
    ASSERT_EQ(QA::CaptureDeviceCount, 2);
    EXPECT_EQ(QB::DynZStringGet(QA::CaptureDeviceList[1]), "ALSA Default");
    ALCdevice* dev = nullptr;
    int64_t capturing = 0;

    QA::OpenCaptureDevice(&dev, &capturing);
    EXPECT_EQ(CountMessage("Capture device is closed."), 1);

    // Without the float format nothing is opened.
    QA::CaptureSelected = 1;
    QA::FloatFormatAvailable = 0;
    QA::OpenCaptureDevice(&dev, &capturing);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(QA::CaptureSelected, 0);
    EXPECT_EQ(QB::DynZStringGet(QA::CaptureSelectedName), "[No Device]");
    EXPECT_EQ(CountMessage("No device could be opened for capture."), 1);

    QA::CaptureSelected = 1;
    QA::FloatFormatAvailable = -1;
    QA::OpenCaptureDevice(&dev, &capturing);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(QA::CaptureOpen, -1);
    EXPECT_EQ(QB::DynZStringGet(QA::CaptureSelectedName), "ALSA Default");
    EXPECT_EQ(CountMessage("ALSA Default is now opened for audio capture."), 1);
    // Released by the capture close (a playback close would refuse it).
    QA::CloseCaptureDevice(&dev, &capturing);
    EXPECT_EQ(dev, nullptr);
    EXPECT_EQ(QA::CaptureOpen, 0);
    // Starting and stopping a capture runs end to end in the thread's tests.
  });
}

// The measures the streaming tests take of a driver's output: a silent gap
// (an underrun's) and the phase jump across it neither detune the sound nor
// count as sound or as a break; a stretch dropped or repeated within sound
// is a break.
TEST(StreamMeasures, GapsAreLeftOutAndBreaksWithinSoundAreFound) {
  // 440 Hz at 48000 Hz, left only; `cut` frames of the sine dropped at `at`,
  // with `gap` frames of silence in their place.
  const auto sine = [](size_t frames, size_t at, size_t cut, size_t gap) {
    std::vector<float> out;
    for (size_t n = 1, k = 1; k <= frames; ++k) {
      if (k == at) {
        out.insert(out.end(), 2 * gap, 0.0f);
        n += cut;
      }
      out.push_back(static_cast<float>(0.25 * std::sin(6.283185307179586 * 440.0 * static_cast<double>(n++) / 48000.0)));
      out.push_back(0.0f);
    }
    return out;
  };
  struct Case {
    const char* name;
    size_t cut, gap;
    int64_t sounding;  // of 48000 frames
    bool broken;
  };
  const Case cases[] = {
      {"whole", 0, 0, 48000, false},
      {"an underrun: 700 frames lost, a silent buffer instead", 700, 528, 48000, false},
      {"40 frames dropped within sound", 40, 0, 48000, true},
      {"a silence too short to be a gap", 3, 4, 48004, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> s = sine(48000, 20000, c.cut, c.gap);
    EXPECT_NEAR(audiotest::ZeroCrossingFrequency(s, 0, 48000), 440.0, c.broken ? 1.0 : 0.1);
    EXPECT_EQ(audiotest::SoundingFrames(s, 0), c.sounding);
    EXPECT_EQ(audiotest::SineBreaks(s, 0, 440.0, 48000) > 0, c.broken);
  }
  // Pieces known to be contiguous are pooled as they are.
  const std::vector<float> a = sine(9000, 0, 0, 0), b = sine(7000, 0, 0, 0);
  EXPECT_NEAR(audiotest::ZeroCrossingFrequency(std::vector<std::vector<float>>{a, b}, 0, 48000), 440.0, 0.1);
  EXPECT_EQ(audiotest::ZeroCrossingFrequency(std::vector<float>(2000, 0.0f), 0, 48000), 0.0);
}
