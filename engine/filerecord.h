// The flat form of a module in synth files (ModuleFileRecord, 28,304 bytes,
// written raw, little-endian), the master presets (one record per module type
// holding its template's settings), and the binding of the MIDI maps' stored
// module references once a synth file's modules exist.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

static_assert(std::endian::native == std::endian::little, "module file records are stored little-endian");

// One parameter of a module file record (824 bytes).
// one thread: value
struct ParamFileBlock {
  float Value;
  int32_t DisplayUnit;       // the value field's Unit
  int32_t DisplayPrecision;  // the value field's display mode
  int32_t DisplayWord;       // 0: the three words above carry nothing
  uint64_t Global;
  uint64_t BothChannels;     // WriteBothChannels
  // The port value module's outputs [channel][voice] {level, frequency}; column
  // 32 carries the control range instead: [0][32] {range low, side-swap flag},
  // [1][32].level range high, [2][32].level step.
  float Image[3][33][2];
};
static_assert(sizeof(ParamFileBlock) == 824);

// one thread: value
struct ModuleFileRecord {
  int32_t X;                  // the box on the synth plane; 0 for a master preset
  int32_t Y;
  int32_t Type;               // ModuleType 0..42
  int32_t Instance;           // 1..; 0 marks a master preset
  int32_t MidiDeviceBinding;  // a Keyboard's device slot + 1; an Oscillator's wave shape
  int32_t ProcessingDepth;
  int32_t LibraryIndex;       // list index of the attached sample, filter or melody; -1 none
  int32_t ChannelFilter;      // 0 any, else MIDI channel + 1
  int32_t PortSources[33];    // list index of each parameter's source; -1 a port value module
  // A Sample's: the engine's rate when saved, where the sound has a rate of
  // its own (its F is the frequency it plays). 0 in older files, whose Set
  // divided F by the rates' ratio.
  int32_t SampleRateMark;
  uint64_t Switches[16];      // ModuleSwitches
  uint64_t Unused1;
  ParamFileBlock Params[33];  // blocks beyond the parameter count are not written
  uint64_t OptionWords[2];
  // [ch][v] {a, b}: a = VoiceState for ch 0..1, v 0..31 (types that keep state);
  // [0][32].b = ChosenSourcePort + 1 (0 automatic); [1][32].b = OutputChannels.
  float Slots[3][33][2];
};
static_assert(sizeof(ModuleFileRecord) == 28304);
static_assert(offsetof(ModuleFileRecord, PortSources) == 32);
static_assert(offsetof(ModuleFileRecord, SampleRateMark) == 164);
static_assert(offsetof(ModuleFileRecord, Switches) == 168);
static_assert(offsetof(ModuleFileRecord, Params) == 304);
static_assert(offsetof(ModuleFileRecord, OptionWords) == 27496);
static_assert(offsetof(ModuleFileRecord, Slots) == 27512);

constexpr int32_t kModuleFileRecordSize = static_cast<int32_t>(sizeof(ModuleFileRecord));

// One per module type, applied to the catalog templates.
// one thread: interface (read at start-up, applied by New, a load and the Catalog's reset)
extern ModuleFileRecord MasterPresets[kModuleTypeCount];

// What a module's attached library entry is called in its list: the list index,
// or -1. The libraries install it; without it no entry is stored.
// one thread: start-up
extern int32_t (*WaveEntryListIndex)(const ModuleRecord& module);

// A Sample record's SampleRateMark for the entry it plays and its
// SampleOlderFrequency.
int32_t SampleRateMark(const WaveLibraryEntry* entry, int32_t olderFrequency);
// Flattens a live module or a catalog template (nothing for null). Bytes the
// record does not define are left as they were.
void ModuleToFileRecord(ModuleFileRecord& record, const ModuleRecord* module);
// Fills a listed live module from a record: settings, flags, channels, state and
// port links among the first `count` list entries; attaches the library entry
// when one is given. legacy -1 applies the repairs for old files. 0, or -19 for
// a null module.
int32_t LoadModuleFromFileRecord(ModuleFileRecord& record, ModuleRecord* module, int32_t count,
                                 WaveLibraryEntry* entry, int64_t legacy);
// Once every record of a file is loaded: the channel counts the modules had
// when saved, from their links (a loaded module starts from its own ports'
// count), so that the rebuild after the load finds no channel growing and
// leaves the kept state just restored as it is.
void SettleLoadedChannels(int32_t count);
// Applies a record to the catalog template of its type (a negative type is
// written back as 0; a type of 43 or more does nothing), under the module
// list's lock, which the caller does not hold. While playing, global ports
// read the template's values and a queued controller move may write them (a
// controller learned with the type's Catalog row selected): every caller
// holds frames (FrameHold) around it.
void ApplyMasterPreset(ModuleFileRecord& record, int64_t legacy);
// ApplyMasterPreset(MasterPresets[t], 0) for every type t whose preset names
// it; the caller holds frames as for ApplyMasterPreset.
void ApplyAllMasterPresets();
// Every template's flat form into MasterPresets (the engine start-up does this
// once the catalog is built, so that a reset brings the start-up settings back).
void StoreMasterPresets();

// Binds the MIDI maps' stored module references to the first `count` list
// entries and the templates, enters the Keyboards into their device's map and
// gives every device without a map one. The caller holds MT_MIDIMAPS.
void RebindMidiMaps(int32_t count);

}  // namespace Tarvelo
