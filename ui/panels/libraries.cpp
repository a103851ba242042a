#include "ui/panels/libraries.h"

#include <algorithm>

#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "engine/catalog/catalog.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/panels/panel_common.h"
#include "ui/views/list_views.h"
#include "visuals/controls.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

namespace {

// Each list and the selector keep their own drag accumulator.
// one thread: interface
int32_t CatalogAccumulator = 0;
int32_t CreatedAccumulator = 0;
int32_t LibraryAccumulator = 0;
int32_t SampleAccumulator = 0;
int32_t ChannelAccumulator = 0;

// A press on a row of a module list offers it to the plane. On its way out
// the carried row may drag the list along (a drag over a list scrolls it);
// once the row is dropped on the plane, whose drop takes DragModuleIndex back
// to -1, the list shows again the rows it showed at the press.
// one thread: interface
struct RowOffer {
  bool open = false;
  int32_t first = 0;  // the first visible row at the press
};
RowOffer CatalogOffer;
RowOffer CreatedOffer;

void FollowRowOffer(uint32_t bits, ControlRecord* c, RowOffer& offer, int32_t count) {
  if (!c || bits == V::kEventDrag) return;
  if (bits == V::kEventPress) {
    offer.open = DragModuleIndex >= 0;
    offer.first = c->Text.FirstVisible;
    return;
  }
  if (bits == V::kEventLeave && offer.open && DragModuleIndex == -1 &&
      c->Text.FirstVisible != offer.first) {
    const int32_t rows = c->Text.VisibleRows < 1 ? 1 : c->Text.VisibleRows;
    c->Text.FirstVisible = std::clamp(offer.first, 0, std::max(count - rows, 0));
    c->Text.Changed = -1;
  }
  offer.open = false;
}

int32_t LockedCount(const QUARLE_BASICS::ArrayHeader& header) {
  platform::MutexGuard guard(header.lock);
  return header.count;
}

int32_t ModuleCount() {
  platform::MutexGuard guard(ModuleList.lock);
  return ModuleList.count;
}

// SLIBC follows the row selected in SAM: a stereo sample offers all four
// choices, a mono one (or none) loads as it is, so the selector is disabled.
void FollowSampleSelection(ControlRecord* sam) {
  ControlRecord* slibc = SlotCtl(kUiSLIBC);
  if (!slibc) return;
  const int32_t row = sam ? sam->Text.Selected : -1;
  if (row < 0) {
    V::SetDisabled(&slibc->State, -1);
    V::ControlPublishState(slibc);
    return;
  }
  int32_t channels = 1;
  {
    platform::MutexGuard guard(SampleLibrary.header.lock);
    const WaveLibraryEntry* e = WaveLibraryListAt(SampleLibrary, row);
    if (e && e->State.Load(std::memory_order_acquire) < 1) {
      channels = e->Sound.format.channels;
    } else {
      // A busy entry (or one gone meanwhile) cannot stay selected.
      sam->Text.Selected = -1;
    }
  }
  const int32_t item = channels != 1 ? 3 : 0;
  slibc->Text.Selected = item;
  V::TextFieldSetText(&slibc->Text, SampleChannelCaption(item));
  V::SetDisabled(&slibc->State, item == 3 ? 0 : -1);
  V::ControlPublish(slibc, 0);
}

}  // namespace

const char* SampleChannelCaption(int32_t item) {
  switch (((item % 4) + 4) % 4) {
    case 0:
      return QUARLE_AUDIO::ChannelLayoutNames[1];
    case 1:
      return "L";
    case 2:
      return "R";
    default:
      return QUARLE_AUDIO::ChannelLayoutNames[2];
  }
}

void ShowListOrderOf(int32_t listId) {
  ControlRecord* order = SlotCtl(kUiLSORDER);
  ControlRecord* list = PanelCtl(listId);
  if (!order) return;
  order->Text.Selected = static_cast<int32_t>((list ? list->Text.Reversed : 0) + 1);
  V::ControlPublishText(order, 0);
}

int32_t LibraryCount(const WaveLibraryList& list) { return LockedCount(list.header); }

bool RemoveLibraryListEntry(WaveLibraryList& list, int32_t i) {
  WaveLibraryEntry* e = nullptr;
  {
    platform::MutexGuard guard(list.header.lock);
    if (i < 0 || i >= list.header.count || !list.entries) return false;
    e = WaveLibraryListTake(list, i);
  }
  // A detach the engine has not run yet keeps the entry until it has.
  ReleaseUnloadedEntry(e);
  return true;
}

void ResetLibraryStatics() {
  CatalogAccumulator = CreatedAccumulator = LibraryAccumulator = SampleAccumulator = 0;
  ChannelAccumulator = 0;
  CatalogOffer = CreatedOffer = RowOffer{};
  DragModuleIndex = -1;
}

void ShowTabPage(int32_t id, uint32_t bits, int32_t firstTabSlot, int32_t firstListSlot) {
  PressedLook(id, bits);
  if (!(bits & V::kEventPress)) return;
  ControlRecord* tab = PanelCtl(id);
  const int32_t first = SlotId(firstTabSlot);
  const int32_t list = SlotId(firstListSlot);
  if (!tab || first <= 0 || list <= 0) return;
  SetOnWord(first, 0);
  SetOnWord(first + 1, 0);
  SetVisibleWord(list, 0);
  SetVisibleWord(list + 1, 0);
  const int32_t tag = tab->Tag == 1 ? 1 : 0;
  SetOnWord(id, -1);
  SetVisibleWord(list + tag, -1);
  ShowListOrderOf(list + tag);
}

int32_t OnLibraryTab(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ShowTabPage(id, bits, kUiLIBT1, kUiREFM);
  return 0;
}

int32_t OnModuleCatalogList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const int32_t count = kModuleTypeCount;
  const uint32_t b = ListProcedure(bits, x, y, id, count, CatalogAccumulator);
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  if (b == V::kEventPress) {
    const int32_t row = c->Text.Mark;
    DragModuleIndex = row >= 0 && row < count ? ModulePaletteOrder[row] : -1;
  }
  FollowRowOffer(bits, c, CatalogOffer, count);
  if (b & V::kEventClick) {
    const int32_t row = c->Text.Selected;
    if (row >= 0 && row < count) {
      const int32_t type = ModulePaletteOrder[row];
      PanelSelectModule(type >= 0 && type < kModuleTypeCount ? &ModuleCatalog[type] : nullptr, -1);
    } else {
      PanelSelectModule(nullptr, -1);
    }
  }
  return 0;
}

int32_t OnCreatedModuleList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const int32_t count = ModuleCount();
  const uint32_t b = ListProcedure(bits, x, y, id, count, CreatedAccumulator);
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  if (b == V::kEventPress) {
    const int32_t row = c->Text.Mark;
    DragModuleIndex = row >= 0 && row < count ? row : -1;
  }
  FollowRowOffer(bits, c, CreatedOffer, count);
  if (b & V::kEventClick) {
    const int32_t row = c->Text.Selected;
    if (row < 0) {
      PanelSelectModule(nullptr, -1);
      return 0;
    }
    // The count was a snapshot: the row is checked against the list again. The
    // module page takes no lock of the list, so it is called with it held.
    platform::MutexGuard guard(ModuleList.lock);
    ModuleRecord* m = row < ModuleList.count && ModuleList.entries ? ModuleList.entries[row] : nullptr;
    PanelSelectModule(m && m->ListIndex.Load() == row ? m : nullptr, -1);
  }
  return 0;
}

int32_t OnSampleLibraryList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const int32_t count = LockedCount(SampleLibrary.header);
  const uint32_t b = ListProcedure(bits, x, y, id, count, LibraryAccumulator);
  if (b & V::kEventClick) FollowSampleSelection(PanelCtl(id));
  return 0;
}

int32_t OnSampleList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  const int32_t count = LockedCount(SynthSamples.header);
  const uint32_t b = ListProcedure(bits, x, y, id, count, SampleAccumulator);
  ControlRecord* c = PanelCtl(id);
  if (!c || !(b & V::kEventClick) || c->Text.Selected < 0) return 0;
  // Only an idle sample stays selected: the sample buttons act on it.
  platform::MutexGuard guard(SynthSamples.header.lock);
  const WaveLibraryEntry* e = WaveLibraryListAt(SynthSamples, c->Text.Selected);
  if (!e || e->State.Load(std::memory_order_acquire) != kWaveIdle) c->Text.Selected = -1;
  return 0;
}

int32_t OnSampleChannels(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (SelectorEvent(bits, x, y, id, kSampleChannelChoices, ChannelAccumulator)) {
    if (ControlRecord* c = PanelCtl(id))
      V::TextFieldSetText(&c->Text, SampleChannelCaption(c->Text.Selected));
  }
  return 0;
}

}  // namespace Tarvelo
