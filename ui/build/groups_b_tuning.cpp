// The tuning editor window and its scale-generator group. Every control edits
// or shows the edited tuning; its handlers find the key editors by UiIndex and
// by the fixed order display mode, typed entry, value field within each editor.
#include <string>

#include "app/state/settings.h"
#include "basics/messages.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "engine/valueedit.h"
#include "platform/images.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/layers.h"

namespace Tarvelo {

ParamValue ReferenceFrequencyValue;
ParamValue AbsoluteKeyValue;
ParamValue RelativeKeyValue;

namespace {

using QUARLE_BASICS::LangText;

// one thread: interface
bool g_valuesMade = false;
int32_t g_tuningWindow = 0;  // the window the scale-generator group hangs in

void MakeValueRecords() {
  if (g_valuesMade) return;
  ParamValueInit(ReferenceFrequencyValue);
  ParamValueInit(AbsoluteKeyValue);
  ParamValueInit(RelativeKeyValue);
  // The two key fields show one key's ratio two ways, and a change through
  // either converts the other: one lock covers both, so neither is taken
  // inside the other (a lock each, taken in both orders, could deadlock).
  platform::MutexDestroy(RelativeKeyValue.Lock);
  RelativeKeyValue.Lock = AbsoluteKeyValue.Lock;
  g_valuesMade = true;
}

void SetShared(int32_t id, ParamValue* value) {
  if (ControlRecord* c = Ctl(id)) c->UserPointer = value;
}

int32_t Button(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
               EventCallbackFn event, const char* name, const std::string& tooltip,
               uint8_t glyph, uint32_t colour, int32_t* id) {
  const int32_t r =
      MakeControl(ctx, parent, x, y, w, h, event, Cb.DrawButton, true, 11, name, tooltip, id);
  if (r) return r;
  GlyphLayer(*id, glyph, -1, colour);
  return 0;
}

int32_t TextButton(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
                   EventCallbackFn event, const char* name, const std::string& tooltip,
                   const std::string& text, int32_t* id) {
  const int32_t r =
      MakeControl(ctx, parent, x, y, w, h, event, Cb.DrawButton, true, 11, name, tooltip, id);
  if (r) return r;
  TextLayer(*id, text, DefaultTextSize + TextStep, 2, 2, 0, 0);
  return 0;
}

int32_t Label(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
              DrawCallbackFn draw, const char* name, const std::string& tooltip,
              const std::string& text, int32_t size, int32_t align, int32_t* id) {
  const int32_t r = MakeControl(ctx, parent, x, y, w, h, nullptr, draw, true, 0, name, tooltip, id);
  if (r) return r;
  TextLayer(*id, text, size, align, 2, 0, 0);
  return 0;
}

// A value field: one blank layer of its inner size, the record's hooks, digits
// and format.
void ValueField(int32_t id, ParamValue& value, ValueHookFn hook, ValueRangeFn range,
                int32_t family, int32_t unit) {
  ControlRecord* c = Ctl(id);
  if (!c) return;
  const int32_t b = B();
  c->UserPointer = &value;
  if (QUARLE_VISUALS::ControlAddLayers(c, 1) == 0)
    c->Layers[c->LayerCount - 1] = platform::ImageCreate(c->W - 2 * b, c->H - 2 * b, 0);
  platform::MutexGuard guard(value.Lock);
  value.OnChange = hook;
  value.OnRange = range;
  ParamValueSetFieldSize(value, c->W - 2 * b, c->H - 2 * b);
  ParamValueSetFormat(value, 0, family, unit);
}

}  // namespace

std::string NumberBaseCaption(int32_t index) {
  if (index < 0 || index > 2) index = 0;
  return LangText(478, "Base") + ": " + std::to_string(TimeBases[index]);
}

int32_t BuildTuningEditor(BuildContext& ctx) {
  const int32_t u = U(), b = B(), d = DefaultTextSize, t = DefaultTextSize + TextStep;
  int32_t id = 0, r = 0;
  MakeValueRecords();
  g_tuningWindow = 0;

  // Right edge on the tab's right edge, bottom edge on the tab's top edge.
  int32_t wx = 0, wy = 0;
  if (const ControlRecord* tab = TuningTabId > 0 ? Ctl(TuningTabId) : nullptr) {
    wx = tab->X + tab->W - 200 * u;
    wy = tab->Y - 154 * u;
  }
  int32_t win = 0;
  if ((r = MakeControl(ctx, ctx.root, wx, wy, 200 * u, 154 * u, nullptr, Cb.DrawPanel, false, 1,
                       "TNG", Caption(301), &win)))
    return r;
  g_tuningWindow = win;
  SetColour(win, 0xFF141419);
  SetUiIndex(kUiTNG, win);
  SetWindowSlot(kWinTNG, win);

  if ((r = Label(ctx, win, 2 * u, 3 * u, 196 * u, 7 * u, Cb.DrawLabel, "TNGL", Caption(301),
                 Caption(301), Nearby(1.33 * d), 2, &id)))
    return r;
  if ((r = Button(ctx, win, 161 * u, 6 * u, 12 * u, 7 * u, Cb.OnTuningNew, "TNEW",
                  LangText(453, "Create a new tuning file"), 'Q', 0xFFFFFFFF, &id)))
    return r;
  if ((r = Button(ctx, win, 173 * u, 6 * u, 12 * u, 7 * u, Cb.OnTuningSave, "TNG_SET",
                  LangText(454, "Save the changes in memory and file."), 'o', 0xFF00FF00, &id)))
    return r;
  if ((r = Button(ctx, win, 185 * u, 6 * u, 12 * u, 7 * u, Cb.OnTuningCancel, "TNG_SET",
                  LangText(455, "Cancel the changes in memory."), 'c', 0xFFFF0000, &id)))
    return r;

  int32_t grp = 0;
  if ((r = MakeControl(ctx, win, 3 * u, 13 * u, 194 * u, 124 * u, nullptr, Cb.DrawGroupFrame, true,
                       0, "TNG", Caption(301), &grp)))
    return r;

  if ((r = Label(ctx, grp, 2 * u, 2 * u, 190 * u, 5 * u, Cb.DrawTuningName, "TNGNAME", "",
                 QUARLE_BASICS::DynZStringGet(EditedTuning.FileName), t, 2, &id)))
    return r;
  SetUiIndex(kUiTNGNAME, id);
  if ((r = MakeControl(ctx, grp, 2 * u, 9 * u, 190 * u, 8 * u, nullptr, Cb.DrawTuningKeySteps,
                       true, 11, "TNGSCLD", LangText(456, "Keys : display of the relative key steps."),
                       &id)))
    return r;
  SetUiIndex(kUiTNGSCLD, id);
  if ((r = MakeControl(ctx, grp, 2 * u, 17 * u, 190 * u, 7 * u, Cb.OnTuningKeyGrid,
                       Cb.DrawTuningKeyGrid, true, 11, "TNGSCL",
                       LangText(457, "Keys : click to edit their values or set the reference key"),
                       &id)))
    return r;
  SetColour(id, 0xFF0A2A4D);
  TextLayer(id, "", d + 3, 1, 1, 0, 0);
  SetUiIndex(kUiTNGSCL, id);
  if ((r = MakeControl(ctx, grp, 2 * u, 26 * u, 190 * u, 7 * u, Cb.OnScalePatternSwitches,
                       Cb.DrawScalePatternSwitches, true, 11, "TNGSS",
                       LangText(458, "Scale pattern : click to turn keys ON/OFF."), &id)))
    return r;
  SetColour(id, 0xFF175DB0);
  SetUiIndex(kUiTNGSS, id);

  if ((r = Label(ctx, grp, 2 * u, 35 * u, 37 * u, 5 * u, Cb.DrawLabel, "TNGNBL", "",
                 std::to_string(TuningGetNoteCount(EditedTuning)) + " " + LangText(459, "Keys"), t,
                 2, &id)))
    return r;
  SetUiIndex(kUiTNGNBL, id);
  if ((r = Label(ctx, grp, 41 * u, 35 * u, 134 * u - 2 * b, 5 * u, Cb.DrawLabel, "TNGRFL", "",
                 LangText(460, "Reference frequency"), t, 2, &id)))
    return r;
  if ((r = Label(ctx, grp, 177 * u - 2 * b, 35 * u, 11 * u, 5 * u, Cb.DrawLabel, "TNGRKL", "",
                 LangText(461, "Key"), t, 1, &id)))
    return r;

  // Scale tools.
  // one thread: value
  struct Tool {
    int32_t x;
    EventCallbackFn event;
    const char* name;
    uint32_t message;
    const char* english;
    uint8_t glyph;
  };
  const Tool tools[4] = {
      {u + b, Cb.OnTuningEqualTemperament, "TNG=", 462, "Set scale to equal temperament (default)",
       'D'},
      {10 * u + b, Cb.OnTuningGeometric, "TNGo", 463, "Set scale to geometric progression", 'G'},
      {20 * u + b, Cb.OnTuningKeysMinus, "TNGK-", 464, "Reduce the number of keys", '-'},
      {29 * u + b, Cb.OnTuningKeysPlus, "TNGK+", 465, "Increase the number of keys", '+'},
  };
  for (const Tool& tool : tools)
    if ((r = Button(ctx, grp, tool.x, 41 * u, 9 * u, 8 * u, tool.event, tool.name,
                    LangText(tool.message, tool.english), tool.glyph, 0xFFFFFFFF, &id)))
      return r;

  // Reference frequency editor.
  if ((r = Button(ctx, grp, 40 * u + b, 41 * u, 7 * u, 8 * u, Cb.OnValueDisplayMode, "FAD_RF",
                  Caption(294), '%', 0xFFFFFFFF, &id)))
    return r;
  SetShared(id, &ReferenceFrequencyValue);
  if ((r = TextButton(ctx, grp, 47 * u + b, 41 * u, 9 * u, 8 * u, Cb.OnValueEdit, "FAE_RF",
                      Caption(295), "f=", &id)))
    return r;
  SetShared(id, &ReferenceFrequencyValue);
  if ((r = MakeControl(ctx, grp, 56 * u + b, 41 * u, 111 * u - 2 * b, 8 * u, Cb.OnValueDrag,
                       Cb.DrawValueField, true, 31, "FAV_RF",
                       LangText(466, "Reference frequency (linked to the reference key)."), &id)))
    return r;
  ValueField(id, ReferenceFrequencyValue, Cb.OnReferenceFrequencyValue,
             Cb.OnReferenceFrequencyRange, 2, 2);  // hertz
  {
    platform::MutexGuard guard(ReferenceFrequencyValue.Lock);
    ParamValueConvertUnit(ReferenceFrequencyValue, 440.0f, 0, 0);
  }
  if ((r = TextButton(ctx, grp, 167 * u - b, 41 * u, 12 * u, 8 * u, Cb.OnValueUnit, "FAU_RF",
                      Caption(293), "Hz", &id)))
    return r;
  SetShared(id, &ReferenceFrequencyValue);
  if ((r = TextButton(ctx, grp, 181 * u - b, 41 * u, 12 * u, 8 * u, Cb.OnTuningSetFirstKey,
                      "TNG_RFK",
                      LangText(467, "Set the selected key as the first key of the scale."),
                      TuningGetNoteName(EditedTuning, 0), &id)))
    return r;
  SetUiIndex(kUiTNG_RFK, id);
  const int32_t rfk = id;

  // Key editors: display mode, typed entry and value field stay consecutive.
  // one thread: value
  struct KeyEditor {
    int32_t x;  // of the display-mode button
    const char* mode;
    const char* entry;
    const char* field;
    const char* text;
    uint32_t message;
    const char* english;
    ParamValue* value;
    ValueHookFn hook;
    ValueRangeFn range;
    int32_t slot;
  };
  const KeyEditor editors[2] = {
      {u + b, "FAD_AK", "FAE_AK", "FAV_AK", "a=", 468,
       "Absolute value of key (frequency ratio to first key)", &AbsoluteKeyValue,
       Cb.OnAbsoluteKeyValue, Cb.OnAbsoluteKeyRange, kUiFAV_AK},
      {93 * u, "FAD_RK", "FAE_RK", "FAV_RK", "r=", 469,
       "Relative value of key (frequency ratio to previous key)", &RelativeKeyValue,
       Cb.OnRelativeKeyValue, Cb.OnRelativeKeyRange, kUiFAV_RK},
  };
  int32_t fields[2] = {0, 0};
  for (int32_t e = 0; e < 2; ++e) {
    const KeyEditor& k = editors[e];
    const int32_t x = k.x;
    if ((r = Button(ctx, grp, x, 51 * u, 7 * u, 8 * u, Cb.OnValueDisplayMode, k.mode, Caption(294),
                    '%', 0xFFFFFFFF, &id)))
      return r;
    SetShared(id, k.value);
    if ((r = TextButton(ctx, grp, x + 7 * u, 51 * u, 9 * u, 8 * u, Cb.OnValueEdit, k.entry,
                        Caption(295), k.text, &id)))
      return r;
    SetShared(id, k.value);
    if ((r = MakeControl(ctx, grp, x + 16 * u, 51 * u, 74 * u - b, 8 * u, Cb.OnValueDrag,
                         Cb.DrawValueField, true, 31, k.field, LangText(k.message, k.english),
                         &id)))
      return r;
    SetUiIndex(k.slot, id);
    ValueField(id, *k.value, k.hook, k.range, 0, 0);  // a plain ratio
    fields[e] = id;
  }

  if ((r = Button(ctx, grp, 184 * u - b, 51 * u, 9 * u, 8 * u, Cb.OnTuningRenameKey, "FAE_KR",
                  LangText(470, "Rename the selected key"), 'A', 0xFFFFFFFF, &id)))
    return r;
  SetUiIndex(kUiFAE_KR, id);
  // Nothing is selected yet: the key editors wait for a click on the key grid.
  for (int32_t e = 1; e >= 0; --e)
    for (int32_t k = 0; k < 3; ++k) StartDisabled(fields[e] - k);
  StartDisabled(rfk);
  StartDisabled(id);

  // Scale patterns.
  if ((r = MakeControl(ctx, grp, u + b, 61 * u, 184 * u - 2 * b, 10 * ListRowHeight + 2 * b,
                       Cb.OnScalePatternList, Cb.DrawScalePatternList, true, 415, "SAM",
                       LangText(471, "List of scale patterns."), &id)))
    return r;
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  SetSelected(id, 0);
  SetUiIndex(kUiSAM_PATTERNS, id);
  SetColour(id, 0xFF3C3C4B);
  QUARLE_VISUALS::SetListRows(id, ListTextSize, 10, ListRowHeight);
  if ((r = Button(ctx, grp, 185 * u - b, 61 * u, 8 * u, 7 * u, Cb.OnScalePatternAdd, "TNGSS+",
                  LangText(472, "Add a new pattern."), '+', 0xFFFFFFFF, &id)))
    return r;
  if ((r = Button(ctx, grp, 185 * u - b, 68 * u, 8 * u, 7 * u, Cb.OnScalePatternDelete, "TNGSS-",
                  LangText(473, "Delete the selected pattern."), '-', 0xFFFFFFFF, &id)))
    return r;
  return Button(ctx, grp, 185 * u - b, 75 * u, 8 * u, 7 * u, Cb.OnScalePatternRename, "TNGSSR",
                LangText(474, "Rename the selected pattern"), 'A', 0xFFFFFFFF, &id);
}

int32_t BuildTuningScaleGenerator(BuildContext& ctx) {
  const int32_t u = U(), b = B(), icon = IconSizePx();
  const int32_t wl = Nearby(0.65 * 169 * u);
  const int32_t ws = Nearby(0.35 * 169 * u);
  int32_t id = 0, r = 0;

  int32_t grp = 0;
  if ((r = MakeControl(ctx, g_tuningWindow, 3 * u, 139 * u, 194 * u, 12 * u, nullptr,
                       Cb.DrawGroupFrame, true, 0, "TSG", LangText(475, "Time scale"), &grp)))
    return r;
  if ((r = MakeControl(ctx, grp, 2 * u, 2 * u, wl, 8 * u, nullptr, Cb.DrawLabel, true, 0, "TSTBL",
                       "", &id)))
    return r;
  TextLayer(id, LangText(476, "Octave board multiplier: "), DefaultTextSize + TextStep, 2, 2,
            wl - 2 * b - 2 * icon, 0);

  if ((r = MakeControl(ctx, grp, wl + 3 * u, 2 * u, ws, 8 * u, Cb.OnNumberBaseSelect,
                       Cb.DrawSelector, true, 31, "TSTB",
                       LangText(477, "Number base of the octave board multiplier."), &id)))
    return r;
  SetSelected(id, TimeBaseIndex.Load());
  MarkSelector(id);
  TextLayer(id, NumberBaseCaption(TimeBaseIndex.Load()), DefaultTextSize + 3 * TextStep, 2, 2,
            ws - 2 * b - 2 * icon, 0);
  SetUiIndex(kUiTSTB, id);

  if ((r = MakeControl(ctx, grp, wl + ws + 4 * u, 2 * u, 9 * u, 8 * u, Cb.OnNumberBaseSet,
                       Cb.DrawButton, true, 11, "TSS", "", &id)))
    return r;
  GlyphLayer(id, 'o', -1, 0xFF00FF00);
  if ((r = MakeControl(ctx, grp, wl + ws + 14 * u, 2 * u, 9 * u, 8 * u, Cb.OnNumberBaseReset,
                       Cb.DrawButton, true, 11, "TSC", "", &id)))
    return r;
  GlyphLayer(id, 'c', -1, 0xFFFF0000);
  return 0;
}

}  // namespace Tarvelo
