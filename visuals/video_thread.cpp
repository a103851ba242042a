#include "visuals/video_thread.h"

#include <cmath>
#include <new>
#include <system_error>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/images.h"
#include "platform/paths.h"
#include "platform/screen.h"
#include "platform/threads.h"
#include "platform/video.h"
#include "visuals/control_table.h"
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
std::thread* VideoThreadHandle = nullptr;

namespace {

std::atomic<bool> g_failNextStart{false};

double Elapsed(double from, double to) {
  double d = to - from;
  if (d < -1.0) d += 86400.0;
  return d < 0.0 ? 0.0 : d;
}

void MeasureRefreshRate() {
  const double t0 = platform::HighResClock();
  for (int i = 0; i < 10; ++i) platform::WaitVerticalRetrace();
  const double dt = platform::HighResClock() - t0;
  platform::ScreenCopyPage(0, 1);
  if (dt <= 0.0) return;
  const auto rate = static_cast<float>(10.0 / dt);
  RefreshRate = static_cast<int32_t>(std::floor(rate + 0.5f));
}

}  // namespace

void MarkAllControlsDirty() {
  const int32_t count = ControlTableCount();
  for (int32_t i = 0; i < count; ++i) {
    if (ControlRecord* c = ControlAt(i)) c->Text.Changed = -1;
  }
}

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

    int32_t file = 0;
    int32_t e = 0;
    {
      platform::MutexGuard files(QUARLE_BASICS::MT_FILES);
      file = platform::FreeFile();
      if (file == 0) return -QUARLE_BASICS::kErrNoFreeFile;
      e = platform::FileOpen(file, path, platform::kFileOutput);
    }
    if (e != 0) return -e;
    const int32_t w = platform::FileWrite(file, bmp);
    const int32_t c = platform::FileClose(file);
    if (w != 0 || c != 0) {
      // No half-written picture is left behind.
      platform::FileDelete(path);
      return w != 0 ? w : c;
    }
  }
  return 0;
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

  platform::WaitVerticalRetrace();
  int32_t frames = 0;
  double secondStart = platform::HighResClock();
  MarkAllControlsDirty();

  while (VideoRunFlag.load() == -1) {
    if (InterfaceReady.load() == -1) {
      if (PurgeRequest.load() == -1) {
        PurgeRequest = 0;
        PurgeDeletedControls();
      }
      RenderControlTree(0, 0, 0);
    } else {
      platform::WaitVerticalRetrace();
    }
    {
      // A snapshot saved meanwhile by the main thread sees whole frames only.
      platform::WorkPageGuard page;
      platform::ScreenCopyPage(0, 1);
    }
    {
      platform::MutexGuard g(MT_DRAW);
      platform::KeyBufferDrain();
    }
    if (InterfaceReady.load() == 0) platform::SleepMs(5);

    ++frames;
    const double now = platform::HighResClock();
    if (Elapsed(secondStart, now) >= 1.0) {
      FrameRate = frames;
      frames = 0;
      secondStart = platform::HighResClock();
    }

    if (SnapshotRequest.load() == -1) {
      SnapshotRequest = 0;
      const int32_t r = SaveSnapshot(
          std::string(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder)) + "\\SNAPSHOTS\\");
      if (r != 0) SnapshotError = r;
    }
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

}  // namespace QUARLE_VISUALS
