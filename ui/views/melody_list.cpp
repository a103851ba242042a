#include "ui/views/melody_list.h"

#include "app/state/wave_library.h"
#include "basics/dynzstring.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/views/control_drawing.h"
#include "ui/views/library_views.h"
#include "ui/views/list_views.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::DynZStringGet;

namespace {

// one thread: value
struct MelodyListData {
  const V::ControlRecord* control = nullptr;
  const WaveLibraryEntry* attached = nullptr;
};

// The library's lock is held by the caller for the whole row loop.
const WaveLibraryEntry* Entry(int32_t item) { return WaveLibraryListAt(MelodyLibrary, item); }

void RenderMelodyRow(platform::Image* row, int32_t item, const V::RenderRecord* snap, void*) {
  const WaveLibraryEntry* e = Entry(item);
  if (!e) return;
  const int32_t u = UnitPx();
  // Room on the right for the status icon.
  DrawListRowText(row, u, 0, FileStem(DynZStringGet(e->File)), snap->Text.TextSize, TextColour,
                  row->width - IconPx() - u);
}

std::string MelodyTooltip(int32_t item, void*) {
  const WaveLibraryEntry* e = Entry(item);
  if (!e) return "";
  return DynZStringGet(e->File) + " (" + FormatSeconds(e->Duration.Load()) + ")";
}

void MelodyIcon(const ListRowPlace& place, void* ctx) {
  const auto* d = static_cast<const MelodyListData*>(ctx);
  const WaveLibraryEntry* e = Entry(place.item);
  if (!e) return;
  int32_t icon = -1;
  if (e->State.Load(std::memory_order_acquire) == kWaveCreating)
    icon = kMelodyIconBusy;
  else if (!e->Sound.samples)
    icon = kMelodyIconNoData;
  else if (e == d->attached)
    icon = kMelodyIconAttached;
  platform::Image* image = icon >= 0 ? LayerAt(d->control, icon) : nullptr;
  if (!image) return;
  const int32_t w0 = place.w - V::BorderWidth - 2;
  BlitImage(image, place.x0 + w0 - IconPx() - 3, place.top + place.textY - 1);
}

}  // namespace

int32_t MelodyListCount() {
  platform::MutexGuard guard(MelodyLibrary.header.lock);
  return MelodyLibrary.header.count;
}

int32_t DrawMelodyList(V::RenderRecord* snap, int32_t id) {
  static ListDrawStatics statics;
  // one thread: video
  static MelodyListData data;
  if (!snap) return 0;
  data.control = LiveControl(id);
  {
    platform::MutexGuard guard(ModuleList.lock);
    const ModuleRecord* m = SelectedModuleShown.load(std::memory_order_acquire);
    data.attached = m ? m->SampleEntry.Load() : nullptr;
  }
  ListDrawPlan plan;
  plan.firstRowLayer = kMelodyIconLayers;
  plan.context = &data;
  plan.renderRow = RenderMelodyRow;
  plan.tooltip = MelodyTooltip;
  plan.finish = MelodyIcon;
  // The panel's handlers change the library under the same lock, so it is
  // held from the count to the last row.
  platform::MutexGuard guard(MelodyLibrary.header.lock);
  plan.count = MelodyLibrary.header.count;
  return DrawListView(snap, id, plan, statics);
}

}  // namespace Tarvelo
