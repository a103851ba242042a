#include "ui/panels/filter_panel.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/documents/wave_convert.h"
#include "app/state/console.h"
#include "app/state/wave_library.h"
#include "audio/wav.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/catalog/catalog.h"
#include "engine/dsp/windows.h"
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

constexpr int32_t kTypeConvolutiveFilter = 17;
constexpr int32_t kFilterGainParam = 3;

// one thread: interface
int32_t ListAccumulator = 0;
int32_t WindowAccumulator = 0;
int32_t SizeAccumulator = 0;
int32_t LobeAccumulator = 0;

std::string WindowName(int32_t i) {
  if (i < 0 || i >= kWindowFunctionCount) return "";
  return DynZStringGet(WindowFunctionTable[i].Name);
}

void SetCaption(ControlRecord* c, const std::string& text) {
  if (!c) return;
  V::TextFieldSetText(&c->Text, text.c_str());
  V::ControlPublishText(c, 0);
}

void RedrawGraph() { PublishWhole(SlotId(kUiFGRAPH), -1); }

// The selected design source, when it is still an entry of the library.
WaveLibraryEntry* SourceEntry() {
  if (FirDesign.FirSourceEntry < 0) return nullptr;
  return WaveLibraryListAt(FilterLibrary, FirDesign.FirSourceEntry);
}

// A list click starts the design again from the selected filter (or the
// prototype), and the selectors follow.
void ResetDesign(int32_t selected) {
  FirDesignRecord& d = FirDesign;
  d.FirSourceEntry = -1;
  int64_t frames = 0;
  if (selected >= 0) {
    platform::MutexGuard guard(FilterLibrary.header.lock);
    const WaveLibraryEntry* e = WaveLibraryListAt(FilterLibrary, selected);
    if (e && e->State.Load(std::memory_order_acquire) < 1 && e->LoadState > 1) {
      d.FirSourceEntry = selected;
      frames = e->Sound.frameCount;
    }
  }
  d.FirOffset = 0;
  d.FirHighPass = 0;
  d.FirWindowIndex = kFirDefaultWindow;
  int32_t n = kFirDefaultTaps;
  if (d.FirSourceEntry >= 0) n = frames > kFirMaxTaps ? kFirMaxTaps : static_cast<int32_t>(frames);
  // A source shorter than the smallest design still gives one the selectors can show.
  if (n < kFirMinTaps) n = kFirMinTaps;
  d.FirTapCount = n;
  d.FirWidth = kFirDefaultWidth < n ? kFirDefaultWidth : n;
  BuildFirKernel(-1);

  const int32_t windowSel = SlotId(kUiFWS_WINDOW);
  if (windowSel > 0) SetOnWord(windowSel + 1, 0);
  if (ControlRecord* c = PanelCtl(windowSel)) {
    c->Text.Selected = kFirDefaultWindow;
    SetCaption(c, WindowName(kFirDefaultWindow));
  }
  if (ControlRecord* c = SlotCtl(kUiFKS)) {
    c->Text.Selected = d.FirWidth;
    SetCaption(c, "K = " + std::to_string(d.FirWidth));
  }
  if (ControlRecord* c = SlotCtl(kUiFWS_SIZE)) {
    c->Text.Selected = n - kFirMinTaps;
    SetCaption(c, "N = " + std::to_string(n));
  }
  RedrawGraph();
}

// The design takes what the page shows: the window, the high-pass button, N
// and K. True when N or K changed, which a rebuild of the source must follow.
bool DesignFromPage() {
  FirDesignRecord& d = FirDesign;
  const int32_t n = d.FirTapCount, k = d.FirWidth;
  const int32_t windowSel = SlotId(kUiFWS_WINDOW);
  if (const ControlRecord* c = PanelCtl(windowSel)) d.FirWindowIndex = c->Text.Selected;
  if (const ControlRecord* c = windowSel > 0 ? PanelCtl(windowSel + 1) : nullptr)
    d.FirHighPass = c->State.On != 0 ? -1 : 0;
  if (const ControlRecord* c = SlotCtl(kUiFWS_SIZE)) d.FirTapCount = c->Text.Selected + kFirMinTaps;
  if (const ControlRecord* c = SlotCtl(kUiFKS)) d.FirWidth = c->Text.Selected;
  return d.FirTapCount != n || d.FirWidth != k;
}

}  // namespace

void ResetFilterPanelStatics() {
  ListAccumulator = WindowAccumulator = SizeAccumulator = LobeAccumulator = 0;
}

std::string FilterDesignFileName() {
  const FirDesignRecord& d = FirDesign;
  std::string name;
  const WaveLibraryEntry* source = SourceEntry();
  if (!source || source->LoadState == 0) {
    name = "FIR_" + std::to_string(d.FirWidth) + "-";
  } else {
    const std::string file = DynZStringGet(source->File);
    name = file.substr(0, file.size() > 4 ? file.size() - 4 : 0) + "_";
  }
  name += std::to_string(d.FirTapCount);
  if (d.FirHighPass != 0) name += "_HI";
  if (d.FirWindowIndex > 0) name += "_" + WindowName(d.FirWindowIndex);
  return name + ".wav";
}

int32_t OnFilterList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const int32_t count = LibraryCount(FilterLibrary);
  const uint32_t b = ListProcedure(bits, x, y, id, count, ListAccumulator);
  ControlRecord* c = PanelCtl(id);
  if (c && (b & V::kEventClick)) ResetDesign(c->Text.Selected);
  return 0;
}

int32_t OnFilterGraph(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (bits != V::kEventDrag) return 0;
  FirDesignRecord& d = FirDesign;
  int64_t frames = 0;
  {
    platform::MutexGuard guard(FilterLibrary.header.lock);
    const WaveLibraryEntry* e = SourceEntry();
    if (!e || e->LoadState == 0) return 0;
    frames = e->Sound.frameCount;
  }
  if (frames <= d.FirTapCount) return 0;
  // Dragging to the right moves the cut towards the start of the source.
  int64_t offset = static_cast<int64_t>(d.FirOffset) - x;
  if (offset > frames - d.FirTapCount) offset = frames - d.FirTapCount;
  if (offset < 0) offset = 0;
  d.FirOffset = static_cast<int32_t>(offset);
  BuildFirKernel(-1);
  RedrawGraph();
  return 0;
}

int32_t OnFilterWindowFunction(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!SelectorEvent(bits, x, y, id, kFirWindowChoices, WindowAccumulator)) return 0;
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  V::TextFieldSetText(&c->Text, WindowName(c->Text.Selected).c_str());
  BuildFirKernel(DesignFromPage() ? -1 : 0);
  RedrawGraph();
  return 0;
}

int32_t OnFilterWindowSize(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!SelectorEvent(bits, x, y, id, kFirSizeChoices, SizeAccumulator)) return 0;
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  const int32_t n = c->Text.Selected + kFirMinTaps;
  V::TextFieldSetText(&c->Text, ("N = " + std::to_string(n)).c_str());
  // The lobe never exceeds the window: a smaller N drags K down with it.
  if (ControlRecord* k = SlotCtl(kUiFKS); k && k->Text.Selected > n) {
    k->Text.Selected = n;
    SetCaption(k, "K = " + std::to_string(n));
  }
  DesignFromPage();
  BuildFirKernel(-1);
  RedrawGraph();
  return 0;
}

int32_t OnFilterLobeSize(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const ControlRecord* size = SlotCtl(kUiFWS_SIZE);
  const int32_t n = (size ? size->Text.Selected : 0) + kFirMinTaps;
  if (!SelectorEvent(bits, x, y, id, n + 1, LobeAccumulator)) return 0;
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  V::TextFieldSetText(&c->Text, ("K = " + std::to_string(c->Text.Selected)).c_str());
  DesignFromPage();
  BuildFirKernel(-1);
  RedrawGraph();
  return 0;
}

int32_t OnFilterHighPass(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  FirDesign.FirHighPass = ~FirDesign.FirHighPass;
  SetOnWord(id, FirDesign.FirHighPass);
  BuildFirKernel(0);
  RedrawGraph();
  return 0;
}

namespace {

// Designs handed to the saver and not on the disk yet: a design after them
// takes another name, as it does after a file or an entry of that name.
// one thread: interface
std::vector<std::string> PendingDesigns;

// A designed filter's outcome: only a filter on disk joins the list (one that
// could not be written would stand in every synth save and load for a file
// that is not there); a failure is said and the entry goes.
void DesignSaved(WaveLibraryEntry* e, int32_t r) {
  const std::string file = DynZStringGet(e->File);
  if (const auto at = std::find(PendingDesigns.begin(), PendingDesigns.end(), file); at != PendingDesigns.end())
    PendingDesigns.erase(at);
  if (r == 0) r = WaveLibraryListReserve(FilterLibrary);
  if (r != 0) {
    QUARLE_BASICS::Report(QUARLE_BASICS::InsertArg(LangText(181, "Could not save {$}: "), file) +
                              QUARLE_BASICS::ErrorText(r),
                          QUARLE_BASICS::kLevelError);
    WaveLibraryEntryDelete(e);
    return;
  }
  // Not listed while saved, so the save's own marking passed it by.
  std::string bytes;
  int64_t firstData = 0;
  if (QUARLE_AUDIO::WavFileBytes(&e->Sound, 32, bytes, firstData) == 0) e->Sound.dataOffset = firstData;
  e->Saved = -1;
  e->State.Store(kWaveIdle, std::memory_order_release);
  WaveLibraryListCommit(FilterLibrary, e);
}

// The gain value of the taps, as the design gives it to a loaded filter.
float DesignGain(const FirDesignRecord& d) {
  return static_cast<float>(1.0 - 1.0 / static_cast<double>(d.FirGainSum > 0 ? d.FirGainSum : 1));
}

}  // namespace

int32_t OnFilterCreate(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  const FirDesignRecord& d = FirDesign;
  const int32_t n = d.FirTapCount;
  // Fewer taps than the page offers make no filter (and no file to keep).
  if (n < kFirMinTaps || n > kFirMaxTaps) {
    QUARLE_BASICS::Report(LangText(255, "Invalid window size.") + " N = " + std::to_string(n),
                          QUARLE_BASICS::kLevelWarning);
    return 0;
  }
  const std::string folder = DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\FILTERS";
  // Every design is a new entry under a name that no file on disk and no
  // loaded entry has: a file of the same name (loaded or not) stays as it is,
  // and a loaded entry a Convolutive filter may be playing keeps its taps.
  const std::string file = FreeEntryFileName(FilterLibrary, folder, FilterDesignFileName(), PendingDesigns);
  if (WaveLibraryListReserve(FilterLibrary) != 0) return -QUARLE_BASICS::kErrAllocation;
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (!e) return -QUARLE_BASICS::kErrAllocation;
  e->State.Store(kWaveCreating, std::memory_order_release);
  e->ListIndex = LibraryCount(FilterLibrary);
  QUARLE_BASICS::DynZStringAssign(e->File, file);
  QUARLE_BASICS::DynZStringAssign(e->Folder, folder);
  QUARLE_AUDIO::SoundBuffer& s = e->Sound;
  s.samples = static_cast<float*>(std::calloc(n, sizeof(float)));
  if (!s.samples) {
    WaveLibraryEntryDelete(e);
    return -QUARLE_BASICS::kErrAllocation;
  }
  std::memcpy(s.samples, d.FirKernel, sizeof(float) * static_cast<size_t>(n));
  s.frameCount = static_cast<uint32_t>(n);
  s.dataSize = static_cast<uint32_t>(4 * n);
  e->Duration.Store(s.format.sampleRate > 0
                    ? static_cast<float>(n) / static_cast<float>(s.format.sampleRate)
                    : 0.0f);
  e->Pitch[0] = DesignGain(d);
  e->LoadState = kWaveDataHeld;
  e->Saved = 0;
  PendingDesigns.push_back(file);
  const auto saved = [e](int32_t r) { DesignSaved(e, r); };
  if (const int32_t r = SaveWaveRecordThen(e, nullptr, saved); r != 0) saved(r);
  return 0;
}

int32_t OnFilterUnload(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ControlRecord* list = SlotCtl(kUiFLIST);
  int32_t s = list ? list->Text.Selected : -1;
  const int32_t count = LibraryCount(FilterLibrary);
  if (s > count - 1) s = count - 1;
  if (s < 0) {
    SetStatusText(LangText(207, "No item is selected."));
    return 0;
  }
  DetachEntryEverywhere(WaveLibraryListAt(FilterLibrary, s), false);
  RemoveLibraryListEntry(FilterLibrary, s);
  FirLibraryEntryLeft(s);
  const int32_t left = LibraryCount(FilterLibrary);
  if (list) {
    list->Text.Selected = s < left ? s : left - 1;
    V::ControlPublish(list, -1);
  }
  return 0;
}

int32_t OnFilterSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  ModuleRecord* m = SelectedModule;
  // Only a convolutive filter takes taps and their gain.
  if (!m || m->Type != kTypeConvolutiveFilter) return 0;
  const ControlRecord* list = SlotCtl(kUiFLIST);
  const int32_t s = list ? list->Text.Selected : -1;
  if (s == -1) {
    AssignWaveToModule(m, nullptr, 0);
    return 0;
  }
  WaveLibraryEntry* e = WaveLibraryListAt(FilterLibrary, s);
  if (!e || !e->Sound.samples || e->State.Load(std::memory_order_acquire) != kWaveIdle) return 0;
  SetParamValueOrQueue(*m, kFilterGainParam, e->Pitch[0]);
  AssignWaveToModule(m, e, 0);
  return 0;
}

}  // namespace Tarvelo
