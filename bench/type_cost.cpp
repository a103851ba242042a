// What each module type costs a frame: every type of the catalog built into
// the synth the golden render tests play it in (tests/engine/dsp/type_rig.h:
// a Keyboard, an envelope, an oscillator voice and a slow sine feed its ports,
// the type in the chain to the output), in per-voice mode where it has one,
// with the Keyboard holding 0, 1 or 32 notes; the Oscillator once more for
// each wave shape on its own. Run under callgrind by bench/instructions.sh,
// which prints the table; each case is measured twice after the same warm-up:
//   patch   every instruction of the render calls (the whole synth) but the
//           kernels of the slow sine and of the oscillator that makes a
//           control type heard (their share of the render loop stays),
//   kernel  the type's process function alone;
// and the feed that the type's synth runs (nothing, the Keyboard, with the
// envelope, with the oscillator voice) alone as "(feed-...)", so that patch -
// feed is what the type adds to a frame, render loop included.
// Outside valgrind it prints CPU nanoseconds per frame of the patch instead.
//   bench_type_cost [TYPE...]   (type numbers, -4 .. -1 the feeds; default all)
//   TYPE_COST_FRAMES=N          (frames measured per case, default 1920)
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_DUMP_STATS_AT(s) ((void)(s))
#endif

#include "engine/modulelist.h"
#include "tests/engine/dsp/type_rig.h"

namespace Tarvelo {
namespace {

using namespace testing_rig;

constexpr int32_t kBlock = 480;  // frames per render call: a 10 ms stream buffer
constexpr int32_t kWarmUpFrames = 2400;
constexpr int32_t kTickBlock = 48;  // the rig's schedule (shape changes, melody loops) counts these

// The type's process function, wrapped: the kernel pass collects only while it
// runs. The helpers' (the slow sine, and the oscillator that makes a control
// type heard), wrapped: the patch pass leaves them out, since no feed alone
// runs them.
ProcessFunction gKernel = nullptr;
ProcessFunction gSineKernel = nullptr;
ProcessFunction gFollowerKernel = nullptr;
bool gKernelPass = false;
void WrappedKernel(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity) {
  if (gKernelPass) CALLGRIND_TOGGLE_COLLECT;
  gKernel(m, frameCounter, parity, previousParity);
  if (gKernelPass) CALLGRIND_TOGGLE_COLLECT;
}
void WrappedSine(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity) {
  if (!gKernelPass) CALLGRIND_TOGGLE_COLLECT;
  gSineKernel(m, frameCounter, parity, previousParity);
  if (!gKernelPass) CALLGRIND_TOGGLE_COLLECT;
}
void WrappedFollower(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity) {
  if (!gKernelPass) CALLGRIND_TOGGLE_COLLECT;
  gFollowerKernel(m, frameCounter, parity, previousParity);
  if (!gKernelPass) CALLGRIND_TOGGLE_COLLECT;
}

void Wrap(ModuleRecord* m, ProcessFunction& original, ProcessFunction wrapper) {
  ProcessFunction& f = m->ProcessFunctions[m->PolyphonyMode.Load() & 1];
  original = f;
  f = wrapper;
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The feeds alone, the baselines of the types: nothing at all, the Keyboard,
// the Keyboard and the envelope, the Keyboard, envelope and oscillator voice.
enum Feed : int32_t { kFeedNone = -4, kFeedKeyboard = -3, kFeedEnvelope = -2, kFeedVoice = -1 };
const char* FeedName(int32_t feed) {
  switch (feed) {
    case kFeedNone: return "(empty)";
    case kFeedKeyboard: return "(feed-k)";
    case kFeedEnvelope: return "(feed-ke)";
    default: return "(feed-kev)";
  }
}

// The feed a type's synth runs besides the type itself (the slow sine and the
// follower are left out of the measure).
int32_t FeedOf(int32_t type) {
  const std::string ports = kPlans[type].ports;
  if (ports.find('v') != std::string::npos) return kFeedVoice;
  if (ports.find('e') != std::string::npos) return kFeedEnvelope;
  if (type != kTKeyboard && ports.find('k') != std::string::npos) return kFeedKeyboard;
  return kFeedNone;
}

// A golden-render synth driven outside the test runner.
class CostRig : public TypeRig {
 public:
  void TestBody() override {}
  void Start() { SetUp(); }
  void Stop() { TearDown(); }

  // Builds the synth of `type` (a Feed: that feed alone) and holds `notes`
  // notes.
  bool Make(int32_t type, int32_t mode, int32_t shape, int32_t notes) {
    if (type < 0) {
      BuildFeed(true);
      if (HasFatalFailure()) return false;
      if (type == kFeedVoice) Output(voice_);
      if (type == kFeedEnvelope) Output(env_);
      if (type == kFeedKeyboard) Output(kb_);
    } else {
      Build(kPlans[type], mode);
      if (HasFatalFailure() || m_ == nullptr) return false;
      if (shape >= 0) {
        tick_ = nullptr;
        SetOscillatorShape(*m_, shape);
      }
    }
    Set(kb_, 0, 32.0f);
    // The output request is taken by the first frame; the wrappers go in
    // after it, and a new request makes the render path take them up.
    Play(kBlock);
    if (type >= 0) {
      ModuleRecord* out = SynthOutputModule.load();
      Wrap(m_, gKernel, WrappedKernel);
      Wrap(lfo_, gSineKernel, WrappedSine);
      if (out != nullptr && out != m_) Wrap(out, gFollowerKernel, WrappedFollower);
      Output(out);
    }
    // More notes than keys can be held: straight into the keyboard's voices.
    KeyboardState& state = *KeyboardStates[kb_->InstanceNumber.Load() - 1].Load();
    for (int32_t k = 0; k < notes; ++k) {
      platform::MutexGuard guard(KeyboardVoiceLocks[kb_->InstanceNumber.Load() - 1]);
      NoteOn(state, KeyToFrequency(24 + k), 0.8f);
    }
    if (octave_ != nullptr)
      for (int32_t k = 0; k < notes && k < 12; ++k) OctaveNoteOn(k, 0.7f);
    return true;
  }

  // Renders `frames` in stream buffers, feeding the capture ring and the
  // rig's schedule as the golden renders do.
  void Play(int32_t frames) {
    std::vector<float> buffer(2 * kBlock);
    for (int32_t done = 0; done < frames; done += kBlock) {
      if (capturing_) {
        std::vector<float> in(2 * kBlock);
        for (int32_t k = 0; k < 2 * kBlock; ++k)
          in[k] = 0.3f * std::sin(static_cast<float>(rendered_ + k / 2) * 0.05f);
        float* p = in.data();
        int64_t resync = 0;
        CaptureAudio(&p, 2 * kBlock, &resync);
      }
      float* out = buffer.data();
      RenderAudio(&out, 0, 2 * kBlock);
      for (int32_t b = 0; b < kBlock / kTickBlock; ++b) {
        rendered_ += kTickBlock;
        if (tick_) tick_(rendered_ / kTickBlock - 1);
      }
    }
  }

  int64_t rendered_ = 0;
};

// One case, its dumps described as "patch|kernel NAME MODE NOTES FRAMES FEED
// ORDER" (ORDER sorts the table: feeds, then types by number, each Oscillator
// shape after the Oscillator).
void Measure(int32_t type, int32_t mode, int32_t shape, int32_t notes, const std::string& name, int32_t frames) {
  CostRig rig;
  rig.Start();
  if (!rig.Make(type, mode, shape, notes)) {
    std::printf("%s: could not be built\n", name.c_str());
    rig.Stop();
    return;
  }
  rig.Play(kWarmUpFrames);
  const std::string label = name + " " + (mode == 1 ? "PerVoice" : "SingleVoice") + " " + std::to_string(notes) + " " +
                            std::to_string(frames) + " " + (type >= 0 ? FeedName(FeedOf(type)) : "-") + " " +
                            std::to_string(100 * type + shape + 1);
  if (RUNNING_ON_VALGRIND) {
    // The strings outlive the requests that pass them.
    const std::string patch = "patch " + label;
    const std::string kernel = "kernel " + label;
    gKernelPass = false;
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    rig.Play(frames);
    CALLGRIND_TOGGLE_COLLECT;
    CALLGRIND_DUMP_STATS_AT(patch.c_str());
    if (type >= 0) {
      gKernelPass = true;
      rig.Play(frames);
      gKernelPass = false;
      CALLGRIND_DUMP_STATS_AT(kernel.c_str());
    }
  } else {
    const double t0 = CpuSeconds();
    rig.Play(frames);
    const double ns = (CpuSeconds() - t0) * 1e9 / frames;
    std::printf("patch %s %.1f ns/frame\n", label.c_str(), ns);
  }
  rig.Stop();
}

const char* const kShapeNames[kWaveShapeCount] = {"Sine", "Triangle", "Square", "Sawtooth", "InvertedSine", "Cycloid",
                                                  "CubicSine", "WhiteNoise", "Parabola", "InvertedParabola",
                                                  "AsymmetricParabola", "Experimental"};

}  // namespace
}  // namespace Tarvelo

int main(int argc, char** argv) {
  using namespace Tarvelo;
  using namespace Tarvelo::testing_rig;
  const char* env = std::getenv("TYPE_COST_FRAMES");
  int32_t frames = env != nullptr ? std::atoi(env) : 1920;
  frames = frames < kBlock ? kBlock : frames / kBlock * kBlock;
  std::vector<int32_t> types;
  for (int i = 1; i < argc; ++i) types.push_back(std::atoi(argv[i]));
  if (types.empty()) {
    for (int32_t t = kFeedNone; t < kModuleTypeCount; ++t) types.push_back(t);
  }
  const int32_t noteCounts[3] = {0, 1, 32};
  for (int32_t t : types) {
    if (t < kFeedNone || t >= kModuleTypeCount) continue;
    const int32_t mode = t >= 0 && (kPlans[t].modes & kPerVoice) == 0 ? 0 : 1;
    const std::string name = t < 0 ? FeedName(t) : kPlans[t].name;
    for (int32_t n : noteCounts) Measure(t, mode, -1, n, name, frames);
    if (t == kTOscillator)
      for (int32_t s = 0; s < kWaveShapeCount; ++s)
        for (int32_t n : noteCounts) Measure(t, mode, s, n, std::string("Oscillator/") + kShapeNames[s], frames);
  }
  return 0;
}
