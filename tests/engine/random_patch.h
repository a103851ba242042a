// Random synths from a seed, built and played through the engine calls the
// interface makes: modules of every type added from the catalog, links made
// and cut as the synth plane makes them (self-links, cycles and diamonds
// included), settings that include NaN, infinities, denormals and zero,
// switches pressed as the module page presses them, sounds and melodies
// attached and detached, tunings applied, controller moves past the queue's
// length, copies under a frame hold, deletions and keys on up to 32 voices.
// Header only: any test program with tests/ on its include path can use it
// around its own engine set-up (Tarvelo::init, the wave library lists and the
// tuning locks, as testing_synth::SynthTest makes them).
//
// What a seed makes depends only on the seed and on what the engine does, so
// two runs of one seed on one engine set-up are comparable bit for bit.
#pragma once
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "app/state/wave_library.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/module.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"

namespace Tarvelo {
namespace random_patch {

// A small generator of its own (splitmix64): the same numbers on every
// standard library.
struct Rng {
  uint64_t state;
  explicit Rng(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. n - 1 (0 for n <= 0).
  int32_t Below(int32_t n) { return n <= 0 ? 0 : static_cast<int32_t>(Next() % static_cast<uint64_t>(n)); }
  bool OneIn(int32_t n) { return Below(n) == 0; }
  // [0, 1).
  float Unit() { return static_cast<float>(Next() >> 40) * (1.0f / 16777216.0f); }
};

// A setting: mostly ordinary values, now and then one a kernel must survive.
inline float RandomValue(Rng& rng) {
  constexpr float kOdd[] = {std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            1.0e-40f,
                            -1.0e-42f,
                            0.0f,
                            -0.0f,
                            1.0e30f,
                            -3.0e9f,
                            1.0f,
                            -1.0f};
  const int32_t pick = rng.Below(10);
  if (pick == 0) return kOdd[rng.Below(static_cast<int32_t>(std::size(kOdd)))];
  if (pick <= 2) return static_cast<float>(rng.Below(65) - 32) * 0.25f;  // whole and quarter steps
  return (rng.Unit() * 2.0f - 1.0f) * (rng.OneIn(3) ? 8.0f : 1.0f);
}

// The synth being played: its live modules in the order they were added, the
// keys held, and the library entries it made (freed by FreeEntries once the
// engine is closed).
struct Patch {
  std::vector<ModuleRecord*> modules;
  struct Held {
    int32_t index;     // held-key index
    int32_t key;
    int32_t instance;  // keyboard state + 1; 0 the octave board
  };
  std::vector<Held> held;
  std::vector<WaveLibraryEntry*> entries;  // sounds
  bool playing = false;                    // playback on: changes go through the mailbox
};

inline bool Listed(const Patch& p, const ModuleRecord* m) {
  return std::find(p.modules.begin(), p.modules.end(), m) != p.modules.end();
}
inline ModuleRecord* Pick(Rng& rng, const Patch& p) {
  return p.modules.empty() ? nullptr : p.modules[static_cast<size_t>(rng.Below(static_cast<int32_t>(p.modules.size())))];
}
// A module of one of two types, or any when the patch holds neither.
inline ModuleRecord* PickOf(Rng& rng, const Patch& p, int32_t type, int32_t other) {
  std::vector<ModuleRecord*> of;
  for (ModuleRecord* m : p.modules)
    if (m->Type == type || m->Type == other) of.push_back(m);
  return of.empty() ? Pick(rng, p) : of[static_cast<size_t>(rng.Below(static_cast<int32_t>(of.size())))];
}

// A sound of `frames` frames and 1 or 2 channels, with a pitch or none.
inline WaveLibraryEntry* NewSound(Rng& rng, Patch& p, int32_t frames) {
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (e == nullptr) return nullptr;
  const int32_t channels = 1 + rng.Below(2);
  const size_t n = static_cast<size_t>(frames) * static_cast<size_t>(channels);
  e->Sound.format.channels = static_cast<int16_t>(channels);
  e->Sound.frameCount = static_cast<uint32_t>(frames);
  e->Sound.dataSize = static_cast<uint32_t>(n * 4);
  e->Sound.samples = static_cast<float*>(std::calloc(n + 1, 4));
  for (size_t i = 0; i < n; ++i) e->Sound.samples[i] = rng.OneIn(50) ? RandomValue(rng) : std::sin(0.05f * static_cast<float>(i));
  e->Pitch[0] = rng.OneIn(3) ? 0.0f : 50.0f + 400.0f * rng.Unit();
  e->LoadState = kWaveDataHeld;
  p.entries.push_back(e);
  return e;
}

// A melody entry listed in the melody library: `notes` notes, random when
// `play`, else zeros to record into.
inline WaveLibraryEntry* NewMelody(Rng& rng, int32_t notes, bool play) {
  if (WaveLibraryListReserve(MelodyLibrary) != 0) return nullptr;
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (e == nullptr) return nullptr;
  const size_t n = 6 + 4 * static_cast<size_t>(notes);
  e->Sound.samples = static_cast<float*>(std::calloc(n + 1, sizeof(float)));
  if (play) {
    e->Sound.samples[0] = static_cast<float>(notes);
    for (size_t i = 1; i < n; ++i) e->Sound.samples[i] = rng.OneIn(20) ? RandomValue(rng) : rng.Unit() * 2.0f;
  }
  e->Sound.dataSize = static_cast<uint32_t>(n * 4);
  e->LoadState = kWaveDataHeld;
  WaveLibraryListCommit(MelodyLibrary, e);
  return e;
}

// After Tarvelo::close: the sounds the patch made (melodies belong to the
// melody library and go with its lists).
inline void FreeEntries(Patch& p) {
  for (WaveLibraryEntry* e : p.entries) WaveLibraryEntryDelete(e);
  p.entries.clear();
}

// A module of the type added from the catalog, as the module list's Add does.
inline ModuleRecord* AddOfType(Patch& p, int32_t type) {
  ModuleRecord* m = nullptr;
  if (AddModule(type, true, &m) < 0 || m == nullptr) return nullptr;
  p.modules.push_back(m);
  return m;
}

// Links (or, given the port's current source, unlinks) a port as the synth
// plane does.
inline void LinkPort(ModuleRecord* m, int32_t port, ModuleRecord* source) {
  if (m == nullptr || port < 0 || port >= std::min(m->PortCount, kModuleParams)) return;
  PostLinkInput(m, port, source, m->Type);
  if (port == m->VoiceMapSourcePort.Load() && m->PortSources[port].Load() != source) ModuleSetPolyphonyPort(*m, -1);
}

// A setting through the value editors' path (queued while playback runs).
inline void SetRandomValue(Rng& rng, ModuleRecord* m) {
  const int32_t count = std::min(m->ParamCount, kModuleParams);
  if (count <= 0) return;
  SetParamValueOrQueue(*m, rng.Below(count), RandomValue(rng));
}

// The module page's per-voice switch, for a module that may follow its lead
// or not: the order is rebuilt.
inline void PressPerVoice(ModuleRecord* m) {
  if (m->PolyphonyCapability != 2) return;
  Shared<int64_t>& word = m->ModuleSwitches[kSwitchPerVoice];
  m->PolyphonyMode.Store(word.Load() == 0 ? 1 : 0);
  word.Store(word.Load() != 0 ? 0 : -1);
  RequestGraphRebuild(0, 0, nullptr);
}

// PLAY as the page presses it: the render writes the switch too (a pass
// end) and clears the phases of a start with autorewind, so it takes the
// flip at its next frame boundary (at once where it cannot reach m).
inline void PressPlay(ModuleRecord* m) { PostPlaySwitch(m, m->ModuleSwitches[kSwitchPlay].Load() != 0 ? 0 : -1); }

// A module-page switch pressed: power, per voice, play, record, rewind, loop,
// the feedback kick-start, the lead port. What changes the order rebuilds it.
inline void PressSwitch(Rng& rng, ModuleRecord* m) {
  Shared<int64_t>* w = m->ModuleSwitches;
  auto invert = [](Shared<int64_t>& word) { word.Store(word.Load() != 0 ? 0 : -1); };
  switch (rng.Below(7)) {
    case 0:
      invert(w[kSwitchPower]);
      RequestGraphRebuild(0, 0, nullptr);
      break;
    case 1:
      PressPerVoice(m);
      break;
    case 2:
      PressPlay(m);
      break;
    case 3:
      invert(w[kSwitchRewind]);
      break;
    case 4:
      invert(w[kSwitchLoop]);
      break;
    case 5:
      invert(w[kSwitchFeedbackVoice]);
      break;
    default: {
      const int32_t ports = std::min(m->PortCount, kModuleParams);
      const int32_t port = rng.OneIn(3) || ports <= 0 ? -1 : rng.Below(ports);
      ModuleSetPolyphonyPort(*m, port == m->VoiceMapSourcePort.Load() ? -1 : port);
      RequestGraphRebuild(0, 0, nullptr);
      break;
    }
  }
}

// A synth output, random links and settings between the modules given, and
// the Keyboard playing into the output's chain.
inline void LinkRandomly(Rng& rng, Patch& p, int32_t links) {
  for (int32_t i = 0; i < links && !p.modules.empty(); ++i) {
    ModuleRecord* m = Pick(rng, p);
    const int32_t ports = std::min(m->PortCount, kModuleParams);
    if (ports <= 0) continue;
    // One in eight reads itself; the rest any module, which closes cycles and
    // diamonds as often as it happens to.
    ModuleRecord* source = rng.OneIn(8) ? m : Pick(rng, p);
    LinkPort(m, rng.Below(ports), source);
  }
}

// Builds a synth of a Keyboard, the types in `include` and `count` modules
// more: their types drawn from the seed, every one of the catalog's types as
// likely.
inline void BuildPatch(Rng& rng, Patch& p, int32_t count, const std::vector<int32_t>& include = {}) {
  ModuleRecord* kb = AddOfType(p, kTypeKeyboard);
  if (kb != nullptr && rng.Below(4) != 0) {
    kb->ModuleSwitches[kSwitchPerVoice].Store(-1);
    kb->PolyphonyMode.Store(1);
  }
  for (int32_t type : include) AddOfType(p, type);
  for (int32_t i = 0; i < count; ++i) AddOfType(p, rng.Below(kModuleTypeCount));
  for (ModuleRecord* m : p.modules) {
    if (m->PolyphonyCapability == 2 && rng.OneIn(2)) {
      m->ModuleSwitches[kSwitchPerVoice].Store(-1);
      m->PolyphonyMode.Store(1);
    }
    const int32_t settings = rng.Below(4);
    for (int32_t s = 0; s < settings; ++s) SetRandomValue(rng, m);
    if (m->Type == kTypeSample && rng.OneIn(2)) PostAttachWave(m, NewSound(rng, p, 64 + rng.Below(2000)), 0);
    if ((m->Type == kTypeMelodyGenerator || m->Type == kTypeSequencer) && rng.OneIn(2))
      PostAttachWave(m, NewMelody(rng, 1 + rng.Below(8), true), 0);
  }
  // A chain from the Keyboard to the output first, then links anywhere.
  ModuleRecord* out = p.modules[static_cast<size_t>(rng.Below(static_cast<int32_t>(p.modules.size())))];
  ModuleRecord* from = kb;
  for (int32_t step = 0; step < 3 && from != nullptr; ++step) {
    ModuleRecord* to = step == 2 ? out : Pick(rng, p);
    const int32_t ports = std::min(to->PortCount, kModuleParams);
    if (ports > 0) LinkPort(to, rng.Below(ports), from);
    from = to;
  }
  LinkRandomly(rng, p, static_cast<int32_t>(p.modules.size()) * 2);
  RequestGraphRebuild(0, 0, out);
}

// A key pressed or released on a Keyboard's state or the octave board, up to
// 32 held at once.
inline void PlayRandomNote(Rng& rng, Patch& p) {
  if (!p.held.empty() && (p.held.size() >= 32 || rng.OneIn(2))) {
    const size_t i = static_cast<size_t>(rng.Below(static_cast<int32_t>(p.held.size())));
    const Patch::Held h = p.held[i];
    if (h.instance > 0)
      KeyNoteOff(h.index, h.key, h.instance);
    else
      OctaveNoteOff(h.index, h.key);
    p.held.erase(p.held.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
  std::vector<int32_t> instances;
  bool octave = false;
  for (const ModuleRecord* m : p.modules) {
    if (m->Type == kTypeKeyboard && m->InstanceNumber.Load() >= 1) instances.push_back(m->InstanceNumber.Load());
    octave |= m->Type == kTypeOctaveBoard;
  }
  if (instances.empty() && !octave) return;
  const int32_t key = 20 + rng.Below(60);
  const float velocity = rng.OneIn(10) ? 0.0f : rng.Unit();
  if (instances.empty() || (octave && rng.OneIn(4))) {
    const int32_t h = OctaveNoteOn(key % 12, velocity);
    if (h >= 0) p.held.push_back({h, key % 12, 0});
    return;
  }
  const int32_t instance = instances[static_cast<size_t>(rng.Below(static_cast<int32_t>(instances.size())))];
  const int32_t h = KeyNoteOn(key, velocity, instance);
  if (h >= 0) p.held.push_back({h, key, instance});
}

// The kinds of ApplyRandomAction, for tests that count what they did.
enum Action : int32_t {
  kActLink,
  kActUnlink,
  kActSwitch,
  kActValue,
  kActMoves,  // more controller moves than the queue holds
  kActSound,  // attach, record into or detach a sound
  kActMelody,
  kActTuning,
  kActCopy,
  kActDelete,
  kActAdd,
  kActNote,
  kActionKinds
};

// One change of the kind given, as the interface makes it.
inline int32_t ApplyAction(Rng& rng, Patch& p, int32_t kind) {
  ModuleRecord* m = Pick(rng, p);
  if (m == nullptr) return kind;
  switch (kind) {
    case kActLink:
      LinkRandomly(rng, p, 1);
      break;
    case kActUnlink: {
      const int32_t ports = std::min(m->PortCount, kModuleParams);
      if (ports > 0) {
        const int32_t port = rng.Below(ports);
        LinkPort(m, port, m->PortSources[port].Load());
      }
      break;
    }
    case kActSwitch:
      PressSwitch(rng, m);
      break;
    case kActValue:
      for (int32_t i = rng.Below(4); i >= 0; --i) SetRandomValue(rng, Pick(rng, p));
      break;
    case kActMoves:
      for (int32_t i = 0; i < 300; ++i) SetRandomValue(rng, m);
      break;
    case kActSound:
      m = PickOf(rng, p, kTypeSample, kTypeOscillator);
      if (m->Type == kTypeSample || m->Type == kTypeOscillator) {
        if (rng.OneIn(3)) {
          PostDetachWave(m);
        } else if (rng.OneIn(2) && m->Type == kTypeSample) {
          // A take: recorded into a blank sound, ended now or later.
          PostAttachWave(m, NewSound(rng, p, 32 + rng.Below(600)), ~uint64_t{0});
          if (rng.OneIn(2)) PostFinishTake(m);
        } else {
          PostAttachWave(m, NewSound(rng, p, 16 + rng.Below(3000)), 0);
        }
      }
      break;
    case kActMelody:
      m = PickOf(rng, p, kTypeSequencer, kTypeMelodyGenerator);
      if (m->Type == kTypeSequencer || m->Type == kTypeMelodyGenerator) {
        const bool record = m->Type == kTypeSequencer && rng.OneIn(2);
        PostAttachWave(m, rng.OneIn(4) ? nullptr : NewMelody(rng, 1 + rng.Below(16), !record),
                       record ? ~uint64_t{0} : 0);
        if (rng.OneIn(2)) PressPlay(m);
      }
      break;
    case kActTuning: {
      platform::MutexLock(MT_TUNINGS[kActiveTuning]);
      TuningSetNoteCount(ActiveTuning, 1 + rng.Below(40));
      platform::MutexUnlock(MT_TUNINGS[kActiveTuning]);
      RequestTuningApply();
      break;
    }
    case kActCopy: {
      ModuleRecord* copy = nullptr;
      {
        FrameHold hold;
        if (AddModule(m->ListIndex.Load(), false, &copy) < 0) copy = nullptr;
      }
      if (copy != nullptr) p.modules.push_back(copy);
      break;
    }
    case kActDelete:
      if (p.modules.size() > 2) {
        p.modules.erase(std::find(p.modules.begin(), p.modules.end(), m));
        if (m->Type == kTypeKeyboard || m->Type == kTypeOctaveBoard) {
          const bool octave = m->Type == kTypeOctaveBoard;
          std::erase_if(p.held, [&](const Patch::Held& h) {
            return octave ? h.instance == 0 : h.instance == m->InstanceNumber.Load();
          });
        }
        RemoveModule(m);
      }
      break;
    case kActAdd:
      if (AddOfType(p, rng.Below(kModuleTypeCount)) != nullptr) LinkRandomly(rng, p, 2);
      break;
    default:
      // Now and then a handful of keys at once, up to every voice.
      for (int32_t n = rng.OneIn(4) ? 4 + rng.Below(29) : 1; n > 0; --n) PlayRandomNote(rng, p);
      break;
  }
  return kind;
}

// One change of any kind made while the synth plays.
inline int32_t ApplyRandomAction(Rng& rng, Patch& p) { return ApplyAction(rng, p, rng.Below(kActionKinds)); }

// Every key the patch holds let go, latest first.
inline void ReleaseAll(Patch& p) {
  for (; !p.held.empty(); p.held.pop_back()) {
    const Patch::Held h = p.held.back();
    if (h.instance > 0)
      KeyNoteOff(h.index, h.key, h.instance);
    else
      OctaveNoteOff(h.index, h.key);
  }
}

// A hash of floats and words, FNV-1a; every NaN counts as one value.
struct Hash {
  uint64_t h = 0xCBF29CE484222325ull;
  void Word(uint64_t w) {
    for (int32_t i = 0; i < 8; ++i) {
      h ^= (w >> (8 * i)) & 0xFF;
      h *= 0x100000001B3ull;
    }
  }
  void Float(float x) { Word(std::isnan(x) ? 0x7FC00000u : std::bit_cast<uint32_t>(x)); }
};

// What a frame leaves in a module that the render's shortcuts could change:
// its voices and every voice's output on both channels.
inline void HashModule(Hash& hash, const ModuleRecord& m) {
  hash.Word(static_cast<uint64_t>(static_cast<uint32_t>(m.ActiveVoices.Load())));
  for (int32_t ch = 0; ch < 2; ++ch)
    for (int32_t v = 0; v < kVoices; ++v) {
      hash.Float(m.Outputs[ch][v].Level);
      hash.Float(m.Outputs[ch][v].Frequency);
    }
}

}  // namespace random_patch
}  // namespace Tarvelo
