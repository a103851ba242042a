// LoadMelody on any bytes: a refused file adds nothing; an accepted one holds
// its head and what the head claims, and plays on a Sequencer without reading
// past its notes.
#include "fuzz_support.h"

#include <cstdlib>
#include <cstring>

#include "app/documents/melody_file.h"
#include "app/state/wave_library.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/sequencer.h"
#include "engine/globals.h"
#include "engine/modulelist.h"

using namespace Tarvelo;

namespace {

ModuleRecord* Player() {
  static ModuleRecord* seq = nullptr;
  if (seq == nullptr) {
    fuzz::Check(AddModule(kTypeSequencer, true, &seq) >= 0, "sequencer");
    RequestGraphRebuild(0, 0, seq);
  }
  return seq;
}

}  // namespace

void FuzzSetUp() {
  fuzz::StartEngine();
  SetRateConstants(48000.0f);
}

void FuzzSeeds(const std::string& dir) {
  const int32_t sizes[] = {24 + 16 * 3, 24 + 16 * 40, kMelodyRecordBytes};
  int n = 0;
  for (int32_t bytes : sizes) {
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(e->Folder, fuzz::Sys("MELODIES"));
    QUARLE_BASICS::DynZStringAssign(e->File, "seed.mel");
    e->Sound.samples = static_cast<float*>(std::calloc(static_cast<size_t>(bytes) / 4 + 1, sizeof(float)));
    e->Sound.dataSize = static_cast<uint32_t>(bytes);
    float* w = e->Sound.samples;
    const int32_t notes = bytes == kMelodyRecordBytes ? 5 : (bytes - 24) / 16;
    w[0] = static_cast<float>(notes);
    w[1] = 1.0f;
    w[3] = 2.0f;
    w[5] = 0.05f * static_cast<float>(notes + 1);
    for (int32_t k = 0; k < notes; ++k) {
      w[6 + 4 * k] = 0.02f;
      w[7 + 4 * k] = 0.01f * static_cast<float>(k + 1);
      w[8 + 4 * k] = 0.8f;
      w[9 + 4 * k] = 0.05f * static_cast<float>(k);
    }
    fuzz::Check(SaveMelody(e) == 0, "seed save");
    fuzz::KeepSeed(dir, "MELODIES/seed.mel", "seed" + std::to_string(n++) + ".mel");
    WaveLibraryEntryDelete(e);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WriteFile(fuzz::Os("MELODIES/f.mel"), data, size);
  const int32_t before = MelodyLibrary.header.count;
  const int32_t rc = LoadMelody(fuzz::Sys("MELODIES"), "f.mel");
  fuzz::Check(fuzz::ReadFile(fuzz::Os("MELODIES/f.mel")).size() == size, "the file is only read");
  if (rc < 0) {
    fuzz::Check(MelodyLibrary.header.count == before, "a refused melody adds nothing");
    return 0;
  }
  WaveLibraryEntry* e = MelodyLibrary.entries[rc];
  const uint32_t bytes = e->Sound.dataSize;
  fuzz::Check(bytes >= 24, "the head is there");
  fuzz::Check(16.0 * e->Sound.samples[0] + 24.0 <= static_cast<double>(bytes) + 0.5, "the notes claimed are there");

  // Played at its own tempo, forward, looping.
  ModuleRecord* seq = Player();
  AttachWaveToModule(seq, e, 0);
  ModuleSetParamValue(*seq, kSeqTempo, seq->SampleStep);
  ModuleSetParamValue(*seq, kSeqLength, e->Duration.Load());
  ModuleSetParamValue(*seq, kSeqFrequency, 0.01f);
  seq->ModuleSwitches[kSwitchPlay].Store(-1);
  seq->ModuleSwitches[kSwitchLoop].Store(-1);
  fuzz::Render(64);
  AttachWaveToModule(seq, nullptr, 0);
  fuzz::Render(1);
  fuzz::EmptyList(MelodyLibrary);
  return 0;
}
