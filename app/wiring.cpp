#include "app/wiring.h"

#include <string>

#include "app/documents/doc_hooks.h"
#include "app/startup_hooks.h"
#include "app/state/modules.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/ui_hooks.h"
#include "audio/midi.h"
#include "engine/catalog/catalog.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/sequencer.h"
#include "engine/keyboard.h"
#include "engine/module.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "engine/ui_hooks.h"
#include "platform/saver.h"
#include "platform/threads.h"
#include "ui/build/callbacks.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/panels/install.h"
#include "ui/views/control_images.h"
#include "ui/views/install.h"
#include "ui/views/install_c.h"
#include "ui/views/scope_view.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/fonts.h"
#include "visuals/layers.h"
#include "visuals/text.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

namespace {

// --- Named controls ------------------------------------------------------------

int32_t Slot(int32_t slot) {
  if (!V::UiIndex || slot < 0 || slot >= kUiSlotCount) return 0;
  const int32_t id = V::UiIndex[slot];
  return id > 0 ? id : 0;
}

// Id 0 is the root window, never one of the named controls.
V::ControlRecord* Live(int64_t id) {
  if (id <= 0 || id >= V::kControlTableCapacity) return nullptr;
  return V::ControlAt(static_cast<int32_t>(id));
}

void SetTextPublished(int32_t id, const std::string& text) {
  if (V::ControlRecord* c = Live(id)) {
    V::TextFieldSetText(&c->Text, text.c_str());
    V::ControlPublishText(c, 0);
  }
}

void SetOnPublished(int32_t id, int64_t on) {
  if (V::ControlRecord* c = Live(id)) {
    c->State.On = on;
    V::ControlPublishState(c);
  }
}

// --- Engine core ------------------------------------------------------------------

int32_t EngineControlId(int32_t named) {
  switch (named) {
    case kControlParamList: return Slot(kUiPLIST);
    case kControlMidiLearn0: return Slot(kUiMIDI0);
    case kControlMidiLearn1: return Slot(kUiMIDI1);
    case kControlMidiLearn2: return Slot(kUiMIDI2);
    case kControlMidiKindSelector: return Slot(kUiMIDICCCT);
    case kControlMidiDevices: return Slot(kUiMIDIDEVS);
    case kControlFilterGraph: return Slot(kUiFGRAPH);
    default: return 0;
  }
}

void EnginePublishText(int32_t id, int64_t flags) {
  if (V::ControlRecord* c = Live(id)) V::ControlPublishText(c, flags);
}

void EnginePublishState(int32_t id) {
  if (V::ControlRecord* c = Live(id)) V::ControlPublishState(c);
}

void EngineSetPressed(int32_t id, int64_t pressed) {
  if (V::ControlRecord* c = Live(id)) c->State.Pressed = pressed;
}

void EngineSetOn(int32_t id, int64_t on) {
  if (V::ControlRecord* c = Live(id)) c->State.On = on;
}

int32_t EngineVisible(int64_t id) {
  const V::ControlRecord* c = Live(id);
  return c && V::ControlVisible(c) != 0 ? -1 : 0;
}

int32_t EngineIsEnabled(int32_t id) {
  const V::ControlRecord* c = Live(id);
  return c && V::ControlIsEnabled(c) != 0 ? -1 : 0;
}

int32_t EngineX(int64_t id) {
  const V::ControlRecord* c = Live(id);
  return c ? c->X : 0;
}

int32_t EngineY(int64_t id) {
  const V::ControlRecord* c = Live(id);
  return c ? c->Y : 0;
}

// In the interface's text font once it is loaded; before that (and without a
// screen) half the size per character, as the engine's own default.
int32_t InterfaceTextWidth(const std::string& text, int32_t size) {
  if (!V::TextFont.Face) return static_cast<int32_t>(text.size()) * size / 2;
  return V::TextWidth(text, &V::TextFont, size);
}

// --- MIDI input -------------------------------------------------------------------

int32_t MidiControlId(int32_t named) {
  switch (named) {
    case QUARLE_AUDIO::kControlKeyboardDevices: return Slot(kUiKBDEVS);
    case QUARLE_AUDIO::kControlKeyboard: return Slot(kUiKB);
    case QUARLE_AUDIO::kControlDialogEdit:
      return V::DialogEditIndex && *V::DialogEditIndex > 0 ? *V::DialogEditIndex : 0;
    case QUARLE_AUDIO::kControlTypedEntry:
      // The typed-entry button is made right after the display-mode button.
      return Slot(kUiFAD_PP) > 0 ? Slot(kUiFAD_PP) + 1 : 0;
    default: return 0;
  }
}

void MidiSetSelected(int32_t id, int32_t item) {
  if (V::ControlRecord* c = Live(id)) c->Text.Selected = item;
}

void MidiSetVisible(int32_t id, int32_t visible) {
  if (V::ControlRecord* c = Live(id)) V::ControlSetVisible(c, visible != 0 ? -1 : 0);
}

int64_t MidiOnWord(int32_t id) {
  const V::ControlRecord* c = Live(id);
  return c ? c->State.On : 0;
}

int64_t MidiDisplayInput() { return Settings.DisplayMidiInput.Load(); }

// --- Application state ---------------------------------------------------------------

int64_t VideoRunning() { return V::VideoRunFlag.load(); }
int64_t VideoLooping() { return V::VideoThreadActive.load(); }
int64_t InterfaceBuilt() { return V::InterfaceReady.load(); }
void SetInterfaceBuilt(int64_t ready) { V::InterfaceReady.store(ready); }
void StopVideo() { V::StopVideoThread(); }
int32_t StartVideo(int32_t measure) { return V::StartVideoThread(measure); }
void EditFieldTakesTextFont() { V::EditFont = V::TextFont; }

// --- Documents -----------------------------------------------------------------------

void OutputPortPosition(int32_t* x, int32_t* y) {
  const V::ControlRecord* sout = Live(Slot(kUiSOUT));
  *x = sout ? sout->X : 0;
  *y = sout ? sout->Y : 0;
}

void PlanePan(int32_t* x, int32_t* y) {
  *x = PlaneOffset.x;
  *y = PlaneOffset.y;
}

// The synth output port goes back to where it stood before the plane was
// panned, so that positions read against it are the unpanned ones.
void ResetPlanePan() {
  const int32_t id = Slot(kUiSOUT);
  if (V::ControlRecord* sout = Live(id)) {
    V::ControlSetX(sout, sout->X - PlaneOffset.x);
    V::ControlSetY(sout, sout->Y - PlaneOffset.y);
    PlaneOffset = PlaneOffsetRecord{};
    V::UpdateControl(id, 0);
    return;
  }
  PlaneOffset = PlaneOffsetRecord{};
}

void OutputPortOn(int64_t on) { SetOnPublished(Slot(kUiSOUT), on); }

void ShowGains(const std::string& input, const std::string& output) {
  SetTextPublished(Slot(kUiMicM), input);
  SetTextPublished(Slot(kUiPlayM), output);
}

void ShowSessionTitle(const std::string& text) { SetTextPublished(Slot(kUiTABSES), text); }

int32_t ActiveNotesPerOctave() {
  platform::MutexGuard guard(MT_TUNINGS[kActiveTuning]);
  const int32_t n = TuningGetNoteCount(ActiveTuning);
  return n > 0 ? n : 1;
}

const KeyboardState* Shown(const Shared<KeyboardState*>* bank, int32_t index) {
  return index >= 0 && index < kKeyboardBankSize ? bank[index].Load() : nullptr;
}

// The lock switch and the island-keys switch of a panel show a state's words:
// the switch is on while island keys (slide word 0) are in use.
void ShowSwitches(const KeyboardState* s, int32_t lockSlot, int32_t islandSlot) {
  if (!s) return;
  SetOnPublished(Slot(lockSlot), s->LockFlag.Load());
  if (V::ControlRecord* ik = Live(Slot(islandSlot))) {
    const int32_t slide = s->Stamp.Load();
    ik->Text.Selected = slide;
    ik->State.On = slide == 0 ? -1 : 0;
    V::ControlPublishText(ik, -1);
    V::ControlPublishState(ik);
  }
}

void OctaveBoardStatesLoaded() {
  ShowSwitches(Shown(OctaveBoardStates, CurrentOctaveBoardIndex.Load()), kUiBBLOCK, kUiBBIK);
  LayOutOctaveBoard();
  EnginePublishText(Slot(kUiBB), -1);
}

void KeyboardStatesLoaded() {
  const KeyboardState* s = Shown(KeyboardStates, CurrentKeyboardIndex.Load());
  if (s) {
    if (V::ControlRecord* pos = Live(Slot(kUiKBPOS))) {
      pos->Text.Selected = s->KeyOffset.Load() + 8 * ActiveNotesPerOctave();
      V::ControlPublishText(pos, -1);
    }
  }
  ShowSwitches(s, kUiKBLOCK, kUiKBIK);
  EnginePublishText(Slot(kUiKB), -1);
}

// --- Recordings that finish on the audio thread ---------------------------------------
// Only the list's render record is touched (its own lock, held for a copy).

void RepublishSampleList() { EnginePublishText(Slot(kUiWLIST), -1); }
void RepublishMelodyList() { EnginePublishText(Slot(kUiMLIST), -1); }

bool PostMelodiesFinished() { return PostToInterface(kMessageMelodiesFinished); }

// --- The interface build ---------------------------------------------------------------

// The scope starts in the mode the settings keep; they are read only after the
// wiring is in place, so the mode is taken up when the interface is built.
int32_t BuildWiredInterface(float scale) {
  ScopeMode.store(Settings.Scope >= 0 && Settings.Scope <= 4 ? Settings.Scope : 0);
  return BuildInterface(scale);
}

}  // namespace

void InstallInterfaceAdapters() {
  EngineUi.ControlId = EngineControlId;
  EngineUi.PublishText = EnginePublishText;
  EngineUi.PublishState = EnginePublishState;
  EngineUi.SetPressed = EngineSetPressed;
  EngineUi.SetOn = EngineSetOn;
  EngineUi.Visible = EngineVisible;
  EngineUi.IsEnabled = EngineIsEnabled;
  EngineUi.X = EngineX;
  EngineUi.Y = EngineY;
  EngineUi.TextWidth = InterfaceTextWidth;
  CatalogTextWidth = InterfaceTextWidth;

  QUARLE_AUDIO::MidiUi.ControlId = MidiControlId;
  QUARLE_AUDIO::MidiUi.SetSelected = MidiSetSelected;
  QUARLE_AUDIO::MidiUi.SetVisible = MidiSetVisible;
  QUARLE_AUDIO::MidiUi.OnWord = MidiOnWord;
  QUARLE_AUDIO::MidiUi.DisplayMidiInput = MidiDisplayInput;

  StateUi.VideoRunFlag = VideoRunning;
  StateUi.VideoLoopActive = VideoLooping;
  StateUi.InterfaceReady = InterfaceBuilt;
  StateUi.SetInterfaceReady = SetInterfaceBuilt;
  StateUi.StopVideoThread = StopVideo;
  StateUi.StartVideoThread = StartVideo;
  StateUi.UseTextFontForEditField = EditFieldTakesTextFont;

  DocumentUi.OutputPortPosition = OutputPortPosition;
  DocumentUi.PlaneOffset = PlanePan;
  DocumentUi.ResetPlaneOffset = ResetPlanePan;
  DocumentUi.SetOutputPortOn = OutputPortOn;
  DocumentUi.ShowGains = ShowGains;
  DocumentUi.ShowSessionTitle = ShowSessionTitle;
  DocumentUi.OctaveBoardStatesLoaded = OctaveBoardStatesLoaded;
  DocumentUi.KeyboardStatesLoaded = KeyboardStatesLoaded;

  SampleListChanged = RepublishSampleList;
  PublishMelodyList = RepublishMelodyList;
  WakeInterfaceForMelodies = PostMelodiesFinished;
  WakeInterfaceForControllers = [] { return PostToInterface(kMessageControllerMoves); };
  platform::SetSaverWake([] { return PostToInterface(kMessageSavesDone); });
  platform::SetSaveOutcomeWatch(NoteSaveOutcome);

  Startup.FreeGlowImages = FreeGlowImages;
}

void InstallProgramWiring() {
  // The module page and blocks first: the views then add the plane's own
  // answer to a module's removal to the same box hooks.
  InstallModuleUi();
  InstallViewCallbacksA();
  InstallViewCallbacksB();
  InstallViewCallbacksC();
  InstallPanelHandlersA();
  InstallPanelHandlersB();
  InstallInterfaceAdapters();
  Startup.BuildInterface = BuildWiredInterface;
}

}  // namespace Tarvelo
