#include "app/state/module_controls.h"

#include <atomic>
#include <vector>

#include "basics/dynzstring.h"
#include "basics/labels.h"
#include "engine/catalog/catalog.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/event_loop.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::DynZStringGet;

namespace {

V::ControlRecord* At(int64_t id) {
  return id > 0 && id < V::kControlTableCapacity ? V::ControlAt(static_cast<int32_t>(id)) : nullptr;
}

int32_t Slot(int32_t slot) {
  if (!V::UiIndex || slot < 0 || slot >= kUiSlotCount) return 0;
  return V::UiIndex[slot];
}

// The first two children of a box: its port group and its second child.
void BoxChildren(const V::ControlRecord* box, int32_t& first, int32_t& second) {
  std::vector<V::ChildRef> children;
  V::LiveChildren(box, children);
  first = children.size() > 0 ? children[0].Id : 0;
  second = children.size() > 1 ? children[1].Id : 0;
}

void SetVisibleAndPublish(int32_t id, int64_t visible) {
  if (V::ControlRecord* c = At(id)) {
    V::ControlSetVisible(c, visible);
    V::ControlPublish(c, 0);
  }
}

// The created-module list redraws.
void RedrawModuleList() {
  const int32_t refm = Slot(kUiREFM);
  if (V::ControlRecord* c = refm > 0 ? At(refm + 1) : nullptr) V::ControlPublishText(c, -1);
}

// --- What the engine asks of the boxes ---------------------------------------

void HookHide(int64_t box) {
  if (V::ControlRecord* c = At(box)) {
    V::ControlSetVisible(c, 0);
    V::ControlPublish(c, 0);
  }
}

void HookMarkForDeletion(int64_t box) {
  // Whatever the pointer or the keys hold on the box or its ports ends with it.
  if (At(box)) V::FlagForDeletion(static_cast<int32_t>(box));
}

void HookRaisePurge() { V::PurgeRequest = -1; }

void HookRetitle(int64_t box, const std::string& title) {
  V::ControlRecord* c = At(box);
  if (!c) return;
  // The box's own module gives the caption in the one form every block uses.
  const auto* m = static_cast<const ModuleRecord*>(c->UserPointer);
  const std::string caption = m && m->BoxControl.Load() == box ? ModuleCaption(*m) : title;
  V::TextFieldSetText(&c->Text, caption.c_str());
  V::ControlPublishText(c, -1);
}

void HookSetListIndex(int64_t box, int32_t index) {
  if (V::ControlRecord* c = At(box)) {
    c->Tag = static_cast<uint64_t>(static_cast<int64_t>(index));
    V::ControlPublish(c, 0);
  }
}

int32_t HookVisible(int64_t box) {
  const V::ControlRecord* c = At(box);
  return c && V::ControlVisible(c) != 0 ? -1 : 0;
}

int32_t HookBoxY(int64_t box) {
  const V::ControlRecord* c = At(box);
  return c ? V::ControlY(c) : 0;
}

}  // namespace

std::string ModuleCaption(const ModuleRecord& module) {
  const int32_t t = module.Type;
  const bool known = t >= 0 && t < kModuleTypeCount;
  std::string caption = DynZStringGet(known ? ModuleCatalog[t].ShortName : module.ShortName) + " " +
                        std::to_string(module.InstanceNumber.Load());
  if (t == kTypeOscillator) {
    // A shape index from a damaged file names no shape: the caption goes without.
    const int32_t shape = module.MidiDeviceBinding.Load();
    if (shape >= 0 && shape < kWaveShapeCount)
      caption += " : " + QUARLE_BASICS::AbbreviateLabel(DynZStringGet(WaveShapeTable[shape].Name), -1);
  }
  return caption;
}

int32_t CreateModuleControls(ModuleRecord* module, int32_t x, int32_t y) {
  constexpr int32_t kBadParameter = -19;
  if (!module) return kBadParameter;
  const int32_t t = module->Type;
  if (t < 0 || t >= kModuleTypeCount) return kBadParameter;
  const V::ControlRecord* tmpl = At(ModuleCatalog[t].BoxControl.Load());
  if (!tmpl) return kBadParameter;
  const int32_t plane =
      V::WindowList && V::WindowSlotCount > kWinSYNTH ? V::WindowList[kWinSYNTH] : 0;
  // Without the synth plane the block would land on the root window.
  if (!At(plane)) return kBadParameter;

  const int32_t id = V::CloneControlTree(tmpl, -1, plane);
  if (id <= 0) return id;
  V::ControlRecord* box = At(id);
  if (!box) return -21;

  V::TextFieldSetText(&box->Text, ModuleCaption(*module).c_str());
  box->Tag = static_cast<uint64_t>(static_cast<int64_t>(module->ListIndex.Load()));
  box->UserPointer = module;
  V::ControlSetX(box, x);
  V::ControlSetY(box, y);
  box->State.On = 0;
  V::UpdateControl(id, -1);

  // Published last: the video thread's cable check reads it at any frame.
  module->BoxControl.Store(id, std::memory_order_release);

  int32_t ports = 0, second = 0;
  BoxChildren(box, ports, second);
  SetVisibleAndPublish(ports, -1);
  SetVisibleAndPublish(second, 0);
  SetVisibleAndPublish(id, -1);

  RedrawModuleList();
  return id;
}

void SyncModuleBoxTags() {
  platform::MutexGuard guard(ModuleList.lock);
  for (int32_t i = 0; i < ModuleList.count && ModuleList.entries; ++i) {
    const ModuleRecord* m = ModuleList.entries[i];
    if (!m) continue;
    V::ControlRecord* c = At(m->BoxControl.Load());
    if (!c || static_cast<int64_t>(c->Tag) == i) continue;
    c->Tag = static_cast<uint64_t>(static_cast<int64_t>(i));
    V::ControlPublish(c, 0);
  }
}

void InstallModuleBoxHooks() {
  BoxHooks.Hide = HookHide;
  BoxHooks.MarkForDeletion = HookMarkForDeletion;
  BoxHooks.RaisePurge = HookRaisePurge;
  BoxHooks.Retitle = HookRetitle;
  BoxHooks.SetListIndex = HookSetListIndex;
  BoxHooks.Visible = HookVisible;
  BoxHooks.BoxY = HookBoxY;
  // A frame drawing when a module goes may still draw its box.
  BoxHooks.VideoFrameSerial = [] { return V::VideoFrameSerial.load(); };
}

}  // namespace Tarvelo
