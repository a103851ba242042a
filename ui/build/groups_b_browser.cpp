// The browser pane's file browser, module and sample libraries, and the MIDI
// controller page. All four panes lie at one rectangle below the browser tabs,
// where the message group lies; the tabs show one of them at a time.
#include <string>

#include "app/startup.h"
#include "app/state/settings.h"
#include "audio/audio.h"
#include "audio/midi.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"

namespace Tarvelo {

namespace {

using QUARLE_BASICS::LangText;

// one thread: value
struct PaneRect {
  int32_t x, y, w, h;
};

PaneRect BrowserPaneRect(const BuildContext& ctx) {
  const int32_t u = U(), b = B();
  return {u + b, ctx.paneY, 89 * u, WindowHeight - 41 * u - ToolsHeight - b - 1};
}

// One glyph image of a row's height that a list draw picks by position.
void ListRowGlyph(int32_t id, uint8_t glyph) {
  GlyphLayer(id, glyph, IconSizePx() - 2 * TextStep, 0xFFFFFFFF, 0, 0, IconSizePx(),
             ListRowHeight);
}

// A selector caption between the two arrows, at the default text size.
void SelectorCaption(int32_t id, const std::string& text) {
  const ControlRecord* c = Ctl(id);
  MarkSelector(id);
  TextLayer(id, text, DefaultTextSize, 2, 2, c ? c->W - 2 * B() - 2 * IconSizePx() : 0, 0);
}

}  // namespace

int32_t BuildFileBrowser(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const PaneRect pane = BrowserPaneRect(ctx);
  const int32_t rows = ctx.paneRows;
  const int32_t listH = ListRowHeight * rows + 2 * b;
  int32_t id = 0, r = 0;

  // The file browser.
  int32_t fb = 0;
  if ((r = MakeControl(ctx, ctx.browser, pane.x, pane.y, pane.w, pane.h, nullptr, nullptr, false,
                       11, "FB", "", &fb)))
    return r;
  SetUiIndex(kUiFB, fb);
  SetNoHit(fb);

  // one thread: value
  struct Tool {
    const char* name;
    EventCallbackFn event;
    uint8_t glyph;
    uint32_t message;
    const char* english;
  };
  const Tool tools[3] = {
      {"BUP", Cb.OnBrowserUp, 'b', 397, "File browser : Go up one level."},
      {"BHOME", Cb.OnBrowserHome, 'h', 398, "File browser : Go to home folder"},
      {"BREF", Cb.OnBrowserRefresh, 'B', 399, "File browser : Refresh folder content"},
  };
  for (int32_t i = 0; i < 3; ++i) {
    if ((r = MakeControl(ctx, fb, 9 * u * i, 0, 9 * u, 7 * u, tools[i].event, Cb.DrawButton,
                         true, 11, tools[i].name, LangText(tools[i].message, tools[i].english),
                         &id)))
      return r;
    GlyphLayer(id, tools[i].glyph);
  }

  if ((r = MakeControl(ctx, fb, 27 * u, 0, 62 * u, 7 * u, Cb.OnBrowserDrives, Cb.DrawDriveList,
                       true, 11, "BDRV", LangText(400, "File browser : Available drives"), &id)))
    return r;
  SetUiIndex(kUiBDRV, id);
  if (ControlRecord* c = Ctl(id)) c->Text.TextSize = DefaultTextSize;
  // -1 (the current folder's drive is not listed) is kept as it is.
  SetSelected(id, QUARLE_BASICS::CurrentDriveIndex(Drives));
  TextLayer(id, "      ", DefaultTextSize, 2, 2, 0, 0);

  if ((r = MakeControl(ctx, fb, 0, 7 * u, 89 * u, listH, Cb.OnFileList, Cb.DrawFileList, true,
                       415, "FILES", LangText(401, "File browser"), &id)))
    return r;
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  SetReversed(id);  // newest row first
  ListLook(id, rows);
  SetUiIndex(kUiFILES, id);

  // The module library: catalog and created modules at one place, chosen by the tabs.
  int32_t lib = 0;
  if ((r = MakeControl(ctx, ctx.browser, pane.x, pane.y, pane.w, pane.h, nullptr, nullptr, false,
                       11, "LIB", "", &lib)))
    return r;
  SetUiIndex(kUiLIB_MODULES, lib);
  SetNoHit(lib);

  if ((r = MakeControl(ctx, lib, 0, 0, 30 * u, 7 * u, Cb.OnLibraryTab, Cb.DrawTab, true, 11,
                       "LIBT1",
                       LangText(402, "Module masters - used as reference and for global control"),
                       &id)))
    return r;
  SetTag(id, 0);
  SetOn(id, -1);  // the catalog shows first
  SetUiIndex(kUiLIBT1, id);
  TextLayer(id, LangText(403, "Catalog"), DefaultTextSize, 2, 2, 0, 0);

  if ((r = MakeControl(ctx, lib, 30 * u, 0, 30 * u, 7 * u, Cb.OnLibraryTab, Cb.DrawTab, true, 11,
                       "LIBT2", LangText(404, "Modules created"), &id)))
    return r;
  SetTag(id, 1);
  TextLayer(id, LangText(405, "Modules"), DefaultTextSize, 2, 2, 0, 0);

  // LIBM must follow REFM: the tabs show the list at REFM's id plus their tag.
  if ((r = MakeControl(ctx, lib, 0, 7 * u, 89 * u, listH, Cb.OnModuleCatalogList,
                       Cb.DrawModuleCatalogList, true, 447, "REFM",
                       LangText(406, "Module catalog"), &id)))
    return r;
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  SetTag(id, 0);
  SetUiIndex(kUiREFM, id);
  ListRowGlyph(id, 246);
  ListLook(id, rows);

  if ((r = MakeControl(ctx, lib, 0, 7 * u, 89 * u, listH, Cb.OnCreatedModuleList,
                       Cb.DrawCreatedModuleList, false, 447, "LIBM",
                       LangText(407, "List of modules created"), &id)))
    return r;
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  SetTag(id, 1);
  ListRowGlyph(id, 246);
  ListLook(id, rows);

  // The sample library.
  int32_t slib = 0;
  if ((r = MakeControl(ctx, ctx.browser, pane.x, pane.y, pane.w, pane.h, nullptr, nullptr, false,
                       11, "LIB", "", &slib)))
    return r;
  SetUiIndex(kUiLIB_SAMPLES, slib);
  SetNoHit(slib);

  const int32_t x0 = Nearby((89.0 * u - 2.0 * b) / 2.0);
  if ((r = MakeControl(ctx, slib, x0, 0, 89 * u - x0, 7 * u, Cb.OnSampleChannels,
                       Cb.DrawSelector, true, 31, "SLIBC",
                       LangText(408, "Sample library - channels to load"), &id)))
    return r;
  SetUiIndex(kUiSLIBC, id);
  SetSelected(id, 0);
  StartDisabled(id);
  SelectorCaption(id, QUARLE_AUDIO::ChannelLayoutNames[1]);

  if ((r = MakeControl(ctx, slib, 0, 7 * u, 89 * u, listH, Cb.OnSampleLibraryList,
                       Cb.DrawSampleLibraryList, true, 415, "SAM",
                       LangText(409, "List of audio samples loaded in memory"), &id)))
    return r;
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  SetUiIndex(kUiSAM_LIBRARY, id);
  ListLook(id, rows);
  return 0;
}

int32_t BuildMidiControllerPage(BuildContext& ctx) {
  const int32_t u = U(), b = B();
  const PaneRect pane = BrowserPaneRect(ctx);
  // Two rows' height stays free below the lists for the switch and monitor lines.
  const int32_t rows = ctx.paneRows - 2;
  const int32_t hl = ListRowHeight * rows + 2 * b;
  const int32_t wc = Nearby(89.0 * u * 0.33);
  int32_t id = 0, r = 0;

  int32_t mcc = 0;
  if ((r = MakeControl(ctx, ctx.browser, pane.x, pane.y, pane.w, pane.h, nullptr, nullptr, false,
                       11, "MCC", "", &mcc)))
    return r;
  SetUiIndex(kUiMCC, mcc);
  SetNoHit(mcc);

  if ((r = MakeControl(ctx, mcc, 0, 0, wc, 7 * u, Cb.OnMidiControlChannel, Cb.DrawSelector, true,
                       31, "MIDICCCH", LangText(410, "MIDI Channel"), &id)))
    return r;
  SetUiIndex(kUiMIDICCCH, id);
  SetSelected(id, 0);
  StartDisabled(id);
  SelectorCaption(id, "Ch. 1 ");

  if ((r = MakeControl(ctx, mcc, wc, 0, 89 * u - wc, 7 * u, Cb.OnMidiControllerType,
                       Cb.DrawSelector, true, 31, "MIDICCCT",
                       LangText(411, "MIDI Controller type"), &id)))
    return r;
  SetUiIndex(kUiMIDICCCT, id);
  SetSelected(id, 1);
  StartDisabled(id);
  SelectorCaption(id, QUARLE_AUDIO::MidiControllerTypeNames[1]);

  // MIDICC must follow MIDIDEVS: the selectors reach it as MIDIDEVS's id plus 1.
  if ((r = MakeControl(ctx, mcc, 0, 7 * u, 89 * u, hl, Cb.OnMidiDeviceMapList,
                       Cb.DrawMidiDeviceMapList, true, 415, "MIDIDEVS",
                       LangText(412, "List of MIDI devices"), &id)))
    return r;
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  SetUiIndex(kUiMIDIDEVS, id);
  ListRowGlyph(id, 34);
  ListRowGlyph(id, 39);
  ListLook(id, rows);

  if ((r = MakeControl(ctx, mcc, 0, 7 * u, 89 * u, hl, Cb.OnMidiControlList,
                       Cb.DrawMidiControlList, true, 415, "MIDICC",
                       LangText(413, "List of MIDI controls"), &id)))
    return r;
  if (ControlRecord* c = Ctl(id)) ListWord(c) = -1;
  for (uint8_t g : {uint8_t('b'), uint8_t('p'), uint8_t('d'), uint8_t('/')}) ListRowGlyph(id, g);
  ListLook(id, rows);

  if ((r = MakeControl(ctx, mcc, 0, 7 * u + hl, 7 * u, 6 * u, Cb.OnToggleSwitch,
                       Cb.DrawToggleSwitch, true, 11, "VS_FCT",
                       LangText(414, "Toggle MIDI input display ON/OFF"), &id)))
    return r;
  SetTag(id, 5);  // the switch kind of the MIDI input display
  SetSelected(id, Settings.DisplayMidiInput.Load() != 0 ? 1 : 0);
  GlyphLayer(id, 'x', IconSizePx() + 3 * TextStep);
  GlyphLayer(id, 'X', IconSizePx() + 3 * TextStep);

  const std::string display = LangText(415, "Display MIDI input");
  if ((r = MakeControl(ctx, mcc, 9 * u, 7 * u + hl, 77 * u, 6 * u, nullptr, Cb.DrawLabel, true, 11,
                       "MIDIIN_LBL", display, &id)))
    return r;
  TextLayer(id, display, DefaultTextSize, 1, 2, 77 * u, 0);

  if ((r = MakeControl(ctx, mcc, 0, 14 * u + hl, 77 * u, 6 * u, nullptr, Cb.DrawMidiInputMonitor,
                       true, 11, "MIDIIN_DATA", "", &id)))
    return r;
  SetUiIndex(kUiMIDIIN_DATA, id);
  TextLayer(id, "", DefaultTextSize, 2, 2, 77 * u, 0);
  return 0;
}

}  // namespace Tarvelo
