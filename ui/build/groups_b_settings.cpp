// The video and audio settings windows. Each hangs under its tab in the system
// bar. Every selector row ends with a set and a reset button that find their
// selector by their own id (set - 1, reset - 2), so the three are made in that
// order; the window-size and buffer rows reach their selectors through UiIndex.
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>

#include "app/fixed_tables.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "audio/audio.h"
#include "basics/console.h"
#include "basics/messages.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace {

using QUARLE_BASICS::LangText;

// Shortest decimal text of at most `digits` significant digits: no trailing
// zeros, no decimal point for whole numbers.
std::string DecimalText(double v, int digits) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*g", digits, v);
  return buf;
}

int32_t DriverIndex() {
  const int32_t d = QUARLE_BASICS::DisplayDriverIndex;
  return d <= 2 ? d : 0;
}

// The window's absolute position under its tab (the root's origin otherwise).
void UnderTab(int32_t tab, int32_t& x, int32_t& y) {
  x = 0;
  y = 0;
  if (const ControlRecord* c = tab > 0 ? Ctl(tab) : nullptr) {
    x = c->X;
    y = c->Y + c->H;
  }
}

// A selector with its caption between the two arrows.
int32_t Selector(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
                 EventCallbackFn event, const char* name, const std::string& tooltip,
                 int32_t item, const std::string& caption, int32_t textSize, int32_t* id) {
  const int32_t r =
      MakeControl(ctx, parent, x, y, w, h, event, Cb.DrawSelector, true, 31, name, tooltip, id);
  if (r) return r;
  SetSelected(*id, item);
  MarkSelector(*id);
  TextLayer(*id, caption, textSize, 2, 2, w - 2 * B() - 2 * IconSizePx(), 0);
  return 0;
}

// The green set button and the red reset button right after a selector.
int32_t SetAndReset(BuildContext& ctx, int32_t parent, int32_t y, int32_t h,
                    EventCallbackFn onSet, const char* setName, EventCallbackFn onReset,
                    const char* resetName) {
  const int32_t u = U();
  int32_t id = 0, r = 0;
  if ((r = MakeControl(ctx, parent, 100 * u, y, 9 * u, h, onSet, Cb.DrawButton, true, 11, setName,
                       Caption(291), &id)))
    return r;
  GlyphLayer(id, 'o', -1, 0xFF00FF00);
  if ((r = MakeControl(ctx, parent, 109 * u, y, 9 * u, h, onReset, Cb.DrawButton, true, 11,
                       resetName, Caption(292), &id)))
    return r;
  GlyphLayer(id, 'c', -1, 0xFFFF0000);
  return 0;
}

// An on/off switch: glyph layer 0 shows off, layer 1 on.
int32_t Switch(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, const char* name,
               const std::string& tooltip, int64_t tag, int64_t setting, int32_t* id) {
  const int32_t u = U();
  const int32_t r = MakeControl(ctx, parent, x, y, 8 * u, 8 * u, Cb.OnToggleSwitch,
                                Cb.DrawToggleSwitch, true, 11, name, tooltip, id);
  if (r) return r;
  SetTag(*id, tag);
  SetSelected(*id, setting != 0 ? 1 : 0);
  GlyphLayer(*id, 'x', IconSizePx() + 3 * TextStep);
  GlyphLayer(*id, 'X', IconSizePx() + 3 * TextStep);
  return 0;
}

int32_t Label(BuildContext& ctx, int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
              int32_t mask, const char* name, const std::string& tooltip,
              const std::string& text, int32_t size, int32_t align, int32_t* id) {
  const int32_t r =
      MakeControl(ctx, parent, x, y, w, h, nullptr, Cb.DrawLabel, true, mask, name, tooltip, id);
  if (r) return r;
  TextLayer(*id, text, size, align, 2, 0, 0);
  return 0;
}

}  // namespace

std::string DriverCaption(uint32_t message, int32_t option) {
  const bool known = option >= 0 && option < static_cast<int32_t>(std::size(DisplayDriverNames));
  const std::string name = known ? DisplayDriverNames[option] : "";
  return LangText(message, "Driver") + ": " + std::to_string(option + 1) + ") " + name;
}

std::string VideoInfoLine() {
  return std::string(DisplayDriverNames[DriverIndex()]) + ", " + std::to_string(WindowWidth) +
         " x " + std::to_string(WindowHeight) + " @ 32-bit";
}

std::string ZoomCaption(float zoom) {
  return Caption(296) + ": " + DecimalText(static_cast<double>(zoom), 7) + "x";
}

std::string StreamFormatLine() {
  return "32-bit Stereo @ " + DecimalText(static_cast<double>(ConfiguredStreamRate) / 1000.0, 16) +
         " kHz";
}

std::string DeviceCaption(int32_t item, const std::string& name) {
  return std::to_string(item + 1) + ") " + name;
}

int32_t BuildVideoSettings(BuildContext& ctx) {
  const int32_t u = U(), g = TextStep, d = DefaultTextSize;
  int32_t id = 0, r = 0;

  int32_t wx = 0, wy = 0;
  UnderTab(VideoTabId, wx, wy);
  int32_t win = 0;
  if ((r = MakeControl(ctx, ctx.root, wx, wy, 126 * u, 76 * u, nullptr, Cb.DrawPanel, false, 1,
                       "VS_WIN", Caption(298), &win)))
    return r;
  SetColour(win, 0xFF141419);
  SetWindowSlot(kWinVS, win);

  if ((r = Label(ctx, win, 2 * u, 3 * u, 122 * u, 7 * u, 11, "VS_LABEL", Caption(298),
                 Caption(298), Nearby(1.33 * d), 2, &id)))
    return r;

  int32_t grp = 0;
  if ((r = MakeControl(ctx, win, 3 * u, 13 * u, 120 * u, 60 * u, nullptr, Cb.DrawGroupFrame, true,
                       0, "VS_G", "", &grp)))
    return r;
  SetNoHit(grp);

  if ((r = Label(ctx, grp, 2 * u, u, 116 * u, 5 * u, 0, "VS_INFO", Caption(286), VideoInfoLine(),
                 d, 2, &id)))
    return r;
  SetUiIndex(kUiVS_INFO, id);

  const int32_t driver = DriverIndex();
  if ((r = Selector(ctx, grp, 2 * u, 8 * u, 97 * u, 7 * u, Cb.OnVideoDriverSelect, "VS_DRIVER",
                    LangText(436, "Driver"), driver, DriverCaption(436, driver), d + g, &id)))
    return r;
  if ((r = SetAndReset(ctx, grp, 8 * u, 7 * u, Cb.OnVideoDriverSet, "VS_DRIVER_SET",
                       Cb.OnVideoDriverReset, "VS_DRIVER_RESET")))
    return r;

  // The size in use; the window's own size when no listed mode is chosen.
  const int32_t mode = QUARLE_VISUALS::ScreenModeIndex;
  double modeW = WindowWidth, modeH = WindowHeight;
  if (mode >= 0 && mode < QUARLE_VISUALS::ScreenModeCount) {
    modeW = QUARLE_VISUALS::ScreenModes[mode][0];
    modeH = QUARLE_VISUALS::ScreenModes[mode][1];
  }
  if ((r = MakeControl(ctx, grp, 2 * u, 16 * u, 77 * u, 7 * u, Cb.OnResolutionSelect,
                       Cb.DrawSelector, true, 31, "VS_RESOLUTION", Caption(297), &id)))
    return r;
  SetUiIndex(kUiVS_RESOLUTION, id);
  SetSelected(id, mode);
  MarkSelector(id);
  TextLayer(id, Caption(297) + ": " + DecimalText(modeW, 9) + " x " + DecimalText(modeH, 9), d + g,
            2, 2, 77 * u - 2 * B() - 2 * IconSizePx(), 0);
  SetUiIndex(kUiVS_RESOLUTION2, id);

  const int32_t monitors = static_cast<int32_t>(MonitorsSpanned < 1 ? 1 : MonitorsSpanned);
  if ((r = Selector(ctx, grp, 79 * u, 16 * u, 20 * u, 7 * u, Cb.OnMonitorSelect, "VS_NBMON",
                    LangText(437, "Number of monitors"), monitors - 1,
                    "x" + std::to_string(monitors), d + g, &id)))
    return r;
  SetUiIndex(kUiVS_NBMON, id);
  if ((r = SetAndReset(ctx, grp, 16 * u, 7 * u, Cb.OnResolutionSet, "VS_RES_SET",
                       Cb.OnResolutionReset, "VS_RES_RESET")))
    return r;

  const float zoom = Settings.Zoom;
  if ((r = Selector(ctx, grp, 2 * u, 24 * u, 97 * u, 7 * u, Cb.OnZoomSelect, "VS_ZOOM",
                    Caption(296), static_cast<int32_t>(std::nearbyintf(5.0f * (zoom - BaseZoom))),
                    ZoomCaption(zoom), d + g, &id)))
    return r;
  if ((r = SetAndReset(ctx, grp, 24 * u, 7 * u, Cb.OnZoomSet, "VS_ZSET", Cb.OnZoomReset,
                       "VS_ZRESET")))
    return r;
  SetUiIndex(kUiVS_ZRESET, ctx.last);

  if ((r = Switch(ctx, grp, 2 * u, 33 * u, "VS_FCT0",
                  LangText(438, "Toggle CPU-Saving ON/OFF (Throttles input loop = less responsive)"),
                  0, Settings.CpuSaving, &id)))
    return r;
  if ((r = Label(ctx, grp, 11 * u, 33 * u, 107 * u, 8 * u, 0, "VS_FCT1", "",
                 LangText(439, "CPU-Saving (less responsive)"), d + g, 1, &id)))
    return r;
  if ((r = Switch(ctx, grp, 2 * u, 41 * u, "VS_SHADER0",
                  LangText(440, "Toggle graphic shader ON/OFF (Adds a gradient over graphic controls)"),
                  1, Settings.UseShader.Load(), &id)))
    return r;
  if ((r = Label(ctx, grp, 11 * u, 41 * u, 107 * u, 8 * u, 0, "VS_SHADER1", "",
                 LangText(441, "Shader"), d + g, 1, &id)))
    return r;

  const std::string language = LangText(442, "Language");
  if ((r = MakeControl(ctx, grp, 2 * u, 50 * u, 25 * u, 7 * u, nullptr, Cb.DrawLabel, true, 11,
                       "VS_LNLBL", language, &id)))
    return r;
  TextLayer(id, language + ":", d, 1, 2, 25 * u, 0);
  const int32_t lang = Settings.Language >= 0 && Settings.Language < 4 ? Settings.Language : 0;
  if ((r = Selector(ctx, grp, 27 * u, 50 * u, 72 * u, 7 * u, Cb.OnLanguageSelect, "VS_LNS",
                    language, lang, LanguageNames[lang], d, &id)))
    return r;
  return SetAndReset(ctx, grp, 50 * u, 7 * u, Cb.OnLanguageSet, "VS_LNSET", Cb.OnLanguageReset,
                     "VS_LNRES");
}

int32_t BuildAudioSettings(BuildContext& ctx) {
  const int32_t u = U(), g = TextStep, d = DefaultTextSize;
  int32_t id = 0, r = 0;

  int32_t wx = 0, wy = 0;
  UnderTab(AudioTabId, wx, wy);
  int32_t win = 0;
  if ((r = MakeControl(ctx, ctx.root, wx, wy, 126 * u, 84 * u, nullptr, Cb.DrawPanel, false, 1,
                       "W_AUDIO_SETTINGS", Caption(300), &win)))
    return r;
  SetColour(win, 0xFF141419);
  SetWindowSlot(kWinAUDIO, win);

  if ((r = Label(ctx, win, 2 * u, 3 * u, 122 * u, 7 * u, 11, "AS_LABEL", Caption(300),
                 Caption(300), Nearby(1.33 * d), 2, &id)))
    return r;
  int32_t grp = 0;
  if ((r = MakeControl(ctx, win, 3 * u, 13 * u, 120 * u, 68 * u, nullptr, Cb.DrawGroupFrame, true,
                       0, "AS_G", "", &grp)))
    return r;
  SetNoHit(grp);

  // A selection outside the list (or no list yet) shows the "[No Device]" entry.
  auto device = [](const QUARLE_BASICS::DynZString* list, int32_t count, int32_t selected,
                   int32_t& item) {
    const int32_t n = count < 1 ? 1 : (count > QUARLE_AUDIO::kDeviceListSize
                                           ? QUARLE_AUDIO::kDeviceListSize
                                           : count);
    item = selected >= 0 && selected < n ? selected : 0;
    return DeviceCaption(item, QUARLE_BASICS::DynZStringGet(list[item]));
  };

  // Output block.
  if ((r = Label(ctx, grp, 2 * u, u, 116 * u, 5 * u, 0, "AS_OUTTIT", "", LangText(443, "OUTPUT"),
                 d, 2, &id)))
    return r;
  if ((r = Label(ctx, grp, 2 * u, 7 * u, 116 * u, 5 * u, 0, "AS_INFO", Caption(286),
                 StreamFormatLine(), d, 2, &id)))
    return r;
  SetUiIndex(kUiAS_INFO, id);
  int32_t item = 0;
  std::string caption = device(QUARLE_AUDIO::PlaybackDeviceList, QUARLE_AUDIO::PlaybackDeviceCount,
                               QUARLE_AUDIO::PlaybackSelected, item);
  if ((r = Selector(ctx, grp, 2 * u, 14 * u, 97 * u, 7 * u, Cb.OnOutputDeviceSelect, "AS_DRIVER",
                    LangText(444, "Output device"), item, caption, d, &id)))
    return r;
  if ((r = SetAndReset(ctx, grp, 14 * u, 7 * u, Cb.OnOutputDeviceSet, "AS_SET",
                       Cb.OnOutputDeviceReset, "AS_RESET")))
    return r;

  // The settings reader keeps the length within 1..32 ms.
  const int32_t buffer = static_cast<int32_t>(Settings.OutputBufferLength) - 1;
  if ((r = Selector(ctx, grp, 2 * u, 22 * u, 97 * u, 7 * u, Cb.OnPlaybackBufferSelect, "AS_OBS",
                    LangText(445, "Audio playback buffer length (ms)"), buffer,
                    QUARLE_BASICS::InsertArg(LangText(446, "Playback buffer: {$}ms"),
                                             std::to_string(buffer + 1)),
                    d + g, &id)))
    return r;
  SetUiIndex(kUiAS_OBS, id);
  if ((r = SetAndReset(ctx, grp, 22 * u, 7 * u, Cb.OnPlaybackBufferSet, "AS_BSSET",
                       Cb.OnPlaybackBufferReset, "AS_BSRES")))
    return r;

  // Input block.
  if ((r = Label(ctx, grp, 2 * u, 30 * u, 116 * u, 5 * u, 0, "AS_OUTTIT", "",
                 LangText(447, "INPUT"), d, 2, &id)))
    return r;
  if ((r = Label(ctx, grp, 2 * u, 36 * u, 116 * u, 5 * u, 0, "AS_IINFO", Caption(286),
                 StreamFormatLine(), d, 2, &id)))
    return r;
  SetUiIndex(kUiAS_IINFO, id);
  caption = device(QUARLE_AUDIO::CaptureDeviceList, QUARLE_AUDIO::CaptureDeviceCount,
                   QUARLE_AUDIO::CaptureSelected, item);
  if ((r = Selector(ctx, grp, 2 * u, 42 * u, 97 * u, 7 * u, Cb.OnInputDeviceSelect, "AS_IDRV",
                    LangText(448, "Input device"), item, caption, d, &id)))
    return r;
  if ((r = SetAndReset(ctx, grp, 42 * u, 7 * u, Cb.OnInputDeviceSet, "AS_ISET",
                       Cb.OnInputDeviceReset, "AS_IRES")))
    return r;

  // Switches; "use default device" only means something with auto-connect on.
  const int64_t disabled = Settings.AutoConnect != 0 ? 0 : -1;
  if ((r = Switch(ctx, grp, 2 * u, 51 * u, "AS_AC0",
                  LangText(449, "Toggle Auto-connect ON/OFF (at startup if none selected & on "
                                "disconnection)"),
                  2, Settings.AutoConnect, &id)))
    return r;
  if ((r = Label(ctx, grp, 11 * u, 51 * u, 107 * u, 8 * u, 0, "AS_AC1", "",
                 LangText(450, "Auto-connect"), d + g, 1, &id)))
    return r;
  if ((r = Switch(ctx, grp, 2 * u, 59 * u, "AS_UD0",
                  LangText(451, "Toggle the use default device ON/OFF (on auto-connect)"), 3,
                  Settings.UseDefaultDevice, &id)))
    return r;
  SetUiIndex(kUiAS_UD0, id);
  SetDisabledWord(id, disabled);
  if ((r = MakeControl(ctx, grp, 11 * u, 59 * u, 107 * u, 8 * u, nullptr, Cb.DrawLabel, true, 0,
                       "AS_UD1", "", &id)))
    return r;
  SetDisabledWord(id, disabled);
  TextLayer(id, LangText(452, "Use default device"), d + g, 1, 2, 0, 0);
  return 0;
}

}  // namespace Tarvelo
