// A synth built from the catalog, played through the real audio thread into
// OpenAL Soft's wave driver: what reaches the device is the engine's sound, in
// tune, at its level, for as long as it played, with no underrun.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "audio/audio.h"
#include "audio/openal_env.h"
#include "audio/thread.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/oscillators.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"

namespace QA = QUARLE_AUDIO;
namespace QB = QUARLE_BASICS;

namespace {

Tarvelo::ModuleRecord* Add(int32_t type) {
  Tarvelo::ModuleRecord* m = nullptr;
  EXPECT_GE(Tarvelo::AddModule(type, true, &m), 0);
  return m;
}

TEST(SynthStream, KeyboardAndOscillatorPlayThroughTheWaveDriver) {
  audiotest::InFreshProcess([] {
    auto setup = audiotest::ConfigureOpenAl();
    audiotest::SetUpFoundation();
    for (platform::Mutex*& m : Tarvelo::MT_TUNINGS) m = platform::MutexCreate();
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);

    // A per-voice keyboard driving a sine oscillator of amplitude 0.5.
    Tarvelo::ModuleRecord* kb = Add(Tarvelo::kTypeKeyboard);
    kb->ModuleSwitches[Tarvelo::kSwitchPerVoice] = -1;
    kb->PolyphonyMode = 1;
    Tarvelo::ModuleRecord* osc = Add(Tarvelo::kTypeOscillator);
    osc->ModuleSwitches[Tarvelo::kSwitchPerVoice] = -1;
    osc->PolyphonyMode = 1;
    Tarvelo::SetOscillatorShape(*osc, 0);
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, Tarvelo::kOscFrequency, kb,
                                       &Tarvelo::ModuleCatalog[osc->Type]),
              Tarvelo::kLinkConnected);
    Tarvelo::ModuleSetParamValue(*osc, Tarvelo::kOscAmplitude,
                                 0.5f / osc->Params[Tarvelo::kOscAmplitude].Scale);
    Tarvelo::RequestGraphRebuild(0, 0, osc);
    ASSERT_GE(Tarvelo::KeyNoteOn(48, 1.0f, 1), 0);  // A4 in the default tuning

    audiotest::ReportLog log;
    QB::DynZStringAssign(QA::PlaybackSelectedName, "Wave File Writer");
    ASSERT_EQ(QA::init(&Tarvelo::RenderAudio, &Tarvelo::CaptureAudio, 48), 0);
    log.Start();
    std::thread* handle = nullptr;
    ASSERT_EQ(QA::StartAudioThread(handle, 48000, 10), 0);
    audiotest::PostAudio(QA::kAudioPlaybackOn);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOn, 1, 2.0));
    // Three seconds of sound rendered, however long a busy machine takes.
    constexpr int64_t kFloats = 2 * 3 * 48000;
    ASSERT_TRUE(audiotest::WaitUntil([&] { return audiotest::SplitStream(log.Reports()).floats >= kFloats; }));
    audiotest::PostAudio(QA::kAudioPlaybackOff);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, 1, 2.0));
    audiotest::PostAudio(QA::kAudioQuit);
    QA::WaitAudioThread(handle);
    log.Stop();

    // Buffers of 10 ms; each underrun (a busy machine's; the thread checker
    // makes the render several times slower) restarts the stream 1 ms longer.
    const audiotest::StreamRuns runs = audiotest::SplitStream(log.Reports());
    ASSERT_FALSE(runs.lengths.empty());
    for (size_t i = 0; i < runs.lengths.size(); ++i)
      EXPECT_EQ(runs.lengths[i], std::min<int32_t>(960 + 96 * static_cast<int32_t>(i), 3072));
    EXPECT_EQ(log.CountMessages("Playback: buffer overrun"), 0);

    audiotest::WavContent wav;
    ASSERT_TRUE(audiotest::ReadWav(setup.waveFile, wav));
    ASSERT_EQ(wav.channels, 2);
    ASSERT_EQ(wav.rate, 48000);
    size_t first = 0;
    while (first < wav.samples.size() / 2 && wav.samples[2 * first] == 0.0f) ++first;
    size_t last = wav.samples.size() / 2;
    while (last > first && wav.samples[2 * last - 2] == 0.0f) --last;
    std::vector<float> heard(wav.samples.begin() + 2 * first, wav.samples.begin() + 2 * last);
    // All that was rendered was heard, but for what was still queued or waiting
    // at the stop or at a restart (four buffers at most each).
    const int64_t rendered = runs.floats / 2;
    const int64_t sounding = audiotest::SoundingFrames(heard, 0);
    EXPECT_LE(sounding, rendered);
    EXPECT_GE(sounding, rendered - (4 * runs.Restarts() + 5) * runs.Longest() / 2);
    // In tune, and within each run of sound one unbroken sine: nothing
    // dropped, repeated or out of order between two restarts.
    for (int32_t channel : {0, 1}) {
      SCOPED_TRACE(channel);
      EXPECT_NEAR(audiotest::ZeroCrossingFrequency(heard, channel, 48000), 440.0, 1.0);
      EXPECT_EQ(audiotest::SineBreaks(heard, channel, 440.0, 48000), 0);
    }
    // The oscillator's 0.5 at the device's source gain of 0.5.
    float peak = 0.0f;
    for (float x : heard) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, 0.25f, 0.005f);

    QA::CloseAudio();
    Tarvelo::close();
    audiotest::RemoveTree(setup.dir);
  });
}

}  // namespace
