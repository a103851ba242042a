// A WAV file of any bytes taken into the sample library, the filter library
// and the synth's samples: a refused file adds nothing; an accepted one plays
// on a Sample module and a convolutive filter without reading past its data,
// and as the filter page's design source (its row clicked) gives a gain sum
// within 1..100.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "app/documents/wave_convert.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "audio/wav.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/windows.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "platform/paths.h"

using namespace Tarvelo;

namespace {

constexpr int32_t kTypeConvolutive = 17;

ModuleRecord* Module(int32_t type) {
  ModuleRecord* m = nullptr;
  fuzz::Check(AddModule(type, true, &m) >= 0, "module");
  return m;
}

ModuleRecord* sample = nullptr;
ModuleRecord* filter = nullptr;

}  // namespace

void FuzzSetUp() {
  fuzz::StartEngine();
  ConfiguredStreamRate = 48000;
  sample = Module(kTypeSample);
  filter = Module(kTypeConvolutive);
  fuzz::Check(ModuleLinkInput(*filter, 0, sample, &ModuleCatalog[kTypeConvolutive]) == kLinkConnected, "link");
  RequestGraphRebuild(0, 0, filter);
}

void FuzzSeeds(const std::string& dir) {
  fuzz::MakeWav(fuzz::Sys("AUDIO\\seed.wav"), 40, 1, 16, 48000);
  fuzz::KeepSeed(dir, "AUDIO/seed.wav", "mono16.wav");
  fuzz::MakeWav(fuzz::Sys("AUDIO\\seed.wav"), 30, 2, 32, 44100);
  fuzz::KeepSeed(dir, "AUDIO/seed.wav", "stereo32.wav");
  fuzz::MakeWav(fuzz::Sys("AUDIO\\seed.wav"), 20, 2, 16, 44100);
  fuzz::KeepSeed(dir, "AUDIO/seed.wav", "stereo16.wav");
  // The most channels a sound may have, and inputs once found harmful: a
  // channel field one bit away from 0 (0x4000, whose float block size wrapped
  // to 0 and was divided by) and one a bit further (0x4001, whose block size
  // wrapped to 4 bytes and promised more frames than the data held).
  fuzz::MakeWav(fuzz::Sys("AUDIO\\seed.wav"), 2, 8191, 16, 48000);
  fuzz::KeepSeed(dir, "AUDIO/seed.wav", "most_channels16.wav");
  const uint8_t wrapped[] = {'R', 'I', 'F', 'F', 0x28, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                             0x10, 0, 0, 0, 0x01, 0, 0x00, 0x40, 0x80, 0xBB, 0, 0, 0, 0, 0, 0,
                             0, 0x80, 0x10, 0, 'd', 'a', 't', 'a', 0x04, 0, 0, 0, 1, 2, 3, 4};
  fuzz::WriteFile(dir + "/channels_0x4000.wav", wrapped, sizeof wrapped);
  std::vector<uint8_t> flipped(sizeof wrapped + 4, 0);
  std::copy(std::begin(wrapped), std::end(wrapped), flipped.begin());
  flipped[22] = 0x01;
  flipped[4] = 0x2C;
  flipped[40] = 0x08;
  fuzz::WriteFile(dir + "/channels_0x4001.wav", flipped.data(), flipped.size());
  // A filter of taps no integer gain sum holds (found by fuzzing: the design's
  // sum overflowed its conversion).
  QUARLE_AUDIO::SoundBuffer huge{};
  QUARLE_AUDIO::SoundBufferInitFormat(&huge, 1, 32, 48000);
  huge.samples = static_cast<float*>(std::calloc(17, sizeof(float)));
  for (int32_t i = 0; i < 16; ++i) huge.samples[i] = (i & 1) ? -1.4e32f : 1.4e32f;
  huge.frameCount = 16;
  huge.dataSize = 64;
  fuzz::Check(QUARLE_AUDIO::SaveWavFile(fuzz::Sys("AUDIO\\seed.wav"), &huge, 32) == 0, "wav");
  QUARLE_AUDIO::SoundBufferFree(&huge);
  fuzz::KeepSeed(dir, "AUDIO/seed.wav", "huge_taps.wav");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::WriteFile(fuzz::Os("AUDIO/f.wav"), data, size);
  const int32_t library = ConvertAndLoadWave(fuzz::Sys("AUDIO"), "f.wav");
  if (library < 0) fuzz::Check(SampleLibrary.header.count == 0, "a refused sample adds nothing");
  const int32_t filters = LoadFilterFile(fuzz::Sys("AUDIO"), "f.wav");
  if (filters < 0) fuzz::Check(FilterLibrary.header.count == 0, "a refused filter adds nothing");
  fuzz::Check(fuzz::ReadFile(fuzz::Os("AUDIO/f.wav")).size() == size, "the file is only read");

  if (library >= 0) {
    for (int32_t choice = 0; choice < 3; ++choice) {
      const int32_t at = AddLoadedWave(*SampleLibrary.entries[library], choice);
      if (at < 0) continue;
      AttachWaveToModule(sample, SynthSamples.entries[at], 0);
      sample->ModuleSwitches[kSwitchPlay].Store(-1);
      fuzz::Render(32);
    }
  }
  if (filters >= 0) {
    AttachWaveToModule(filter, FilterLibrary.entries[filters], 0);
    fuzz::Render(32);
    // As a click on its row makes it the design's source.
    const uint32_t frames = FilterLibrary.entries[filters]->Sound.frameCount;
    FirDesign.FirSourceEntry = filters;
    FirDesign.FirTapCount = frames < 3 ? 3 : (frames > kFirMaxTaps ? kFirMaxTaps : static_cast<int32_t>(frames));
    BuildFirKernel(-1);
    fuzz::Check(FirDesign.FirGainSum >= 1 && FirDesign.FirGainSum <= 100, "a gain sum within 1..100");
  }
  AttachWaveToModule(sample, nullptr, 0);
  AttachWaveToModule(filter, nullptr, 0);
  fuzz::Render(1);
  fuzz::EmptyList(SynthSamples);
  fuzz::EmptyList(SampleLibrary);
  fuzz::EmptyList(FilterLibrary);
  FirLibraryEntryLeft(-1);
  return 0;
}
