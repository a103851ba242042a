#include "ui/views/synth_plane.h"

#include <cstdlib>
#include <string>

#include "app/state/history.h"
#include "app/state/module_page.h"
#include "app/state/modules.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

PendingPortLinkRecord PendingPortLink;
BoxDragRecord BoxDragAccumulator;
std::atomic<int64_t> PlaneMoving{0};
int32_t DragModuleIndex = -1;

namespace {

// Beyond this many pixels of summed movement a press on a box becomes a move.
constexpr int32_t kBoxDragThreshold = 5;

// A control a handler may touch: neither it nor its box flagged for deletion.
V::ControlRecord* Live(int32_t id) { return id > 0 ? V::ControlLive(id) : nullptr; }

// The module a control names, while it is still the synth's (listed) or a
// catalog template; else null. Asked without reading the record: a removed
// module may be freed already.
ModuleRecord* Reachable(void* named) {
  auto* m = static_cast<ModuleRecord*>(named);
  if (!m) return nullptr;
  if (m >= &ModuleCatalog[0] && m < &ModuleCatalog[0] + kModuleTypeCount) return m;
  for (int32_t i = 0; ModuleList.entries && i < ModuleList.count; ++i)
    if (ModuleList.entries[i] == m) return m;
  return nullptr;
}

int32_t Slot(int32_t slot) { return V::UiIndex ? V::UiIndex[slot] : 0; }

// Every button-like control looks pressed during a press, drag or drag-over.
void PressedLook(V::ControlRecord* c, uint32_t bits) {
  if (c) c->State.Pressed = (bits == 2 || bits == 16 || bits == 32) ? -1 : 0;
}

void ShowOn(int32_t id, int64_t on) {
  if (V::ControlRecord* c = Live(id)) {
    c->State.On = on;
    V::ControlPublishState(c);
  }
}

void CancelInputHalf() {
  ShowOn(PendingPortLink.inputControl, 0);
  PendingPortLink.inputControl = 0;
  PendingPortLink.module = nullptr;
  PendingPortLink.input = -1;
}

void CancelSourceHalf() {
  ShowOn(PendingPortLink.sourceControl, 0);
  PendingPortLink.sourceControl = 0;
  PendingPortLink.source = nullptr;
}

// A press on the plane or a box drops each half whose port control is known.
void CancelArmedHalves() {
  if (PendingPortLink.inputControl > 0) CancelInputHalf();
  if (PendingPortLink.sourceControl > 0) CancelSourceHalf();
}

void ShowPlanePosition(int32_t x, int32_t y, bool parentheses) {
  V::ControlRecord* c = Live(Slot(kUiSTB_XYPOS));
  if (!c) return;
  std::string text = std::to_string(x - PlaneOffset.x) + "," + std::to_string(y - PlaneOffset.y);
  if (parentheses) text = "(" + text + ")";
  V::TextFieldSetText(&c->Text, text.c_str());
  V::ControlPublishText(c, 0);
}

// What a drag from control `source` offers the plane: a catalog template
// (from REFM) or a created module (from LIBM); null for anything else.
ModuleRecord* DragPayload(int32_t source) {
  const int32_t refm = Slot(kUiREFM);
  if (refm <= 0 || DragModuleIndex < 0) return nullptr;
  if (source == refm)
    return DragModuleIndex < kModuleTypeCount ? &ModuleCatalog[DragModuleIndex] : nullptr;
  if (source == refm + 1 && ModuleList.entries && DragModuleIndex < ModuleList.count)
    return ModuleList.entries[DragModuleIndex];
  return nullptr;
}

// Does any cable touch the module's box?
bool ModuleHasCables(const ModuleRecord& m) {
  if (&m == SynthOutputModule.load()) return true;
  int32_t selfLinks = 0;
  const int32_t ports = m.PortCount < kModuleParams ? m.PortCount : kModuleParams;
  for (int32_t p = 0; p < ports; ++p) {
    if (m.Params[p].PortLinkState.Load() == kPortLinked) return true;
    if (m.Params[p].PortLinkState.Load() == kPortSelfLinked) ++selfLinks;
  }
  return m.OutputCount.Load() - selfLinks > 0;
}

// Both halves armed: the input is linked to the source, or unlinked when the
// source already feeds it.
void AttemptLink() {
  ModuleRecord* m = PendingPortLink.module;
  ModuleRecord* source = PendingPortLink.source;
  const int32_t port = PendingPortLink.input;
  const int32_t type = m->Type;
  if (type >= 0 && type < kModuleTypeCount) {
    ModuleRecord* templ = &ModuleCatalog[type];
    int32_t result = kLinkRefused;
    if (WaitEngineCommandSlot() == 1) {
      // The render callback links at its next frame; the result it will have
      // is known now, so the history and the page need not wait for it.
      result = ClassifyPortBinding(*m, port, source, templ);
      PostLinkInput(m, port, source, type);
    } else {
      result = ModuleLinkInput(*m, port, source, templ);
      UpdateProcessingOrder(0);
    }
    if (result == kLinkDisconnected && port == m->VoiceMapSourcePort.Load())
      ModuleSetPolyphonyPort(*m, -1);  // the voice-map source goes back to automatic
    RecordAction(result, m, port, source);
    SelectPort(-1);
  }
  CancelPendingPortLink();
}

}  // namespace

int64_t& BoxHasCables(V::ControlRecord* box) { return box->SpareFlag; }

void CancelPendingPortLink() {
  ShowOn(PendingPortLink.inputControl, 0);
  ShowOn(PendingPortLink.sourceControl, 0);
  PendingPortLink = PendingPortLinkRecord{};
}

void DropHalfLink(ModuleRecord* module) {
  if (!module) return;
  if (PendingPortLink.module == module) CancelInputHalf();
  if (PendingPortLink.source == module) CancelSourceHalf();
  // A move of its box ends here, as its release would have ended it.
  if (V::Pointer.pressed > 0 && V::Pointer.pressed == module->BoxControl.Load()) {
    if (PlaneMoving.load() == -1) CablesDirty.store(-1);
    PlaneMoving.store(0);
    BoxDragAccumulator = BoxDragRecord{};
  }
  // A drag from the module list names its row by index, which the removal
  // shifts: the drag offers nothing any more.
  const int32_t refm = Slot(kUiREFM);
  if (refm > 0 && V::Pointer.pressed == refm + 1) DragModuleIndex = -1;
  if (V::ControlRecord* plane = V::WindowList && V::WindowSlotCount > kWinSYNTH
                                    ? Live(V::WindowList[kWinSYNTH])
                                    : nullptr)
    if (plane->UserPointer == module) {
      plane->UserPointer = nullptr;
      V::ControlPublish(plane, 0);
    }
}

int32_t SetSynthOutputModule() {
  ModuleRecord* source = PendingPortLink.source;
  ModuleRecord* output = SynthOutputModule.load();
  if (source && source != output) {
    RequestGraphRebuild(0, 0, source);
    RecordAction(kActionConnectSynth, source, -1, nullptr);
  } else if (!source && output) {
    RequestGraphRebuild(~uint64_t{0}, 0, nullptr);
    RecordAction(kActionDisconnectSynth, output, -1, nullptr);
  }
  CablesDirty.store(-1);
  return SynthOutputModule.load() ? -1 : 0;
}

int32_t OnSynthPlaneMouse(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source) {
  V::ControlRecord* plane = Live(id);
  if (!plane) return 0;
  if (bits == V::kEventLeave) {
    // A drag-over that ends without a drop here takes its offer along: a
    // later drag-over (from a port, say) finds no module to outline.
    plane->UserPointer = nullptr;
  } else if (bits & 1) {
    ShowPlanePosition(x, y, true);
  } else if (bits & 4) {
    CablesDirty.store(-1);
    PlaneMoving.store(0);
  } else if (bits & 2) {
    CancelArmedHalves();
  } else if (bits & 8) {
    SelectModule(nullptr, -1);
  } else if (bits & 16) {
    PlaneOffset.x += x;
    PlaneOffset.y += y;
    // The children move themselves; UpdateControl takes their ports along. A
    // box deleted just before is the video thread's next purge's: left alone.
    std::vector<V::ChildRef> children;
    V::LiveChildren(plane, children);
    for (const V::ChildRef& child : children) {
      V::ControlRecord* c = V::ChildRecord(child);
      if (!c) continue;
      V::ControlSetX(c, c->X + x);
      V::ControlSetY(c, c->Y + y);
      V::UpdateControl(child.Id, 0);
    }
    PlaneMoving.store(-1);
  } else if (bits & 32) {
    ModuleRecord* payload = DragPayload(source);
    if (plane->UserPointer != payload) plane->UserPointer = payload;
    // A drag-over brings the motion, not the place: the drop outline and the
    // read-out follow the pointer itself.
    plane->PressX = V::Pointer.x;
    plane->PressY = V::Pointer.y;
    ShowPlanePosition(V::Pointer.x, V::Pointer.y, false);
  } else if (bits & 64) {
    ModuleRecord* payload = Reachable(plane->UserPointer);
    if (payload) {
      plane->UserPointer = nullptr;
      if (payload->Role < kRoleTemplate)
        CreateModule(payload->ListIndex.Load(), x, y, 0);  // a copy of a created module
      else
        CreateModule(payload->Type, x, y, -1);      // a new module of the type
      DragModuleIndex = -1;
    }
  }
  return 0;
}

int32_t OnModuleBoxMouse(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  V::ControlRecord* box = Live(id);
  if (!box) return 0;
  PressedLook(box, bits);
  ModuleRecord* m = Reachable(box->UserPointer);
  if (bits & 2) {
    BoxDragAccumulator = BoxDragRecord{};
    V::BringToFront(id);
    if (m && (BoxHasCables(box) != 0 || ModuleHasCables(*m))) BoxHasCables(box) = -1;
    CancelArmedHalves();
  } else if (bits & 16) {
    BoxDragAccumulator.x += x;
    BoxDragAccumulator.y += y;
    if (std::abs(BoxDragAccumulator.x) > kBoxDragThreshold ||
        std::abs(BoxDragAccumulator.y) > kBoxDragThreshold) {
      // Only this event's movement: the first pixels stay unapplied.
      V::ControlSetX(box, box->X + x);
      V::ControlSetY(box, box->Y + y);
      PlaneMoving.store(BoxHasCables(box));
    }
  } else if (bits & (4 | 8)) {
    if (std::abs(BoxDragAccumulator.x) <= kBoxDragThreshold &&
        std::abs(BoxDragAccumulator.y) <= kBoxDragThreshold && m)
      SelectModule(m == SelectedModule ? nullptr : m, -1);
    if (PlaneMoving.load() == -1) {
      CablesDirty.store(-1);
      PlaneMoving.store(0);
    }
    BoxHasCables(box) = 0;
    BoxDragAccumulator = BoxDragRecord{};
  }
  return 0;
}

int32_t OnModulePortMouse(uint32_t bits, int32_t, int32_t y, int32_t id, int32_t) {
  V::ControlRecord* c = Live(id);
  if (!c) return 0;
  PressedLook(c, bits);
  if (bits == 1 || bits == 0) return 0;
  ModuleRecord* m = Reachable(c->UserPointer);
  const int32_t tag = m ? static_cast<int32_t>(static_cast<int64_t>(c->Tag)) : -1;

  if (bits & 2) {
    if (m && tag >= 0 && !(m == SelectedModule && tag == m->SelectedParam.Load())) {
      ShowOn(PendingPortLink.inputControl, 0);
      SelectModule(m, tag);
    }
  } else if (bits & 16) {
    // Dragging an input up raises its own value by its step per pixel.
    if (m && tag >= 0) MoveParameterOrQueue(m, tag, static_cast<float>(-y), -1);
  } else if (bits & 8) {
    if (id == Slot(kUiSOUT)) {
      c->State.On = SetSynthOutputModule();
      CancelPendingPortLink();
      return 0;
    }
    if (!m) return 0;
    if (tag < 0) {
      if (PendingPortLink.source == m) {
        PendingPortLink.source = nullptr;
        PendingPortLink.sourceControl = 0;
        ShowOn(id, 0);
        return 0;
      }
      PendingPortLink.source = m;
      if (PendingPortLink.sourceControl != id) ShowOn(PendingPortLink.sourceControl, 0);
      PendingPortLink.sourceControl = id;
      ShowOn(id, -1);
    } else {
      if (PendingPortLink.module == m && PendingPortLink.input == tag) {
        PendingPortLink.module = nullptr;
        PendingPortLink.input = -1;
        PendingPortLink.inputControl = 0;
        ShowOn(id, 0);
        return 0;
      }
      PendingPortLink.module = m;
      PendingPortLink.input = tag;
      if (PendingPortLink.inputControl != id) ShowOn(PendingPortLink.inputControl, 0);
      PendingPortLink.inputControl = id;
      ShowOn(id, -1);
      SelectModule(m, tag);
    }
    if (PendingPortLink.module && PendingPortLink.source && PendingPortLink.input >= 0)
      AttemptLink();
  }
  return 0;
}

int32_t OnPowerDisplayMouse(uint32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }

}  // namespace Tarvelo
