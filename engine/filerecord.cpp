#include "engine/filerecord.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "basics/errors.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/sample.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/ui_hooks.h"
#include "engine/valueedit.h"
#include "platform/threads.h"

namespace Tarvelo {

ModuleFileRecord MasterPresets[kModuleTypeCount];

static int32_t NoEntryIndex(const ModuleRecord&) { return -1; }
int32_t (*WaveEntryListIndex)(const ModuleRecord& module) = NoEntryIndex;

namespace {

constexpr int32_t kTypeEnvelopeFollower = 14;
constexpr int32_t kMaxChannelFilter = 16;   // MIDI channel 15 + 1
constexpr int32_t kMaxDeviceBinding = 16;   // device slot 15 + 1

int32_t ClampInt(int32_t x, int32_t lo, int32_t hi) { return x < lo ? lo : (x > hi ? hi : x); }

int32_t ParamsInUse(const ModuleRecord& m) { return ClampInt(m.ParamCount, 0, kModuleParams); }

// The nearest whole number of a stored float: the fallback for a NaN, the
// nearest 32-bit value for anything beyond the range.
int32_t RoundStored(float f, int32_t fallback) {
  if (std::isnan(f)) return fallback;
  double r = std::nearbyint(static_cast<double>(f));
  if (r <= -2147483648.0) return INT32_MIN;
  if (r >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(r);
}

int64_t FlagOf(uint64_t word) { return word != 0 ? -1 : 0; }

int32_t AbsClamped(int32_t x, int32_t hi) {
  int64_t a = x < 0 ? -static_cast<int64_t>(x) : x;
  return a > hi ? hi : static_cast<int32_t>(a);
}

// Stored values outside lo..hi (NaN included) count as damaged.
bool Within(float x, float lo, float hi) { return x >= lo && x <= hi; }

ModuleRecord& TemplateOf(const ModuleRecord& m) {
  int32_t t = m.Type >= 0 && m.Type < kModuleTypeCount ? m.Type : 0;
  return ModuleCatalog[t];
}

// What the binding word may hold: a Keyboard's or Octave board's device slot +
// 1, an Oscillator's wave shape; the other types keep it as stored.
int32_t SanitizedBinding(int32_t type, int32_t stored) {
  if (type == kTypeKeyboard || type == kTypeOctaveBoard)
    return stored >= 0 && stored <= kMaxDeviceBinding ? stored : 0;
  if (type == kTypeOscillator) return stored >= 0 && stored < kWaveShapeCount ? stored : 0;
  return stored;
}

void TakeDisplayFormat(ModuleParam& q, const ParamFileBlock& b) {
  if (b.DisplayWord == 0) return;
  ParamValue& pv = q.Number;
  pv.Unit = AbsClamped(b.DisplayUnit, LastUnitOf(pv.UnitFamily));
  pv.DisplayMode = AbsClamped(b.DisplayPrecision, kDisplayModes - 1);
  pv.Reserved0 = b.DisplayWord < 1 ? 1 : b.DisplayWord;
}

void ShowValue(ModuleParam& q) {
  platform::MutexGuard guard(q.Number.Lock);
  ParamValueConvertUnit(q.Number, q.Value.Load() * q.Scale, 0, 0);
}

// The frames per second of the sound held by a library entry; 0 without one.
int32_t SoundRate(const WaveLibraryEntry* entry) {
  WaveInfo info{1, 0, nullptr, 0.0f};
  if (entry == nullptr || DescribeWave == nullptr || !DescribeWave(entry, info) || info.Data == nullptr) return 0;
  return info.Rate;
}

// A Sample of an older file, whose sound has another rate than the engine's,
// stepped through its sound at the engine's rate, its F divided by the rates'
// ratio to make up for it. It now steps at the sound's rate: its F (and the
// value module's copies) grows by that ratio, so it sounds as it did.
void KeepOlderSampleSpeed(ModuleRecord& m, const WaveLibraryEntry* entry) {
  const int32_t rate = SoundRate(entry);
  if (rate <= 0 || rate == RateWhole) return;
  const double ratio = static_cast<double>(RateWhole) / static_cast<double>(rate);
  ModuleParam& q = m.Params[kSampleFrequency];
  float lo, hi;
  StoredParamBounds(q, lo, hi);
  const auto scaled = [&](float x) { return std::clamp(static_cast<float>(x * ratio), lo, hi); };
  q.Value.Store(scaled(q.Value.Load()));
  ShowValue(q);
  if (ModuleRecord* pvm = m.PortValueModules[kSampleFrequency]) {
    for (int32_t ch = 0; ch < 2; ++ch) {
      for (int32_t v = 0; v < kVoices; ++v) {
        pvm->Outputs[ch][v].Level = scaled(pvm->Outputs[ch][v].Level);
        pvm->Outputs[ch][v].Frequency = scaled(pvm->Outputs[ch][v].Frequency);
      }
    }
  }
}

// The steps a master preset and a module load share; T is the template or the
// live module.
void TakeRecord(const ModuleFileRecord& r, ModuleRecord& T, int64_t legacy, bool live) {
  const int32_t type = T.Type;
  T.MidiDeviceBinding.Store(SanitizedBinding(type, r.MidiDeviceBinding));
  T.OptionWords[0] = static_cast<int64_t>(r.OptionWords[0]);
  T.OptionWords[1] = static_cast<int64_t>(r.OptionWords[1]);
  T.MidiChannelFilter.Store(r.ChannelFilter >= 0 && r.ChannelFilter <= kMaxChannelFilter ? r.ChannelFilter : 0);

  if (T.PortCount == 0) T.OutputChannels.Store(RoundStored(r.Slots[1][32][1], T.OutputChannels.Load()));
  T.OutputChannels.Store(ClampInt(T.OutputChannels.Load(), 1, 2));

  const int32_t lastPort = T.PortCount > 0 ? T.PortCount - 1 : 0;
  int32_t chosen = RoundStored(r.Slots[0][32][1] - 1.0f, -1);
  if (chosen < -1) chosen = -1;
  if (chosen > lastPort) chosen = T.PortCount > 0 ? lastPort : -1;
  T.ChosenSourcePort = chosen;
  int32_t lead = chosen >= 0 ? chosen : T.RequiredPort;
  T.VoiceMapSourcePort.Store(ClampInt(lead, 0, lastPort));

  Shared<int64_t>* sw = T.ModuleSwitches;
  for (int32_t i = 0; i < kModuleSwitchWords; ++i) sw[i].Store(FlagOf(r.Switches[i]));
  if (T.Category == kCategoryControl && type != kTypeMapper) sw[kSwitchZeroOut].Store(-1);
  if (type == kTypeAdsr || type == kTypeEnvelopeFollower) sw[kSwitchEnvelope].Store(-1);
  if (type != kTypeSample && type != kTypeSequencer && type != kTypeMelodyGenerator && type != kTypeStepSequencer)
    sw[kSwitchPlay].Store(-1);
  if (legacy != 0 && type == kTypeOscillator) {
    sw[kSwitchLoop].Store(-1);
    sw[kSwitchRewind].Store(-1);
  }
  if (type == kTypeKeyboard || type == kTypeOctaveBoard) sw[kSwitchKillReleased].Store(sw[kSwitch1].Load() != 0 ? 0 : -1);

  if (T.PolyphonyCapability == 1) sw[kSwitchPerVoice].Store(-1);
  if (T.PolyphonyCapability == 0) sw[kSwitchPerVoice].Store(0);
  T.PolyphonyMode.Store(sw[kSwitchPerVoice].Load() != 0 ? 1 : 0);

  ModuleRecord& templ = TemplateOf(T);
  const int32_t n = ParamsInUse(T);
  for (int32_t p = 0; p < n; ++p) {
    ModuleParam& q = T.Params[p];
    const ParamFileBlock& b = r.Params[p];
    float lo, hi;
    StoredParamBounds(q, lo, hi);
    float d = q.InitialValue;

    TakeDisplayFormat(q, b);

    float v = b.Value;
    // Old files knew no retrigger factor: it plays as 1.0, in the value
    // module the envelope reads as well as in the value the page shows.
    const bool upgraded = legacy != 0 && type == kTypeAdsr && p == 7;
    if (upgraded) v = d = 1.0f;
    if (!Within(v, lo, hi)) v = d;
    q.Value.Store(v);
    ShowValue(q);

    q.Global.Store(FlagOf(b.Global));
    q.WriteBothChannels = FlagOf(b.BothChannels);
    ModuleRecord* pvm = p < kPortValueSlots ? T.PortValueModules[p] : nullptr;
    if (pvm != nullptr) {
      if (q.ChannelCountExempt == 0) {
        int32_t channels = q.WriteBothChannels != 0 ? 1 : 2;
        pvm->ChannelsProcessed.Store(channels);
        if (T.ChannelsProcessed.Load() < channels) T.ChannelsProcessed.Store(channels);
      }
      for (int32_t ch = 0; ch < 2; ++ch) {
        for (int32_t vv = 0; vv < kVoices; ++vv) {
          float level = b.Image[ch][vv][0];
          float frequency = b.Image[ch][vv][1];
          pvm->Outputs[ch][vv].Level = !upgraded && Within(level, lo, hi) ? level : v;
          pvm->Outputs[ch][vv].Frequency = !upgraded && Within(frequency, lo, hi) ? frequency : v;
        }
      }
    }

    ControlRange range{b.Image[0][32][0], b.Image[1][32][0], b.Image[2][32][0]};
    if (!(range.low >= lo)) range.low = lo;
    if (!(range.high <= hi)) range.high = hi;

    q.SideSwap = RoundStored(b.Image[0][32][1], 0) != 0 ? -1 : 0;
    q.OutputSide.Store(q.DefaultOutputSide != 0 ? 1 : 0);
    if (q.SideSwap != 0) q.OutputSide.Store(q.OutputSide.Load() ^ 1);

    ModuleParamSetIntegerFlag(q);
    // A range that holds nothing (or runs backwards) is no range to edit in.
    if (range.low >= range.high) {
      range.low = lo;
      range.high = hi;
    }
    StoreControlRange(q, range);
    ModuleParamClampStep(q);
  }

  if (live) {
    // Each port reads its own value again, or the template's when global.
    ModuleForgetSteadyPorts(T);
    for (int32_t p = 0; p < n && p < kPortValueSlots; ++p) {
      ModuleParam& q = T.Params[p];
      ModuleRecord* current = T.PortSources[p].Load();
      if (current != nullptr && current != &T && current->Role == kRoleLive) ModuleDisconnectOutput(*current, &T, p);
      ModuleDisconnectOutput(templ, &T, p);
      ModuleRecord* shared = templ.PortValueModules[p];
      if (q.Global.Load() != 0 && shared != nullptr && ModuleConnectOutput(templ, &T, p) != 0) {
        T.PortSources[p].Store(shared);
        q.PortLinkState.Store(kPortGlobal);
      } else {
        T.PortSources[p].Store(T.PortValueModules[p]);
        q.PortLinkState.Store(kPortUnlinked);
      }
    }
  }

  // Only types with ports end with the feedback seed. Files of the old layout
  // never stored one and read it as 0; a newer file's 0.0 is the user's choice.
  if (legacy != 0 && T.PortCount > 0 && n > 0) {
    ModuleParam& seed = T.Params[n - 1];
    if (seed.Value.Load() == 0.0f) {
      seed.WriteBothChannels = -1;
      seed.Value.Store(0.5f);
      ModuleRecord* pvm = n - 1 < kPortValueSlots ? T.PortValueModules[n - 1] : nullptr;
      if (pvm != nullptr) {
        pvm->Outputs[0][0] = OutputElement{0.5f, 0.5f};
        pvm->Outputs[1][0] = OutputElement{0.5f, 0.5f};
      }
      ShowValue(seed);
    }
  }

  std::memset(T.Outputs, 0, sizeof T.Outputs);
}

}  // namespace

int32_t SampleRateMark(const WaveLibraryEntry* e, int32_t olderFrequency) {
  // Every Sample with a sound is marked, also one at the engine's rate: its
  // file may later hold a sound of another rate, and unmarked its F would
  // be taken for an older file's. One missing keeps the sense its F was
  // loaded with.
  const bool marked = SoundRate(e) > 0 || (e != nullptr && olderFrequency == 0);
  return marked ? RateWhole : 0;
}

void ModuleToFileRecord(ModuleFileRecord& r, const ModuleRecord* module) {
  if (module == nullptr) return;
  const ModuleRecord& m = *module;
  if (m.BoxControl.Load() != 0 && UiVisible(m.BoxControl.Load()) == -1) {
    r.X = UiX(m.BoxControl.Load());
    r.Y = UiY(m.BoxControl.Load());
  }
  r.Type = m.Type;
  r.Instance = m.InstanceNumber.Load();
  r.MidiDeviceBinding = m.MidiDeviceBinding.Load();
  r.ProcessingDepth = m.ProcessingDepth;
  r.OptionWords[0] = static_cast<uint64_t>(m.OptionWords[0]);
  r.OptionWords[1] = static_cast<uint64_t>(m.OptionWords[1]);
  r.ChannelFilter = m.MidiChannelFilter.Load();
  r.Slots[0][32][1] = static_cast<float>(m.ChosenSourcePort + 1);
  r.Slots[1][32][1] = static_cast<float>(m.OutputChannels.Load());
  for (int32_t i = 0; i < kModuleSwitchWords; ++i) r.Switches[i] = static_cast<uint64_t>(m.ModuleSwitches[i].Load());
  r.LibraryIndex = m.SampleEntry.Load() != nullptr && WaveEntryListIndex != nullptr ? WaveEntryListIndex(m) : -1;
  if (m.Type == kTypeSample) r.SampleRateMark = SampleRateMark(m.SampleEntry.Load(), m.SampleOlderFrequency);

  const int32_t n = ParamsInUse(m);
  for (int32_t p = 0; p < n; ++p) {
    const ModuleRecord* s = m.PortSources[p].Load();
    r.PortSources[p] = s != nullptr && s->Role == kRoleLive ? s->ListIndex.Load() : -1;
    const ModuleParam& q = m.Params[p];
    ParamFileBlock& b = r.Params[p];
    b.Value = q.Value.Load();
    b.DisplayUnit = q.Number.Unit;
    b.DisplayPrecision = q.Number.DisplayMode;
    // Marks the display words as carrying the unit and mode, so that the
    // field comes back as the user left it.
    b.DisplayWord = q.Number.Reserved0 != 0 ? q.Number.Reserved0 : 1;
    b.Global = static_cast<uint64_t>(q.Global.Load());
    b.BothChannels = static_cast<uint64_t>(q.WriteBothChannels);
    const ModuleRecord* pvm = p < kPortValueSlots ? m.PortValueModules[p] : nullptr;
    if (pvm != nullptr) {
      for (int32_t ch = 0; ch < 2; ++ch) {
        for (int32_t v = 0; v < kVoices; ++v) {
          b.Image[ch][v][0] = pvm->Outputs[ch][v].Level;
          b.Image[ch][v][1] = pvm->Outputs[ch][v].Frequency;
        }
      }
    }
    const ControlRange range = LoadControlRange(q);
    b.Image[0][32][0] = range.low;
    b.Image[0][32][1] = q.SideSwap != 0 ? -1.0f : 0.0f;
    b.Image[1][32][0] = range.high;
    b.Image[2][32][0] = range.step;
  }

  if (m.KeepsState != 0) {
    // A state the render left non-finite (a phase an infinite or NaN
    // frequency drove) is stored as the load takes it: 0. The file then holds
    // what a load restores, and a synth saved, loaded and saved again is the
    // same bytes.
    for (int32_t ch = 0; ch < 2; ++ch) {
      for (int32_t v = 0; v < kVoices; ++v) {
        const float x = m.VoiceState[ch][v];
        r.Slots[ch][v][0] = std::isfinite(x) ? x : 0.0f;
      }
    }
  }
}

int32_t LoadModuleFromFileRecord(ModuleFileRecord& r, ModuleRecord* module, int32_t count,
                                 WaveLibraryEntry* entry, int64_t legacy) {
  if (module == nullptr) return -QUARLE_BASICS::kErrBadParameter;
  ModuleRecord& m = *module;
  m.InstanceNumber.Store(r.Instance);
  m.ProcessingDepth = r.ProcessingDepth;
  TakeRecord(r, m, legacy, true);

  ModuleRecord& templ = TemplateOf(m);
  const int32_t ports = ClampInt(m.PortCount, 0, ParamsInUse(m));
  ModuleForgetSteadyPorts(m);
  for (int32_t p = 0; p < ports && p < kPortValueSlots; ++p) {
    int32_t i = r.PortSources[p];
    // An index that names no listed module leaves the port unlinked.
    if (i < 0 || i > count - 1 || ModuleList.entries == nullptr || i >= ModuleList.capacity) continue;
    ModuleRecord* source = ModuleList.entries[i];
    if (source == nullptr || source->Role != kRoleLive) continue;
    // A full output table keeps the port reading its own value.
    if (ModuleConnectOutput(*source, &m, p) == 0) continue;
    ModuleParam& q = m.Params[p];
    if (q.PortLinkState.Load() == kPortGlobal) ModuleDisconnectOutput(templ, &m, p);
    m.PortSources[p].Store(source);
    q.PortLinkState.Store(source == &m ? kPortSelfLinked : kPortLinked);
  }

  std::memset(m.Outputs, 0, sizeof m.Outputs);
  // Attaching resets the voices, so the kept state is restored after it.
  m.SampleOlderFrequency = 0;
  if (entry != nullptr) {
    AttachWaveToModule(&m, entry, 0);
    if (m.Type == kTypeSample && r.SampleRateMark == 0) {
      if (SoundRate(entry) > 0) KeepOlderSampleSpeed(m, entry);
      else m.SampleOlderFrequency = -1;
    }
  }
  if (m.KeepsState == 0) {
    m.ModuleSwitches[kSwitchRecord].Store(0);
    m.RecordDone.Store(0);
  } else {
    for (int32_t ch = 0; ch < 2; ++ch) {
      for (int32_t v = 0; v < kVoices; ++v) {
        float x = r.Slots[ch][v][0];
        m.VoiceState[ch][v] = std::isfinite(x) ? x : 0.0f;
      }
    }
  }
  return 0;
}

void SettleLoadedChannels(int32_t count) {
  if (ModuleList.entries == nullptr) return;
  const int32_t n = std::min(count, ModuleList.capacity);
  // Two channels spread along links, one module at least per pass.
  bool grew = true;
  for (int32_t pass = 0; grew && pass <= n; ++pass) {
    grew = false;
    for (int32_t i = 0; i < n; ++i) {
      ModuleRecord* m = ModuleList.entries[i];
      if (m == nullptr || m->ChannelsFixed != 0) continue;
      int32_t k = std::max(m->ChannelsProcessed.Load(), m->OutputChannels.Load());
      const int32_t ports = std::min(m->PortCount, kModuleParams);
      for (int32_t p = 0; p < ports; ++p) {
        const ModuleRecord* s = m->PortSources[p].Load();
        if (s != nullptr && m->Params[p].ChannelCountExempt == 0) k = std::max(k, s->ChannelsProcessed.Load());
      }
      k = ClampInt(k, 1, 2);
      if (k > m->ChannelsProcessed.Load()) {
        m->ChannelsProcessed.Store(k);
        grew = true;
      }
    }
  }
  for (int32_t i = 0; i < n; ++i)
    if (ModuleList.entries[i] != nullptr) ModuleList.entries[i]->ChannelsGrew = 0;
}

void ApplyMasterPreset(ModuleFileRecord& r, int64_t legacy) {
  if (r.Type < 0) r.Type = 0;
  if (r.Type >= kModuleTypeCount) return;
  // A template is the selected module while its catalog row is selected, and
  // the video thread reads the selected module (what it relates to on the
  // plane, its sample) under the list's lock.
  platform::MutexGuard guard(ModuleList.lock);
  ModuleRecord& T = ModuleCatalog[r.Type];
  T.SampleEntry.Store(nullptr);
  T.SampleData = nullptr;
  TakeRecord(r, T, legacy, false);
  T.ModuleSwitches[kSwitchRecord].Store(0);
  T.RecordDone.Store(0);
}

void ApplyAllMasterPresets() {
  for (int32_t t = 0; t < kModuleTypeCount; ++t)
    if (MasterPresets[t].Type == t) ApplyMasterPreset(MasterPresets[t], 0);
}

void StoreMasterPresets() {
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    std::memset(static_cast<void*>(&MasterPresets[t]), 0, sizeof MasterPresets[t]);
    ModuleToFileRecord(MasterPresets[t], &ModuleCatalog[t]);
    MasterPresets[t].X = 0;
    MasterPresets[t].Y = 0;
  }
}

// ---------------------------------------------------------------- MIDI maps

namespace {

ModuleRecord* ListedModule(int32_t i) {
  if (i < 0 || ModuleList.entries == nullptr || i >= ModuleList.capacity) return nullptr;
  return ModuleList.entries[i];
}

std::string TrimmedName(const MidiMap& map) {
  std::string s(map.DeviceName, strnlen(map.DeviceName, kMidiDeviceNameMax));
  std::size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return std::string();
  return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

void RebindEntry(MidiMapEntry& e, int32_t count) {
  if (e.Target != nullptr) return;  // bound already
  if (e.Param >= 0) {
    if (e.ModuleRef < 0 && e.Mode == kMidiSelectedParam) e.Mode = kMidiParamOfSelected;
    else if (e.ModuleRef >= 0 && e.Mode == kMidiParamOfSelected) e.Mode = kMidiFixedParam;
  }
  if (e.Mode != kMidiParamOfSelected && e.Mode != kMidiFixedParam) return;
  const int32_t ref = e.ModuleRef;
  ModuleRecord* target = nullptr;
  if (ref >= -(kModuleTypeCount + 1) && ref != -1 && ref < count)
    target = ref >= 0 ? ListedModule(ref) : &ModuleCatalog[-2 - ref];
  if (target != nullptr) {
    // A parameter the target does not have binds nothing.
    if (e.Param < 0 || e.Param >= target->ParamCount || e.Param >= kModuleParams) {
      MidiMapEntryInit(e);
      return;
    }
    e.Target = target;
    target->MidiMapped = -1;
    target->Params[e.Param].MidiMapCount.FetchAdd(1);
  } else if (e.Mode == kMidiFixedParam || e.Param < 0 || e.Param >= kModuleParams) {
    // A fixed binding without its module, or a parameter no module has.
    MidiMapEntryInit(e);
  }
}

}  // namespace

void RebindMidiMaps(int32_t count) {
  // The maps were just read: every device finds its map again by name.
  for (MidiMap*& m : MidiDeviceMaps) m = nullptr;
  for (MidiMap& map : MidiMaps) {
    const std::string name = TrimmedName(map);
    if (name.empty()) continue;
    for (ModuleRecord*& k : map.ChannelKeyboards) k = nullptr;
    for (int32_t c = 0; c < kMidiControllers; ++c)
      for (int32_t ch = 0; ch < kMidiChannels; ++ch) RebindEntry(map.Entries[c][ch], count);
    int32_t d = FindMidiDevice(name);
    if (d >= 0) {
      MidiDeviceMaps[d] = &map;
      map.Claimed = -1;
    }
  }

  // A load calls this before the list is given its count: the modules stand at
  // their file positions, below the count given.
  const int32_t listed = ModuleList.entries != nullptr ? std::min(count, ModuleList.capacity) : 0;
  for (int32_t i = 0; i < listed; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (m == nullptr || m->Type != kTypeKeyboard) continue;
    const int32_t b = m->MidiDeviceBinding.Load();
    if (b < 1 || b > kMidiMapCount) continue;
    MidiMap& map = MidiMaps[b - 1];
    const int32_t filter = m->MidiChannelFilter.Load();
    if (filter == 0) {
      for (int32_t ch = 0; ch < kMidiChannels; ++ch) map.ChannelKeyboards[ch] = m;
    } else if (filter >= 1 && filter <= kMidiChannels) {
      map.ChannelKeyboards[filter - 1] = m;
    }
  }

  for (int32_t d = 0; d < kMidiDeviceSlots; ++d) {
    std::string device = MidiDevices.SlotName != nullptr ? MidiDevices.SlotName(d) : std::string();
    if (device.empty()) continue;
    bool matched = false;
    for (const MidiMap& map : MidiMaps)
      if (TrimmedName(map) == device) matched = true;
    if (!matched) AssignFreeMidiMap(d);
  }

  ModuleRecord* current = nullptr;
  for (int32_t i = 0; i < listed && current == nullptr; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (m != nullptr && m->Type == kTypeKeyboard && m->InstanceNumber.Load() == CurrentKeyboardIndex.Load() + 1) current = m;
  }
  CurrentKeyboard.store(current);
}

}  // namespace Tarvelo
