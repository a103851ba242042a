// The live interface driven through the real event loop, as a user's pointer
// and keys drive it, with the other threads of the running program on demand:
// the real video thread drawing and a render thread playing the synth. The
// interface differential and the enumerated click test build on it; under
// ThreadSanitizer any word two of these threads touch without an owner fails
// the run.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/state/console.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/ui_hooks.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/thread.h"
#include "basics/program.h"
#include "engine/command.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "platform/events.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/panels/install.h"
#include "ui/views/install.h"
#include "ui/views/partial_frame_fixture.h"
#include "visuals/control_table.h"
#include "visuals/renderer.h"
#include "visuals/video_thread.h"

namespace uithreads {

namespace V = QUARLE_VISUALS;

// A positive count from the environment, else the fallback.
inline int32_t EnvCount(const char* name, int32_t fallback) {
  const char* v = std::getenv(name);
  const int32_t n = v ? std::atoi(v) : 0;
  return n > 0 ? n : fallback;
}

inline double StillClock() { return 1000.0; }

// Reports as the running program takes them: kept in the message console and,
// with the video thread running, put up on the status line, which another
// thread hands to the interface thread through queue 0.
struct RunningProgram {
  Tarvelo::StateUiHooks hooks = Tarvelo::StateUi;
  RunningProgram() {
    auto set = [] { return int64_t{-1}; };
    Tarvelo::StateUi.VideoRunFlag = set;
    Tarvelo::StateUi.VideoLoopActive = set;
    Tarvelo::StateUi.InterfaceReady = set;
    platform::MarkInterfaceThread();
    EXPECT_EQ(Tarvelo::MessageConsoleCreate(), 0);
    QUARLE_BASICS::MessageHook = Tarvelo::LogMessageHook;
  }
  ~RunningProgram() {
    QUARLE_BASICS::MessageHook = uitest::Capture;
    Tarvelo::MessageConsoleFree();
    Tarvelo::StateUi = hooks;
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
};

// Four short notes in a 0.05-s melody, beat 1 (the tempo 1 plays it as
// recorded), in the melody list.
inline Tarvelo::WaveLibraryEntry* ShortMelody() {
  EXPECT_EQ(Tarvelo::WaveLibraryListReserve(Tarvelo::MelodyLibrary), 0);
  Tarvelo::WaveLibraryEntry* e = Tarvelo::WaveLibraryEntryNew();
  QUARLE_BASICS::DynZStringAssign(e->File, "short.mel");
  constexpr int32_t kNotes = 4;
  e->Sound.dataSize = (6 + 4 * kNotes) * 4;
  e->Sound.samples = static_cast<float*>(std::calloc(6 + 4 * kNotes, sizeof(float)));
  float* d = e->Sound.samples;
  d[0] = kNotes;
  d[1] = kNotes;
  d[3] = 1.0f;
  d[5] = 0.05f;
  for (int32_t k = 0; k < kNotes; ++k) {
    float* n = d + 6 + 4 * k;
    n[0] = 0.01f;
    n[1] = 0.01f * static_cast<float>(k + 1);
    n[2] = 1.0f;
    n[3] = 0.0125f * static_cast<float>(k);
    d[2] += n[0];
  }
  e->Pitch[0] = 1.0f;
  e->Duration.Store(0.05f);
  e->LoadState = Tarvelo::kWaveDataHeld;
  e->State.Store(Tarvelo::kWaveIdle);
  e->ListIndex = Tarvelo::MelodyLibrary.header.count;
  Tarvelo::WaveLibraryListCommit(Tarvelo::MelodyLibrary, e);
  return e;
}

class ThreadedUiTest : public viewsc::PartialFrameTest {
 protected:
  void BeforeBuild() override {
    PartialFrameTest::BeforeBuild();
    Tarvelo::InstallViewCallbacksA();
    Tarvelo::InstallViewCallbacksB();
    Tarvelo::InstallPanelHandlersA();
    Tarvelo::InstallPanelHandlersB();
  }
  void SetUp() override {
    PartialFrameTest::SetUp();
    if (HasFatalFailure()) return;
    quit = V::CloseRequestTarget;
    V::CloseRequestTarget = 0;  // the window's close ends a run of the loop
    V::CpuSaving = 0;
    V::SetGuiClock(StillClock);  // no tick: the memory read-out stays as it is
    V::SystemMessageHandler = Tarvelo::HandleSystemMessage;
  }
  // A home folder of the test's own (HOME and the synth's folders), made
  // before the interface is built; EnterHome points the program at it once
  // it is, with empty sample lists and no auto-save; LeaveHome after the
  // interface went.
  void MakeHome(const std::string& name) {
    home = std::filesystem::temp_directory_path() / (name + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(home);
    // The folders start-up makes: a take is written to AUDIO/RECORDED.
    for (const char* sub : {"SYNTHS", "AUDIO/CONVERTED", "AUDIO/RECORDED", "MELODIES", "TUNINGS", "FILTERS"})
      std::filesystem::create_directories(home / sub);
    if (const char* h = std::getenv("HOME")) oldHome = h;
    setenv("HOME", home.c_str(), 1);
  }
  void EnterHome() {
    QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(home.string()));
    ASSERT_EQ(Tarvelo::WaveLibraryListsCreate(), 0);
    Tarvelo::Settings.AutoSave = 0;
    Tarvelo::SessionFolder = platform::FromOsPath((home / "SYNTHS").string());
  }
  void LeaveHome() {
    setenv("HOME", oldHome.c_str(), 1);
    std::error_code gone;
    std::filesystem::remove_all(home, gone);
  }
  std::filesystem::path home;
  std::string oldHome;

  void TearDown() override {
    if (render.joinable() || audio) StopThreads();
    platform::WindowEventsClear();
    V::SystemMessageHandler = V::DefaultSystemMessageHandler;
    V::SetGuiClock(nullptr);
    V::Pointer = V::PointerState{};
    PartialFrameTest::TearDown();
  }

  // The loop over what was injected, then over what its handlers posted.
  // Without an audio thread (StartAudioThread) its commands are dropped, a
  // recording's name block with them.
  static void RunLoop() {
    for (int32_t pass = 0; pass < 8; ++pass) {
      platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
      V::GuiMessageLoop();
      if (!g_audioThread)
        for (const QUARLE_BASICS::CommandMessage& m : Drain(QUARLE_BASICS::AudioCommandQueue))
          if (m.type == QUARLE_AUDIO::kAudioRecordStart)
            std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(m.word2)));
      if (QUARLE_BASICS::CommandQueuePending(0) == 0) break;
    }
  }

  void MoveTo(int32_t x, int32_t y) {
    platform::WindowEventInject(platform::PointerMoveEvent(x, y, x - px, y - py));
    px = x;
    py = y;
  }
  static void Button(platform::WindowEventKind kind) {
    platform::WindowEventInject(platform::ButtonEvent(kind, platform::kButtonLeft));
  }
  static void Key(uint32_t scan, uint32_t ascii) {
    platform::WindowEventInject(platform::KeyPressEvent(scan, ascii));
    platform::WindowEventInject(platform::KeyReleaseEvent(scan, ascii));
  }
  void Wheel(int32_t by) {
    wheel += by;
    platform::WindowEventInject(platform::WheelEvent(wheel));
  }
  // Pressed and released at (x, y), judged after each.
  template <typename Judge>
  void ClickAt(int32_t x, int32_t y, Judge&& judge) {
    MoveTo(x, y);
    Button(platform::kWindowButtonPress);
    judge();
    Button(platform::kWindowButtonRelease);
    judge();
  }
  // A click on the named control's middle through the event loop, judged
  // pressed and released; nothing when it is not shown.
  template <typename Judge>
  void Tap(const char* name, Judge&& judge) {
    const int32_t id = Find(name);
    if (id <= 0 || !OnScreen(id)) return;
    ClickAt(C(id)->X + C(id)->W / 2, C(id)->Y + C(id)->H / 2, judge);
  }
  // Shown, and some of it on the screen.
  static bool Reachable(int32_t id) {
    const V::ControlRecord* c = C(id);
    return c && OnScreen(id) && c->W > 0 && c->H > 0 && c->X < kW && c->Y < kH &&
           c->X + c->W > 0 && c->Y + c->H > 0;
  }
  static void Show(int32_t window, int64_t visible) {
    V::ControlSetVisible(C(V::WindowList[window]), visible);
    V::UpdateControl(V::WindowList[window], 0);
  }

  // The program's own audio thread on OpenAL Soft's null device, which takes
  // the stream at the device's pace and plays nothing: the interface's audio
  // commands (output power, Rec, the buffer length) reach it and its reports
  // come back to queue 0, where the playback reports hand the graph over.
  // Before StartRenderAndVideo(false); StopThreads ends it after the video
  // thread.
  void StartAudioThread() {
    // Read once, at the process's first OpenAL call.
    setenv("ALSOFT_DRIVERS", "null", 1);
    QUARLE_AUDIO::AutoConnect = -1;
    QUARLE_AUDIO::UseDefaultDevice = -1;
    ASSERT_EQ(QUARLE_AUDIO::init(Tarvelo::RenderAudio, nullptr, 48), 0);
    QUARLE_AUDIO::PlaybackHandOver.store(true);
    g_audioThread = true;
    ASSERT_EQ(QUARLE_AUDIO::StartAudioThread(audio, 48000, 10), 0);
  }
  void StopAudioThread() {
    if (!audio) return;
    QUARLE_BASICS::CommandMessage quitAudio{};
    quitAudio.type = QUARLE_AUDIO::kAudioQuit;
    QUARLE_BASICS::PostCommand(quitAudio, QUARLE_BASICS::AudioCommandQueue, -1);
    QUARLE_AUDIO::WaitAudioThread(audio);
    g_audioThread = false;
    QUARLE_AUDIO::PlaybackHandOver.store(false);
    Tarvelo::PlaybackActive = 0;
    Tarvelo::CaptureActive = 0;
    RunLoop();
    for (const QUARLE_BASICS::CommandMessage& m : Drain(QUARLE_BASICS::AudioCommandQueue))
      if (m.type == QUARLE_AUDIO::kAudioRecordStart)
        std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(m.word2)));
    QUARLE_AUDIO::CloseAudio();
    QUARLE_AUDIO::AutoConnect = 0;
    QUARLE_AUDIO::UseDefaultDevice = 0;
  }

  // The render playing whatever the synth output is and the video thread
  // drawing (the links are the caller's, made before); only the video thread
  // when `withRender` is false (the audio thread renders).
  void StartRenderAndVideo(bool withRender = true) {
    // The locks the program makes at its start and these tests do not.
    for (platform::Mutex*& m : Tarvelo::MT_TUNINGS)
      if (!m) ownLocks.push_back(&(m = platform::MutexCreate()));
    if (!QUARLE_AUDIO::MT_AUDIO) ownLocks.push_back(&(QUARLE_AUDIO::MT_AUDIO = platform::MutexCreate()));
    if (!Tarvelo::MT_MIDIMAPS) ownLocks.push_back(&(Tarvelo::MT_MIDIMAPS = platform::MutexCreate()));
    Tarvelo::UpdateProcessingOrder(0);
    if (withRender) StartRender();
    V::SetFrameWatch(CountingFrameBegin, Tarvelo::EndCableFrame);
    V::InterfaceReady = -1;
    ASSERT_EQ(V::StartVideoThread(0), 0);
    ASSERT_TRUE(NextFrame());
  }
  void StartRender() {
    Tarvelo::PlaybackActive = -1;
    stopRender = false;
    render = std::thread([this] {
      float buffer[128];
      float* stream = buffer;
      while (!stopRender.load()) {
        Tarvelo::RenderAudio(&stream, 0, 128);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  void StopThreads() {
    // The video thread's meters take the audio lock, which the audio library's
    // close destroys.
    V::StopVideoThread();
    StopAudioThread();
    V::SetFrameWatch(Tarvelo::BeginCableFrame, Tarvelo::EndCableFrame);
    stopRender = true;
    if (render.joinable()) render.join();
    Tarvelo::PlaybackActive = 0;
    Tarvelo::RunPendingEngineCommands();
    Tarvelo::TakeControllerMoves(false);
    RunLoop();
    for (platform::Mutex** m : ownLocks) {
      platform::MutexDestroy(*m);
      *m = nullptr;
    }
    ownLocks.clear();
    // The thread closed the screen it drew on.
    ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
    V::RenderFrame(true);
  }
  // Waits until the video thread begins another frame; false after the hang bound.
  static bool NextFrame() { return uitest::WaitPast(g_framesBegun); }
  static void CountingFrameBegin() {
    g_framesBegun.fetch_add(1);
    Tarvelo::BeginCableFrame();
  }
  static inline std::atomic<int64_t> g_framesBegun{0};

  std::vector<platform::Mutex**> ownLocks;
  std::atomic<bool> stopRender{false};
  std::thread render;
  std::thread* audio = nullptr;
  static inline bool g_audioThread = false;  // one thread: interface, the test's

  int32_t quit = 0;
  int32_t px = 0, py = 0, wheel = 0;
};

}  // namespace uithreads
