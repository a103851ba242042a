// LoadSynth on any bytes: a refused file leaves the synth, the gains, the
// libraries and the MIDI maps as they were; an accepted one plays. The file
// itself is only read.
//
// A synth file is 1.6 MB at least, too long for mutations to reach its fields
// often. An input shorter than 64 kB is therefore a patch over the synth our
// writer made: an u32 offset (its top bit set: the file is cut there) and the
// bytes written over the file from there on.
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

namespace {

std::vector<uint8_t>& Base() {
  static std::vector<uint8_t> base;
  return base;
}

// The seed synth our writer makes.
void SaveSeedSynth() {
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
  fuzz::MapController(osc);
  fuzz::HoldNote();
  fuzz::Check(SaveSession(fuzz::Sys("SYNTHS"), "seed.tarvelo") == 0, "seed save");
}

void PutPatch(const std::string& dir, const std::string& name, uint32_t offset, size_t bytes) {
  std::vector<uint8_t> patch(4 + bytes, 0);
  std::memcpy(patch.data(), &offset, 4);
  const uint32_t at = offset & 0x7FFFFFFFu;
  for (size_t i = 0; i < bytes && at + i < Base().size(); ++i) patch[4 + i] = Base()[at + i];
  fuzz::WriteFile(dir + "/" + name, patch.data(), patch.size());
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
  SaveSeedSynth();
  Base() = fuzz::ReadFile(fuzz::Os("SYNTHS/seed.tarvelo"));
}

void FuzzSeeds(const std::string& dir) {
  fuzz::KeepSeed(dir, "SYNTHS/seed.tarvelo", "synth.tarvelo");
  // Patches at the head, the states, the first module record, the presets and
  // the MIDI maps, and cuts.
  const size_t n = Base().size();
  const uint32_t offsets[] = {0, 4, 27, 120, 3000, 30000, 60000, static_cast<uint32_t>(n - 400000),
                              static_cast<uint32_t>(n - 395264), static_cast<uint32_t>(n - 100)};
  int k = 0;
  for (uint32_t at : offsets) PutPatch(dir, "patch" + std::to_string(k++), at, 64);
  PutPatch(dir, "cut", 0x80000000u | static_cast<uint32_t>(n - 7), 0);
  fuzz::ClearEngine();
  fuzz::Check(SaveSession(fuzz::Sys("SYNTHS"), "seed.tarvelo") == 0, "seed save");
  fuzz::KeepSeed(dir, "SYNTHS/seed.tarvelo", "empty.tarvelo");
  SaveSeedSynth();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 65536) {
    if (size < 4) return 0;
    std::vector<uint8_t> file = Base();
    uint32_t offset = 0;
    std::memcpy(&offset, data, 4);
    const size_t at = (offset & 0x7FFFFFFFu) % file.size();
    if ((offset & 0x80000000u) != 0) file.resize(at);
    for (size_t i = 4; i < size && at + i - 4 < file.size(); ++i) file[at + i - 4] = data[i];
    fuzz::WriteFile(fuzz::Os("SYNTHS/f.tarvelo"), file.data(), file.size());
    size = file.size();
  } else {
    fuzz::WriteFile(fuzz::Os("SYNTHS/f.tarvelo"), data, size);
  }
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
