// What the synth file tests share: the engine set up around the document
// fixture (a tuning saved in the data folder, an empty synth, the history), and
// where the sections of a saved file start, found by walking its bytes, with
// the little-endian words read and written in place.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "doc_fixture.h"

#include "app/documents/synth_file.h"
#include "app/state/history.h"
#include "basics/timetext.h"
#include "engine/catalog/engine_init.h"
#include "engine/filerecord.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "engine/ui_hooks.h"

namespace Tarvelo {
namespace doc_test {

class SynthDocumentTest : public DocumentTest {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(Tarvelo::init(48000.0f), 0); }
  static void TearDownTestSuite() { Tarvelo::close(); }

  void SetUp() override {
    DocumentTest::SetUp();
    ASSERT_EQ(ActionHistoryCreate(), 0);
    ResetEngine();
    ZoomFactor = 1.0f;
    InputGain = 1.0f;
    OutputLevel = 0.5f;
    TuningSetReferencePitch(ActiveTuning, 440.0f);
    QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, Home("TUNINGS"));
    QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, "test.tng");
    ASSERT_EQ(SaveTuning(ActiveTuning), 0);
    CopyTuning(EditedTuning, ActiveTuning);
  }
  void TearDown() override {
    ResetEngine();
    ApplyAllMasterPresets();
    EngineUi = EngineUiHooks{};
    ActionHistoryFree();
    QUARLE_BASICS::SetLocalClock(nullptr);
    DocumentTest::TearDown();
  }
  static void ResetEngine() {
    ClearSynth();
    SynthOutputModule.store(nullptr);
    UpdateProcessingOrder(0);
    ReclaimRemovedModules();
    for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
    for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
      KeyboardStateInit(*KeyboardStates[k].Load());
      KeyboardStateInit(*OctaveBoardStates[k].Load());
    }
  }
};

constexpr size_t kMagicEnd = 4 + 23;

inline int32_t I32At(const std::vector<unsigned char>& b, size_t at) {
  int32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
inline void PutI32(std::vector<unsigned char>& b, size_t at, int32_t v) { std::memcpy(b.data() + at, &v, 4); }
inline void PutF32(std::vector<unsigned char>& b, size_t at, float v) { std::memcpy(b.data() + at, &v, 4); }

struct Layout {
  size_t tuningFolder, gains, samples, filters, melodies, states, output, records, midi;
  int32_t recordCount;
};
inline Layout Walk(const std::vector<unsigned char>& b) {
  Layout l{};
  size_t at = kMagicEnd;
  l.tuningFolder = at;
  at += 4 + I32At(b, at);
  at += 4 + I32At(b, at);
  l.gains = at;
  at += 8;
  l.samples = at;
  for (int32_t n = I32At(b, at), i = (at += 4, 0); i < n; ++i) {
    at += 4;
    at += 4 + I32At(b, at);
    at += 4 + I32At(b, at);
  }
  l.filters = at;
  for (int32_t n = I32At(b, at), i = (at += 4, 0); i < n; ++i) {
    at += 4;
    at += 4 + I32At(b, at);
    at += 4 + I32At(b, at);
  }
  l.melodies = at;
  for (int32_t n = I32At(b, at), i = (at += 4, 0); i < n; ++i) {
    at += 4 + I32At(b, at);
    at += 4 + I32At(b, at);
  }
  l.states = at;
  at += 4 + 2 * 16 * sizeof(KeyboardState);
  l.output = at;
  l.recordCount = I32At(b, at + 4);
  l.records = at + 8;
  l.midi = l.records + static_cast<size_t>(l.recordCount) * kModuleFileRecordSize;
  return l;
}

// Record i of a file's records (modules first, then the master presets).
inline ModuleFileRecord RecordAt(const std::vector<unsigned char>& b, const Layout& l, int32_t i) {
  ModuleFileRecord r;
  std::memcpy(static_cast<void*>(&r), b.data() + l.records + static_cast<size_t>(i) * kModuleFileRecordSize, sizeof r);
  return r;
}

}  // namespace doc_test
}  // namespace Tarvelo
