// MIDI controller maps: per MIDI input device slot, what a control-change
// message of each controller and channel does (move a fixed parameter of a fixed
// module, a fixed parameter of the selected module, or the selected parameter),
// how bindings are learnt, how the kind of physical control is detected, and the
// maps' section of the synth file.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>
#include <string>

#include "engine/midimap_hooks.h"
#include "engine/module.h"
#include "platform/threads.h"

namespace Tarvelo {

constexpr int32_t kMidiMapCount = 16;       // one per MIDI input device slot
constexpr int32_t kMidiDeviceSlots = 16;
constexpr int32_t kMidiControllers = 128;   // rows in use
constexpr int32_t kMidiChannels = 16;       // columns in use
constexpr int32_t kMidiMapRows = 129;
constexpr int32_t kMidiMapColumns = 17;
constexpr int32_t kMidiDeviceNameMax = 128;  // characters of a device name

// How a physical control behaves (names: messages 105..110).
enum MidiControllerType : uint8_t {
  kControllerAuto = 0,      // "[Auto-detect]": not detected yet
  kControllerStandard = 1,  // "Standard"
  kControllerButton = 2,    // "Button"
  kControllerPad = 3,       // "Pressure Pad"
  kControllerEndless64 = 4, // "Endless, 64-rel."
  kControllerEndlessBounded = 5,  // "Endless, bounded"
};

// What a binding acts on.
enum MidiMapMode : uint8_t {
  kMidiUnbound = 0,
  kMidiSelectedParam = 1,      // whichever parameter is selected
  kMidiParamOfSelected = 2,    // a fixed parameter of the selected module
  kMidiFixedParam = 4,         // a fixed parameter of a fixed module
};

// Every field of an entry and of a map is read and written only under
// MT_MIDIMAPS: by the MIDI thread (detection, learning, moves), the
// interface (the mapping page, a reset, a load, a module's channel filter,
// a delete) and the draws of the MIDI lists; InitMidiMaps runs at start-up.
struct MidiMapEntry {
  // one thread: holder of MT_MIDIMAPS
  uint8_t Mode;         // MidiMapMode
  uint8_t Kind;         // MidiControllerType; 0 until detected
  uint8_t CentreCount;  // detection: consecutive messages to or from 64
  uint8_t SeenCount;    // detection: messages since detection started
  ModuleRecord* Target; // the bound module: a live module or a catalog template; the MIDI
                        // thread reads it, and the module, only under MT_MIDIMAPS
  int32_t ModuleRef;    // stored reference of the target; -1 none; one thread: holder of MT_MIDIMAPS
  int32_t Param;        // bound parameter; -1 none; one thread: holder of MT_MIDIMAPS
};

struct MidiMap {
  // one thread: holder of MT_MIDIMAPS
  MidiMapEntry Entries[kMidiMapRows][kMidiMapColumns];  // [controller][channel]
  char DeviceName[kMidiDeviceNameMax + 1];               // empty: the map is free
  int64_t Claimed;                                       // -1 once given to a device
  int32_t Slot;                                          // the map's own index
  float LastValues[kMidiMapRows][kMidiMapColumns];
  float LastTimes[kMidiMapRows][kMidiMapColumns];        // milliseconds
  ModuleRecord* ChannelKeyboards[kMidiMapColumns];       // Keyboards driven per channel
};

// The 16 maps, guarded by MT_MIDIMAPS (engine/midimap_hooks.h; the engine
// start-up creates it, then calls InitMidiMaps).
// one thread: holder of MT_MIDIMAPS
extern MidiMap MidiMaps[kMidiMapCount];
// 0 off, else the mode the next learnt controller gets (1, 2 or 4).
extern std::atomic<int32_t> MidiLearnArmed;

// What the maps need of the MIDI input layer's device table: its lock and the
// name of each device slot. The layer installs them when it lists its devices;
// the defaults know no device.
// one thread: start-up, installed before the threads start
struct MidiDeviceHooks {
  platform::Mutex* (*TableLock)();          // the device table's lock; may give null
  std::string (*SlotName)(int32_t slot);    // "" for a slot without a device
};
// one thread: start-up (InitMidiControllerTypes installs, the MIDI shutdown clears)
extern MidiDeviceHooks MidiDevices;
// Per device slot the map it uses; null until found or assigned. Guarded by
// MT_MIDIMAPS.
// one thread: holder of MT_MIDIMAPS
extern MidiMap* MidiDeviceMaps[kMidiDeviceSlots];
// The device slot whose name equals the text, or -1 (the caller holds the
// device table's lock when it needs a stable answer).
int32_t FindMidiDevice(const std::string& name);

void MidiMapEntryInit(MidiMapEntry& e);
// Every entry constructed; name, Claimed, both value arrays and the keyboards
// zero; Slot the given index.
void MidiMapInit(MidiMap& map, int32_t slot);
// A parameter bound with a target loses one from its MidiMapCount; then the
// entry is as after MidiMapEntryInit.
void ClearMidiMapEntry(MidiMapEntry& e);
// The map's device is looked up; a map whose device is gone becomes free. Every
// binding is cleared and its keyboards let go. Takes the device table's lock,
// then MT_MIDIMAPS (never both).
void ResetMidiMap(MidiMap& map);

// The caller holds MT_MIDIMAPS for these three.
int32_t AssignFreeMidiMap(int32_t deviceSlot);      // map index or -1
int32_t FindMidiMapForDevice(int32_t deviceSlot);   // map index or -1
// Called by the MIDI input callback while learning is armed, with MT_MIDIMAPS held.
void MidiLearnBind(int32_t deviceSlot, int32_t controller, int32_t channel, int32_t mode);

// Takes MT_MIDIMAPS itself; the caller must not hold it.
int32_t DetectControllerKind(MidiMap& map, int32_t controller, int32_t channel, float value,
                             float last, float time, int32_t kind);
// A control-change message of a device (value 0..127, time in milliseconds).
// Takes MT_MIDIMAPS briefly; the parameter is moved outside it.
void MidiControlChange(int32_t deviceSlot, int32_t controller, int32_t channel, float value, float time);
// Queue-0 message of a controller move bound to the selection, made off the
// interface thread: the selection is the interface's, so the interface applies
// it (arg1 mode, arg2 the bound parameter, arg3 1 when relative, single1 the move).
constexpr uint32_t kMessageSelectedControllerMove = 108;
// The interface thread's side of that message.
void ApplySelectedControllerMove(int32_t mode, int32_t param, float x, int64_t relative);
// -1 applied, 0 refused (no module, or p outside 0..ParamCount-1).
int32_t ApplyControllerToParameter(ModuleRecord* module, int32_t p, float x, int64_t relative);
// A move the interface makes (a drag on an input port): applied at once, or
// queued for the render while playback runs, whose value it is.
void MoveParameterOrQueue(ModuleRecord* module, int32_t p, float x, int64_t relative);

// Parameter values belong to the audio thread while playback runs and to the
// interface thread otherwise. A controller moved on another thread (MIDI) is
// queued: the render callback takes the queue at the start of every frame
// while playback runs (TakeControllerMoves(true)); otherwise
// WakeInterfaceForControllers asks the interface thread to take it (which does
// nothing while playback runs). A queued move names a listed live module or a
// catalog template; a template is rewritten (master presets on New, a load,
// the Catalog's reset) or copied into a new module only while the frames are
// held (FrameHold).
void TakeControllerMoves(bool onRender);
// The queue's ends: the taker advances the head, producers the tail. Moves
// that find the queue full wait behind it in order (ControllerMovesSpilled of
// them); no move is dropped.
extern std::atomic<uint32_t> ControllerMoveHead;
extern std::atomic<uint32_t> ControllerMoveTail;
extern std::atomic<uint32_t> ControllerMovesSpilled;
// Whether a move waits, as TakeControllerMoves looks first (it looks again).
inline bool ControllerMovesWaiting() {
  return ControllerMoveTail.load(std::memory_order_relaxed) != ControllerMoveHead.load(std::memory_order_relaxed) ||
         ControllerMovesSpilled.load(std::memory_order_relaxed) != 0;
}
// The interface thread while the frames are held (HoldFrames) or nothing
// renders: applies every move that waits, in order, so that a copy of the
// modules sees each value the page shows.
void TakeControllerMovesWhileHeld();
// Every value an interface thread sets on a module (value editors, the
// sample, filter and melody panels' Set buttons, linked channels): set at
// once with playback off (false), else queued for the render callback (true).
// A queued value is never dropped.
bool SetParamValueOrQueue(ModuleRecord& module, int32_t p, float value);
// true while a move waits (its module must not be freed yet).
bool ControllerMovesPending();
// Frees what moves that found the queue full left allocated (engine shutdown).
void FreeSpilledControllerMoves();
// Installed by the program (posts to queue 0; false when it could not).
// one thread: start-up
extern bool (*WakeInterfaceForControllers)();
// Every listed Keyboard driven by the device slot lets it go. Takes the module
// list's lock.
void UnbindKeyboardsFromDevice(int32_t deviceSlot);

// The synth file's MIDI-map section at the file's current position, under
// MT_MIDIMAPS (taken here). 16 records of kMidiMapRecordSize (version 1.1) or
// kMidiMapRecordSizeOld (1.0) bytes.
constexpr int32_t kMidiMapNameBytes = 128;
constexpr int32_t kMidiMapEntryBytes = 12;
constexpr int32_t kMidiMapRecordSize = kMidiMapNameBytes + kMidiControllers * kMidiChannels * kMidiMapEntryBytes;
constexpr int32_t kMidiMapRecordSizeOld = kMidiMapNameBytes + kMidiControllers * kMidiMapEntryBytes;
static_assert(kMidiMapRecordSize == 24704);
static_assert(kMidiMapRecordSizeOld == 1664);
// 0, or -19 for a file not open, -20 when a write fails.
int32_t SaveMidiMaps(int32_t fileNumber);
// The section SaveMidiMaps writes, in memory.
std::vector<unsigned char> MidiMapsBytes();
// 0, or -19 for a file not open, -28 when the file ends inside the section (the
// maps are then left as they were). Targets are bound later by RebindMidiMaps.
int32_t LoadMidiMaps(int32_t fileNumber);
int32_t LoadMidiMapsOld(int32_t fileNumber);

// The stored reference of an entry's target: its list position when it is a
// listed live module, -2 - t for the template of type t, else -1.
int32_t MidiMapModuleRef(const MidiMapEntry& e);

}  // namespace Tarvelo
