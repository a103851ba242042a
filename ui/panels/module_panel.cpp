#include "ui/panels/module_panel.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/state/console.h"
#include "app/state/history.h"
#include "basics/labels.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "ui/build/frame.h"
#include "ui/panels/panel_common.h"
#include "ui/views/list_views.h"
#include "visuals/controls.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

namespace {

// one thread: interface
int32_t ChannelAccumulator = 0;
int32_t KeyboardChannelAccumulator = 0;
int32_t ParameterListAccumulator = 0;
int32_t ShapeListAccumulator = 0;
int32_t DeviceListAccumulator = 0;

bool IsKeyboardType(const ModuleRecord& m) {
  return m.Type == kTypeKeyboard || m.Type == kTypeOctaveBoard;
}

// A Keyboard or Octave board stops its notes: the render loop resets its state.
void StopKeyboardState(const ModuleRecord& m) {
  const int32_t n = m.InstanceNumber.Load() - 1;
  if (n < 0 || n >= kKeyboardBankSize) return;
  KeyboardState* s = m.Type == kTypeKeyboard ? KeyboardStates[n].Load() : OctaveBoardStates[n].Load();
  if (s) KbPostPending(*s, kPendingReset);
}

void RebuildWhenLive(const ModuleRecord& m) {
  if (m.InstanceNumber.Load() >= 1) RequestGraphRebuild(0, 0, nullptr);
}

// A module's switch: the plane's frame watch and the render read it while the
// interface flips it, so it is stored whole.
int64_t Invert(Shared<int64_t>& word) {
  const int64_t flipped = word.Load() != 0 ? 0 : -1;
  word.Store(flipped);
  return flipped;
}
// A word only the interface touches (a parameter's side swap, its both-channels link).
int64_t Invert(int64_t& word) {
  word = word != 0 ? 0 : -1;
  return word;
}

// The selected module's selected parameter, -1 when none or out of range.
int32_t SelectedParameter(const ModuleRecord& m) {
  const int32_t p = m.SelectedParam.Load();
  return p >= 0 && p < std::min(m.ParamCount, kModuleParams) ? p : -1;
}

int32_t ParamCountOf(const ModuleRecord& m) { return std::clamp(m.ParamCount, 0, kModuleParams); }

// The per-channel keyboard entries of one channel, or of all 16 for -1.
template <class Fn>
void ForChannels(int32_t channel, Fn fn) {
  if (channel < 0) {
    for (int32_t c = 0; c < kMidiChannels; ++c) fn(c);
  } else if (channel < kMidiChannels) {
    fn(channel);
  }
}

MidiMap* DeviceMap(int32_t slot) {
  return slot >= 0 && slot < kMidiDeviceSlots ? MidiDeviceMaps[slot] : nullptr;
}

// Lets go of the entries the keyboard holds for a channel filter; entries of
// other keyboards stay theirs.
void ReleaseChannels(MidiMap* map, int32_t channel, const ModuleRecord* keyboard) {
  if (!map) return;
  ForChannels(channel, [&](int32_t c) {
    if (map->ChannelKeyboards[c] == keyboard) map->ChannelKeyboards[c] = nullptr;
  });
}

// The keyboard takes the entries of a channel filter; a keyboard that held one
// loses its device.
void TakeChannels(MidiMap* map, int32_t channel, ModuleRecord* keyboard) {
  if (!map) return;
  ForChannels(channel, [&](int32_t c) {
    ModuleRecord* other = map->ChannelKeyboards[c];
    if (other && other != keyboard) other->MidiDeviceBinding.Store(0);
    map->ChannelKeyboards[c] = keyboard;
  });
}

// A module-page button: its pressed look; on a click with a module selected
// and the button there, the module and the button, nulls otherwise.
// one thread: value
struct ModuleButton {
  ModuleRecord* m;
  ControlRecord* c;
};
ModuleButton ClickOnModule(uint32_t bits, int32_t id) {
  PressedLook(id, bits);
  ModuleRecord* m = SelectedModule;
  ControlRecord* c = PanelCtl(id);
  if (!(bits & V::kEventClick) || !m || !c) return {nullptr, nullptr};
  return {m, c};
}

// The last PLAY click's module and the value it posted, until the render took it.
// one thread: interface
struct PlayAsk {
  const ModuleRecord* m;
  int64_t on;
};
PlayAsk LastPlayAsk{nullptr, 0};

}  // namespace

void ResetModulePanelStatics() {
  LastPlayAsk = {nullptr, 0};
  ChannelAccumulator = KeyboardChannelAccumulator = 0;
  ParameterListAccumulator = ShapeListAccumulator = DeviceListAccumulator = 0;
}

int32_t OnModuleSwitch(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  auto [m, c] = ClickOnModule(bits, id);
  if (!m) return 0;
  const int32_t t = static_cast<int32_t>(c->Tag);
  if (t < 0 || t >= kModuleSwitchWords) return 0;
  Shared<int64_t>* w = m->ModuleSwitches;
  switch (t) {
    case kSwitchPower:
      Invert(w[kSwitchPower]);
      RecordAction(kActionPower, m, -1, nullptr);
      if (w[kSwitchPower].Load() == 0 && IsKeyboardType(*m)) StopKeyboardState(*m);
      RebuildWhenLive(*m);
      break;
    case kSwitchPerVoice:
      if (m->PolyphonyCapability == 2) {
        // The render picks the module's process function by the mode every frame.
        m->PolyphonyMode.Store(Invert(w[kSwitchPerVoice]) != 0 ? 1 : 0);
        RecordAction(kActionPolyphony, m, -1, nullptr);
        RebuildWhenLive(*m);
      }
      break;
    case kSwitchPlay: {
      // The render reads the switch and writes it too (a Sequencer's pass
      // end), and autorewind's clear resets its phases: it takes the flip,
      // with the clear, at its next frame boundary. The button shows the flip.
      // A click before the render took the previous one toggles from what
      // that one asked, not from the switch it has not changed yet.
      const bool asking = LastPlayAsk.m == m && EngineCommandReferences(m);
      const int64_t on = (asking ? LastPlayAsk.on : w[kSwitchPlay].Load()) != 0 ? 0 : -1;
      PostPlaySwitch(m, on);
      LastPlayAsk = {m, on};
      RecordAction(kActionPlayState, m, -1, nullptr);
      c->State.On = on;
      return 0;
    }
    case kSwitchLoop:
      Invert(w[kSwitchLoop]);
      // The colour shows the loop state the module runs with, which follows
      // the switch only when its melody starts again.
      c->Colour = m->StateWord21.Load() == -1 ? kLoopRunningColour : 0;
      break;
    case kSwitch1:
      Invert(w[kSwitch1]);
      c->Text.Selected = w[kSwitch1].Load() == 0 ? 0 : 1;
      c->Text.Changed = -1;
      if (IsKeyboardType(*m)) w[kSwitchKillReleased].Store(w[kSwitch1].Load() == 0 ? -1 : 0);
      break;
    case kSwitchEnvelope:
      Invert(w[kSwitchEnvelope]);
      RecordAction(kActionEnvelope, m, -1, nullptr);
      break;
    default:
      Invert(w[t]);
      break;
  }
  // A rebuild on the audio thread stores the per-voice switch meanwhile.
  if (t != kSwitch1) c->State.On = w[t].Load();
  return 0;
}

int32_t OnRewindClocks(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ModuleRecord* m = SelectedModule;
  // A recording module keeps its clocks: the button does not even look pressed.
  if (m && m->ModuleSwitches[kSwitchRecord].Load() == -1) return 0;
  PressedLook(id, bits);
  if (!(bits & V::kEventClick) || !m) return 0;
  // The clocks are the render's words while it plays: it rewinds them (every
  // module of the type at once) at its next frame boundary.
  if (m->InstanceNumber.Load() < 1) {
    PostRewindType(m->Type);
  } else if (IsKeyboardType(*m)) {
    StopKeyboardState(*m);
  } else {
    PostRewind(m);
  }
  return 0;
}

int32_t OnFeedbackKickstart(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  auto [m, c] = ClickOnModule(bits, id);
  if (!m) return 0;
  c->State.On = Invert(m->ModuleSwitches[kSwitchFeedbackVoice]);
  return 0;
}

int32_t OnModuleTab(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  const ControlRecord* c = PanelCtl(id);
  if (!(bits & V::kEventPress) || !c) return 0;
  const int32_t tag = static_cast<int32_t>(c->Tag);
  const int32_t first = SlotId(kUiMODTAB0);
  for (int32_t i = 0; i < 7 && first > 0; ++i) SetOnWord(first + i, i == tag ? -1 : 0);
  const int32_t pages[7] = {kUiPARAM, kUiSHAPE, kUiSAMPLE, kUiFILTER, kUiMELODY, kUiDEVICES, kUiSCALES};
  for (int32_t i = 0; i < 7; ++i) SetVisibleWord(SlotId(pages[i]), i == tag ? -1 : 0);
  if (SelectedModule && tag >= 0 && tag < 7) SelectedModule->PageWord = tag;
  return 0;
}

int32_t OnGlobalValue(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  auto [m, c] = ClickOnModule(bits, id);
  if (!m) return 0;
  const int32_t p = SelectedParameter(*m);
  if (p < 0) return 0;
  ModuleParam& param = m->Params[p];
  // Global: the port reads the template's value module, shared by the type.
  // A listed module's link is the render callback's while playback runs, and
  // a link command reads the flag: it flips once the commands posted before
  // it have run, so each reads the flag it was posted with.
  const int32_t type = std::clamp(m->Type, 0, kModuleTypeCount - 1);
  const bool listed = m->InstanceNumber.Load() >= 1;
  if (listed) WaitEngineCommandSlot();
  const int64_t global = Invert(param.Global);
  if (listed)
    PostLinkInput(m, p, nullptr, type);
  else
    ModuleLinkInput(*m, p, nullptr, &ModuleCatalog[type]);
  RecordAction(kActionGlobal, m, p, nullptr);
  c->State.On = global;
  return 0;
}

int32_t OnVoiceMapSource(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  auto [m, c] = ClickOnModule(bits, id);
  if (!m) return 0;
  const int32_t p = m->SelectedParam.Load() < 0 ? -1 : m->SelectedParam.Load();
  if (p >= 0 && (p >= m->PortCount || p >= kModuleParams)) {
    // A setting cannot lead the voices.
    SetOnWord(id, 0);
    return 0;
  }
  if (p < 0 || p == m->VoiceMapSourcePort.Load())
    ModuleSetPolyphonyPort(*m, -1);
  else
    ModuleSetPolyphonyPort(*m, p);
  const bool on = m->VoiceMapSourcePort.Load() == p || (p == -1 && m->ChosenSourcePort < 0);
  SetOnWord(id, on ? -1 : 0);
  RecordAction(kActionVoiceMapSource, m, p, nullptr);
  RebuildWhenLive(*m);
  return 0;
}

int32_t OnInputDomain(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  auto [m, c] = ClickOnModule(bits, id);
  if (!m) return 0;
  const int32_t p = SelectedParameter(*m);
  if (p < 0) {
    c->Colour = kNoDomainColour;
    V::TextFieldSetText(&c->Text, " ");
    return 0;
  }
  ModuleParam& param = m->Params[p];
  int32_t side = 0;
  {
    // The render reads the side in every frame: it changes between two.
    FrameHold hold;
    if (!hold.held) {
      SetStatusText(WaitingForAudioText());
      return 0;
    }
    Invert(param.SideSwap);
    side = param.DefaultOutputSide;
    if (param.SideSwap != 0) {
      side += 1;
      if (side > 1) side -= 2;
    }
    // The plane's frame watch reads it for the cable's colour: stored whole.
    param.OutputSide.Store(side);
  }
  c->Colour = kDomainColours[std::clamp(side, 0, 2)];
  V::TextFieldSetText(&c->Text, side != 0 ? "E" : "T");
  RecordAction(kActionInputDomain, m, p, nullptr);
  const ModuleRecord* source = m->PortSources[p].Load();
  if (source && source->Role == kRoleLive) CablesDirty.store(-1);
  return 0;
}

int32_t OnSpatialChannel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c || !SelectorEvent(bits, x, y, id, 2, ChannelAccumulator)) return 0;
  ModuleRecord* m = SelectedModule;
  const int32_t p = m ? SelectedParameter(*m) : -1;
  // A move reads the channel once, where it is made: stored whole.
  if (m && p >= 0 && m->EditChannel.Load() != c->Text.Selected) {
    if (m->Params[p].ChannelCountExempt != 0) {
      // One value for both channels: the selector snaps back to the left.
      m->EditChannel.Store(0);
      c->Text.Selected = 0;
    } else {
      m->EditChannel.Store(c->Text.Selected);
      PanelShowPortPage(m, p);
    }
  }
  V::TextFieldSetText(&c->Text, c->Text.Selected != 0 ? "R" : "L");
  return 0;
}

int32_t OnLinkSpatialChannels(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  auto [m, c] = ClickOnModule(bits, id);
  if (!m) return 0;
  const int32_t p = m->SelectedParam.Load();
  const int32_t params = ParamCountOf(*m);
  if (p < 0) {
    int32_t kept = 0;
    {
      // The channel counts are the render's while it plays: they change
      // between two frames.
      FrameHold hold;
      if (!hold.held) {
        // The render is stuck inside a frame: nothing is linked half.
        SetStatusText(WaitingForAudioText());
        return 0;
      }
      if (m->Type != kTypeCapture) {
        const int64_t link = m->ChannelsProcessed.Load() == 1 ? 0 : -1;
        for (int32_t i = 0; i < params; ++i) {
          ModuleParam& param = m->Params[i];
          if (param.ChannelCountExempt != 0) continue;
          param.WriteBothChannels = link;
          if (ModuleRecord* value = m->PortValueModules[i]) {
            value->ChannelsProcessed.Store(static_cast<int32_t>(link + 2));
            kept = std::max(kept, value->ChannelsProcessed.Load());
          }
        }
      } else {
        kept = m->ChannelsProcessed.Load() == 1 ? 2 : 1;
        m->OutputChannels.Store(kept);
      }
      if (kept > 0) {
        if (m->ChannelsFixed == 0) {
          if (m->OutputChannels.Load() <= kept) m->ChannelsProcessed.Store(kept);
        } else {
          m->ChannelsProcessed.Store(1);
        }
      }
    }
    if (kept > 0) {
      if (m->ChannelsFixed == 0) {
        RefreshParamControl(m);
        RebuildWhenLive(*m);
      }
      RecordAction(kActionChannels, m, -1, nullptr);
    }
    c->State.On = m->ChannelsProcessed.Load() == 1 ? -1 : 0;
    return 0;
  }
  if (p >= params) return 0;
  ModuleParam& param = m->Params[p];
  if (param.ChannelCountExempt != 0) return 0;
  {
    FrameHold hold;
    if (!hold.held) {
      SetStatusText(WaitingForAudioText());
      return 0;
    }
    Invert(param.WriteBothChannels);
    if (ModuleRecord* value = m->PortValueModules[p])
      value->ChannelsProcessed.Store(static_cast<int32_t>(param.WriteBothChannels + 2));
    if (m->ChannelsFixed != 0) {
      m->ChannelsProcessed.Store(1);
    } else {
      int32_t most = 0;
      for (int32_t i = 0; i < params; ++i)
        if (const ModuleRecord* value = m->PortValueModules[i]) most = std::max(most, value->ChannelsProcessed.Load());
      if (most > 0) m->ChannelsProcessed.Store(most);
    }
    // Both channels carry the value the user was looking at (the values
    // still waiting for a frame have landed); it goes the way of every value
    // set while playing, and lands before the frames go on.
    if (param.WriteBothChannels != 0) {
      if (const ModuleRecord* value = m->PortValueModules[p]) {
        SetParamValueOrQueue(*m, p, value->Outputs[std::clamp(m->EditChannel.Load(), 0, 1)][0].Level);
        if (hold.held) TakeControllerMovesWhileHeld();
      }
    }
    RefreshParamControl(m);
  }
  const bool readsValue = param.PortLinkState.Load() == kPortUnlinked || param.PortLinkState.Load() == kPortGlobal;
  if (readsValue) RebuildWhenLive(*m);
  c->State.On = param.WriteBothChannels;
  RecordAction(kActionChannels, m, p, nullptr);
  return 0;
}

int32_t OnParameterList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  const uint32_t b = ListProcedure(bits, x, y, id, PortListCount, ParameterListAccumulator);
  ModuleRecord* m = SelectedModule;
  if (!(b & V::kEventClick) || !m) return 0;
  int32_t row = c->Text.Selected;
  if (row < 0 || row >= PortListCount || row >= kPortListRows || PortListRows[row].NoValueEditor != 0)
    row = -1;
  m->SelectedParam.Store(row);  // read by the value field's watch
  PanelShowPortPage(m, row);
  c->Text.Selected = m->SelectedParam.Load();
  return 0;
}

int32_t OnWaveShapeList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  const uint32_t b = ListProcedure(bits, x, y, id, kOfferedWaveShapes, ShapeListAccumulator);
  if (!(b & V::kEventClick)) return 0;
  // One shape is always chosen.
  if (c->Text.Selected < 0 || c->Text.Selected >= kOfferedWaveShapes) c->Text.Selected = 0;
  const int32_t row = c->Text.Selected;
  if (ControlRecord* graph = SlotCtl(kUiPGRAPH)) {
    graph->Text.Selected = row;
    V::ControlPublishText(graph, -1);
  }
  ModuleRecord* m = SelectedModule;
  if (!m || m->Category != kCategorySource) return 0;
  // The kernel reads the shape once a frame while playing: stored whole, the
  // next frame plays the row clicked.
  m->MidiDeviceBinding.Store(row);
  if (ControlRecord* box = m->BoxControl.Load() > 0 ? PanelCtl(static_cast<int32_t>(m->BoxControl.Load())) : nullptr) {
    const std::string caption = QUARLE_BASICS::DynZStringGet(m->ShortName) + " " +
                                std::to_string(m->InstanceNumber.Load()) + " : " +
                                QUARLE_BASICS::AbbreviateLabel(
                                    QUARLE_BASICS::DynZStringGet(WaveShapeTable[row].Name), -1);
    V::TextFieldSetText(&box->Text, caption.c_str());
    V::ControlPublishText(box, -1);
  }
  const int32_t refm = SlotId(kUiREFM);
  if (refm > 0) PublishText(refm + 1, -1);
  return 0;
}

int32_t OnKeyboardDeviceList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  const uint32_t b = ListProcedure(bits, x, y, id, kKeyboardDeviceRows, DeviceListAccumulator);
  if (!(b & V::kEventClick)) return 0;
  int32_t slot = std::max(c->Text.Selected - 1, -1);
  if (slot >= kMidiDeviceSlots) slot = -1;
  ModuleRecord* m = SelectedModule;
  if (m && m->Type == kTypeKeyboard) {
    {
      platform::MutexGuard guard(MT_MIDIMAPS);
      ReleaseChannels(DeviceMap(m->MidiDeviceBinding.Load() - 1), m->MidiChannelFilter.Load() - 1, m);
      if (MidiMap* map = DeviceMap(slot)) {
        if (map->DeviceName[0] == '\0')
          slot = -1;  // no device in that slot
        else
          TakeChannels(map, m->MidiChannelFilter.Load() - 1, m);
      }
      // The MIDI thread reads it under this lock.
      m->MidiDeviceBinding.Store(slot + 1);
    }
  }
  c->Text.Selected = slot + 1;
  if (slot == -1) c->Text.Changed = -1;
  return 0;
}

int32_t OnKeyboardChannel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c || !SelectorEvent(bits, x, y, id, kKeyboardChannelOptions, KeyboardChannelAccumulator))
    return 0;
  const int32_t value = c->Text.Selected;
  std::string caption = V::TextFieldGetText(&c->Text);
  caption = caption.substr(0, caption.size() >= 2 ? caption.size() - 2 : 0) + std::to_string(value) +
            (value <= 9 ? " " : "");
  V::TextFieldSetText(&c->Text, caption.c_str());
  ModuleRecord* m = SelectedModule;
  if (m && m->Type == kTypeKeyboard) {
    {
      platform::MutexGuard guard(MT_MIDIMAPS);
      if (MidiMap* map = DeviceMap(m->MidiDeviceBinding.Load() - 1)) {
        ReleaseChannels(map, m->MidiChannelFilter.Load() - 1, m);
        TakeChannels(map, value - 1, m);
      }
      m->MidiChannelFilter.Store(value);
    }
  }
  return 0;
}

int32_t OnWavePreview(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  return 0;
}

}  // namespace Tarvelo
