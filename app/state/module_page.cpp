#include "app/state/module_page.h"

#include <algorithm>
#include <initializer_list>
#include <string>

#include "app/state/dialogs.h"
#include "app/state/settings.h"
#include "basics/dynzstring.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "engine/units.h"
#include "engine/valueedit.h"
#include "platform/threads.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::DynZStringGet;

int32_t BrowserTab = 0;

namespace {

constexpr uint32_t kHighlightColour = 0xFFC86400;  // REC recording, LOOP running looped
constexpr uint32_t kNoDomainColour = 0xFF0A2A4D;
// PDOM by input domain: 0 time, 1 energy, 2 the synth output.
constexpr uint32_t kDomainColours[3] = {0xFFC800AA, 0xFF0055AA, 0xFFE6C300};

int32_t Slot(int32_t slot) {
  if (!V::UiIndex || slot < 0 || slot >= kUiSlotCount) return 0;
  return V::UiIndex[slot];
}

// An id relative to an indexed control; 0 when that control does not exist.
int32_t After(int32_t slot, int32_t offset) {
  const int32_t id = Slot(slot);
  return id > 0 ? id + offset : 0;
}

V::ControlRecord* At(int64_t id) {
  return id > 0 && id < V::kControlTableCapacity ? V::ControlAt(static_cast<int32_t>(id)) : nullptr;
}

void MarkOn(int64_t id, int64_t on) {
  if (V::ControlRecord* c = At(id)) {
    c->State.On = on;
    V::ControlPublishState(c);
  }
}

void Enable(int32_t id, bool enabled) {
  if (V::ControlRecord* c = At(id)) {
    V::SetDisabled(&c->State, enabled ? 0 : -1);
    V::ControlPublishState(c);
  }
}

void PutText(int32_t id, const std::string& text) {
  if (V::ControlRecord* c = At(id)) {
    V::TextFieldSetText(&c->Text, text.c_str());
    V::ControlPublishText(c, -1);
  }
}

// A list's selected row; republished (all render flags) only when it changed,
// unless told to always.
void SelectRow(int32_t id, int32_t item, bool always = true) {
  V::ControlRecord* c = At(id);
  if (!c) return;
  const bool changed = c->Text.Selected != item;
  c->Text.Selected = item;
  if (changed || always) V::ControlPublishText(c, -1);
}

void PostPress(int32_t target) {
  if (target <= 0) return;
  QUARLE_BASICS::CommandMessage msg{};
  msg.type = QUARLE_BASICS::kCommandControlEvent;
  msg.arg2 = static_cast<uint32_t>(target);
  msg.arg5 = V::kEventPress;
  msg.timeStamp = platform::HighResClock();
  QUARLE_BASICS::PostCommand(msg, 0, -1);
}

const ModuleRecord& TypeTemplate(int32_t type) {
  return ModuleCatalog[std::clamp(type, 0, kModuleTypeCount - 1)];
}

bool TypeIn(int32_t type, std::initializer_list<int32_t> types) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

// The module's no-voice-map flag: the record's flag word that construction
// clears and copies leave alone; nothing in the engine sets it today.
bool NoVoiceMap(const ModuleRecord& m) { return m.Reserved0 != 0; }

// What keeps PVM disabled whatever the port.
bool VoiceMapBlocked(const ModuleRecord& m) {
  return m.PolyphonyCapability == 0 || m.PortCount < 2 || NoVoiceMap(m);
}

// A switch button: its on word, then enabled or not (-1 leaves it), published.
void Switch(int32_t id, int64_t on, int enabled) {
  V::ControlRecord* c = At(id);
  if (!c) return;
  c->State.On = on;
  if (enabled >= 0) V::SetDisabled(&c->State, enabled ? 0 : -1);
  V::ControlPublish(c, 0);
}

void ShowSwitches(ModuleRecord& m) {
  const ModuleRecord& t = TypeTemplate(m.Type);
  const Shared<int64_t>* w = m.ModuleSwitches;
  const int32_t play = Slot(kUiPLAY);
  Switch(Slot(kUiMFP), w[kSwitchPower].Load(), -1);
  // The render stores play meanwhile (a Sequencer's pass end, a take's end).
  Switch(play, w[kSwitchPlay].Load(), t.DerivedFlag1 != 0);
  if (play <= 0) return;
  if (V::ControlRecord* hold = At(play + 1)) {
    hold->State.On = w[kSwitchHold].Load();
    V::ControlSetVisible(hold, m.Type == 32 ? -1 : 0);
    V::ControlPublish(hold, 0);
  }
  const bool recordable = t.DerivedFlag2 != 0 && m.Role == kRoleLive;
  if (V::ControlRecord* rec = At(play + 2)) {
    rec->Colour = m.RecordDone.Load() != 0 ? kHighlightColour : 0;
    Switch(play + 2, w[kSwitchRecord].Load(), recordable);
    if (recordable) {
      rec->EventCallback = m.Type == kTypeSample             ? Cb.OnSampleRecord
                           : m.Type == kTypeSequencer        ? Cb.OnSequencerRecord
                           : m.Type == kTypeMelodyGenerator  ? Cb.OnMelodyGeneratorRecord
                                                             : nullptr;
    }
  }
  if (V::ControlRecord* loop = At(play + 3)) {
    loop->Colour = m.StateWord21.Load() != 0 ? kHighlightColour : 0;
    Switch(play + 3, w[kSwitchLoop].Load(), TypeIn(m.Type, {1, 2, 5, 30}));
  }
  Switch(play + 4, w[kSwitchRewind].Load(), t.StateSelect != 0);
  if (V::ControlRecord* rwd = At(play + 5)) {
    V::SetDisabled(&rwd->State, t.DerivedFlag3 != 0 ? 0 : -1);
    V::ControlPublish(rwd, 0);
  }
  if (V::ControlRecord* sw1 = At(play + 6)) {
    sw1->Text.Selected = w[kSwitch1].Load() != 0 ? 1 : 0;
    V::SetDisabled(&sw1->State, t.DerivedFlag6 != 0 ? 0 : -1);
    V::ControlPublish(sw1, 0);
  }
  Switch(play + 7, w[kSwitch2].Load(), t.DerivedFlag7 != 0);
  Switch(play + 8, w[kSwitchZeroOut].Load(), t.DerivedFlag8 != 0);
  Switch(play + 9, w[kSwitchDual].Load(), t.MirrorPair != 0);
  Switch(Slot(kUiENV), w[kSwitchEnvelope].Load(), m.Type != 9 && m.Type != 14);
  Switch(Slot(kUiPOLY), w[kSwitchPerVoice].Load(), m.PolyphonyCapability == 2);
  Switch(Slot(kUiFBS), w[kSwitchFeedbackVoice].Load(), m.InstanceNumber.Load() > 0 && m.PortCount >= 1);
}

void ShowTypeLists(const ModuleRecord& m) {
  const int32_t choice = m.MidiDeviceBinding.Load();
  switch (m.Type) {
    case kTypeOscillator:
      SelectRow(Slot(kUiSLIST), choice);
      SelectRow(Slot(kUiPGRAPH), choice);
      break;
    case kTypeKeyboard: {
      SelectRow(Slot(kUiKBDEVS), choice);
      if (V::ControlRecord* kbch = At(Slot(kUiKBCH))) {
        const int32_t n = m.MidiChannelFilter.Load();
        std::string text = V::TextFieldGetText(&kbch->Text);
        text.erase(text.size() >= 2 ? text.size() - 2 : 0);
        text += std::to_string(n) + (n <= 9 ? " " : "");
        kbch->Text.Selected = n;
        V::TextFieldSetText(&kbch->Text, text.c_str());
        V::ControlPublishText(kbch, -1);
      }
      break;
    }
    case kTypeMelodyGenerator:
      SelectRow(Slot(kUiSCALELIST), choice);
      break;
    default:
      SelectRow(Slot(kUiFLIST), -1);
      SelectRow(Slot(kUiWLIST), -1);
      SelectRow(Slot(kUiMLIST), -1);
      break;
  }
}

void ShowTypeTabs(int32_t type) {
  const int32_t first = Slot(kUiMODTAB0);
  if (first <= 0) return;
  // MODTAB1A .. MODTAB1F follow MODTAB0.
  const int32_t tabTypes[6] = {kTypeOscillator, kTypeSample, 17, kTypeSequencer, kTypeKeyboard,
                               kTypeMelodyGenerator};
  for (int32_t i = 0; i < 6; ++i)
    if (V::ControlRecord* c = At(first + 1 + i)) V::ControlSetVisible(c, type == tabTypes[i] ? -1 : 0);
}

// The row of the type in the catalog list; -1 when the palette lacks it.
int32_t PaletteRow(int32_t type) {
  for (int32_t i = 0; i < kModuleTypeCount; ++i)
    if (ModulePaletteOrder[i] == type) return i;
  return -1;
}

}  // namespace

void ClearPortEditor() {
  const int32_t fad = Slot(kUiFAD_PP);
  for (int32_t k = 0; fad > 0 && k < 4; ++k) {
    if (V::ControlRecord* c = At(fad + k)) {
      V::SetDisabled(&c->State, -1);
      c->UserPointer = nullptr;
      V::ControlPublish(c, 0);
    }
  }
  MarkOn(Slot(kUiPGV), 0);
  if (V::ControlRecord* c = At(Slot(kUiPDOM))) {
    c->Colour = kNoDomainColour;
    V::TextFieldSetText(&c->Text, " ");
    V::ControlPublish(c, 0);
  }
  if (V::ControlRecord* c = At(Slot(kUiMIDI2))) {
    c->State.Spare = 0;
    V::ControlPublishState(c);
  }
}

void FillPortEditor(ParamValue& value) {
  const int32_t fad = Slot(kUiFAD_PP);
  if (fad <= 0) return;
  for (int32_t k = 0; k < 4; ++k) {
    if (V::ControlRecord* c = At(fad + k)) {
      c->UserPointer = &value;
      V::SetDisabled(&c->State, 0);
      V::ControlPublish(c, 0);
    }
  }
  // The value field's draw converts the record (its unit clamped too) under
  // its lock in a frame that shows a controller move.
  int32_t unit = 0;
  {
    platform::MutexGuard guard(value.Lock);
    unit = kUnitFamilySize * value.UnitFamily + value.Unit;
  }
  PutText(fad + 3, UnitSuffix(unit));
}

void SelectPort(int32_t i) {
  ModuleRecord* m = SelectedModule;
  if (!m) {
    PortListCount = 0;
    return;
  }
  CopyPortTable(m);
  // A row past the list, or one without a value editor, selects nothing.
  if (i < -1 || i >= PortListCount) i = -1;
  if (i >= 0 && PortListRows[i].NoValueEditor != 0) i = -1;
  // The value field's watch on the video thread reads it.
  m->SelectedParam.Store(i);
  if (V::ControlRecord* list = At(Slot(kUiPLIST))) {
    list->Text.Selected = i;
    list->Text.FirstVisible = 0;
    V::ControlPublishText(list, -1);
  }
}

void ShowPortPage(ModuleRecord* m, int32_t port) {
  const int32_t pvm = Slot(kUiPVM);
  const int32_t pscl = Slot(kUiPSCL);
  if (!m) {
    ClearPortEditor();
    MarkOn(pscl, 0);
    MarkOn(pvm, 0);
    Enable(pvm, false);
    return;
  }
  const int32_t params = std::clamp(m->ParamCount, 0, kModuleParams);
  if (port < 0 || port >= params) {
    ClearPortEditor();
    MarkOn(pscl, m->ChannelsProcessed.Load() == 1 ? -1 : 0);
    MarkOn(pvm, m->ChosenSourcePort < 0 ? -1 : 0);
    Enable(pvm, !VoiceMapBlocked(*m));
    return;
  }
  ModuleParam& p = m->Params[port];
  if (p.NoValueEditor != 0)
    ClearPortEditor();
  else
    FillPortEditor(p.Number);
  MarkOn(pvm, m->VoiceMapSourcePort.Load() == port ? -1 : 0);
  Enable(pvm, !VoiceMapBlocked(*m) && port < m->PortCount);
  MarkOn(Slot(kUiPGV), p.Global.Load());
  MarkOn(pscl, p.WriteBothChannels);
  if (V::ControlRecord* c = At(Slot(kUiMIDI2))) {
    c->State.Spare = p.MidiMapCount.Load();
    V::ControlPublishState(c);
  }
  if (V::ControlRecord* c = At(Slot(kUiPDOM))) {
    const int32_t domain = p.OutputSide.Load();
    c->Colour = kDomainColours[std::clamp(domain, 0, 2)];
    V::TextFieldSetText(&c->Text, domain != 0 ? "E" : "T");
    V::ControlPublish(c, 0);
  }
  RefreshParamControl(m);
}

void SelectModule(ModuleRecord* module, int32_t port) {
  const int32_t requestedPort = port;
  // A typed value for the parameter page's editor no longer has its module.
  const int32_t typedEntry = After(kUiFAD_PP, 1);
  if (typedEntry > 0 && DialogOwner == typedEntry) {
    MarkOn(typedEntry, 0);
    CloseDialog();
  }
  ModuleRecord* old = SelectedModule;
  if (module != old || module == nullptr) {
    if (old && old->Role == kRoleLive) MarkOn(old->BoxControl.Load(), 0);
    if (module && module->Role == kRoleLive) MarkOn(module->BoxControl.Load(), -1);
    SelectRow(Slot(kUiFLIST), -1, false);
    SelectRow(Slot(kUiWLIST), -1, false);
    SelectRow(Slot(kUiMLIST), -1, false);
  } else if (module->SelectedParam.Load() == port) {
    return;
  }

  SetSelectedModule(module);
  if (V::ControlRecord* del = At(After(kUiLSORDER, 3))) {
    V::SetDisabled(&del->State, BrowserTab == 0 ? -1 : 0);  // no message can be deleted
    V::ControlPublishState(del);
  }
  const int32_t refm = Slot(kUiREFM);
  const int32_t libm = refm > 0 ? refm + 1 : 0;
  if (!module) {
    // A removed module's name must not stay on the page.
    PutText(Slot(kUiMTLBL), QUARLE_BASICS::LangText(318, "[NO ACTIVE SELECTION]"));
    PortListCount = 0;
    SelectRow(libm, -1, false);
    SelectRow(refm, -1, false);
    ShowPortPage(nullptr, -1);
    Enable(Slot(kUiTOOLS), false);
    return;
  }

  Enable(Slot(kUiTOOLS), true);
  if (port == -1) port = module->SelectedParam.Load();
  SelectPort(port);
  ShowSwitches(*module);
  ShowTypeLists(*module);
  ShowTypeTabs(module->Type);

  // The page of the module's tab: the settings page when a port was asked for.
  if (requestedPort >= 0) module->PageWord = 0;
  const int32_t tab0 = Slot(kUiMODTAB0);
  if (const V::ControlRecord* c = At(tab0)) {
    const int32_t tab = std::clamp(module->PageWord, 0, 6);
    if (c->EventCallback) c->EventCallback(V::kEventPress, 0, 0, tab0 + tab, tab0 + tab);
  }

  const bool live = module->InstanceNumber.Load() > 0;
  const std::string name = DynZStringGet(module->Name);
  PutText(Slot(kUiMTLBL), live ? name + " " + std::to_string(module->InstanceNumber.Load()) : name);
  if (live) {
    SelectRow(libm, module->ListIndex.Load(), false);
    SelectRow(refm, -1, false);
  } else {
    SelectRow(refm, PaletteRow(module->Type), false);
    SelectRow(libm, -1, false);
  }

  if (BrowserTab != 2) PostPress(After(kUiTABMSG, 2));
  const V::ControlRecord* list = At(live ? libm : refm);
  if (list && V::ControlVisible(list) == 0) {
    const int32_t libt1 = Slot(kUiLIBT1);
    if (libt1 > 0) PostPress(live ? libt1 + 1 : libt1);
  }

  if (V::ControlRecord* psc = At(Slot(kUiPSC))) {
    psc->Text.Selected = module->EditChannel.Load();
    V::TextFieldSetText(&psc->Text, module->EditChannel.Load() != 0 ? "R" : "L");
    V::ControlPublish(psc, 0);
  }
  ShowPortPage(module, module->SelectedParam.Load());
}

void RefreshTuningPanel() {
  std::string name, firstKey;
  int32_t keys = 0;
  float reference = 0.0f;
  {
    platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
    name = DynZStringGet(EditedTuning.FileName);
    firstKey = TuningGetNoteName(EditedTuning, 0);
    keys = TuningGetNoteCount(EditedTuning);
    reference = TuningGetReferencePitch(EditedTuning);
  }
  const int32_t firstKeyButton = Slot(kUiTNG_RFK);
  PutText(Slot(kUiTNGNAME), name);
  PutText(firstKeyButton, firstKey);
  // The reference field sits two controls before the first-key button; a
  // stale value there would be taken for the loaded tuning's and typed over.
  if (V::ControlRecord* field = At(firstKeyButton - 2); field && field->UserPointer == &ReferenceFrequencyValue) {
    {
      platform::MutexGuard guard(ReferenceFrequencyValue.Lock);
      ParamValueConvertUnit(ReferenceFrequencyValue, reference, 0, 0);
    }
    V::ControlPublish(field, -1);
  }
  if (V::ControlRecord* grid = At(Slot(kUiTNGSCL))) {
    grid->Text.Selected = -1;
    grid->Text.TextSize = DefaultTextSize + 3;
    V::ControlPublish(grid, -1);
  }
  for (int32_t slot : {kUiFAV_RK, kUiFAV_AK}) {
    const int32_t id = Slot(slot);
    for (int32_t k = 0; id > 0 && k < 3; ++k) Enable(id - k, false);
  }
  Enable(firstKeyButton, false);
  Enable(Slot(kUiFAE_KR), false);
  PutText(Slot(kUiTNGNBL), std::to_string(keys) + QUARLE_BASICS::LangText(180, " keys"));
  if (V::ControlRecord* kb = At(Slot(kUiKB))) V::ControlPublish(kb, -1);
  // The first pattern is selected, as a list click leaves it: the switches
  // show it, and a press on them must change what they show.
  if (V::ControlRecord* patterns = At(Slot(kUiSAM_PATTERNS))) {
    patterns->Text.Selected = 0;
    patterns->Text.FirstVisible = 0;
    V::ControlPublishText(patterns, -1);
  }
}

void ShowPerVoiceSwitch(int64_t on) { MarkOn(Slot(kUiPOLY), on); }

}  // namespace Tarvelo
