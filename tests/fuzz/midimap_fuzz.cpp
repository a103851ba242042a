// The synth file's MIDI-map section of any bytes (the first byte picks the
// 1.1 or the 1.0 layout): a section cut short leaves the maps as they were;
// a whole one binds to the modules and takes controller changes on every
// controller and channel without reaching outside a map.
#include "engine_support.h"

#include "basics/queues.h"
#include "platform/files.h"

using namespace Tarvelo;

namespace {

std::string Slots(int32_t slot) { return slot == 0 ? "Dev A" : (slot == 2 ? "Dev C" : ""); }

int32_t Open(const std::string& sub) {
  platform::MutexGuard guard(QUARLE_BASICS::MT_FILES);
  const int32_t number = platform::FreeFile();
  fuzz::Check(number > 0 && platform::FileOpen(number, fuzz::Sys(sub), platform::kFileBinary,
                                               platform::kAccessRead) == 0, "open");
  return number;
}

}  // namespace

void FuzzSetUp() {
  fuzz::StartEngine();
  MidiDevices.SlotName = Slots;
}

void FuzzSeeds(const std::string& dir) {
  fuzz::ClearEngine();
  ModuleRecord* kb = fuzz::AddTyped(kTypeKeyboard);
  ModuleRecord* osc = fuzz::AddTyped(kTypeOscillator);
  kb->MidiDeviceBinding.Store(1);
  fuzz::MapController(osc);
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    MidiMapEntry& t = MidiMaps[0].Entries[9][3];
    t.Mode = kMidiFixedParam;
    t.Target = &ModuleCatalog[kTypeAdsr];
    t.Param = 2;
    std::strcpy(MidiMaps[1].DeviceName, "Dev C");
    MidiMaps[1].Entries[1][0].Mode = kMidiSelectedParam;
  }
  {
    platform::MutexGuard guard(QUARLE_BASICS::MT_FILES);
    const int32_t number = platform::FreeFile();
    fuzz::Check(platform::FileOpen(number, fuzz::Sys("maps"), platform::kFileBinary, platform::kAccessReadWrite) == 0,
                "open");
    const uint8_t layout = 0;
    platform::FilePut(number, 0, &layout, 1);
    fuzz::Check(SaveMidiMaps(number) == 0, "save");
    platform::FileClose(number);
  }
  fuzz::KeepSeed(dir, "maps", "maps.bin");
  fuzz::ClearEngine();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::ClearEngine();
  for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
  ModuleRecord* kb = fuzz::AddTyped(kTypeKeyboard);
  fuzz::AddTyped(kTypeOscillator);
  fuzz::AddTyped(kTypeAdsr);
  kb->MidiDeviceBinding.Store(1 + data[0] % 17);
  fuzz::WriteFile(fuzz::Os("maps"), data, size);
  const int32_t number = Open("maps");
  platform::FileSeek(number, 1);
  std::vector<MidiMap> before(MidiMaps, MidiMaps + kMidiMapCount);
  const int32_t rc = (data[0] & 1) != 0 ? LoadMidiMapsOld(number) : LoadMidiMaps(number);
  platform::FileClose(number);
  if (rc != 0) {
    fuzz::Check(std::memcmp(before.data(), MidiMaps, sizeof(MidiMap) * kMidiMapCount) == 0,
                "a section cut short changes no map");
    return 0;
  }
  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    RebindMidiMaps(ModuleList.count);
  }
  for (int32_t d = 0; d < 3; ++d)
    for (int32_t c = 0; c < kMidiControllers; c += 3)
      for (int32_t ch = 0; ch < kMidiChannels; ch += 5)
        MidiControlChange(d, c, ch, static_cast<float>((c * 7 + ch) % 128), 0.01f * static_cast<float>(c));
  fuzz::Render(8);
  fuzz::ClearEngine();
  for (int32_t i = 0; i < kMidiMapCount; ++i) MidiMapInit(MidiMaps[i], i);
  return 0;
}
