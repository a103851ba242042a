// The sample and melody lists mark the entry the selected module holds, read
// when the list draws. Set while the render plays the module posts the attach
// (or detach) to the render: the list is published for its draw only once the
// render ran it, so the mark is what the render has.
#include <atomic>
#include <thread>

#include "engine/command.h"
#include "engine/dsp/mixer.h"
#include "engine/render.h"
#include "panels_b_fixture.h"
#include "app/documents/doc_hooks.h"

namespace panelsb {
namespace {

using namespace Tarvelo;

// What the list's draw would mark, taken at each publish of a library list.
int32_t g_publishes = 0;
const WaveLibraryEntry* g_marked = nullptr;
void (*g_publish)(int32_t, int64_t) = nullptr;
void NotePublish(int32_t type, int64_t flags) {
  ++g_publishes;
  g_marked = SelectedModule != nullptr ? SelectedModule->SampleEntry.Load() : nullptr;
  if (g_publish != nullptr) g_publish(type, flags);
}

// A suite of its own: joining PanelsBTest here would run that whole suite
// before the ones registered after this file.
using AttachMarkTest = PanelsBTest;

TEST_F(AttachMarkTest, SetWhilePlayingPublishesTheListAfterTheRenderAttached) {
  ModuleRecord* sample = Make(kTypeSample);
  ModuleRecord* sequencer = Make(kTypeSequencer);
  ModuleRecord* mixer = Make(kTypeMixer);
  ModuleLinkInput(*mixer, kMixerFirstInput, sample, &ModuleCatalog[kTypeMixer]);
  ModuleLinkInput(*mixer, kMixerFirstInput + 1, sequencer, &ModuleCatalog[kTypeMixer]);
  RequestGraphRebuild(0, 0, mixer);
  for (ModuleRecord* m : {sample, sequencer}) {
    ASSERT_TRUE(ModuleInOrder(ProcessingOrder.load(), m)) << m->Type;
    m->SelectedParam.Store(-1);
  }
  WaveLibraryEntry* sound = AddEntry(SynthSamples, "a.wav", 480);
  sound->RateRatio = QUARLE_BASICS::Ratio{1, 1};
  sound->Pitch[0] = 440.0f;
  WaveLibraryEntry* melody = AddEntry(MelodyLibrary, "tune.mel", 16);
  const int32_t sampleSet = Slot(kUiWLIST) + 3;
  const int32_t melodySet = Slot(kUiMLIST) + 3;
  ASSERT_EQ(Id(sampleSet), "SSET");
  ASSERT_EQ(Id(melodySet), "MSET");
  g_publish = DocumentUi.PublishLibraryList;
  DocumentUi.PublishLibraryList = NotePublish;

  PlaybackActive = -1;
  PlayingRender render;
  struct Page {
    const char* name;
    ModuleRecord* module;
    int32_t list;
    V::EventCallbackFn set;
    int32_t button;
    WaveLibraryEntry* entry;
  };
  const Page pages[] = {{"sample", sample, Slot(kUiWLIST), OnSampleSet, sampleSet, sound},
                        {"melody", sequencer, Slot(kUiMLIST), OnMelodySet, melodySet, melody}};
  constexpr int32_t kRounds = 24;
  int32_t wrong[2] = {0, 0};
  for (int32_t round = 0; round < kRounds; ++round) {
    for (int32_t p = 0; p < 2; ++p) {
      const Page& page = pages[p];
      // Attach on even rounds, detach (no row selected) on odd ones.
      const bool attach = round % 2 == 0;
      SelectedModule = page.module;
      Field(page.list).Selected = attach ? 0 : -1;
      const int32_t before = g_publishes;
      Click(page.set, page.button);
      ASSERT_GT(g_publishes, before) << page.name << " round " << round;
      if (g_marked != (attach ? page.entry : nullptr)) ++wrong[p];
      while (EngineCommandPending()) std::this_thread::yield();
    }
  }
  render.Stop();
  PlaybackActive = 0;
  RunPendingEngineCommands();
  DocumentUi.PublishLibraryList = g_publish;
  EXPECT_EQ(wrong[0], 0) << "of " << kRounds << " sample Sets the list marked wrong";
  EXPECT_EQ(wrong[1], 0) << "of " << kRounds << " melody Sets the list marked wrong";
}

}  // namespace
}  // namespace panelsb
