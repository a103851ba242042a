// MIDI input: the table of up to 16 open input devices, the periodic rescan
// that opens new devices and forgets closed ones, and the callback that runs on
// the MIDI thread: note messages play the Keyboard module bound to the device,
// controller messages go to MIDI learn and to the device's controller map, and
// the last message is kept for the MIDI monitor.
//
// The controller maps, MIDI learn and the keyboards' voices are the engine's
// (engine/midimap.h, engine/notes.h). The engine finds device names through
// its MidiDevices hooks, which InitMidiControllerTypes installs; the engine's
// FindMidiDevice is the table's name lookup (a closed slot has no name there),
// and the map of slot d is the engine's MidiDeviceMaps[d].
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "basics/dynzstring.h"
#include "basics/queues.h"
#include "engine/midimap.h"
#include "platform/midi.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

constexpr int32_t kMidiDeviceSlotCount = 16;
constexpr int32_t kMidiControllerTypeCount = 6;
constexpr int32_t kMidiControllerTypeBytes = 17;  // at most 16 characters

struct MidiDeviceSlot {
  // -1 once the device reported itself closed; cleared by the next scan. Set on
  // the MIDI thread, read by the scan.
  std::atomic<int64_t> closed{0};
  // one thread: holder of MT_MIDIDEVICES, as the table
  int32_t deviceId = -1;                // the device's number at the last scan; -1 free
  platform::MidiIn* handle = nullptr;   // null when free
  QUARLE_BASICS::DynZString name;       // at most 31 characters
  int64_t receiving = 0;                // -1 once started
  uint64_t driverVersion = 0;
  // The slot's controller map is Tarvelo::MidiDeviceMaps[slot] (under MT_MIDIMAPS).
};

// Written by the scan only, under MT_MIDIDEVICES (a name also under a lock of
// its own, for readers on other threads; the closed flag is atomic).
// one thread: holder of MT_MIDIDEVICES
extern MidiDeviceSlot MidiDeviceTable[kMidiDeviceSlotCount];
extern int64_t MidiDeviceCount;  // devices seen by the last scan, at most 16

// one thread: start-up, made by InitMidiControllerTypes, destroyed by CloseMidiInput
extern platform::Mutex* MT_MIDIDEVICES;

// One received message: device slot, packed short message (status in bits
// 0-7, first data byte in 8-15, second in 16-23), milliseconds since the
// device was started.
// one thread: value
struct MidiMessage {
  uint32_t Slot;
  uint32_t Message;
  uint32_t TimeStamp;
};
void CopyMidiMessage(MidiMessage& dst, const MidiMessage& src);

// The last message received while "DISPLAY MIDI INPUT" is on, with its
// device's map; the monitor's draw callback reads and clears it under
// MT_MIDIMONITOR (engine/midimap_hooks.h).
// one thread: holder of MT_MIDIMONITOR
struct LastMidiMessageRecord {
  MidiMessage Message;
  Tarvelo::MidiMap* Map;
  int64_t NewMessage;  // -1 when not yet shown
};
// one thread: holder of MT_MIDIMONITOR
extern LastMidiMessageRecord LastMidiMessage;

// A note for MidiNoteToKeyboard; velocity 0 releases.
// one thread: value
struct MidiNote {
  uint32_t Key;
  uint32_t Velocity;
  uint32_t TimeStamp;
  uint32_t Instance;  // of the Keyboard module
};

// The names of the six controller types (messages 105 to 110).
// one thread: start-up, read-only between
extern char MidiControllerTypeNames[kMidiControllerTypeCount][kMidiControllerTypeBytes];
// Given to every device that is opened; set by the start-up before the first
// scan. While null, scans do nothing. The scans run on the interface's tick;
// a device keeps its own copy.
// one thread: interface
extern platform::MidiInCallback MidiInCallback;
// The value-entry mode (also ValueEntryByKey) as last computed from the
// interface: -1 while the typed-value dialog takes played keys as frequencies.
// MidiNoteToKeyboard recomputes it for every note; the keyboard panel may too.
extern std::atomic<int64_t> KeyEntryMode;

// What the MIDI input needs of the interface and the application state beyond
// the engine's own interface hooks (engine/ui_hooks.h). Every member may stay
// null: the defaults stand for an interface that shows nothing.
enum MidiNamedControl : int32_t {
  kControlKeyboardDevices = 0,  // KBDEVS: the keyboard panel's device list
  kControlKeyboard,             // KB: the on-screen keyboard
  kControlDialogEdit,           // DB_EDIT: the dialog's text field
  kControlTypedEntry,           // FAE_PP: typed value entry of the selected parameter
  kMidiNamedControlCount,
};
// one thread: start-up, installed before the threads start
struct MidiUiHooks {
  int32_t (*ControlId)(int32_t named);             // 0 while the control does not exist
  void (*SetSelected)(int32_t list, int32_t item); // a list's selected item
  void (*SetVisible)(int32_t control, int32_t visible);
  int64_t (*OnWord)(int32_t control);              // the state's on word
  void (*ShowKeyboardsOff)();  // KeyboardsOffText (message 116) into the status line
  void (*EnterKeyFrequency)(int32_t key, int32_t board);
  int64_t (*AudioOutputRunning)();  // null: the engine's PlaybackActive
  int64_t (*DisplayMidiInput)();    // the "DISPLAY MIDI INPUT" setting; null: off
};
// one thread: start-up, installed by the wiring before the MIDI input opens
extern MidiUiHooks MidiUi;

// Fills the controller type names, creates MT_MIDIDEVICES and installs the
// engine's device hooks. 0, or -21 when the lock cannot be created.
int32_t InitMidiControllerTypes();
// The caller holds MT_MIDIDEVICES. Forgets closed devices, opens new ones,
// renumbers those still present (matched by name). Always 0.
int32_t ScanMidiDevices();
// The interface tick's check, once a second: under MT_MIDIDEVICES, when the
// number of devices differs from MidiDeviceCount, ScanMidiDevices and then
// RefreshMidiDeviceList(0). 1 when it scanned, else 0.
int32_t CheckMidiDevices();
// Under MT_MIDIDEVICES: the first free slot, else -1.
int32_t FindFreeMidiSlot();

// The callback given to every device (instance = slot index).
void MidiInProc(platform::MidiIn* handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                uintptr_t param2);
void HandleMidiOpen(int32_t slot);
// The device went away: the notes it holds end as its note-offs would, then
// the slot shows closed.
void HandleMidiClose(int32_t slot);
// Resets the device lists of the interface; flag -1 also selects the first row
// of the keyboard device list.
void RefreshMidiDeviceList(int64_t flag);
// Plays or releases one note on a Keyboard module. Off the interface thread
// only the engine's voices change here: what the interface shows (the status
// line, the typed value, the pressed keyboard, the device lists) is posted to
// queue 0 as a MIDI report and done by HandleMidiReport on the interface thread.
void MidiNoteToKeyboard(const MidiNote& note);

// Queue-0 reports of the MIDI thread (no data block).
enum MidiReportType : uint32_t {
  kMidiReportKeyboardsOff = 230,   // "turn audio output on" into the status line
  kMidiReportKeyFrequency = 231,   // arg1 key: into the typed-value dialog
  kMidiReportKeyPressed = 232,     // the on-screen keyboard is marked and redrawn
  kMidiReportDevicesChanged = 233, // arg1 flag of RefreshMidiDeviceList
  kMidiReportLearn = 234,          // arg1 slot, arg2 controller, arg3 channel, single1 value, single2 time:
                                   // bound (the selection and the learn buttons are the interface's), then moved
};
// The interface thread's side of the reports above; false for another type.
bool HandleMidiReport(const QUARLE_BASICS::CommandMessage& msg);
// The value-entry mode from the interface's controls; interface thread only
// (the MIDI thread reads KeyEntryMode as last refreshed).
int64_t RefreshKeyEntryMode();

// Shutdown, before the engine and the interface go: closes every device (no
// callback runs afterwards; the notes each held end), stops the MIDI thread, frees the table, the lock
// and the engine's device hooks.
void CloseMidiInput();

}  // namespace QUARLE_AUDIO
