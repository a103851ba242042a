#include "ui/views/scope_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/startup.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "audio/audio.h"
#include "audio/meters.h"
#include "audio/spectrum.h"
#include "basics/complex.h"
#include "engine/catalog/markers.h"
#include "engine/catalog/engine_init.h"
#include "engine/globals.h"
#include "platform/threads.h"
#include "ui/views/control_drawing.h"
#include "visuals/colours.h"
#include "visuals/glyphs.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::Complex;

std::atomic<int32_t> ScopeMode{0};
ScopePacing ScopeState;

namespace {

// At most this much is drained from the ring per frame (plus the last block).
constexpr int32_t kDrainLimit = 8192;
constexpr int32_t kTrimAbove = 8191;
constexpr double kBarLength = 420.0;

// Adds the source's red, green and blue, weighted by the parameter (0..255),
// to the destination, each channel saturating; the result is opaque.
uint32_t AddWeighted(uint32_t s, uint32_t d, int64_t alpha) {
  const uint32_t a = static_cast<uint32_t>(std::clamp<int64_t>(alpha, 0, 255));
  uint32_t out = 0xFF000000;
  for (int shift = 0; shift <= 16; shift += 8) {
    const uint32_t sc = ((s >> shift) & 0xFF) * a / 255;
    const uint32_t dc = (d >> shift) & 0xFF;
    out |= std::min<uint32_t>(sc + dc, 255) << shift;
  }
  return out;
}

void AddMarker(int32_t which, double x, double y, int32_t alpha) {
  if (alpha <= 0) return;
  platform::Image* m = ScopeMarker(which);
  if (!m) return;
  platform::ImageCopyCustom(m, 0, 0, m->width, m->height, V::DrawTarget, Nearest(x), Nearest(y),
                            AddWeighted, alpha);
}

void Line(double x0, double y0, double x1, double y1, uint32_t colour) {
  platform::DrawLine(V::DrawTarget, Nearest(x0), Nearest(y0), Nearest(x1), Nearest(y1), colour);
}

// A sample that is not a number is drawn as silence.
double Sample(const float* w, int32_t i) {
  const float v = w[i];
  return std::isfinite(v) ? static_cast<double>(v) : 0.0;
}

struct Geometry {
  double wd = 0.0, hd = 0.0;
};
// The painting area: the control less a unit each side; on several monitors
// the first monitor's width only.
Geometry AreaOf(const V::RenderRecord* s, int32_t margin) {
  Geometry g;
  g.wd = s->W - 2.0 * margin;
  g.hd = s->H - 2.0 * margin;
  if (MonitorsSpanned > 1) g.wd = static_cast<double>(DesktopWidth) - s->X - V::BorderWidth;
  return g;
}

struct DrainedBlock {
  float* block;
  int32_t length;
};

// Moves the newest blocks out of the ring, newest first; the handler keeps
// the rest until it overwrites them.
int32_t DrainRing(DrainedBlock* out) {
  int32_t taken = 0;
  int64_t total = 0;
  platform::MutexGuard guard(ScopeLock);
  int32_t i = ScopeBlockRing.newest;
  if (i < 0 || i >= kScopeBlockSlots) i = 0;
  while (taken < kScopeBlockSlots && total <= kDrainLimit && ScopeBlockRing.blocks[i]) {
    const int32_t length = std::max(ScopeBlockRing.lengths[i], 0);
    out[taken++] = {ScopeBlockRing.blocks[i], length};
    total += length;
    ScopeBlockRing.blocks[i] = nullptr;
    ScopeBlockRing.lengths[i] = 0;
    i = i == 0 ? kScopeBlockSlots - 1 : i - 1;
  }
  return taken;
}

bool Silent(const float* samples, int32_t count) {
  for (int32_t i = 0; i < count; ++i)
    if (samples[i] != 0.0f) return false;
  return true;
}

void DropFront(float* buffer, int32_t drop) {
  int32_t& n = ScopeState.count;
  drop = std::clamp(drop, 0, n);
  if (drop == 0) return;
  std::memmove(buffer, buffer + drop, static_cast<size_t>(n - drop) * sizeof(float));
  n -= drop;
}

// Appends a block after the present floats. The buffer never overflows: a
// block larger than the buffer keeps its newest part, and room is made by
// dropping the oldest floats, always whole stereo frames.
void Append(float* buffer, const float* block, int32_t length) {
  if (!block || length <= 0) return;
  if (length > kScopeBufferFloats) {
    block += length - kScopeBufferFloats;
    length = kScopeBufferFloats;
  }
  int32_t over = ScopeState.count + length - kScopeBufferFloats;
  if (over > 0) DropFront(buffer, over + (over & 1));
  std::memcpy(buffer + ScopeState.count, block, static_cast<size_t>(length) * sizeof(float));
  ScopeState.count += length;
}

// Moves the window's start on by the time that passed, when the buffer holds
// more than a window beyond that advance; otherwise the advance is owed.
void Advance(float* buffer, double now) {
  ScopePacing& st = ScopeState;
  if (st.previousTime < 0.0) st.previousTime = now;
  const double frames = std::floor(RateWhole * std::fabs(now - st.previousTime));
  const double target = 1.0 + st.deferred + 2.0 * frames;
  const double surplus = std::nearbyint(st.count - target);
  if (surplus > kScopeWindowFloats) {
    // Whole stereo frames only, so the channels never trade places.
    int32_t drop = Nearest(target);
    drop -= drop & 1;
    DropFront(buffer, drop);
    st.deferred = 0.0;
  } else {
    // The owed advance grows while too little sound arrives; it is kept
    // within the buffer's size, which no surplus can ever exceed anyway.
    st.deferred = std::min(st.deferred + target, static_cast<double>(kScopeBufferFloats));
  }
  if (st.count > kTrimAbove) DropFront(buffer, kScopeWindowFloats);
}

double Level(const Complex& bin) {
  const Complex scaled = QUARLE_BASICS::ComplexScale(1.0f / 1024.0f, bin);
  const double db = QUARLE_AUDIO::PowerToDb(&scaled);
  if (!(db > -80.0) || !std::isfinite(db)) return 0.0;
  return 1.0 + db / 80.0;
}

}  // namespace

float* ScopeBuffer() { return reinterpret_cast<float*>(ScopeSampleWindow); }

// Red and blue mark the waveform view, green and magenta the X-Y view. The
// engine makes them when the window opens; a view drawn before that (tests)
// makes them itself.
platform::Image* ScopeMarker(int32_t which) {
  if (which < 0 || which > 3) return nullptr;
  if (ScopeMarkerRed == nullptr) CreateMarkerImages();
  platform::Image* const markers[4] = {ScopeMarkerRed, ScopeMarkerBlue, ScopeMarkerGreen,
                                       ScopeMarkerMagenta};
  return markers[which];
}

void FreeScopeMarkers() { DestroyMarkerImages(); }

namespace {
// The last answer of ScopeHasNews and the band marked for the last frame
// (video thread only).
bool g_scopeSwitched = true;
bool g_bandKnown = false;
platform::ScreenRect g_lastBand;

// The largest finite magnitude among the samples (a non-number draws as silence).
float Loudest(const float* samples, int32_t count, float loudest) {
  for (int32_t i = 0; i < count; ++i) {
    const float v = std::fabs(samples[i]);
    if (std::isfinite(v) && v > loudest) loudest = v;
  }
  return loudest;
}

// Hands fn each ring block the next drain takes (newest first, as DrainRing
// walks), under the scope lock, until fn says stop; the blocks behind them are
// never drawn. True when fn stopped the walk.
template <class Fn>
bool ForDrawableBlocks(Fn fn) {
  platform::MutexGuard guard(ScopeLock);
  int64_t total = 0;
  int32_t i = ScopeBlockRing.newest;
  if (i < 0 || i >= kScopeBlockSlots) i = 0;
  for (int32_t taken = 0;
       taken < kScopeBlockSlots && total <= kDrainLimit && ScopeBlockRing.blocks[i]; ++taken) {
    const int32_t length = std::max(ScopeBlockRing.lengths[i], 0);
    if (fn(ScopeBlockRing.blocks[i], length)) return true;
    total += length;
    i = i == 0 ? kScopeBlockSlots - 1 : i - 1;
  }
  return false;
}

platform::ScreenRect Joined(const platform::ScreenRect& a, const platform::ScreenRect& b) {
  const int32_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const int32_t x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
  return {x0, y0, x1 - x0, y1 - y0};
}
}  // namespace

bool ScopeHasNews() {
  static int32_t lastMode = -1;
  const int32_t mode = PlaybackActive.load() == -1 ? ScopeMode.load(std::memory_order_relaxed) : 0;
  const bool switched = mode != lastMode;
  lastMode = mode;
  g_scopeSwitched = switched;
  if (switched) return true;
  if (mode <= 0) return false;
  const float* buffer = ScopeBuffer();
  if (buffer && !Silent(buffer, std::min(ScopeState.count, kScopeWindowFloats))) return true;
  return ForDrawableBlocks([](const float* block, int32_t length) { return !Silent(block, length); });
}

bool ScopeRedrawArea(const platform::ScreenRect& c, platform::ScreenRect& area) {
  const int32_t mode = PlaybackActive.load() == -1 ? ScopeMode.load(std::memory_order_relaxed) : 0;
  const float* buffer = ScopeBuffer();
  platform::Image* marker = ScopeMarker(0);
  if (g_scopeSwitched || mode != 1 || !buffer || !marker || MonitorsSpanned > 1) {
    g_bandKnown = false;
    return false;
  }
  // Whatever the frame draws comes from the buffer and the ring's blocks; the
  // trace cannot stray further from its centre line than the loudest of them.
  float loudest = Loudest(buffer, std::clamp(ScopeState.count, 0, kScopeBufferFloats), 0.0f);
  ForDrawableBlocks([&loudest](const float* block, int32_t length) {
    loudest = Loudest(block, length, loudest);
    return false;
  });
  // As DrawScopeWaveform places its markers (top-left corners).
  const int32_t u = UnitPx();
  const double wd = c.w - 2.0 * u, hd = c.h - 2.0 * u;
  const int32_t half = Nearest(hd * 0.5);
  const int32_t yc = c.y + c.h - u - half;
  const int32_t reach = Nearest(half * static_cast<double>(std::min(loudest, 1.0e6f)));
  const int32_t right = std::max(c.x + c.w, c.x + u + static_cast<int32_t>(std::ceil(wd)) + marker->width + 1);
  platform::ScreenRect band{c.x, yc - reach, right - c.x, 2 * reach + marker->height};
  area = g_bandKnown ? Joined(band, g_lastBand) : c;
  g_lastBand = band;
  g_bandKnown = true;
  return true;
}

int32_t DrawScope(V::RenderRecord* snap, int32_t) {
  if (!snap) return 0;
  const int32_t mode = ScopeMode.load(std::memory_order_relaxed);
  if (mode <= 0 || PlaybackActive.load() != -1) return 0;
  float* buffer = ScopeBuffer();
  if (!buffer) return 0;

  DrainedBlock drained[kScopeBlockSlots];
  const int32_t taken = DrainRing(drained);
  for (int32_t k = taken - 1; k >= 0; --k) {
    Append(buffer, drained[k].block, drained[k].length);
    QUARLE_AUDIO::ReleaseReportBlock(QUARLE_AUDIO::kAudioStreamBuffer,
                                     reinterpret_cast<uintptr_t>(drained[k].block));
  }

  const double now = platform::HighResClock();
  Advance(buffer, now);
  const int32_t m = std::min(ScopeState.count, kScopeWindowFloats);
  switch (mode) {
    case 1: DrawScopeWaveform(snap, buffer, m); break;
    case 2: DrawScopeXY(snap, buffer, m); break;
    case 3: DrawScopeMirror(snap, buffer, m); break;
    case 4: DrawScopeSpectrum(snap, buffer, m); break;
    default: break;
  }
  ScopeState.previousTime = now;
  return 0;
}

void DrawScopeWaveform(const V::RenderRecord* s, const float* w, int32_t m) {
  if (!s || !w || m < 2) return;
  const int32_t u = UnitPx();
  const Geometry g = AreaOf(s, u);
  const int32_t half = Nearest(g.hd * 0.5);
  const int32_t x0 = s->X + u;
  const int32_t yc = s->Y + s->H - u - half;
  const double step = 2.0 * g.wd / m;
  double p = 0.0;
  for (int32_t i = 0; i <= m - 2; i += 2) {
    const int32_t yl = Nearest(half * Sample(w, i));
    const int32_t yr = Nearest(half * Sample(w, i + 1));
    AddMarker(0, x0 + p, yc - yl, 255);
    AddMarker(1, x0 + p, yc - yr, 255);
    p += step;
  }
}

void DrawScopeXY(const V::RenderRecord* s, const float* w, int32_t m) {
  if (!s || !w || m < 2) return;
  const int32_t u = UnitPx();
  const Geometry g = AreaOf(s, u);
  const int32_t hx = Nearest(g.wd * 0.5), hy = Nearest(g.hd * 0.5);
  const int32_t cx = s->X + hx + u, cy = s->Y + s->H - u - hy;
  for (int32_t i = 0; i <= m - 2; i += 2) {
    const double px = hy * Sample(w, i), py = hy * Sample(w, i + 1);
    // The older half of the window stays dark.
    const int32_t newer = Nearest(static_cast<double>(i) / m);
    AddMarker(2, cx + px, cy - py, 255 * newer);
    AddMarker(3, cx + px, cy - py, std::max(0, static_cast<int32_t>(420.0 * newer - 336.0)));
  }
}

void DrawScopeMirror(const V::RenderRecord* s, const float* w, int32_t m) {
  if (!s || !w || m < 2) return;
  const int32_t u = UnitPx();
  const Geometry g = AreaOf(s, u);
  const int32_t hx = Nearest(g.wd * 0.5), hy = Nearest(g.hd * 0.5);
  const double cx = s->X + hx + u, cy = s->Y + s->H - u - hy;
  const double M = std::log(4.0 * hy * hy);
  double qx = hy * Sample(w, 0), qy = hy * Sample(w, 1);
  double fade = 0.0;
  const double fadeStep = 4.0 / m;
  static constexpr double kGlowScale[4] = {1.0, 0.75, 0.66, 0.5};
  static constexpr double kGlowWeight[4] = {0.4, 0.6, 0.8, 0.9};
  for (int32_t i = 0; i <= m - 2; i += 2) {
    const double px = hy * Sample(w, i), py = hy * Sample(w, i + 1);
    const double dx = px - qx, dy = py - qy;
    const double sq = dx * dx + dy * dy;
    const double inv = sq == 0.0 ? 0.0 : 1.0 / std::sqrt(sq);
    fade = std::min(fade + fadeStep, 1.0);
    // Short steps (slow motion) red, long steps green. A step longer than the
    // area's diagonal stays fully green instead of spilling into other bits.
    double b = (sq >= 1.0 && M > 0.0) ? 255.0 * std::log(sq) / M : 0.0;
    b = std::clamp(b, 0.0, 255.0);
    const double R = std::floor((255.0 - b) * fade), G = std::floor(b * fade);
    if (inv > 0.0) {
      double ox = 2.0 * inv * dx, oy = 2.0 * inv * dy;
      for (int32_t pass = 0; pass < 4; ++pass) {
        ox *= kGlowScale[pass];
        oy *= kGlowScale[pass];
        const double k = kGlowWeight[pass];
        const uint32_t colour = 0xFF000000u + static_cast<uint32_t>(Nearest(R * k)) * 65536u +
                                static_cast<uint32_t>(Nearest(G * k)) * 256u;
        Line(cx + qx + ox, cy - qy + oy, cx + px + ox, cy - py + oy, colour);
        Line(cx + qx - ox, cy - qy - oy, cx + px - ox, cy - py - oy, colour);
      }
    }
    const uint32_t colour = 0xFF000000u + static_cast<uint32_t>(R) * 65536u +
                            static_cast<uint32_t>(G) * 256u;
    Line(cx + qx, cy - qy, cx + px, cy - py, colour);
    qx = px;
    qy = py;
  }
}

void DrawScopeSpectrum(const V::RenderRecord* s, const float* w, int32_t m) {
  if (!s || !w || m != kScopeWindowFloats) return;
  auto* scratch = reinterpret_cast<Complex*>(SpectrumWorkBuffer);
  if (!scratch) return;
  const int32_t B = V::BorderWidth;
  double wd = s->W - 2.0 * B;
  const double hd = s->H - 2.0 * B;
  const double x0 = s->X + B;
  double e = 0.0;
  if (MonitorsSpanned > 1) {
    wd = static_cast<double>(DesktopWidth) - s->X - B;
    e = s->W - wd - 2.0 * B;
  }
  if (QUARLE_AUDIO::SpectrumAnalyse(w, scratch, 0, 2048, 0) != 0) return;
  const double right = x0 + wd + e;
  const double rowStep = 2.0 * hd / 1024.0;
  double prevL = Level(scratch[0]), prevR = Level(scratch[2048]);
  double y = s->Y + s->H - B - 1;
  for (int32_t k = 1; k <= 511; ++k) {
    const double vl = Level(scratch[k]);
    uint32_t colour = V::HueToRgb(static_cast<float>(0.75 * vl + 0.25));
    Line(x0 + kBarLength * prevL, y + 1.0, x0 + kBarLength * vl, y, colour);
    Line(x0 + kBarLength * prevL + 1.0, y + 1.0, x0 + kBarLength * vl + 1.0, y, colour);
    const double vr = Level(scratch[2048 + k]);
    colour = V::HueToRgb(static_cast<float>(0.75 * vr + 0.25));
    Line(right - kBarLength * prevR, y + 1.0, right - kBarLength * vr, y, colour);
    Line(right - kBarLength * prevR - 1.0, y + 1.0, right - kBarLength * vr - 1.0, y, colour);
    prevL = vl;
    prevR = vr;
    y -= rowStep;
  }
}

}  // namespace Tarvelo
