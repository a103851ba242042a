// The browser tabs and pane with the message group, and the status bar.
#include <algorithm>
#include <cstdlib>

#include "app/state/settings.h"
#include "basics/messages.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/layers.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace {
using QUARLE_BASICS::LangText;
}

int32_t BuildBrowserPane(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const int32_t ts = DefaultTextSize;
  int32_t id = 0, tabs = 0;
  int32_t r = MakeControl(ctx, ctx.panel, 0, ToolsHeight + 11 * u, 92 * u, 7 * u, nullptr, nullptr,
                          true, 0, "TABS", "", &tabs);
  if (r) return r;
  SetNoHit(tabs);

  // Four tabs T wide; the file tab takes what is left, so the row fills 92u.
  const int32_t T = Floor(92.0 * u / 5.0);
  // one thread: value
  struct Tab {
    const char* id;
    int32_t x, w;
    uint8_t glyph;
    int32_t dy;
    uint32_t msg;
    const char* tip;
  };
  const Tab row[5] = {
      {"TABMSG", 0, T, 64, -1, 380, "Display the message console"},
      {"TABFIL", T, 92 * u - 4 * T, 'F', 1, 381, "Display the file browser"},
      {"TABMOD", 92 * u - 3 * T, T, 'N', 0, 382, "Display the module libraries"},
      {"TABSAM", 92 * u - 2 * T, T, '~', 1, 383, "Display the audio sample libraries"},
      {"TABMCC", 92 * u - T, T, 'K', 1, 384, "Display the MIDI devices and controls"},
  };
  for (int32_t t = 0; t < 5; ++t) {
    r = MakeControl(ctx, tabs, row[t].x, 0, row[t].w, 7 * u, Cb.OnBrowserTab, Cb.DrawTab, true,
                    11, row[t].id, LangText(row[t].msg, row[t].tip), &id);
    if (r) return r;
    if (t == 0) {
      SetUiIndex(kUiTABMSG, id);
      SetOn(id, -1);
    }
    SetTag(id, t);
    GlyphLayer(id, row[t].glyph, -1, 0xFFFFFFFF, 0, row[t].dy);
  }

  const int32_t hb = WindowHeight - ToolsHeight - 28 * u - 1;
  r = MakeControl(ctx, ctx.panel, 0, ToolsHeight + 18 * u, 92 * u, hb, nullptr, Cb.DrawPanel, true,
                  0, "BROWSER", "", &id);
  if (r) return r;
  ctx.browser = id;
  SetColour(id, 0xFF141419);
  const int32_t browser = ctx.browser;

  r = MakeControl(ctx, browser, 19 * u, 4 * u, 9 * u, 7 * u, Cb.OnListOrder,
                  Cb.DrawMultiStateSwitch, true, 11, "LSORDER",
                  LangText(385, "Change the list order"), &id);
  if (r) return r;
  SetTag(id, 1);
  GlyphLayer(id, '}');
  GlyphLayer(id, '{');
  SetUiIndex(kUiLSORDER, id);

  // one thread: value
  struct Button {
    const char* id;
    int32_t x;
    uint8_t glyph;
    EventCallbackFn event;
    std::string tip;
    int32_t key;
  };
  const Button buttons[5] = {
      {"LIREN", 29, 'A', Cb.OnListRename, LangText(386, "Rename the selected list item"), -1},
      {"LICOPY", 39, '*', Cb.OnListCopy,
       LangText(387, "Copy the selected list item") + " [CTRL-C]", kKeyCtrlC},
      {"LIDEL", 49, '-', Cb.OnListDelete,
       LangText(388, "Delete the selected list item; with none selected on a module list, "
                     "the selected module") + " [DEL]",
       kKeyDel},
      {"LISAVE", 59, 'S', Cb.OnListSave,
       LangText(389, "Save session OR selected item, if can be") + " [CTRL+S]", kKeyCtrlS},
      {"LILOAD", 69, '$', Cb.OnListLoad, LangText(390, "Load") + " [CTRL+L]", kKeyCtrlL},
  };
  for (const Button& bt : buttons) {
    r = MakeControl(ctx, browser, bt.x * u, 4 * u, 9 * u, 7 * u, bt.event, Cb.DrawButton, true, 11,
                    bt.id, bt.tip, &id);
    if (r) return r;
    GlyphLayer(id, bt.glyph);
    if (bt.key >= 0) SetShortcut(bt.key, id);
  }

  int32_t msgb = 0;
  r = MakeControl(ctx, browser, u + b, 12 * u, 89 * u, hb - 13 * u - b, nullptr, nullptr, true, 11,
                  "MSGB", "", &msgb);
  if (r) return r;
  SetUiIndex(kUiMSGB, msgb);
  SetNoHit(msgb);
  // The message group moves down by two thirds of the height the lists leave
  // over (an even pixel count), before its children exist.
  ControlRecord* mb = Ctl(msgb);
  const int32_t Y = mb ? QUARLE_VISUALS::ControlY(mb) : 0;
  const int32_t rows = Floor((WindowHeight - Y - 14.0 * u - 2.0 * b) / ListRowHeight);
  const double spare = WindowHeight - Y - 8.0 * u - 2.0 * b - static_cast<double>(rows) * 6 * u;
  const int32_t s = Nearby(spare / 3.0);
  if (mb) {
    QUARLE_VISUALS::ControlSetY(mb, Y + 2 * s);
    // Settles the move now, so that no pending move reaches the children later.
    QUARLE_VISUALS::UpdateControl(msgb, 0);
  }
  ctx.paneRows = rows;
  ctx.paneShift = s;
  ctx.paneY = 12 * u + 2 * s;

  r = MakeControl(ctx, msgb, 0, 0, 30 * u, 7 * u, Cb.OnMessageTab, Cb.DrawTab, true, 11, "MSGT1",
                  LangText(391, "System messages, warnings and errors"), &id);
  if (r) return r;
  SetTag(id, 0);
  SetOn(id, -1);
  SetUiIndex(kUiMSGT1, id);
  TextLayer(id, LangText(392, "Messages"), ts, 2);
  r = MakeControl(ctx, msgb, 30 * u, 0, 30 * u, 7 * u, Cb.OnMessageTab, Cb.DrawTab, true, 11,
                  "MSGT2", LangText(393, "Action history"), &id);
  if (r) return r;
  SetTag(id, 1);
  TextLayer(id, LangText(394, "Actions"), ts, 2);

  const int32_t listH = std::max(rows, 0) * 6 * u + 2 * b;
  r = MakeControl(ctx, msgb, 0, 7 * u, 89 * u, listH, Cb.OnSystemMessageList,
                  Cb.DrawSystemMessageList, true, 415, "MSGS", LangText(395, "System messages"),
                  &id);
  if (r) return r;
  // Newest first; no list word, so it takes no arrow keys.
  SetReversed(id);
  SetTag(id, 0);
  QUARLE_VISUALS::SetListRows(id, ListTextSize, rows, 6 * u);
  SetUiIndex(kUiMSGS, id);

  r = MakeControl(ctx, msgb, 0, 7 * u, 89 * u, listH, Cb.OnActionHistoryList,
                  Cb.DrawActionHistoryList, false, 415, "MSGA", LangText(396, "Action history"),
                  &id);
  if (r) return r;
  SetReversed(id);
  SetTag(id, 1);
  ListLook(id, rows);
  return 0;
}

int32_t BuildStatusBar(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const int32_t ts = DefaultTextSize;
  const int32_t top = MonitorsSpanned > 1 ? 10 * u : 20 * u;
  int32_t panelId = 0;
  if (QUARLE_VISUALS::WindowList && QUARLE_VISUALS::WindowSlotCount > kWinPANEL)
    panelId = QUARLE_VISUALS::WindowList[kWinPANEL];
  if (panelId <= 0) panelId = ctx.panel;
  const ControlRecord* panel = Ctl(panelId);
  const int32_t panelW = panel ? panel->W : 92 * u;

  int32_t win = 0, id = 0;
  int32_t r = MakeControl(ctx, ctx.root, WindowWidth - panelW - 140 * u, top + b, 120 * u, 7 * u,
                          nullptr, nullptr, true, 0, "STB_WIN", "", &win);
  if (r) return r;
  SetNoHit(win);
  SetWindowSlot(kWinSTB, win);

  r = MakeControl(ctx, win, 0, 0, 35 * u, 7 * u, nullptr, Cb.DrawLabel, true, 0, "SS_ASL", "",
                  &id);
  if (r) return r;
  SetTextColour(id, 0xFFC8C8C8);
  TextLayer(id, LangText(420, "Auto-save"), ts + TextStep, 3);

  r = MakeControl(ctx, win, 35 * u, 0, 7 * u, 7 * u, Cb.OnToggleSwitch, Cb.DrawToggleSwitch, true,
                  11, "SS_AS", LangText(421, "Toggle the auto-saving of the synthesizer ON/OFF"),
                  &id);
  if (r) return r;
  SetTag(id, 4);
  SetSelected(id, Settings.AutoSave != 0 ? 1 : 0);
  GlyphLayer(id, 'x', IconSizePx() + 3 * TextStep);
  GlyphLayer(id, 'X', IconSizePx() + 3 * TextStep);

  r = MakeControl(ctx, win, 45 * u, 0, 9 * u, 7 * u, Cb.OnVisualizationMode, Cb.DrawButton, true,
                  11, "STB_DM", LangText(422, "Change synthesizer visualization mode"), &id);
  if (r) return r;
  // A mode outside 0..4 (a hand-edited settings file) shows as mode 0.
  const int32_t mode = Settings.Scope >= 0 && Settings.Scope <= 4 ? Settings.Scope : 0;
  SetMode(id, mode);
  SetColour(id, VisualizationModeColours[mode]);
  GlyphLayer(id, 'v');
  SetUiIndex(kUiSTB_DM, id);

  r = MakeControl(ctx, win, 54 * u, 0, 9 * u, 7 * u, Cb.OnToggleKeyboards, Cb.DrawButton, true, 11,
                  "STB_SHB", LangText(423, "Toggle the visibility of the virtual keyboards"), &id);
  if (r) return r;
  SetOn(id, -1);
  GlyphLayer(id, 'K');
  SetUiIndex(kUiSTB_SHB, id);

  r = MakeControl(ctx, win, 63 * u, 0, 9 * u, 7 * u, Cb.OnResetPlanePosition, Cb.DrawButton, true,
                  11, "STB_CP", LangText(424, "Reset synthesizer plane position"), &id);
  if (r) return r;
  GlyphLayer(id, 164);
  SetUiIndex(kUiSTB_CP, id);

  r = MakeControl(ctx, win, 72 * u, 0, 13 * u, 7 * u, Cb.OnMidiMapAny, Cb.DrawMidiMapButton, true,
                  11, "MIDI0",
                  LangText(425, "Map a MIDI control to control any selected module parameter."),
                  &id);
  if (r) return r;
  TextLayer(id, "MIDI", ts, 2);
  SetUiIndex(kUiMIDI0, id);

  r = MakeControl(ctx, win, 89 * u, 0, 30 * u, 7 * u, nullptr, Cb.DrawLabel, true, 0, "STB_XYPOS",
                  "", &id);
  if (r) return r;
  SetUiIndex(kUiSTB_XYPOS, id);
  SetTextColour(id, 0xFFAAAAAA);
  TextLayer(id, "   ", ts, 2, 2, 30 * u, 0);

  r = MakeControl(ctx, win, 119 * u, 0, 20 * u, 7 * u, nullptr, Cb.DrawLabel, true, 0, "STB_FPS",
                  "", &id);
  if (r) return r;
  SetUiIndex(kUiSTB_FPS, id);
  SetTextColour(id, 0xFFAAAAAA);
  TextLayer(id, "   ", ts, 2, 2, 20 * u, 0);
  return 0;
}

}  // namespace Tarvelo
