#include "ui/views/sysbar_views.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/documents/synth_file.h"
#include "audio/audio.h"
#include "audio/meters.h"
#include "basics/messages.h"
#include "engine/globals.h"
#include "platform/threads.h"
#include "ui/views/control_drawing.h"
#include "visuals/control_table.h"
#include "visuals/dirty_region.h"
#include "visuals/event_loop.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using platform::Image;

int64_t FreeMemoryMB = 0;
float FreeMemoryValue = 0.0f;
double MemoryRefreshTime = 0.0, WorkloadRefreshTime = 0.0, AudioLoopRefreshTime = 0.0;
float WorkloadPercent = 0.0f;
int32_t AudioLoopValue = 0, VideoRateValue = 0;
uint32_t ControlLoopValue = 0;

namespace {

constexpr uint32_t kMeterBar = 0xFF960F0F;
constexpr uint32_t kMeterBand = 0xFFFF7F00;
constexpr double kMemoryRefresh = 1.0;  // s
constexpr double kLoadRefresh = 0.33;   // s

double SteadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// What the system can still hand out: MemAvailable, else free plus buffers.
int64_t SystemAvailableMemory() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  int64_t kb = 0;
  std::string unit;
  while (in >> key >> kb) {
    std::getline(in, unit);
    if (key == "MemAvailable:") return kb * 1024;
  }
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return -1;
  return static_cast<int64_t>((info.freeram + info.bufferram) * info.mem_unit);
}

// one thread: start-up, a test's clock and memory
double (*g_clock)() = SteadySeconds;
int64_t (*g_memory)() = SystemAvailableMemory;
// one thread: video
int32_t g_videoRateTarget = 0;  // the target VLOAD was last drawn against

// The workload shown, percent with one decimal.
float WorkloadValue(float load) {
  return std::isfinite(load) ? std::floor(1000.0f * load) * 0.1f : 0.0f;
}

// Seconds since `since`, across a midnight wrap of a time-of-day clock.
double Elapsed(double since) {
  double e = g_clock() - since;
  if (e < -1.0) e += 86400.0;
  return e < 0.0 ? 0.0 : e;
}

std::string Decimal(double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.7g", v);
  return buf;
}

uint32_t ReadoutFrame(const RenderRecord* snap) {
  return (snap->State.Active != 0 || snap->State.Pressed != 0) ? kColourFrameHover : kColourNavy;
}

// Fill, overlay, caption layer and flat frame of a read-out.
void DrawReadout(RenderRecord* snap, ControlRecord* c, uint32_t fill) {
  const int32_t b = BorderPx();
  FillColour = fill;
  FillBox(snap->X, snap->Y, snap->X + snap->W - 1, snap->Y + snap->H - 1, FillColour);
  BlitOverlay(c, snap->X, snap->Y);
  BlitImage(LayerAt(c, 0), snap->X + b, snap->Y + b);
  FrameColour = ReadoutFrame(snap);
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, b, FrameColour);
}

// The text centred in layer 0, its width kept as the control's text width.
void RenderCentredText(RenderRecord* snap, ControlRecord* c, int32_t mode) {
  Image* layer = LayerAt(c, 0);
  if (!layer) return;
  const std::string text = V::TextFieldGetText(&snap->Text);
  const int32_t size = snap->Text.TextSize;
  int32_t width = std::max(V::TextWidth(text, &V::TextFont, size), 0);
  if (width > layer->width) width = layer->width;
  snap->Text.LayoutWidth = width;
  V::ControlSetLayoutWidth(c, width);
  const int32_t x = Nearest((layer->width - width) / 2.0);
  const int32_t y = Nearest((layer->height - size) / 2.0 + 1.0);
  ClearImage(layer, layer->width - 1, layer->height - 1);
  V::DrawTextFT(layer, x, y, 0, text, V::TextFont.Face, size, snap->Text.TextColour, mode);
}

void SetValueTooltip(ControlRecord* c, uint32_t message, const char* english,
                     const std::string& value, const char* suffix) {
  V::PostFoundTooltip(c ? c->Id : 0, QUARLE_BASICS::LangText(message, english) + value + suffix);
}

}  // namespace

bool MemoryReadoutDue() { return Elapsed(MemoryRefreshTime) >= kMemoryRefresh; }
bool WorkloadReadoutDue() { return Elapsed(WorkloadRefreshTime) >= kLoadRefresh; }
bool AudioLoopReadoutDue() { return Elapsed(AudioLoopRefreshTime) >= kLoadRefresh; }

// Redrawing a read-out whose picture would not change costs a partial frame
// every frame for nothing: an idle screen would never rest.
bool WorkloadReadoutNews() {
  return WorkloadReadoutDue() && WorkloadValue(QUARLE_AUDIO::AudioLoad.load()) != WorkloadPercent;
}
bool AudioLoopReadoutNews() {
  return AudioLoopReadoutDue() && QUARLE_AUDIO::AudioPassesPerSecond.load() != AudioLoopValue;
}
bool VideoRateReadoutNews() {
  return V::FrameRate.load() != VideoRateValue || V::TargetFps.load() != g_videoRateTarget;
}
bool ControlLoopReadoutNews() {
  return static_cast<uint32_t>(V::LoopRate.load()) != ControlLoopValue;
}

void AddReadoutLiveDrawings() {
  V::AddLiveDrawCallback(DrawMemoryReadout, MemoryReadoutDue);
  V::AddLiveDrawCallback(DrawWorkloadReadout, WorkloadReadoutNews);
  V::AddLiveDrawCallback(DrawAudioLoopReadout, AudioLoopReadoutNews);
  V::AddLiveDrawCallback(DrawVideoRateReadout, VideoRateReadoutNews);
  V::AddLiveDrawCallback(DrawControlLoopReadout, ControlLoopReadoutNews);
}

void SetReadoutClock(double (*clock)()) { g_clock = clock ? clock : SteadySeconds; }
void SetAvailableMemorySource(int64_t (*source)()) {
  g_memory = source ? source : SystemAvailableMemory;
}

void ResetReadouts() {
  FreeMemoryMB = 0;
  FreeMemoryValue = 0.0f;
  MemoryRefreshTime = WorkloadRefreshTime = AudioLoopRefreshTime = 0.0;
  WorkloadPercent = 0.0f;
  AudioLoopValue = VideoRateValue = 0;
  ControlLoopValue = 0;
  g_videoRateTarget = 0;
}

uint32_t MemoryColour(int64_t mb) {
  if (mb > 499) return kColourGreen;
  if (mb >= 100) return 0xFFD7AA14;
  if (mb >= 0) return 0xFFC86400;
  return 0xFFC80000;
}

uint32_t WorkloadColour(float p) {
  if (p == 0.0f) return kColourStrip;
  if (p < 10.0f) return kColourBlue;
  if (p < 33.0f) return kColourGreen;
  if (p < 90.0f) return kColourAmber;
  if (p < 100.0f) return kColourRed;
  return 0xFFFF00FF;
}

uint32_t AudioLoopColour(int32_t passes, uint32_t rate) {
  const int64_t p = passes, r = rate;
  if (p <= 999) return kColourStrip;
  if (p < r) return kColourRed;
  if (p < 2 * r) return kColourAmber;
  if (p < 4 * r) return kColourGreen;
  return kColourBlue;
}

uint32_t VideoRateColour(int32_t fps, int32_t t) {
  if (fps > t + 9) return kColourBlue;
  if (fps > t - 9) return kColourGreen;
  if (fps > t * 0.5) return kColourAmber;
  return kColourRed;
}

uint32_t ControlLoopColour(uint32_t p) {
  if (p <= 419) return kColourRed;
  if (p <= 879) return kColourAmber;
  if (p <= 1259) return kColourGreen;
  return kColourBlue;
}

int32_t DrawMemoryReadout(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  if (MemoryReadoutDue()) {
    MemoryRefreshTime = g_clock();
    const int64_t bytes = g_memory();
    FreeMemoryMB = bytes < 0 ? -1 : static_cast<int64_t>(std::nearbyint(bytes / 1048576.0));
    std::string text;
    if (FreeMemoryMB <= 999) {
      FreeMemoryValue = static_cast<float>(FreeMemoryMB);
      text = std::to_string(FreeMemoryMB) + " MB";
    } else {
      FreeMemoryValue = static_cast<float>(std::floor(100.0 * FreeMemoryMB / 1024.0)) * 0.01f;
      text = Decimal(FreeMemoryValue) + " GB";
    }
    V::TextFieldSetText(&snap->Text, text.c_str());
    snap->Text.Changed = -1;
  } else {
    snap->Text.Changed = 0;
  }
  FillColour = MemoryColour(FreeMemoryMB);
  const int32_t b = BorderPx();
  FillBox(snap->X, snap->Y, snap->X + snap->W - 1, snap->Y + snap->H - 1, FillColour);
  BlitOverlay(c, snap->X, snap->Y);
  // Drawn with the coverage as alpha: the layer is laid over the fill by its
  // alpha, through which a text drawn with alpha 0 would not show.
  if (c && snap->Text.Changed != 0) RenderCentredText(snap, c, 2);
  BlitImage(LayerAt(c, 0), snap->X + b, snap->Y + b);
  FrameColour = ReadoutFrame(snap);
  FrameStyle = V::kFrameFlat;
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

int32_t DrawWorkloadReadout(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  if (WorkloadReadoutDue()) {
    WorkloadRefreshTime = g_clock();
    WorkloadPercent = WorkloadValue(QUARLE_AUDIO::AudioLoad.load());
    SetValueTooltip(c, 274, "The current audio workload is ", Decimal(WorkloadPercent), " %.");
  }
  DrawReadout(snap, c, WorkloadColour(WorkloadPercent));
  return 0;
}

int32_t DrawAudioLoopReadout(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  if (AudioLoopReadoutDue()) {
    AudioLoopRefreshTime = g_clock();
    AudioLoopValue = QUARLE_AUDIO::AudioPassesPerSecond.load();
    SetValueTooltip(c, 275, "The current audio loop speed is ", std::to_string(AudioLoopValue),
                    " Hz.");
  }
  DrawReadout(snap, c, AudioLoopColour(AudioLoopValue, QUARLE_AUDIO::StreamRate));
  return 0;
}

int32_t DrawVideoRateReadout(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  VideoRateValue = V::FrameRate.load();
  g_videoRateTarget = V::TargetFps.load();
  SetValueTooltip(c, 276, "The current video framerate is ", std::to_string(VideoRateValue),
                  " Hz.");
  DrawReadout(snap, c, VideoRateColour(VideoRateValue, V::TargetFps.load()));
  return 0;
}

int32_t DrawControlLoopReadout(RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  ControlLoopValue = static_cast<uint32_t>(V::LoopRate);
  SetValueTooltip(c, 277, "Control interface loop speed is ", std::to_string(ControlLoopValue),
                  " Hz.");
  DrawReadout(snap, c, ControlLoopColour(ControlLoopValue));
  return 0;
}

namespace {

int32_t DrawPowerSwitch(RenderRecord* snap, int32_t id, uint32_t onFill) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  const int32_t b = BorderPx();
  FrameColour = snap->State.Active != 0 ? kColourFrameHover : kColourFrameRest;
  if (snap->State.Pressed != 0) {
    FrameStyle = V::kFrameSunken;
    FillColour = kColourAmber;
  } else {
    FrameStyle = V::kFrameRaised;
    FillColour = snap->State.On != 0 ? onFill : kColourGrey;
  }
  FillBox(snap->X, snap->Y, snap->X + snap->W - 1, snap->Y + snap->H - 1, FillColour);
  BlitOverlay(c, snap->X, snap->Y);
  BlitImage(LayerAt(c, 0), snap->X + b, snap->Y + b);
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

int32_t DrawMeter(RenderRecord* snap, int32_t id, bool input) {
  if (!snap) return 0;
  ControlRecord* c = V::ControlAt(id);
  QUARLE_AUDIO::LevelMeter meter[2];
  {
    platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
    const QUARLE_AUDIO::LevelMeter* src = input ? QUARLE_AUDIO::InputMeters : QUARLE_AUDIO::OutputMeters;
    QUARLE_AUDIO::LevelMeterAssign(meter[0], src[0]);
    QUARLE_AUDIO::LevelMeterAssign(meter[1], src[1]);
  }
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t b = BorderPx();
  FrameColour = ReadoutFrame(snap);
  FrameStyle = V::kFrameFlat;
  FillColour = kColourGrey;
  FillBox(x, y, x + w - 1, y + h - 1, FillColour);
  BlitOverlay(c, x, y);

  const int32_t hw = Nearest(w / 2.0), hh = Nearest(h / 2.0);
  const int32_t cx = x + hw;
  for (int32_t ch = 0; ch < 2; ++ch) {
    // Levels outside -140..0 dB (or not numbers) are held to the meter's half.
    double scale = (140.0 + meter[ch].level) / 140.0;
    if (!(scale > 0.0)) scale = 0.0;
    if (scale > 1.0) scale = 1.0;
    const int32_t bw = Nearest((w - 2 * b) * scale * 0.5);
    const int32_t x1 = ch == 0 ? cx - bw : cx;
    const int32_t x2 = ch == 0 ? cx : cx + bw;
    FillBox(x1, y + b, x2, y + h - b - 1, kMeterBar);
    const double hi = std::clamp(static_cast<double>(meter[ch].maximum), -1.0, 1.0);
    const double lo = std::clamp(static_cast<double>(meter[ch].minimum), -1.0, 1.0);
    // Full-scale peaks would reach one row past the bar; keep the band on it.
    const int32_t top = std::max(y + hh - Nearest(hh * (std::isnan(hi) ? 0.0 : hi)), y + b);
    const int32_t bottom = std::min(y + hh - Nearest(hh * (std::isnan(lo) ? 0.0 : lo)), y + h - b - 1);
    FillBox(x1, top, x2, bottom, kMeterBand);
  }
  platform::DrawLine(V::DrawTarget, cx, y + b, cx, y + h - b - 1, 0x00000000);

  const float gain = input ? InputGain : OutputLevel;
  const double fraction = input ? gain * 0.5 : gain;
  const int32_t mx = x + b + Nearest((w - 2 * b - 1) * fraction);
  FillBox(mx, y + b, mx + 1, y + h - b, kColourAmber);

  if (c && snap->Text.Changed != 0) RenderCentredText(snap, c, 2);
  BlitImage(LayerAt(c, 0), x + b, y + b);
  FrameRect(snap, FrameStyle, b, FrameColour);
  return 0;
}

}  // namespace

int32_t DrawInputPowerSwitch(RenderRecord* snap, int32_t id) {
  return DrawPowerSwitch(snap, id, kColourRed);
}
int32_t DrawOutputPowerSwitch(RenderRecord* snap, int32_t id) {
  return DrawPowerSwitch(snap, id, kColourGreen);
}
namespace {
// What a meter's last redraw was asked for with, per meter (video thread only).
// one thread: value
struct MeterSeen {
  bool known = false;
  QUARLE_AUDIO::LevelMeter levels[2] = {};
  float gain = 0.0f;
};

bool MeterNews(MeterSeen& seen, bool input) {
  MeterSeen now;
  {
    platform::MutexGuard g(QUARLE_AUDIO::MT_AUDIO);
    const QUARLE_AUDIO::LevelMeter* src = input ? QUARLE_AUDIO::InputMeters : QUARLE_AUDIO::OutputMeters;
    QUARLE_AUDIO::LevelMeterAssign(now.levels[0], src[0]);
    QUARLE_AUDIO::LevelMeterAssign(now.levels[1], src[1]);
  }
  now.gain = input ? InputGain : OutputLevel;
  now.known = true;
  // Compared bit for bit: a level that is not a number is news once, not every frame.
  const bool news = !seen.known || std::memcmp(now.levels, seen.levels, sizeof now.levels) != 0 ||
                    std::memcmp(&now.gain, &seen.gain, sizeof now.gain) != 0;
  seen = now;
  return news;
}
}  // namespace

bool InputMeterNews() {
  // one thread: video, the frame watch's
  static MeterSeen seen;
  return MeterNews(seen, true);
}
bool OutputMeterNews() {
  // one thread: video, the frame watch's
  static MeterSeen seen;
  return MeterNews(seen, false);
}

int32_t DrawInputMeter(RenderRecord* snap, int32_t id) { return DrawMeter(snap, id, true); }
int32_t DrawOutputMeter(RenderRecord* snap, int32_t id) { return DrawMeter(snap, id, false); }

}  // namespace Tarvelo
