#include "ui/views/tuning_displays.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "basics/messages.h"
#include "engine/tuning.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/views/control_drawing.h"
#include "ui/views/list_views.h"
#include "visuals/colours.h"
#include "visuals/control_table.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

namespace {

constexpr uint32_t kWhite = 0xFFFFFFFF;

int32_t EditedNoteCount() {
  platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
  return std::clamp(TuningGetNoteCount(EditedTuning), 1, kTuningMaxKeys);
}

// FNV-1a over what the key displays draw of the edited tuning.
// one thread: value
struct LookHash {
  uint64_t h = 1469598103934665603ull;
  void Bytes(const void* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const uint8_t*>(p)[i]) * 1099511628211ull;
  }
  template <typename T>
  void Word(const T& v) {
    Bytes(&v, sizeof v);
  }
};

// The names of a tuning's first N keys; the caller holds its lock.
void HashKeyNames(LookHash& look, const Tuning& tuning, int32_t N) {
  for (int32_t i = 0; i < N && i < TuningGetNoteCount(tuning); ++i) {
    const std::string name = TuningGetNoteName(tuning, i);
    look.Bytes(name.c_str(), name.size() + 1);
  }
}

// A tuning's keys: their count, ratios and names; the caller holds its lock.
void HashKeys(LookHash& look, const Tuning& tuning) {
  const int32_t N = std::clamp(TuningGetNoteCount(tuning), 1, kTuningMaxKeys);
  look.Word(N);
  for (int32_t i = 0; i < N; ++i) look.Word(TuningGetAbsoluteRatio(tuning, i));
  HashKeyNames(look, tuning, N);
}

// Where the key grid's separator before key k lies, from the inside edge.
int32_t KeyEdge(int32_t k, float cw) { return static_cast<int32_t>(std::floor(k * cw)); }

int32_t CellLeft(int32_t x, int32_t k, float cw) {
  return Nearest(x + V::BorderWidth + k * static_cast<double>(cw));
}

// Fills key k's cell of a key row.
void Cell(const V::RenderRecord* s, int32_t k, float cw, uint32_t colour) {
  const int32_t B = V::BorderWidth;
  const int32_t x1 = CellLeft(s->X, k, cw);
  FillBox(x1, s->Y + B, x1 + Nearest(cw) - 1, s->Y + s->H - B - 1, colour);
}

void EditorFrame(const V::RenderRecord* s) {
  FrameColour = (s->State.Active || s->State.Pressed) ? kTuningActiveFrame : kTuningLine;
  FrameStyle = V::kFrameFlat;
  V::DrawFrame(&s->X, V::kFrameFlat, V::BorderWidth, FrameColour);
}

// --- The two pattern lists ------------------------------------------------------
// Copies of the patterns, taken under the tuning's lock once per frame.
// one thread: value
struct PatternCopy {
  int32_t count = 0;
  int32_t notes = 0;
  uint64_t masks[kScalePatternSlots] = {};
  char names[kScalePatternSlots][kScalePatternNameSize] = {};
  const char* separator = "";
};

void CopyPatterns(PatternCopy& copy, int32_t which) {
  platform::MutexGuard guard(MT_TUNINGS[which]);
  const Tuning& t = Tunings[which];
  copy.count = std::clamp(t.PatternCount, 0, kScalePatternMax);
  copy.notes = std::clamp(t.NoteCount, 1, kTuningMaxKeys);
  for (int32_t i = 0; i < copy.count; ++i) {
    copy.masks[i] = t.PatternMasks[i];
    std::memcpy(copy.names[i], t.PatternNames[i], kScalePatternNameSize);
    copy.names[i][kScalePatternNameSize - 1] = '\0';
  }
}

void RenderPatternRow(platform::Image* row, int32_t item, const V::RenderRecord* snap, void* ctx) {
  const auto* copy = static_cast<const PatternCopy*>(ctx);
  if (item < 0 || item >= copy->count) return;
  DrawListRowText(row, UnitPx(), 0, TrimmedPatternName(copy->names[item]), snap->Text.TextSize,
                  TextColour);
}

std::string PatternTooltip(int32_t item, void* ctx) {
  const auto* copy = static_cast<const PatternCopy*>(ctx);
  if (item < 0 || item >= copy->count) return "";
  return TrimmedPatternName(copy->names[item]) + copy->separator +
         PatternMaskDigits(copy->masks[item], copy->notes);
}

int32_t DrawPatterns(V::RenderRecord* snap, int32_t id, int32_t which, const char* separator,
                     PatternCopy& copy, ListDrawStatics& statics) {
  if (!snap) return 0;
  CopyPatterns(copy, which);
  copy.separator = separator;
  ListDrawPlan plan;
  plan.count = copy.count;
  plan.firstRowLayer = 0;
  plan.context = &copy;
  plan.renderRow = RenderPatternRow;
  plan.tooltip = PatternTooltip;
  return DrawListView(snap, id, plan, statics);
}

}  // namespace

float TuningCellWidth(int32_t w, int32_t N) {
  if (N < 1) N = 1;
  const float cw = static_cast<float>(w - 2 * V::BorderWidth) / static_cast<float>(N);
  return cw < 2.0f ? 2.0f : cw;
}

std::string TrimmedPatternName(const char* field) {
  if (!field) return "";
  const size_t n = strnlen(field, kScalePatternNameSize);
  size_t a = 0, b = n;
  while (a < b && (field[a] == ' ' || field[a] == '\t')) ++a;
  while (b > a && (field[b - 1] == ' ' || field[b - 1] == '\t')) --b;
  return std::string(field + a, b - a);
}

std::string PatternMaskDigits(uint64_t mask, int32_t N) {
  N = std::clamp(N, 0, 64);
  std::string digits;
  for (int32_t k = N - 1; k >= 0; --k) digits += ((mask >> k) & 1) ? '1' : '0';
  return digits;
}

int32_t DrawTuningName(V::RenderRecord* snap, int32_t id) {
  // one thread: video
  static int64_t seenModified = 0;
  if (!snap) return 0;
  V::ControlRecord* c = LiveControl(id);
  platform::Image* layer = LayerAt(c, 0);
  if (!layer) return 0;
  int64_t modified = 0;
  {
    platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
    modified = EditedTuning.Modified;
  }
  const bool changed = modified != seenModified;
  seenModified = modified;
  if (changed || snap->Text.Changed != 0) {
    std::string text = V::TextFieldGetText(&snap->Text);
    if (modified == -1) text += QUARLE_BASICS::LangText(285, " (modifications not saved)");
    const int32_t size = snap->Text.TextSize;
    const int32_t W = layer->width, H = layer->height;
    const int32_t width = std::min(V::TextWidth(text, &V::TextFont, size), W);
    snap->Text.LayoutWidth = width;
    V::ControlSetLayoutWidth(c, width);
    platform::ImageFill(layer, 0x00000000);
    int32_t x = 0;
    if (snap->Text.Align == 3) x = W - width;
    if (snap->Text.Align == 2) x = Nearest((W - width) / 2.0);
    V::DrawTextFT(layer, x, Nearest((H - size) / 2.0), 0, text, V::TextFont.Face, size,
                  snap->Text.TextColour, 2);
  }
  BlitImage(layer, snap->X + V::BorderWidth, snap->Y + V::BorderWidth);
  return 0;
}

int32_t DrawTuningKeySteps(V::RenderRecord* snap, int32_t) {
  if (!snap) return 0;
  TextColour = kWhite;
  FillColour = kTuningStepsFill;
  float ratios[kTuningMaxKeys] = {};
  int32_t N = 0;
  {
    platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
    N = std::clamp(TuningGetNoteCount(EditedTuning), 1, kTuningMaxKeys);
    for (int32_t i = 0; i < N; ++i) ratios[i] = TuningGetAbsoluteRatio(EditedTuning, i);
  }
  const int32_t x = snap->X, y = snap->Y, h = snap->H, W = snap->W;
  const int32_t B = V::BorderWidth;
  const int32_t b = Nearest(0.375 * h);
  const float cw = TuningCellWidth(W, N);
  int32_t p = 0;
  for (int32_t i = 0; i < N; ++i) {
    // The last key's step reaches up to the octave.
    const double next = i + 1 < N ? ratios[i + 1] : 2.0;
    double share = (next - ratios[i]) * W;
    if (!std::isfinite(share)) share = 1.0;
    int32_t s = std::max(Nearest(std::min(share, static_cast<double>(W))), 1);
    // Rounded steps add up to more or less than the bar: each ends at its
    // right edge at the latest, and the last one there, at the octave.
    if (i + 1 == N || p + s > W) s = std::max(W - p, 1);
    const float hsv[3] = {ratios[i] - 1.0f, 1.0f, 1.0f};
    FillBox(x + p, y, x + p + s - 1, y + b - 1, V::HsvToRgb(hsv));
    platform::DrawLine(V::DrawTarget, x + p, y, x + p, y + b - 1, kWhite);
    const int32_t cx = Nearest(B + (i + 0.5) * static_cast<double>(cw));
    platform::DrawLine(V::DrawTarget, x + p, y + b, x + cx, y + h - 1, kWhite);
    p = std::min(p + s, W - 1);
  }
  return 0;
}

int32_t DrawTuningKeyGrid(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  V::ControlRecord* c = LiveControl(id);
  const int32_t N = EditedNoteCount();
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t B = V::BorderWidth;
  const float cw = TuningCellWidth(w, N);

  int32_t size = snap->Text.TextSize;
  while (V::TextWidth("WW", &V::TextFont, size) > cw - B && size > 8) --size;
  // The fitted size is this draw's (its snapshot's): the live record is the
  // interface thread's, which sets the size to fit from.
  snap->Text.TextSize = size;

  TextColour = kWhite;
  FillColour = kTuningGridBack;
  FillBox(x, y, x + w - 1, y + h - 1, kTuningGridBack);
  BlitOverlay(c, x, y);

  const int32_t hovered = snap->Text.Mark;
  if (hovered >= 0 && hovered < N) Cell(snap, hovered, cw, kTuningHover);
  const int32_t selected = snap->Text.Selected;
  if (selected >= 0 && selected < N) Cell(snap, selected, cw, kTuningSelected);

  platform::Image* names = LayerAt(c, 0);
  // The names layer follows the keys' names as well as the control's flags.
  // one thread: video
  static uint64_t namesDrawn = 0;
  LookHash look;
  look.Word(size);
  look.Word(N);
  look.Word(names);
  {
    platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
    HashKeyNames(look, EditedTuning, N);
  }
  const bool renamed = look.h != namesDrawn;
  namesDrawn = look.h;
  // The layer lies where a name as wide as "WW" is centred in its key.
  const double ww = V::TextWidth("WW", &V::TextFont, size);
  const int32_t lx = Nearest(x + B + (cw - ww) / 2.0 + 2.0);
  if (names && (snap->Text.Changed != 0 || renamed)) {
    ClearImage(names, names->width - 1, size);
    for (int32_t i = 0; i < N; ++i) {
      std::string name;
      {
        platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
        if (i < TuningGetNoteCount(EditedTuning)) name = TuningGetNoteName(EditedTuning, i);
      }
      // A name stays in its key, between the separators (or the frame) on
      // either side, in the layer's columns.
      const int32_t left = x + B + KeyEdge(i, cw) + (i > 0 ? 2 : 0) - lx;
      const int32_t right = (i + 1 < N ? x + B + KeyEdge(i + 1, cw) : x + w - B) - lx;
      // Coverage as alpha, so the names show when the layer is laid over the grid.
      V::DrawTextInCell(names, std::max(KeyEdge(i, cw) + 2, left), 0, left, right - left, name,
                        V::TextFont.Face, size, TextColour, 2);
    }
  }
  if (names) BlitImage(names, lx, Nearest(y + (h - size) / 2.0 + 1.0));
  for (int32_t i = 1; i < N; ++i) {
    const int32_t sx = KeyEdge(i, cw) + x + B;
    FillBox(sx, y + B, sx + 1, y + h - B - 1, kTuningLine);
  }
  EditorFrame(snap);
  return 0;
}

namespace {

// The pattern whose keys the switches show: the one selected in the editor's
// list, as the list last published it (the interface thread moves the live
// selection under no lock of the video thread's).
int32_t ShownScalePattern() {
  if (!V::UiIndex || V::UiIndex[kUiSAM_PATTERNS] <= 0) return 0;
  const V::ControlRecord* list = V::ControlAt(V::UiIndex[kUiSAM_PATTERNS]);
  if (!list || !list->Render || !list->RenderLock) return 0;
  int32_t selected = 0;
  {
    platform::MutexGuard g(list->RenderLock);
    selected = list->Render->Text.Selected;
  }
  return selected > 0 ? selected : 0;
}

}  // namespace

bool ScalePatternSwitchesNews() {
  // The selection moves in more ways than a click on the list (a pattern
  // added or deleted, the tuning taken again), not all of them changing the
  // edited tuning.
  // one thread: video, the frame watch's
  static uint64_t shown = 0;
  const uint64_t look =
      EditedTuningLook() * 1099511628211ull ^ static_cast<uint64_t>(ShownScalePattern() + 1);
  const bool news = look != shown;
  shown = look;
  return news;
}

int32_t DrawScalePatternSwitches(V::RenderRecord* snap, int32_t) {
  if (!snap) return 0;
  const int32_t p = ShownScalePattern();
  int32_t N = 1;
  uint64_t mask = 0;
  {
    platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
    N = std::clamp(TuningGetNoteCount(EditedTuning), 1, kTuningMaxKeys);
    // A selection past the last pattern (after an add on a full list) shows no keys.
    if (p < EditedTuning.PatternCount && p < kScalePatternSlots) mask = EditedTuning.PatternMasks[p];
  }
  TextColour = kWhite;
  FillColour = kTuningLine;
  const float cw = TuningCellWidth(snap->W, N);
  const int32_t B = V::BorderWidth;
  for (int32_t k = 0; k < N; ++k) {
    uint32_t colour = ((mask >> k) & 1) ? kTuningSwitchOn : kTuningLine;
    if (k == snap->Text.Mark) colour = kTuningHover;
    Cell(snap, k, cw, colour);
    const int32_t x1 = CellLeft(snap->X, k, cw);
    OutlineBox(x1, snap->Y + B, x1 + Nearest(cw) - 1, snap->Y + snap->H - B - 1, kTuningLine);
  }
  EditorFrame(snap);
  return 0;
}

uint64_t EditedTuningLook() {
  LookHash look;
  platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
  look.Word(EditedTuning.Modified);
  look.Word(EditedTuning.PatternCount);
  look.Word(EditedTuning.PatternMasks);
  HashKeys(look, EditedTuning);
  return look.h;
}

uint64_t TuningKeysLook(int32_t which) {
  LookHash look;
  platform::MutexGuard guard(MT_TUNINGS[which]);
  HashKeys(look, Tunings[which]);
  return look.h;
}

namespace {
int32_t PatternCountOf(int32_t which) {
  platform::MutexGuard guard(MT_TUNINGS[which]);
  return std::clamp(Tunings[which].PatternCount, 0, kScalePatternMax);
}
}  // namespace

int32_t ScalePatternCount() { return PatternCountOf(kEditedTuning); }
int32_t ScaleListCount() { return PatternCountOf(kActiveTuning); }

int32_t DrawScalePatternList(V::RenderRecord* snap, int32_t id) {
  // one thread: video
  static PatternCopy copy;
  static ListDrawStatics statics;
  return DrawPatterns(snap, id, kEditedTuning, " :  ", copy, statics);
}

int32_t DrawScaleList(V::RenderRecord* snap, int32_t id) {
  // one thread: video
  static PatternCopy copy;
  static ListDrawStatics statics;
  return DrawPatterns(snap, id, kActiveTuning, ":  ", copy, statics);
}

}  // namespace Tarvelo
