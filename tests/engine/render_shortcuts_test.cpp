// The render's shortcuts (the remembered port walks, the keyboards' kept
// publishes, the envelopes' proofs) against the long way: the same synths
// rendered as shipped, with every shortcut forgotten before every frame
// (RenderShortcutsOff), and on the plain kernels (a child process), must give
// the same output and leave every module with the same voices, bit for bit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/dsp/adsr.h"
#include "engine/dsp/kernel_choice.h"
#include "engine/dsp/mixer.h"
#include "engine/dsp/stepseq.h"
#include "tests/engine/child_run.h"
#include "tests/engine/random_patch.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

namespace rp = random_patch;
using testing_synth::kTypeRectifier;
constexpr int32_t kTypeSineWave = 35;
constexpr int32_t kTypeEnvelopeFollower = 14;
constexpr int32_t kTypeRandomizer = 32;

// A positive whole number from the environment, else the default.
int32_t EnvCount(const char* name, int32_t otherwise) {
  const char* s = std::getenv(name);
  const int32_t n = s != nullptr ? std::atoi(s) : 0;
  return n > 0 ? n : otherwise;
}
// Seeds run by the differential test: TARVELO_SHORTCUT_SEEDS of them, else a
// count that keeps a sanitizer pass short, from TARVELO_SHORTCUT_FIRST (0).
int32_t SeedCount() { return EnvCount("TARVELO_SHORTCUT_SEEDS", 24); }
uint64_t FirstSeed() { return static_cast<uint64_t>(EnvCount("TARVELO_SHORTCUT_FIRST", 0)); }
// Each seed's play: TARVELO_SHORTCUT_CALLS render calls of 1 to
// TARVELO_SHORTCUT_FRAMES frames.
int32_t CallCount() { return EnvCount("TARVELO_SHORTCUT_CALLS", 30); }
int32_t MostFrames() { return EnvCount("TARVELO_SHORTCUT_FRAMES", 70); }

// What one run of a synth gave: a hash of every output float and of every
// module's voices at the end of each render call.
struct Played {
  uint64_t hash = 0;
  std::vector<float> left;         // the output's left channel, when kept
  std::vector<int32_t> types;      // the types the synth held
  std::vector<int32_t> actions;    // the changes made, by kind
};

class RenderShortcutsTest : public testing_synth::SynthTest {
 protected:
  void SetUp() override { Start(); }
  void TearDown() override { Stop(); }

  // Each run starts from the same engine: counters, parities and the
  // generator as at start-up. The generator is seeded before the engine
  // starts too: the catalog draws the Step sequencer's first pattern word
  // from it, which would otherwise follow what the run before drew.
  void Start() {
    FrameCounter.store(0);
    FrameParity = 0;
    PreviousFrameParity = 1;
    SeedRandom(7);
    SynthTest::SetUp();
    SeedRandom(7);
    // One thread posts and renders: nothing to wait for.
    waits_ = {CommandSlotWait, ModuleLiveWait, FrameHoldWait};
    CommandSlotWait = ModuleLiveWait = FrameHoldWait = 0.0;
  }
  void Stop() {
    // What is still queued names this engine's modules: taken before it closes.
    for (int32_t i = 0; i < 4096 && (ControllerMovesWaiting() || EngineCommandPending()); ++i) Render(1);
    RenderShortcutsOff.store(false);
    PlaybackActive = 0;
    CommandSlotWait = waits_[0];
    ModuleLiveWait = waits_[1];
    FrameHoldWait = waits_[2];
    SynthTest::TearDown();
    rp::FreeEntries(patch_);
    patch_ = rp::Patch{};
  }
  void Restart() {
    Stop();
    Start();
  }

  // Frames rendered and hashed with every module's voices after them.
  void RenderInto(Played& run, rp::Hash& hash, int32_t frames, bool keep) {
    const std::vector<float> y = Render(frames);
    for (size_t i = 0; i < y.size(); ++i) {
      hash.Float(y[i]);
      if (keep && i % 2 == 0) run.left.push_back(y[i]);
    }
    for (const ModuleRecord* m : patch_.modules) rp::HashModule(hash, *m);
  }

  // The synth of a rebuild that resets a module read by another processed
  // before it: a held key, an ADSR, a Sine, a Rectifier R reading the
  // keyboard and an Envelope follower E reading R, all four into a Mixer.
  struct Follower {
    ModuleRecord* r;
    ModuleRecord* e;
  };
  Follower BuildFollower() {
    ModuleRecord* kb = rp::AddOfType(patch_, kTypeKeyboard);
    ModuleRecord* adsr = rp::AddOfType(patch_, kTypeAdsr);
    ModuleRecord* sine = rp::AddOfType(patch_, kTypeSineWave);
    ModuleRecord* r = rp::AddOfType(patch_, kTypeRectifier);
    ModuleRecord* e = rp::AddOfType(patch_, kTypeEnvelopeFollower);
    ModuleRecord* mix = rp::AddOfType(patch_, kTypeMixer);
    Link(adsr, kAdsrFrequency, kb);
    Link(r, 0, kb);
    Link(e, 0, r);
    Link(mix, kMixerFirstInput, adsr);
    Link(mix, kMixerFirstInput + 1, r);
    Link(mix, kMixerFirstInput + 2, sine);
    Link(mix, kMixerFirstInput + 3, e);
    Output(mix);
    EXPECT_GE(KeyNoteOn(48, 1.0f, kb->InstanceNumber.Load()), 0);
    return {r, e};
  }
  // Its place in the order (entries run from the last to the first).
  static int32_t Place(const ModuleRecord* m) {
    const ProcessingOrderBlock* order = ProcessingOrder.load();
    for (int32_t j = 0; j < order->Count; ++j)
      if (order->Entries[j] == m) return j;
    return -1;
  }

  // The follower synth: 2,000 frames, R's switch, 4,800 frames more.
  Played RunFollower(bool playing, bool keep) {
    Played run;
    rp::Hash hash;
    PlaybackActive = playing ? -1 : 0;
    const Follower f = BuildFollower();
    RenderInto(run, hash, 2000, keep);
    EXPECT_GT(Place(f.e), Place(f.r)) << "E runs before R";
    e_before_ = f.e->Outputs[0][0].Level;
    rp::PressPerVoice(f.r);
    RenderInto(run, hash, 4800, keep);
    e_after_ = f.e->Outputs[0][0].Level;
    run.hash = hash.h;
    return run;
  }

  // A Sample reading itself through a feedback port while a Keyboard without
  // keys leaves it no voices, so each frame seeds its feedback; its sound
  // attached again through the mailbox, which resets it to one voice.
  Played RunSampleAttach(bool keep) {
    Played run;
    rp::Hash hash;
    rp::Rng rng(5);
    PlaybackActive = -1;
    ModuleRecord* kb = rp::AddOfType(patch_, kTypeKeyboard);
    ModuleRecord* s = rp::AddOfType(patch_, kTypeSample);
    ModuleRecord* mix = rp::AddOfType(patch_, kTypeMixer);
    Link(s, 0, s);
    Link(s, 1, kb);
    Set(s, s->ParamCount - 1, 0.625f);  // the feedback seed
    Link(mix, kMixerFirstInput, s);
    Output(mix);
    PostAttachWave(s, rp::NewSound(rng, patch_, 400), 0);
    RenderInto(run, hash, 300, keep);
    seeded_before_ = s->Outputs[0][0].Level;
    PostAttachWave(s, rp::NewSound(rng, patch_, 300), 0);
    RenderInto(run, hash, 300, keep);
    seeded_after_ = s->Outputs[0][0].Level;
    run.hash = hash.h;
    return run;
  }

  // A random synth from a seed, played for some 1,000 frames (as the knobs
  // above shape it) with changes between the render calls. Seed 0 is the
  // follower synth.
  Played RunSeed(uint64_t seed) {
    if (seed == 0) return RunFollower(false, false);
    Played run;
    rp::Hash hash;
    rp::Rng rng(seed);
    patch_.playing = rng.OneIn(2);
    PlaybackActive = patch_.playing ? -1 : 0;
    // Seeds 1 to 22 hold every type between them.
    const int32_t type = static_cast<int32_t>((seed - 1) % 22);
    rp::BuildPatch(rng, patch_, 2 + rng.Below(12), {type, type + 22 < kModuleTypeCount ? type + 22 : type});
    for (const ModuleRecord* m : patch_.modules) run.types.push_back(m->Type);
    const int32_t calls = CallCount();
    const int32_t frames = MostFrames();
    for (int32_t call = 0; call < calls; ++call) {
      RenderInto(run, hash, 1 + rng.Below(frames), false);
      for (int32_t a = rng.Below(4); a > 0; --a) {
        const int32_t kind = rp::ApplyRandomAction(rng, patch_);
        run.actions.push_back(kind);
        if (kind == rp::kActAdd) run.types.push_back(patch_.modules.back()->Type);
      }
      if (rng.OneIn(2)) rp::PlayRandomNote(rng, patch_);
      if (!patch_.playing) ReclaimRemovedModules();
    }
    run.hash = hash.h;
    return run;
  }
  // Both ways in this process.
  std::pair<Played, Played> BothWays(const std::function<Played()>& make) {
    Restart();
    Played shipped = make();
    Restart();
    RenderShortcutsOff.store(true);
    Played bypassed = make();
    RenderShortcutsOff.store(false);
    return {shipped, bypassed};
  }

  std::array<double, 3> waits_{};
  rp::Patch patch_;
  float e_before_ = 0.0f;
  float e_after_ = 0.0f;
  float seeded_before_ = 0.0f;
  float seeded_after_ = 0.0f;
};

// First frame where two renders differ, or -1.
int64_t FirstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i]) && !(std::isnan(a[i]) && std::isnan(b[i])))
      return static_cast<int64_t>(i);
  return a.size() == b.size() ? -1 : static_cast<int64_t>(std::min(a.size(), b.size()));
}

// A rebuild resets R's voices while E, processed before R, reads them: E
// keeps computing its voice in every frame after, with playback off (the
// rebuild on this thread) and on (through the mailbox).
TEST_F(RenderShortcutsTest, AReaderOfAModuleResetByARebuildKeepsComputing) {
  for (const bool playing : {false, true}) {
    auto [shipped, bypassed] = BothWays([&] { return RunFollower(playing, true); });
    EXPECT_EQ(FirstDifference(shipped.left, bypassed.left), -1) << playing;
    EXPECT_EQ(shipped.hash, bypassed.hash) << playing;
    // The follower holds its level on the held key, rectified: 1.0.
    Restart();
    RunFollower(playing, false);
    EXPECT_GT(e_before_, 0.99f) << playing;
    EXPECT_GT(e_after_, 0.99f) << playing;
  }
}

// A sound attached through the mailbox resets a Sample to one voice outside
// any frame; the frame after ends with none, the count it had before the
// reset: the frames after that still walk as the voices now are.
TEST_F(RenderShortcutsTest, ASoundAttachedWhilePlayingMakesTheNextFramesWalkAgain) {
  auto [shipped, bypassed] = BothWays([&] { return RunSampleAttach(true); });
  EXPECT_EQ(FirstDifference(shipped.left, bypassed.left), -1);
  EXPECT_EQ(shipped.hash, bypassed.hash);
  Restart();
  RunSampleAttach(false);
  EXPECT_EQ(seeded_before_, 0.625f);
  EXPECT_EQ(seeded_after_, 0.625f);
}

// A run hears nothing of the runs before it in the same process: a Step
// sequencer as added (its first pattern word drawn when the catalog is
// built), switched on, plays the same after a Randomizer drew from the
// generator once, twice and ten times (every 2,400 frames) as after nothing.
TEST_F(RenderShortcutsTest, ARunHearsNothingOfTheRunsBeforeIt) {
  auto stepper = [&] {
    Restart();
    ModuleRecord* s = rp::AddOfType(patch_, kTypeStepSequencer);
    s->ModuleSwitches[kSwitchPlay].Store(-1);
    Output(s);
    Played run;
    rp::Hash hash;
    RenderInto(run, hash, 24000, false);
    return std::pair{s->Params[kStepPattern].Value.Load(), hash.h};
  };
  const auto alone = stepper();
  for (const int32_t frames : {1, 2401, 24000}) {
    Restart();
    Output(rp::AddOfType(patch_, kTypeRandomizer));
    const std::mt19937 before = RandomGenerator;
    Render(frames);
    EXPECT_NE(before, RandomGenerator) << frames;
    const auto after = stepper();
    EXPECT_EQ(after.first, alone.first) << frames;
    EXPECT_EQ(after.second, alone.second) << frames;
  }
}

// The hashes of the seeds on this process's kernels, written to the file
// TARVELO_SHORTCUT_HASHES names; run by the next test in a child.
TEST_F(RenderShortcutsTest, SeedHashesOfThisProcess) {
  const char* file = std::getenv("TARVELO_SHORTCUT_HASHES");
  if (file == nullptr) GTEST_SKIP() << "run by RandomSynthsRenderTheSameEveryWay";
  std::ofstream out(file);
  for (int32_t i = 0; i < SeedCount(); ++i) {
    Restart();
    out << RunSeed(FirstSeed() + static_cast<uint64_t>(i)).hash << "\n";
  }
}

// Random synths from fixed seeds, the follower synth among them: the same
// twice with the shortcuts (what outlives the engine's close would show
// here), then the same without them and on the other kernel builds.
TEST_F(RenderShortcutsTest, RandomSynthsRenderTheSameEveryWay) {
  const int32_t seeds = SeedCount();
  const uint64_t first = FirstSeed();
  std::vector<uint64_t> hashes;
  std::vector<uint64_t> unsteady;
  std::vector<uint64_t> differing;
  std::vector<int32_t> types(kModuleTypeCount, 0);
  std::vector<int32_t> actions(rp::kActionKinds, 0);
  for (uint64_t seed = first; seed < first + static_cast<uint64_t>(seeds); ++seed) {
    Restart();
    const uint64_t again = RunSeed(seed).hash;
    auto [shipped, bypassed] = BothWays([&] { return RunSeed(seed); });
    // A seed that is not the same twice says nothing of the shortcuts.
    if (shipped.hash != again)
      unsteady.push_back(seed);
    else if (shipped.hash != bypassed.hash)
      differing.push_back(seed);
    hashes.push_back(shipped.hash);
    for (int32_t t : shipped.types) ++types[static_cast<size_t>(t)];
    for (int32_t a : shipped.actions) ++actions[static_cast<size_t>(a)];
  }
  auto listed = [](const std::vector<uint64_t>& v) {
    std::string list;
    for (uint64_t s : v) list += " " + std::to_string(s);
    return list;
  };
  EXPECT_TRUE(unsteady.empty()) << unsteady.size() << " of " << seeds
                                << " seeds differ between two runs with the shortcuts:" << listed(unsteady);
  EXPECT_TRUE(differing.empty()) << differing.size() << " of " << seeds
                                 << " seeds differ without the shortcuts:" << listed(differing);
  // The seeds reach every type and every kind of change.
  if (seeds >= 23) {
    for (int32_t t = 0; t < kModuleTypeCount; ++t) EXPECT_GT(types[static_cast<size_t>(t)], 0) << "type " << t;
    for (int32_t a = 0; a < rp::kActionKinds; ++a) EXPECT_GT(actions[static_cast<size_t>(a)], 0) << "action " << a;
  }

  // The same seeds in a child on the other kernels: the plain ones, or the
  // chosen ones when this process runs on the plain ones.
  char path[] = "/tmp/tarvelo_shortcut_hashes_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(testing_child::RunTestInChild(
      "RenderShortcutsTest.SeedHashesOfThisProcess", {"TARVELO_PLAIN_KERNELS=", "TARVELO_SHORTCUT_"},
      {std::string("TARVELO_PLAIN_KERNELS=") + (PlainKernelsAsked() ? "0" : "1"),
       "TARVELO_SHORTCUT_SEEDS=" + std::to_string(seeds), "TARVELO_SHORTCUT_FIRST=" + std::to_string(first),
       "TARVELO_SHORTCUT_CALLS=" + std::to_string(CallCount()),
       "TARVELO_SHORTCUT_FRAMES=" + std::to_string(MostFrames()), std::string("TARVELO_SHORTCUT_HASHES=") + path}));
  std::ifstream in(path);
  std::vector<uint64_t> other;
  for (uint64_t h; in >> h;) other.push_back(h);
  std::remove(path);
  ASSERT_EQ(other.size(), hashes.size());
  std::string kernels;
  for (size_t s = 0; s < hashes.size(); ++s)
    if (hashes[s] != other[s]) kernels += " " + std::to_string(first + s);
  EXPECT_TRUE(kernels.empty()) << "seeds that differ on the other kernels:" << kernels;
}

}  // namespace
}  // namespace Tarvelo
