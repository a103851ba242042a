#include "ui/views/scope_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

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
#include "visuals/dirty_region.h"
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
std::atomic<double (*)()> g_clock{nullptr};

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

// one thread: value
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

// one thread: value
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

// The bins of a channel's spectrum contour: bin 0 starts it, bins 1 to 511
// draw a row each.
constexpr int32_t kContourBins = 512;

// The levels of the last window analysed, left channel's bins then the
// right's: the marking and every part of a frame drawn in several parts use
// one analysis (video thread only).
// one thread: video
struct SpectrumCache {
  bool valid = false;
  float window[kScopeWindowFloats];
  double levels[2 * kContourBins];
};
SpectrumCache g_spectrum;

// The contour levels of a full window; null when it cannot be analysed.
const double* SpectrumLevels(const float* w) {
  constexpr size_t kBytes = sizeof(float) * kScopeWindowFloats;
  if (g_spectrum.valid && std::memcmp(g_spectrum.window, w, kBytes) == 0) return g_spectrum.levels;
  g_spectrum.valid = false;
  auto* scratch = reinterpret_cast<Complex*>(SpectrumWorkBuffer);
  if (!scratch || QUARLE_AUDIO::SpectrumAnalyse(w, scratch, 0, 2048, 0) != 0) return nullptr;
  for (int32_t k = 0; k < kContourBins; ++k) {
    g_spectrum.levels[k] = Level(scratch[k]);
    g_spectrum.levels[kContourBins + k] = Level(scratch[2048 + k]);
  }
  std::memcpy(g_spectrum.window, w, kBytes);
  g_spectrum.valid = true;
  return g_spectrum.levels;
}

}  // namespace

void SetScopeClock(double (*clock)()) { g_clock.store(clock); }

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
// What ScopeHasNews last said and the bands marked for the last frame, kept
// between frames to mark only what changed.
// one thread: video
struct ScopeNews {
  bool switched = true;      // ScopeHasNews' last answer saw the mode change
  int32_t shownCount = -1;   // the window it last said to show (below 0: none)
  float shown[kScopeWindowFloats];
  int32_t lastBandCount = -1;  // the bands marked for the last frame (below 0: none)
  platform::ScreenRect lastBands[V::kMaxLiveAreas];
  // The windows ScopeHasNews said to show, and the one whose bands were last
  // marked: a window shown without its bands (the control hidden) leaves the
  // last bands unknown.
  int64_t windowsShown = 0;
  int64_t bandsOfWindow = -1;
  // The spectrum's row spans (2 per row of the band beside them): the last
  // frame's, and those of the areas last named (empty: all of the area).
  std::vector<int32_t> lastRows[V::kMaxLiveAreas];
  std::vector<int32_t> areaRows[V::kMaxLiveAreas];
};
ScopeNews g_news;

// Drains the ring into the buffer and moves the window on by the time that
// passed since the last move.
void MoveOn(float* buffer) {
  DrainedBlock drained[kScopeBlockSlots];
  const int32_t taken = DrainRing(drained);
  for (int32_t k = taken - 1; k >= 0; --k) {
    Append(buffer, drained[k].block, drained[k].length);
    QUARLE_AUDIO::ReleaseReportBlock(QUARLE_AUDIO::kAudioStreamBuffer,
                                     reinterpret_cast<uintptr_t>(drained[k].block));
  }
  const auto clock = g_clock.load();
  const double now = clock ? clock() : platform::HighResClock();
  Advance(buffer, now);
  ScopeState.previousTime = now;
}

int32_t ModeShown() {
  return PlaybackActive.load() == -1 ? ScopeMode.load(std::memory_order_relaxed) : 0;
}

platform::ScreenRect Joined(const platform::ScreenRect& a, const platform::ScreenRect& b) {
  const int32_t x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const int32_t x1 = std::max(a.x + a.w, b.x + b.w), y1 = std::max(a.y + a.h, b.y + b.h);
  return {x0, y0, x1 - x0, y1 - y0};
}

// Whole pixels below and above a coordinate, kept where sums cannot overflow
// (the screen cuts far-off rectangles anyway).
int32_t Below(double v) {
  return static_cast<int32_t>(std::clamp(std::floor(v), -1.0e8, 1.0e8));
}
int32_t Above(double v) {
  return static_cast<int32_t>(std::clamp(std::ceil(v), -1.0e8, 1.0e8));
}
// The pixels a drawing between the two corners may touch: widened by `pad`
// on every side, with room for a sprite of `size` placed at the far corner.
platform::ScreenRect BoxOf(double xa, double xb, double ya, double yb, double pad, int32_t size) {
  const int32_t x0 = Below(std::min(xa, xb) - pad) - 1, y0 = Below(std::min(ya, yb) - pad) - 1;
  const int32_t x1 = Above(std::max(xa, xb) + pad) + size + 1;
  const int32_t y1 = Above(std::max(ya, yb) + pad) + size + 1;
  return {x0, y0, x1 - x0, y1 - y0};
}

// The smallest and largest left and right samples of the pairs from `first`
// (as the painters read them: a non-number is silence).
// one thread: value
struct Extent {
  double loL = 0.0, hiL = 0.0, loR = 0.0, hiR = 0.0;
};
Extent ExtentOf(const float* w, int32_t first, int32_t m) {
  Extent e;
  bool any = false;
  for (int32_t i = first; i <= m - 2; i += 2) {
    const double l = Sample(w, i), r = Sample(w, i + 1);
    if (!any) {
      e = {l, l, r, r};
      any = true;
    }
    e.loL = std::min(e.loL, l);
    e.hiL = std::max(e.hiL, l);
    e.loR = std::min(e.loR, r);
    e.hiR = std::max(e.hiR, r);
  }
  return e;
}

// The columns of each row of `band` that one channel's spectrum contour
// reaches, exactly as DrawScopeSpectrum draws it: bin k's pair of lines joins
// level k - 1 at y + 1 to level k at y, from `edge` inwards (to the right from
// the left edge, to the left from the right one), the second line a pixel
// further in. A line stays within the box of its rounded ends. Rows no line
// reaches are empty.
std::vector<int32_t> ContourRows(const platform::ScreenRect& band, const double* levels,
                                 double edge, bool fromLeft, double yb, double rowStep) {
  std::vector<int32_t> rows(2 * static_cast<size_t>(std::max(band.h, 0)));
  for (int32_t r = 0; r < band.h; ++r) {
    rows[2 * static_cast<size_t>(r)] = INT32_MAX;
    rows[2 * static_cast<size_t>(r) + 1] = INT32_MIN;
  }
  double y = yb;
  for (int32_t k = 1; k < kContourBins; ++k, y -= rowStep) {
    // The painter's own expressions, so that they round alike.
    const double a =
        fromLeft ? edge + kBarLength * levels[k - 1] : edge - kBarLength * levels[k - 1];
    const double b = fromLeft ? edge + kBarLength * levels[k] : edge - kBarLength * levels[k];
    const double step = fromLeft ? 1.0 : -1.0;
    const int32_t xs[4] = {Nearest(a), Nearest(b), Nearest(a + step), Nearest(b + step)};
    const int32_t x0 = *std::min_element(xs, xs + 4), x1 = *std::max_element(xs, xs + 4) + 1;
    const int32_t ya = Nearest(y + 1.0), yc = Nearest(y);
    const int32_t r0 = std::max(std::min(ya, yc) - band.y, 0);
    const int32_t r1 = std::min(std::max(ya, yc) - band.y, band.h - 1);
    for (int32_t r = r0; r <= r1; ++r) {
      int32_t& lo = rows[2 * static_cast<size_t>(r)];
      int32_t& hi = rows[2 * static_cast<size_t>(r) + 1];
      lo = std::min(lo, x0);
      hi = std::max(hi, x1);
    }
  }
  for (int32_t r = 0; r < band.h; ++r) {
    int32_t& lo = rows[2 * static_cast<size_t>(r)];
    int32_t& hi = rows[2 * static_cast<size_t>(r) + 1];
    if (lo > hi) lo = hi = band.x;
  }
  return rows;
}

// The rows of `joined` that the two bands' spans cover: in each row from the
// first column either reaches to the last.
std::vector<int32_t> JoinedRows(const platform::ScreenRect& joined, const platform::ScreenRect& a,
                                const std::vector<int32_t>& ar, const platform::ScreenRect& b,
                                const std::vector<int32_t>& br) {
  std::vector<int32_t> rows(2 * static_cast<size_t>(std::max(joined.h, 0)));
  for (int32_t r = 0; r < joined.h; ++r) {
    const int32_t y = joined.y + r;
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    for (const auto& [band, spans] : {std::pair{&a, &ar}, std::pair{&b, &br}}) {
      if (spans->empty() || y < band->y || y >= band->y + band->h) continue;
      const size_t k = 2 * static_cast<size_t>(y - band->y);
      if ((*spans)[k] >= (*spans)[k + 1]) continue;
      lo = std::min(lo, (*spans)[k]);
      hi = std::max(hi, (*spans)[k + 1]);
    }
    if (lo > hi) lo = hi = joined.x;
    rows[2 * static_cast<size_t>(r)] = lo;
    rows[2 * static_cast<size_t>(r) + 1] = hi;
  }
  return rows;
}

// Where the mode's painter draws the window (m floats) in a control at c, as
// the painters place it; the marker sprites are 3 x 3. Returns the count of
// bands (0: it draws nothing). The spectrum also gives each band's row spans.
int32_t BandsOf(int32_t mode, const platform::ScreenRect& c, const float* w, int32_t m,
                platform::ScreenRect* bands, std::vector<int32_t>* rows) {
  const int32_t u = UnitPx();
  const double wd = c.w - 2.0 * u, hd = c.h - 2.0 * u;
  constexpr int32_t kMarker = 3;
  if ((mode >= 1 && mode <= 3 && m < 2) || mode < 1 || mode > 4) return 0;
  if (mode == 1) {
    // The rows the two traces reach, over the whole width.
    const int32_t half = Nearest(hd * 0.5);
    const double yc = c.y + c.h - u - half;
    const Extent e = ExtentOf(w, 0, m);
    const double hi = std::max(e.hiL, e.hiR), lo = std::min(e.loL, e.loR);
    const double right = std::max(c.x + c.w, c.x + u + Above(wd) + kMarker + 1);
    bands[0] = BoxOf(c.x, right, yc - half * hi, yc - half * lo, 0.0, kMarker);
    return 1;
  }
  const int32_t hx = Nearest(wd * 0.5), hy = Nearest(hd * 0.5);
  const double cx = c.x + hx + u, cy = c.y + c.h - u - hy;
  if (mode == 2) {
    // Only the newer half of the window shows (a pair exactly half way is older).
    int32_t first = (m / 2) & ~1;
    while (first <= m - 2 && Nearest(static_cast<double>(first) / m) < 1) first += 2;
    if (first > m - 2) return 0;
    const Extent e = ExtentOf(w, first, m);
    bands[0] = BoxOf(cx + hy * e.loL, cx + hy * e.hiL, cy - hy * e.hiR, cy - hy * e.loR, 0.0, kMarker);
    return 1;
  }
  if (mode == 3) {
    // Lines between the points, and their glow up to two pixels aside.
    const Extent e = ExtentOf(w, 0, m);
    bands[0] = BoxOf(cx + hy * e.loL, cx + hy * e.hiL, cy - hy * e.hiR, cy - hy * e.loR, 2.0, 1);
    return 1;
  }
  // Spectrum: each channel's contour between its lowest and highest level.
  const double* levels = m == kScopeWindowFloats ? SpectrumLevels(w) : nullptr;
  if (!levels) return 0;
  const auto [loL, hiL] = std::minmax_element(levels, levels + kContourBins);
  const auto [loR, hiR] = std::minmax_element(levels + kContourBins, levels + 2 * kContourBins);
  const int32_t B = V::BorderWidth;
  const double x0 = c.x + B, right = x0 + (c.w - 2.0 * B);
  const double yb = c.y + c.h - B - 1;
  const double top = yb - 510.0 * (2.0 * (c.h - 2.0 * B) / 1024.0);
  bands[0] = BoxOf(x0 + kBarLength * *loL, x0 + kBarLength * *hiL + 1.0, top, yb + 1.0, 0.0, 1);
  bands[1] = BoxOf(right - kBarLength * *hiR - 1.0, right - kBarLength * *loR, top, yb + 1.0, 0.0, 1);
  const double rowStep = 2.0 * (c.h - 2.0 * B) / 1024.0;
  rows[0] = ContourRows(bands[0], levels, x0, true, yb, rowStep);
  rows[1] = ContourRows(bands[1], levels + kContourBins, right, false, yb, rowStep);
  return 2;
}
}  // namespace

bool ScopeHasNews() {
  // one thread: video, the frame watch's
  static int32_t lastMode = -1;
  const int32_t mode = ModeShown();
  const bool switched = mode != lastMode;
  lastMode = mode;
  g_news.switched = switched;
  float* buffer = ScopeBuffer();
  if (mode <= 0 || !buffer) {
    g_news.shownCount = -1;
    return switched;
  }
  // The buffer moves here, once a frame, so that a frame without news is known
  // before anything is drawn; the draw only paints the window.
  MoveOn(buffer);
  ScopeState.movedByNews = true;
  const int32_t m = std::clamp(ScopeState.count, 0, kScopeWindowFloats);
  const bool same = m == g_news.shownCount &&
                    std::memcmp(buffer, g_news.shown, static_cast<size_t>(m) * sizeof(float)) == 0;
  if (same && !switched) return false;
  std::memcpy(g_news.shown, buffer, static_cast<size_t>(m) * sizeof(float));
  g_news.shownCount = m;
  ++g_news.windowsShown;
  return true;
}

int32_t ScopeRedrawArea(const platform::ScreenRect& c, platform::ScreenRect* areas) {
  const float* buffer = ScopeBuffer();
  platform::ScreenRect bands[V::kMaxLiveAreas];
  std::vector<int32_t> rows[V::kMaxLiveAreas];
  for (auto& k : g_news.areaRows) k.clear();
  int32_t n = -1;
  if (!g_news.switched && buffer && MonitorsSpanned <= 1)
    n = BandsOf(ModeShown(), c, buffer, std::clamp(ScopeState.count, 0, kScopeWindowFloats), bands,
                rows);
  const int32_t last = g_news.bandsOfWindow + 1 == g_news.windowsShown ? g_news.lastBandCount : -1;
  g_news.bandsOfWindow = g_news.windowsShown;
  platform::ScreenRect previous[V::kMaxLiveAreas];
  std::vector<int32_t> previousRows[V::kMaxLiveAreas];
  std::copy(g_news.lastBands, g_news.lastBands + std::max(last, 0), previous);
  for (int32_t i = 0; i < std::max(last, 0); ++i) previousRows[i].swap(g_news.lastRows[i]);
  g_news.lastBandCount = n;
  std::copy(bands, bands + std::max(n, 0), g_news.lastBands);
  for (int32_t i = 0; i < V::kMaxLiveAreas; ++i)
    g_news.lastRows[i] = i < n ? rows[i] : std::vector<int32_t>();
  // Without the last frame's bands all of the control is redrawn once.
  if (n < 0 || last < 0) return -1;
  // A mode keeps its count of bands while it is on; a spectrum that has
  // nothing to draw (no full window) only wipes.
  const int32_t count = std::max(n, last);
  for (int32_t i = 0; i < count; ++i) {
    const bool now = i < n, before = i < last;
    areas[i] = now && before ? Joined(bands[i], previous[i]) : (now ? bands[i] : previous[i]);
    // Spans only where every band involved has them.
    if ((!now || !rows[i].empty()) && (!before || !previousRows[i].empty())) {
      const std::vector<int32_t> none;
      g_news.areaRows[i] = JoinedRows(areas[i], bands[i], now ? rows[i] : none, previous[i],
                                 before ? previousRows[i] : none);
    }
  }
  return count;
}

const int32_t* ScopeRedrawRows(int32_t area) {
  if (area < 0 || area >= V::kMaxLiveAreas || g_news.areaRows[area].empty()) return nullptr;
  return g_news.areaRows[area].data();
}

int32_t DrawScope(V::RenderRecord* snap, int32_t) {
  if (!snap) return 0;
  const int32_t mode = ScopeMode.load(std::memory_order_relaxed);
  if (mode <= 0 || PlaybackActive.load() != -1) return 0;
  float* buffer = ScopeBuffer();
  if (!buffer) return 0;
  // Without a news function (a draw of its own) the draw moves the buffer.
  if (!ScopeState.movedByNews) MoveOn(buffer);
  const int32_t m = std::min(ScopeState.count, kScopeWindowFloats);
  switch (mode) {
    case 1: DrawScopeWaveform(snap, buffer, m); break;
    case 2: DrawScopeXY(snap, buffer, m); break;
    case 3: DrawScopeMirror(snap, buffer, m); break;
    case 4: DrawScopeSpectrum(snap, buffer, m); break;
    default: break;
  }
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
  const int32_t B = V::BorderWidth;
  double wd = s->W - 2.0 * B;
  const double hd = s->H - 2.0 * B;
  const double x0 = s->X + B;
  double e = 0.0;
  if (MonitorsSpanned > 1) {
    wd = static_cast<double>(DesktopWidth) - s->X - B;
    e = s->W - wd - 2.0 * B;
  }
  const double* levels = SpectrumLevels(w);
  if (!levels) return;
  const double* rightLevels = levels + kContourBins;
  const double right = x0 + wd + e;
  const double rowStep = 2.0 * hd / 1024.0;
  // A frame redraws the two strips one at a time: lines wholly outside the
  // part being drawn are passed over before the line routine is asked.
  platform::Surface area;
  const bool clipped = platform::SurfaceOf(V::DrawTarget, area);
  auto line = [&](double xa, double ya, double xb, double yb, uint32_t colour) {
    const int32_t Xa = Nearest(xa), Xb = Nearest(xb), Ya = Nearest(ya), Yb = Nearest(yb);
    if (clipped && (std::max(Xa, Xb) < area.x0 || std::min(Xa, Xb) >= area.x1 ||
                    std::max(Ya, Yb) < area.y0 || std::min(Ya, Yb) >= area.y1))
      return;
    platform::DrawLine(V::DrawTarget, Xa, Ya, Xb, Yb, colour);
  };
  double prevL = levels[0], prevR = rightLevels[0];
  double y = s->Y + s->H - B - 1;
  for (int32_t k = 1; k < kContourBins; ++k) {
    const double vl = levels[k];
    uint32_t colour = V::HueToRgb(static_cast<float>(0.75 * vl + 0.25));
    line(x0 + kBarLength * prevL, y + 1.0, x0 + kBarLength * vl, y, colour);
    line(x0 + kBarLength * prevL + 1.0, y + 1.0, x0 + kBarLength * vl + 1.0, y, colour);
    const double vr = rightLevels[k];
    colour = V::HueToRgb(static_cast<float>(0.75 * vr + 0.25));
    line(right - kBarLength * prevR, y + 1.0, right - kBarLength * vr, y, colour);
    line(right - kBarLength * prevR - 1.0, y + 1.0, right - kBarLength * vr - 1.0, y, colour);
    prevL = vl;
    prevR = vr;
    y -= rowStep;
  }
}

}  // namespace Tarvelo
