#include "ui/panels/melody_panel.h"

#include <cstdlib>
#include <string>

#include "app/documents/melody_file.h"
#include "app/documents/wave_convert.h"
#include "app/state/console.h"
#include "app/state/wave_library.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "engine/command.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sequencer.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/panels/libraries.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/sample_panel.h"
#include "ui/views/list_views.h"
#include "visuals/controls.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::LangText;

namespace {

// one thread: interface
int32_t ListAccumulator = 0;

// The numbers MSET gives a Sequencer from a melody: its parameters 0 and 3
// from words 7 and 4 of the record, 2 from the pitch, 4 from the duration.
constexpr int32_t kRecordWordFirst = 7;
constexpr int32_t kRecordWordSecond = 4;
constexpr uint32_t kRecordMinimumBytes = 4 * (kRecordWordFirst + 1);

int32_t MlistSelection() {
  const ControlRecord* c = SlotCtl(kUiMLIST);
  return c ? c->Text.Selected : -1;
}

// Read first: only an idle entry's size and data are settled.
bool Busy(const WaveLibraryEntry* e) { return e->State.Load(std::memory_order_acquire) != kWaveIdle; }

// REC clicked while m records. A Sequencer's take ends at the next frame
// boundary; a Melody Generator's at its phrase end, which only a frame that
// plays it brings (where no phrase runs, the render ends it at its next
// frame). A click while that stop is pending ends the take at the next frame:
// a phrase may never reach its end (its tempo at 0), and REC must not stay
// deaf. Where nothing renders m any more (the output went off, the module was
// switched off or unlinked since the take began) no frame serves the stop and
// the entry would stay busy for good: the take ends here.
void StopMelodyTake(ModuleRecord* m) {
  const bool pending = m->RecordDone.Load() != 0;
  const bool unrendered = !TakeCannotStart(m).empty();
  if (!pending && !AskTakeEnd(m)) return;
  if (m->Type != kTypeSequencer && !pending && !unrendered) return;
  PostFinishTake(m);
  WaitEngineCommandSlot();
}

}  // namespace

void ResetMelodyPanelStatics() { ListAccumulator = 0; }

int32_t NewMelodyEntry(uint32_t failureMessage, WaveLibraryEntry** out) {
  *out = nullptr;
  if (WaveLibraryListReserve(MelodyLibrary) != 0) return -QUARLE_BASICS::kErrAllocation;
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (!e) return -QUARLE_BASICS::kErrAllocation;
  e->ListIndex = LibraryCount(MelodyLibrary);
  e->LoadState = kWaveFormatKnown;
  e->State.Store(kWaveCreating, std::memory_order_release);
  const std::string folder = DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\MELODIES";
  QUARLE_BASICS::DynZStringAssign(e->Folder, folder);
  QUARLE_BASICS::DynZStringAssign(e->File,
                                  FreeEntryFileName(MelodyLibrary, folder, QUARLE_BASICS::TimeStampText() + ".mel"));
  e->Saved = 0;
  e->Sound.samples = static_cast<float*>(std::calloc(kMelodyRecordBytes / 4, sizeof(float)));
  if (!e->Sound.samples) {
    QUARLE_BASICS::Report(LangText(failureMessage, "Unable to create new melody file."),
                          QUARLE_BASICS::kLevelError);
    WaveLibraryEntryDelete(e);
    return -QUARLE_BASICS::kErrAllocation;
  }
  e->Sound.dataSize = kMelodyRecordBytes;
  e->LoadState = kWaveDataHeld;
  WaveLibraryListCommit(MelodyLibrary, e);
  *out = e;
  return 0;
}

int32_t OnMelodyList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const int32_t count = LibraryCount(MelodyLibrary);
  const uint32_t b = ListProcedure(bits, x, y, id, count, ListAccumulator);
  ControlRecord* c = PanelCtl(id);
  if (!c || !(b & V::kEventClick)) return 0;
  // A busy melody (one being recorded) cannot be selected.
  platform::MutexGuard guard(MelodyLibrary.header.lock);
  const WaveLibraryEntry* e = WaveLibraryListAt(MelodyLibrary, c->Text.Selected);
  if (!e || Busy(e)) c->Text.Selected = -1;
  return 0;
}

int32_t OnMelodySave(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  WaveLibraryEntry* e = WaveLibraryListAt(MelodyLibrary, MlistSelection());
  if (!e) {
    SetStatusText(LangText(207, "No item is selected."));
    return 0;
  }
  if (e->Saved != 0 || !e->Sound.samples || Busy(e)) return 0;
  const int32_t r = SaveMelody(e);
  if (r < 0) {
    QUARLE_BASICS::Report(LangText(247, "Error saving file: ") + QUARLE_BASICS::ErrorText(r),
                          QUARLE_BASICS::kLevelError);
    return 0;
  }
  const std::string file = DynZStringGet(e->File);
  SetStatusText(file + " " + LangText(248, "has been saved."));
  ShowSavedFileInBrowser(file.c_str());
  return 0;
}

int32_t OnMelodyUnload(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  int32_t s = MlistSelection();
  const int32_t count = LibraryCount(MelodyLibrary);
  if (s > count - 1) s = count - 1;
  WaveLibraryEntry* e = WaveLibraryListAt(MelodyLibrary, s);
  if (s < 0 || !e) {
    SetStatusText(LangText(207, "No item is selected."));
    return 0;
  }
  if (Busy(e)) return 0;
  // Sequencers play it; a Melody Generator may hold it too and must let go.
  DetachEntryEverywhere(e, true);
  ControlRecord* list = SlotCtl(kUiMLIST);
  if (list) {
    list->Text.Selected = -1;
    V::ControlPublishText(list, 0);
  }
  RemoveLibraryListEntry(MelodyLibrary, s);
  const int32_t left = LibraryCount(MelodyLibrary);
  if (list) {
    list->Text.Selected = s < left ? s : left - 1;
    V::ControlPublishText(list, -1);
  }
  return 0;
}

int32_t OnMelodySet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ModuleRecord* m = SelectedModule;
  // The melody's numbers are a Sequencer's parameters.
  if (!m || m->Type != kTypeSequencer) return 0;
  // A take the record button began may not have reached the render yet (its
  // end would then write over what Set gives): what the module has pending
  // runs first, so the switch below is read as the render will have it.
  if (!SettleCommandsOf(m)) {
    SetStatusText(WaitingForAudioText());
    return 0;
  }
  if (m->ModuleSwitches[kSwitchRecord].Load() != 0) return 0;
  // Play stops while the melody changes and starts again after. While the
  // render plays the module the switches are its words (a pass end stops it):
  // it takes the pause and the resume at frame boundaries, in order behind
  // each other and the melody, and the resume puts back only what the pause
  // turned off. Each command runs at a boundary of its own, so the module
  // renders a frame stopped before the melody changes.
  const bool paused = m->ModuleSwitches[kSwitchPlay].Load() != 0;
  if (paused) PostPausePlay(m);
  WaveLibraryEntry* e = WaveLibraryListAt(MelodyLibrary, MlistSelection());
  float first = 0.0f, pitch = 0.0f, second = 0.0f, duration = 0.0f;
  if (e) {
    if (Busy(e) || !e->Sound.samples || e->Sound.dataSize < kRecordMinimumBytes) {
      // Nothing is set: the module plays on as it did.
      if (paused) PostResumePlay(m);
      return 0;
    }
    first = e->Sound.samples[kRecordWordFirst];
    second = e->Sound.samples[kRecordWordSecond];
    pitch = e->Pitch[0];
    duration = e->Duration.Load();
  }
  // While playing the values are the render's: they land with the next frame,
  // before the melody is attached.
  SetParamValueOrQueue(*m, 0, first);
  SetParamValueOrQueue(*m, 2, pitch);
  SetParamValueOrQueue(*m, 3, second);
  SetParamValueOrQueue(*m, 4, duration);
  AssignWaveToModule(m, e, 0);
  if (paused) PostResumePlay(m);
  return 0;
}

int32_t OnSequencerRecord(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ModuleRecord* m = SelectedModule;
  if (!m || m->Type != kTypeSequencer) return 0;
  if (m->ModuleSwitches[kSwitchRecord].Load() != 0) {
    StopMelodyTake(m);
  } else if (m->RecordDone.Load() == 0) {
    if (RefuseTakeStart(id, m)) return 0;
    // The attachment stops what the module plays and clears its voices at
    // a frame boundary (posted: the render has the module), so the play and
    // rewind switches stay as they are: writing them here would race the
    // frame that reads them.
    if (m->ModuleSwitches[kSwitchPlay].Load() != 0)
      SetStatusText(LangText(249, "Wait until the record button turns on."));
    WaveLibraryEntry* e = nullptr;
    const int32_t r = NewMelodyEntry(250, &e);
    if (r != 0) return r;
    AssignWaveToModule(m, e, ~uint64_t{0});
    WaitEngineCommandSlot();
  }
  ShowRecordState(id, m);
  return 0;
}

int32_t OnMelodyGeneratorRecord(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ModuleRecord* m = SelectedModule;
  if (!m || m->Type != kTypeMelodyGenerator) return 0;
  if (m->ModuleSwitches[kSwitchRecord].Load() != 0) {
    StopMelodyTake(m);
  } else if (m->RecordDone.Load() == 0) {
    if (RefuseTakeStart(id, m)) return 0;
    WaveLibraryEntry* e = nullptr;
    const int32_t r = NewMelodyEntry(251, &e);
    if (r != 0) return r;
    // The render reads the melody and the switch: it takes them at its next
    // frame, which the button then shows.
    PostBeginTake(m, e);
    WaitEngineCommandSlot();
  }
  ShowRecordState(id, m);
  return 0;
}

}  // namespace Tarvelo
