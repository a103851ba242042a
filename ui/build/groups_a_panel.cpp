// The side panel's top strip and module panel with its seven pages.
#include <algorithm>

#include "app/state/settings.h"
#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/dsp/windows.h"
#include "engine/modulelist.h"
#include "ui/build/frame.h"
#include "visuals/controls.h"
#include "visuals/layers.h"

namespace Tarvelo {

namespace {

using QUARLE_BASICS::LangText;

// Row count of a list that fills `space` pixels, floored in double precision.
int32_t RowsIn(int32_t space) { return Floor(static_cast<double>(space) / ListRowHeight); }

// The three row icons of the sample, filter and melody lists.
void ListIcons(int32_t id, bool filter) {
  const int32_t icon = IconSizePx();
  const int32_t h = ListRowHeight;
  GlyphLayer(id, 'o', icon, 0xFFFFFFFF, 0, 0, icon, h);
  GlyphLayer(id, 'l', icon, 0xFF960F0F, 0, 0, icon, h);
  GlyphLayer(id, '!', filter ? icon - TextStep : icon, 0xFF960F0F, 0, 0, icon + 2 * TextStep, h);
}

// The save / unload / set row of a page, right-aligned under its list.
int32_t PageButtons(BuildContext& ctx, int32_t page, int32_t y, const char* const ids[3],
                    const EventCallbackFn events[3], const std::string tips[3]) {
  const int32_t u = U(), b = B();
  const uint8_t glyphs[3] = {'S', '-', 'o'};
  const uint32_t colours[3] = {0xFFFFFFFF, 0xFFC80000, 0xFF00C800};
  for (int32_t i = 0; i < 3; ++i) {
    int32_t id = 0;
    const int32_t r = MakeControl(ctx, page, (64 + 9 * i) * u - 2 * b, y, 8 * u, 7 * u,
                                  events[i], Cb.DrawButton, true, 11, ids[i], tips[i], &id);
    if (r) return r;
    GlyphLayer(id, glyphs[i], -1, colours[i]);
  }
  return 0;
}

int32_t Page(BuildContext& ctx, const char* name, int32_t slot, int32_t* id) {
  const int32_t u = U(), b = B();
  const int32_t r = MakeControl(ctx, ctx.tools, u + b, 25 * u + b, 90 * u - 2 * b,
                                ToolsHeight - 25 * u - 3 * b, nullptr, nullptr, false, 0, name,
                                "", id);
  if (r) return r;
  SetNoHit(*id);
  SetUiIndex(slot, *id);
  return 0;
}

}  // namespace

int32_t BuildMainPanel(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const int32_t ts = DefaultTextSize;
  int32_t id = 0;
  int32_t r = MakeControl(ctx, ctx.root, WindowWidth - 92 * u, 10 * u, 92 * u,
                          WindowHeight - 10 * u, nullptr, nullptr, true, 1, "PANEL", "", &id);
  if (r) return r;
  ctx.panel = id;
  SetNoHit(id);
  SetWindowSlot(kWinPANEL, id);

  int32_t sfb = 0;
  r = MakeControl(ctx, ctx.panel, 0, 0, 92 * u, 8 * u, nullptr, nullptr, true, 11, "SFB", "",
                  &sfb);
  if (r) return r;
  SetNoHit(sfb);

  r = MakeControl(ctx, sfb, 0, 0, 83 * u, 9 * u, Cb.OnBrowserTab, Cb.DrawTab, true, 11, "TABSES",
                  LangText(316, "Current synth - click to display in file browser"), &id);
  if (r) return r;
  TextLayer(id, "  " + SessionTitle, ts, 1);
  SetTag(id, 5);
  SetUiIndex(kUiTABSES, id);

  r = MakeControl(ctx, sfb, 83 * u, 0, 9 * u, 9 * u, Cb.OnNewSynth, Cb.DrawButton, true, 11,
                  "SNEW", LangText(317, "New synthesizer file") + " [CTRL+N]", &id);
  if (r) return r;
  GlyphLayer(id, 'Q');
  SetUiIndex(kUiSNEW, id);
  SetShortcut(kKeyCtrlN, id);

  ToolsHeight = u * Floor(0.39 * (WindowUnitsHigh - 9));
  r = MakeControl(ctx, ctx.panel, 0, 10 * u, 92 * u, ToolsHeight, nullptr, Cb.DrawPanel, true, 0,
                  "TOOLS", "", &id);
  if (r) return r;
  ctx.tools = id;
  SetColour(id, 0xFF141419);
  SetDisabledWord(id, SelectedModule == nullptr ? -1 : 0);
  SetUiIndex(kUiTOOLS, id);
  const int32_t tools = ctx.tools;

  std::string title = LangText(318, "[NO ACTIVE SELECTION]");
  if (SelectedModule)
    title = QUARLE_BASICS::DynZStringGet(SelectedModule->Name) + " " +
            std::to_string(SelectedModule->InstanceNumber.Load());
  r = MakeControl(ctx, tools, b + u, b + u, 92 * u - 2 * b, 7 * u, nullptr, Cb.DrawLabel, true,
                  11, "MTLBL", "", &id);
  if (r) return r;
  TextLayer(id, title, ts + 2 * TextStep, 2);
  SetUiIndex(kUiMTLBL, id);

  // Row 2: the module switches; the tag names the module flag to toggle.
  const int32_t y2 = b + 9 * u;
  const std::string modeTip = LangText(325, "Module mode 1|2 (specific to each module)");
  r = MakeControl(ctx, tools, b + u, y2, 8 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton, true,
                  11, "PLAY", LangText(319, "Toggle playback ON/OFF") + " [CTRL-P]", &id);
  if (r) return r;
  GlyphLayer(id, '1');
  SetTag(id, 2);
  StartDisabled(id);
  SetUiIndex(kUiPLAY, id);
  SetShortcut(kKeyCtrlP, id);

  r = MakeControl(ctx, tools, b + u, y2, 8 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton, false,
                  11, "HOLD", LangText(320, "Hold value"), &id);
  if (r) return r;
  GlyphLayer(id, 'H');
  SetTag(id, 11);

  r = MakeControl(ctx, tools, b + 9 * u, y2, 8 * u, 7 * u, Cb.OnSampleRecord, Cb.DrawRecordButton,
                  true, 11, "REC", LangText(321, "Toggle recording ON/OFF") + " [CTRL-R]", &id);
  if (r) return r;
  GlyphLayer(id, '4', -1, 0xFFC80000);
  SetTag(id, 3);
  StartDisabled(id);
  SetShortcut(kKeyCtrlR, id);

  r = MakeControl(ctx, tools, b + 17 * u, y2, 8 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton,
                  true, 11, "LOOP", LangText(322, "Toggle looping ON/OFF"), &id);
  if (r) return r;
  GlyphLayer(id, 'B');
  SetTag(id, 5);

  r = MakeControl(ctx, tools, b + 25 * u, y2, 8 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton,
                  true, 11, "ARWD", LangText(323, "Toggle autorewind ON/OFF"), &id);
  if (r) return r;
  GlyphLayer(id, 'T');
  SetTag(id, 6);

  r = MakeControl(ctx, tools, b + 33 * u, y2, 8 * u, 7 * u, Cb.OnRewindClocks, Cb.DrawButton,
                  true, 11, "RWD", LangText(324, "Rewind module clocks and reset playback"), &id);
  if (r) return r;
  GlyphLayer(id, '6');

  r = MakeControl(ctx, tools, b + 43 * u, y2, 6 * u, 7 * u, Cb.OnModuleSwitch,
                  Cb.DrawMultiStateSwitch, true, 11, "SW1", modeTip, &id);
  if (r) return r;
  TextLayer(id, "1", ts, 2);
  TextLayer(id, "2", ts, 2);
  SetTag(id, 13);
  SetSelected(id, 0);
  StartDisabled(id);

  r = MakeControl(ctx, tools, b + 49 * u, y2, 7 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton,
                  true, 11, "SW2", modeTip, &id);
  if (r) return r;
  TextLayer(id, "x2", ts, 2);
  SetTag(id, 4);
  StartDisabled(id);

  r = MakeControl(ctx, tools, b + 56 * u, y2, 7 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton,
                  true, 11, "0OUT",
                  LangText(326, "Island key mode : outputs a zero between notes"), &id);
  if (r) return r;
  GlyphLayer(id, '8');
  SetTag(id, 12);
  SetOn(id, -1);
  StartDisabled(id);

  r = MakeControl(ctx, tools, b + 63 * u, y2, 7 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton,
                  true, 11, "DUAL",
                  LangText(327, "Control both inputs at once in a complementary manner."), &id);
  if (r) return r;
  GlyphLayer(id, 'D');
  SetTag(id, 10);
  StartDisabled(id);

  r = MakeControl(ctx, tools, b + 70 * u, y2, 7 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton,
                  true, 11, "ENV",
                  LangText(328, "Set module as an envelope for voice mix scaling."), &id);
  if (r) return r;
  GlyphLayer(id, 'E');
  SetTag(id, 9);
  SetUiIndex(kUiENV, id);

  r = MakeControl(ctx, tools, 80 * u - b, y2, 11 * u, 7 * u, Cb.OnMidiMapParameter,
                  Cb.DrawMidiMapButton, true, 11, "MIDI1",
                  LangText(329, "Map a MIDI control to control a specific parameter of any "
                                "selected module."),
                  &id);
  if (r) return r;
  TextLayer(id, "MIDI", ts, 2);
  SetUiIndex(kUiMIDI1, id);

  // Row 3: the page tabs, then the power, kickstart and polyphony buttons.
  const int32_t y3 = b + 18 * u;
  // one thread: value
  struct Tab {
    const char* id;
    uint32_t labelMsg;
    const char* label;
    uint32_t tipMsg;
    const char* tip;
  };
  const Tab tabs[7] = {
      {"MODTAB0", 331, "Settings", 330, "Module parameters (inputs and settings)"},
      {"MODTAB1A", 333, "Shapes", 332, "Oscillator wave shapes"},
      {"MODTAB1B", 335, "Samples", 334, "Samples that are loaded in memory"},
      {"MODTAB1C", 337, "Shapes", 336, "Filter shapes"},
      {"MODTAB1D", 338, "Melodies", 338, "Melodies"},
      {"MODTAB1E", 339, "Devices", 339, "Devices"},
      {"MODTAB1F", 341, "Patterns", 340, "Scale patterns"},
  };
  for (int32_t t = 0; t < 7; ++t) {
    r = MakeControl(ctx, tools, t == 0 ? b + u : b + 31 * u, y3, 30 * u, 7 * u, Cb.OnModuleTab,
                    Cb.DrawTab, t == 0, 11, tabs[t].id, LangText(tabs[t].tipMsg, tabs[t].tip),
                    &id);
    if (r) return r;
    TextLayer(id, LangText(tabs[t].labelMsg, tabs[t].label), ts + TextStep, 2);
    SetTag(id, t);
    if (t == 0) {
      SetOn(id, -1);
      SetUiIndex(kUiMODTAB0, id);
    }
  }

  r = MakeControl(ctx, tools, 83 * u - b, y3, 8 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton, true,
                  11, "MFP", LangText(342, "Toggle module power ON/OFF"), &id);
  if (r) return r;
  GlyphLayer(id, 'P');
  SetTag(id, 0);
  SetUiIndex(kUiMFP, id);

  r = MakeControl(ctx, tools, 75 * u - b, y3, 8 * u, 7 * u, Cb.OnFeedbackKickstart,
                  Cb.DrawButton, true, 11, "FBS",
                  LangText(343, "Kickstart module's feedback loops, if any, using its seed."), &id);
  if (r) return r;
  GlyphLayer(id, '/');
  SetUiIndex(kUiFBS, id);

  r = MakeControl(ctx, tools, 67 * u - b, y3, 8 * u, 7 * u, Cb.OnModuleSwitch, Cb.DrawButton, true,
                  11, "POLY", LangText(344, "Toggle polyphonic mode ON/OFF"), &id);
  if (r) return r;
  GlyphLayer(id, 0xF6, -1, 0xFF0055C8);
  SetTag(id, 8);
  SetUiIndex(kUiPOLY, id);
  return 0;
}

int32_t BuildParameterPage(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const int32_t ts = DefaultTextSize;
  const int32_t w = 90 * u - 2 * b;
  int32_t param = 0, id = 0;
  int32_t r = MakeControl(ctx, ctx.tools, b + u, b + 25 * u, w, ToolsHeight - 3 * b - 25 * u,
                          nullptr, nullptr, true, 0, "PARAM", "", &param);
  if (r) return r;
  SetNoHit(param);
  SetUiIndex(kUiPARAM, param);
  const ControlRecord* pc = Ctl(param);
  const int32_t pw = pc ? pc->W : w;
  const int32_t ph = pc ? pc->H : 1;
  // The control row's two equal gaps, the list's rows and the value editor's top.
  const int32_t g = Nearby((pw - 73.0 * u - 2.0 * b) / 2.0);
  const int32_t rows = RowsIn(ph - 17 * u - 2 * b);
  const int32_t shownRows = std::max(rows, 0);
  const int32_t yV = shownRows * 6 * u + 3 * b + 7 * u;

  r = MakeControl(ctx, param, 0, 0, w, 8 * u + 2 * b, nullptr, Cb.DrawGroupFrame, true, 0, "PCF",
                  LangText(345, "Parameter controls"), &id);
  if (r) return r;
  SetNoHit(id);

  r = MakeControl(ctx, param, b, b, 5 * u, 7 * u, Cb.OnInputDomain, Cb.DrawButton, true, 11,
                  "PDOM", LangText(346, "Toggle input domain [Time | Energy]"), &id);
  if (r) return r;
  TextLayer(id, " ", ts, 2);
  SetUiIndex(kUiPDOM, id);

  r = MakeControl(ctx, param, b + 5 * u, b, 7 * u, 7 * u, Cb.OnGlobalValue, Cb.DrawButton, true,
                  11, "PGV", LangText(347, "Global value ON/OFF: Use master module's value"), &id);
  if (r) return r;
  GlyphLayer(id, 'G');
  SetUiIndex(kUiPGV, id);

  r = MakeControl(ctx, param, b + 12 * u, b, 6 * u, 7 * u, Cb.OnVoiceMapSource, Cb.DrawButton,
                  true, 11, "PVM",
                  LangText(348, "Set port as voice map source or reset to default if none "
                                "selected."),
                  &id);
  if (r) return r;
  TextLayer(id, "V", ts, 2);
  SetUiIndex(kUiPVM, id);

  r = MakeControl(ctx, param, b + 18 * u + g, b, 18 * u, 7 * u, Cb.OnSpatialChannel,
                  Cb.DrawSelector, true, 31, "PSC", LangText(349, "Select spatial channel"), &id);
  if (r) return r;
  SelectorLook(id, 0, "L");
  SetUiIndex(kUiPSC, id);

  r = MakeControl(ctx, param, b + 36 * u + g, b, 7 * u, 7 * u, Cb.OnLinkSpatialChannels,
                  Cb.DrawButton, true, 11, "PSCL",
                  LangText(350, "Link spatial channels (toggle mono or stereo for parameter / "
                                "set module to mono)"),
                  &id);
  if (r) return r;
  GlyphLayer(id, '&');
  SetUiIndex(kUiPSCL, id);

  r = MakeControl(ctx, param, b + 43 * u + 2 * g, b, 11 * u, 7 * u, Cb.OnMidiMapModuleParameter,
                  Cb.DrawMidiMapButton, true, 11, "MIDI2",
                  LangText(351, "Map a MIDI control to a specific parameter of a specific module."),
                  &id);
  if (r) return r;
  TextLayer(id, "MIDI", ts, 2);
  SetUiIndex(kUiMIDI2, id);

  r = MakeControl(ctx, param, b + 54 * u + 2 * g, b, 6 * u, 7 * u, Cb.OnMidiMapMin,
                  Cb.DrawMidiMapButton, true, 11, "MMIN",
                  LangText(352, "Set the minimum value of the MIDI control for the selected "
                                "parameter."),
                  &id);
  if (r) return r;
  GlyphLayer(id, 'd');
  SetUiIndex(kUiMMIN, id);

  r = MakeControl(ctx, param, b + 60 * u + 2 * g, b, 6 * u, 7 * u, Cb.OnMidiMapMax,
                  Cb.DrawMidiMapButton, true, 11, "MMAX",
                  LangText(353, "Set the maximum value of the MIDI control for the selected "
                                "parameter."),
                  &id);
  if (r) return r;
  GlyphLayer(id, 'e');
  SetUiIndex(kUiMMAX, id);

  r = MakeControl(ctx, param, b + 66 * u + 2 * g, b, 7 * u, 7 * u, Cb.OnMidiMapResolution,
                  Cb.DrawMidiMapButton, true, 11, "MRES",
                  LangText(354, "Set the resolution for endless encoders."), &id);
  if (r) return r;
  TextLayer(id, "#", ts, 2);
  SetUiIndex(kUiMRES, id);

  r = MakeControl(ctx, param, 0, b + 7 * u, w, shownRows * 6 * u + 2 * b, Cb.OnParameterList,
                  Cb.DrawParameterList, true, 415, "PLIST",
                  LangText(355, "List of selected module's settings"), &id);
  if (r) return r;
  const int32_t iconSize = IconSizePx() - 2 * TextStep;
  for (uint8_t glyph : {uint8_t{39}, uint8_t{34}, uint8_t{52}, uint8_t{239}})
    GlyphLayer(id, glyph, iconSize, 0xFFFFFFFF, 0, 0, IconSizePx(), 6 * u);
  // Too few rows for one: the list stays without row images (the call refuses).
  QUARLE_VISUALS::SetListRows(id, ListTextSize, rows, 6 * u);
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  SetUiIndex(kUiPLIST, id);

  // The value editor: display mode, typed entry, value field, unit (tags 0 to 3).
  r = MakeControl(ctx, param, 0, yV, 9 * u, 8 * u, Cb.OnValueDisplayMode, Cb.DrawButton, true, 11,
                  "FAD_PP", Caption(294), &id);
  if (r) return r;
  GlyphLayer(id, '%');
  SetTag(id, 0);
  StartDisabled(id);
  SetUiIndex(kUiFAD_PP, id);

  r = MakeControl(ctx, param, 9 * u, yV, 9 * u, 8 * u, Cb.OnValueEdit, Cb.DrawButton, true, 11,
                  "FAE_PP", Caption(295), &id);
  if (r) return r;
  TextLayer(id, "v =", ts + TextStep, 2);
  SetTag(id, 1);
  StartDisabled(id);

  r = MakeControl(ctx, param, 18 * u, yV, 60 * u - 2 * b, 8 * u, Cb.OnValueDrag, Cb.DrawValueField,
                  true, 31, "FAV_PP", LangText(356, "Value of selected module's parameter"), &id);
  if (r) return r;
  SetTag(id, 2);
  SetTextColour(id, 0xFFFFFFFF);
  if (ControlRecord* c = Ctl(id)) {
    QUARLE_VISUALS::ControlAddLayers(c, 1);
    QUARLE_VISUALS::ControlCreateLayer(c, 0, c->W - 2 * b, c->H - 2 * b, 0xFFFFFFFF);
  }
  StartDisabled(id);

  r = MakeControl(ctx, param, 78 * u - 2 * b, yV, 12 * u, 8 * u, Cb.OnValueUnit, Cb.DrawButton,
                  true, 11, "FAU_PP", Caption(293), &id);
  if (r) return r;
  TextLayer(id, "Hz", ts + TextStep, 2);
  SetTag(id, 3);
  StartDisabled(id);
  return 0;
}

int32_t BuildModulePages(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const int32_t W = 90 * u - 2 * b;
  const int32_t H = ToolsHeight - 25 * u - 3 * b;
  int32_t page = 0, id = 0;

  // Wave shapes.
  int32_t r = Page(ctx, "SHAPE", kUiSHAPE, &page);
  if (r) return r;
  const int32_t rs = std::max(RowsIn(H - 14 * u - 2 * b), 0);
  r = MakeControl(ctx, page, 0, 0, W, rs * 6 * u + 2 * b, Cb.OnWaveShapeList,
                  Cb.DrawWaveFunctionList, true, 415, "SLIST",
                  LangText(357, "List of wave functions"), &id);
  if (r) return r;
  SetUiIndex(kUiSLIST, id);
  ListLook(id, rs);
  r = MakeControl(ctx, page, 0, rs * 6 * u + 2 * b, W, 13 * u, Cb.OnWavePreview,
                  Cb.DrawWavePreview, true, 11, "PGRAPH", LangText(358, "Wave function preview"),
                  &id);
  if (r) return r;
  SetUiIndex(kUiPGRAPH, id);
  SetColour(id, 0xFF0A0A0C);
  if (ControlRecord* c = Ctl(id)) {
    QUARLE_VISUALS::ControlAddLayers(c, 1);
    QUARLE_VISUALS::ControlCreateLayer(c, 0, W - 2 * b, 13 * u - 2 * b, 0xFFFFFFFF);
  }

  // Samples in memory.
  r = Page(ctx, "SAMPLE", kUiSAMPLE, &page);
  if (r) return r;
  const int32_t rw = std::max(RowsIn(H - 8 * u - 2 * b), 0);
  r = MakeControl(ctx, page, 0, 0, W, rw * 6 * u + 2 * b, Cb.OnSampleList,
                  Cb.DrawSampleMemoryList, true, 415, "WLIST",
                  LangText(359, "List of samples loaded in memory"), &id);
  if (r) return r;
  SetUiIndex(kUiWLIST, id);
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  ListIcons(id, false);
  ListLook(id, rw);
  {
    const char* const ids[3] = {"SSAV", "SDEL", "SSET"};
    const EventCallbackFn ev[3] = {Cb.OnSampleSave, Cb.OnSampleUnload, Cb.OnSampleSet};
    const std::string tips[3] = {LangText(360, "Save selected sample to disk"),
                                 LangText(361, "Unload selected sample from memory"),
                                 LangText(362, "Set selected sample")};
    r = PageButtons(ctx, page, rw * 6 * u + 2 * b, ids, ev, tips);
    if (r) return r;
  }

  // Filters. Below the list: the graph (13u), the window row and the design row
  // (7u each). When not one row fits (windows under 830 pixels high at zoom 1)
  // the list keeps one row and the graph gives up what the page lacks, so that
  // nothing leaves the page or overlaps the list.
  r = Page(ctx, "FILTER", kUiFILTER, &page);
  if (r) return r;
  const int32_t rfFit = RowsIn(H - 27 * u - 2 * b);
  const int32_t rf = std::max(rfFit, 1);
  const int32_t listH = rf * 6 * u + 2 * b;
  const int32_t graphH = rfFit >= 1 ? 13 * u : std::max(H - 14 * u - listH, 2 * b + 1);
  r = MakeControl(ctx, page, 0, 0, W, listH, Cb.OnFilterList, Cb.DrawFilterList, true, 415,
                  "FLIST", LangText(363, "List of filter coefficient files"), &id);
  if (r) return r;
  SetUiIndex(kUiFLIST, id);
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  ListIcons(id, true);
  ListLook(id, rf);
  r = MakeControl(ctx, page, 0, listH, W, graphH, Cb.OnFilterGraph, Cb.DrawFilterGraph, true, 31,
                  "FGRAPH", LangText(364, "Filter coefficients"), &id);
  if (r) return r;
  SetUiIndex(kUiFGRAPH, id);
  SetColour(id, 0xFF0A0A0C);
  if (ControlRecord* c = Ctl(id)) {
    QUARLE_VISUALS::ControlAddLayers(c, 1);
    QUARLE_VISUALS::ControlCreateLayer(c, 0, W - 2 * b, graphH - 2 * b, 0xFFFFFFFF);
  }
  // The selectors show the design as it stands (at start-up the design the
  // program starts with), so that their first use and + act on what they show.
  const FirDesignRecord& design = FirDesign;
  const int32_t window = std::clamp(design.FirWindowIndex, 0, kWindowFunctionCount - 1);
  const int32_t taps = std::clamp(design.FirTapCount, 3, kFirMaxTaps);
  const int32_t lobe = std::clamp(design.FirWidth, 0, taps);
  const int32_t yRow = listH + graphH;
  r = MakeControl(ctx, page, 0, yRow, 41 * u, 7 * u, Cb.OnFilterWindowFunction, Cb.DrawSelector,
                  true, 31, "FWS", LangText(365, "Select the window to apply"), &id);
  if (r) return r;
  SelectorLook(id, window, window == 0 ? LangText(366, "Square (none)")
                                       : QUARLE_BASICS::DynZStringGet(WindowFunctionTable[window].Name));
  SetUiIndex(kUiFWS_WINDOW, id);
  r = MakeControl(ctx, page, 41 * u, yRow, 7 * u, 7 * u, Cb.OnFilterHighPass, Cb.DrawButton, true,
                  11, "FHI", LangText(367, "Filter mode: High pass"), &id);
  if (r) return r;
  TextLayer(id, "HI", DefaultTextSize, 2);
  SetOn(id, design.FirHighPass != 0 ? -1 : 0);
  {
    const char* const ids[3] = {"FADD", "FDEL", "FSET"};
    const EventCallbackFn ev[3] = {Cb.OnFilterCreate, Cb.OnFilterUnload, Cb.OnFilterSet};
    const std::string tips[3] = {
        LangText(368, "Create a new filter file from selected settings"),
        LangText(369, "Unload selected filter from memory"), LangText(370, "Set selected filter")};
    // The create button shows a white plus where the others save.
    const uint8_t glyphs[3] = {'+', '-', 'o'};
    const uint32_t colours[3] = {0xFFFFFFFF, 0xFFC80000, 0xFF00C800};
    for (int32_t i = 0; i < 3; ++i) {
      r = MakeControl(ctx, page, (64 + 9 * i) * u - 2 * b, yRow, 8 * u, 7 * u, ev[i],
                      Cb.DrawButton, true, 11, ids[i], tips[i], &id);
      if (r) return r;
      GlyphLayer(id, glyphs[i], -1, colours[i]);
    }
  }
  r = MakeControl(ctx, page, 0, yRow + 7 * u, 24 * u, 7 * u, Cb.OnFilterWindowSize,
                  Cb.DrawSelector, true, 31, "FWS",
                  LangText(371, "Select the window size of the new filter"), &id);
  if (r) return r;
  SelectorLook(id, taps - 3, "N = " + std::to_string(taps));
  SetUiIndex(kUiFWS_SIZE, id);
  r = MakeControl(ctx, page, 24 * u, yRow + 7 * u, 24 * u, 7 * u, Cb.OnFilterLobeSize,
                  Cb.DrawSelector, true, 31, "FKS",
                  LangText(372, "Select the size of the filter lobe") + " K = [0..N-1]", &id);
  if (r) return r;
  SelectorLook(id, lobe, "K = " + std::to_string(lobe));
  SetUiIndex(kUiFKS, id);

  // Melodies.
  r = Page(ctx, "MELODY", kUiMELODY, &page);
  if (r) return r;
  const int32_t rm = std::max(RowsIn(H - 8 * u - 2 * b), 0);
  r = MakeControl(ctx, page, 0, 0, W, rm * 6 * u + 2 * b, Cb.OnMelodyList, Cb.DrawMelodyList,
                  true, 415, "MLIST", LangText(373, "List of melodies"), &id);
  if (r) return r;
  SetUiIndex(kUiMLIST, id);
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  ListIcons(id, false);
  ListLook(id, rm);
  {
    const char* const ids[3] = {"MSAV", "MDEL", "MSET"};
    const EventCallbackFn ev[3] = {Cb.OnMelodySave, Cb.OnMelodyUnload, Cb.OnMelodySet};
    const std::string tips[3] = {LangText(374, "Save selected melody to disk"),
                                 LangText(375, "Unload the selected melody from memory"),
                                 LangText(376, "Set the selected melody")};
    r = PageButtons(ctx, page, rm * 6 * u + 2 * b, ids, ev, tips);
    if (r) return r;
  }
  return 0;
}

int32_t BuildDevicesAndScalesPages(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const int32_t W = 90 * u - 2 * b;
  const int32_t H = ToolsHeight - 25 * u - 3 * b;
  int32_t page = 0, id = 0;
  int32_t r = Page(ctx, "DEVICES", kUiDEVICES, &page);
  if (r) return r;
  const int32_t rk = std::max(RowsIn(H - 7 * u - 2 * b), 0);
  r = MakeControl(ctx, page, 0, 0, W, rk * 6 * u + 2 * b, Cb.OnKeyboardDeviceList,
                  Cb.DrawKeyboardDeviceList, true, 415, "KBDEVS",
                  LangText(377, "List of MIDI devices"), &id);
  if (r) return r;
  SetUiIndex(kUiKBDEVS, id);
  ListLook(id, rk);
  const std::string channel = LangText(378, "MIDI Channel (0=any):");
  r = MakeControl(ctx, page, 0, rk * 6 * u + 2 * b, W, 7 * u, Cb.OnKeyboardChannel,
                  Cb.DrawSelector, true, 31, "KBCH", channel, &id);
  if (r) return r;
  SetUiIndex(kUiKBCH, id);
  SelectorLook(id, 0, channel + " 0 ");

  r = Page(ctx, "SCALES", kUiSCALES, &page);
  if (r) return r;
  const int32_t rc = std::max(RowsIn(H - 8 * u - 2 * b), 0);
  r = MakeControl(ctx, page, 0, 0, W, rc * 6 * u + 2 * b, Cb.OnScaleList, Cb.DrawScaleList, true,
                  415, "SCALELIST", LangText(379, "List of scales loaded in memory"), &id);
  if (r) return r;
  SetUiIndex(kUiSCALELIST, id);
  SetTag(id, 6);
  ListLook(id, rc);
  return 0;
}

}  // namespace Tarvelo
