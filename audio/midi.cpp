#include "audio/midi.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/ui_hooks.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using QUARLE_BASICS::DynZStringAssign;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

MidiDeviceSlot MidiDeviceTable[kMidiDeviceSlotCount];
int64_t MidiDeviceCount = 0;
platform::Mutex* MT_MIDIDEVICES = nullptr;
LastMidiMessageRecord LastMidiMessage = {{0, 0, 0}, nullptr, 0};
char MidiControllerTypeNames[kMidiControllerTypeCount][kMidiControllerTypeBytes] = {};
platform::MidiInCallback MidiInCallback = nullptr;
std::atomic<int64_t> KeyEntryMode{0};
MidiUiHooks MidiUi{};

namespace {

// Slot names are read from the MIDI thread (through the engine's map lookups)
// while a scan may rename slots: this lock guards them and is never held while
// taking another.
std::mutex g_nameLock;

bool ValidSlot(int64_t slot) { return slot >= 0 && slot < kMidiDeviceSlotCount; }

void SetSlotName(MidiDeviceSlot& s, const std::string& name) {
  std::lock_guard<std::mutex> hold(g_nameLock);
  DynZStringAssign(s.name, name);
}

// The name under which the engine knows a slot: "" for a free or closed one.
std::string SlotNameHook(int32_t slot) {
  if (!ValidSlot(slot)) return std::string();
  MidiDeviceSlot& s = MidiDeviceTable[slot];
  if (s.closed.load() != 0) return std::string();
  std::lock_guard<std::mutex> hold(g_nameLock);
  return DynZStringGet(s.name);
}

platform::Mutex* TableLockHook() { return MT_MIDIDEVICES; }

int32_t UiId(int32_t named) { return MidiUi.ControlId != nullptr ? MidiUi.ControlId(named) : 0; }

int64_t AudioOutputOn() {
  return MidiUi.AudioOutputRunning != nullptr ? MidiUi.AudioOutputRunning() : Tarvelo::PlaybackActive.load();
}

// DB_EDIT shown and FAE_PP on.
int64_t ComputeKeyEntryMode() {
  const int32_t edit = UiId(kControlDialogEdit);
  const int32_t typed = UiId(kControlTypedEntry);
  if (edit <= 0 || typed <= 0) return 0;
  if (Tarvelo::UiVisible(edit) != -1) return 0;
  const int64_t on = MidiUi.OnWord != nullptr ? MidiUi.OnWord(typed) : 0;
  return on == -1 ? -1 : 0;
}

// The keys of the keyboard shown in the keyboard panel are locked.
bool PanelKeysLocked() {
  const int32_t index = (Tarvelo::CurrentKeyboardIndex).Load();
  if (index < 0 || index >= Tarvelo::kKeyboardBankSize) return false;
  platform::MutexGuard voices(Tarvelo::KeyboardVoiceLocks[index]);
  const Tarvelo::KeyboardState* state = Tarvelo::KeyboardStates[index].Load();
  return state != nullptr && state->LockFlag.Load() != 0;
}

// Reports for the interface thread. A pressed-keyboard report waiting in the
// queue covers every later note, so a burst of notes posts one.
std::atomic<bool> g_pressPosted{false};

bool PostMidiReport(uint32_t type, uint32_t arg1) {
  if (QUARLE_BASICS::MainCommandQueue < 0) return false;
  QUARLE_BASICS::CommandMessage msg{};
  msg.type = type;
  msg.arg1 = arg1;
  msg.timeStamp = platform::HighResClock();
  return QUARLE_BASICS::PostCommand(msg, QUARLE_BASICS::MainCommandQueue, -1) == 0;
}

void MarkKeyboardPressed() {
  const int32_t kb = UiId(kControlKeyboard);
  if (kb > 0) {
    Tarvelo::UiSetPressed(kb, -1);
    Tarvelo::UiPublishState(kb);
  }
}

// The notes each device slot holds down: a note-on keeps the note it started
// until the device's note-off for it. When the device goes away, or the
// program closes it, exactly those notes end (wherever a removal moved their
// keyboards' states), none that another device or the screen started since.
// one thread: value
struct DeviceNote {
  uint32_t channel;
  uint32_t note;  // MIDI note number
  Tarvelo::HeldNote held;
};
struct DeviceNotes {
  // Never held while another lock is taken.
  std::mutex lock;
  // one thread: holder of lock
  std::vector<DeviceNote> slots[kMidiDeviceSlotCount];
};
DeviceNotes g_deviceNotes;

void KeepDeviceNote(int32_t slot, uint32_t ch, uint32_t note, const Tarvelo::HeldNote& held) {
  std::lock_guard<std::mutex> hold(g_deviceNotes.lock);
  for (DeviceNote& n : g_deviceNotes.slots[slot]) {
    if (n.channel == ch && n.note == note) {
      n.held = held;
      return;
    }
  }
  g_deviceNotes.slots[slot].push_back({ch, note, held});
}

void ForgetDeviceNote(int32_t slot, uint32_t ch, uint32_t note) {
  std::lock_guard<std::mutex> hold(g_deviceNotes.lock);
  std::vector<DeviceNote>& notes = g_deviceNotes.slots[slot];
  for (std::size_t i = 0; i < notes.size(); ++i) {
    if (notes[i].channel == ch && notes[i].note == note) {
      notes[i] = notes.back();
      notes.pop_back();
      return;
    }
  }
}

// The on-screen keyboard shows what MIDI notes changed: marked here on the
// interface thread, else once for a burst through a report.
void ShowKeyboardPressed() {
  if (platform::OnInterfaceThread())
    MarkKeyboardPressed();
  else if (!g_pressPosted.exchange(true) && !PostMidiReport(kMidiReportKeyPressed, 0))
    g_pressPosted.store(false);
}

// Ends every note the slot's device still holds, as its note-offs would (the
// locked panel keyboard keeps its keys then too), on the thread that knows no
// further message of the device comes: the MIDI thread at its close message,
// the closer once MidiInClose returned. True when the slot held any.
bool ReleaseDeviceNotes(int32_t slot) {
  std::vector<DeviceNote> notes;
  {
    std::lock_guard<std::mutex> hold(g_deviceNotes.lock);
    notes.swap(g_deviceNotes.slots[slot]);
  }
  for (DeviceNote& n : notes)
    if (!PanelKeysLocked()) Tarvelo::NoteOffHeld(n.held, Tarvelo::LockedNote::kRelease);
  return !notes.empty();
}

void ForgetSlot(int32_t i) {
  MidiDeviceSlot& s = MidiDeviceTable[i];
  {
    platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
    Tarvelo::MidiDeviceMaps[i] = nullptr;
  }
  SetSlotName(s, std::string());
  s.deviceId = -1;
  s.handle = nullptr;
  s.receiving = 0;
  s.closed.store(0);
}

// The Keyboard module's instance that plays a note of channel ch of a device
// slot, 0 for none. Under MT_MIDIMAPS.
int32_t KeyboardInstanceFor(int32_t slot, uint32_t ch) {
  const Tarvelo::MidiMap* map = Tarvelo::MidiDeviceMaps[slot];
  if (map == nullptr) return 0;
  const Tarvelo::ModuleRecord* kb = map->ChannelKeyboards[ch];
  if (kb == nullptr) {
    const Tarvelo::ModuleRecord* current = Tarvelo::CurrentKeyboard.load();
    if (current != nullptr && current->MidiDeviceBinding.Load() == 0 &&
        (current->MidiChannelFilter.Load() == 0 || current->MidiChannelFilter.Load() == static_cast<int32_t>(ch) + 1))
      kb = current;
  }
  // A removal renumbers the keyboards behind it, and moves their states, under
  // this lock too: the number holds while the lock is held.
  return kb != nullptr ? kb->InstanceNumber.Load() : 0;
}

// Where a note from a device goes: the keyboard of its channel, looked up
// again with the note played in the same section.
// one thread: value
struct NoteRoute {
  int32_t slot;
  uint32_t ch;
};

void PlayNote(const MidiNote& note, const NoteRoute* route);

void HandleMidiData(int32_t slot, uint32_t message, uint32_t timeStamp) {
  const MidiMessage m{static_cast<uint32_t>(slot), message, timeStamp};
  Tarvelo::MidiMap* map = nullptr;
  {
    platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
    map = Tarvelo::MidiDeviceMaps[slot];
  }
  if (MidiUi.DisplayMidiInput != nullptr && MidiUi.DisplayMidiInput() != 0) {
    platform::MutexGuard monitor(Tarvelo::MT_MIDIMONITOR);
    CopyMidiMessage(LastMidiMessage.Message, m);
    LastMidiMessage.Map = map;
    LastMidiMessage.NewMessage = -1;
  }
  const uint32_t s = (message >> 4) & 0x0F;
  const uint32_t ch = message & 0x0F;
  const uint32_t d1 = (message >> 8) & 0xFF;
  const uint32_t d2 = (message >> 16) & 0xFF;
  if (s == 8 || s == 9) {
    // The device lets go of the note, whether or not a keyboard takes it.
    if (s == 8 || d2 == 0) ForgetDeviceNote(slot, ch, d1);
    int32_t instance = 0;
    {
      platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
      instance = KeyboardInstanceFor(slot, ch);
    }
    if (instance < 1) return;
    const NoteRoute route{slot, ch};
    PlayNote(MidiNote{d1, s == 9 ? d2 : 0u, timeStamp, static_cast<uint32_t>(instance)}, &route);
    return;
  }
  if (s < 10 || s > 14) return;  // system messages, or no status at all
  const float value = static_cast<float>(d2);
  if (Tarvelo::MidiLearnArmed.load() > 0 && !platform::OnInterfaceThread()) {
    QUARLE_BASICS::CommandMessage msg{};
    msg.type = kMidiReportLearn;
    msg.arg1 = static_cast<uint32_t>(slot);
    msg.arg2 = d1;
    msg.arg3 = ch;
    msg.single1 = value;
    msg.single2 = static_cast<float>(timeStamp);
    msg.timeStamp = platform::HighResClock();
    if (QUARLE_BASICS::MainCommandQueue >= 0) QUARLE_BASICS::PostCommand(msg, QUARLE_BASICS::MainCommandQueue, -1);
    return;
  }
  if (Tarvelo::MidiLearnArmed.load() > 0) {
    platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
    // Read again under the lock: the interface may have disarmed meanwhile.
    const int32_t armed = Tarvelo::MidiLearnArmed.load();
    if (armed > 0) Tarvelo::MidiLearnBind(slot, static_cast<int32_t>(d1), static_cast<int32_t>(ch), armed);
  }
  Tarvelo::MidiControlChange(slot, static_cast<int32_t>(d1), static_cast<int32_t>(ch), value,
                             static_cast<float>(timeStamp));
}

}  // namespace

void CopyMidiMessage(MidiMessage& dst, const MidiMessage& src) {
  dst.Slot = src.Slot;
  dst.Message = src.Message;
  dst.TimeStamp = src.TimeStamp;
}

int32_t InitMidiControllerTypes() {
  static const char* const kDefaults[kMidiControllerTypeCount] = {
      "[ Auto-detect ]", "Standard", "Button", "Pressure Pad", "Endless, 64-rel.", "Endless, bounded"};
  for (int32_t i = 0; i < kMidiControllerTypeCount; ++i) {
    const std::string text = LangText(105 + static_cast<uint32_t>(i), kDefaults[i]);
    std::memset(MidiControllerTypeNames[i], 0, kMidiControllerTypeBytes);
    std::memcpy(MidiControllerTypeNames[i], text.data(),
                text.size() < kMidiControllerTypeBytes - 1 ? text.size() : kMidiControllerTypeBytes - 1);
  }
  if (MT_MIDIDEVICES == nullptr) MT_MIDIDEVICES = platform::MutexCreate();
  if (MT_MIDIDEVICES == nullptr) return -QUARLE_BASICS::kErrAllocation;
  Tarvelo::MidiDevices.TableLock = &TableLockHook;
  Tarvelo::MidiDevices.SlotName = &SlotNameHook;
  return 0;
}

int32_t FindFreeMidiSlot() {
  for (int32_t i = 0; i < kMidiDeviceSlotCount; ++i) {
    const MidiDeviceSlot& s = MidiDeviceTable[i];
    if (s.closed.load() == 0 && s.deviceId == -1 && s.handle == nullptr) return i;
  }
  return -1;
}

namespace {

// Opens and starts the slot's device as far as that has not been done; a step
// that fails is reported and left for the next scan.
void ConnectSlot(int32_t slot, const std::string& name) {
  MidiDeviceSlot& s = MidiDeviceTable[slot];
  if (s.handle == nullptr) {
    const uint32_t r = platform::MidiInOpen(&s.handle, static_cast<uint32_t>(s.deviceId),
                                            MidiInCallback, static_cast<uintptr_t>(slot));
    if (r != platform::kMidiOk) {
      s.handle = nullptr;
      Report(LangText(115, "Error connecting to ") + name + ": " + ErrorText(39 + static_cast<int32_t>(r)),
             QUARLE_BASICS::kLevelError);
      return;
    }
    Report(LangText(112, "Now connected to ") + name, QUARLE_BASICS::kLevelInfo);
  }
  if (s.receiving != 0) return;
  const uint32_t r = platform::MidiInStart(s.handle);
  if (r != platform::kMidiOk) {
    Report(LangText(114, "Error starting ") + name + ": " + ErrorText(39 + static_cast<int32_t>(r)),
           QUARLE_BASICS::kLevelError);
    return;
  }
  s.receiving = -1;
  Report(LangText(113, "Receiving data from ") + name, QUARLE_BASICS::kLevelInfo);
}

}  // namespace

int32_t ScanMidiDevices() {
  if (MidiInCallback == nullptr) return 0;
  const uint32_t present = platform::MidiInDeviceCount();
  MidiDeviceCount = present < static_cast<uint32_t>(kMidiDeviceSlotCount) ? present : kMidiDeviceSlotCount;

  for (int32_t i = 0; i < kMidiDeviceSlotCount; ++i) {
    MidiDeviceSlot& s = MidiDeviceTable[i];
    if (s.closed.load() == 0) continue;
    Report(DynZStringGet(s.name) + LangText(111, " is now closed."), QUARLE_BASICS::kLevelInfo);
    // The device is gone but our side of it is still open: let it go, or every
    // unplugging would leave a port and a record behind.
    if (s.handle != nullptr) platform::MidiInClose(s.handle);
    if (ReleaseDeviceNotes(i)) ShowKeyboardPressed();
    ForgetSlot(i);
  }

  for (int64_t id = 0; id < MidiDeviceCount; ++id) {
    platform::MidiInCaps caps{};
    if (platform::MidiInGetCaps(static_cast<uint32_t>(id), &caps) != platform::kMidiOk) continue;
    const std::string name(caps.Name, strnlen(caps.Name, sizeof caps.Name));
    const int32_t known = Tarvelo::FindMidiDevice(name);
    if (known >= 0) {
      MidiDeviceTable[known].deviceId = static_cast<int32_t>(id);
      // One whose open or start failed before is tried again.
      ConnectSlot(known, name);
      continue;
    }
    const int32_t f = FindFreeMidiSlot();
    if (f < 0) continue;
    MidiDeviceSlot& s = MidiDeviceTable[f];
    s.deviceId = static_cast<int32_t>(id);
    SetSlotName(s, name);
    s.driverVersion = caps.DriverVersion;
    ConnectSlot(f, name);
  }
  return 0;
}

int32_t CheckMidiDevices() {
  platform::MutexGuard devices(MT_MIDIDEVICES);
  if (static_cast<int64_t>(platform::MidiInDeviceCount()) == MidiDeviceCount) return 0;
  ScanMidiDevices();
  RefreshMidiDeviceList(0);
  return 1;
}

void MidiInProc(platform::MidiIn* /*handle*/, uint32_t message, uintptr_t instance, uintptr_t param1,
                uintptr_t param2) {
  if (instance >= static_cast<uintptr_t>(kMidiDeviceSlotCount)) return;
  const int32_t slot = static_cast<int32_t>(instance);
  switch (message) {
    case platform::kMidiInOpen:
      HandleMidiOpen(slot);
      break;
    case platform::kMidiInClose:
      HandleMidiClose(slot);
      break;
    case platform::kMidiInData:
      HandleMidiData(slot, static_cast<uint32_t>(param1), static_cast<uint32_t>(param2));
      break;
    default:
      break;  // long data, errors
  }
}

void HandleMidiOpen(int32_t slot) {
  if (!ValidSlot(slot)) return;
  {
    platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
    const int32_t i = Tarvelo::FindMidiMapForDevice(slot);
    if (i >= 0) Tarvelo::MidiMaps[i].Claimed = -1;  // the map's connected flag
  }
  RefreshMidiDeviceList(0);
}

void HandleMidiClose(int32_t slot) {
  if (!ValidSlot(slot)) return;
  {
    platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
    Tarvelo::MidiMap* map = Tarvelo::MidiDeviceMaps[slot];
    if (map != nullptr) map->Claimed = 0;
  }
  // Its note-offs will never come. Before the slot shows closed: the scan
  // may then give it to another device.
  if (ReleaseDeviceNotes(slot)) ShowKeyboardPressed();
  MidiDeviceTable[slot].closed.store(-1);
  RefreshMidiDeviceList(0);
}

void RefreshMidiDeviceList(int64_t flag) {
  if (!platform::OnInterfaceThread()) {
    PostMidiReport(kMidiReportDevicesChanged, static_cast<uint32_t>(flag));
    return;
  }
  const int32_t devices = Tarvelo::UiControlId(Tarvelo::kControlMidiDevices);
  const int32_t controllers = devices > 0 ? devices + 1 : 0;  // created right after it
  if (MidiUi.SetSelected != nullptr) {
    if (devices > 0) MidiUi.SetSelected(devices, -1);
    if (controllers > 0) MidiUi.SetSelected(controllers, -1);
  }
  if (devices > 0) {
    Tarvelo::UiPublishText(devices, -1);
    Tarvelo::UiPublishText(controllers, -1);
  }
  const int32_t keyboards = UiId(kControlKeyboardDevices);
  if (keyboards > 0) {
    if (flag == -1 && MidiUi.SetSelected != nullptr) MidiUi.SetSelected(keyboards, 0);
    Tarvelo::UiPublishText(keyboards, -1);
  }
  if (controllers > 0 && Tarvelo::UiVisible(controllers) == -1 && MidiUi.SetVisible != nullptr) {
    MidiUi.SetVisible(devices, -1);
    MidiUi.SetVisible(controllers, 0);
  }
}

void MidiNoteToKeyboard(const MidiNote& note) { PlayNote(note, nullptr); }

namespace {

// Plays on the note's keyboard: with a route, the keyboard's number is read
// and the note written under the maps' lock in one section, which a removal's
// renumbering (and the moves of the states with it) takes as one too; a note
// never lands in an entry that is about to change hands. The tuning lock is
// taken before it (the frequency), never inside it.
template <class Play>
void PlayOnKeyboard(const MidiNote& note, const NoteRoute* route, Play play) {
  if (route == nullptr) {
    play(static_cast<int32_t>(note.Instance));
    return;
  }
  platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
  const int32_t instance = KeyboardInstanceFor(route->slot, route->ch);
  if (instance >= 1) play(instance);
}

void PlayNote(const MidiNote& note, const NoteRoute* route) {
  const bool onInterface = platform::OnInterfaceThread();
  // Off, notes start nothing, but a note off still ends the note it held:
  // it would sound again, and show held, once the output is on.
  if (AudioOutputOn() == 0 && KeyEntryMode.load() == 0 && note.Velocity != 0) {
    if (!onInterface)
      PostMidiReport(kMidiReportKeyboardsOff, 0);
    else if (MidiUi.ShowKeyboardsOff != nullptr)
      MidiUi.ShowKeyboardsOff();
    return;
  }
  // The dialog's controls are the interface's: off its thread the mode is the
  // one it last computed (it does so whenever a dialog opens or closes).
  const int64_t entry = onInterface ? RefreshKeyEntryMode() : KeyEntryMode.load();
  // Note 21 is key 0 with the start-up key offset; lower notes play nothing.
  const int32_t key = Tarvelo::MidiNoteToKey(static_cast<int32_t>(note.Key));
  if (key >= 0) {
    if (note.Velocity != 0) {
      if (entry != 0) {
        if (!onInterface)
          PostMidiReport(kMidiReportKeyFrequency, static_cast<uint32_t>(key));
        else if (MidiUi.EnterKeyFrequency != nullptr)
          MidiUi.EnterKeyFrequency(key, 0);
      } else {
        const float frequency = Tarvelo::KeyToFrequency(key);
        const float velocity = static_cast<float>(note.Velocity) / 127.0f;
        Tarvelo::HeldNote held;
        PlayOnKeyboard(note, route, [&](int32_t instance) {
          // Released first, so a repeated note starts again.
          Tarvelo::KeyNoteOff(-1, key, instance);
          Tarvelo::KeyNoteOnAt(key, frequency, velocity, instance, &held);
        });
        if (route != nullptr && held.state != nullptr) KeepDeviceNote(route->slot, route->ch, note.Key, held);
      }
    } else {
      PlayOnKeyboard(note, route, [&](int32_t instance) {
        if (!PanelKeysLocked()) Tarvelo::KeyNoteOff(-1, key, instance);
      });
    }
  }
  ShowKeyboardPressed();
}

}  // namespace

int64_t RefreshKeyEntryMode() {
  const int64_t entry = ComputeKeyEntryMode();
  KeyEntryMode.store(entry);
  return entry;
}

bool HandleMidiReport(const QUARLE_BASICS::CommandMessage& msg) {
  switch (msg.type) {
    case kMidiReportKeyboardsOff:
      if (MidiUi.ShowKeyboardsOff != nullptr) MidiUi.ShowKeyboardsOff();
      return true;
    case kMidiReportKeyFrequency:
      // The dialog may have closed since the key was played.
      if (RefreshKeyEntryMode() != 0 && MidiUi.EnterKeyFrequency != nullptr)
        MidiUi.EnterKeyFrequency(static_cast<int32_t>(msg.arg1), 0);
      return true;
    case kMidiReportKeyPressed:
      g_pressPosted.store(false);
      RefreshKeyEntryMode();
      MarkKeyboardPressed();
      return true;
    case kMidiReportDevicesChanged:
      RefreshMidiDeviceList(static_cast<int64_t>(static_cast<int32_t>(msg.arg1)));
      return true;
    case kMidiReportLearn: {
      const auto slot = static_cast<int32_t>(msg.arg1), controller = static_cast<int32_t>(msg.arg2),
                 channel = static_cast<int32_t>(msg.arg3);
      {
        platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
        // Disarmed since the move was posted: it only moves what it is bound to.
        const int32_t armed = Tarvelo::MidiLearnArmed.load();
        if (armed > 0) Tarvelo::MidiLearnBind(slot, controller, channel, armed);
      }
      Tarvelo::MidiControlChange(slot, controller, channel, msg.single1, msg.single2);
      return true;
    }
    default:
      return false;
  }
}

void CloseMidiInput() {
  MidiInCallback = nullptr;
  {
    platform::MutexGuard devices(MT_MIDIDEVICES);
    {
      // The maps stay with the engine, no longer connected to any slot.
      platform::MutexGuard maps(Tarvelo::MT_MIDIMAPS);
      for (Tarvelo::MidiMap*& map : Tarvelo::MidiDeviceMaps) {
        if (map != nullptr) map->Claimed = 0;
        map = nullptr;
      }
    }
    for (int32_t i = 0; i < kMidiDeviceSlotCount; ++i) {
      MidiDeviceSlot& s = MidiDeviceTable[i];
      if (s.handle != nullptr) platform::MidiInClose(s.handle);
      // No callback of it runs now: its held notes end here (nothing is shown,
      // the interface is going).
      ReleaseDeviceNotes(i);
      s.handle = nullptr;
      s.deviceId = -1;
      s.receiving = 0;
      s.closed.store(0);
      std::lock_guard<std::mutex> hold(g_nameLock);
      QUARLE_BASICS::DynZStringFree(s.name);
    }
    MidiDeviceCount = 0;
  }
  platform::MidiInShutdown();
  Tarvelo::MidiDevices = Tarvelo::MidiDeviceHooks{};
  platform::MutexDestroy(MT_MIDIDEVICES);
  MT_MIDIDEVICES = nullptr;
}

}  // namespace QUARLE_AUDIO
