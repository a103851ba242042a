// A module's block: the clone of its type's template under the synth plane,
// personalised (caption, tag, shared pointer, position, port group shown), the
// refusals, a full control table, and the engine's box hooks.
#include "app/state/module_controls.h"

#include "module_ui_fixture.h"

namespace moduleui {
namespace {

using namespace Tarvelo;

class ModuleControlsTest : public ModuleUiTest {
 protected:
  ModuleRecord* Add(int32_t type) {
    ModuleRecord* m = nullptr;
    EXPECT_GE(AddModule(type, true, &m), 0);
    return m;
  }
};

TEST_F(ModuleControlsTest, BlockIsAPersonalisedCloneOfTheTemplate) {
  ModuleRecord* m = Add(kTypeSample);
  const int32_t count = V::ControlTableCount();
  const int32_t id = CreateModuleControls(m, 300, 400);
  ASSERT_EQ(id, count);  // the first free slot: the end of the table
  EXPECT_EQ(m->BoxControl.Load(), id);
  const V::ControlRecord* box = C(id);
  const V::ControlRecord* tmpl = C(static_cast<int32_t>(ModuleCatalog[kTypeSample].BoxControl.Load()));
  EXPECT_EQ(IdText(id), "MOD");
  EXPECT_EQ(box->Parent, Plane());
  EXPECT_EQ(box->X, 300);
  EXPECT_EQ(box->Y, 400);
  EXPECT_EQ(static_cast<int64_t>(box->Tag), m->ListIndex.Load());
  EXPECT_EQ(box->UserPointer, m);
  EXPECT_EQ(box->State.On, 0);
  EXPECT_TRUE(Shown(id));
  EXPECT_EQ(Text(id), "Samp.  1");  // the catalog's short name keeps its blank

  const std::vector<int32_t> kids = Children(id);
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_EQ(IdText(kids[0]), "PMOD");
  EXPECT_TRUE(Shown(kids[0]));
  EXPECT_EQ(IdText(kids[1]), "CMOD");
  EXPECT_FALSE(Shown(kids[1]));
  // Six inputs and the output, each moved with the box and holding the module.
  const std::vector<int32_t> ports = Children(kids[0]);
  ASSERT_EQ(ports.size(), 7u);
  const std::vector<int32_t> tmplPorts = Children(Children(tmpl->Id)[0]);
  for (size_t j = 0; j < ports.size(); ++j) {
    const V::ControlRecord* p = C(ports[j]);
    EXPECT_EQ(p->X - 300, C(tmplPorts[j])->X - tmpl->X) << j;
    EXPECT_EQ(p->Y - 400, C(tmplPorts[j])->Y - tmpl->Y) << j;
    EXPECT_EQ(p->UserPointer, m) << j;
    EXPECT_EQ(static_cast<int64_t>(p->Tag), j < 6 ? static_cast<int64_t>(j) : -1) << j;
  }
  // The template itself stays hidden and untouched.
  EXPECT_FALSE(Shown(tmpl->Id));
  EXPECT_EQ(tmpl->UserPointer, nullptr);
}

TEST_F(ModuleControlsTest, CaptionsCarryInstanceAndWaveShape) {
  ModuleRecord* a = Add(kTypeOscillator);
  ModuleRecord* b = Add(kTypeOscillator);
  b->MidiDeviceBinding.Store(10);  // "Asymmetric Parabola"
  const int32_t ia = CreateModuleControls(a, 10, 10);
  const int32_t ib = CreateModuleControls(b, 10, 10);
  ASSERT_GT(ia, 0);
  ASSERT_GT(ib, 0);
  EXPECT_NE(ia, ib);
  EXPECT_EQ(Text(ia), "Osc.  1 : Sine ");
  EXPECT_EQ(Text(ib), "Osc.  2 : As. P.");
  a->MidiDeviceBinding.Store(99);  // no such shape: the caption goes without
  EXPECT_EQ(ModuleCaption(*a), "Osc.  1");
}

TEST_F(ModuleControlsTest, RefusalsLeaveTheModuleWithoutABlock) {
  EXPECT_EQ(CreateModuleControls(nullptr, 0, 0), -19);
  ModuleRecord* m = Add(kTypeAdsr);
  const int32_t count = V::ControlTableCount();
  m->Type = 43;
  EXPECT_EQ(CreateModuleControls(m, 0, 0), -19);
  m->Type = kTypeAdsr;
  const int64_t saved = ModuleCatalog[kTypeAdsr].BoxControl.Load();
  ModuleCatalog[kTypeAdsr].BoxControl.Store(0);
  EXPECT_EQ(CreateModuleControls(m, 0, 0), -19);
  ModuleCatalog[kTypeAdsr].BoxControl.Store(saved);
  EXPECT_EQ(m->BoxControl.Load(), 0);
  EXPECT_EQ(V::ControlTableCount(), count);
}

TEST_F(ModuleControlsTest, EngineHooksHideRetagAndRetitle) {
  ModuleRecord* a = Add(kTypeOscillator);
  ModuleRecord* b = Add(kTypeOscillator);
  const int32_t ia = CreateModuleControls(a, 0, 0);
  const int32_t ib = CreateModuleControls(b, 0, 0);
  RemoveModule(a);
  EXPECT_FALSE(Shown(ia));
  EXPECT_NE(C(ia)->DeletePending.load(), 0);
  EXPECT_NE(V::PurgeRequest.load(), 0);
  EXPECT_EQ(b->InstanceNumber.Load(), 1);
  EXPECT_EQ(Text(ib), "Osc.  1 : Sine ");  // the block's own caption form
  V::PurgeDeletedControls();
  EXPECT_EQ(C(ia), nullptr);
  EXPECT_NE(C(ib), nullptr);
  CompactModuleList(ModuleList.count);
  EXPECT_EQ(static_cast<int64_t>(C(ib)->Tag), 0);
}

}  // namespace
}  // namespace moduleui
