// The render path allocates nothing. Every module type is built into a synth
// that makes it run (in each polyphony mode it has), played through the real
// render callback with notes starting, sliding, releasing and dying away, and
// every heap allocation and free made on the rendering thread while a render
// call runs is counted. The few moments where a type may allocate on the audio
// thread are told apart frame by frame and left out of the count:
// - a frame that runs an engine command (the processing-order rebuild
//   allocates the new order);
// - the frame in which a Sequencer or a Melody Generator discards an empty
//   recording (the melody entry is removed and freed);
// - the frame in which a Sample finishes its recording (the analysis).
//
// How allocations are seen: with AddressSanitizer (or ThreadSanitizer) the
// sanitizer owns malloc, so its allocator hooks report every allocation and
// free, operator new and delete included. Without a sanitizer allocator this
// program replaces malloc, calloc, realloc, free and the aligned allocators and
// forwards them to the C library's own entry points; operator new and delete
// reach them through the C library's malloc and free. Either way a counter
// moves only on a thread whose "armed" flag is set, and only the rendering
// thread arms itself, around RenderAudio and CaptureAudio.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/engine/dsp/type_rig.h"
#include "audio/meters.h"
#include "basics/queues.h"

// ---------------------------------------------------------------------------
// Allocation counting.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RT_GUARD_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RT_GUARD_SANITIZER_ALLOCATOR 1
#endif
#endif

namespace {

thread_local bool g_armed = false;
std::atomic<int64_t> g_allocations{0};
std::atomic<int64_t> g_frees{0};
// Stack traces printed for the current test (a failing run shows where the
// first few allocations came from, not thousands of them).
std::atomic<int32_t> g_tracesLeft{0};

}  // namespace

#ifdef RT_GUARD_SANITIZER_ALLOCATOR
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, size_t),
                                                         void (*free_hook)(const volatile void*));
extern "C" void __sanitizer_print_stack_trace();

namespace {

thread_local bool g_inReport = false;

void ReportStack(size_t size) {
  if (g_inReport || g_tracesLeft.load(std::memory_order_relaxed) <= 0) return;
  g_tracesLeft.fetch_sub(1, std::memory_order_relaxed);
  g_inReport = true;
  std::fprintf(stderr, "render path: heap %s on the audio thread:\n", size > 0 ? "allocation" : "free");
  __sanitizer_print_stack_trace();
  g_inReport = false;
}

void MallocHook(const volatile void*, size_t size) {
  if (!g_armed || g_inReport) return;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  ReportStack(size > 0 ? size : 1);
}

void FreeHook(const volatile void* p) {
  if (!g_armed || g_inReport || p == nullptr) return;
  g_frees.fetch_add(1, std::memory_order_relaxed);
  ReportStack(0);
}

const int g_hooksInstalled = __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);

}  // namespace
#else
// The C library's allocator under its own names: the replacements below count
// and forward, so memory from either side may be freed by the other.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);
void* __libc_memalign(size_t alignment, size_t size);

static inline void CountAllocation() {
  if (g_armed) g_allocations.fetch_add(1, std::memory_order_relaxed);
}

void* malloc(size_t size) {
  CountAllocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  CountAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* p, size_t size) {
  CountAllocation();
  return __libc_realloc(p, size);
}
void free(void* p) {
  if (g_armed && p != nullptr) g_frees.fetch_add(1, std::memory_order_relaxed);
  __libc_free(p);
}
void* aligned_alloc(size_t alignment, size_t size) {
  CountAllocation();
  return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) {
  CountAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
  CountAllocation();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}  // extern "C"
#endif

namespace Tarvelo {
namespace {

using namespace testing_rig;

// Counts of one armed stretch.
struct Count {
  int64_t allocations = 0;
  int64_t frees = 0;
  bool Clean() const { return allocations == 0 && frees == 0; }
};

// Arms the calling thread for its lifetime.
class Armed {
 public:
  Armed() : start_{g_allocations.load(), g_frees.load()} { g_armed = true; }
  ~Armed() { g_armed = false; }
  Count Taken() const { return Count{g_allocations.load() - start_.allocations, g_frees.load() - start_.frees}; }

 private:
  Count start_;
};

// The guard sees what it must see: every way of taking and giving back heap
// memory, and nothing while disarmed.
TEST(RenderGuard, SeesEveryAllocatorEntryOnlyWhileArmed) {
  // volatile: the compiler may not elide a new/delete pair it can see whole.
  void* volatile p = nullptr;
  Count seen;
  {
    Armed armed;
    p = std::malloc(24);
    std::free(p);
    p = std::calloc(3, 8);
    p = std::realloc(p, 4000);
    std::free(p);
    int* volatile q = new int(7);
    delete q;
    std::string* volatile s = new std::string(100, 'x');
    delete s;
    seen = armed.Taken();
  }
  EXPECT_GE(seen.allocations, 5);
  EXPECT_GE(seen.frees, 4);
  const int64_t before = g_allocations.load();
  p = std::malloc(24);
  std::free(p);
  EXPECT_EQ(g_allocations.load(), before);
}

// The module under test runs through this trampoline, which counts the calls
// of each slot (proof that the synth made it run, in the mode asked for).
struct Watch {
  ModuleRecord* module = nullptr;
  ProcessFunction inner[2] = {nullptr, nullptr};
  int64_t calls[2] = {0, 0};
};
Watch g_watch;

void WatchedProcess(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity) {
  const int32_t slot = m->PolyphonyMode.Load() & 1;
  if (m == g_watch.module) ++g_watch.calls[slot];
  g_watch.inner[slot](m, frameCounter, parity, previousParity);
}

constexpr int32_t kBlockFrames = 48;  // 1 ms, the audio thread's capture block

class RenderGuardTest : public TypeRig {
 protected:
  void SetUp() override {
    TypeRig::SetUp();
    // The meters report to the main queue once per stream buffer: a real
    // queue, drained between blocks as the interface's loop does.
    if (QUARLE_BASICS::MainCommandQueue < 0) {
      ASSERT_EQ(QUARLE_BASICS::BasicsCreateLocks(), 0);
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(QUARLE_BASICS::MainCommandQueue), 0);
      ownQueue_ = true;
    }
    QUARLE_BASICS::ArrayHeaderInit(fetched_);
    buffer_.assign(2 * kBlockFrames, 0.0f);
    capture_.assign(2 * kBlockFrames, 0.0f);
    g_watch = Watch{};
    // Where an allocation came from, on request and with a sanitizer's
    // allocator (the allowed moments would print theirs too):
    // TARVELO_RT_GUARD_STACKS=1.
    g_tracesLeft = std::getenv("TARVELO_RT_GUARD_STACKS") != nullptr ? 3 : 0;
  }
  void TearDown() override {
    g_watch = Watch{};
    PlaybackActive = 0;
    std::free(fetchBuffer_);
    fetchBuffer_ = nullptr;
    QUARLE_BASICS::ArrayHeaderFree(fetched_);
    TypeRig::TearDown();
    if (ownQueue_) QUARLE_BASICS::BasicsReset();
  }

  // Builds the synth for a plan in a mode and watches the module under test.
  void Build(const TypePlan& plan, int32_t mode) {
    TypeRig::Build(plan, mode);
    if (HasFatalFailure()) return;
    g_watch.module = m_;
    g_watch.inner[0] = m_->ProcessFunctions[0];
    g_watch.inner[1] = m_->ProcessFunctions[1];
    m_->ProcessFunctions[0] = WatchedProcess;
    m_->ProcessFunctions[1] = WatchedProcess;
  }

  // --- rendering

  // Renders frames in blocks as the audio thread does, counting what each
  // block allocates. A block that starts with an engine command pending is a
  // single frame and is not counted; excluded(), asked after each block, may
  // name the block just rendered as one of the allowed moments.
  void Play(int64_t frames, int32_t blockFrames = kBlockFrames, const std::function<bool()>& excluded = nullptr) {
    while (frames > 0) {
      int32_t n = static_cast<int32_t>(std::min<int64_t>(frames, blockFrames));
      const bool command = EngineCommandPending();
      if (command) n = 1;
      Count c;
      {
        Armed armed;
        if (capturing_) {
          float* in = capture_.data();
          for (int32_t i = 0; i < 2 * n; ++i)
            capture_[i] = 0.3f * std::sin(static_cast<float>(captureFrame_ + i / 2) * 0.05f);
          captureFrame_ += n;
          int64_t resync = 0;
          CaptureAudio(&in, 2 * n, &resync);
        }
        float* out = buffer_.data();
        RenderAudio(&out, 0, 2 * n);
        c = armed.Taken();
      }
      frames -= n;
      rendered_ += n;
      for (int32_t i = 0; i < 2 * n; ++i) peak_ = std::max(peak_, std::fabs(buffer_[i]));
      if (m_ != nullptr) maxVoices_ = std::max(maxVoices_, m_->ActiveVoices.Load());
      if (command) {
        commandFrames_ += 1;
        excludedCount_.allocations += c.allocations;
        excludedCount_.frees += c.frees;
      } else if (excluded && excluded()) {
        excludedFrames_ += n;
        excludedCount_.allocations += c.allocations;
        excludedCount_.frees += c.frees;
      } else {
        counted_.allocations += c.allocations;
        counted_.frees += c.frees;
      }
      DrainMainQueue();
      if (tick_) tick_(block_);
      ++block_;
    }
  }

  // The interface's loop takes the audio thread's reports.
  void DrainMainQueue() {
    if (QUARLE_BASICS::MainCommandQueue < 0) return;
    if (QUARLE_BASICS::FetchCommands(fetchBuffer_, fetched_, QUARLE_BASICS::MainCommandQueue) != 0) return;
    for (int32_t i = 0; i < fetched_.count; ++i)
      QUARLE_AUDIO::ReleaseReportBlock(fetchBuffer_[i].type, fetchBuffer_[i].word2);
    reports_ += fetched_.count;
  }

  // Notes start, a key joins, all are let go and ring out, new ones start
  // (waking what went to sleep) and are let go again. Counted from the first
  // frame: a kernel that allocates only once, on its first call, is caught too.
  void PlayScenario() {
    PlayNoteScenario([this](int64_t frames) { Play(frames); });
  }

  std::string Summary() const {
    char text[320];
    std::snprintf(text, sizeof(text),
                  "counted %lld allocations and %lld frees over %lld frames (%lld command frames, "
                  "%lld excluded frames with %lld allocations and %lld frees); "
                  "TARVELO_RT_GUARD_STACKS=1 prints where they came from",
                  static_cast<long long>(counted_.allocations), static_cast<long long>(counted_.frees),
                  static_cast<long long>(rendered_), static_cast<long long>(commandFrames_),
                  static_cast<long long>(excludedFrames_), static_cast<long long>(excludedCount_.allocations),
                  static_cast<long long>(excludedCount_.frees));
    return text;
  }


  Count counted_;
  Count excludedCount_;
  int64_t rendered_ = 0;
  int64_t commandFrames_ = 0;
  int64_t excludedFrames_ = 0;
  int64_t block_ = 0;
  int64_t reports_ = 0;
  int64_t captureFrame_ = 0;
  float peak_ = 0.0f;
  int32_t maxVoices_ = 0;

 private:
  bool ownQueue_ = false;
  std::vector<float> buffer_;
  std::vector<float> capture_;
  QUARLE_BASICS::CommandMessage* fetchBuffer_ = nullptr;
  QUARLE_BASICS::ArrayHeader fetched_;
};

// The plan table follows the catalog: one entry per type, the modes each
// type offers, and a letter for every input port.
TEST_F(RenderGuardTest, PlansCoverTheCatalog) {
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    const TypePlan& plan = kPlans[t];
    const ModuleRecord& c = ModuleCatalog[t];
    ASSERT_EQ(plan.type, t);
    EXPECT_EQ(static_cast<int32_t>(std::string(plan.ports).size()), c.PortCount) << plan.name;
    const int32_t modes = c.PolyphonyCapability == 2 ? kBoth : (c.PolyphonyCapability == 1 ? kPerVoice : kSingle);
    EXPECT_EQ(plan.modes, modes) << plan.name;
  }
}

// ---------------------------------------------------------------------------
// Every type in every mode.

class EveryType : public RenderGuardTest, public ::testing::WithParamInterface<Config> {};

TEST_P(EveryType, RendersWithoutTouchingTheHeap) {
  const Config config = GetParam();
  const TypePlan& plan = kPlans[config.type];
  Build(plan, config.mode);
  if (HasFatalFailure()) return;
  PlayScenario();
  if (HasFatalFailure()) return;

  EXPECT_TRUE(counted_.Clean()) << plan.name << ": " << Summary();
  // The synth really ran the module, in the mode asked for.
  EXPECT_GT(g_watch.calls[config.mode], rendered_ / 4) << plan.name;
  EXPECT_EQ(g_watch.calls[config.mode ^ 1], 0) << plan.name;
  EXPECT_GT(maxVoices_, 0) << plan.name;
  EXPECT_GT(reports_, 0);  // the meters reported through the main queue
  EXPECT_EQ(commandFrames_, 0);
}

INSTANTIATE_TEST_SUITE_P(RenderGuard, EveryType, ::testing::ValuesIn(AllConfigs()),
                         [](const ::testing::TestParamInfo<Config>& info) { return ConfigName(info.param); });


// ---------------------------------------------------------------------------
// The guard itself, and the moments where the audio thread may allocate.

void LeakyProcess(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity) {
  void* volatile p = std::malloc(32);
  std::free(p);
  WatchedProcess(m, frameCounter, parity, previousParity);
}

// A kernel that takes heap memory in every frame is caught, every frame.
TEST_F(RenderGuardTest, AnAllocatingKernelIsCaught) {
  g_tracesLeft = 0;
  Build(kPlans[kTOscillator], 0);
  if (HasFatalFailure()) return;
  m_->ProcessFunctions[0] = LeakyProcess;
  NotesOn({24});
  Play(480);
  EXPECT_GE(counted_.allocations, g_watch.calls[0]);
  EXPECT_GE(counted_.frees, g_watch.calls[0]);
  EXPECT_GT(g_watch.calls[0], 400);
}

// The interface changes the running graph while it plays: each command runs
// in a frame of its own (not counted); the frames around it take nothing,
// the Sample playing without a sound after its detach included.
TEST_F(RenderGuardTest, GraphEditsWhilePlayingCostOnlyTheirCommandFrames) {
  Build(kPlans[kTSample], 1);
  if (HasFatalFailure()) return;
  NotesOn({24, 28});
  Play(960);
  PlaybackActive = -1;
  PostLinkInput(voice_, kOscPhase, lfo_, kTypeOscillator);
  Play(960);
  PostAttachWave(m_, Sound(std::vector<float>(2400, 0.25f), 1, 200.0f), 0);
  Play(960);
  RequestTuningApply();
  Play(960);
  PostDetachWave(m_);
  Play(960);
  PostLinkInput(voice_, kOscPhase, lfo_, kTypeOscillator);  // unlinks
  Play(960);
  ReleaseAllKeys();  // while playing, the render callback resets the states
  Play(960);
  EXPECT_EQ(kb_->ActiveVoices.Load(), 0);
  RequestGraphRebuild(0, 0, nullptr);
  Play(960);
  PlaybackActive = 0;
  EXPECT_EQ(commandFrames_, 6);
  EXPECT_EQ(voice_->PortSources[kOscPhase].Load(), voice_->PortValueModules[kOscPhase]);
  EXPECT_EQ(m_->SampleEntry.Load(), nullptr);
  EXPECT_TRUE(counted_.Clean()) << Summary();
}

// The processing order is rebuilt on the audio thread without the heap: in
// its own block while the synth fits it, else in the spare block the
// interface keeps ready (modules added and linked in since the last rebuild
// on the interface thread).
TEST_F(RenderGuardTest, RebuildingTheOrderWhilePlayingTakesNothingFromTheHeap) {
  Build(kPlans[kTOscillator], 0);
  if (HasFatalFailure()) return;
  NotesOn({24});
  Play(480);
  PlaybackActive = -1;
  RequestGraphRebuild(0, 0, nullptr);
  Play(96);
  ModuleRecord* a = Add(kTSineWave);
  ModuleRecord* b = Add(kTSineWave);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(ModuleInOrder(ProcessingOrder.load(), m_));
  ModuleRecord* const before = m_->PortSources[kOscPhase].Load();
  PostLinkInput(m_, kOscPhase, a, kTypeOscillator);
  Play(96);
  PostLinkInput(a, 0, b, a->Type);
  Play(96);
  EXPECT_TRUE(ModuleInOrder(ProcessingOrder.load(), b));
  PostLinkInput(m_, kOscPhase, a, kTypeOscillator);  // unlinks
  Play(96);
  EXPECT_FALSE(ModuleInOrder(ProcessingOrder.load(), b));
  PlaybackActive = 0;
  EXPECT_NE(before, a);
  EXPECT_EQ(commandFrames_, 4);
  EXPECT_EQ(excludedCount_.allocations, 0) << Summary();
  EXPECT_EQ(excludedCount_.frees, 0) << Summary();
  EXPECT_TRUE(counted_.Clean()) << Summary();
}

// A Sample records its input; the frame that finishes the recording runs the
// analysis and is the one frame not counted. Playback of the recording is.
TEST_F(RenderGuardTest, SampleRecordingCostsOnlyItsAnalysisFrame) {
  BuildFeed(true);
  ModuleRecord* s = Add(kTSample);
  PerVoice(s);
  Link(s, kSampleAmplitude, env_);
  Link(s, kSampleFrequency, kb_);
  Link(s, kSampleInput, voice_);
  WaveLibraryEntry* blank = Sound(std::vector<float>(4800, 0.0f), 1, 0.01f);
  blank->State.Store(kWaveCreating);
  AttachWaveToModule(s, blank, ~uint64_t{0});
  ASSERT_NE(s->ModuleSwitches[kSwitchRecord].Load(), 0);
  s->SelectedParam.Store(kSampleFrequency);  // the module page shows the frequency it gets
  Output(s);
  m_ = s;
  NotesOn({36});
  int64_t before = s->ModuleSwitches[kSwitchRecord].Load();
  auto finished = [&] {
    const bool done = before != 0 && s->ModuleSwitches[kSwitchRecord].Load() == 0;
    before = s->ModuleSwitches[kSwitchRecord].Load();
    return done;
  };
  Play(6000, 1, finished);
  EXPECT_EQ(excludedFrames_, 1);
  EXPECT_EQ(s->ModuleSwitches[kSwitchRecord].Load(), 0);
  EXPECT_NE(s->ModuleSwitches[kSwitchPlay].Load(), 0);
  NotesOn({40});
  Play(4800);
  NotesOff();
  Play(2400);
  EXPECT_GT(peak_, 0.0f);
  EXPECT_TRUE(counted_.Clean()) << Summary();
}

class SequencerGuard : public RenderGuardTest, public ::testing::WithParamInterface<int32_t> {
 protected:
  // A sequencer recording the keyboard into a blank melody, heard through
  // a follower; the recording stops by itself after length seconds.
  ModuleRecord* Recorder(int32_t mode, float length) {
    BuildFeed(mode == 1);
    ModuleRecord* seq = Add(kTSequencer);
    if (mode == 1) PerVoice(seq);
    Link(seq, kSeqFrequency, kb_);
    Link(seq, kSeqVelocity, kb_);
    WaveLibraryEntry* blank = BlankMelody(200);
    blank->State.Store(2);
    AttachWaveToModule(seq, blank, ~uint64_t{0});
    EXPECT_NE(seq->ModuleSwitches[kSwitchRecord].Load(), 0);
    Set(seq, kSeqLength, length);
    ModuleRecord* out = Add(kTypeOscillator);
    if (mode == 1) PerVoice(out);
    Link(out, kOscFrequency, seq);
    Link(out, kOscAmplitude, seq);
    Output(out);
    m_ = seq;
    return seq;
  }
};

// Recording notes, finishing at the length (with the tempo analysis) and
// playing the recording back in a loop: nothing is counted out.
TEST_P(SequencerGuard, RecordsAnalysesAndPlaysBackWithoutTheHeap) {
  ModuleRecord* seq = Recorder(GetParam(), 0.25f);
  WaveLibraryEntry* melody = seq->SampleEntry.Load();
  NotesOn({24, 28});
  Play(2400);
  NotesOff();
  Play(2400);
  NotesOn({31});
  Play(2400);
  NotesOff();
  Play(7200);
  EXPECT_EQ(seq->ModuleSwitches[kSwitchRecord].Load(), 0);
  ASSERT_EQ(seq->SampleEntry.Load(), melody);
  EXPECT_GE(melody->Sound.samples[0], 2.0f);
  seq->ModuleSwitches[kSwitchPlay].Store(-1);
  seq->ModuleSwitches[kSwitchLoop].Store(-1);
  Play(14400);
  EXPECT_GT(peak_, 0.0f);
  EXPECT_EQ(excludedFrames_, 0);
  EXPECT_TRUE(counted_.Clean()) << Summary();
}

// An empty recording is discarded: the frame that removes the melody entry is
// the one frame not counted.
TEST_P(SequencerGuard, DiscardingAnEmptyRecordingCostsOnlyThatFrame) {
  ModuleRecord* seq = Recorder(GetParam(), 0.0f);
  const int32_t listed = MelodyLibrary.header.count;
  Play(960);
  seq->RecordDone.Store(-1);  // the interface stops the recording
  WaveLibraryEntry* last = seq->SampleEntry.Load();
  auto discarded = [&] {
    const bool gone = last != nullptr && seq->SampleEntry.Load() == nullptr;
    last = seq->SampleEntry.Load();
    return gone;
  };
  Play(96, 1, discarded);
  EXPECT_EQ(excludedFrames_, 1);
  EXPECT_EQ(seq->SampleEntry.Load(), nullptr);
  EXPECT_EQ(MelodyLibrary.header.count, listed - 1);
  EXPECT_GE(excludedCount_.frees, 1);  // the entry's memory went back
  // Without a melody it passes the keyboard through.
  seq->ModuleSwitches[kSwitchPlay].Store(-1);
  NotesOn({24, 28});
  Play(2400);
  EXPECT_GT(peak_, 0.0f);
  EXPECT_TRUE(counted_.Clean()) << Summary();
}

INSTANTIATE_TEST_SUITE_P(RenderGuard, SequencerGuard, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return std::string(info.param == 1 ? "PerVoice" : "SingleVoice");
                         });

class MelodyGeneratorGuard : public RenderGuardTest {
 protected:
  ModuleRecord* Composer() {
    BuildFeed(true);
    ModuleRecord* mg = Add(kTMelodyGenerator);
    Link(mg, kMelFrequency, kb_);
    ComposeQuickly(mg);
    mg->ModuleSwitches[kSwitchLoop].Store(0);
    ModuleRecord* out = Add(kTypeOscillator);
    Link(out, kOscFrequency, mg);
    Link(out, kOscAmplitude, mg);
    Output(out);
    m_ = mg;
    return mg;
  }
};

// A recording of composed notes closes at the phrase end with no heap.
TEST_F(MelodyGeneratorGuard, RecordingComposedNotesCostsNothing) {
  ModuleRecord* mg = Composer();
  Set(mg, kMelDensity, 1.0f);
  NotesOn({40});
  Play(1200);
  WaveLibraryEntry* melody = BlankMelody(1000);
  melody->State.Store(2);
  BeginMelodyGeneratorRecording(*mg, melody);
  mg->RecordDone.Store(-1);  // close it at the next phrase end
  Play(2400);
  EXPECT_EQ(mg->SampleEntry.Load(), nullptr);
  EXPECT_EQ(melody->State.Load(), 0);
  EXPECT_GE(melody->Sound.samples[0], 1.0f);
  EXPECT_GT(peak_, 0.0f);
  EXPECT_EQ(excludedFrames_, 0);
  EXPECT_TRUE(counted_.Clean()) << Summary();
}

// A phrase of rests records nothing: the frame that discards the entry is the
// one frame not counted.
TEST_F(MelodyGeneratorGuard, DiscardingAnEmptyRecordingCostsOnlyThatFrame) {
  ModuleRecord* mg = Composer();
  Set(mg, kMelDensity, 0.0f);  // after each phrase's first note, only rests
  NotesOn({40});
  Play(1000);  // into the second phrase, past its first note
  const int32_t listed = MelodyLibrary.header.count;
  WaveLibraryEntry* melody = BlankMelody(1000);
  BeginMelodyGeneratorRecording(*mg, melody);
  mg->RecordDone.Store(-1);
  WaveLibraryEntry* last = mg->SampleEntry.Load();
  auto discarded = [&] {
    const bool gone = last != nullptr && mg->SampleEntry.Load() == nullptr;
    last = mg->SampleEntry.Load();
    return gone;
  };
  Play(1600, 1, discarded);
  EXPECT_EQ(excludedFrames_, 1);
  EXPECT_EQ(mg->SampleEntry.Load(), nullptr);
  EXPECT_EQ(MelodyLibrary.header.count, listed);
  EXPECT_TRUE(counted_.Clean()) << Summary();
}

}  // namespace
}  // namespace Tarvelo
