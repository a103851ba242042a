#include "ui/views/library_views.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "basics/ratio.h"
#include "engine/catalog/catalog.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/views/control_drawing.h"
#include "ui/views/list_views.h"
#include "visuals/control_table.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using platform::Image;

const char ChannelLayoutTags[12][4] = {"N/A", "M", "S", "2.1", "Q", "5",
                                       "5.1", "6", "7", "7.1", "9", "9.1"};

std::string FormatSeconds(float seconds) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.7g",
                static_cast<double>(QUARLE_BASICS::RoundToDigits(seconds, 2)));
  std::string text = buf;
  if (!text.empty() && text.back() == '.') text.pop_back();
  const size_t dot = text.find('.');
  if (dot == std::string::npos)
    text += ".00s";
  else if (text.size() - dot - 1 == 1)
    text += "0s";
  else
    text += "s";
  return text;
}

std::string FileStem(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

namespace {

constexpr uint32_t kMarkerEdge = 0xFF141414;

int32_t SmallSize(int32_t size) { return std::max(size - 3, 8); }
int32_t RowRight(const ListRowPlace& p) { return p.x0 + p.w - BorderPx() - 2; }  // x0 + w0

int32_t LayoutIndex(int32_t channels) { return channels >= 0 && channels < 12 ? channels : 0; }

void DrawCategoryMarker(const ListRowPlace& p, int32_t category) {
  OutlineBox(p.x0, p.top, p.x0 + 8, p.top + p.rowH - 1, kMarkerEdge);
  const uint32_t colour = CategoryColours[category >= 0 && category < 8 ? category : 0];
  FillBox(p.x0 + 1, p.top + 1, p.x0 + 7, p.top + p.rowH - 2, colour);
}

// A row's text within its cell, the row image's columns up to `right` (its
// whole width for a negative one).
void Text(Image* row, int32_t x, int32_t y, const std::string& text, int32_t size,
          int32_t right = -1) {
  DrawListRowText(row, x, y, text, size, kColourWhite, right);
}

// The column of a row image where an icon put `inset` pixels left of the
// row's right end begins: a module row's text ends there.
int32_t IconColumn(const RenderRecord* snap, int32_t inset) {
  return snap->W - BorderPx() - 2 - IconPx() - inset;
}
constexpr int32_t kCatalogIconInset = 3, kCreatedIconInset = 5;

// --- Module catalog -----------------------------------------------------------------

ListDrawStatics g_catalogStatics;

const ModuleRecord& CatalogRow(int32_t item) {
  const int32_t i = std::clamp(item, 0, kModuleTypeCount - 1);
  const int32_t type = std::clamp(ModulePaletteOrder[i], 0, kModuleTypeCount - 1);
  return ModuleCatalog[type];
}

void CatalogDecorate(const ListRowPlace& p, void*) { DrawCategoryMarker(p, CatalogRow(p.item).Category); }

void CatalogRender(Image* row, int32_t item, const RenderRecord* snap, void*) {
  Text(row, 3 * UnitPx(), 0, QUARLE_BASICS::DynZStringGet(CatalogRow(item).Name),
       snap->Text.TextSize, IconColumn(snap, kCatalogIconInset));
}

void CatalogFinish(const ListRowPlace& p, void* ctx) {
  if (CatalogRow(p.item).PolyphonyCapability > 0)
    BlitImage(LayerAt(static_cast<ControlRecord*>(ctx), 0),
              RowRight(p) - IconPx() - kCatalogIconInset, p.top + p.textY - 1);
}

std::string CatalogTooltip(int32_t item, void*) {
  return QUARLE_BASICS::DynZStringGet(CatalogRow(item).Name);
}

// --- Created modules ------------------------------------------------------------------

ListDrawStatics g_createdStatics;

// one thread: value
struct CreatedRow {
  std::string label;
  int32_t category = 0;
  int64_t polyphonic = 0;
};
// one thread: value
struct CreatedFrame {
  ControlRecord* control = nullptr;
  std::vector<CreatedRow> rows;
};

void CreatedPrepare(int32_t top, int32_t last, int32_t step, void* ctx) {
  auto* f = static_cast<CreatedFrame*>(ctx);
  platform::MutexGuard g(ModuleList.lock);
  for (int32_t i = top; step > 0 ? i <= last : i >= last; i += step) {
    if (i < 0 || i >= static_cast<int32_t>(f->rows.size()) || i >= ModuleList.count) break;
    const ModuleRecord* m = ModuleList.entries ? ModuleList.entries[i] : nullptr;
    if (!m) continue;
    CreatedRow& r = f->rows[i];
    r.label = QUARLE_BASICS::DynZStringGet(m->Name) + " #" + std::to_string(m->InstanceNumber.Load());
    r.category = m->Category;
    // Stored whole by the module page and by a rebuild on the audio thread,
    // which takes no lock of the list.
    r.polyphonic = m->ModuleSwitches[kSwitchPerVoice].Load();
  }
}

const CreatedRow* CreatedAt(void* ctx, int32_t item) {
  auto* f = static_cast<CreatedFrame*>(ctx);
  if (item < 0 || item >= static_cast<int32_t>(f->rows.size())) return nullptr;
  return &f->rows[item];
}

uint64_t CreatedKey(int32_t item, void* ctx) {
  const CreatedRow* r = CreatedAt(ctx, item);
  return r ? std::hash<std::string>{}(r->label) : 0;
}

void CreatedDecorate(const ListRowPlace& p, void* ctx) {
  if (const CreatedRow* r = CreatedAt(ctx, p.item)) DrawCategoryMarker(p, r->category);
}

void CreatedRender(Image* row, int32_t item, const RenderRecord* snap, void* ctx) {
  if (const CreatedRow* r = CreatedAt(ctx, item))
    Text(row, 3 * UnitPx(), 0, r->label, snap->Text.TextSize, IconColumn(snap, kCreatedIconInset));
}

void CreatedFinish(const ListRowPlace& p, void* ctx) {
  const CreatedRow* r = CreatedAt(ctx, p.item);
  if (r && r->polyphonic == -1)
    BlitImage(LayerAt(static_cast<CreatedFrame*>(ctx)->control, 0),
              RowRight(p) - IconPx() - kCreatedIconInset, p.top + p.textY);
}

std::string CreatedTooltip(int32_t item, void* ctx) {
  const CreatedRow* r = CreatedAt(ctx, item);
  return r ? r->label : std::string();
}

// --- Sample rows (SAM, WLIST) and filters (FLIST) -------------------------------------

// one thread: value
struct WaveRow {
  bool present = false;
  bool noData = false;
  int32_t state = 0;
  int32_t channels = 0;
  float duration = 0.0f;
  std::string file;
  const WaveLibraryEntry* entry = nullptr;
};

WaveRow ReadWave(const WaveLibraryEntry* e) {
  WaveRow r;
  if (!e) return r;
  r.present = true;
  r.noData = e->Sound.samples == nullptr;
  r.state = e->State.Load(std::memory_order_acquire);
  r.channels = e->Sound.format.channels;
  r.duration = e->Duration.Load();
  r.file = QUARLE_BASICS::DynZStringGet(e->File);
  r.entry = e;
  return r;
}

std::string WaveTooltip(const WaveRow& r) {
  return r.file + " (" + QUARLE_AUDIO::ChannelLayoutNames[LayoutIndex(r.channels)] + ", " +
         FormatSeconds(r.duration) + ")";
}

void RenderWaveRow(Image* row, const WaveRow& r, const RenderRecord* snap, bool memoryList) {
  if (!r.present) return;
  const int32_t u = UnitPx();
  const int32_t size = snap->Text.TextSize;
  Text(row, u, u - 1, std::string(ChannelLayoutTags[LayoutIndex(r.channels)]) + " ", SmallSize(size));
  Text(row, 6 * u, u - 1, FormatSeconds(r.duration), SmallSize(size));
  if (memoryList)
    Text(row, 20 * u, 0, FileStem(r.file), size, row->width - IconPx() - u);
  else
    Text(row, 20 * u, 0, r.file, size);
}

// The status icon of a sample or filter row: busy, no data, or the selected
// module's wave.
void WaveStatusIcon(const ListRowPlace& p, const WaveRow& r, const WaveLibraryEntry* attached,
                    ControlRecord* c) {
  if (!r.present) return;
  int32_t layer = -1;
  if (r.state != kWaveIdle)
    layer = 1;
  else if (r.noData)
    layer = 2;
  else if (attached && r.entry == attached)
    layer = 0;
  if (layer >= 0) BlitImage(LayerAt(c, layer), RowRight(p) - IconPx() - 3, p.top + p.textY - 1);
}

const WaveLibraryEntry* SelectedWave() {
  platform::MutexGuard g(ModuleList.lock);
  const ModuleRecord* m = SelectedModuleShown.load(std::memory_order_acquire);
  return m ? m->SampleEntry.Load() : nullptr;
}

int32_t CountOf(const WaveLibraryList& list) {
  platform::MutexGuard g(list.header.lock);
  return list.header.count;
}

// SAM: drawn with the library's lock held.
ListDrawStatics g_libraryStatics;

void LibraryRender(Image* row, int32_t item, const RenderRecord* snap, void*) {
  RenderWaveRow(row, ReadWave(WaveLibraryListAt(SampleLibrary, item)), snap, false);
}
std::string LibraryTooltip(int32_t item, void*) {
  const WaveRow r = ReadWave(WaveLibraryListAt(SampleLibrary, item));
  return r.present ? WaveTooltip(r) : std::string();
}

// WLIST: the visible rows copied under the list's lock.
ListDrawStatics g_memoryStatics;

// one thread: value
struct MemoryFrame {
  ControlRecord* control = nullptr;
  const WaveLibraryEntry* attached = nullptr;
  std::vector<WaveRow> rows;
};

void MemoryPrepare(int32_t top, int32_t last, int32_t step, void* ctx) {
  auto* f = static_cast<MemoryFrame*>(ctx);
  platform::MutexGuard g(SynthSamples.header.lock);
  for (int32_t i = top; step > 0 ? i <= last : i >= last; i += step) {
    if (i < 0 || i >= static_cast<int32_t>(f->rows.size())) break;
    f->rows[i] = ReadWave(WaveLibraryListAt(SynthSamples, i));
  }
}

const WaveRow* MemoryAt(void* ctx, int32_t item) {
  auto* f = static_cast<MemoryFrame*>(ctx);
  if (item < 0 || item >= static_cast<int32_t>(f->rows.size())) return nullptr;
  return &f->rows[item];
}

void MemoryRender(Image* row, int32_t item, const RenderRecord* snap, void* ctx) {
  if (const WaveRow* r = MemoryAt(ctx, item)) RenderWaveRow(row, *r, snap, true);
}
void MemoryFinish(const ListRowPlace& p, void* ctx) {
  auto* f = static_cast<MemoryFrame*>(ctx);
  if (const WaveRow* r = MemoryAt(ctx, p.item)) WaveStatusIcon(p, *r, f->attached, f->control);
}
std::string MemoryTooltip(int32_t item, void* ctx) {
  const WaveRow* r = MemoryAt(ctx, item);
  return r && r->present ? WaveTooltip(*r) : std::string();
}

// FLIST: drawn with the filter library's lock held.
ListDrawStatics g_filterStatics;

// one thread: value
struct FilterFrame {
  ControlRecord* control = nullptr;
  const WaveLibraryEntry* attached = nullptr;
};

void FilterRender(Image* row, int32_t item, const RenderRecord* snap, void*) {
  const WaveRow r = ReadWave(WaveLibraryListAt(FilterLibrary, item));
  if (r.present && row)
    Text(row, UnitPx(), 0, FileStem(r.file), snap->Text.TextSize, row->width - IconPx() - UnitPx());
}
void FilterFinish(const ListRowPlace& p, void* ctx) {
  auto* f = static_cast<FilterFrame*>(ctx);
  WaveStatusIcon(p, ReadWave(WaveLibraryListAt(FilterLibrary, p.item)), f->attached, f->control);
}
std::string FilterTooltip(int32_t item, void*) {
  const WaveRow r = ReadWave(WaveLibraryListAt(FilterLibrary, item));
  return r.file;
}

}  // namespace

int32_t CreatedModuleCount() {
  platform::MutexGuard g(ModuleList.lock);
  return std::max(ModuleList.count, 0);
}
int32_t SampleLibraryCount() { return CountOf(SampleLibrary); }
int32_t SampleMemoryCount() { return CountOf(SynthSamples); }
int32_t FilterListCount() { return CountOf(FilterLibrary); }

int32_t DrawModuleCatalogList(RenderRecord* snap, int32_t id) {
  ListDrawPlan plan;
  plan.count = kModuleTypeCount;
  plan.firstRowLayer = 1;
  plan.context = V::ControlAt(id);
  plan.decorate = CatalogDecorate;
  plan.renderRow = CatalogRender;
  plan.finish = CatalogFinish;
  plan.tooltip = CatalogTooltip;
  return DrawListView(snap, id, plan, g_catalogStatics);
}

int32_t DrawCreatedModuleList(RenderRecord* snap, int32_t id) {
  CreatedFrame frame;
  frame.control = V::ControlAt(id);
  ListDrawPlan plan;
  plan.count = CreatedModuleCount();
  frame.rows.resize(static_cast<size_t>(plan.count));
  plan.firstRowLayer = 1;
  plan.context = &frame;
  plan.prepare = CreatedPrepare;
  plan.decorate = CreatedDecorate;
  plan.renderRow = CreatedRender;
  plan.rowKey = CreatedKey;
  plan.finish = CreatedFinish;
  plan.tooltip = CreatedTooltip;
  return DrawListView(snap, id, plan, g_createdStatics);
}

bool CreatedModuleListHasNews() {
  // What the rows show of each module: a change of any of it (the per-voice
  // switch flipped on the module page, a rebuild on the audio thread, a
  // renumbering) is a change of the list's picture. FNV-1a over those words.
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ull; };
  {
    // A list held by a load is looked at again at the next frame.
    if (!platform::MutexTryLock(ModuleList.lock)) return false;
    mix(static_cast<uint64_t>(ModuleList.count));
    for (int32_t i = 0; ModuleList.entries && i < ModuleList.count; ++i) {
      const ModuleRecord* m = ModuleList.entries[i];
      mix(reinterpret_cast<uintptr_t>(m));
      if (!m) continue;
      mix(static_cast<uint64_t>(m->ModuleSwitches[kSwitchPerVoice].Load()));
      mix(static_cast<uint64_t>(m->Category));
      mix(static_cast<uint64_t>(m->InstanceNumber.Load()));
      for (const char ch : QUARLE_BASICS::DynZStringGet(m->Name)) mix(static_cast<uint8_t>(ch));
    }
    platform::MutexUnlock(ModuleList.lock);
  }
  // one thread: video, the frame watch's
  static uint64_t shown = 0;
  const bool news = h != shown;
  shown = h;
  return news;
}

int32_t DrawSampleLibraryList(RenderRecord* snap, int32_t id) {
  ListDrawPlan plan;
  plan.count = CountOf(SampleLibrary);
  plan.renderRow = LibraryRender;
  plan.tooltip = LibraryTooltip;
  platform::MutexGuard g(SampleLibrary.header.lock);
  return DrawListView(snap, id, plan, g_libraryStatics);
}

int32_t DrawSampleMemoryList(RenderRecord* snap, int32_t id) {
  MemoryFrame frame;
  frame.control = V::ControlAt(id);
  ListDrawPlan plan;
  plan.count = CountOf(SynthSamples);
  frame.attached = SelectedWave();
  frame.rows.resize(static_cast<size_t>(std::max(plan.count, 0)));
  plan.firstRowLayer = 3;
  plan.context = &frame;
  plan.prepare = MemoryPrepare;
  plan.renderRow = MemoryRender;
  plan.finish = MemoryFinish;
  plan.tooltip = MemoryTooltip;
  return DrawListView(snap, id, plan, g_memoryStatics);
}

int32_t DrawFilterList(RenderRecord* snap, int32_t id) {
  FilterFrame frame;
  frame.control = V::ControlAt(id);
  ListDrawPlan plan;
  plan.count = CountOf(FilterLibrary);
  frame.attached = SelectedWave();
  plan.firstRowLayer = 3;
  plan.context = &frame;
  plan.renderRow = FilterRender;
  plan.finish = FilterFinish;
  plan.tooltip = FilterTooltip;
  platform::MutexGuard g(FilterLibrary.header.lock);
  return DrawListView(snap, id, plan, g_filterStatics);
}

}  // namespace Tarvelo
