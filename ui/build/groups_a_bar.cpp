// The root window, the system bar and the dialog box that shares the bar.
#include <charconv>
#include <unistd.h>

#include "app/fixed_tables.h"
#include "app/state/settings.h"
#include "basics/messages.h"
#include "basics/ratio.h"
#include "basics/timetext.h"
#include "engine/globals.h"
#include "engine/units.h"
#include "app/documents/synth_file.h"
#include "ui/build/frame.h"
#include "visuals/event_loop.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace {

using QUARLE_BASICS::LangText;

// The meters' start captions: the gain in dB rounded to 2 decimals, written as
// the shortest decimal that reads back as the same single.
std::string GainText(float linear) {
  int32_t sign = 0;
  const float db = QUARLE_BASICS::RoundToDigits(UnitLinearToDb(linear, 0.0f, 0.0f, &sign), 2);
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, db);
  return std::string(buf, res.ptr) + "dB";
}

// Free physical memory: a start text only, the read-out's draw replaces it.
uint64_t FreeMemoryBytes() {
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long size = sysconf(_SC_PAGESIZE);
  if (pages < 0 || size < 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

std::string TitleText() {
  return std::string(ProductName) + " " + BuildBits + " v" + ProductVersion;
}

}  // namespace

int32_t BuildRootAndSystemBar(BuildContext& ctx) {
  const int32_t u = U();
  const int32_t ts = DefaultTextSize;
  int32_t id = 0;
  int32_t r = MakeControl(ctx, 0, 0, 0, WindowWidth, WindowHeight, Cb.OnSysbarTick, nullptr,
                          true, 0, "TARVELO", "", &id);
  if (r) return r;
  ctx.root = id;
  SetColour(id, 0xFF000000);

  const double monitors = MonitorsSpanned < 1 ? 1.0 : static_cast<double>(MonitorsSpanned);
  r = MakeControl(ctx, ctx.root, 0, 0, Nearby(WindowWidth / monitors), 9 * u, nullptr, nullptr,
                  true, 31, "SYSBAR", "", &id);
  if (r) return r;
  ctx.sysbar = id;
  SetColour(id, 0xFF1E1E25);
  SetWindowSlot(kWinSYSBAR, id);
  const int32_t bar = ctx.sysbar;

  r = MakeControl(ctx, bar, u, u, 9 * u, 7 * u, Cb.OnQuit, Cb.DrawButton, true, 11, "Quit",
                  LangText(302, "Quit program - always asks for confirmation") + " [CTRL-X]", &id);
  if (r) return r;
  GlyphLayer(id, 'c');
  SetShortcut(kKeyCtrlX, id);
  // The window manager's close asks and saves exactly as this button does.
  QUARLE_VISUALS::CloseRequestTarget = id;

  r = MakeControl(ctx, bar, 10 * u, u, 9 * u, 7 * u, Cb.OnMinimizeWindow, Cb.DrawButton, true,
                  11, "WINMIN", LangText(303, "Minimize window") + "[Alt-M]", &id);
  if (r) return r;
  GlyphLayer(id, '|');
  SetShortcut(kKeyAltM, id);

  r = MakeControl(ctx, bar, 19 * u, u, 9 * u, 7 * u, Cb.OnMoveWindow, Cb.DrawButton, true, 31,
                  "Move",
                  LangText(304, "Move window - Click to move to the next monitor or reset position."),
                  &id);
  if (r) return r;
  GlyphLayer(id, ',', IconSizePx() - TextStep);

  r = MakeControl(ctx, bar, 28 * u, u, 9 * u, 7 * u, Cb.OnWindowTab, Cb.DrawTab, true, 11,
                  "VSTAB", Caption(298), &id);
  if (r) return r;
  GlyphLayer(id, 's');
  SetTag(id, 3);
  VideoTabId = id;

  r = MakeControl(ctx, bar, 37 * u, u, 9 * u, 7 * u, Cb.OnWindowTab, Cb.DrawTab, true, 11,
                  "SPLASH", Caption(299), &id);
  if (r) return r;
  GlyphLayer(id, '?');
  SetTag(id, 1);
  SetOn(id, -1);
  AboutTabId = id;

  r = MakeControl(ctx, bar, 50 * u, u, 23 * u, 7 * u, nullptr, Cb.DrawMemoryReadout, true, 1,
                  "FRE", LangText(305, "Available memory"), &id);
  if (r) return r;
  TextLayer(id, QUARLE_BASICS::ByteSizeText(FreeMemoryBytes()), ts, 2, 1);
  SetUiIndex(kUiFRE, id);

  // one thread: value
  struct Readout {
    const char* id;
    const char* letter;
    int32_t x;
    DrawCallbackFn draw;
    uint32_t msg;
    const char* tip;
    int32_t tag;
  };
  const Readout readouts[4] = {
      {"WLOAD", "W", 73, Cb.DrawWorkloadReadout, 306, "Audio workload", 0},
      {"ALOAD", "A", 79, Cb.DrawAudioLoopReadout, 307, "Audio loop speed", 0},
      {"VLOAD", "V", 85, Cb.DrawVideoRateReadout, 308, "Video framerate", 1},
      {"CLOAD", "C", 91, Cb.DrawControlLoopReadout, 309, "Control interface loop speed", 2},
  };
  for (const Readout& ro : readouts) {
    r = MakeControl(ctx, bar, ro.x * u, u, 6 * u, 7 * u, nullptr, ro.draw, true, 1, ro.id,
                    LangText(ro.msg, ro.tip), &id);
    if (r) return r;
    // The coverage as alpha: the read-outs lay the letter over their colour by
    // its alpha, through which a mode-1 glyph (alpha 0) would not show.
    TextLayer(id, ro.letter, ts - TextStep, 2, 2);
    SetTag(id, ro.tag);
    if (ro.msg == 306) SetUiIndex(kUiWLOAD, id);
  }

  r = MakeControl(ctx, bar, 101 * u, u, 24 * u, 7 * u, Cb.OnAudioInputMeter, Cb.DrawInputMeter,
                  true, 17, "MicM", LangText(310, "Audio input: peaks and power level"), &id);
  if (r) return r;
  SetColour(id, 0xFF32323C);
  TextLayer(id, GainText(InputGain), ts, 2);
  SetUiIndex(kUiMicM, id);

  r = MakeControl(ctx, bar, 125 * u, u, 9 * u, 7 * u, Cb.OnAudioInputPower,
                  Cb.DrawInputPowerSwitch, true, 11, "MicMP",
                  LangText(311, "Audio input power switch"), &id);
  if (r) return r;
  GlyphLayer(id, '1');
  SetColour(id, 0xFF32323C);
  SetOn(id, CaptureActive.load());
  SetUiIndex(kUiMicMP, id);

  r = MakeControl(ctx, bar, 135 * u, u, 24 * u, 7 * u, Cb.OnAudioOutputMeter,
                  Cb.DrawOutputMeter, true, 17, "PlayM",
                  LangText(312, "Audio output: stereo peaks and power levels"), &id);
  if (r) return r;
  TextLayer(id, GainText(OutputLevel), ts, 2);
  SetUiIndex(kUiPlayM, id);

  r = MakeControl(ctx, bar, 159 * u, u, 9 * u, 7 * u, Cb.OnAudioOutputPower,
                  Cb.DrawOutputPowerSwitch, true, 11, "PlayMP",
                  LangText(313, "Audio output power switch"), &id);
  if (r) return r;
  GlyphLayer(id, '1');
  SetColour(id, 0xFF32323C);
  SetOn(id, PlaybackActive.load());
  SetUiIndex(kUiPlayMP, id);

  r = MakeControl(ctx, bar, 168 * u, u, 9 * u, 7 * u, Cb.OnRecordOutput, Cb.DrawButton, true,
                  11, "Rec",
                  LangText(314, "Record audio output on disk as a 16-bit 48kHz WAV file"), &id);
  if (r) return r;
  GlyphLayer(id, '4', -1, 0xFFC80000);
  SetColour(id, 0xFF32323C);
  SetUiIndex(kUiRec, id);

  r = MakeControl(ctx, bar, 177 * u, u, 9 * u, 7 * u, Cb.OnWindowTab, Cb.DrawTab, true, 11,
                  "ASTAB", Caption(300), &id);
  if (r) return r;
  GlyphLayer(id, 's');
  SetTag(id, 4);
  AudioTabId = id;

  // The title twice: a blue copy one pixel left and down under a dark one.
  const std::string title = TitleText();
  const int32_t titleSize = Nearby(1.2 * ts);
  r = MakeControl(ctx, bar, 186 * u - 1, u + 1, 45 * u, 7 * u, nullptr, Cb.DrawLabel, true, 11,
                  "SYSTITLE", title, &id);
  if (r) return r;
  SetTextColour(id, 0xFF175DB0);
  TextLayer(id, title, titleSize, 2);
  r = MakeControl(ctx, bar, 186 * u, u, 45 * u, 7 * u, nullptr, Cb.DrawLabel, true, 11,
                  "SYSTITLE2", title, &id);
  if (r) return r;
  SetTextColour(id, 0xFF0A2A4D);
  TextLayer(id, title, titleSize, 2);

  const int32_t guideW = MonitorUnits * u - 232 * u;
  const std::string guide = LangText(
      315, "Live guide - hover your mouse over any control to display their function.");
  r = MakeControl(ctx, bar, 231 * u, u, guideW, 7 * u, nullptr, Cb.DrawLiveGuide, true, 1,
                  "CTRL_INFO", guide, &id);
  if (r) return r;
  TextLayer(id, guide, ts, 1);
  SetUiIndex(kUiCTRL_INFO, id);

  r = MakeControl(ctx, bar, 231 * u, u, guideW, 7 * u, nullptr, Cb.DrawMessageBox, false, 11,
                  "MB", "", &id);
  if (r) return r;
  TextLayer(id, "", ts, 2);
  SetUiIndex(kUiMB, id);
  return 0;
}

int32_t BuildDialogBox(BuildContext& ctx) {
  const int32_t u = U();
  const int32_t ts = DefaultTextSize;
  int32_t db = 0, id = 0;
  int32_t r = MakeControl(ctx, ctx.sysbar, 231 * u, u, MonitorUnits * u - 232 * u, 7 * u, nullptr,
                          nullptr, false, 11, "DB", "", &db);
  if (r) return r;
  SetNoHit(db);
  SetUiIndex(kUiDB, db);

  r = MakeControl(ctx, db, 0, 0, MonitorUnits * u - 252 * u, 7 * u, nullptr, Cb.DrawDialogText,
                  true, 1, "DB_TEXT", "", &id);
  if (r) return r;
  TextLayer(id, "  ", ts, 1);
  const ControlRecord* text = Ctl(id);
  // The edit line takes the right half of the text's span; the buttons follow
  // the doubled half, not the span.
  const int32_t wE = Nearby((text ? text->W : 0) / 2.0);

  int32_t edit = 0;
  r = MakeControl(ctx, db, wE, 0, wE, 7 * u, Cb.OnDialogEdit, Cb.DrawDialogEdit, true, 287,
                  "DB_EDIT", "", &edit);
  if (r) return r;
  if (ControlRecord* c = Ctl(edit)) EditWord(c) = -1;
  if (QUARLE_VISUALS::DialogEditIndex) *QUARLE_VISUALS::DialogEditIndex = edit;
  TextLayer(edit, "  ", ts, 1);

  r = MakeControl(ctx, db, 2 * wE + u, 0, 9 * u, 7 * u, Cb.OnDialogOk, Cb.DrawButton, true, 11,
                  "DB_OK", Caption(289) + " [Enter]", &id);
  if (r) return r;
  GlyphLayer(id, 'o', -1, 0xFF00FF00);
  StartDisabled(id);
  if (ControlRecord* c = Ctl(edit)) c->Text.EditWords[0] = static_cast<uint32_t>(id);
  SetShortcut(kKeyEnter, id);

  r = MakeControl(ctx, db, 2 * wE + 11 * u, 0, 9 * u, 7 * u, Cb.OnDialogCancel, Cb.DrawButton,
                  true, 11, "DB_X", Caption(290) + " [Esc]", &id);
  if (r) return r;
  GlyphLayer(id, 'c', -1, 0xFFFF0000);
  StartDisabled(id);
  if (ControlRecord* c = Ctl(edit)) c->Text.EditWords[1] = static_cast<uint32_t>(id);
  SetShortcut(kKeyEsc, id);
  return 0;
}

}  // namespace Tarvelo
