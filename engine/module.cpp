#include "engine/module.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "basics/errors.h"
#include "basics/messages.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringAssignFrom;
using QUARLE_BASICS::DynZStringFree;
using QUARLE_BASICS::DynZStringInit;

std::atomic<int64_t> CablesDirty{0};
std::atomic<uint32_t> PortChanges{0};

void ProcessNone(ModuleRecord*, uint64_t, int32_t, int32_t) {}

int32_t ModuleRecordInit(ModuleRecord& m) {
  std::memset(static_cast<void*>(&m), 0, sizeof(m));
  for (ModuleParam& p : m.Params) ModuleParamInit(p);
  DynZStringInit(m.Name);
  DynZStringInit(m.ShortName);
  m.ModuleSwitches[0].Store(-1);
  m.ModuleSwitches[1].Store(-1);
  m.VoiceIds = static_cast<int32_t*>(std::calloc(kVoiceColumns, sizeof(int32_t)));
  m.TriggerBuffers[0] = static_cast<uint32_t*>(std::calloc(kVoices, sizeof(uint32_t)));
  m.TriggerBuffers[1] = static_cast<uint32_t*>(std::calloc(kVoices, sizeof(uint32_t)));
  m.TriggerOwner.Store(&m);
  for (int32_t v = 0; v < kVoices; ++v) {
    if (m.VoiceIds != nullptr) m.VoiceIds[v] = v;
    m.VoicePlaying[v] = -1;
  }
  m.OutputChannels.Store(1);
  m.ChannelsProcessed.Store(1);
  m.ChosenSourcePort = -1;
  m.ListIndex.Store(-1);
  m.SelectedParam.Store(-1);
  m.RequiredPort = -1;
  m.MelodyRestart = -1;
  if (m.VoiceIds == nullptr || m.TriggerBuffers[0] == nullptr || m.TriggerBuffers[1] == nullptr)
    return -QUARLE_BASICS::kErrAllocation;
  return 0;
}

namespace {

// WorkBuffers[0] owns the block the other voices' buffers lie in.
void FreeWorkBuffers(ModuleRecord& m) {
  std::free(m.WorkBuffers[0]);
  for (float*& b : m.WorkBuffers) b = nullptr;
}

}  // namespace

void ModuleFree(ModuleRecord& m) {
  for (ModuleRecord*& pvm : m.PortValueModules) {
    if (pvm != nullptr) {
      ModuleFree(*pvm);
      std::free(pvm);
      pvm = nullptr;
    }
  }
  FreeWorkBuffers(m);
  std::free(m.VoiceIds);
  m.VoiceIds = nullptr;
  for (uint32_t*& t : m.TriggerBuffers) {
    std::free(t);
    t = nullptr;
  }
  DynZStringFree(m.ShortName);
  DynZStringFree(m.Name);
  for (int32_t p = kModuleParams - 1; p >= 0; --p) ModuleParamFree(m.Params[p]);
}

ModuleRecord* ModuleRecordNew() {
  auto* m = static_cast<ModuleRecord*>(std::malloc(sizeof(ModuleRecord)));
  if (m == nullptr) return nullptr;
  if (ModuleRecordInit(*m) != 0) {
    ModuleFree(*m);
    std::free(m);
    return nullptr;
  }
  return m;
}

void ModuleRecordDelete(ModuleRecord* m) {
  if (m == nullptr) return;
  ModuleFree(*m);
  std::free(m);
}

int32_t ModuleDuplicate(ModuleRecord& dst, const ModuleRecord& src) {
  int32_t result = 0;
  dst.ProcessFunctions[0] = src.ProcessFunctions[0];
  dst.ProcessFunctions[1] = src.ProcessFunctions[1];
  CopyShared(dst.ModuleSwitches, src.ModuleSwitches);
  dst.ModuleSwitches[kSwitchRecord].Store(0);

  // State block: cleared, then the type's fixed words come along.
  std::memset(static_cast<void*>(&dst.ChannelsFixed), 0,
              reinterpret_cast<char*>(&dst.StateWord56 + 1) - reinterpret_cast<char*>(&dst.ChannelsFixed));
  dst.ChannelsFixed = src.ChannelsFixed;
  dst.PerVoiceOutput = src.PerVoiceOutput;
  dst.VoiceOwner = src.VoiceOwner;
  dst.StateWord10 = src.StateWord10;
  std::memcpy(&dst.DerivedFlag1, &src.DerivedFlag1,
              reinterpret_cast<const char*>(&src.ClearBuffersOnReset + 1) -
                  reinterpret_cast<const char*>(&src.DerivedFlag1));
  dst.MelodyRestart = -1;

  dst.Type = src.Type;
  dst.PortCount = src.PortCount;
  dst.ParamCount = src.ParamCount;
  std::memset(dst.OutputTargets, 0, sizeof(dst.OutputTargets));
  std::memset(dst.OutputTargetPorts, 0, sizeof(dst.OutputTargetPorts));
  dst.OutputCount.Store(0);

  ModuleForgetSteadyPorts(dst);
  for (int32_t p = 0; p < kPortValueSlots; ++p) {
    ModuleParam& param = dst.Params[p];
    ModuleParamCopy(param, src.Params[p]);
    ModuleRecordDelete(dst.PortValueModules[p]);
    ModuleRecord* pvm = ModuleRecordNew();
    dst.PortValueModules[p] = pvm;
    if (pvm == nullptr) {
      // Without its value module the port can only read the module itself
      // silently; report the failure and leave the port unlinked.
      dst.PortSources[p].Store(nullptr);
      param.PortLinkState.Store(kPortUnlinked);
      param.Global.Store(0);
      result = -QUARLE_BASICS::kErrAllocation;
      continue;
    }
    pvm->Role = kRoleLivePortValue;
    if (src.PortValueModules[p] != nullptr) CopyPortValueOutputs(dst, p, *src.PortValueModules[p]);
    if (param.ChannelCountExempt == 0) pvm->ChannelsProcessed.Store(param.WriteBothChannels != 0 ? 1 : 2);
    ModuleRecord* linked = src.PortSources[p].Load();
    if (param.PortLinkState.Load() == kPortSelfLinked && ModuleConnectOutput(dst, &dst, p) != 0) {
      dst.PortSources[p].Store(&dst);
    } else if (param.PortLinkState.Load() == kPortLinked && linked != nullptr &&
               ModuleConnectOutput(*linked, &dst, p) != 0) {
      dst.PortSources[p].Store(linked);
    } else {
      // Also where the source's table is full: a port that reads a module
      // without being in its table would dangle once that module goes.
      dst.PortSources[p].Store(pvm);
      param.PortLinkState.Store(kPortUnlinked);
      param.Global.Store(0);
    }
    pvm->ActiveVoices.Store(1);
  }

  DynZStringAssignFrom(dst.Name, src.Name);
  DynZStringAssignFrom(dst.ShortName, src.ShortName);
  dst.Category = src.Category;
  dst.RunsWithoutVoices = src.RunsWithoutVoices;
  dst.KeepsVoices = src.KeepsVoices;
  dst.RequiresPortLink = src.RequiresPortLink;
  dst.OrderVisiting = 0;
  dst.ListIndex.Store(-1);
  dst.BoxControl.Store(0);
  dst.BoxWidthUnits = src.BoxWidthUnits;
  dst.BoxHeightUnits = src.BoxHeightUnits;

  CopyShared(dst.MidiDeviceBinding, src.MidiDeviceBinding);
  CopyShared(dst.MidiChannelFilter, src.MidiChannelFilter);
  // A take in progress stays its module's own: a take that ends holding
  // nothing frees its entry, which a copy would still point at.
  const bool recording = src.ModuleSwitches[kSwitchRecord].Load() != 0;
  dst.SampleEntry.Store(recording ? nullptr : src.SampleEntry.Load());
  dst.SampleData = recording ? nullptr : src.SampleData;
  dst.SampleStep = src.SampleStep;
  dst.SampleChannels = src.SampleChannels;
  dst.SampleFrames = recording ? 0 : src.SampleFrames;
  dst.SampleOlderFrequency = src.SampleOlderFrequency;
  CopyShared(dst.ChannelsProcessed, src.ChannelsProcessed);
  CopyShared(dst.OutputChannels, src.OutputChannels);
  CopyShared(dst.SelectedParam, src.SelectedParam);
  CopyShared(dst.EditChannel, src.EditChannel);
  dst.RequiredPort = src.RequiredPort;
  dst.VoiceFlagRoot = src.VoiceFlagRoot;
  dst.ChosenSourcePort = src.ChosenSourcePort;
  CopyShared(dst.VoiceMapSourcePort, src.VoiceMapSourcePort);
  dst.PolyphonyCapability = src.PolyphonyCapability;
  CopyShared(dst.PolyphonyMode, src.PolyphonyMode);  // a rebuild may set it meanwhile
  dst.FollowsPolyphony = src.FollowsPolyphony;
  dst.ActiveVoices.Store(0);

  for (uint32_t* t : dst.TriggerBuffers)
    if (t != nullptr) std::memset(t, 0, kVoices * sizeof(uint32_t));
  dst.TriggerOwner.Store(&dst);

  if (src.WorkBuffers[0] != nullptr) {
    int32_t r = ModuleAllocBuffers(dst, src.WorkBufferElements, src.WorkBufferChannels, -1);
    if (r != 0) result = r;
  }
  for (int32_t v = 0; v < kVoices; ++v) {
    dst.VoicePlaying[v] = -1;
    dst.Outputs[0][v] = src.Outputs[0][v];
    dst.Outputs[1][v] = src.Outputs[1][v];
  }
  return result;
}

int32_t ModuleAllocBuffers(ModuleRecord& m, int32_t elements, int32_t channels, int64_t perVoice) {
  if (elements < 0 || channels < 0) return -QUARLE_BASICS::kErrBadParameter;
  int64_t size = static_cast<int64_t>(elements) * channels;
  if (size > INT32_MAX) return -QUARLE_BASICS::kErrAllocation;
  int32_t count = (perVoice != 0 && m.Category != kCategoryControl && m.PolyphonyCapability >= 1) ? kVoices : 1;
  // One block holds every voice's buffer, each on its own 64-byte line, so
  // that a voice loop walks one array instead of chasing small allocations.
  // The old block goes only once the new one is there: a failed allocation
  // leaves the module as it was.
  const int64_t stride = WorkBufferStride(size);
  auto* block = static_cast<float*>(std::calloc(static_cast<size_t>(stride * count), sizeof(float)));
  if (block == nullptr) return -QUARLE_BASICS::kErrAllocation;
  FreeWorkBuffers(m);
  for (int32_t b = 0; b < count; ++b) m.WorkBuffers[b] = block + stride * b;
  m.WorkBufferSize = static_cast<int32_t>(size);
  m.WorkBufferElements = elements;
  m.WorkBufferChannels = channels;
  std::memset(m.AuxVoiceState, 0, sizeof(m.AuxVoiceState));
  return 0;
}

void ModuleClearWorkBuffers(ModuleRecord& m) {
  if (m.WorkBuffers[0] == nullptr) return;
  // The whole block: a kernel may keep its states in rows across the voices.
  const int32_t count = m.WorkBuffers[1] != nullptr ? kVoices : 1;
  const size_t floats = static_cast<size_t>(WorkBufferStride(m.WorkBufferSize)) * count;
  std::memset(m.WorkBuffers[0], 0, floats * sizeof(float));
}

void ModuleResetVoices(ModuleRecord& m) {
  std::memset(m.Outputs, 0, sizeof(m.Outputs));
  std::memset(m.VoiceState, 0, sizeof(m.VoiceState));
  std::memset(m.SequencerVoices, 0, sizeof(m.SequencerVoices));
  m.Adsr = AdsrRows{};
  std::memset(m.AuxVoiceState, 0, sizeof(m.AuxVoiceState));
  std::memset(m.OscillatorAnchor, 0, sizeof(m.OscillatorAnchor));
  m.OscillatorCalls = 0;
  ModuleClearWorkBuffers(m);
  for (uint32_t* t : m.TriggerBuffers)
    if (t != nullptr) std::memset(t, 0, kVoices * sizeof(uint32_t));
  if (m.Type == kTypeSample || m.Type == kTypeOscillator)
    for (int64_t& f : m.VoicePlaying) f = -1;
  m.FramesRecorded = 0;
  m.ActiveVoices.Store(0);
  m.SleepingVoices = 0;
  if (m.VoiceIds != nullptr) m.VoiceIds[0] = 0;
  m.TriggerOwner.Store(&m);  // reclaiming and the plane read it meanwhile
  m.SequencerWord = 0;
  m.MixerWord = 0;
  m.MelodyRestart = -1;
  m.GateWasOpen = 0;
  m.Awake = 0;
  if (m.Type != kTypeAdsr && m.PolyphonyMode.Load() == 0 && m.RunsWithoutVoices == 0) m.ActiveVoices.Store(1);
  // Voices reset outside the module's frame: readers walk their ports again.
  NotePortChange();
}

void ModuleReset(ModuleRecord& m) {
  int64_t s = m.StateSelect != 0 ? m.ModuleSwitches[kSwitchRewind].Load() : m.KeepsState;
  if (m.ModuleSwitches[kSwitchRecord].Load() != 0 || m.ModuleSwitches[kSwitchPlay].Load() != 0 || s != 0) {
    if (m.ClearBuffersOnReset != 0) ModuleClearWorkBuffers(m);
    if (s != 0) {
      std::memset(m.VoiceState, 0, sizeof(m.VoiceState));
      std::memset(m.SequencerVoices, 0, sizeof(m.SequencerVoices));
      m.Adsr = AdsrRows{};
      if (m.VoiceIds != nullptr) std::memset(m.VoiceIds, 0, kVoices * sizeof(int32_t));
      for (uint32_t* t : m.TriggerBuffers)
        if (t != nullptr) std::memset(t, 0, kVoices * sizeof(uint32_t));
      m.MelodyRestart = -1;
    }
    std::memset(m.Outputs, 0, sizeof(m.Outputs));
  } else {
    m.SleepingVoices = m.ActiveVoices.Load();
    m.ActiveVoices.Store(0);
  }
  m.Awake = 0;
}

void ModuleWake(ModuleRecord& m) {
  if (m.SleepingVoices != 0) {
    m.ActiveVoices.Store(m.SleepingVoices);
    m.SleepingVoices = 0;
  } else if (m.Type != kTypeAdsr && m.PolyphonyMode.Load() == 0 && m.RunsWithoutVoices == 0) {
    m.ActiveVoices.Store(1);
  }
  m.Awake = -1;
}

void ClearDroppedVoices(ModuleRecord& m, int32_t previous) {
  int32_t from = m.ActiveVoices.Load() < 0 ? 0 : m.ActiveVoices.Load();
  if (previous > kVoiceColumns) previous = kVoiceColumns;
  for (int32_t v = from; v < previous; ++v) {
    m.Outputs[0][v] = OutputElement{0.0f, 0.0f};
    m.Outputs[1][v] = OutputElement{0.0f, 0.0f};
  }
}

void ModuleSetParamValue(ModuleRecord& m, int32_t p, float x) {
  ModuleSetParamValueOnChannel(m, p, x, m.EditChannel.Load());
}

void ModuleSetParamValueOnChannel(ModuleRecord& m, int32_t p, float x, int32_t channel) {
  if (p < 0 || p >= kModuleParams) return;
  ModuleParam& param = m.Params[p];
  // Stored whole: the module page reads the value while the render, which
  // owns it during playback, sets it from a controller move.
  param.Value.Store(x);
  ModuleRecord* pvm = m.PortValueModules[p];
  if (pvm != nullptr) {
    const int32_t ch = channel == 1 ? 1 : 0;
    for (int32_t c : {ch, ch ^ 1}) {
      if (c != ch && param.WriteBothChannels == 0) break;
      StoreValueOutput(pvm->Outputs[c][0].Level, x);
      StoreValueOutput(pvm->Outputs[c][0].Frequency, x);
    }
  }
  m.Changed.Store(-1);
}

void CopyPortValueOutputs(ModuleRecord& m, int32_t p, const ModuleRecord& source) {
  if (p < 0 || p >= kModuleParams || m.PortValueModules[p] == nullptr) return;
  ModuleRecord& pvm = *m.PortValueModules[p];
  for (int32_t ch = 0; ch < 2; ++ch)
    for (int32_t v = 0; v < kVoices; ++v) pvm.Outputs[ch][v] = source.Outputs[ch][v];
  m.Changed.Store(-1);
}

void SeedFeedbackSource(ModuleRecord& m, int32_t port) {
  if (port < 0 || port >= kModuleParams || m.ParamCount < 1) return;
  ModuleRecord* s = m.PortSources[port].Load();
  if (s == nullptr) return;
  float seed = m.Params[m.ParamCount - 1].Value.Load();
  for (int32_t ch = 0; ch < 2; ++ch)
    for (int32_t v = 0; v < kVoices; ++v) s->Outputs[ch][v] = OutputElement{seed, seed};
}

int32_t ModuleConnectOutput(ModuleRecord& source, ModuleRecord* target, int32_t port) {
  int32_t freeEntry = -1;
  for (int32_t i = 0; i < source.OutputCount.Load(); ++i) {
    if (source.OutputTargets[i] == target && source.OutputTargetPorts[i] == port) return -1;
    if (freeEntry < 0 && source.OutputTargets[i] == nullptr) freeEntry = i;
  }
  if (freeEntry < 0) {
    if (source.OutputCount.Load() >= kMaxOutputTargets) {
      QUARLE_BASICS::Report(
          QUARLE_BASICS::InsertArg(QUARLE_BASICS::LangText(485, "OUTPUT FULL (MAX {$})"), "256"),
          QUARLE_BASICS::kLevelWarning);
      return 0;
    }
    freeEntry = source.OutputCount.Load();
    source.OutputCount.Store(freeEntry + 1);
  }
  source.OutputTargets[freeEntry] = target;
  source.OutputTargetPorts[freeEntry] = port;
  return -1;
}

void ModuleDisconnectOutput(ModuleRecord& source, ModuleRecord* target, int32_t port) {
  for (int32_t i = 0; i < source.OutputCount.Load(); ++i) {
    if (source.OutputTargets[i] == target && source.OutputTargetPorts[i] == port) {
      source.OutputTargets[i] = nullptr;
      if (i == source.OutputCount.Load() - 1) source.OutputCount.Store(i);
      return;
    }
  }
}

// The port reads its value again: the template's value module when global,
// else its own.
static void FallBack(ModuleRecord& m, int32_t port, ModuleRecord& templ) {
  ModuleForgetSteadyPorts(m);
  ModuleParam& param = m.Params[port];
  ModuleRecord* shared = templ.PortValueModules[port];
  if (param.Global.Load() != 0 && shared != nullptr) {
    m.PortSources[port].Store(shared);
    ModuleConnectOutput(templ, &m, port);
    param.PortLinkState.Store(kPortGlobal);
  } else {
    m.PortSources[port].Store(m.PortValueModules[port]);
    ModuleDisconnectOutput(templ, &m, port);
    param.PortLinkState.Store(kPortUnlinked);
  }
}

int32_t ModuleLinkInput(ModuleRecord& m, int32_t port, ModuleRecord* source, ModuleRecord* templ) {
  if (port < 0 || port >= m.ParamCount || port >= kModuleParams) return kLinkRefused;
  int32_t result = kLinkRefused;
  ModuleParam& param = m.Params[port];
  ModuleRecord* current = m.PortSources[port].Load();
  // Only a live module is a source: a port value (read off an unlinked port)
  // belongs to its module and goes with it.
  if (templ == nullptr || m.Role >= kRoleTemplate || m.PortValueModules[port] == nullptr ||
      (source != nullptr && source->Role != kRoleLive)) {
    // refused: the link stays as it is
  } else if (source == nullptr) {
    if (current != nullptr && current->Role == kRoleLive) ModuleDisconnectOutput(*current, &m, port);
    FallBack(m, port, *templ);
  } else if (source == current) {
    ModuleDisconnectOutput(*source, &m, port);
    FallBack(m, port, *templ);
    result = kLinkDisconnected;
  } else if (ModuleConnectOutput(*source, &m, port) != 0) {
    if (current != nullptr && current->Role == kRoleLive) ModuleDisconnectOutput(*current, &m, port);
    if (param.PortLinkState.Load() == kPortGlobal) ModuleDisconnectOutput(*templ, &m, port);
    ModuleForgetSteadyPorts(m);
    m.PortSources[port].Store(source);
    param.PortLinkState.Store(source == &m ? kPortSelfLinked : kPortLinked);
    result = kLinkConnected;
  }
  param.VoiceMapRow = 0;
  NotePortChange();
  CablesDirty = -1;
  return result;
}

void ModuleChooseSteadyPorts(ModuleRecord& m) {
  const int32_t ports = m.PortCount < kModuleParams ? m.PortCount : kModuleParams;
  uint64_t steady = 0;
  for (int32_t p = 0; p < ports; ++p) {
    const ModuleRecord* s = m.PortSources[p].Load();
    if (s != nullptr && s != &m && (s->Role == kRoleLivePortValue || s->Role == kRoleTemplatePortValue) &&
        s->ActiveVoices.Load() == 1 && s->PerVoiceOutput == 0 && m.Params[p].VoiceMapRow == 0)
      steady |= uint64_t{1} << p;
  }
  m.SteadyPorts.Store(steady);
}

int32_t ClassifyPortBinding(const ModuleRecord& m, int32_t port, const ModuleRecord* source,
                            const ModuleRecord* templ) {
  if (templ == nullptr || source == nullptr || port < 0 || port >= m.PortCount ||
      port >= kModuleParams || source->Role > kRoleLive)
    return kLinkRefused;
  return m.PortSources[port].Load() == source ? kLinkDisconnected : kLinkConnected;
}

void ModuleUpdateChannels(ModuleRecord& m, int32_t channels, int64_t apply) {
  if (m.ChannelsFixed != 0) return;
  if (channels < 0) {
    channels = m.ChannelsProcessed.Load();
    for (int32_t p = 0; p < m.PortCount && p < kModuleParams; ++p) {
      const ModuleRecord* s = m.PortSources[p].Load();
      if (s != nullptr && m.Params[p].ChannelCountExempt == 0 && s->ChannelsProcessed.Load() > channels)
        channels = s->ChannelsProcessed.Load();
    }
  }
  // Every port read indexes the channel map by this count.
  if (channels < 1) channels = 1;
  if (channels > 2) channels = 2;
  if (m.ChannelsProcessed.Load() < channels) m.ChannelsGrew = -1;
  if (m.ChannelsGrew != 0 && apply != 0) {
    for (int32_t v = 0; v < kVoices; ++v) m.Outputs[1][v] = OutputElement{0.0f, 0.0f};
    if (m.KeepsState != 0) std::memset(m.VoiceState, 0, sizeof(m.VoiceState));
    m.ChannelsGrew = 0;
  }
  m.ChannelsProcessed.Store(channels);
}

void ModuleUpdatePolyphony(ModuleRecord& m, int64_t apply) {
  int32_t lead = m.VoiceMapSourcePort.Load();
  if (m.PortCount > 0 && m.PolyphonyCapability == 2 && m.FollowsPolyphony != 0 && lead >= 0 &&
      lead < kModuleParams && m.PortSources[lead].Load() != nullptr) {
    int64_t word = m.PortSources[lead].Load()->ModuleSwitches[kSwitchPerVoice].Load();
    if (word != m.ModuleSwitches[kSwitchPerVoice].Load()) m.PolyphonyChanged = -1;
    // The interface reads the switch of the selected module meanwhile.
    m.ModuleSwitches[kSwitchPerVoice].Store(word);
    m.PolyphonyMode.Store(word != 0 ? 1 : 0);
  }
  if (m.PolyphonyChanged != 0 && apply != 0) {
    ModuleReset(m);
    m.ActiveVoices.Store(0);
    m.PolyphonyChanged = 0;
  }
  if (m.VoiceFlagRoot == -1 && m.ModuleSwitches[kSwitchPerVoice].Load() != 0) m.PerVoiceOutput = -1;
}

void ModuleSetPolyphonyPort(ModuleRecord& m, int32_t port) {
  if (port < 0) {
    m.ChosenSourcePort = -1;
    m.VoiceMapSourcePort.Store(m.RequiredPort < 0 ? 0 : m.RequiredPort);
  } else {
    // A lead port outside the ports would make every frame read past them.
    if (port >= m.PortCount && port != 0) return;
    m.ChosenSourcePort = port;
    m.VoiceMapSourcePort.Store(port);
  }
  // The render loop looks at the lead port only when it walks the ports
  // again: counted as a port change (NotePortChange), released after the
  // port is in place.
  PortChanges.fetch_add(1, std::memory_order_release);
}

}  // namespace Tarvelo
