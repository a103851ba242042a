#include "ui/views/settings_windows.h"

#include "ui/panels/panel_common.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/fixed_tables.h"
#include "app/startup.h"
#include "app/state/settings.h"
#include "audio/audio.h"
#include "basics/console.h"
#include "basics/dynzstring.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "engine/params.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "visuals/control_table.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::CommandMessage;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::LangText;

namespace {

constexpr int32_t kDriverOptions = 3;
constexpr int32_t kLanguageOptions = 4;
constexpr int32_t kBufferOptions = 32;   // 1 to 32 ms
constexpr int32_t kMonitorOptionsMax = 3;

// One drag accumulator per selector, kept for the program's lifetime.
// one thread: interface
struct Accumulators {
  int32_t driver = 0, resolution = 0, monitors = 0, zoom = 0, language = 0;
  int32_t output = 0, buffer = 0, input = 0;
};
Accumulators Acc;

int32_t Near(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<int32_t>(std::nearbyint(v));
}

V::ControlRecord* Live(int32_t id) { return id > 0 ? V::ControlAt(id) : nullptr; }
int32_t Slot(int32_t slot) { return V::UiIndex ? V::UiIndex[slot] : 0; }

// Every control here looks pressed during a press, drag or drag-over.
V::ControlRecord* Pressed(int32_t id, uint32_t bits) {
  V::ControlRecord* c = Live(id);
  if (c) c->State.Pressed = (bits == 2 || bits == 16 || bits == 32) ? -1 : 0;
  return c;
}

bool Clicked(uint32_t bits) { return (bits & V::kEventClick) != 0; }

void SetCaption(V::ControlRecord* c, const std::string& text) {
  if (c) V::TextFieldSetText(&c->Text, text.c_str());
}

void Publish(V::ControlRecord* c, int32_t option, const std::string& caption) {
  if (!c) return;
  c->Text.Selected = option;
  SetCaption(c, caption);
  V::ControlPublishText(c, 0);
}

int32_t Option(int32_t id) {
  const V::ControlRecord* c = Live(id);
  return c ? c->Text.Selected : -1;
}

void Post(uint32_t type, float single1, float single3, int32_t queue) {
  CommandMessage m{};
  m.type = type;
  m.single1 = single1;
  m.single3 = single3;
  m.timeStamp = platform::HighResClock();
  QUARLE_BASICS::PostCommand(m, queue, -1);
}

std::string DriverName(int32_t i) {
  return i >= 0 && i < kDriverOptions ? DisplayDriverNames[i] : "";
}

bool ModeValid(int32_t m) { return m >= 0 && m < V::ScreenModeCount && m < V::kMaxScreenModes; }

std::string ResolutionCaption(int32_t message, int32_t mode) {
  if (!ModeValid(mode)) return LangText(message, "Resolution") + ": ";
  return LangText(message, "Resolution") + ": " + std::to_string(Near(V::ScreenModes[mode][0])) +
         " x " + std::to_string(Near(V::ScreenModes[mode][1]));
}

float ZoomMin() { return BaseZoom; }
float ZoomMax() { return ZoomLimit; }
float ZoomOptions() { return (ZoomMax() - ZoomMin()) * 5.0f + 1.0f; }
float ZoomOf(int32_t option) {
  return ZoomMin() + static_cast<float>(option) / 5.0f;
}

std::string ZoomCaptionOf(int32_t message, float zoom) {
  return LangText(message, "Zoom") + ": " + ZoomText(zoom) + "x";
}

std::string LanguageName(int32_t i) {
  return i >= 0 && i < kLanguageOptions ? LanguageNames[i] : "";
}

// Both files the language-pack loader reads lie beside the program.
bool LanguageAvailable(int32_t i) {
  if (i <= 0) return true;
  if (i >= kLanguageOptions) return false;
  const std::string code(QUARLE_BASICS::LanguageCodes[i], strnlen(QUARLE_BASICS::LanguageCodes[i], 3));
  const std::string base = platform::ProgramFolder() + "\\" + code;
  return platform::FileExists(base + "_LANGPACK.txt") &&
         platform::FileExists(base + "_LANGPACK_EXT.txt");
}

std::string BufferCaption(int32_t message, int64_t ms) {
  return QUARLE_BASICS::InsertArg(LangText(message, "Playback buffer: {$}ms"), std::to_string(ms));
}

// A device list of the audio library, read under its lock.
// one thread: value
struct DeviceList {
  QUARLE_BASICS::DynZString* names;
  int32_t* count;
  int32_t* selected;
  QUARLE_BASICS::DynZString* selectedName;
};
DeviceList Playback() {
  return {QUARLE_AUDIO::PlaybackDeviceList, &QUARLE_AUDIO::PlaybackDeviceCount,
          &QUARLE_AUDIO::PlaybackSelected, &QUARLE_AUDIO::PlaybackSelectedName};
}
DeviceList Capture() {
  return {QUARLE_AUDIO::CaptureDeviceList, &QUARLE_AUDIO::CaptureDeviceCount,
          &QUARLE_AUDIO::CaptureSelected, &QUARLE_AUDIO::CaptureSelectedName};
}
int32_t ListCount(const DeviceList& l) {
  const int32_t n = *l.count;
  return n < 0 ? 0 : (n > QUARLE_AUDIO::kDeviceListSize ? QUARLE_AUDIO::kDeviceListSize : n);
}
std::string NameAt(const DeviceList& l, int32_t i) {
  return i >= 0 && i < ListCount(l) ? DynZStringGet(l.names[i]) : "";
}

std::string DeviceCaptionOf(int32_t option, const std::string& name) {
  return std::to_string(option + 1) + ") " + name;
}

int32_t DeviceCount(const DeviceList& l) {
  platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
  return ListCount(l);
}

int32_t DeviceSelect(uint32_t bits, int32_t x, int32_t id, const DeviceList& l, int32_t& acc) {
  V::ControlRecord* c = Pressed(id, bits);
  if (!c) return 0;
  if (SelectorScheme(bits, x, id, static_cast<float>(DeviceCount(l)), acc)) {
    std::string name;
    {
      platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
      name = NameAt(l, c->Text.Selected);
    }
    SetCaption(c, DeviceCaptionOf(c->Text.Selected, name));
  }
  return 0;
}

int32_t DeviceSet(uint32_t bits, int32_t id, const DeviceList& l, std::string& setting,
                  uint32_t command) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  V::ControlRecord* selector = Live(id - 1);
  if (!selector) return 0;
  const int32_t i = selector->Text.Selected;
  bool inRange = false, changed = false;
  std::string name;
  {
    platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
    if (i >= 0 && i < ListCount(l)) {
      inRange = true;
      name = NameAt(l, i);
      changed = name != DynZStringGet(*l.selectedName);
    }
  }
  if (changed) {
    setting = name;
    SaveSettings();
    Post(command, static_cast<float>(i), 0.0f, QUARLE_BASICS::AudioCommandQueue);
  } else if (!inRange) {
    // The list shrank since the selector was stepped: show the device in use.
    int32_t current = 0;
    std::string currentName;
    {
      platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
      current = *l.selected;
      currentName = DynZStringGet(*l.selectedName);
    }
    Publish(selector, current, currentName);
  }
  return 0;
}

int32_t DeviceReset(uint32_t bits, int32_t id, const DeviceList& l) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  int32_t i = 0;
  std::string name;
  {
    platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
    i = *l.selected;
    name = NameAt(l, i);
  }
  Publish(Live(id - 2), i, DeviceCaptionOf(i, name));
  return 0;
}

}  // namespace

std::string ZoomText(float zoom) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(zoom));
  return buf;
}

void ResetSelectorAccumulators() { Acc = Accumulators{}; }

bool SelectorScheme(uint32_t bits, int32_t x, int32_t id, float n, int32_t& accumulator,
                    int32_t* direction) {
  if (id <= 0) {
    if (direction) *direction = 1;
    return false;
  }
  return SelectorEvent(bits, x, 0, id, n, accumulator, false, direction);
}

// --- Video driver ------------------------------------------------------------------

int32_t OnVideoDriverSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Pressed(id, bits);
  if (c && SelectorScheme(bits, x, id, kDriverOptions, Acc.driver))
    SetCaption(c, DriverCaption(252, c->Text.Selected));
  return 0;
}

int32_t OnVideoDriverSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int32_t i = Option(id - 1);
  if (i < 0 || i >= kDriverOptions || i == QUARLE_BASICS::DisplayDriverIndex) return 0;
  if (V::ControlRecord* info = Live(Slot(kUiVS_INFO))) {
    SetCaption(info, DriverName(i) + ", " + std::to_string(V::ScreenWidth) + " x " +
                         std::to_string(V::ScreenHeight) + " @ 32-bit");
    V::ControlPublishText(info, 0);
  }
  Post(103, static_cast<float>(i), 0.0f, QUARLE_BASICS::MainCommandQueue);
  return 0;
}

int32_t OnVideoDriverReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int32_t d = QUARLE_BASICS::DisplayDriverIndex;
  Publish(Live(id - 2), d, DriverCaption(253, d));
  return 0;
}

// --- Window size and monitors ----------------------------------------------------------

int32_t OnResolutionSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Pressed(id, bits);
  const int32_t n = V::ScreenModeCount;
  int32_t direction = 1;
  if (!c || !SelectorScheme(bits, x, id, static_cast<float>(n), Acc.resolution, &direction))
    return 0;
  int64_t dw = 0, dh = 0;
  if (n > 0 && platform::DesktopSize(dw, dh)) {
    // Skip the sizes the desktop cannot hold; after a whole round without one
    // that fits, the option the step reached stays.
    int32_t option = c->Text.Selected;
    const int32_t start = option;
    for (int32_t tries = 0; tries < n && ModeValid(option) &&
                            (V::ScreenModes[option][0] > static_cast<float>(dw) ||
                             V::ScreenModes[option][1] > static_cast<float>(dh));
         ++tries) {
      option += direction;
      if (option > n - 1) option = 0;
      if (option < 0) option = n - 1;
      if (option == start) break;
    }
    c->Text.Selected = option;
  }
  SetCaption(c, ResolutionCaption(254, c->Text.Selected));
  return 0;
}

int32_t OnMonitorSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Pressed(id, bits);
  const int32_t n = MonitorCount < kMonitorOptionsMax ? MonitorCount : kMonitorOptionsMax;
  if (!c || !SelectorScheme(bits, x, id, static_cast<float>(n), Acc.monitors)) return 0;
  MonitorCount = platform::MonitorCount();
  int32_t option = c->Text.Selected;
  if (option < 0) option = 0;
  if (option > MonitorCount - 1) option = MonitorCount - 1;
  if (option > kMonitorOptionsMax - 1) option = kMonitorOptionsMax - 1;
  c->Text.Selected = option;
  SetCaption(c, "x" + std::to_string(option + 1));
  return 0;
}

int32_t OnResolutionSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int32_t m = Option(Slot(kUiVS_RESOLUTION));
  const int32_t k = Option(Slot(kUiVS_NBMON));
  if (!ModeValid(m)) return 0;
  const float mw = V::ScreenModes[m][0], mh = V::ScreenModes[m][1];
  if (k == Settings.Monitors - 1 && mw == static_cast<float>(Settings.ScreenWidth) &&
      mh == static_cast<float>(Settings.ScreenHeight))
    return 0;
  int64_t dw = 0, dh = 0;
  if (platform::DesktopSize(dw, dh)) {
    DesktopWidth = dw;
    DesktopHeight = dh;
  }
  if (mw > static_cast<float>(DesktopWidth) || mh > static_cast<float>(DesktopHeight)) {
    QUARLE_BASICS::Report(LangText(255, "Invalid window size."), 1);
    return 0;
  }
  Post(102, static_cast<float>(m), static_cast<float>(k), QUARLE_BASICS::MainCommandQueue);
  return 0;
}

int32_t OnResolutionReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int64_t monitors = Settings.Monitors;
  Publish(Live(Slot(kUiVS_NBMON)), static_cast<int32_t>(monitors - 1), "x" + std::to_string(monitors));
  const int32_t mode = V::ScreenModeIndex;
  Publish(Live(Slot(kUiVS_RESOLUTION)), mode, ResolutionCaption(256, mode));
  return 0;
}

// --- Zoom ----------------------------------------------------------------------------------

int32_t OnZoomSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Pressed(id, bits);
  if (c && SelectorScheme(bits, x, id, ZoomOptions(), Acc.zoom))
    SetCaption(c, ZoomCaptionOf(257, ZoomOf(c->Text.Selected)));
  return 0;
}

int32_t OnZoomSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int32_t option = Option(id - 1);
  if (option < 0) return 0;
  float z = ZoomOf(option);
  z = std::floor(100.0f * z) / 100.0f;  // hundredths, in single precision
  if (z != Settings.Zoom) Post(101, z, 0.0f, QUARLE_BASICS::MainCommandQueue);
  return 0;
}

int32_t OnZoomReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const float zoom = Settings.Zoom;
  Publish(Live(id - 2), Near((zoom - ZoomMin()) * 5.0), ZoomCaptionOf(258, zoom));
  return 0;
}

// --- Language ----------------------------------------------------------------------------

int32_t OnLanguageSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Pressed(id, bits);
  int32_t d = 1;
  if (!c || !SelectorScheme(bits, x, id, kLanguageOptions, Acc.language, &d)) return 0;
  int32_t option = c->Text.Selected;
  // English needs no pack; the others are passed over until both files exist.
  for (int32_t tries = 0; tries < kLanguageOptions && option != 0 && !LanguageAvailable(option);
       ++tries) {
    option += d;
    if (option >= kLanguageOptions) option = 0;
    if (option < 0) option = kLanguageOptions - 1;
  }
  if (!LanguageAvailable(option)) option = 0;
  c->Text.Selected = option;
  SetCaption(c, LanguageName(option));
  return 0;
}

int32_t OnLanguageSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int32_t option = Option(id - 1);
  if (option < 0 || option >= kLanguageOptions || option == Settings.Language) return 0;
  Settings.Language = option;
  Post(3, 0.0f, 0.0f, QUARLE_BASICS::MainCommandQueue);
  return 0;
}

int32_t OnLanguageReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int32_t lang = Settings.Language;
  Publish(Live(id - 2), lang, LanguageName(lang));
  return 0;
}

// --- Audio devices and buffer ------------------------------------------------------------

int32_t OnOutputDeviceSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  return DeviceSelect(bits, x, id, Playback(), Acc.output);
}
int32_t OnOutputDeviceSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return DeviceSet(bits, id, Playback(), Settings.OutputDevice, QUARLE_AUDIO::kAudioPlaybackDevice);
}
int32_t OnOutputDeviceReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return DeviceReset(bits, id, Playback());
}
int32_t OnInputDeviceSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  return DeviceSelect(bits, x, id, Capture(), Acc.input);
}
int32_t OnInputDeviceSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return DeviceSet(bits, id, Capture(), Settings.InputDevice, QUARLE_AUDIO::kAudioCaptureDevice);
}
int32_t OnInputDeviceReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return DeviceReset(bits, id, Capture());
}

int32_t OnPlaybackBufferSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Pressed(id, bits);
  if (c && SelectorScheme(bits, x, id, kBufferOptions, Acc.buffer))
    SetCaption(c, BufferCaption(259, c->Text.Selected + 1));
  return 0;
}

int32_t OnPlaybackBufferSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int32_t option = Option(Slot(kUiAS_OBS));
  if (option < 0 || option >= kBufferOptions) return 0;
  const int64_t b = option + 1;
  if (Settings.OutputBufferLength == b) return 0;
  Settings.OutputBufferLength = b;
  SaveSettings();
  Post(QUARLE_AUDIO::kAudioBufferLength, static_cast<float>(b), 0.0f,
       QUARLE_BASICS::AudioCommandQueue);
  return 0;
}

int32_t OnPlaybackBufferReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  Pressed(id, bits);
  if (!Clicked(bits)) return 0;
  const int64_t ms = Settings.OutputBufferLength;
  Publish(Live(id - 2), static_cast<int32_t>(ms - 1), BufferCaption(260, ms));
  return 0;
}

// --- Switches -------------------------------------------------------------------------------

int32_t OnToggleSwitch(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Pressed(id, bits);
  if (!c || !Clicked(bits)) return 0;
  const bool on = c->Text.Selected == 0;
  c->Text.Selected = on ? 1 : 0;
  const int64_t value = on ? -1 : 0;
  switch (static_cast<int64_t>(c->Tag)) {
    case 0: Settings.CpuSaving = value; break;
    case 1:
      Settings.UseShader.Store(value);
      // Every control's look follows the shading: all of them are drawn anew.
      V::MarkAllControlsDirty();
      break;
    case 2: {
      Settings.AutoConnect = value;
      {
        platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
        QUARLE_AUDIO::AutoConnect = value;
      }
      // "Use default device" only means something with auto-connect on.
      const int32_t ud = Slot(kUiAS_UD0);
      for (int32_t k = 0; k < 2 && ud > 0; ++k)
        if (V::ControlRecord* s = Live(ud + k)) {
          V::SetDisabled(&s->State, on ? 0 : -1);
          V::ControlPublishState(s);
        }
      break;
    }
    case 3: {
      Settings.UseDefaultDevice = value;
      platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
      QUARLE_AUDIO::UseDefaultDevice = value;
      break;
    }
    case 4: Settings.AutoSave = value; break;
    case 5: Settings.DisplayMidiInput.Store(value); break;
    default: break;
  }
  SaveSettings();
  return 0;
}

}  // namespace Tarvelo
