// Note entry on the keyboard and octave-board banks.
#include "engine/notes.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/module.h"
#include "engine/params.h"
#include "engine/valueedit.h"
#include "engine/tuning.h"

namespace Tarvelo {

using platform::Mutex;
using platform::MutexGuard;

Shared<int32_t> CurrentKeyboardIndex{0};
Shared<int32_t> CurrentOctaveBoardIndex{0};
const int32_t TimeBases[4] = {2, 3, 5, 7};
Shared<int32_t> TimeBaseIndex{0};
OctaveBoardKeyRange OctaveBoardKeyRanges[3] = {{22, 9}, {14, 6}, {10, 4}};
PortListRow PortListRows[kPortListRows] = {};
std::atomic<int32_t> PortListCount{0};
std::atomic<void (*)()> HeldNoteLookMissed{nullptr};
MidiKeyPair MidiKeyMapping[kKeyboardBankSize] = {
    {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21},
    {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21}, {0, -21}};

namespace {

// One bank entry with its two locks. Removing a module may swap the states of
// two entries (under both voices locks), so the state pointer is read only while
// the entry's voices lock is held. slot is null for an index outside 0..15.
// one thread: value
struct Bank {
  Shared<KeyboardState*>* slot = nullptr;
  Mutex* voices = nullptr;
  Mutex* keys = nullptr;
};

Bank KeyboardBank(int32_t index) {
  if (index < 0 || index >= kKeyboardBankSize) return {};
  return {&KeyboardStates[index], KeyboardVoiceLocks[index], KeyboardKeyLocks[index]};
}

Bank OctaveBank(int32_t index) {
  if (index < 0 || index >= kKeyboardBankSize) return {};
  return {&OctaveBoardStates[index], OctaveBoardVoiceLocks[index], OctaveBoardKeyLocks[index]};
}

Bank KeyboardOfInstance(int32_t instance) {
  return KeyboardBank(instance > 0 ? instance - 1 : CurrentKeyboardIndex.Load());
}

// MaxFrequency is RateQuarter.
float CapFrequency(float f) { return f <= RateQuarter ? f : RateQuarter; }

int32_t ActiveNoteCount() {
  MutexGuard guard(MT_TUNINGS[kActiveTuning]);
  return ActiveTuning.NoteCount > 0 ? ActiveTuning.NoteCount : 1;
}

int32_t ClampToInt32(int64_t k) {
  return static_cast<int32_t>(std::clamp<int64_t>(k, INT32_MIN, INT32_MAX));
}

// The frequency is taken before any keyboard lock: the tuning lock is never
// held inside one.
int32_t NoteOnIn(const Bank& bank, int32_t key, float frequency, float velocity, HeldNote* held = nullptr) {
  if (!bank.slot) return -1;
  MutexGuard voices(bank.voices);
  KeyboardState* state = bank.slot->Load();
  if (!state) return -1;
  const int32_t h = HeldKeyReserve(*state, bank.keys);
  if (h < 0) return -1;
  if (velocity == 0.0f) velocity = 1.0f;
  const int32_t voice = NoteOn(*state, frequency, velocity);
  // The entry is filled under both locks, so a release never sees half of it.
  MutexGuard keys(bank.keys);
  HeldKey& e = state->HeldKeys[h];
  if (voice < 0) {
    e.Voice.Store(kHeldKeyFree);
    return -1;
  }
  StoreHeldKey(e, static_cast<uint32_t>(state->Stamp.Load()), static_cast<uint32_t>(key), voice);
  const uint32_t generation = NextHeldKeyGeneration(*state, h);
  if (held) *held = HeldNote{state, h, generation, held->board};
  return h;
}

// The held key's voice is looked up and changed under both locks: a voice that
// was released, freed and started again for another key is never touched.
int32_t SlideIn(const Bank& bank, int32_t heldKey, int32_t key, float frequency, float velocity,
                bool keyWithoutVoice) {
  if (!bank.slot || heldKey < 0 || heldKey >= kHeldKeyCount) return 0;
  MutexGuard voices(bank.voices);
  KeyboardState* state = bank.slot->Load();
  if (!state) return 0;
  MutexGuard keys(bank.keys);
  HeldKey& e = state->HeldKeys[heldKey];
  const int32_t voice = e.Voice.Load();
  if (voice >= 0) SlideVoice(*state, voice, frequency, velocity);
  if (voice >= 0 || keyWithoutVoice) e.Key.Store(static_cast<uint32_t>(key));
  return 0;
}

int32_t NoteOffIn(const Bank& bank, int32_t heldKey, int32_t key) {
  if (!bank.slot) return 0;
  MutexGuard voices(bank.voices);
  KeyboardState* state = bank.slot->Load();
  if (!state) return 0;
  MutexGuard keys(bank.keys);
  if (heldKey == -1) heldKey = FindHeldKey(*state, static_cast<uint32_t>(key));
  if (heldKey < 0 || heldKey >= kHeldKeyCount) return 0;
  HeldKey& e = state->HeldKeys[heldKey];
  const int32_t voice = e.Voice.Load();
  if (voice < 0) return 0;
  NoteOff(*state, voice);
  e.Voice.Store(kHeldKeyFree);
  return -1;
}

// The bank entry that holds the kept note's state now, its voices lock taken
// (a removal moves a state only under it); no slot when none holds it: the
// state went with the banks, and its notes with it.
Bank LockBankOf(const HeldNote& note) {
  if (note.state == nullptr || note.entry < 0 || note.entry >= kHeldKeyCount) return {};
  const Shared<KeyboardState*>* bank = note.board ? OctaveBoardStates : KeyboardStates;
  Mutex* const* voiceLocks = note.board ? OctaveBoardVoiceLocks : KeyboardVoiceLocks;
  Mutex* voices = LockEntryOf(bank, voiceLocks, note.state, -1);
  for (int32_t k = 0; voices && k < kKeyboardBankSize; ++k)
    if (voiceLocks[k] == voices) return note.board ? OctaveBank(k) : KeyboardBank(k);
  if (voices) platform::MutexUnlock(voices);
  if (void (*missed)() = HeldNoteLookMissed.load(std::memory_order_relaxed)) missed();
  // The unlocked look can miss a state that moves while it looks; a release
  // that gave up here would leave its note on for good. With every voices
  // lock held (in entry order, as a removal takes them) nothing moves.
  for (int32_t k = 0; k < kKeyboardBankSize; ++k) platform::MutexLock(voiceLocks[k]);
  int32_t found = -1;
  for (int32_t k = 0; k < kKeyboardBankSize && found < 0; ++k)
    if (bank[k].Load() == note.state) found = k;
  for (int32_t k = 0; k < kKeyboardBankSize; ++k)
    if (k != found) platform::MutexUnlock(voiceLocks[k]);
  if (found < 0) return {};
  return note.board ? OctaveBank(found) : KeyboardBank(found);
}

// Does the entry still hold the note the press started? Under both locks.
bool StillHeld(const HeldNote& note) {
  return HeldKeyGeneration(*note.state, note.entry) == note.generation &&
         note.state->HeldKeys[note.entry].Voice.Load() >= 0;
}

void ReleaseBank(const Bank& bank, bool playing) {
  if (!bank.slot) return;
  MutexGuard voices(bank.voices);
  KeyboardState* state = bank.slot->Load();
  if (!state) return;
  if (playing) {
    KbPostPending(*state, kPendingReset);
  } else {
    ResetKeyboardState(*state, bank.keys);
  }
}

// Guards the rows and their name texts between the refill and the readers.
std::mutex PortListLock;

}  // namespace

int32_t MidiNoteToKey(int32_t note) {
  const MidiKeyPair& pair = MidiKeyMapping[0];
  const int64_t n = ActiveNoteCount();
  return ClampToInt32(int64_t{note} + pair.KeyOffset + int64_t{pair.OctaveShift} * n);
}

int32_t WrapKeyIndex(int32_t key) {
  const int64_t n = ActiveNoteCount();
  int64_t k = key;
  const Bank bank = KeyboardBank(CurrentKeyboardIndex.Load());
  if (bank.slot) {
    MutexGuard voices(bank.voices);
    if (const KeyboardState* state = bank.slot->Load()) k += state->KeyOffset.Load();
  }
  if (k > 8 * n) k -= 17 * n;
  if (k < -8 * n) k += 17 * n;
  return ClampToInt32(k);
}

float KeyToFrequency(int32_t key) {
  float f;
  int64_t o;
  {
    MutexGuard guard(MT_TUNINGS[kActiveTuning]);
    const int64_t n = ActiveTuning.NoteCount > 0 ? ActiveTuning.NoteCount : 1;
    o = static_cast<int64_t>(std::floor(static_cast<double>(key) / static_cast<double>(n)));
    const int64_t i = key - n * o;
    f = ActiveTuning.ReferencePitch * TuningGetSecondValue(ActiveTuning, static_cast<int32_t>(i));
  }
  f = static_cast<float>(static_cast<double>(f) * std::exp2(static_cast<double>(o - 4)));
  return CapFrequency(f);
}

float OctaveKeyToFrequency(int32_t key) {
  const int32_t t = std::clamp(TimeBaseIndex.Load(), 0, 2);
  const OctaveBoardKeyRange& range = OctaveBoardKeyRanges[t];
  const int64_t exponent = int64_t{range.Count} - range.Below - key - 1;
  const double f = std::pow(static_cast<double>(TimeBases[t]), static_cast<double>(exponent));
  return CapFrequency(static_cast<float>(f));
}

int32_t KeyNoteOn(int32_t key, float velocity, int32_t instance) {
  return KeyNoteOnAt(key, KeyToFrequency(key), velocity, instance);
}

int32_t KeyNoteOnAt(int32_t key, float frequency, float velocity, int32_t instance, HeldNote* held) {
  if (held) *held = HeldNote{};
  const Bank bank = KeyboardOfInstance(instance);
  if (!bank.slot) return -1;
  return NoteOnIn(bank, key, frequency, velocity, held);
}

int32_t KeyNoteSlide(int32_t heldKey, int32_t key, float velocity) {
  if (heldKey < 0) return 0;
  const Bank bank = KeyboardBank(CurrentKeyboardIndex.Load());
  return SlideIn(bank, heldKey, key, KeyToFrequency(key), velocity, false);
}

int32_t KeyNoteOff(int32_t heldKey, int32_t key, int32_t instance) {
  return NoteOffIn(KeyboardOfInstance(instance), heldKey, key);
}

int32_t OctaveNoteOn(int32_t key, float velocity) {
  const Bank bank = OctaveBank(CurrentOctaveBoardIndex.Load());
  if (!bank.slot) return -1;
  return NoteOnIn(bank, key, OctaveKeyToFrequency(key), velocity);
}

int32_t OctaveNoteSlide(int32_t heldKey, int32_t key, float velocity) {
  if (heldKey < 0) return 0;
  const Bank bank = OctaveBank(CurrentOctaveBoardIndex.Load());
  return SlideIn(bank, heldKey, key, OctaveKeyToFrequency(key), velocity, true);
}

int32_t OctaveNoteOff(int32_t heldKey, int32_t key) {
  return NoteOffIn(OctaveBank(CurrentOctaveBoardIndex.Load()), heldKey, key);
}

HeldNote KeyNoteOnHeld(int32_t key, float velocity) {
  HeldNote note;
  NoteOnIn(KeyboardBank(CurrentKeyboardIndex.Load()), key, KeyToFrequency(key), velocity, &note);
  return note;
}

HeldNote OctaveNoteOnHeld(int32_t key, float velocity) {
  HeldNote note;
  note.board = true;
  NoteOnIn(OctaveBank(CurrentOctaveBoardIndex.Load()), key, OctaveKeyToFrequency(key), velocity, &note);
  return note;
}

int32_t NoteOffHeld(HeldNote& note, LockedNote locked) {
  const HeldNote kept = note;
  note = HeldNote{};
  const Bank bank = LockBankOf(kept);
  if (!bank.slot) return 0;
  int32_t result = 0;
  {
    MutexGuard keys(bank.keys);
    KeyboardState& state = *kept.state;
    HeldKey& e = state.HeldKeys[kept.entry];
    bool end = StillHeld(kept);
    if (end && state.LockFlag.Load() != 0 && locked != LockedNote::kRelease)
      end = locked == LockedNote::kDropDuplicate && FindOtherHeldKey(state, e.Key.Load(), kept.entry) >= 0;
    if (end) {
      NoteOff(state, e.Voice.Load());
      e.Voice.Store(kHeldKeyFree);
      result = -1;
    }
  }
  platform::MutexUnlock(bank.voices);
  return result;
}

void NoteSlideHeld(const HeldNote& note, int32_t key, float velocity) {
  if (note.state == nullptr) return;
  // The frequency is taken before any keyboard lock.
  const float frequency = note.board ? OctaveKeyToFrequency(key) : KeyToFrequency(key);
  const Bank bank = LockBankOf(note);
  if (!bank.slot) return;
  {
    MutexGuard keys(bank.keys);
    HeldKey& e = note.state->HeldKeys[note.entry];
    if (StillHeld(note)) {
      SlideVoice(*note.state, e.Voice.Load(), frequency, velocity);
      e.Key.Store(static_cast<uint32_t>(key));
    }
  }
  platform::MutexUnlock(bank.voices);
}

void ReleaseAllKeys() {
  const bool playing = PlaybackActive.load() != 0;
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    ReleaseBank(KeyboardBank(i), playing);
    ReleaseBank(OctaveBank(i), playing);
  }
}

void ResetMidiMaps() {
  for (MidiMap& map : MidiMaps) ResetMidiMap(map);
}

void CopyPortTable(const ModuleRecord* module) {
  if (!module) return;
  std::lock_guard<std::mutex> hold(PortListLock);
  const int32_t count = std::clamp(module->ParamCount, 0, kPortListRows);
  for (int32_t p = 0; p < count; ++p) {
    const ModuleParam& param = module->Params[p];
    // The render links and unlinks while it plays: the word is read whole.
    const ModuleRecord* source = module->PortSources[p].Load();
    PortListRow& row = PortListRows[p];
    row.NoValueEditor = param.NoValueEditor;
    row.ReadsValueModule = source == nullptr || source->Role != kRoleLive ? -1 : 0;
    row.IsInputPort = p < module->PortCount ? -1 : 0;
    row.ChannelCountExempt = param.ChannelCountExempt;
    const char* name = param.LongName.text ? param.LongName.text : "";
    if (!row.LongName.text || std::strcmp(row.LongName.text, name) != 0) {
      const size_t len = std::strlen(name);
      char* copy = static_cast<char*>(std::malloc(len + 1));
      if (copy) std::memcpy(copy, name, len + 1);
      std::free(row.LongName.text);
      row.LongName.text = copy;
    }
    row.Value = param.Value.Load() * param.Scale;
  }
  PortListCount = count;
}

bool ReadPortListRow(int32_t item, PortListRowCopy& out) {
  std::lock_guard<std::mutex> hold(PortListLock);
  if (item < 0 || item >= kPortListRows || item >= PortListCount.load()) return false;
  const PortListRow& row = PortListRows[item];
  out.NoValueEditor = row.NoValueEditor;
  out.ReadsValueModule = row.ReadsValueModule;
  out.IsInputPort = row.IsInputPort;
  out.ChannelCountExempt = row.ChannelCountExempt;
  out.LongName = row.LongName.text ? row.LongName.text : "";
  out.Value = row.Value;
  return true;
}

void RefreshParamControl(ModuleRecord* module) {
  if (!module) return;
  const int32_t index = module->SelectedParam.Load();
  if (index < 0 || index >= kModuleParams) return;
  ModuleParam& p = module->Params[index];
  // While playing, controller moves set the value on the audio thread: it is
  // read whole, as they store it.
  const ControlRange range = LoadControlRange(p);
  float x;
  switch (ParamEditMode.Load()) {
    case 1:
      x = range.low;
      break;
    case 2:
      x = range.high;
      break;
    case 3:
      x = range.step;
      break;
    default: {
      const ModuleRecord* source = module->PortValueModules[index];
      x = p.Value.Load();
      if (source) {
        const int32_t channel = p.WriteBothChannels != 0 ? 0 : std::clamp(module->EditChannel.Load(), 0, 1);
        x = LoadValueOutput(source->Outputs[channel][0].Level);
        // While playing the value is the render's to write (it writes the
        // pair together); the field shows the channel all the same.
        if (PlaybackActive.load() == 0) p.Value.Store(x);
      }
      break;
    }
  }
  MutexGuard guard(p.Number.Lock);
  ParamValueConvertUnit(p.Number, x * p.Scale, 0, 0);
}

}  // namespace Tarvelo
