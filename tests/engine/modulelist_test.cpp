#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "basics/labels.h"
#include "module_fixture.h"

using namespace Tarvelo;
using tarvelo_test::EngineTest;

namespace {

constexpr int32_t kCapture = 0;
constexpr int32_t kOscillator = 2;
constexpr int32_t kKeyboard = 3;
constexpr int32_t kFilter = 22;
constexpr int32_t kAddition = 33;
constexpr int32_t kRectifier = 41;

using ModuleListTest = EngineTest;

std::vector<ModuleRecord*> OrderEntries() {
  const ProcessingOrderBlock* o = ProcessingOrder.load();
  return std::vector<ModuleRecord*>(o->Entries, o->Entries + o->Count);
}

TEST_F(ModuleListTest, AddLimits) {
  ModuleRecord* m = nullptr;
  EXPECT_EQ(AddModule(0, false, &m), -19);  // nothing to copy
  EXPECT_EQ(m, nullptr);
  EXPECT_GE(AddModule(kCapture, true, &m), 0);
  EXPECT_EQ(CaptureModule.load(), m);
  EXPECT_EQ(AddModule(kCapture, true, &m), -19);  // a second Capture
  for (int32_t i = 0; i < 16; ++i) ASSERT_GE(AddModule(kKeyboard, true, &m), 0);
  EXPECT_EQ(m->InstanceNumber.Load(), 16);
  EXPECT_EQ(CurrentKeyboard.load(), ModuleList.entries[1]);  // instance 1 plays the on-screen keys
  EXPECT_EQ(AddModule(kKeyboard, true, &m), -19);
  EXPECT_EQ(ModuleList.count, 17);
  EXPECT_GE(AddModule(99, true, &m), 0);  // clamped to the last type
  EXPECT_EQ(m->Type, kModuleTypeCount - 1);
}

TEST_F(ModuleListTest, ListGrowsAndKeepsIndexes) {
  std::free(ModuleList.entries);
  ModuleList.entries = static_cast<ModuleRecord**>(std::calloc(4, sizeof(ModuleRecord*)));
  ModuleList.capacity = 4;
  std::vector<ModuleRecord*> added;
  for (int32_t i = 0; i < 5; ++i) added.push_back(Add(kRectifier));
  EXPECT_EQ(ModuleList.capacity, 8);
  for (int32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ModuleList.entries[i], added[i]);
    EXPECT_EQ(added[i]->ListIndex.Load(), i);
    EXPECT_EQ(added[i]->InstanceNumber.Load(), i + 1);
  }
}

std::vector<std::pair<int64_t, std::string>> g_titles;
std::vector<int64_t> g_hidden;
int g_purges = 0;

TEST_F(ModuleListTest, RemovalRenumbersRetitlesAndUnlinks) {
  g_titles.clear();
  g_hidden.clear();
  g_purges = 0;
  BoxHooks.Retitle = [](int64_t box, const std::string& title) { g_titles.emplace_back(box, title); };
  BoxHooks.Hide = [](int64_t box) { g_hidden.push_back(box); };
  BoxHooks.RaisePurge = [] { ++g_purges; };
  ModuleRecord* o1 = Add(kOscillator);
  ModuleRecord* o2 = Add(kOscillator);
  ModuleRecord* o3 = Add(kOscillator);
  ModuleRecord* sum = Add(kAddition);
  o1->BoxControl.Store(11);
  o2->BoxControl.Store(12);
  o3->BoxControl.Store(13);
  o3->MidiDeviceBinding.Store(3);  // wave shape
  Link(sum, 0, o1);
  Link(sum, 1, o1);
  Link(o1, 0, o2);
  SelectedModule = o1;
  RemoveModule(o1);
  EXPECT_EQ(ModuleList.count, 3);
  EXPECT_EQ(ModuleList.entries[0], o2);
  EXPECT_EQ(o2->InstanceNumber.Load(), 1);
  EXPECT_EQ(o3->InstanceNumber.Load(), 2);
  EXPECT_EQ(o2->ListIndex.Load(), 0);
  EXPECT_EQ(sum->ListIndex.Load(), 2);
  EXPECT_EQ(SelectedModule, nullptr);
  std::string shortName = QUARLE_BASICS::DynZStringGet(o2->ShortName);
  ASSERT_EQ(g_titles.size(), 2u);
  EXPECT_EQ(g_titles[0].first, 12);
  EXPECT_EQ(g_titles[0].second, shortName + " 1 : " + QUARLE_BASICS::AbbreviateLabel("Sine", 0));
  EXPECT_EQ(g_titles[1].second, shortName + " 2 : " + QUARLE_BASICS::AbbreviateLabel("Sawtooth", 0));
  EXPECT_FALSE(g_hidden.empty());
  EXPECT_EQ(g_hidden[0], 11);
  EXPECT_EQ(g_purges, 1);
  // Readers of the removed module fall back to their values; its sources forget it.
  EXPECT_EQ(sum->PortSources[0].Load(), sum->PortValueModules[0]);
  EXPECT_EQ(sum->PortSources[1].Load(), sum->PortValueModules[1]);
  EXPECT_EQ(o2->OutputTargets[0], nullptr);
  // Nothing renders: it was freed at once.
  EXPECT_EQ(RemovedModuleList.count, 0);
}

TEST_F(ModuleListTest, ChainDepthsAndOrder) {
  ModuleRecord* out = Add(kRectifier);
  ModuleRecord* a = Add(kRectifier);
  ModuleRecord* b = Add(kRectifier);
  Link(out, 0, a);
  Link(a, 0, b);
  RequestGraphRebuild(0, 0, out);
  EXPECT_EQ(SynthOutputModule.load(), out);
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{out, a, b}));
  EXPECT_EQ(out->ProcessingDepth, 0);
  EXPECT_EQ(a->ProcessingDepth, 1);
  EXPECT_EQ(b->ProcessingDepth, 2);
  // Depths are only raised: a shorter path later keeps the deeper depth.
  Link(out, 0, b);
  UpdateProcessingOrder(0);
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{out, b}));
  EXPECT_EQ(b->ProcessingDepth, 2);
  RequestGraphRebuild(~uint64_t{0}, 0, nullptr);
  EXPECT_EQ(SynthOutputModule.load(), nullptr);
  EXPECT_TRUE(OrderEntries().empty());
}

TEST_F(ModuleListTest, DiamondsProcessSourcesFirstOnlyWhenDeeper) {
  ModuleRecord* out = Add(kAddition);
  ModuleRecord* a = Add(kRectifier);
  ModuleRecord* b = Add(kRectifier);
  ModuleRecord* s = Add(kRectifier);
  Link(out, 0, a);
  Link(out, 1, b);
  Link(a, 0, s);
  Link(b, 0, s);
  RequestGraphRebuild(0, 0, out);
  std::vector<ModuleRecord*> order = OrderEntries();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0], out);
  EXPECT_EQ(order[3], s);  // walked first
  EXPECT_EQ(s->ProcessingDepth, 2);
  EXPECT_EQ(a->ProcessingDepth, 1);
  EXPECT_EQ(b->ProcessingDepth, 1);
  EXPECT_EQ(s->Params[0].FeedbackPort.Load(), 0);

  // Reached first by the short path, a source keeps that depth: the module
  // reading it through the longer path shares its depth.
  ModuleRecord* out2 = Add(kAddition);
  ModuleRecord* r = Add(kRectifier);
  ModuleRecord* s2 = Add(kRectifier);
  Link(out2, 0, s2);
  Link(out2, 1, r);
  Link(r, 0, s2);
  RequestGraphRebuild(0, 0, out2);
  EXPECT_EQ(OrderEntries().size(), 3u);
  EXPECT_EQ(s2->ProcessingDepth, 1);
  EXPECT_EQ(r->ProcessingDepth, 1);
  EXPECT_EQ(r->HasFeedbackInput, 0);
}

TEST_F(ModuleListTest, FeedbackLoopsAreMarked) {
  ModuleRecord* out = Add(kRectifier);
  ModuleRecord* a = Add(kRectifier);
  ModuleRecord* b = Add(kRectifier);
  Link(out, 0, a);
  Link(a, 0, b);
  Link(b, 0, a);
  RequestGraphRebuild(0, 0, out);
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{out, a, b}));
  EXPECT_EQ(b->Params[0].FeedbackPort.Load(), -1);
  EXPECT_EQ(b->HasFeedbackInput, -1);
  EXPECT_EQ(a->Params[0].FeedbackPort.Load(), 0);
  EXPECT_EQ(a->HasFeedbackInput, 0);
  EXPECT_EQ(a->OrderVisiting, 0);
  // A module reading itself.
  Link(out, 0, out);
  UpdateProcessingOrder(0);
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{out}));
  EXPECT_EQ(out->Params[0].FeedbackPort.Load(), -1);
}

TEST_F(ModuleListTest, ExcludedModulesAndTheirSources) {
  ModuleRecord* out = Add(kAddition);
  ModuleRecord* off = Add(kRectifier);
  ModuleRecord* behind = Add(kRectifier);
  ModuleRecord* f = Add(kFilter);
  Link(out, 0, off);
  Link(off, 0, behind);
  Link(out, 1, f);
  off->ModuleSwitches[kSwitchPower].Store(0);
  off->Outputs[0][0].Level = 0.7f;
  f->RequiredPort = 0;  // its "In"
  f->Outputs[0][0].Level = 0.3f;
  ASSERT_NE(f->RequiresPortLink, 0);  // filters need their input
  RequestGraphRebuild(0, 0, out);
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{out}));
  EXPECT_EQ(off->OrderExcluded.Load(), -1);
  EXPECT_EQ(off->Outputs[0][0].Level, 0.0f);
  EXPECT_EQ(f->OrderExcluded.Load(), -1);
  EXPECT_EQ(f->Outputs[0][0].Level, 0.0f);
  EXPECT_FALSE(ModuleInOrder(ProcessingOrder.load(), behind));
  // Linking the filter's input brings it in.
  Link(f, 0, behind);
  off->ModuleSwitches[kSwitchPower].Store(-1);
  UpdateProcessingOrder(0);
  EXPECT_EQ(OrderEntries().size(), 4u);
}

TEST_F(ModuleListTest, VoiceOwnersAndPerVoiceFlagsPropagate) {
  ModuleRecord* kb = Add(kKeyboard);
  ModuleRecord* r = Add(kRectifier);
  ModuleRecord* osc = Add(kOscillator);
  Link(r, 0, kb);
  osc->VoiceMapSourcePort.Store(2);
  Link(osc, 2, r);
  kb->ModuleSwitches[kSwitchPerVoice].Store(-1);
  r->ModuleSwitches[kSwitchPerVoice].Store(-1);
  r->FollowsPolyphony = 0;
  osc->ModuleSwitches[kSwitchPerVoice].Store(-1);
  osc->PolyphonyMode.Store(1);
  RequestGraphRebuild(0, 0, osc);
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{osc, r, kb}));
  EXPECT_EQ(r->TriggerLink, kb);
  EXPECT_EQ(osc->TriggerLink, kb);
  EXPECT_EQ(osc->TriggerOwner.Load(), kb);
  EXPECT_EQ(r->TriggerOwner.Load(), kb);
  EXPECT_EQ(kb->TriggerOwner.Load(), kb);
  EXPECT_EQ(kb->PerVoiceOutput, -1);
  EXPECT_EQ(r->PerVoiceOutput, -1);
  EXPECT_EQ(osc->PerVoiceOutput, -1);
  // The oscillator follows its lead's per-voice switch only when it follows it.
  osc->FollowsPolyphony = -1;
  r->ModuleSwitches[kSwitchPerVoice].Store(0);
  UpdateProcessingOrder(0);
  EXPECT_EQ(osc->ModuleSwitches[kSwitchPerVoice].Load(), 0);
  EXPECT_EQ(osc->PolyphonyMode.Load(), 0);
  EXPECT_EQ(osc->TriggerOwner.Load(), osc);
}

// A module left out of the order must not keep the trigger links of an older
// rebuild: the module reading it on its lead port would copy them, and once the
// module they point to is removed the next rebuild reads freed memory.
TEST_F(ModuleListTest, ExcludedModulesDropTheirTriggerLinks) {
  constexpr int32_t kMergeStereo = 20;
  ModuleRecord* kb = Add(kKeyboard);
  ModuleRecord* merge = Add(kMergeStereo);
  ModuleRecord* smp = Add(kTypeSample);
  Link(merge, merge->VoiceMapSourcePort.Load(), kb);
  Link(smp, smp->VoiceMapSourcePort.Load(), merge);
  for (ModuleRecord* m : {kb, merge, smp}) m->ModuleSwitches[kSwitchPerVoice].Store(-1);
  RequestGraphRebuild(0, 0, smp);
  ASSERT_EQ(merge->TriggerLink, kb);
  merge->ModuleSwitches[kSwitchPower].Store(0);
  UpdateProcessingOrder(0);
  EXPECT_EQ(merge->TriggerLink, nullptr);
  EXPECT_EQ(merge->VoiceFlagLink, nullptr);
  EXPECT_EQ(smp->TriggerLink, nullptr);
  RemoveModule(kb);
  ASSERT_EQ(RemovedModuleList.count, 0);  // freed at once with playback off
  UpdateProcessingOrder(0);               // read the freed keyboard before
  EXPECT_EQ(smp->TriggerOwner.Load(), smp);
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{smp}));
}

// With playback on, a removed module waits until the rebuild that dropped it
// is in place and the audio thread has finished a frame since.
TEST_F(ModuleListTest, RemovedModuleWaitsForFrameBoundary) {
  ModuleRecord* out = Add(kRectifier);
  ModuleRecord* a = Add(kRectifier);
  Link(out, 0, a);
  RequestGraphRebuild(0, 0, out);
  PlaybackActive = -1;
  RenderBusy = 1;  // the audio thread is inside the render callback
  RemoveModule(a);
  EXPECT_EQ(RemovedModuleList.count, 1);
  EXPECT_TRUE(ModuleInOrder(ProcessingOrder.load(), a));  // still walked this frame
  ExecuteEngineCommand();                                 // next frame: rebuild
  EXPECT_FALSE(ModuleInOrder(ProcessingOrder.load(), a));
  EXPECT_EQ(ReclaimRemovedModules(), 1);  // that frame is not over yet
  FrameCounter.fetch_add(1);
  EXPECT_EQ(ReclaimRemovedModules(), 0);
}

// While playing, a delete posts its unlinks; a link posted before they ran may
// still name the deleted module (the port's source was read before the unlink
// cut it). Run after the unlink, the link is refused at either end: else the
// port reads the module, the next add frees it and the rebuild reads freed
// memory.
TEST_F(ModuleListTest, ALinkNamingADeletedModuleIsRefusedWhenItRuns) {
  ModuleRecord* out = Add(kAddition);
  ModuleRecord* x = Add(kRectifier);
  Link(out, 0, x);
  RequestGraphRebuild(0, 0, out);
  CommandSlotWait = ModuleLiveWait = 0.0;  // this thread renders the frames too
  PlaybackActive = -1;
  RemoveModule(x);  // its unlink waits in the mailbox
  ModuleRecord* const read = out->PortSources[0].Load();
  ASSERT_EQ(read, x);
  PostLinkInput(out, 0, read, out->Type);  // toggles a link the unlink has cut by then
  PostLinkInput(x, 0, out, x->Type);       // into the deleted module
  for (int32_t frame = 0; frame < 8 && EngineCommandPending(); ++frame) {
    ExecuteEngineCommand();
    FrameCounter.fetch_add(1);
  }
  ASSERT_FALSE(EngineCommandPending());
  EXPECT_NE(out->PortSources[0].Load(), x);
  for (int32_t t = 0; t < out->OutputCount.Load(); ++t) EXPECT_NE(out->OutputTargets[t], x);
  Add(kRectifier);  // reclaims x
  EXPECT_EQ(RemovedModuleList.count, 0);
  UpdateProcessingOrder(0);  // read the freed module before
  EXPECT_EQ(OrderEntries(), (std::vector<ModuleRecord*>{out}));
  // The same with playback off: the link is made at once, and refused too.
  PlaybackActive = 0;
  ModuleRecord* y = Add(kRectifier);
  BoxHooks.VideoFrameSerial = [] { return uint64_t{1}; };  // a frame keeps y allocated
  RemoveModule(y);
  PostLinkInput(out, 1, y, out->Type);
  EXPECT_NE(out->PortSources[1].Load(), y);
  BoxHooks.VideoFrameSerial = nullptr;
  EXPECT_EQ(ReclaimRemovedModules(), 0);
  // What an unlinked port reads is its module's own value, no source to link.
  ModuleRecord* z = Add(kRectifier);
  ModuleRecord* const value = z->PortSources[0].Load();
  ASSERT_EQ(value, z->PortValueModules[0]);
  PostLinkInput(out, 1, value, out->Type);
  EXPECT_NE(out->PortSources[1].Load(), value);
  EXPECT_EQ(value->OutputCount.Load(), 0);
}

// Whatever in the engine still points at a removed module keeps it, however
// it came to: a listed module's port or output table, a template's table (a
// global port), a kept removed module, the output module. Freed once that goes.
// A video frame in progress holds every removed module here until it ends.
TEST_F(ModuleListTest, ARemovedModuleIsKeptWhileAnythingPointsAtIt) {
  static uint64_t serial = 1;
  BoxHooks.VideoFrameSerial = [] { return serial; };
  struct Case {
    const char* what;
    std::function<void(ModuleRecord* out, ModuleRecord* x, ModuleRecord* y)> point, drop;
    int32_t kept;  // x, and y when it is what points at x
  };
  const Case cases[] = {
      {"a listed module's port", [](ModuleRecord* out, ModuleRecord* x, ModuleRecord*) { Link(out, 1, x); },
       [](ModuleRecord* out, ModuleRecord*, ModuleRecord*) { Link(out, 1, nullptr); }, 1},
      {"a listed module's output table",
       [](ModuleRecord* out, ModuleRecord* x, ModuleRecord*) { ModuleConnectOutput(*out, x, 0); },
       [](ModuleRecord* out, ModuleRecord* x, ModuleRecord*) { ModuleDisconnectOutput(*out, x, 0); }, 1},
      {"a template's table",
       [](ModuleRecord*, ModuleRecord* x, ModuleRecord*) { ModuleConnectOutput(*Template(kRectifier), x, 0); },
       [](ModuleRecord*, ModuleRecord* x, ModuleRecord*) { ModuleDisconnectOutput(*Template(kRectifier), x, 0); },
       1},
      {"a kept removed module",
       [](ModuleRecord* out, ModuleRecord* x, ModuleRecord* y) {
         Link(out, 1, y);
         y->PortSources[0].Store(x);
       },
       [](ModuleRecord* out, ModuleRecord*, ModuleRecord*) { Link(out, 1, nullptr); }, 2},
      {"a listed module reading its port value",
       [](ModuleRecord* out, ModuleRecord* x, ModuleRecord*) { out->PortSources[1].Store(x->PortValueModules[0]); },
       [](ModuleRecord* out, ModuleRecord*, ModuleRecord*) { Link(out, 1, nullptr); }, 1},
      {"the output module", [](ModuleRecord*, ModuleRecord* x, ModuleRecord*) { SynthOutputModule.store(x); },
       [](ModuleRecord* out, ModuleRecord*, ModuleRecord*) { SynthOutputModule.store(out); }, 1},
  };
  ModuleRecord* out = Add(kAddition);
  RequestGraphRebuild(0, 0, out);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModuleRecord* x = Add(kRectifier);
    ModuleRecord* y = Add(kRectifier);
    serial = 1;  // a frame draws while both go
    RemoveModule(x);
    RemoveModule(y);
    ASSERT_EQ(RemovedModuleList.count, 2);
    c.point(out, x, y);
    serial = 2;
    EXPECT_EQ(ReclaimRemovedModules(), c.kept);
    EXPECT_EQ(Add(kOscillator)->Type, kOscillator);  // an add reclaims too
    EXPECT_EQ(RemovedModuleList.count, c.kept);
    UpdateProcessingOrder(0);
    c.drop(out, x, y);
    EXPECT_EQ(ReclaimRemovedModules(), 0);
  }
}

// A module deleted while the video thread draws a frame may still be drawn by
// it: it is freed only once the frame serial moved past that frame (or when
// no frame was drawing at the removal), also through an add or a copy.
TEST_F(ModuleListTest, ARemovedModuleWaitsForTheVideoFrameDrawingWhenItWent) {
  static uint64_t serial = 0;
  const struct {
    bool hook;
    uint64_t atRemoval, then;
    int32_t kept;
  } cases[] = {
      {false, 0, 0, 0},  // no video thread
      {true, 4, 4, 0},   // between frames
      {true, 4, 5, 0},   // a frame that began after the removal
      {true, 5, 5, 1},   // the frame drawing at the removal is not over
      {true, 5, 6, 0},   {true, 5, 7, 0},
  };
  ModuleRecord* out = Add(kAddition);
  RequestGraphRebuild(0, 0, out);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.hook << " " << c.atRemoval << " " << c.then);
    BoxHooks.VideoFrameSerial = c.hook ? +[] { return serial; } : nullptr;
    ModuleRecord* x = Add(kRectifier);
    serial = c.atRemoval;
    RemoveModule(x);  // reclaims at its end
    EXPECT_EQ(RemovedModuleList.count, c.hook && (c.atRemoval & 1) != 0 ? 1 : 0);
    serial = c.then;
    ModuleRecord* copy = nullptr;
    ASSERT_GE(AddModule(out->ListIndex.Load(), false, &copy), 0);
    EXPECT_EQ(RemovedModuleList.count, c.kept);
    serial += c.then & 1;  // that frame ends
    EXPECT_EQ(ReclaimRemovedModules(), 0);
    RemoveModule(copy);
  }
}

TEST_F(ModuleListTest, ClearSynthDetachesEverything) {
  ModuleRecord* kb = Add(kKeyboard);
  ModuleRecord* out = Add(kRectifier);
  Link(out, 0, kb);
  RequestGraphRebuild(0, 0, out);
  SelectedModule = out;
  ClearSynth();
  EXPECT_EQ(ModuleList.count, 0);
  EXPECT_EQ(SynthOutputModule.load(), nullptr);
  EXPECT_EQ(CurrentKeyboard.load(), nullptr);
  EXPECT_EQ(SelectedModule, nullptr);
  EXPECT_TRUE(OrderEntries().empty());
  EXPECT_EQ(RemovedModuleList.count, 0);
}

// Many removals while a stand-in for the render callback walks the order: a
// module must never be freed while a walk can reach it (AddressSanitizer), and
// the links a frame reads never change under it (ThreadSanitizer, and the
// frame's own check: the output's two ports read the same at its end as at its
// start).
TEST_F(ModuleListTest, RemovalsWhileRendering) {
  ModuleRecord* out = Add(kAddition);
  RequestGraphRebuild(0, 0, out);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> frames{0};
  std::atomic<int32_t> changedInFrame{0};
  PlaybackActive = -1;
  std::thread render([&] {
    float sink = 0.0f;
    while (!stop.load()) {
      RenderBusy = 1;
      for (int32_t f = 0; f < 16; ++f) {
        ExecuteEngineCommand();
        const ModuleRecord* first[2] = {out->PortSources[0].Load(), out->PortSources[1].Load()};
        const ProcessingOrderBlock* order = ProcessingOrder.load();
        for (int32_t i = order->Count - 1; i >= 0; --i) {
          ModuleRecord* m = order->Entries[i];
          for (int32_t p = 0; p < m->PortCount; ++p) sink += m->PortSources[p].Load()->Outputs[0][0].Level;
          m->Outputs[0][0].Level = sink * 0.0f;
          std::this_thread::yield();  // a long frame, so a change from outside would land inside it
        }
        if (out->PortSources[0].Load() != first[0] || out->PortSources[1].Load() != first[1]) changedInFrame.fetch_add(1);
        FrameCounter.fetch_add(1);
        frames.fetch_add(1);
      }
      RenderBusy = 0;
      std::this_thread::yield();
    }
  });
  std::mt19937 rng(3);
  for (int32_t round = 0; round < 60; ++round) {
    ModuleRecord* a = Add(kRectifier);
    ModuleRecord* b = Add(kRectifier);
    PostLinkInput(a, 0, b, a->Type);
    PostLinkInput(out, 0, a, out->Type);
    PostLinkInput(out, 1, a, out->Type);
    RequestGraphRebuild(0, 0, nullptr);
    RemoveModule(rng() % 2 ? a : b);
  }
  while (EngineCommandPending()) std::this_thread::yield();
  uint64_t seen = frames.load();
  while (frames.load() < seen + 32) std::this_thread::yield();
  ReclaimRemovedModules();
  stop = true;
  render.join();
  PlaybackActive = 0;
  EXPECT_EQ(ReclaimRemovedModules(), 0);
  EXPECT_EQ(ModuleList.count, 61);
  EXPECT_EQ(changedInFrame.load(), 0);
}

// Copying a linked module while playback runs: the copy reads what the rebuild
// on the audio thread writes (channels, polyphony, per-voice output) and
// enters itself in its source's output table, which that rebuild walks. Taken
// between two frames, ThreadSanitizer sees no race and every copy is in the
// source's table.
TEST_F(ModuleListTest, CopiesOfLinkedModulesWhileRendering) {
  ModuleRecord* kb = Add(kKeyboard);
  ModuleRecord* out = Add(kAddition);
  ModuleRecord* r = Add(kRectifier);
  Link(r, 0, kb);
  Link(out, 0, r);
  r->ModuleSwitches[kSwitchPerVoice].Store(-1);
  RequestGraphRebuild(0, 0, out);
  std::atomic<bool> stop{false};
  PlaybackActive = -1;
  std::thread render([&] {
    float sink = 0.0f;
    while (!stop.load()) {
      RenderBusy = 1;
      for (int32_t f = 0; f < 8; ++f) {
        ExecuteEngineCommand();
        UpdateProcessingOrderOnRender(0);  // writes what a copy reads
        const ProcessingOrderBlock* order = ProcessingOrder.load();
        for (int32_t i = order->Count - 1; i >= 0; --i) {
          ModuleRecord* m = order->Entries[i];
          for (int32_t t = 0; t < m->OutputCount.Load(); ++t) sink += m->OutputTargets[t] != nullptr ? 1.0f : 0.0f;
          m->Outputs[0][0].Level = sink * 0.0f;
        }
        FrameCounter.fetch_add(1);
      }
      RenderBusy = 0;
      std::this_thread::yield();
    }
  });
  std::vector<ModuleRecord*> copies;
  for (int32_t i = 0; i < 30; ++i) {
    ModuleRecord* c = nullptr;
    ASSERT_GE(AddModule(r->ListIndex.Load(), false, &c), 0);
    copies.push_back(c);
    PostLinkInput(out, 1, c, out->Type);
  }
  while (EngineCommandPending()) std::this_thread::yield();
  stop = true;
  render.join();
  PlaybackActive = 0;
  for (ModuleRecord* c : copies) {
    EXPECT_EQ(c->PortSources[0].Load(), kb);
    int32_t entries = 0;
    for (int32_t t = 0; t < kb->OutputCount.Load(); ++t) entries += kb->OutputTargets[t] == c ? 1 : 0;
    EXPECT_EQ(entries, 1);
  }
  EXPECT_EQ(out->PortSources[1].Load(), copies.back());
}

}  // namespace

// A render stuck inside a frame never reaches the boundary a copy waits for:
// a copy of a listed module (which would enter its source's output table), a
// module made from a template and a module a load makes are then not made at
// all, and the add says why (the load says it once for all its modules).
TEST_F(ModuleListTest, CopiesTheRenderNeverPausesForAreNotMade) {
  ModuleRecord* kb = Add(kKeyboard);
  ModuleRecord* osc = Add(kOscillator);
  Link(osc, 0, kb);
  const int32_t outputs = kb->OutputCount.Load();
  struct Case {
    const char* what;
    std::function<int32_t(ModuleRecord**)> make;
    int32_t says;  // reports of the wait
    bool listed;
  };
  const Case cases[] = {
      {"a copy of a listed module", [&](ModuleRecord** m) { return AddModule(osc->ListIndex.Load(), false, m); }, 1, true},
      {"a module of a type", [](ModuleRecord** m) { return AddModule(kOscillator, true, m); }, 1, true},
      {"a module a load makes",
       [](ModuleRecord** m) {
         int32_t type = kOscillator;
         return NewModuleRecord(m, type, 2);
       },
       0, false},
  };
  const double wait = FrameHoldWait;
  FrameHoldWait = 0.01;
  constexpr int32_t kTries = 5;
  for (const Case& c : cases) {
    int32_t made = 0;
    tarvelo_test::Messages().clear();
    for (int32_t i = 0; i < kTries; ++i) {
      PlaybackActive = -1;
      RenderBusy = 1;
      ModuleRecord* m = osc;
      const int32_t rc = c.make(&m);
      RenderBusy = 0;
      PlaybackActive = 0;
      if (rc < 0 || m == nullptr) continue;
      ++made;
      if (c.listed)
        RemoveModule(m);
      else
        ModuleRecordDelete(m);
    }
    EXPECT_EQ(made, 0) << c.what << ": made " << made << " of " << kTries;
    int32_t says = 0;
    for (const auto& [text, level] : tarvelo_test::Messages()) says += text == "Waiting for audio thread." ? 1 : 0;
    EXPECT_EQ(says, c.says * kTries) << c.what;
    EXPECT_EQ(ModuleList.count, 2) << c.what;
    EXPECT_EQ(kb->OutputCount.Load(), outputs) << c.what;
  }
  FrameHoldWait = wait;
  // With nothing rendering the same copy is made.
  ModuleRecord* copy = nullptr;
  ASSERT_GE(AddModule(osc->ListIndex.Load(), false, &copy), 0);
  EXPECT_EQ(copy->PortSources[0].Load(), kb);
  EXPECT_EQ(kb->OutputCount.Load(), outputs + 1);
}
