// Every thread at once, as in a live set: the real audio thread renders a demo
// synth into OpenAL Soft's wave driver, a MIDI device plays notes and moves
// controllers (one bound to a module, one to the selection) through the MIDI
// thread, and the interface thread copies linked modules, links, unlinks,
// removes and switches off modules, types values, saves and loads, and is
// overloaded through the audio thread's test seam (after which Play must bring
// the stream back). Run under AddressSanitizer and ThreadSanitizer this is the
// proof that no thread frees or writes what another reads; here it checks that
// every save and load succeeds and every saved file loads back equal.
//
// TARVELO_STRESS_SECONDS sets how long it runs (CI: 45 s);
// TARVELO_STRESS_FIGURES names a file that receives the figures
// (tests/stress_soak.sh runs it for ten minutes).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/documents/synth_file.h"
#include "app/fixed_tables.h"
#include "app/state/history.h"
#include "app/state/system_messages.h"
#include "app/state/wave_library.h"
#include "audio/audio.h"
#include "audio/midi.h"
#include "audio/openal_env.h"
#include "audio/thread.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/params.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "platform/midi.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace QA = QUARLE_AUDIO;
namespace QB = QUARLE_BASICS;
namespace fs = std::filesystem;
using namespace Tarvelo;

namespace {

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::vector<unsigned char> Bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A synth file with the keyboard states' Changed words cleared: a load marks
// every state changed for the render, which clears the mark at its next frame,
// so a file saved at rest right after a load holds -1 where one saved while
// playing holds 0. Walks the sections before the states.
std::vector<unsigned char> WithoutChangeFlags(std::vector<unsigned char> b) {
  auto word = [&](size_t at) {
    int32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
  };
  size_t at = 4 + 23;  // the magic
  at += 4 + word(at);  // tuning folder
  at += 4 + word(at);  // tuning file
  at += 8;             // gains
  for (int32_t list = 0; list < 3; ++list) {  // samples, filters, melodies
    const int32_t n = word(at);
    at += 4;
    for (int32_t i = 0; i < n && at < b.size(); ++i) {
      if (list < 2) at += 4;
      at += 4 + word(at);
      at += 4 + word(at);
    }
  }
  at += 4;
  for (int32_t k = 0; k < 2 * 16; ++k) {
    const size_t changed = at + k * sizeof(KeyboardState) + offsetof(KeyboardState, Changed);
    if (changed + 4 <= b.size()) std::memset(b.data() + changed, 0, 4);
  }
  return b;
}

// The interface thread's turn of the event loop: every queue-0 message goes to
// the system-message handler, as the program's loop does.
QB::CommandMessage* g_fetch = nullptr;
QB::ArrayHeader g_fetchHeader;

// Start and stop reports taken so far.
int64_t g_starts = 0;
int64_t g_stops = 0;

void TakeMessages() {
  if (QB::FetchCommands(g_fetch, g_fetchHeader, QB::MainCommandQueue) != 0) return;
  for (int32_t i = 0; i < g_fetchHeader.count; ++i) {
    g_starts += g_fetch[i].type == QA::kAudioPlaybackOn;
    g_stops += g_fetch[i].type == QA::kAudioPlaybackOff;
    HandleSystemMessage(&g_fetch[i]);
  }
  TakeControllerMoves(false);
  ReclaimRemovedModules();
}

// The interface's loop until pred holds; false only past a bound that catches
// a hang (see audiotest::WaitUntil): a busy machine may take its time.
template <class Pred>
bool PumpUntil(Pred pred, double seconds) {
  const double end = Now() + std::max(seconds * audiotest::kSanitizerSlowdown, audiotest::kHangBound);
  while (!pred()) {
    if (Now() > end) return false;
    TakeMessages();
    platform::SleepMs(1);
  }
  return true;
}

// The Play button (the order is rebuilt, then the audio thread is asked), with
// the output connected again as a user would after an overload; true once
// the start is taken. A render slower than real time (ThreadSanitizer) may
// overload again at once.
bool PressPlay(ModuleRecord* output) {
  if (PlaybackActive.load() != 0) return true;
  if (SynthOutputModule.load() == nullptr && output != nullptr) RequestGraphRebuild(0, 0, output);
  UpdateProcessingOrder(~uint64_t{0});
  const int64_t starts = g_starts;
  audiotest::PostAudio(QA::kAudioPlaybackOn);
  return PumpUntil([&] { return g_starts > starts; }, 3.0);
}

int32_t g_param = 0;
int32_t SelectedParam() { return g_param; }

std::atomic<int32_t> g_overloadMessages{0};
void CountMessage(const std::string& text, int32_t) {
  if (text == "Playback: work overload!") g_overloadMessages.fetch_add(1);
}

struct Figures {
  int64_t frames = 0, saves = 0, loads = 0, checks = 0, copies = 0, links = 0, removals = 0, values = 0;
  int64_t overloads = 0, restarts = 0, faults = 0;
  int64_t stops = 0;  // every stop taken, overloads of a slow render among them
};

TEST(ThreadStress, AudioMidiAndInterfaceThreadsTogether) {
  audiotest::InFreshProcess([] {
    const char* secondsText = std::getenv("TARVELO_STRESS_SECONDS");
    const double seconds = secondsText != nullptr ? std::atof(secondsText) : 45.0;
    auto setup = audiotest::ConfigureOpenAl({}, "/dev/null");
    audiotest::SetUpFoundation();
    QB::MessageHook = CountMessage;
    const fs::path home = fs::path(setup.dir) / "Tarvelo";
    for (const char* sub : {"AUDIO/CONVERTED", "AUDIO/RECORDED", "FILTERS", "MELODIES", "SYNTHS", "TUNINGS"})
      fs::create_directories(home / sub);
    const std::string homeText = platform::FromOsPath(home.string());
    const std::string synths = homeText + "\\SYNTHS";
    QB::DynZStringAssign(QB::HomeFolder, homeText);
    SetProductIdentity();
    for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
    ASSERT_EQ(Tarvelo::init(48000.0f), 0);
    ASSERT_EQ(WaveLibraryListsCreate(), 0);
    ASSERT_EQ(ActionHistoryCreate(), 0);
    const fs::path demo = fs::path(TARVELO_PROGRAM_DIR) / "SYNTHS" / (std::string("DEMO ") + ProductVersion) /
                          "01 Poly Saw Pad.tarvelo";
    fs::copy_file(demo, home / "SYNTHS" / "demo.tarvelo");
    ASSERT_EQ(LoadSynth(synths, "demo.tarvelo"), 0);
    ASSERT_NE(SynthOutputModule.load(), nullptr);
    platform::MarkInterfaceThread();
    SelectedParamIndex = SelectedParam;

    // A controller bound to the first module's first value, one to the
    // selection's third.
    {
      platform::MutexGuard guard(MT_MIDIMAPS);
      std::strcpy(MidiMaps[0].DeviceName, "Dev A");
      MidiMapEntry& fixed = MidiMaps[0].Entries[7][0];
      fixed.Mode = kMidiFixedParam;
      fixed.Kind = kControllerStandard;
      fixed.Target = ModuleList.entries[0];
      fixed.Param = 0;
      MidiMapEntry& selected = MidiMaps[0].Entries[10][0];
      selected.Mode = kMidiParamOfSelected;
      selected.Kind = kControllerStandard;
      selected.Param = 2;
    }
    platform::MidiFakeRemoveAll();
    ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
    QA::MidiInCallback = &QA::MidiInProc;
    const int32_t device = platform::MidiFakePlug("Dev A");
    QA::CheckMidiDevices();

    QB::DynZStringAssign(QA::PlaybackSelectedName, "Wave File Writer");
    ASSERT_EQ(QA::init(&RenderAudio, &CaptureAudio, 48), 0);
    QA::PlaybackHandOver.store(true);
    std::thread* audio = nullptr;
    ASSERT_EQ(QA::StartAudioThread(audio, 48000, 10), 0);
    ModuleRecord* output = SynthOutputModule.load();
    ASSERT_TRUE(PressPlay(output));

    std::atomic<bool> stop{false};
    std::atomic<bool> quiet{false};
    std::thread midi([&] {
      for (int32_t i = 0; !stop.load(); ++i) {
        if (quiet.load()) {
          platform::SleepMs(1);
          continue;
        }
        const uint8_t key = static_cast<uint8_t>(48 + i % 24);
        const uint8_t value = static_cast<uint8_t>(i % 128);
        platform::MidiFakeSend(device, {0x90, key, 100, 0xB0, 7, value, 0xB0, 10, static_cast<uint8_t>(127 - value),
                                        0x80, key, 0});
        platform::SleepMs(1);
      }
    });

    Figures f;
    std::mt19937 rng(18);
    auto pick = [&](int32_t n) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(n)); };
    auto listed = [&](int32_t i) { return i >= 0 && i < ModuleList.count ? ModuleList.entries[i] : nullptr; };
    const double start = Now();
    double nextOverload = start + seconds / 4.0;
    double nextSave = start + 1.0;
    std::vector<ModuleRecord*> copies;
    int32_t round = 0;
    while (Now() - start < seconds) {
      ++round;
      TakeMessages();
      if (SynthOutputModule.load() != nullptr) output = SynthOutputModule.load();
      if (PlaybackActive.load() == 0 && !PressPlay(output)) {
        ++f.faults;
        ADD_FAILURE() << "Play did not start the stream";
      }
      const int32_t n = ModuleList.count;
      if (n < 2) continue;
      ModuleRecord* out = SynthOutputModule.load();
      ModuleRecord* some = listed(pick(n));
      switch (round % 6) {
        case 0: {  // a copy of a linked module, linked into the graph
          ModuleRecord* c = nullptr;
          if (some != out && AddModule(some->ListIndex, false, &c) >= 0) {
            ++f.copies;
            copies.push_back(c);
            ModuleRecord* target = listed(pick(ModuleList.count));
            if (target != nullptr && target != c && target->PortCount > 0) {
              PostLinkInput(target, pick(target->PortCount), c, target->Type);
              ++f.links;
            }
          }
          break;
        }
        case 1: {  // link a copy's port and unlink it again
          if (copies.empty() || copies.back()->PortCount < 1) break;
          ModuleRecord* c = copies.back();
          const int32_t port = pick(c->PortCount);
          PostLinkInput(c, port, some, c->Type);
          PostLinkInput(c, port, some, c->Type);
          f.links += 2;
          break;
        }
        case 2: {  // switch one off for a while, or on again
          std::atomic_ref<int64_t>(some->ModuleSwitches[kSwitchPower]).store(round % 12 == 2 ? 0 : -1);
          RequestGraphRebuild(0, 0, nullptr);
          break;
        }
        case 3: {  // values typed on the module page and moved by the selection's controller
          SelectedModule = some;
          g_param = some->ParamCount > 0 ? pick(some->ParamCount) : 0;
          if (some->ParamCount > 0 && some->Params[g_param].Scale != 0.0f) {
            ModuleParam& p = some->Params[g_param];
            float shown = (p.RangeLow + (p.RangeHigh - p.RangeLow) * static_cast<float>(pick(100)) / 100.0f) * p.Scale;
            OnParamValueChange(&shown);
            ApplySelectedControllerMove(kMidiSelectedParam, g_param, static_cast<float>(pick(128)) / 127.0f, 0);
            f.values += 2;
          }
          break;
        }
        case 4: {  // a copy goes
          if (copies.size() > 3) {
            ModuleRecord* c = copies.front();
            copies.erase(copies.begin());
            if (c->ListIndex >= 0) {
              RemoveModule(c);
              ++f.removals;
            }
          }
          break;
        }
        default:
          break;
      }

      if (Now() >= nextSave) {
        nextSave = Now() + 0.5;
        copies.clear();  // a load replaces every module
        if (f.saves % 4 == 3) {
          // Loaded back equal: a file saved while playing, loaded with the
          // stream and the devices at rest and saved again, is the same bytes
          // (while playing, the synth would play on between the two saves).
          quiet = true;
          const bool saved = SaveSession(synths, "check_a.tarvelo") == 0;
          platform::MidiInFlush(audiotest::kHangBound);
          audiotest::PostAudio(QA::kAudioPlaybackOff);
          if (!PumpUntil([] { return PlaybackActive.load() == 0; }, 3.0)) ADD_FAILURE() << "did not stop";
          const bool loaded = saved && LoadSynth(synths, "check_a.tarvelo") == 0;
          const bool again = loaded && SaveSession(synths, "check_b.tarvelo") == 0;
          output = SynthOutputModule.load();
          if (!PressPlay(output)) ADD_FAILURE() << "did not start";
          f.saves += saved + again;
          f.loads += loaded;
          ++f.checks;
          const auto a = WithoutChangeFlags(Bytes(home / "SYNTHS" / "check_a.tarvelo"));
          const auto b = WithoutChangeFlags(Bytes(home / "SYNTHS" / "check_b.tarvelo"));
          if (!again || a != b) {
            ++f.faults;
            size_t at = 0;
            while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
            ADD_FAILURE() << "loaded back different: " << a.size() << " and " << b.size() << " bytes, first at " << at;
          }
          quiet = false;
        } else {
          if (SaveSession(synths, "stress.tarvelo") == 0)
            ++f.saves;
          else
            ++f.faults;
          if (LoadSynth(synths, f.loads % 2 ? "stress.tarvelo" : "demo.tarvelo") == 0)
            ++f.loads;
          else
            ++f.faults;
        }
      }

      if (SynthOutputModule.load() != nullptr) output = SynthOutputModule.load();  // a load made a new one
      if (Now() >= nextOverload) {
        nextOverload = Now() + seconds / 4.0;
        // Overloaded: the stream stops, then the interface takes the graph
        // and disconnects the output; Play brings the stream back. A render
        // slower than real time (sanitizers on a busy machine) may overload
        // by itself first, and the forced overload waits for a playing
        // stream: Play again until the audio thread has taken it.
        const int32_t before = g_overloadMessages.load();
        QA::ForceOverload.store(true);
        if (!PumpUntil([&] {
              if (QA::ForceOverload.load()) {
                if (PlaybackActive.load() == 0) PressPlay(output);
                return false;
              }
              return g_overloadMessages.load() > before && PlaybackActive.load() == 0 &&
                     SynthOutputModule.load() == nullptr;
            },
            5.0)) {
          ++f.faults;
          ADD_FAILURE() << "the overload was not handed over";
        }
        QA::ForceOverload.store(false);
        ++f.overloads;
        // The stream is back once it renders again; an overload of the slow
        // render itself right after the start is another stop, not a fault.
        bool back = false;
        for (int32_t attempt = 0; attempt < 3 && !back; ++attempt) {
          const uint64_t frames = FrameCounter.load();
          back = PressPlay(output) &&
                 PumpUntil([&] { return FrameCounter.load() > frames + 960 || PlaybackActive.load() == 0; }, 5.0) &&
                 FrameCounter.load() > frames + 960;
        }
        if (back) {
          ++f.restarts;
        } else {
          ++f.faults;
          ADD_FAILURE() << "Play did not bring the stream back";
        }
      }
    }

    stop = true;
    midi.join();
    audiotest::PostAudio(QA::kAudioPlaybackOff);
    PumpUntil([] { return PlaybackActive.load() == 0; }, 3.0);
    audiotest::PostAudio(QA::kAudioQuit);
    QA::WaitAudioThread(audio);
    TakeMessages();
    f.frames = static_cast<int64_t>(FrameCounter.load());
    f.stops = g_stops;
    platform::MidiInFlush(audiotest::kHangBound);
    QA::CloseMidiInput();
    platform::MidiFakeRemoveAll();
    TakeControllerMoves(false);
    platform::ForgetInterfaceThread();

    char line[400];
    std::snprintf(line, sizeof line,
                  "%.0f s: %lld frames, %lld saves, %lld loads (%lld loaded back and compared), %lld copies, "
                  "%lld links and unlinks, %lld removals, %lld value moves, %lld forced overloads and %lld "
                  "restarts after them, %lld stops in all, %lld faults\n",
                  Now() - start, static_cast<long long>(f.frames), static_cast<long long>(f.saves),
                  static_cast<long long>(f.loads), static_cast<long long>(f.checks),
                  static_cast<long long>(f.copies), static_cast<long long>(f.links),
                  static_cast<long long>(f.removals), static_cast<long long>(f.values),
                  static_cast<long long>(f.overloads), static_cast<long long>(f.restarts),
                  static_cast<long long>(f.stops),
                  static_cast<long long>(f.faults));
    std::fputs(line, stderr);
    if (const char* figures = std::getenv("TARVELO_STRESS_FIGURES")) {
      std::ofstream outFile(figures, std::ios::app);
      outFile << line;
    }
    EXPECT_EQ(f.faults, 0);
    // The stream ran, and ran again after every restart (each one is taken
    // only once 960 more frames were rendered), however slow the render of a
    // sanitizer or a busy machine.
    EXPECT_GT(f.frames, 960 * f.restarts);
    EXPECT_GT(f.frames, 0);
    EXPECT_GT(f.checks, 0);
    EXPECT_GT(f.overloads, 0);
    EXPECT_EQ(f.restarts, f.overloads);

    ScopeBlockRingFree();
    ActionHistoryFree();
    WaveLibraryListsFree();
    QA::CloseAudio();
    Tarvelo::close();
  });
}

}  // namespace
