#include "visuals/video_thread.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <system_error>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/images.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "platform/screen.h"
#include "platform/threads.h"
#include "platform/video.h"
#include "visuals/control_table.h"
#include "visuals/dirty_region.h"
#include "visuals/event_loop.h"
#include "visuals/focus.h"
#include "visuals/renderer.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

std::atomic<int64_t> VideoRunFlag{0};
std::atomic<int64_t> VideoThreadActive{0};
std::atomic<int64_t> InterfaceReady{0};
std::atomic<int64_t> PurgeRequest{0};
std::atomic<int64_t> SnapshotRequest{0};
std::atomic<int32_t> SnapshotError{0};
std::atomic<int32_t> TargetFps{60};
std::atomic<int32_t> FrameRate{0};
std::atomic<int32_t> RefreshRate{0};
std::atomic<int32_t> IdleFrameRate{0};
std::atomic<uint64_t> VideoFrameSerial{0};
std::thread* VideoThreadHandle = nullptr;

namespace {

std::atomic<bool> g_failNextStart{false};
std::atomic<VideoClockFn> g_clock{nullptr};
std::atomic<VideoSleepFn> g_sleep{nullptr};

double Now() {
  const VideoClockFn fn = g_clock.load();
  return fn ? fn() : platform::HighResClock();
}

void Sleep(double seconds) {
  const VideoSleepFn fn = g_sleep.load();
  if (fn)
    fn(seconds);
  else
    platform::SleepSeconds(seconds);
}

void WaitRetrace() { platform::WaitVerticalRetrace(Now, Sleep); }

// A whole redraw this often catches state that a draw callback reads without
// its control publishing it; it is shown only where pixels changed.
constexpr double kWholeRedrawPeriod = 5.0;

std::atomic<FrameWatchFn> g_watchBegin{nullptr};
std::atomic<FrameWatchFn> g_watchEnd{nullptr};

// The focus frame last drawn, so that a change redraws both controls.
// one thread: video
int32_t g_lastFocused = 0;
uint32_t g_lastFocusMode = 0;

void MarkPublishedRect(int32_t id) { MarkControlPublishedDirty(ControlAt(id)); }

void MarkFocusChange() {
  const int32_t focused = FocusedControl.load();
  const uint32_t mode = FocusMode.load();
  if (focused == g_lastFocused && mode == g_lastFocusMode) return;
  MarkPublishedRect(g_lastFocused);
  MarkPublishedRect(focused);
  g_lastFocused = focused;
  g_lastFocusMode = mode;
}

// A live control's rectangle, or only the parts its view says may change.
void MarkLiveRect(int32_t id, LiveAreaFn area, LiveRowsFn rows) {
  ControlRecord* c = ControlAt(id);
  if (!c || !c->Render || !c->RenderLock) return;
  platform::ScreenRect r;
  {
    platform::MutexGuard g(c->RenderLock);
    r = platform::ScreenRect{c->Render->X, c->Render->Y, c->Render->W, c->Render->H};
  }
  platform::ScreenRect parts[kMaxLiveAreas];
  const int32_t n = area ? area(r, parts) : -1;
  if (n < 0) {
    MarkScreenDirty(r.x, r.y, r.w, r.h);
    return;
  }
  for (int32_t i = 0; i < std::min(n, kMaxLiveAreas); ++i) {
    const int32_t* spans = rows ? rows(i) : nullptr;
    if (spans)
      MarkScreenRows(parts[i].x, parts[i].y, parts[i].w, parts[i].h, spans);
    else
      MarkScreenDirty(parts[i].x, parts[i].y, parts[i].w, parts[i].h);
  }
}

void MarkLiveControls() {
  // A quiet frame does not walk the control table.
  if (!LiveFrameBegin()) return;
  const int32_t count = ControlTableCount();
  for (int32_t i = 0; i < count; ++i) {
    ControlRecord* c = ControlAt(i);
    if (!c || c->Visible == 0) continue;
    const DrawCallbackFn draw = c->DrawCallback.load();
    if (LiveRedrawWanted(draw)) MarkLiveRect(i, LiveRedrawArea(draw), LiveRedrawRows(draw));
  }
}

// Where two rows first differ in [from, to), or `to`; and where they last
// differ, or from - 1. Pages mostly agree over long stretches: they are
// compared eight pixels at a time.
int64_t FirstDifference(const uint32_t* a, const uint32_t* b, int64_t from, int64_t to) {
  for (; from + 8 <= to; from += 8) {
    uint32_t x = 0;
    for (int64_t k = 0; k < 8; ++k) x |= a[from + k] ^ b[from + k];
    if (x != 0) break;
  }
  while (from < to && a[from] == b[from]) ++from;
  return from;
}
int64_t LastDifference(const uint32_t* a, const uint32_t* b, int64_t from, int64_t to) {
  for (; to - 8 >= from; to -= 8) {
    uint32_t x = 0;
    for (int64_t k = 1; k <= 8; ++k) x |= a[to - k] ^ b[to - k];
    if (x != 0) break;
  }
  while (to > from && a[to - 1] == b[to - 1]) --to;
  return to - 1;
}

// A rectangle redrawn along row spans sends what changed in bands of this many
// rows, each as wide as its own changes.
constexpr int64_t kChangedBandRows = 32;
// How many rows ahead such a rectangle's runs are fetched while comparing.
constexpr int64_t kAhead = 6;

// The parts of r (cut to the page, and to its row spans when it has them)
// where the work page differs from the visible page, appended to `out`: one
// rectangle for a plain one, one per band of rows that changed for one with
// spans. `runs` gets what is to be copied: the plain rectangle, or for one
// with spans each row's run from its first to its last changed pixel.
void ChangedParts(platform::ScreenRect r, const std::vector<int32_t>& spans, int64_t width,
                  int64_t height, std::vector<platform::ScreenRect>& out,
                  std::vector<platform::ScreenRect>& runs) {
  const uint32_t* work = platform::ScreenPagePixels(0);
  const uint32_t* shown = platform::ScreenPagePixels(1);
  if (!work || !shown) return;
  const int64_t x0 = std::max<int64_t>(r.x, 0), y0 = std::max<int64_t>(r.y, 0);
  const int64_t x1 = std::min<int64_t>(int64_t{r.x} + r.w, width);
  const int64_t y1 = std::min<int64_t>(int64_t{r.y} + r.h, height);
  if (x0 >= x1 || y0 >= y1) return;
  const bool banded = !spans.empty();
  int64_t top = -1, bottom = -1, left = x1, right = x0 - 1;
  auto flush = [&] {
    if (top < 0) return;
    out.push_back(platform::ScreenRect{static_cast<int32_t>(left), static_cast<int32_t>(top),
                                       static_cast<int32_t>(right - left + 1),
                                       static_cast<int32_t>(bottom - top + 1)});
    if (!banded) runs.push_back(out.back());
    top = bottom = -1;
    left = x1;
    right = x0 - 1;
  };
  for (int64_t y = y0; y < y1; ++y) {
    int64_t from = x0, to = x1;
    if (banded) {
      const size_t k = 2 * static_cast<size_t>(y - r.y);
      from = std::max<int64_t>(from, spans[k]);
      to = std::min<int64_t>(to, spans[k + 1]);
      if (top >= 0 && y - top >= kChangedBandRows) flush();
      // Short runs far apart: their pages are fetched a few rows ahead.
      if (y + kAhead < y1) {
        const int64_t at =
            (y + kAhead) * width + std::clamp<int64_t>(spans[k + 2 * kAhead], x0, x1 - 1);
        __builtin_prefetch(work + at);
        __builtin_prefetch(shown + at);
      }
    }
    if (from >= to) continue;
    const uint32_t* a = work + y * width;
    const uint32_t* b = shown + y * width;
    const int64_t l = FirstDifference(a, b, from, to);
    if (l == to) continue;
    const int64_t rr = LastDifference(a, b, l, to);
    if (banded)
      runs.push_back(platform::ScreenRect{static_cast<int32_t>(l), static_cast<int32_t>(y),
                                          static_cast<int32_t>(rr - l + 1), 1});
    if (top < 0) top = y;
    bottom = y;
    left = std::min(left, l);
    right = std::max(right, rr);
  }
  flush();
}

double FramePeriod() {
  if (platform::ScreenHeadless()) return 1.0 / std::max(TargetFps.load(), kMinTargetFps);
  return 1.0 / std::max(platform::DisplayRefreshRate(), 1);
}

double Elapsed(double from, double to) {
  double d = to - from;
  if (d < -1.0) d += 86400.0;
  return d < 0.0 ? 0.0 : d;
}

void MeasureRefreshRate() {
  const double t0 = Now();
  for (int i = 0; i < 10; ++i) WaitRetrace();
  const double dt = Now() - t0;
  platform::ScreenCopyPage(0, 1);
  if (dt <= 0.0) return;
  const auto rate = static_cast<float>(10.0 / dt);
  RefreshRate = static_cast<int32_t>(std::floor(rate + 0.5f));
}

}  // namespace

void MarkAllControlsDirty() {
  // The published flags, under each control's own lock: the control's record
  // belongs to the main thread.
  const int32_t count = ControlTableCount();
  for (int32_t i = 0; i < count; ++i) {
    ControlRecord* c = ControlAt(i);
    if (!c || !c->Render || !c->RenderLock) continue;
    platform::MutexGuard g(c->RenderLock);
    c->Render->Text.Changed = -1;
  }
  MarkWholeScreenDirty();
}

int32_t RenderFrame(bool whole) {
  int64_t width = 0, height = 0, depth = 0;
  platform::ScreenInfo(width, height, depth);
  if (width < 1 || height < 1) return 0;

  if (const FrameWatchFn begin = g_watchBegin.load()) begin();
  struct WatchEnd {
    ~WatchEnd() {
      if (const FrameWatchFn end = g_watchEnd.load()) end();
    }
  } watchEnd;
  MarkFocusChange();
  MarkLiveControls();
  std::vector<platform::ScreenRect> rects;
  std::vector<std::vector<int32_t>> rows;
  bool all = false;
  TakeDirtyRegion(rects, rows, all);
  if (whole || all) {
    RenderControlTree(0, 0, 0);
    rects.assign(1, platform::ScreenRect{0, 0, static_cast<int32_t>(width),
                                         static_cast<int32_t>(height)});
    rows.assign(1, {});
  } else {
    if (rects.empty()) return 0;
    for (size_t i = 0; i < rects.size(); ++i) {
      const auto& r = rects[i];
      RenderControlTreeIn(r.x, r.y, r.w, r.h, rows[i].empty() ? nullptr : rows[i].data());
    }
  }

  // Only what changed is copied and sent to the window.
  std::vector<platform::ScreenRect> changed, runs;
  for (size_t i = 0; i < rects.size(); ++i)
    ChangedParts(rects[i], rows[i], width, height, changed, runs);
  if (changed.empty()) return 0;
  {
    // A snapshot saved meanwhile by the main thread sees whole frames only.
    platform::WorkPageGuard page;
    platform::ScreenCopyRuns(0, 1, runs.data(), static_cast<int32_t>(runs.size()), changed.data(),
                             static_cast<int32_t>(changed.size()));
  }
  return static_cast<int32_t>(changed.size());
}

void SetFrameWatch(FrameWatchFn begin, FrameWatchFn end) {
  g_watchBegin.store(begin);
  g_watchEnd.store(end);
}

namespace {

// What was posted for a purged control and each of its descendants (the walk
// DestroyControlTree makes), so that nothing found for them reaches the
// controls made later in their slots, and those get their own texts.
void ForgetTreeTooltips(const ControlRecord* c) {
  std::vector<int32_t> children;
  {
    platform::MutexGuard g(c->ChildLock);
    if (c->Children.Ids) children.assign(c->Children.Ids, c->Children.Ids + c->Children.Count);
  }
  for (const int32_t id : children) {
    if (id < 1 || id == c->Id) continue;
    const ControlRecord* k = ControlAt(id);
    if (k && k->Parent == c->Id) ForgetTreeTooltips(k);
  }
  ForgetFoundTooltips(c->Id);
}

}  // namespace

void PurgeDeletedControls() {
  const int32_t count = ControlTableCount();
  for (int32_t i = 0; i < count; ++i) {
    ControlRecord* c = ControlAt(i);
    if (!c || !c->DeletePending) continue;
    if (c->Parent != i) {
      if (ControlRecord* p = ControlAt(c->Parent)) {
        platform::MutexGuard g(p->ChildLock);
        IdSetRemove(&p->Children, i);
      }
    }
    ForgetTreeTooltips(c);
    DestroyControlTree(c);
  }
}

std::string SnapshotName() { return "SNAP_" + QUARLE_BASICS::TimeStampText() + ".bmp"; }

int32_t SaveSnapshot(const std::string& folder) {
  const std::string path = folder + SnapshotName();
  // The data folder's start-up does not make this one.
  std::string dir = folder;
  while (!dir.empty() && dir.back() == '\\') dir.pop_back();
  if (!dir.empty() && !platform::FolderExists(dir)) platform::MakeFolder(dir);

  std::string bmp;
  {
    platform::MutexGuard draw(MT_DRAW);
    platform::WorkPageGuard page;
    if (!platform::ScreenVisibleBmp(bmp)) return -QUARLE_BASICS::kErrBadParameter;
  }

  // Written beside its name and moved there only when complete, by the saver:
  // a failed save leaves no half picture and keeps one saved before under
  // that name, and the frames go on meanwhile.
  platform::SaveRequest r;
  r.Target = path;
  r.Bytes = std::move(bmp);
  r.Done = [](int32_t rc) {
    if (rc != 0) SnapshotError = rc;
  };
  return platform::SaveInBackground(std::move(r));
}

void VideoThread() {
  platform::ThreadSetName("tarvelo-video");
  // StartVideoThread raised VideoRunFlag before the thread existed, so that a
  // stop coming before this line is not undone here.
  int32_t fps = TargetFps.load();
  if (fps < kMinTargetFps) fps = kMinTargetFps;
  if (fps > kMaxTargetFps) fps = kMaxTargetFps;
  TargetFps = fps;

  platform::ScreenSetPages(0, 1);
  VideoThreadActive = -1;

  WaitRetrace();
  int32_t frames = 0;
  int32_t idle = 0;
  double secondStart = Now();
  double lastWhole = secondStart;
  double nextTick = secondStart;
  MarkAllControlsDirty();
  g_lastFocused = 0;
  g_lastFocusMode = 0;

  while (VideoRunFlag.load() == -1) {
    bool shown = false;
    if (InterfaceReady.load() == -1) {
      VideoFrameSerial.fetch_add(1);
      if (PurgeRequest.load() == -1) {
        PurgeRequest = 0;
        PurgeDeletedControls();
        MarkWholeScreenDirty();
      }
      const double now = Now();
      const bool whole = Elapsed(lastWhole, now) >= kWholeRedrawPeriod;
      if (whole) lastWhole = now;
      // A frame with nothing to draw draws and copies nothing.
      shown = RenderFrame(whole) > 0;
      VideoFrameSerial.fetch_add(1);
    } else {
      WaitRetrace();
      platform::WorkPageGuard page;
      platform::ScreenCopyPage(0, 1);
      shown = true;
    }
    // A window resized or uncovered from outside shows the page again.
    if (!shown) platform::ScreenPresentIfExposed();
    {
      platform::MutexGuard g(MT_DRAW);
      platform::KeyBufferDrain();
    }
    if (InterfaceReady.load() == 0) Sleep(0.005);

    if (shown) ++frames;
    else ++idle;
    const double now = Now();
    if (const double second = Elapsed(secondStart, now); second >= 1.0) {
      // A pass that found the screen current showed a frame too: the display
      // keeps showing it. Only passes that come too slowly lower the rate,
      // counted per second so that a window a pass longer does not read 61.
      FrameRate = static_cast<int32_t>(std::lround((frames + idle) / second));
      IdleFrameRate = idle;
      frames = 0;
      idle = 0;
      secondStart = Now();
    }

    if (SnapshotRequest.load() == -1) {
      SnapshotRequest = 0;
      const int32_t r = SaveSnapshot(
          std::string(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder)) + "\\SNAPSHOTS\\");
      if (r != 0) SnapshotError = r;
    }

    // At most one frame per display refresh (TargetFps headless). A present
    // that waited for the retrace itself leaves nothing to wait here.
    nextTick += FramePeriod();
    const double after = Now();
    // Late by more than a frame, or the timer passed midnight: start anew.
    if (nextTick < after - FramePeriod() || nextTick > after + 1.0) nextTick = after;
    if (nextTick > after) Sleep(nextTick - after);
  }
  VideoThreadActive = 0;
}

int32_t StartVideoThread(int64_t measure) {
  if (VideoThreadHandle) return 0;
  if (measure == -1) MeasureRefreshRate();

  VideoRunFlag = -1;
  std::thread* t = nullptr;
  if (!g_failNextStart.exchange(false)) {
    try {
      t = new std::thread(VideoThread);
    } catch (const std::system_error&) {
      t = nullptr;
    } catch (const std::bad_alloc&) {
      t = nullptr;
    }
  }
  if (!t) {
    QUARLE_BASICS::Report(QUARLE_BASICS::LangText(102, "VIDEO THREAD STARTUP: ") +
                              QUARLE_BASICS::ErrorText(QUARLE_BASICS::kErrThreadCreate),
                          QUARLE_BASICS::kLevelError);
    return -QUARLE_BASICS::kErrThreadCreate;
  }
  VideoThreadHandle = t;
  VideoThreadStopper = StopVideoThread;
  return 0;
}

void StopVideoThread() {
  std::thread* t = VideoThreadHandle;
  InterfaceReady = 0;
  VideoRunFlag = 0;
  if (t) {
    if (t->joinable()) t->join();
    delete t;
  }
  VideoThreadHandle = nullptr;
  VideoThreadStopper = nullptr;
  if (t) platform::ScreenClose();
}

void FailNextVideoThreadStart() { g_failNextStart = true; }

void SetVideoClock(VideoClockFn clock, VideoSleepFn sleep) {
  g_clock.store(clock);
  g_sleep.store(sleep);
}

}  // namespace QUARLE_VISUALS
