#include "ui/views/module_lists.h"

#include <algorithm>
#include <string>

#include "basics/dynzstring.h"
#include "engine/catalog/catalog.h"
#include "engine/notes.h"
#include "ui/views/control_drawing.h"
#include "ui/views/list_views.h"
#include "visuals/control_table.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::DynZStringGet;

namespace {

// The port table is refilled on the interface thread: rows are copied under
// its lock.
void RenderParameterRow(platform::Image* row, int32_t item, const V::RenderRecord* snap, void*) {
  PortListRowCopy r;
  if (!ReadPortListRow(item, r)) return;
  DrawListRowText(row, IconPx() + 2 * UnitPx(), 0, r.LongName, snap->Text.TextSize, TextColour);
}

std::string ParameterTooltip(int32_t item, void*) {
  PortListRowCopy r;
  return ReadPortListRow(item, r) ? r.LongName : std::string();
}

void DecorateParameterRow(const ListRowPlace& place, void* ctx) {
  PortListRowCopy copy;
  if (!ReadPortListRow(place.item, copy)) return;
  const PortListRowCopy* r = &copy;
  if (r->NoValueEditor) {
    FillColour = (place.item & 1) ? kHiddenRowOdd : kHiddenRowEven;
    FillBox(place.x0, place.top, place.x + place.w - 1, place.top + place.rowH - 1, FillColour);
  }
  const auto* c = static_cast<const V::ControlRecord*>(ctx);
  const int32_t icon = ParameterRowIcon(r->IsInputPort, r->ReadsValueModule, r->ChannelCountExempt);
  if (platform::Image* l = LayerAt(c, icon)) BlitImage(l, place.x0 + UnitPx(), place.top);
}

std::string ShapeName(int32_t item) {
  if (item < 0 || item >= kListedWaveShapes) return "";
  return DynZStringGet(WaveShapeTable[item].Name);
}

void RenderShapeRow(platform::Image* row, int32_t item, const V::RenderRecord* snap, void*) {
  DrawListRowText(row, UnitPx(), 0, ShapeName(item), snap->Text.TextSize, TextColour);
}

std::string ShapeTooltip(int32_t item, void*) { return ShapeName(item); }

}  // namespace

int32_t ParameterRowIcon(int64_t isInput, int64_t readsValueModule, int64_t fixedChannel) {
  if (isInput) return readsValueModule ? 0 : 1;
  return fixedChannel ? 3 : 2;
}

int32_t ParameterListCount() { return std::clamp(PortListCount.load(), 0, kPortListRows); }

int32_t DrawParameterList(V::RenderRecord* snap, int32_t id) {
  static ListDrawStatics statics;
  return DrawListView(snap, id,
                      {.count = ParameterListCount(),
                       .firstRowLayer = kParameterIconLayers,
                       .context = LiveControl(id),
                       .renderRow = RenderParameterRow,
                       .tooltip = ParameterTooltip,
                       .decorate = DecorateParameterRow},
                      statics);
}

int32_t DrawWaveFunctionList(V::RenderRecord* snap, int32_t id) {
  static ListDrawStatics statics;
  return DrawListView(snap, id,
                      {.count = kListedWaveShapes, .renderRow = RenderShapeRow, .tooltip = ShapeTooltip},
                      statics);
}

}  // namespace Tarvelo
