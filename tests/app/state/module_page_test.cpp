// The module page: what selecting a live module, a catalog master or nothing
// shows; the port editor of one parameter; the events that bring the module
// libraries into view; repeat selections; the tuning editor's summary.
#include "app/state/module_page.h"

#include "engine/notes.h"
#include "engine/tuning.h"
#include "engine/units.h"
#include "module_ui_fixture.h"

namespace moduleui {
namespace {

using namespace Tarvelo;

class ModulePageTest : public ModuleUiTest {
 protected:
  ModuleRecord* Create(int32_t type) {
    const int32_t p = CreateModule(type, 10, 10, -1);
    EXPECT_GE(p, 0);
    Drain();
    return p >= 0 ? Module(p) : nullptr;
  }
  int32_t Play(int32_t offset) { return Slot(kUiPLAY) + offset; }
  static std::vector<int32_t> Targets(const std::vector<CommandMessage>& posted) {
    std::vector<int32_t> ids;
    for (const CommandMessage& m : posted) {
      EXPECT_EQ(m.arg5, 2u);
      ids.push_back(static_cast<int32_t>(m.arg2));
    }
    return ids;
  }
};

TEST_F(ModulePageTest, LiveOscillatorFillsThePage) {
  ModuleRecord* m = Create(kTypeOscillator);
  m->ModuleSwitches[kSwitch2].Store(-1);
  m->PageWord = 1;
  m->EditChannel.Store(1);
  SelectModule(m, -1);
  EXPECT_EQ(SelectedModule, m);
  EXPECT_EQ(C(static_cast<int32_t>(m->BoxControl.Load()))->State.On, -1);
  EXPECT_FALSE(Disabled(Slot(kUiTOOLS)));
  EXPECT_EQ(Text(Slot(kUiMTLBL)), "Oscillator 1");
  EXPECT_EQ(PortListCount.load(), m->ParamCount);
  // Switches by type: no playback or recording, the wave mode, no dual.
  EXPECT_TRUE(Disabled(Play(0)));
  EXPECT_TRUE(Disabled(Play(2)));
  EXPECT_FALSE(Disabled(Play(7)));
  EXPECT_EQ(C(Play(7))->State.On, -1);
  EXPECT_FALSE(Disabled(Play(3)));  // LOOP
  EXPECT_TRUE(Disabled(Play(9)));   // DUAL
  EXPECT_FALSE(Shown(Play(1)));     // HOLD
  EXPECT_FALSE(Disabled(Slot(kUiFBS)));
  // Only the shapes tab, and the module's own page shown.
  const int32_t tab0 = Slot(kUiMODTAB0);
  for (int32_t i = 1; i <= 6; ++i) EXPECT_EQ(Shown(tab0 + i), i == 1) << i;
  ASSERT_EQ(Calls().size(), 1u);
  EXPECT_EQ(Calls()[0].id, tab0 + 1);
  EXPECT_EQ(Calls()[0].bits, 2u);
  EXPECT_EQ(S(kUiSLIST)->Text.Selected, m->MidiDeviceBinding.Load());
  EXPECT_EQ(Text(Slot(kUiPSC)), "R");
  EXPECT_EQ(C(Slot(kUiREFM) + 1)->Text.Selected, 0);
  EXPECT_EQ(S(kUiREFM)->Text.Selected, -1);
  // The module libraries come into view with the created modules' tab.
  EXPECT_EQ(Targets(Drain()), (std::vector<int32_t>{Slot(kUiTABMSG) + 2, Slot(kUiLIBT1) + 1}));

  // The same module with the same parameter: nothing at all.
  Calls().clear();
  SelectModule(m, m->SelectedParam.Load());
  EXPECT_TRUE(Drain().empty());
  EXPECT_TRUE(Calls().empty());
}

TEST_F(ModulePageTest, CatalogMasterShowsItsPaletteRow) {
  BrowserTab = 2;
  V::ControlSetVisible(S(kUiREFM), -1);
  ModuleRecord* master = &ModuleCatalog[kTypeSequencer];
  SelectModule(master, 0);
  EXPECT_EQ(Text(Slot(kUiMTLBL)), DynZStringGet(master->Name));
  int32_t row = 0;
  while (ModulePaletteOrder[row] != kTypeSequencer) ++row;
  EXPECT_EQ(S(kUiREFM)->Text.Selected, row);
  EXPECT_TRUE(Disabled(Slot(kUiFBS)));
  EXPECT_TRUE(Disabled(Play(2)));  // REC needs a live module
  EXPECT_FALSE(Disabled(Play(0)));  // PLAY
  EXPECT_TRUE(Shown(Slot(kUiMODTAB0) + 4));
  EXPECT_EQ(Calls().back().id, Slot(kUiMODTAB0));  // a port given: the settings page
  EXPECT_TRUE(Drain().empty());  // libraries on view with the catalog shown
  SelectModule(nullptr, -1);
}

TEST_F(ModulePageTest, RecordingModulesGetTheirRecordHandler) {
  ModuleRecord* sample = Create(kTypeSample);
  sample->RecordDone.Store(-1);
  SelectModule(sample, -1);
  EXPECT_FALSE(Disabled(Play(2)));
  EXPECT_EQ(C(Play(2))->EventCallback, Cb.OnSampleRecord);
  EXPECT_EQ(C(Play(2))->Colour, 0xFFC86400u);
  Cb.OnSequencerRecord = [](uint32_t, int32_t, int32_t, int32_t, int32_t) { return 1; };
  SelectModule(Create(kTypeSequencer), -1);
  EXPECT_EQ(C(Play(2))->EventCallback, Cb.OnSequencerRecord);
  EXPECT_EQ(C(Play(2))->Colour, 0u);
}

TEST_F(ModulePageTest, PortEditorFollowsTheSelectedParameter) {
  ModuleRecord* m = Create(kTypeOscillator);
  m->Params[1].Global.Store(-1);
  m->Params[1].OutputSide.Store(1);
  m->Params[1].MidiMapCount.Store(2);
  SelectModule(m, 1);
  EXPECT_EQ(m->SelectedParam.Load(), 1);
  EXPECT_EQ(S(kUiPLIST)->Text.Selected, 1);
  const int32_t fad = Slot(kUiFAD_PP);
  for (int32_t k = 0; k < 4; ++k) {
    EXPECT_FALSE(Disabled(fad + k)) << k;
    EXPECT_EQ(C(fad + k)->UserPointer, &m->Params[1].Number) << k;
  }
  const ParamValue& v = m->Params[1].Number;
  EXPECT_EQ(Text(fad + 3), UnitSuffix(5 * v.UnitFamily + v.Unit));
  EXPECT_EQ(S(kUiPGV)->State.On, -1);
  EXPECT_EQ(S(kUiMIDI2)->State.Spare, 2);
  EXPECT_EQ(S(kUiPDOM)->Colour, 0xFF0055AAu);
  EXPECT_EQ(Text(Slot(kUiPDOM)), "E");

  // The module as a whole: an empty editor.
  SelectPort(-1);
  ShowPortPage(m, -1);
  for (int32_t k = 0; k < 4; ++k) EXPECT_EQ(C(fad + k)->UserPointer, nullptr) << k;
  EXPECT_TRUE(Disabled(fad + 2));
  EXPECT_EQ(S(kUiPDOM)->Colour, 0xFF0A2A4Du);
  EXPECT_EQ(S(kUiPSCL)->State.On, -1);  // one channel processed
}

TEST_F(ModulePageTest, ParameterWithoutValueEditorSelectsNothing) {
  ModuleRecord* m = Create(kTypeAdsr);
  ASSERT_NE(m->Params[0].NoValueEditor, 0);
  SelectModule(m, 0);
  EXPECT_EQ(m->SelectedParam.Load(), -1);
  EXPECT_EQ(S(kUiPLIST)->Text.Selected, -1);
  EXPECT_TRUE(Disabled(Slot(kUiFAD_PP) + 2));
  SelectPort(m->ParamCount + 5);  // past the list
  EXPECT_EQ(m->SelectedParam.Load(), -1);
}

TEST_F(ModulePageTest, KeyboardChannelCaption) {
  ModuleRecord* kb = Create(kTypeKeyboard);
  kb->MidiChannelFilter.Store(5);
  SelectModule(kb, -1);
  const std::string five = Text(Slot(kUiKBCH));
  EXPECT_EQ(five.substr(five.size() - 3), " 5 ");
  EXPECT_EQ(S(kUiKBCH)->Text.Selected, 5);
  kb->MidiChannelFilter.Store(12);
  SelectModule(nullptr, -1);
  SelectModule(kb, -1);
  EXPECT_EQ(Text(Slot(kUiKBCH)), five.substr(0, five.size() - 2) + "12");
  EXPECT_TRUE(Shown(Slot(kUiMODTAB0) + 5));
}

TEST_F(ModulePageTest, SelectingNothingEmptiesAndDisablesThePage) {
  ModuleRecord* m = Create(kTypeOscillator);
  SelectModule(m, 1);
  ASSERT_EQ(OpenDialog(Slot(kUiFAD_PP) + 1, "Enter a new floating point value: ", -1, "1", 1, -1, -1), 0);
  S(kUiFLIST)->Text.Selected = 2;
  SelectModule(nullptr, -1);
  EXPECT_EQ(Text(Slot(kUiMTLBL)), "[NO ACTIVE SELECTION]");
  EXPECT_EQ(DialogOwner, 0);  // the typed value lost its module
  EXPECT_FALSE(Shown(Slot(kUiDB)));
  EXPECT_EQ(SelectedModule, nullptr);
  EXPECT_EQ(PortListCount.load(), 0);
  EXPECT_TRUE(Disabled(Slot(kUiTOOLS)));
  EXPECT_EQ(C(static_cast<int32_t>(m->BoxControl.Load()))->State.On, 0);
  EXPECT_TRUE(Disabled(Slot(kUiFAD_PP)));
  EXPECT_TRUE(Disabled(Slot(kUiPVM)));
  EXPECT_EQ(S(kUiFLIST)->Text.Selected, -1);
  EXPECT_TRUE(Disabled(Slot(kUiLSORDER) + 3));  // nothing to delete on the message tab
  SelectModule(m, -1);
  EXPECT_TRUE(Disabled(Slot(kUiLSORDER) + 3));  // nor with a module selected
  SelectModule(nullptr, -1);
  BrowserTab = 2;
  SelectModule(m, -1);
  SelectModule(nullptr, -1);
  EXPECT_FALSE(Disabled(Slot(kUiLSORDER) + 3));
}

TEST_F(ModulePageTest, TuningPanelShowsTheEditedTuning) {
  const std::string before = TuningGetNoteName(EditedTuning, 0);
  TuningSetNoteName(EditedTuning, 0, "Do");
  C(Slot(kUiTNGSCL))->Text.Selected = 3;
  RefreshTuningPanel();
  TuningSetNoteName(EditedTuning, 0, before.c_str());
  EXPECT_EQ(Text(Slot(kUiTNGNAME)), DynZStringGet(EditedTuning.FileName));
  EXPECT_EQ(Text(Slot(kUiTNG_RFK)), "Do");
  EXPECT_EQ(Text(Slot(kUiTNGNBL)), std::to_string(TuningGetNoteCount(EditedTuning)) + " keys");
  EXPECT_EQ(S(kUiTNGSCL)->Text.Selected, -1);
  EXPECT_EQ(S(kUiTNGSCL)->Text.TextSize, DefaultTextSize + 3);
  for (int32_t id : {Slot(kUiFAV_RK), Slot(kUiFAV_RK) - 2, Slot(kUiFAV_AK) - 1, Slot(kUiTNG_RFK),
                     Slot(kUiFAE_KR)})
    EXPECT_TRUE(Disabled(id)) << IdText(id);
  EXPECT_EQ(S(kUiSAM_PATTERNS)->Text.Selected, 0);  // the first pattern, which the switches show
}

}  // namespace
}  // namespace moduleui
