// The program's end on a slow, busy or pulled-out stick, as a logout meets it:
// the program runs in this process as its main runs it (HOME, its data folder,
// on the stick), a take of its output starts as REC's press starts it, and a
// quit signal comes after SECONDS. Every report the program makes is printed
// with the seconds since the take's start, so what the window's status line
// said is seen even when the stick that holds the log is gone.
//
//   bench_end_slow_disk PROGRAM_DIR SESSION SECONDS [--save AT]
//     --save AT: a Ctrl+S of the session AT seconds into the take.
//
// Prints `take t=0`, `ctrl-s t=..`, `signal t=..`, `report t=.. level=.. TEXT`
// and `status t=.. TEXT` (what the status line put up) lines;
// bench/end_slow_disk.sh times the process's end and reads the take.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/startup.h"
#include "app/startup_hooks.h"
#include "app/state/settings.h"
#include "app/state/system_messages.h"
#include "app/state/ui_hooks.h"
#include "audio/audio.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "platform/paths.h"
#include "ui/build/frame.h"
#include "visuals/event_loop.h"

namespace {

using Clock = std::chrono::steady_clock;

// one thread: start-up, set before the run
double g_signalAfter = 60.0;
double g_saveAt = -1.0;
std::atomic<int64_t> g_takeStart{0};
QUARLE_BASICS::MessageHookFn g_logHook = nullptr;  // one thread: start-up, set at step 41

double Since() {
  const int64_t start = g_takeStart.load();
  if (start == 0) return -1.0;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - static_cast<double>(start) / 1e6;
}

void Print(const std::string& text, int32_t level) {
  std::printf("report t=%.1f level=%d %s\n", Since(), level, text.c_str());
  std::fflush(stdout);
  if (g_logHook) g_logHook(text, level);
}

// one thread: interface, the status line's own setter
void (*g_setText)(int32_t, const std::string&) = nullptr;

// What the status line shows, as it is put up.
void SetText(int32_t id, const std::string& text) {
  if (id == Tarvelo::StateControlId(Tarvelo::kSlotMessageBox)) {
    std::printf("status t=%.1f %s\n", Since(), text.c_str());
    std::fflush(stdout);
  }
  if (g_setText) g_setText(id, text);
}

void AtStep(int32_t step) {
  if (step != 41) return;
  g_logHook = QUARLE_BASICS::MessageHook;
  QUARLE_BASICS::MessageHook = Print;
  g_setText = Tarvelo::StateUi.SetText;
  Tarvelo::StateUi.SetText = SetText;
  QUARLE_BASICS::CommandMessage m{};
  m.type = QUARLE_AUDIO::kAudioPlaybackDevice;  // the first the driver lists
  m.single1 = 1.0f;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  m.type = QUARLE_AUDIO::kAudioPlaybackOn;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  m.type = QUARLE_AUDIO::kAudioRecordStart;
  m.word2 = reinterpret_cast<uintptr_t>(strdup("logout"));
  m.arg2 = ++Tarvelo::RecordingTake;
  QUARLE_BASICS::PostCommand(m, QUARLE_BASICS::AudioCommandQueue, -1);
  Tarvelo::OutputRecording = -1;
  g_takeStart.store(static_cast<int64_t>(
      std::chrono::duration<double>(Clock::now().time_since_epoch()).count() * 1e6));
  std::printf("take t=0\n");
  std::fflush(stdout);
  std::thread([] {
    if (g_saveAt >= 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(g_saveAt));
      // Ctrl+S: a click of the button the key stands for.
      QUARLE_BASICS::CommandMessage c{};
      c.type = QUARLE_BASICS::kCommandControlEvent;
      c.arg2 = static_cast<uint32_t>(QUARLE_VISUALS::KeyShortcutTable[Tarvelo::kKeyCtrlS]);
      c.arg5 = 8;
      QUARLE_BASICS::PostCommand(c, QUARLE_BASICS::MainCommandQueue, -1);
      std::printf("ctrl-s t=%.1f\n", Since());
      std::fflush(stdout);
    }
    while (Since() < g_signalAfter) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("signal t=%.1f\n", Since());
    std::fflush(stdout);
    ::kill(::getpid(), SIGTERM);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s PROGRAM_DIR SESSION SECONDS [--save AT]\n", argv[0]);
    return 2;
  }
  g_signalAfter = std::atof(argv[3]);
  for (int i = 4; i + 1 < argc; i += 2)
    if (std::strcmp(argv[i], "--save") == 0) g_saveAt = std::atof(argv[i + 1]);
  if (chdir(argv[1]) != 0) return 2;
  // The program's own files (fonts, demos) are beside the program, not this bench.
  platform::SetProgramFolderOverride(argv[1]);
  std::string self = std::string(argv[1]) + "/tarvelo";
  std::string session = argv[2];
  char* args[] = {self.data(), session.data(), nullptr};
  Tarvelo::Startup.BeforeStep = AtStep;
  Tarvelo::Main(2, args);
}
