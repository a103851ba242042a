// A synth built from the catalog for the kernel and render tests: modules
// added to the live list and linked port to port, driven one kernel call at a
// time or through the real render callback, with the wave libraries, the
// tuning locks and the output meters in a known state.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/engine/engine_fixture.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/meters.h"
#include "basics/dynzstring.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/oscillators.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"

namespace Tarvelo {
namespace testing_synth {

// Module types without a name in the engine's own headers.
enum TestType : int32_t {
  kTypeHarmonic = 6,
  kTypeVoiceSelector = 7,
  kTypePitchBend = 8,
  kTypeLogicSwitch = 10,
  kTypeDifference = 11,
  kTypeProduct = 12,
  kTypeLevel = 13,
  kTypeJoinStereo = 19,
  kTypeMergeStereo = 20,
  kTypeBalance = 21,
  kTypeInverter = 24,
  kTypeMultiplexer = 25,
  kTypeVoiceMixer = 26,
  kTypeAddition = 33,
  kTypeGate = 34,
  kTypeDerivative = 36,
  kTypeAbsolute = 37,
  kTypeClipper = 38,
  kTypeRectifier = 41,
};

class SynthTest : public testing_engine::EngineTest {
 protected:
  void SetUp() override {
    for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
    FreeTuning(EngineTuning);
    InitTuning(EngineTuning);
    FreeTuning(ActiveTuning);
    InitTuning(ActiveTuning);
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    ASSERT_EQ(WaveLibraryListsCreate(), 0);
    PlaybackActive = 0;
    CaptureActive = 0;
    CaptureResync = 0;
    QUARLE_AUDIO::StreamLength = 960;
    OutputMeterCount = 0;
    OutputLevelSums[0] = OutputLevelSums[1] = QUARLE_AUDIO::LevelMeter{};
    SeedRandom(7);
    // The first frame takes the start-up rebuild out of the mailbox.
    Render(1);
  }
  void TearDown() override {
    CaptureActive = 0;
    Tarvelo::close();
    for (WaveLibraryEntry* e : entries_) WaveLibraryEntryDelete(e);
    WaveLibraryListsFree();
    FreeTuning(EngineTuning);
    InitTuning(EngineTuning);
    for (platform::Mutex*& m : MT_TUNINGS) {
      platform::MutexDestroy(m);
      m = nullptr;
    }
  }

  // A stored value (normalized for frequencies).
  static void Set(ModuleRecord* m, int32_t p, float value) { ModuleSetParamValue(*m, p, value); }

  // A single-voice source for the render path: an oscillator held at
  // frequency 0 publishes its bias.
  static ModuleRecord* Constant(float value) {
    ModuleRecord* osc = Add(kTypeOscillator);
    Set(osc, kOscFrequency, 0.0f);
    Set(osc, kOscBias, value);
    return osc;
  }

  // A sound entry of interleaved values, owned by the test (freed after the
  // engine closes).
  WaveLibraryEntry* Sound(const std::vector<float>& values, int32_t channels = 1, float pitch = 0.0f) {
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    e->Sound.format.channels = static_cast<int16_t>(channels);
    e->Sound.frameCount = static_cast<uint32_t>(values.size() / channels);
    e->Sound.dataSize = static_cast<uint32_t>(values.size() * 4);
    e->Sound.samples = static_cast<float*>(std::calloc(values.size() + 1, 4));
    std::copy(values.begin(), values.end(), e->Sound.samples);
    e->Pitch[0] = pitch;
    e->LoadState = kWaveDataHeld;
    entries_.push_back(e);
    return e;
  }

  // A melody library entry holding the given floats as its data, listed in
  // the melody library; the data size is the floats' size.
  static WaveLibraryEntry* Melody(const std::vector<float>& data) {
    EXPECT_EQ(WaveLibraryListReserve(MelodyLibrary), 0);
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    e->Sound.samples = static_cast<float*>(std::calloc(data.size() + 1, sizeof(float)));
    std::copy(data.begin(), data.end(), e->Sound.samples);
    e->Sound.dataSize = static_cast<uint32_t>(data.size() * 4);
    e->LoadState = kWaveDataHeld;
    WaveLibraryListCommit(MelodyLibrary, e);
    return e;
  }
  // A zeroed melody to record into: room for `notes` notes.
  static WaveLibraryEntry* BlankMelody(int32_t notes) {
    return Melody(std::vector<float>(6 + 4 * static_cast<size_t>(notes), 0.0f));
  }

  static const ModuleRecord& T(int32_t type) { return ModuleCatalog[type]; }

  std::vector<WaveLibraryEntry*> entries_;
};

// Upward zero crossings of a signal in [from, to).
inline int32_t Crossings(const std::vector<float>& x, size_t from = 0, size_t to = SIZE_MAX) {
  int32_t n = 0;
  for (size_t i = from + 1; i < to && i < x.size(); ++i)
    if (x[i - 1] < 0.0f && x[i] >= 0.0f) ++n;
  return n;
}

}  // namespace testing_synth
}  // namespace Tarvelo
