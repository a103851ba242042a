// LoadSynth on any bytes: a refused file leaves the synth, the gains, the
// libraries and the MIDI maps as they were; an accepted one plays. The file
// itself is only read.
#include "engine_support.h"

#include "app/documents/melody_file.h"
#include "app/documents/synth_file.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"

using namespace Tarvelo;

namespace {

struct Snapshot {
  std::vector<ModuleRecord*> modules;
  float input, output;
  int32_t samples, filters, melodies;
  int32_t param;
  bool operator==(const Snapshot&) const = default;
};

Snapshot Take() {
  Snapshot s{};
  for (int32_t i = 0; i < ModuleList.count; ++i) s.modules.push_back(ModuleList.entries[i]);
  s.input = InputGain;
  s.output = OutputLevel;
  s.samples = SynthSamples.header.count;
  s.filters = FilterLibrary.header.count;
  s.melodies = MelodyLibrary.header.count;
  s.param = MidiMaps[0].Entries[7][0].Param;
  return s;
}

}  // namespace

void FuzzSetUp() {
  fuzz::StartEngine();
  fuzz::Check(ActionHistoryCreate() == 0, "history");
  ZoomFactor = 1.0f;
  InputGain = 1.0f;
  OutputLevel = 0.5f;
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, fuzz::Sys("TUNINGS"));
  QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, "t.tng");
  fuzz::Check(SaveTuning(ActiveTuning) == 0, "tuning");
  CopyTuning(EditedTuning, ActiveTuning);
}

void FuzzSeeds(const std::string& dir) {
  fuzz::ClearEngine();
  ModuleRecord* kb = fuzz::AddTyped(kTypeKeyboard);
  ModuleRecord* osc = fuzz::AddTyped(kTypeOscillator);
  ModuleRecord* adsr = fuzz::AddTyped(kTypeAdsr);
  ModuleRecord* mix = fuzz::AddTyped(kTypeMixer);
  ModuleRecord* seq = fuzz::AddTyped(kTypeSequencer);
  ModuleLinkInput(*osc, 0, kb, &ModuleCatalog[kTypeOscillator]);
  ModuleLinkInput(*adsr, 0, kb, &ModuleCatalog[kTypeAdsr]);
  ModuleLinkInput(*mix, 0, osc, &ModuleCatalog[kTypeMixer]);
  ModuleLinkInput(*mix, 1, adsr, &ModuleCatalog[kTypeMixer]);
  RequestGraphRebuild(0, 0, mix);

  fuzz::Check(WaveLibraryListReserve(MelodyLibrary) == 0, "melodies");
  WaveLibraryEntry* mel = WaveLibraryEntryNew();
  QUARLE_BASICS::DynZStringAssign(mel->Folder, fuzz::Sys("MELODIES"));
  QUARLE_BASICS::DynZStringAssign(mel->File, "tune.mel");
  mel->Sound.samples = static_cast<float*>(std::calloc(6 + 4 * 2 + 1, sizeof(float)));
  mel->Sound.dataSize = (6 + 4 * 2) * 4;
  float* w = mel->Sound.samples;
  w[0] = 2.0f;
  w[5] = 0.5f;
  w[6] = w[10] = 0.1f;
  w[7] = 0.01f;
  w[11] = 0.02f;
  w[8] = w[12] = 0.8f;
  w[13] = 0.2f;
  mel->LoadState = kWaveDataHeld;
  WaveLibraryListCommit(MelodyLibrary, mel);
  AttachWaveToModule(seq, mel, 0);
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    std::strcpy(MidiMaps[0].DeviceName, "Dev A");
    MidiMapEntry& e = MidiMaps[0].Entries[7][0];
    e.Mode = kMidiFixedParam;
    e.Kind = kControllerStandard;
    e.Target = osc;
    e.Param = 1;
  }
  fuzz::HoldNote();
  fuzz::Check(SaveSession(fuzz::Sys("SYNTHS"), "seed.tarvelo") == 0, "seed save");
  fuzz::KeepSeed(dir, "SYNTHS/seed.tarvelo", "synth.tarvelo");
  fuzz::ClearEngine();
  fuzz::Check(SaveSession(fuzz::Sys("SYNTHS"), "seed.tarvelo") == 0, "seed save");
  fuzz::KeepSeed(dir, "SYNTHS/seed.tarvelo", "empty.tarvelo");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WriteFile(fuzz::Os("SYNTHS/f.tarvelo"), data, size);
  const Snapshot before = Take();
  const int32_t rc = LoadSynth(fuzz::Sys("SYNTHS"), "f.tarvelo");
  fuzz::Check(fuzz::ReadFile(fuzz::Os("SYNTHS/f.tarvelo")).size() == size, "the file is only read");
  if (rc != 0) {
    fuzz::Check(Take() == before, "a refused synth changes nothing");
    return 0;
  }
  fuzz::HoldNote();
  fuzz::Render(48);
  return 0;
}
