#include "ui/panels/sample_panel.h"

#include <string>

#include "app/documents/wave_convert.h"
#include "app/startup.h"
#include "app/state/console.h"
#include "app/state/wave_library.h"
#include "basics/errors.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/panels/panel_common.h"
#include "ui/panels/libraries.h"
#include "visuals/controls.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::LangText;

namespace {

constexpr int32_t kSampleLengthParam = 6;  // recording length in seconds
constexpr int32_t kSampleInputPort = 5;    // the recorded input
constexpr int32_t kSampleFrequencyParam = 2;

ModuleRecord* SelectedSample() {
  ModuleRecord* m = SelectedModule;
  return m && m->Type == kTypeSample ? m : nullptr;
}

int32_t WlistSelection() {
  ControlRecord* c = SlotCtl(kUiWLIST);
  return c ? c->Text.Selected : -1;
}

}  // namespace

void ShowRecordState(int32_t recId, const ModuleRecord* m) {
  ControlRecord* rec = PanelCtl(recId);
  if (!rec || !m) return;
  // The render sets and clears both while playing: read whole.
  rec->State.On = m->ModuleSwitches[kSwitchRecord].Load();
  rec->Colour = m->RecordDone.Load() != 0 ? kRecordPendingColour : 0;
  V::ControlPublish(rec, 0);
}

bool AskTakeEnd(ModuleRecord* m) {
  // The render may end the take on its own (its Length, a full melody, a
  // phrase end) right after the page read the switch: it turns the switch
  // off, then clears the request (with release). A request stored after that
  // would stay with no take to serve it, and REC would refuse every click. So
  // the request is taken only from a cleared word, then the switch is read
  // again: off, the take is gone and the request is taken back (the render
  // cleared it already, or clears it at its finish, whichever came first).
  int64_t cleared = 0;
  if (!m->RecordDone.CompareExchange(cleared, -1, std::memory_order_acq_rel)) return false;
  if (m->ModuleSwitches[kSwitchRecord].Load(std::memory_order_acquire) != 0) return true;
  int64_t asked = -1;
  m->RecordDone.CompareExchange(asked, 0, std::memory_order_acq_rel);
  return false;
}

void DetachEntryEverywhere(const WaveLibraryEntry* e, bool stopPlay) {
  if (!e) return;
  bool posted = false;
  // Only the main thread changes the module list, so it is walked without its lock.
  for (int32_t i = 0; i < ModuleList.count && ModuleList.entries; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (!m || m->SampleEntry.Load() != e) continue;
    if (IsModuleLive(m, 0) != 1) {
      // The whole detach (the sound's channels go too), at once unless the
      // render may still read the module.
      PostDetachWave(m);
      posted = true;
      continue;
    }
    // The render writes the switch too: it stops the module at a frame
    // boundary, a frame before the detach posted behind.
    if (stopPlay && m->Type == kTypeSequencer && m->ModuleSwitches[kSwitchPlay].Load() != 0)
      PostPlaySwitch(m, 0);
    PostDetachWave(m);
    posted = true;
  }
  for (ModuleRecord& t : ModuleCatalog) {
    if (t.SampleEntry.Load() != e) continue;
    t.SampleEntry.Store(nullptr);
    t.SampleData = nullptr;
  }
  // The render callback may still read the entry's data until the detach has
  // run; the entry is freed only afterwards.
  if (posted) WaitEngineCommandSlot();
}

void ShowSavedFileInBrowser(const char* fileName) {
  const int32_t files = SlotId(kUiFILES);
  if (files <= 0 || PanelActiveBrowserList() != files) return;
  QUARLE_BASICS::ListFolder(BrowserListing, "", "", 0, 0);
  PublishWhole(files, -1);
  PanelSelectBrowserFile(fileName);
}

// In the processing order means powered and linked towards the synth output.
std::string TakeCannotStart(const ModuleRecord* m) {
  if (PlaybackActive.load() == 0) return "Turn audio output ON to record.";
  if (IsModuleLive(m, 0) == 1) return "";
  if (m->ModuleSwitches[kSwitchPower].Load() == 0) return "Turn the module ON to record.";
  return "Link the module to the synth output to record.";
}

bool RefuseTakeStart(int32_t recId, const ModuleRecord* m) {
  const std::string why = TakeCannotStart(m);
  if (why.empty()) return false;
  SetStatusText(why);
  ShowRecordState(recId, m);
  return true;
}

int32_t OnSampleRecord(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ModuleRecord* m = SelectedSample();
  if (!m) return 0;
  if (m->RecordDone.Load() == 0) {
    if (m->ModuleSwitches[kSwitchRecord].Load() == 0) {
      if (RefuseTakeStart(id, m)) return 0;
      const std::string folder = DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\AUDIO\\RECORDED";
      const std::string file =
          FreeEntryFileName(SynthSamples, folder, "Rec" + QUARLE_BASICS::TimeStampText() + ".wav");
      const ModuleRecord* source = m->PortSources[kSampleInputPort].Load();
      // A rebuild on the audio thread stores the count meanwhile.
      const int32_t processed = source ? source->ChannelsProcessed.Load() : 0;
      const int32_t channels = processed > 0 ? processed : 1;
      const int32_t r = RecordToWaveFile(folder, file, m->Params[kSampleLengthParam].Value.Load(), channels,
                                         RateWhole);
      if (r != 0) {
        QUARLE_BASICS::Report(LangText(242, "Error creating new wave file: ") + ErrorText(r),
                              QUARLE_BASICS::kLevelError);
      } else {
        WaveLibraryEntry* last = nullptr;
        {
          platform::MutexGuard guard(SynthSamples.header.lock);
          last = WaveLibraryListAt(SynthSamples, SynthSamples.header.count - 1);
        }
        AssignWaveToModule(m, last, ~uint64_t{0});
        // The render callback turns the record switch on at its next frame:
        // the button shows it once it is on.
        WaitEngineCommandSlot();
      }
    } else {
      // The render callback finishes the recording at the start of its next
      // frame, also when the module has no voice to run with then (it would
      // wait for one); with nothing rendering the module it ends here.
      if (AskTakeEnd(m)) {
        PostFinishTake(m);
        WaitEngineCommandSlot();
      }
    }
  }
  ShowRecordState(id, m);
  return 0;
}

int32_t OnSampleSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ModuleRecord* m = SelectedSample();
  if (!m) return 0;
  // A take the record button began and the render has not taken yet: Set
  // would cut it short. Its start runs first, then the switch is judged.
  if (!SettleCommandsOf(m)) {
    SetStatusText(WaitingForAudioText());
    return 0;
  }
  if (m->ModuleSwitches[kSwitchRecord].Load() != 0) return 0;
  const int32_t row = WlistSelection();
  if (row == -1) {
    AssignWaveToModule(m, nullptr, 0);
    return 0;
  }
  WaveLibraryEntry* e = WaveLibraryListAt(SynthSamples, row);
  // A recording that ended before its first frame has nothing to play.
  if (!e || e->State.Load(std::memory_order_acquire) != kWaveIdle || !e->Sound.samples || e->Sound.frameCount == 0) return 0;
  // The module steps through the sound at the sound's own rate: the pitch
  // found is the frequency it plays.
  const float f = e->Pitch[0] / RateQuarter;
  // While playing the value is the render's: it lands with the next frame.
  SetParamValueOrQueue(*m, kSampleFrequencyParam, f);
  AssignWaveToModule(m, e, 0);
  return 0;
}

int32_t OnSampleSave(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  WaveLibraryEntry* e = WaveLibraryListAt(SynthSamples, WlistSelection());
  if (!e) {
    SetStatusText(LangText(207, "No item is selected."));
    return 0;
  }
  if (e->State.Load(std::memory_order_acquire) != kWaveIdle || !e->Sound.samples) return 0;
  if (e->Saved != 0) {
    SetStatusText(LangText(246, "This file is already saved."));
    return 0;
  }
  // Said, shown and added to the library once the saver has put the file on
  // the disk, or why not.
  const auto told = [folder = DynZStringGet(e->Folder), file = DynZStringGet(e->File)](int32_t r) {
    if (r != 0) {
      QUARLE_BASICS::Report(LangText(243, "Error saving file: ") + ErrorText(r),
                            QUARLE_BASICS::kLevelError);
      return;
    }
    SetStatusText(file + " " + LangText(244, "has been saved."));
    ShowSavedFileInBrowser(file.c_str());
    if (FindLoadedWave(folder, file, 0) == -1) {
      const int32_t loaded = ConvertAndLoadWave(folder, file);
      if (loaded < 0)
        QUARLE_BASICS::Report(LangText(245, "Error loading to library: ") + ErrorText(loaded),
                              QUARLE_BASICS::kLevelError);
    }
  };
  if (const int32_t r = SaveWaveRecordThen(e, nullptr, told); r != 0) told(r);
  return 0;
}

int32_t OnSampleUnload(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  int32_t row = WlistSelection();
  const int32_t count = LibraryCount(SynthSamples);
  if (row > count - 1) row = count - 1;
  WaveLibraryEntry* e = WaveLibraryListAt(SynthSamples, row);
  if (row < 0 || !e) {
    SetStatusText(LangText(207, "No item is selected."));
    return 0;
  }
  if (e->State.Load(std::memory_order_acquire) != kWaveIdle) return 0;
  DetachEntryEverywhere(e, false);
  RemoveLibraryListEntry(SynthSamples, row);
  const int32_t left = LibraryCount(SynthSamples);
  if (ControlRecord* w = SlotCtl(kUiWLIST)) {
    w->Text.Selected = row < left ? row : left - 1;
    V::ControlPublish(w, -1);
  }
  return 0;
}

}  // namespace Tarvelo
