#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "audio/audio.h"
#include "engine/midimap.h"
#include "engine/tuning.h"
#include "module_fixture.h"

using namespace Tarvelo;
using tarvelo_test::EngineTest;
using tarvelo_test::Messages;

namespace {

constexpr int32_t kSample = 1;
constexpr int32_t kMelodyGenerator = 30;
constexpr int32_t kAddition = 33;
constexpr int32_t kRectifier = 41;

using CommandTest = EngineTest;

// A render that only runs the mailbox, frame after frame, while playback is
// on, until it goes out of scope.
class CommandRender {
 public:
  CommandRender() {
    PlaybackActive = -1;
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        RenderBusy = 1;
        ExecuteEngineCommand();
        FrameCounter.fetch_add(1);
        RenderBusy = 0;
      }
    });
  }
  ~CommandRender() {
    stop_ = true;
    thread_.join();
    PlaybackActive = 0;
  }
  CommandRender(const CommandRender&) = delete;
  CommandRender& operator=(const CommandRender&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(CommandTest, PlaybackOnPostsForTheNextFrame) {
  ModuleRecord* a = Add(kAddition);
  ModuleRecord* b = Add(kRectifier);
  RequestGraphRebuild(0, 0, a);
  PlaybackActive = -1;
  PostLinkInput(a, 0, b, kAddition);
  EXPECT_EQ(EngineCommand.State.load(), kCommandPosted);
  EXPECT_EQ(EngineCommand.Kind, kCommandLink);
  EXPECT_EQ(a->PortSources[0].Load(), a->PortValueModules[0]);  // not yet
  ExecuteEngineCommand();
  EXPECT_EQ(a->PortSources[0].Load(), b);
  EXPECT_EQ(EngineCommand.State.load(), kCommandIdle);
  EXPECT_EQ(EngineCommand.Kind, kCommandRebuild);
  EXPECT_EQ(IsModuleLive(b, 0), 1);
  EXPECT_EQ(IsModuleLive(a->PortValueModules[1], 0), 0);
  // A rebuild-only command just rebuilds.
  RequestGraphRebuild(~uint64_t{0}, 0, nullptr);
  EXPECT_EQ(EngineCommand.State.load(), kCommandPosted);
  EXPECT_TRUE(ModuleInOrder(ProcessingOrder.load(), b));
  ExecuteEngineCommand();
  EXPECT_FALSE(ModuleInOrder(ProcessingOrder.load(), b));
  EXPECT_EQ(a->PortSources[0].Load(), b);
}

TEST_F(CommandTest, ABusyMailboxQueuesInsteadOfOverwriting) {
  CommandSlotWait = 0.05;
  ModuleRecord* a = Add(kAddition);
  ModuleRecord* b = Add(kRectifier);
  ModuleRecord* c = Add(kRectifier);
  RequestGraphRebuild(0, 0, a);
  PlaybackActive = -1;
  PostLinkInput(a, 0, b, kAddition);
  PostLinkInput(a, 1, c, kAddition);  // the audio thread has not run: waits, then queues
  PostLinkInput(a, 0, b, kAddition);  // and this one unlinks port 0 again, after the first
  EXPECT_EQ(EngineCommandsQueued(), 2);
  ASSERT_FALSE(Messages().empty());
  EXPECT_EQ(Messages()[0].second, QUARLE_BASICS::kLevelWarning);
  EXPECT_EQ(EngineCommand.Module.Load(), a);
  EXPECT_EQ(EngineCommand.Source.Load(), b);  // the pending command is intact
  EXPECT_TRUE(EngineCommandReferences(c));
  ExecuteEngineCommand();
  EXPECT_EQ(a->PortSources[0].Load(), b);
  EXPECT_EQ(EngineCommand.State.load(), kCommandPosted);  // the next one moved in
  EXPECT_EQ(EngineCommandsQueued(), 1);
  ExecuteEngineCommand();
  EXPECT_EQ(a->PortSources[1].Load(), c);
  ExecuteEngineCommand();
  EXPECT_EQ(a->PortSources[0].Load(), a->PortValueModules[0]);
  EXPECT_FALSE(EngineCommandPending());
  EXPECT_FALSE(EngineCommandReferences(c));
}

WaveLibraryEntry* const kWave = reinterpret_cast<WaveLibraryEntry*>(0x1000);
float g_samples[64];

bool Describe(const WaveLibraryEntry* wave, WaveInfo& info) {
  if (wave != kWave) return false;
  info = WaveInfo{2, 32, g_samples, 0.25f};
  return true;
}

TEST_F(CommandTest, AttachAndDetachWaves) {
  DescribeWave = Describe;
  ModuleRecord* s = Add(kSample);
  s->Outputs[0][0].Level = 1.0f;
  PostAttachWave(s, kWave, static_cast<uint64_t>(-1));
  EXPECT_EQ(s->SampleEntry.Load(), kWave);
  EXPECT_EQ(s->SampleData, g_samples);
  EXPECT_EQ(s->SampleChannels, 2);
  EXPECT_EQ(s->OutputChannels.Load(), 2);
  EXPECT_EQ(s->SampleFrames, 32);
  EXPECT_FLOAT_EQ(s->SampleStep, 48000.0f / (32 * 4 * 0.25f));
  EXPECT_EQ(s->ModuleSwitches[kSwitchRecord].Load(), -1);
  EXPECT_EQ(s->Outputs[0][0].Level, 0.0f);  // voices reset
  AttachWaveToModule(s, nullptr, 0);
  EXPECT_EQ(s->OutputChannels.Load(), 1);
  EXPECT_EQ(s->SampleData, nullptr);
  EXPECT_EQ(s->ModuleSwitches[kSwitchRecord].Load(), 0);

  // A sound is stepped through at its own rate (the engine's when it names
  // none). One without a usable pitch plays at the recorder's fallback pitch,
  // 4 / frames; one without frames does not advance.
  static WaveInfo described;
  DescribeWave = [](const WaveLibraryEntry*, WaveInfo& info) {
    info = described;
    return true;
  };
  const struct {
    int32_t frames;
    float pitch;
    int32_t rate;
    float step;
  } cases[] = {{10, 0.0f, 0, 48000.0f / 16.0f},
               {10, -3.0f, 0, 48000.0f / 16.0f},
               {10, std::numeric_limits<float>::quiet_NaN(), 0, 48000.0f / 16.0f},
               {10, std::numeric_limits<float>::infinity(), 0, 48000.0f / 16.0f},
               {0, 0.0f, 0, 0.0f},
               {4410, 440.0f, 44100, 44100.0f / (4.0f * 4410 * 440.0f)},
               {10, 0.0f, 22050, 22050.0f / 16.0f}};
  for (const auto& c : cases) {
    described = WaveInfo{7, c.frames, g_samples, c.pitch, c.rate};
    AttachWaveToModule(s, kWave, 0);
    EXPECT_FLOAT_EQ(s->SampleStep, c.step) << c.frames << " " << c.pitch << " " << c.rate;
    EXPECT_EQ(s->OutputChannels.Load(), 2);
  }

  // A detach leaves the module as one that never had the sound, posted while
  // playing (the module is live) or made at once with playback off; a take is
  // ended either way.
  for (const bool playing : {true, false}) {
    PostAttachWave(s, kWave, ~uint64_t{0});
    RequestGraphRebuild(0, 0, s);
    s->Outputs[0][0].Level = 1.0f;
    PlaybackActive = playing ? -1 : 0;
    PostDetachWave(s);
    EXPECT_EQ(EngineCommand.State.load(), playing ? kCommandPosted : kCommandIdle) << playing;
    EXPECT_EQ(s->SampleEntry.Load(), playing ? kWave : nullptr) << playing;
    if (playing) ExecuteEngineCommand();
    PlaybackActive = 0;
    EXPECT_EQ(s->SampleEntry.Load(), nullptr) << playing;
    EXPECT_EQ(s->SampleData, nullptr) << playing;
    EXPECT_EQ(s->OutputChannels.Load(), 1) << playing;
    EXPECT_EQ(s->ModuleSwitches[kSwitchRecord].Load(), 0) << playing;
    EXPECT_EQ(s->Outputs[0][0].Level, 0.0f) << playing;
  }
}

TEST_F(CommandTest, TuningNoteCountResetsMelodyGenerators) {
  // The tunings exist from program start (12 keys per octave).
  TuningSetNoteCount(ActiveTuning, 12);
  CopyTuning(EngineTuning, ActiveTuning);
  ModuleRecord* g = Add(kMelodyGenerator);
  g->Outputs[0][0].Level = 0.5f;
  RequestTuningApply();  // same note count
  EXPECT_EQ(g->Outputs[0][0].Level, 0.5f);
  TuningSetNoteCount(ActiveTuning, 19);
  RequestTuningApply();
  EXPECT_EQ(EngineTuning.NoteCount, 19);
  EXPECT_EQ(g->Outputs[0][0].Level, 0.0f);
  TuningSetNoteCount(ActiveTuning, 12);
  CopyTuning(EngineTuning, ActiveTuning);
}

TEST_F(CommandTest, WaitModuleOutputGivesUp) {
  ModuleRecord* a = Add(kRectifier);
  CommandSlotWait = 0.02;
  a->ActiveVoices.Store(2);
  PlaybackActive = -1;
  double start = platform::HighResClock();
  WaitModuleOutput(a);
  EXPECT_GE(platform::HighResClock() - start, 0.02);
  a->ActiveVoices.Store(0);
  WaitModuleOutput(a);
}

// Commands posted from the interface thread while a stand-in for the render
// callback executes them; the graph must end as the posts say, in their order.
TEST_F(CommandTest, PostsWhileRendering) {
  ModuleRecord* out = Add(kAddition);
  std::vector<ModuleRecord*> sources;
  for (int32_t i = 0; i < 8; ++i) sources.push_back(Add(kRectifier));
  std::vector<ModuleRecord*> readers;
  for (int32_t i = 0; i < 8; ++i) readers.push_back(Add(kAddition));
  RequestGraphRebuild(0, 0, out);
  std::atomic<bool> stop{false};
  PlaybackActive = -1;
  std::thread render([&] {
    while (!stop.load()) {
      RenderBusy = 1;
      for (int32_t f = 0; f < 8; ++f) {
        ExecuteEngineCommand();
        const ProcessingOrderBlock* order = ProcessingOrder.load();
        float sum = 0.0f;
        for (int32_t i = order->Count - 1; i >= 0; --i) {
          ModuleRecord* m = order->Entries[i];
          for (int32_t p = 0; p < m->PortCount; ++p) sum += m->PortSources[p].Load()->Outputs[0][0].Level;
          m->Outputs[0][0] = OutputElement{sum * 0.5f, sum * 0.5f};
        }
        FrameCounter.fetch_add(1);
      }
      RenderBusy = 0;
      std::this_thread::yield();
    }
  });
  for (int32_t round = 0; round < 200; ++round) {
    ModuleRecord* r = readers[round % 8];
    ModuleRecord* s = sources[(round * 3) % 8];
    PostLinkInput(r, round % 2, s, kAddition);  // links, or unlinks when already linked
    if (round % 8 == 0) PostLinkInput(out, (round / 8) % 2, readers[(round / 8) % 8], kAddition);
    if (round % 16 == 0) RequestGraphRebuild(0, 0, nullptr);
  }
  while (EngineCommandPending()) std::this_thread::yield();
  stop = true;
  render.join();
  PlaybackActive = 0;
  // Replay the same posts on the interface thread to get the expected graph.
  std::vector<ModuleRecord*> got;
  for (ModuleRecord* r : readers) {
    got.push_back(r->PortSources[0].Load());
    got.push_back(r->PortSources[1].Load());
    ModuleLinkInput(*r, 0, nullptr, Template(kAddition));
    ModuleLinkInput(*r, 1, nullptr, Template(kAddition));
  }
  for (int32_t round = 0; round < 200; ++round)
    ModuleLinkInput(*readers[round % 8], round % 2, sources[(round * 3) % 8], Template(kAddition));
  for (size_t i = 0; i < readers.size(); ++i) {
    EXPECT_EQ(got[2 * i], readers[i]->PortSources[0].Load());
    EXPECT_EQ(got[2 * i + 1], readers[i]->PortSources[1].Load());
  }
  for (ModuleRecord* s : sources) EXPECT_LE(s->OutputCount.Load(), 16);
}

// A save during playback copies module state between two frames: while the
// render callback is held nothing it writes changes, and a callback that never
// comes to a frame boundary costs the copier one bounded wait.
TEST_F(CommandTest, FramesHoldForACopyAndAStalledEngineIsNotWaitedForLong) {
  ModuleRecord* m = Add(kAddition);
  PlaybackActive = -1;
  std::atomic<bool> stop{false};
  std::thread render([&] {
    float frame = 0.0f;
    while (!stop.load()) {
      RenderBusy = 1;
      for (int32_t f = 0; f < 8; ++f) {
        ExecuteEngineCommand();
        frame += 1.0f;
        m->Outputs[0][0].Level = frame;  // two words a copy must see together
        m->Outputs[0][0].Frequency = frame;
      }
      RenderBusy = 0;
      std::this_thread::yield();
    }
  });
  int32_t torn = 0;
  for (int32_t round = 0; round < 50; ++round) {
    ASSERT_TRUE(HoldFrames());
    const OutputElement a = m->Outputs[0][0];
    std::this_thread::yield();
    const OutputElement b = m->Outputs[0][0];
    ReleaseFrames();
    if (a.Level != a.Frequency || a.Level != b.Level) ++torn;
  }
  stop = true;
  render.join();
  EXPECT_EQ(torn, 0);

  const double wait = FrameHoldWait;
  FrameHoldWait = 0.05;
  RenderBusy = 0;
  EXPECT_TRUE(HoldFrames());   // playback on, between two render calls
  ReleaseFrames();
  RenderBusy = 1;
  EXPECT_FALSE(HoldFrames());  // a render stuck inside a frame never answers
  RenderBusy = 0;
  FrameHoldWait = wait;
  ExecuteEngineCommand();      // and a late frame does not park for an old request
  PlaybackActive = 0;
  EXPECT_TRUE(HoldFrames());   // nothing renders: nothing to wait for
  ReleaseFrames();
}

// A wave attached while a posted link is still to bring its module into the
// order (the render slower than the wait) goes behind that link: attached at
// once, the module would be read by the frame after the link unsynchronised.
TEST_F(CommandTest, AnAttachBehindAPendingLinkIsPostedToo) {
  ModuleLiveWait = 0.01;
  CommandSlotWait = 0.01;
  ModuleRecord* out = Add(kAddition);
  ModuleRecord* s = Add(kSample);
  RequestGraphRebuild(0, 0, out);
  PlaybackActive = -1;
  PostLinkInput(out, 0, s, kAddition);
  auto* wave = reinterpret_cast<WaveLibraryEntry*>(&s->Params[0]);  // a token: nothing describes it
  PostAttachWave(s, wave, 0);
  EXPECT_EQ(s->SampleEntry.Load(), nullptr);
  EXPECT_EQ(EngineCommandsQueued(), 1);
  ExecuteEngineCommand();
  ExecuteEngineCommand();
  EXPECT_TRUE(ModuleInOrder(ProcessingOrder.load(), s));
  EXPECT_EQ(s->SampleEntry.Load(), wave);
  PlaybackActive = 0;
}

// The audio thread's stop report posted and not yet taken: the stream made
// its last render call, and makes none before this thread takes the report.
struct StreamStoppedUntaken {
  StreamStoppedUntaken() {
    QUARLE_AUDIO::PlaybackHandOver = true;
    QUARLE_AUDIO::PlaybackReportTaken(QUARLE_AUDIO::LastPlaybackReport());
  }
  static void Stop() { QUARLE_AUDIO::PostAudioReport(QUARLE_AUDIO::kAudioPlaybackOff, 0.0); }
  ~StreamStoppedUntaken() {
    QUARLE_AUDIO::PlaybackReportTaken(QUARLE_AUDIO::LastPlaybackReport());
    QUARLE_AUDIO::PlaybackHandOver = false;
  }
};

// A save right after typing: whether the render parks at a frame boundary
// (before it would take the controller moves) or the stream has stopped, the
// hold applies the values still waiting, in order, so the copy holds what the
// page shows.
TEST_F(CommandTest, AHoldAppliesTheValuesStillWaitingBeforeTheCopy) {
  ModuleRecord* m = Add(kAddition);
  PlaybackActive = -1;
  // A render that plays a frame only when a hold asks for one: nothing but
  // the hold can take the typed values.
  std::atomic<bool> stop{false};
  std::thread render([&] {
    while (!stop.load()) {
      if (FrameHoldWanted.load() != 0) {
        RenderBusy = 1;
        ExecuteEngineCommand();
        RenderBusy = 0;
      }
      std::this_thread::yield();
    }
  });
  int32_t stale = 0;
  for (int32_t round = 1; round <= 10; ++round) {
    const float typed = 0.5f * static_cast<float>(round);
    ASSERT_TRUE(SetParamValueOrQueue(*m, 0, typed + 1.0f));
    ASSERT_TRUE(SetParamValueOrQueue(*m, 0, typed));
    ASSERT_TRUE(HoldFrames());
    const float copied = m->Params[0].Value.Load();
    ReleaseFrames();
    stale += copied != typed;
  }
  stop = true;
  render.join();
  EXPECT_EQ(stale, 0);
  {
    StreamStoppedUntaken stream;
    stream.Stop();
    ASSERT_TRUE(SetParamValueOrQueue(*m, 0, 7.5f));
    ASSERT_TRUE(HoldFrames());
    EXPECT_EQ(m->Params[0].Value.Load(), 7.5f);
    ReleaseFrames();
  }
  EXPECT_FALSE(ControllerMovesPending());
  PlaybackActive = 0;
}

// An overload stops the stream while a save waits for a frame boundary: the
// hold ends as soon as the stop is posted instead of waiting its whole time
// and copying "as things stood" (a render that never parks would keep it
// waiting until FrameHoldWait).
TEST_F(CommandTest, AHoldThatMeetsTheStreamStoppingEndsAtTheStop) {
  PlaybackActive = -1;
  StreamStoppedUntaken stream;
  const double wait = FrameHoldWait;
  FrameHoldWait = 30.0;
  std::thread audio([] {
    platform::SleepMs(20);
    StreamStoppedUntaken::Stop();
  });
  EXPECT_TRUE(HoldFrames());
  ReleaseFrames();
  audio.join();
  FrameHoldWait = wait;
  PlaybackActive = 0;
}

// Commands posted between a stop and the interface taking its report queue
// silently (nothing waited: the stop handler runs them, in order); only a
// wait that ran its whole time for a rendering stream warns.
TEST_F(CommandTest, OnlyAStuckRenderWarnsOfAQueuedCommand) {
  CommandSlotWait = 0.02;
  struct Case {
    const char* name;
    bool stopped;
    size_t warnings;
  };
  for (const Case& c : {Case{"stream stopped", true, 0}, Case{"render stuck", false, 2}}) {
    SCOPED_TRACE(c.name);
    Messages().clear();
    ModuleRecord* a = Add(kAddition);
    ModuleRecord* b = Add(kRectifier);
    ModuleRecord* d = Add(kRectifier);
    PlaybackActive = -1;
    StreamStoppedUntaken stream;
    if (c.stopped) stream.Stop();
    PostLinkInput(a, 0, b, kAddition);
    PostLinkInput(a, 1, d, kAddition);
    PostLinkInput(a, 0, b, kAddition);  // unlinks port 0 again, after the first
    EXPECT_EQ(EngineCommandsQueued(), 2);
    EXPECT_EQ(Messages().size(), c.warnings);
    PlaybackActive = 0;
    RunPendingEngineCommands();
    EXPECT_EQ(a->PortSources[0].Load(), a->PortValueModules[0]);
    EXPECT_EQ(a->PortSources[1].Load(), d);
  }
}

// Before a load frees the library entries, what a stopped stream left pending
// runs (nothing renders until its stop report is taken), so no command names
// an entry once it is freed.
TEST_F(CommandTest, SettlingAfterAStopRunsWhatTheStreamLeft) {
  ModuleRecord* out = Add(kAddition);
  ModuleRecord* s = Add(kSample);
  RequestGraphRebuild(0, 0, out);
  PlaybackActive = -1;
  PostLinkInput(out, 0, s, kAddition);
  StreamStoppedUntaken stream;
  stream.Stop();
  auto* wave = reinterpret_cast<WaveLibraryEntry*>(&s->Params[0]);  // a token: nothing describes it
  PostAttachWave(s, wave, 0);
  EXPECT_EQ(s->SampleEntry.Load(), nullptr);
  SettleEngineCommands();
  EXPECT_FALSE(EngineCommandPending());
  EXPECT_EQ(out->PortSources[0].Load(), s);
  EXPECT_EQ(s->SampleEntry.Load(), wave);
  PlaybackActive = 0;
}

// A copy that takes longer than the render waits for it (a slow machine, a
// sanitizer) still sees no value or link change: the frames the render plays
// meanwhile take no controller move and no command.
TEST_F(CommandTest, FramesPlayedDuringALongHoldChangeNothingACopyReads) {
  ModuleRecord* m = Add(kAddition);
  PlaybackActive = -1;
  const double limit = FrameHoldLimit;
  FrameHoldLimit = 0.002;
  std::atomic<bool> stop{false};
  std::atomic<int64_t> frames{0};
  std::thread render([&] {
    while (!stop.load()) {
      RenderBusy = 1;
      ExecuteEngineCommand();
      frames.fetch_add(1);
      RenderBusy = 0;
      std::this_thread::yield();
    }
  });
  const float initial = m->Params[0].Value.Load();
  ASSERT_NE(initial, 0.125f);
  ASSERT_TRUE(HoldFrames());
  SetParamValueOrQueue(*m, 0, 0.125f);
  PostLinkInput(m, 1, m, m->Type);
  const int64_t before = frames.load();
  while (frames.load() < before + 5) std::this_thread::yield();  // past the wait, several times
  const float value = m->Params[0].Value.Load();
  ModuleRecord* const source = m->PortSources[1].Load();
  ReleaseFrames();
  while (EngineCommandPending() || ControllerMovesPending()) std::this_thread::yield();
  stop = true;
  render.join();
  FrameHoldLimit = limit;
  PlaybackActive = 0;
  EXPECT_EQ(value, initial);
  EXPECT_EQ(source, m->PortValueModules[1]);
  EXPECT_EQ(m->Params[0].Value.Load(), 0.125f);  // taken once released
  EXPECT_EQ(m->PortSources[1].Load(), m);
}

// A render parked for a hold sleeps until the release: on a core or two the
// holder needs that core for its copy (a real-time thread that yields keeps it).
TEST_F(CommandTest, ARenderParkedForAHoldLeavesItsCoreToTheHolder) {
  PlaybackActive = -1;
  std::atomic<bool> stop{false};
  std::atomic<double> parkedCpu{0.0}, parkedWall{0.0};  // of the longest frame boundary
  std::thread render([&] {
    auto cpu = [] {
      timespec t{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
      return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    };
    while (!stop.load()) {
      RenderBusy = 1;
      const double c0 = cpu(), w0 = platform::HighResClock();
      ExecuteEngineCommand();
      const double c = cpu() - c0, w = platform::HighResClock() - w0;
      RenderBusy = 0;
      if (w > parkedWall.load()) {
        parkedWall = w;
        parkedCpu = c;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  const bool held = HoldFrames();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the copy
  ReleaseFrames();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);  // bounds a hang
  while (parkedWall.load() < 0.05 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stop = true;
  render.join();
  PlaybackActive = 0;
  // Parked for the hold, and asleep for most of it.
  ASSERT_TRUE(held);
  ASSERT_GE(parkedWall.load(), 0.05);
  EXPECT_LT(parkedCpu.load(), parkedWall.load() / 2) << parkedCpu.load() << " s of processor in " << parkedWall.load() << " s";
}

// The interface asks whether modules are in the processing order while the
// render keeps rebuilding it, its waits shorter than the render takes (here
// none at all): every answer comes from what the render left standing, a
// module that every order holds is live in each, one that none holds in none.
TEST_F(CommandTest, LiveQuestionsReadNothingTheRenderFrees) {
  ModuleLiveWait = 0.0;
  ModuleRecord* out = Add(kAddition);
  ModuleRecord* last = out;
  for (int32_t i = 0; i < 150; ++i) {  // a long order takes long to walk
    ModuleRecord* next = Add(kAddition);
    Link(last, 0, next);
    last = next;
  }
  ModuleRecord* outside = Add(kRectifier);
  RequestGraphRebuild(0, 0, out);
  int32_t asked = 0;
  int32_t wrong = 0;
  {
    CommandRender render;
    for (int32_t round = 0; round < 300; ++round) {
      RequestGraphRebuild(0, 0, nullptr);
      do {
        asked += 2;
        if (IsModuleLive(last, 0) != 1) ++wrong;
        if (IsModuleLive(outside, 0) != 0) ++wrong;
      } while (EngineCommandPending());
    }
  }
  EXPECT_GE(asked, 600);
  EXPECT_EQ(wrong, 0);
}

// Set and the module pages ask whether a pending command names their module
// (SettleCommandsOf) while the render runs the posted one and moves the next
// one from the queue into the slot: the module words of the slot are read
// whole on one side and written whole on the other.
TEST_F(CommandTest, AskingWhatIsPendingWhileTheRenderFillsTheSlot) {
  CommandSlotWait = 0.0;  // posts queue behind a busy slot at once
  ModuleRecord* out = Add(kAddition);
  std::vector<ModuleRecord*> readers, sources;
  for (int32_t i = 0; i < 4; ++i) readers.push_back(Add(kAddition));
  for (int32_t i = 0; i < 4; ++i) sources.push_back(Add(kRectifier));
  RequestGraphRebuild(0, 0, out);
  int32_t named = 0;
  {
    CommandRender render;
    for (int32_t round = 0; round < 4000; ++round) {
      PostLinkInput(readers[round % 4], round % 2, sources[(round / 4) % 4], kAddition);
      for (ModuleRecord* m : readers) named += EngineCommandReferences(m) ? 1 : 0;
    }
    while (EngineCommandPending()) std::this_thread::yield();
  }
  EXPECT_GT(named, 0);  // the asks met pending commands
  for (ModuleRecord* m : readers) EXPECT_FALSE(EngineCommandReferences(m));
}

// Processor time of the calling thread, in seconds.
double ThreadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// While the render does not answer (playback on, a render call that never
// reaches a frame boundary) each wait of the interface for it sleeps until
// it gives up, and says that it gave up.
TEST_F(CommandTest, WaitsForARenderThatDoesNotAnswerSleepAndSaySo) {
  const double limit = 0.25;
  const double holdWait = FrameHoldWait;
  CommandSlotWait = limit;
  ModuleLiveWait = limit;
  FrameHoldWait = limit;
  struct Case {
    const char* name;
    std::function<void(ModuleRecord*)> wait;
  };
  const Case cases[] = {
      {"a save settling what was posted", [](ModuleRecord*) { SettleEngineCommands(); }},
      {"a post behind a command not taken", [](ModuleRecord* m) { RequestGraphRebuild(0, 0, m); }},
      {"is the module live", [](ModuleRecord* m) { EXPECT_EQ(IsModuleLive(m, 0), 1); }},
      {"the module's voices ending", [](ModuleRecord* m) { WaitModuleOutput(m); }},
      {"a frame hold", [](ModuleRecord*) {
         EXPECT_FALSE(HoldFrames());
         ReleaseFrames();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModuleRecord* a = Add(kAddition);
    RequestGraphRebuild(0, 0, a);
    PlaybackActive = -1;
    RenderBusy = 1;
    RequestGraphRebuild(0, 0, nullptr);  // posted; never taken
    a->ActiveVoices.Store(2);
    Messages().clear();
    const double cpu = ThreadSeconds();
    const double wall = platform::HighResClock();
    c.wait(a);
    const double usedCpu = ThreadSeconds() - cpu;
    const double usedWall = platform::HighResClock() - wall;
    std::printf("[ figures  ] %s: %.3f s of processor in %.3f s\n", c.name, usedCpu, usedWall);
    EXPECT_GE(usedWall, limit);
    EXPECT_LT(usedCpu, 0.1 * usedWall);
    EXPECT_EQ(Messages().size(), 1u);
    a->ActiveVoices.Store(0);
    RenderBusy = 0;
    PlaybackActive = 0;
    RunPendingEngineCommands();
  }
  FrameHoldWait = holdWait;
}

}  // namespace
