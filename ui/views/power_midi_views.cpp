#include "ui/views/power_midi_views.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "audio/midi.h"
#include "engine/catalog/engine_init.h"
#include "engine/midimap_hooks.h"
#include "platform/images.h"
#include "platform/threads.h"
#include "ui/views/control_drawing.h"
#include "visuals/control_table.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

int32_t PowerHistoryLength = 0;
int32_t PowerHistoryWriteIndex = 0;

namespace {

constexpr uint32_t kLeftPower = 0xFF640000;
constexpr uint32_t kLeftSpan = 0xFFFF0000;
constexpr uint32_t kRightPower = 0xFF000064;
constexpr uint32_t kRightSpan = 0xFF0000FF;
constexpr uint32_t kStripFrame = 0xFF0A2A4D;
constexpr float kFloorDb = -140.0f;

// A reported value that is not a number draws as silence; a level beyond full
// scale stays at the strip's edge, so no column reaches into the neighbours.
float SaneDb(float db) {
  if (!std::isfinite(db) || db < kFloorDb) return kFloorDb;
  return db > 0.0f ? 0.0f : db;
}
float SaneLevel(float v) {
  if (!std::isfinite(v)) return 0.0f;
  return v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v);
}

void DrawEntry(const float* e, int32_t k, int32_t cx, int32_t cy, int32_t A) {
  const auto p = [A](float db) { return Nearest(A * (SaneDb(db) + 140.0) / 140.0); };
  const auto s = [A](float v) { return Nearest(A * static_cast<double>(SaneLevel(v))); };
  platform::Image* t = V::DrawTarget;
  platform::DrawLine(t, cx - k, cy - p(e[2]), cx - k, cy + p(e[2]), kLeftPower);
  platform::DrawLine(t, cx - k, cy - s(e[0]), cx - k, cy - s(e[1]), kLeftSpan);
  platform::DrawLine(t, cx + k, cy - p(e[5]), cx + k, cy + p(e[5]), kRightPower);
  platform::DrawLine(t, cx + k, cy - s(e[3]), cx + k, cy - s(e[4]), kRightSpan);
}

// Takes the entries the meter reports added since the last frame.
void TakeNewEntries() {
  float* history = PowerDisplayHistory;
  if (!history || PowerHistoryLength < 6) return;
  platform::MutexGuard guard(ScopeLock);
  const float* ring = PowerHistoryRing;
  int32_t count = PowerHistoryCount;
  PowerHistoryCount = 0;
  if (!ring || count <= 0) return;
  // More reports than the ring holds cannot be told apart: the ring's whole
  // content is the newest there is.
  const int32_t ringEntries = kPowerHistoryFloats / 6;
  if (count > ringEntries) count = ringEntries;
  int32_t write = PowerHistoryWrite;
  if (write < 0 || write > kPowerHistoryFloats - 6) write = 0;
  int32_t pos = write - 6 * count;
  if (pos < 0) pos += kPowerHistoryFloats;
  for (int32_t i = 0; i < count; ++i) {
    std::memcpy(history + PowerHistoryWriteIndex, ring + pos, 6 * sizeof(float));
    pos += 6;
    if (pos > kPowerHistoryFloats - 1) pos = 0;
    PowerHistoryWriteIndex += 6;
    if (PowerHistoryWriteIndex >= PowerHistoryLength) PowerHistoryWriteIndex = 0;
  }
}

}  // namespace

void ResetPowerHistory(int32_t length) {
  delete[] PowerDisplayHistory;
  PowerDisplayHistory = nullptr;
  PowerHistoryLength = 0;
  PowerHistoryWriteIndex = 0;
  if (length < 0) length = 0;
  float* h = new (std::nothrow) float[static_cast<size_t>(length) + 1]();
  if (!h) return;
  for (int32_t i = 0; i + 5 < length; i += 6) {
    h[i + 2] = kFloorDb;
    h[i + 5] = kFloorDb;
  }
  PowerDisplayHistory = h;
  PowerHistoryLength = length;
}

int32_t DrawPowerHistory(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  const int32_t B = V::BorderWidth;
  FillBox(x, y, x + w - 1, y + h - 1, 0x00000000);
  BlitOverlay(V::ControlAt(id), x, y);

  const int32_t entries = (w - 2 * B) / 2;
  if (entries < 1) return 0;
  const int32_t L = 6 * entries;
  if (!PowerDisplayHistory || PowerHistoryLength != L) ResetPowerHistory(L);
  if (!PowerDisplayHistory) return 0;
  TakeNewEntries();

  const int32_t cx = x + Nearest(w * 0.5);
  const int32_t hh = Nearest(h * 0.5);
  const int32_t cy = y + hh;
  const int32_t A = hh - B;
  const float* history = PowerDisplayHistory;
  const int32_t newest = PowerHistoryWriteIndex / 6;  // entries before it are the newest run
  for (int32_t e = 0; e < entries; ++e) {
    const int32_t k = e < newest ? newest - e : newest - e + entries;
    DrawEntry(history + 6 * e, k, cx, cy, A);
  }
  platform::DrawLine(V::DrawTarget, cx, cy + A, cx, cy - A, kStripFrame);
  V::DrawFrame(&snap->X, V::kFrameFlat, B, kStripFrame);
  return 0;
}

bool PowerHistoryHasNews() {
  // one thread: video, the frame watch's
  static bool lastStreaming = true;
  const bool streaming = PlaybackActive.load() != 0 || CaptureActive.load() != 0;
  const bool stopped = lastStreaming && !streaming;
  lastStreaming = streaming;
  if (stopped) return true;  // shown once more as it stands
  if (!streaming) {
    // A report that came in after the stream (or with none) still moves the strip.
    platform::MutexGuard guard(ScopeLock);
    if (PowerHistoryCount == 0) return false;
  }
  const float* history = PowerDisplayHistory;
  if (!history || PowerHistoryLength < 6) return true;
  // A strip of equal entries scrolling on by more of the same (silence) looks
  // the same in every frame.
  auto same = [history](const float* e) { return std::memcmp(e, history, 6 * sizeof(float)) == 0; };
  for (int32_t i = 6; i + 5 < PowerHistoryLength; i += 6)
    if (!same(history + i)) return true;
  platform::MutexGuard guard(ScopeLock);
  if (!PowerHistoryRing) return false;
  const int32_t count = std::min(PowerHistoryCount, kPowerHistoryFloats / 6);
  int32_t pos = PowerHistoryWrite;
  if (pos < 0 || pos > kPowerHistoryFloats - 6) pos = 0;
  for (int32_t i = 0; i < count; ++i) {
    pos -= 6;
    if (pos < 0) pos += kPowerHistoryFloats;
    if (!same(PowerHistoryRing + pos)) return true;
  }
  return false;
}

bool MidiMonitorHasNews() {
  // one thread: video, the frame watch's
  static int64_t lastShown = 1;
  const int64_t shown = Settings.DisplayMidiInput.Load();
  const bool switched = shown != lastShown;
  lastShown = shown;
  if (switched) return true;
  if (shown != -1) return false;
  platform::MutexGuard guard(MT_MIDIMONITOR);
  return QUARLE_AUDIO::LastMidiMessage.NewMessage == -1;
}

int32_t DrawMidiInputMonitor(V::RenderRecord* snap, int32_t id) {
  if (!snap) return 0;
  V::ControlRecord* c = V::ControlAt(id);
  platform::Image* layer = LayerAt(c, 0);
  if (!layer || Settings.DisplayMidiInput.Load() != -1) return 0;

  int64_t fresh = 0;
  QUARLE_AUDIO::MidiMessage m{};
  {
    platform::MutexGuard guard(MT_MIDIMONITOR);
    fresh = QUARLE_AUDIO::LastMidiMessage.NewMessage;
    QUARLE_AUDIO::CopyMidiMessage(m, QUARLE_AUDIO::LastMidiMessage.Message);
    QUARLE_AUDIO::LastMidiMessage.NewMessage = 0;
  }
  if (fresh == -1) {
    const uint32_t status = m.Message & 0xFF;
    const std::string text = "Dev." + std::to_string(m.Slot) + "  Ch." +
                             std::to_string(status & 15) + " Code " +
                             std::to_string((status >> 4) & 15) + " {" +
                             std::to_string((m.Message >> 8) & 0xFF) + "," +
                             std::to_string((m.Message >> 16) & 0xFF) + "}";
    const int32_t size = snap->Text.TextSize;
    const int32_t W = layer->width, H = layer->height;
    int32_t width = V::TextWidth(text, &V::TextFont, size);
    if (width > W) width = W;
    snap->Text.LayoutWidth = width;
    V::ControlSetLayoutWidth(c, width);
    platform::ImageFill(layer, 0x00000000);
    // A font failure leaves the layer as far as it was drawn.
    V::DrawTextFT(layer, Nearest((W - width) * 0.5), Nearest((H - size) * 0.5), 0, text,
                  V::TextFont.Face, size, snap->Text.TextColour, 2);
  }
  const int32_t B = V::BorderWidth;
  BlitImage(layer, snap->X + B, snap->Y + B);
  return 0;
}

}  // namespace Tarvelo
