// BuildInterface and the helpers the group builders share (ui/build/frame.h).
#include <cmath>
#include <cstdlib>

#include "app/startup_hooks.h"
#include "app/state/settings.h"
#include "app/documents/doc_hooks.h"
#include "basics/messages.h"
#include "engine/modulelist.h"
#include "engine/params.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/layers.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

int32_t WindowWidth = 0;
int32_t WindowHeight = 0;
int32_t WindowUnitsWide = 0;
int32_t WindowUnitsHigh = 0;
int32_t MonitorUnits = 0;
int32_t TextStep = 0;
int32_t ListRowHeight = 0;
int32_t ListTextSize = 0;
int32_t ToolsHeight = 0;
int32_t OctaveKeyWidth = 0;
QUARLE_BASICS::Shared<int32_t> OctaveKeyHeight{0};
int32_t KeyboardKeySize = 0;
PlaneOffsetRecord PlaneOffset;

int32_t WindowTabIds[6] = {0, 0, 0, 0, 0, 0};
int32_t& AboutTabId = WindowTabIds[1];
int32_t& VideoTabId = WindowTabIds[3];
int32_t& AudioTabId = WindowTabIds[4];
int32_t& TuningTabId = WindowTabIds[5];

const uint32_t VisualizationModeColours[5] = {0xFF464646, 0xFF960096, 0xFF008500, 0xFFAA3200,
                                              0xFF9B9B00};

std::string InterfaceCaptions[kInterfaceCaptionCount];

namespace {

const char* const kCaptionDefaults[kInterfaceCaptionCount] = {
    "Current settings",
    "select by sliding or clicking left or right.",
    "select by sliding or clicking up or down.",
    "OK",
    "Cancel",
    "Set selected value",
    "Reset selection",
    "Change/Convert the unit",
    "Change value's display mode",
    "Edit this parameter by entering a floating point value",
    "Zoom",
    "Resolution",
    "Video Settings",
    "About this software",
    "Audio Settings",
    "Tuning",
};

const std::string kEmpty;

void ClearCaptions() {
  for (std::string& c : InterfaceCaptions) std::string().swap(c);
}

}  // namespace

const std::string& Caption(int32_t n) {
  const int32_t i = n - kInterfaceCaptionFirst;
  if (i < 0 || i >= kInterfaceCaptionCount) return kEmpty;
  return InterfaceCaptions[i];
}

int32_t U() { return UiUnit; }
int32_t B() { return V::BorderWidth; }
int32_t IconSizePx() { return V::IconFont.IconSize; }

int32_t Nearby(double v) { return static_cast<int32_t>(std::nearbyint(v)); }
int32_t Floor(double v) { return static_cast<int32_t>(std::floor(v)); }

ControlRecord* Ctl(int32_t id) { return V::ControlAt(id); }

int32_t MakeControl(BuildContext& ctx, const ControlRow& row, int32_t* newId) {
  return MakeControl(ctx, row.parent, row.x, row.y, row.w, row.h, row.event, row.draw,
                     row.shown, row.mask, row.id, row.tooltip, newId);
}

int32_t MakeControl(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, int32_t w,
                    int32_t h, EventCallbackFn event, DrawCallbackFn draw, bool shown,
                    int32_t mask, const char* id, const std::string& tooltip, int32_t* newId) {
  int32_t made = -1;
  const int32_t r = V::CreateControl(parent, x, y, w, h, event, draw, shown ? -1 : 0, mask, id,
                                     tooltip.c_str(), &made);
  if (r == 0 || made >= 0) ctx.last = made;
  if (newId) *newId = made;
  return r;
}

int32_t GlyphLayer(int32_t id, uint8_t glyph, int32_t size, uint32_t colour, int32_t dx,
                   int32_t dy, int32_t w, int32_t h) {
  V::TextStyle style;
  V::TextStyleSet(&style, glyph, size < 0 ? IconSizePx() : size, &V::IconFont, dx, dy, colour);
  return V::AddGlyphLayer(id, &style, 2, w, h);
}

int32_t TextLayer(int32_t id, const std::string& text, int32_t size, int32_t align, int32_t blit,
                  int32_t w, int32_t h) {
  return V::AddTextLayer(id, text, size, align, blit, w, h);
}

int32_t ListLook(int32_t id, int32_t rows) {
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  return V::SetListRows(id, ListTextSize, rows, ListRowHeight);
}

int32_t SelectorLook(int32_t id, int32_t item, const std::string& caption) {
  ControlRecord* c = Ctl(id);
  if (!c) return -19;
  SetSelected(id, item);
  MarkSelector(id);
  return TextLayer(id, caption, DefaultTextSize, 2, 2, c->W - 2 * B() - 2 * IconSizePx(), 0);
}

void SetColour(int32_t id, uint32_t argb) {
  if (ControlRecord* c = Ctl(id)) c->Colour = argb;
}
void SetTag(int32_t id, int64_t tag) {
  if (ControlRecord* c = Ctl(id)) c->Tag = static_cast<uint64_t>(tag);
}
void SetOn(int32_t id, int64_t on) {
  if (ControlRecord* c = Ctl(id)) c->State.On = on;
}
void SetMode(int32_t id, int64_t mode) {
  if (ControlRecord* c = Ctl(id)) c->State.Spare = mode;
}
void SetNoHit(int32_t id) {
  if (ControlRecord* c = Ctl(id)) c->NoHit = -1;
}
void SetClip(int32_t id) {
  if (ControlRecord* c = Ctl(id)) c->ClipChildren = -1;
}
void SetTextColour(int32_t id, uint32_t argb) {
  if (ControlRecord* c = Ctl(id)) c->Text.TextColour = argb;
}
void SetSelected(int32_t id, int32_t item) {
  if (ControlRecord* c = Ctl(id)) c->Text.Selected = item;
}
void SetReversed(int32_t id) {
  if (ControlRecord* c = Ctl(id)) c->Text.Reversed = -1;
}
void StartDisabled(int32_t id) { SetDisabledWord(id, -1); }
void SetDisabledWord(int32_t id, int64_t word) {
  if (ControlRecord* c = Ctl(id)) V::SetDisabled(&c->State, word);
}
int64_t& ListWord(ControlRecord* c) { return c->Text.EditStates[0]; }
int64_t& EditWord(ControlRecord* c) { return c->Text.EditStates[1]; }
int64_t& ThirdFlagWord(ControlRecord* c) { return c->Text.KeyReleases; }

void SetUiIndex(int32_t slot, int32_t id) {
  if (V::UiIndex && slot >= 0 && slot < kUiSlotCount) V::UiIndex[slot] = id;
}
int32_t UiId(int32_t slot) {
  if (!V::UiIndex || slot < 0 || slot >= kUiSlotCount) return 0;
  return V::UiIndex[slot];
}
void SetWindowSlot(int32_t slot, int32_t id) {
  if (V::WindowList && slot >= 0 && slot < V::WindowSlotCount) V::WindowList[slot] = id;
}
void SetShortcut(int32_t key, int32_t id) {
  if (key >= 0 && key < V::kKeyShortcutCount) V::KeyShortcutTable[key] = id;
}

namespace {

void DeriveSizes() {
  const int32_t u = U();
  WindowWidth = static_cast<int32_t>(V::ScreenWidth);
  WindowHeight = static_cast<int32_t>(V::ScreenHeight);
  WindowUnitsWide = Floor(static_cast<double>(WindowWidth) / u);
  WindowUnitsHigh = Floor(static_cast<double>(WindowHeight) / u);
  const double monitors = MonitorsSpanned < 1 ? 1.0 : static_cast<double>(MonitorsSpanned);
  MonitorUnits = Nearby(WindowUnitsWide / monitors);
  TextStep = Floor(DefaultTextSize / 10.0);
  ListRowHeight = 6 * u;
  ListTextSize = Nearby(6.0 * u - 1.5 * u);
  OctaveKeyWidth = KeyboardKeySize = 9 * u;
  OctaveKeyHeight.Store(9 * u);
}

int32_t PlaceModules(BuildContext& ctx, const float* offsets) {
  const int32_t sout = UiId(kUiSOUT);
  const ControlRecord* s = sout > 0 ? Ctl(sout) : nullptr;
  const float sx = s ? static_cast<float>(s->X) : 0.0f;
  const float sy = s ? static_cast<float>(s->Y) : 0.0f;
  const ControlRecord* fav = Ctl(UiId(kUiFAD_PP) + 2);
  const int32_t fw = fav && UiId(kUiFAD_PP) > 0 ? fav->W - 2 * B() : 0;
  const int32_t fh = fav && UiId(kUiFAD_PP) > 0 ? fav->H - 2 * B() : 0;
  for (int32_t i = 0; i < ModuleList.count; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    if (!m) continue;
    int32_t x = 0, y = 0;
    if (offsets) {
      // Single precision, as the offsets are kept.
      x = static_cast<int32_t>(std::nearbyint(sx + offsets[2 * i] * ctx.scale));
      y = static_cast<int32_t>(std::nearbyint(sy + offsets[2 * i + 1] * ctx.scale));
    }
    const int32_t r = Cb.CreateModuleControls ? Cb.CreateModuleControls(m, x, y)
                                              : DocCreateModuleControls(m, x, y);
    if (r <= 0) return r;
    // The value fields' digits follow the parameter page's value field.
    for (int32_t p = 0; p < m->ParamCount && p < kModuleParams; ++p)
      ParamValueSetFieldSize(m->Params[p].Number, fw, fh);
  }
  return 0;
}

}  // namespace

int32_t BuildInterface(float scale) {
  // 1. The captions several groups reuse.
  for (int32_t i = 0; i < kInterfaceCaptionCount; ++i)
    InterfaceCaptions[i] =
        QUARLE_BASICS::LangText(static_cast<uint32_t>(kInterfaceCaptionFirst + i),
                                kCaptionDefaults[i]);
  // 2.
  if (Cb.CreateGlowImages) Cb.CreateGlowImages();
  // 3. Each live block's offset from the output port of the interface being replaced.
  float* offsets = nullptr;
  if (ModuleList.count > 0 && ModuleList.entries) {
    offsets = static_cast<float*>(std::calloc(static_cast<size_t>(ModuleList.count) * 2,
                                              sizeof(float)));
    if (offsets) {
      int32_t rx = 0, ry = 0;
      const int32_t sout = UiId(kUiSOUT);
      if (sout > 0)
        if (const ControlRecord* s = Ctl(sout)) rx = s->X, ry = s->Y;
      for (int32_t i = 0; i < ModuleList.count; ++i) {
        const ModuleRecord* m = ModuleList.entries[i];
        if (!m || m->BoxControl.Load() <= 0) continue;
        const ControlRecord* box = Ctl(static_cast<int32_t>(m->BoxControl.Load()));
        if (!box) continue;
        offsets[2 * i] = static_cast<float>(box->X - rx);
        offsets[2 * i + 1] = static_cast<float>(box->Y - ry);
      }
    }
  }
  // 4.
  PlaneOffset = PlaneOffsetRecord{};
  V::DestroyAllControls();
  ClearSelectorMarks();
  // 5.
  DeriveSizes();

  BuildContext ctx;
  ctx.scale = scale;
  int32_t r = 0;
  // 6.
  using GroupFn = int32_t (*)(BuildContext&);
  static const GroupFn kFirst[] = {
      BuildRootAndSystemBar, BuildDialogBox,   BuildMainPanel,          BuildParameterPage,
      BuildModulePages,      BuildDevicesAndScalesPages, BuildBrowserPane, BuildFileBrowser,
      BuildMidiControllerPage, BuildPlaneAndTemplates};
  for (GroupFn g : kFirst)
    if (r == 0) r = g(ctx);
  // 7.
  if (r == 0) r = PlaceModules(ctx, offsets);
  std::free(offsets);
  // 8.
  static const GroupFn kSecond[] = {BuildStatusBar,     BuildKeyboardsAndPower,
                                    BuildVideoSettings, BuildAudioSettings,
                                    BuildTuningEditor,  BuildTuningScaleGenerator,
                                    BuildAboutWindow};
  for (GroupFn g : kSecond)
    if (r == 0) r = g(ctx);
  // 9.
  if (r == 0) {
    const std::string& hintH = Caption(287);
    const std::string& hintV = Caption(288);
    const int32_t p = Cb.PrepareControlImages ? Cb.PrepareControlImages(hintH, hintV)
                                              : FinishControlFlags(hintH, hintV);
    if (p < 0) r = p;
  }
  ClearCaptions();
  if (r != 0) return r;
  // 10. The groups set looks (colour words, layers, states) after creating
  // their controls; publish every control once more so that the video thread
  // draws the finished tree and not the first snapshots.
  const int32_t count = V::ControlTableCount();
  for (int32_t id = 0; id < count; ++id) {
    if (V::ControlRecord* c = V::ControlAt(id)) V::ControlPublish(c, -1);
  }
  V::InterfaceReady = -1;
  return 0;
}

void InstallBuildInterface() { Startup.BuildInterface = BuildInterface; }

}  // namespace Tarvelo
