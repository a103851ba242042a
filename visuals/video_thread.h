// The video thread: it draws the whole interface. While the interface is ready
// it redraws on the work page (page 0) what changed since the last frame (see
// visuals/dirty_region.h), copies the pixels that differ to the visible page
// (page 1) and shows them, destroys the controls flagged for deletion between
// two frames (on PurgeRequest), empties the window's key buffer, counts the
// frames shown per second and saves a screen snapshot on request. A frame in
// which nothing changed draws and copies nothing. It wakes once per display
// refresh (TargetFps times a second headless); while the interface is not ready
// it copies the whole page each time and sleeps 5 ms more.
//
// The flags below are written by one thread and polled by the other.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace QUARLE_VISUALS {

// -1 while the thread is to run; StopVideoThread clears it.
extern std::atomic<int64_t> VideoRunFlag;
// -1 while the thread's loop runs.
extern std::atomic<int64_t> VideoThreadActive;
// -1 once the interface is built; frames are rendered only while it is set.
extern std::atomic<int64_t> InterfaceReady;
// -1 asks for the destruction of the controls flagged DeletePending before the
// next frame.
extern std::atomic<int64_t> PurgeRequest;
// -1 asks for a snapshot (HomeFolder + "\SNAPSHOTS\") after the next frame.
extern std::atomic<int64_t> SnapshotRequest;
// The code of the last requested snapshot that could not be saved, 0 when
// none; the main thread reports it and clears it.
extern std::atomic<int32_t> SnapshotError;
// Nominal frame rate (60; clamped to 25..144 when the thread starts), frames
// shown in the last full second (passes that drew and passes that found the
// screen current alike), the display's measured refresh rate.
extern std::atomic<int32_t> TargetFps;
extern std::atomic<int32_t> FrameRate;
extern std::atomic<int32_t> RefreshRate;
// Passes in the last full second that found nothing to draw (counted in
// FrameRate as well).
extern std::atomic<int32_t> IdleFrameRate;
// The running thread; null when none exists.
// one thread: interface, StartVideoThread and StopVideoThread run there
extern std::thread* VideoThreadHandle;
// Advanced by the thread when a pass that may draw (and purge) starts and
// again when it ends: odd while one is in progress. What the interface takes
// away is freed only once a pass in progress at that time is over.
extern std::atomic<uint64_t> VideoFrameSerial;

constexpr int32_t kMinTargetFps = 25;
constexpr int32_t kMaxTargetFps = 144;

// With measure -1 first measures the refresh rate over 10 retraces; then starts
// the thread. 0; -29 when the thread cannot be made (reported). A thread that
// already runs is kept (0).
int32_t StartVideoThread(int64_t measure);
// Clears InterfaceReady and VideoRunFlag, waits for the thread to end and, when
// one existed, closes the graphics window.
void StopVideoThread();
// The thread's procedure.
void VideoThread();
// Every control's published update flags set and the whole screen marked, so
// everything is drawn anew.
void MarkAllControlsDirty();
// One frame of the thread: redraws what was marked (everything with whole) and
// copies and shows the pixels that changed. The number of rectangles shown; 0
// when nothing was drawn or nothing changed.
int32_t RenderFrame(bool whole);
// A view whose picture follows shared state that no control publishes (the
// synth plane's cables) watches that state itself: `begin` runs on the video
// thread at the start of each frame, before the marked region is taken, and
// marks what changed; `end` runs once the frame is drawn. Null: none.
using FrameWatchFn = void (*)();
void SetFrameWatch(FrameWatchFn begin, FrameWatchFn end);
// Destroys the controls flagged DeletePending, each with its subtree, after
// taking it out of its parent's children. The video thread does it between
// frames on PurgeRequest.
void PurgeDeletedControls();
// Saves the visible screen as "SNAP_" + time stamp + ".bmp" in the folder (a
// system path ending in "\"; made when missing), through the saver (a failure
// it meets later goes to SnapshotError). 0; -19 without a screen; when no
// saver runs, the negated error of the file's creation or writing.
int32_t SaveSnapshot(const std::string& folder);
// The name the next snapshot gets: "SNAP_yyyymmdd-hhhmmmss.bmp".
std::string SnapshotName();

// The clock (seconds) the thread paces, measures and counts its frames by, and
// its sleep: the high-resolution clock and a real sleep unless replaced (tests
// drive the thread on a clock of their own). Null restores the real one.
using VideoClockFn = double (*)();
using VideoSleepFn = void (*)(double seconds);
void SetVideoClock(VideoClockFn clock, VideoSleepFn sleep);

// Test hook: the next start fails as if no thread could be made.
void FailNextVideoThreadStart();

}  // namespace QUARLE_VISUALS
