// Creating and deleting modules: list positions and instance numbers, the
// block and its history line, the refusals with their reports, a block that
// cannot be made, and what a deletion undoes.
#include "app/state/modules.h"

#include "app/state/module_controls.h"
#include "module_ui_fixture.h"

namespace moduleui {
namespace {

using namespace Tarvelo;

class ModulesTest : public ModuleUiTest {};

TEST_F(ModulesTest, CreatedModulesLineUpByTypeWithBlocksAndHistory) {
  EXPECT_EQ(CreateModule(kTypeOscillator, 100, 200, -1), 0);
  EXPECT_EQ(CreateModule(kTypeAdsr, 300, 200, -1), 1);
  CablesDirty.store(0);
  // A second oscillator goes right behind the first; the envelope moves up.
  EXPECT_EQ(CreateModule(kTypeOscillator, 500, 200, -1), 1);
  ASSERT_EQ(Listed(), 3);
  EXPECT_EQ(Module(0)->InstanceNumber.Load(), 1);
  EXPECT_EQ(Module(1)->InstanceNumber.Load(), 2);
  EXPECT_EQ(Module(2)->Type, kTypeAdsr);
  EXPECT_EQ(Module(2)->ListIndex.Load(), 2);
  for (int32_t i = 0; i < 3; ++i) {
    const V::ControlRecord* box = C(static_cast<int32_t>(Module(i)->BoxControl.Load()));
    ASSERT_NE(box, nullptr) << i;
    EXPECT_EQ(static_cast<int64_t>(box->Tag), i) << i;  // tags follow the list
  }
  EXPECT_EQ(C(static_cast<int32_t>(Module(1)->BoxControl.Load()))->X, 500);
  EXPECT_EQ(Text(static_cast<int32_t>(Module(1)->BoxControl.Load())), "Osc.  2 : Sine ");
  EXPECT_EQ(CablesDirty.load(), -1);
  EXPECT_EQ(History(), (std::vector<std::string>{"0- Create Osc.  1.", "1- Create ADSR Env.  1.",
                                                 "2- Create Osc.  2."}));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(ModulesTest, CopyOfAListedModuleKeepsItsSettings) {
  ASSERT_EQ(CreateModule(kTypeOscillator, 0, 0, -1), 0);
  ModuleSetParamValue(*Module(0), 1, 0.25f);
  Module(0)->MidiDeviceBinding.Store(3);
  ASSERT_EQ(CreateModule(0, 40, 40, 0), 1);
  EXPECT_EQ(Module(1)->InstanceNumber.Load(), 2);
  EXPECT_EQ(Module(1)->Params[1].Value.Load(), 0.25f);
  EXPECT_EQ(Text(static_cast<int32_t>(Module(1)->BoxControl.Load())), "Osc.  2 : Sawt. ");
}

TEST_F(ModulesTest, RefusedInsertionsAreReportedAndChangeNothing) {
  ASSERT_EQ(CreateModule(kTypeCapture, 0, 0, -1), 0);
  const int32_t controls = V::ControlTableCount();
  struct Case {
    int32_t n;
    int64_t fromCatalog;
  };
  // A second Capture; types and positions that name nothing; a copy from a
  // position past the list.
  for (const Case c : {Case{kTypeCapture, -1}, Case{43, -1}, Case{-1, -1}, Case{1000, -1},
                       Case{1, 0}, Case{-1, 0}}) {
    Reports().clear();
    EXPECT_EQ(CreateModule(c.n, 0, 0, c.fromCatalog), -19) << c.n;
    ASSERT_EQ(Reports().size(), 1u) << c.n;
    EXPECT_EQ(Reports()[0].first, "Error creating module: Incorrect Function Parameter");
    EXPECT_EQ(Reports()[0].second, 2);
  }
  for (int32_t k = 0; k < 16; ++k) ASSERT_GE(CreateModule(kTypeKeyboard, 0, 0, -1), 0);
  EXPECT_EQ(CreateModule(kTypeKeyboard, 0, 0, -1), -19);  // a 17th keyboard
  EXPECT_EQ(Listed(), 17);
  EXPECT_EQ(History().size(), 17u);
  EXPECT_GT(V::ControlTableCount(), controls);
}

TEST_F(ModulesTest, ModuleWithoutBlockStaysListedWithoutHistory) {
  const int64_t saved = ModuleCatalog[kTypeAdsr].BoxControl.Load();
  ModuleCatalog[kTypeAdsr].BoxControl.Store(0);
  EXPECT_EQ(CreateModule(kTypeAdsr, 0, 0, -1), 0);
  ModuleCatalog[kTypeAdsr].BoxControl.Store(saved);
  ASSERT_EQ(Listed(), 1);
  EXPECT_EQ(Module(0)->BoxControl.Load(), 0);
  EXPECT_TRUE(History().empty());
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_EQ(Reports()[0].first, "Error creating module controls: Incorrect Function Parameter");
}

TEST_F(ModulesTest, DeletionUndoesSelectionOutputAndBlock) {
  EXPECT_EQ(DeleteModule(nullptr), -19);
  ASSERT_EQ(CreateModule(kTypeOscillator, 0, 0, -1), 0);
  ASSERT_EQ(CreateModule(kTypeOscillator, 0, 0, -1), 1);
  ModuleRecord* first = Module(0);
  ModuleRecord* second = Module(1);
  const int32_t box = static_cast<int32_t>(first->BoxControl.Load());
  SelectModule(first, -1);
  SynthOutputModule.store(first);
  S(kUiSOUT)->State.On = -1;
  C(Slot(kUiREFM) + 1)->Text.Selected = 0;
  ASSERT_EQ(DeleteModule(first), 0);
  EXPECT_EQ(SelectedModule, nullptr);
  EXPECT_TRUE(Disabled(Slot(kUiTOOLS)));
  EXPECT_EQ(S(kUiSOUT)->State.On, 0);
  EXPECT_EQ(SynthOutputModule.load(), nullptr);
  EXPECT_FALSE(Shown(box));
  EXPECT_EQ(C(Slot(kUiREFM) + 1)->Text.Selected, -1);
  ASSERT_EQ(Listed(), 1);
  EXPECT_EQ(second->InstanceNumber.Load(), 1);
  EXPECT_EQ(second->ListIndex.Load(), 0);
  EXPECT_EQ(static_cast<int64_t>(C(static_cast<int32_t>(second->BoxControl.Load()))->Tag), 0);
  EXPECT_EQ(History().back(), "2- Delete Osc.  1.");
}

}  // namespace
}  // namespace moduleui
