// A synth built from the catalog, played through the real audio thread into
// OpenAL Soft's wave driver: what reaches the device is the engine's sound, in
// tune, at its level, for as long as it played, with no underrun.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    audiotest::PostAudio(QA::kAudioPlaybackOff);
    ASSERT_TRUE(log.WaitForCount(QA::kAudioPlaybackOff, 1, 2.0));
    audiotest::PostAudio(QA::kAudioQuit);
    QA::WaitAudioThread(handle);
    log.Stop();

    // The buffer never had to grow: no underrun in three seconds. Not under
    // ThreadSanitizer: it makes the render callback several times slower, and
    // on a busy machine the stream then rightly grows its buffer (the sound
    // checks below still hold).
    int32_t buffers = 0;
    for (const auto& r : log.Reports()) {
      if (r.type != QA::kAudioStreamBuffer) continue;
      ++buffers;
      if (audiotest::kSanitizerSlowdown < 10.0) {
        EXPECT_EQ(static_cast<int32_t>(r.single1), 960);
      }
    }
    EXPECT_GT(buffers, 250);
    EXPECT_EQ(log.CountMessages("Playback: buffer overrun"), 0);

    audiotest::WavContent wav;
    ASSERT_TRUE(audiotest::ReadWav(setup.waveFile, wav));
    ASSERT_EQ(wav.channels, 2);
    size_t first = 0;
    while (first < wav.samples.size() / 2 && wav.samples[2 * first] == 0.0f) ++first;
    size_t last = wav.samples.size() / 2;
    while (last > first && wav.samples[2 * last - 2] == 0.0f) --last;
    ASSERT_GT(last, first + 2 * 48000);
    std::vector<float> heard(wav.samples.begin() + 2 * first, wav.samples.begin() + 2 * last);
    EXPECT_NEAR(static_cast<double>(heard.size() / 2), 3.0 * 48000, 0.15 * 48000);
    EXPECT_NEAR(audiotest::ZeroCrossingFrequency(heard, 0, 48000), 440.0, 1.0);
    EXPECT_NEAR(audiotest::ZeroCrossingFrequency(heard, 1, 48000), 440.0, 1.0);
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
