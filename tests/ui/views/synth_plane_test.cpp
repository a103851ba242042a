#include "ui/views/synth_plane.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basics/geometry.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "ui/views/cables.h"
#include "ui/views/views_c_fixture.h"

namespace {

namespace V = QUARLE_VISUALS;
using Tarvelo::ModuleRecord;
using Tarvelo::PendingPortLink;

class SynthPlane : public viewsc::ViewsCTest {
 protected:
  void SetUp() override {
    ViewsCTest::SetUp();
    Tarvelo::CancelPendingPortLink();
    Tarvelo::PlaneMoving.store(0);
    Tarvelo::DragModuleIndex = -1;
    Tarvelo::PlaneOffset = Tarvelo::PlaneOffsetRecord{};
    keyboard = Make(Tarvelo::kTypeKeyboard, 200, 300);
    osc = Make(Tarvelo::kTypeOscillator, 600, 600);
    ASSERT_NE(keyboard, nullptr);
    ASSERT_NE(osc, nullptr);
    Tarvelo::ClearHistory();
  }
  void TearDown() override {
    Tarvelo::CancelPendingPortLink();
    Tarvelo::EngineCommandInit();
    ViewsCTest::TearDown();
  }
  static void Click(int32_t id) { Send(id, 8, C(id)->X + 1, C(id)->Y + 1); }
  static int64_t On(int32_t id) { return C(id)->State.On; }
  ModuleRecord* keyboard = nullptr;
  ModuleRecord* osc = nullptr;
};

TEST_F(SynthPlane, DraggingABoxMovesItPastFivePixelsAndItsCablesFollow) {
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*osc, 0, keyboard, &Tarvelo::ModuleCatalog[osc->Type]), 4);
  const int32_t box = static_cast<int32_t>(osc->BoxControl.Load());
  const int32_t x0 = C(box)->X, y0 = C(box)->Y;
  const int32_t port0 = Input(osc, 0);
  const int32_t px0 = C(port0)->X;

  // Five pixels and a release: a selection, not a move; a second one deselects.
  for (ModuleRecord* expected : {osc, static_cast<ModuleRecord*>(nullptr)}) {
    Send(box, 2, x0 + 5, y0 + 5);
    Send(box, 16, 5, -5);
    Send(box, 4, 0, 0);
    EXPECT_EQ(C(box)->X, x0);
    EXPECT_EQ(Tarvelo::SelectedModule, expected);
  }

  Send(box, 2, x0 + 5, y0 + 5);
  EXPECT_EQ(Tarvelo::BoxHasCables(C(box)), -1);
  Send(box, 16, 5, 0);
  EXPECT_EQ(C(box)->X, x0);  // within the threshold: not moved
  EXPECT_EQ(Tarvelo::PlaneMoving.load(), 0);
  Send(box, 16, 1, 0);
  EXPECT_EQ(C(box)->X, x0 + 1);  // the sixth pixel's event only
  EXPECT_EQ(C(port0)->X, px0 + 1);  // its ports go with it
  EXPECT_EQ(Tarvelo::PlaneMoving.load(), -1);  // it has a cable: straight lines meanwhile
  Send(box, 16, 30, 20);
  EXPECT_EQ(C(box)->X, x0 + 31);
  EXPECT_EQ(C(box)->Y, y0 + 20);

  Tarvelo::CablesDirty.store(0);
  Send(box, 4, 0, 0);
  EXPECT_EQ(Tarvelo::SelectedModule, nullptr);  // a move is not a selection
  EXPECT_EQ(Tarvelo::PlaneMoving.load(), 0);
  EXPECT_EQ(Tarvelo::CablesDirty.load(), -1);
  EXPECT_EQ(Tarvelo::BoxHasCables(C(box)), 0);

  // The cable now ends over the moved box.
  std::vector<QUARLE_BASICS::Segment> cables(Tarvelo::CableCapacity());
  ASSERT_EQ(Tarvelo::CollectCables(Plane(), cables.data(), nullptr,
                                   static_cast<int32_t>(cables.size())),
            1);
  EXPECT_FLOAT_EQ(QUARLE_BASICS::SegmentEnd(cables[0]).y, static_cast<float>(y0 + 20));
}

TEST_F(SynthPlane, LinkingWithPlaybackOffLinksAtOnceAndRecordsIt) {
  const int32_t in = Input(osc, 0), out = Output(keyboard);
  Click(in);
  EXPECT_EQ(PendingPortLink.module, osc);
  EXPECT_EQ(PendingPortLink.input, 0);
  EXPECT_EQ(On(in), -1);
  EXPECT_EQ(Tarvelo::SelectedModule, osc);
  Click(out);
  EXPECT_EQ(osc->PortSources[0].Load(), keyboard);
  EXPECT_EQ(osc->Params[0].PortLinkState.Load(), Tarvelo::kPortLinked);
  EXPECT_EQ(Tarvelo::CablesDirty.load(), -1);
  // Both halves are cancelled and the port controls shown off.
  EXPECT_EQ(PendingPortLink.module, nullptr);
  EXPECT_EQ(PendingPortLink.source, nullptr);
  EXPECT_EQ(On(in), 0);
  EXPECT_EQ(On(out), 0);
  ASSERT_EQ(History().size(), 1u);
  EXPECT_NE(History()[0].find("Connect"), std::string::npos);

  // The same pair again unlinks; the source half may come first.
  Click(out);
  EXPECT_EQ(PendingPortLink.source, keyboard);
  Click(in);
  EXPECT_NE(osc->PortSources[0].Load(), keyboard);
  EXPECT_EQ(osc->Params[0].PortLinkState.Load(), Tarvelo::kPortUnlinked);
  ASSERT_EQ(History().size(), 2u);
  EXPECT_NE(History()[1].find("Disconnect"), std::string::npos);
}

TEST_F(SynthPlane, SelfLinksAndVoiceMapSourcesFollowTheirRules) {
  const int32_t in = Input(osc, 1);
  Click(in);
  Click(Output(osc));
  EXPECT_EQ(osc->Params[1].PortLinkState.Load(), Tarvelo::kPortSelfLinked);
  ASSERT_EQ(History().size(), 1u);
  EXPECT_NE(History()[0].find("self"), std::string::npos);

  // Unlinking the voice-map source port gives the choice back to the type.
  Tarvelo::ModuleSetPolyphonyPort(*osc, 1);
  ASSERT_EQ(osc->VoiceMapSourcePort.Load(), 1);
  Click(in);
  Click(Output(osc));
  EXPECT_EQ(osc->Params[1].PortLinkState.Load(), Tarvelo::kPortUnlinked);
  EXPECT_EQ(osc->ChosenSourcePort, -1);
}

// An armed half whose module goes (deleted, or the whole synth cleared by New
// or a load) is dropped: the next click on a port links live modules only.
TEST_F(SynthPlane, AHalfMadeLinkGoesWithItsModule) {
  for (const bool clear : {false, true}) {
    for (const bool input : {true, false}) {
      SCOPED_TRACE(std::string(clear ? "synth cleared" : "module deleted") +
                   (input ? ", input armed" : ", source armed"));
      ModuleRecord* armed = Make(Tarvelo::kTypeOscillator, 400, 200);
      ASSERT_NE(armed, nullptr);
      Click(input ? Input(armed, 0) : Output(armed));
      ASSERT_EQ(input ? PendingPortLink.module : PendingPortLink.source, armed);
      if (clear)
        Tarvelo::ClearSynth();
      else
        Tarvelo::RemoveModule(armed);
      EXPECT_EQ(PendingPortLink.module, nullptr);
      EXPECT_EQ(PendingPortLink.source, nullptr);
      ModuleRecord* a = Make(Tarvelo::kTypeOscillator, 700, 200);
      ModuleRecord* b = Make(Tarvelo::kTypeKeyboard, 200, 500);
      ASSERT_NE(a, nullptr);
      ASSERT_NE(b, nullptr);
      Click(input ? Output(b) : Input(a, 0));  // would complete the dropped half
      EXPECT_EQ(PendingPortLink.module, input ? nullptr : a);
      EXPECT_EQ(PendingPortLink.source, input ? b : nullptr);
      Tarvelo::CancelPendingPortLink();
    }
  }
}

TEST_F(SynthPlane, ClickingTheArmedInputAgainCancelsAndAnotherMovesTheHighlight) {
  const int32_t a = Input(osc, 0), b = Input(osc, 2);
  Click(a);
  Click(a);
  EXPECT_EQ(PendingPortLink.module, nullptr);
  EXPECT_EQ(PendingPortLink.input, -1);
  EXPECT_EQ(On(a), 0);
  Click(a);
  Click(b);
  EXPECT_EQ(PendingPortLink.input, 2);
  EXPECT_EQ(On(a), 0);
  EXPECT_EQ(On(b), -1);
  // A press on the plane drops the half-made link.
  Send(Plane(), 2, 10, 500);
  EXPECT_EQ(PendingPortLink.module, nullptr);
  EXPECT_EQ(On(b), 0);
  EXPECT_TRUE(History().empty());
}

TEST_F(SynthPlane, WithPlaybackOnTheLinkGoesThroughTheMailbox) {
  Tarvelo::ResetEngineCommand(Tarvelo::EngineCommand);
  Tarvelo::PlaybackActive.store(-1);
  Click(Input(osc, 0));
  Click(Output(keyboard));
  Tarvelo::PlaybackActive.store(0);
  EXPECT_EQ(Tarvelo::EngineCommand.State.load(), Tarvelo::kCommandPosted);
  EXPECT_EQ(Tarvelo::EngineCommand.Kind, Tarvelo::kCommandLink);
  EXPECT_EQ(Tarvelo::EngineCommand.Module.Load(), osc);
  EXPECT_EQ(Tarvelo::EngineCommand.Source.Load(), keyboard);
  EXPECT_EQ(Tarvelo::EngineCommand.Port, 0);
  EXPECT_EQ(Tarvelo::EngineCommand.TemplateType, osc->Type);
  // The render callback links it later; the history line is there at once.
  EXPECT_NE(osc->PortSources[0].Load(), keyboard);
  ASSERT_EQ(History().size(), 1u);
  EXPECT_NE(History()[0].find("Connect"), std::string::npos);
  Tarvelo::ExecuteEngineCommand();
  EXPECT_EQ(osc->PortSources[0].Load(), keyboard);
}

TEST_F(SynthPlane, TheSynthOutputTakesTheArmedSourceOrIsCleared) {
  const int32_t sout = Slot(Tarvelo::kUiSOUT);
  Click(Output(osc));
  Click(sout);
  EXPECT_EQ(Tarvelo::SynthOutputModule.load(), osc);
  EXPECT_EQ(On(sout), -1);
  EXPECT_EQ(PendingPortLink.source, nullptr);
  // Already the output: nothing changes and SOUT stays on.
  Click(Output(osc));
  Click(sout);
  EXPECT_EQ(Tarvelo::SynthOutputModule.load(), osc);
  EXPECT_EQ(On(sout), -1);
  // Nothing armed: the output is disconnected.
  Click(sout);
  EXPECT_EQ(Tarvelo::SynthOutputModule.load(), nullptr);
  EXPECT_EQ(On(sout), 0);
  const std::vector<std::string> h = History();
  ASSERT_EQ(h.size(), 2u);
  EXPECT_NE(h[0].find("to synth"), std::string::npos);
  EXPECT_NE(h[1].find("from synth"), std::string::npos);
}

TEST_F(SynthPlane, DroppingACatalogTypeOrAListedModuleCreatesOneThere) {
  const int32_t plane = Plane();
  const int32_t refm = Slot(Tarvelo::kUiREFM);
  const int32_t before = Tarvelo::ModuleList.count;

  Tarvelo::DragModuleIndex = Tarvelo::kTypeAdsr;
  // A drag-over carries the motion; the place is the pointer's.
  V::Pointer.x = 700;
  V::Pointer.y = 400;
  Send(plane, 32, 4, -2, refm);
  V::Pointer = V::PointerState{};
  EXPECT_EQ(C(plane)->UserPointer, &Tarvelo::ModuleCatalog[Tarvelo::kTypeAdsr]);
  EXPECT_EQ(Text(Slot(Tarvelo::kUiSTB_XYPOS)), "700,400");
  EXPECT_EQ(C(plane)->PressX, 700);
  EXPECT_EQ(C(plane)->PressY, 400);
  Send(plane, 64, 700, 400, refm);
  ASSERT_EQ(Tarvelo::ModuleList.count, before + 1);
  EXPECT_EQ(C(plane)->UserPointer, nullptr);
  EXPECT_EQ(Tarvelo::DragModuleIndex, -1);
  ModuleRecord* made = nullptr;
  for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i)
    if (Tarvelo::ModuleList.entries[i]->Type == Tarvelo::kTypeAdsr) made = Tarvelo::ModuleList.entries[i];
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(Box(made)->X, 700);
  EXPECT_EQ(Box(made)->Y, 400);

  // A row of the created-module list gives a copy of that module.
  Tarvelo::DragModuleIndex = osc->ListIndex.Load();
  Send(plane, 32, 800, 450, refm + 1);
  EXPECT_EQ(C(plane)->UserPointer, osc);
  Send(plane, 64, 800, 450, refm + 1);
  ASSERT_EQ(Tarvelo::ModuleList.count, before + 2);
  int32_t oscillators = 0;
  for (int32_t i = 0; i < Tarvelo::ModuleList.count; ++i)
    if (Tarvelo::ModuleList.entries[i]->Type == Tarvelo::kTypeOscillator) ++oscillators;
  EXPECT_EQ(oscillators, 2);

  // From any other control, or with an index out of range: nothing to drop.
  Tarvelo::DragModuleIndex = 2;
  Send(plane, 32, 800, 450, Slot(Tarvelo::kUiSOUT));
  EXPECT_EQ(C(plane)->UserPointer, nullptr);
  Tarvelo::DragModuleIndex = 43;
  Send(plane, 32, 800, 450, refm);
  EXPECT_EQ(C(plane)->UserPointer, nullptr);
  Send(plane, 64, 800, 450, refm);
  EXPECT_EQ(Tarvelo::ModuleList.count, before + 2);
}

TEST_F(SynthPlane, HoverShowsPlanePositionsAndAPlaneDragPansEverything) {
  const int32_t plane = Plane();
  Tarvelo::PlaneOffset = Tarvelo::PlaneOffsetRecord{50, -20};
  Send(plane, 1, 300, 200);
  EXPECT_EQ(Text(Slot(Tarvelo::kUiSTB_XYPOS)), "(250,220)");
  Tarvelo::DragModuleIndex = -1;
  V::Pointer.x = 300;
  V::Pointer.y = 200;
  Send(plane, 32, -6, 1, Slot(Tarvelo::kUiREFM));
  V::Pointer = V::PointerState{};
  EXPECT_EQ(Text(Slot(Tarvelo::kUiSTB_XYPOS)), "250,220");

  const int32_t box = static_cast<int32_t>(osc->BoxControl.Load());
  const int32_t sout = Slot(Tarvelo::kUiSOUT);
  const int32_t bx = C(box)->X, sx = C(sout)->X, px = C(Input(osc, 0))->X;
  Send(plane, 16, 7, -3);
  EXPECT_EQ(Tarvelo::PlaneOffset.x, 57);
  EXPECT_EQ(Tarvelo::PlaneOffset.y, -23);
  EXPECT_EQ(C(box)->X, bx + 7);
  EXPECT_EQ(C(sout)->X, sx + 7);
  EXPECT_EQ(C(Input(osc, 0))->X, px + 7);
  EXPECT_EQ(Tarvelo::PlaneMoving.load(), -1);
  Tarvelo::CablesDirty.store(0);
  Send(plane, 4, 0, 0);
  EXPECT_EQ(Tarvelo::PlaneMoving.load(), 0);
  EXPECT_EQ(Tarvelo::CablesDirty.load(), -1);
}

TEST_F(SynthPlane, DraggingAnInputChangesItsValueAndRemovedModulesLeaveNoHalfLink) {
  const int32_t in = Input(osc, 0);
  Send(in, 2, C(in)->X + 1, C(in)->Y + 1);
  EXPECT_EQ(Tarvelo::SelectedModule, osc);
  const float before = osc->Params[0].Value.Load();
  Send(in, 16, 0, -3);
  EXPECT_EQ(osc->Params[0].MidiMoved.Load(), -1);
  if (osc->Params[0].Step.Load() > 0.0f && osc->Params[0].RangeHigh.Load() > before) {
    EXPECT_GT(osc->Params[0].Value.Load(), before);
  }

  Click(Output(keyboard));
  ASSERT_EQ(PendingPortLink.source, keyboard);
  Tarvelo::DropHalfLink(keyboard);
  EXPECT_EQ(PendingPortLink.source, nullptr);
  EXPECT_EQ(On(Output(keyboard)), 0);
  // The power display ignores everything.
  EXPECT_EQ(Tarvelo::OnPowerDisplayMouse(8, 1, 1, 1, 0), 0);
}

}  // namespace
