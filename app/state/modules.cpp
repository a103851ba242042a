#include "app/state/modules.h"

#include <string>

#include "app/documents/doc_hooks.h"
#include "app/state/dialogs.h"
#include "app/state/history.h"
#include "app/state/module_controls.h"
#include "app/state/module_page.h"
#include "app/state/system_messages.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "engine/modulelist.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

namespace {

constexpr int32_t kLevelError = 2;

int32_t Slot(int32_t slot) {
  if (!V::UiIndex || slot < 0 || slot >= kUiSlotCount) return 0;
  return V::UiIndex[slot];
}

V::ControlRecord* At(int32_t id) { return id > 0 ? V::ControlAt(id) : nullptr; }

void RedrawModuleList() {
  const int32_t refm = Slot(kUiREFM);
  if (V::ControlRecord* c = refm > 0 ? At(refm + 1) : nullptr) V::ControlPublishText(c, -1);
}

void SelectFromDocuments(ModuleRecord* module, int32_t port) { SelectModule(module, port); }

}  // namespace

int32_t CreateModule(int32_t typeOrIndex, int32_t x, int32_t y, int64_t fromCatalog) {
  const bool fromType = fromCatalog != 0;
  // The engine would bend a type or position that names nothing onto the
  // nearest one and copy the wrong module; refuse it as it refuses the others.
  const int32_t limit = fromType ? kModuleTypeCount : ModuleList.count;
  ModuleRecord* module = nullptr;
  const int32_t p = typeOrIndex < 0 || typeOrIndex >= limit
                        ? -QUARLE_BASICS::kErrBadParameter
                        : AddModule(typeOrIndex, fromType, &module);
  if (p < 0 || !module) {
    const int32_t code = p < 0 ? p : -QUARLE_BASICS::kErrBadParameter;
    Report(LangText(160, "Error creating module: ") + ErrorText(code), kLevelError);
    return code;
  }
  // The modules behind the new one moved up a place.
  SyncModuleBoxTags();

  const int32_t box = CreateModuleControls(module, x, y);
  if (box > 0) {
    ScrollToModule(p);
    RecordAction(kActionCreate, module, -1, nullptr);
    CablesDirty.store(-1);
  } else {
    Report(LangText(161, "Error creating module controls: ") + ErrorText(box), kLevelError);
  }
  return p;
}

int32_t DeleteModule(ModuleRecord* module) {
  if (!module) return -QUARLE_BASICS::kErrBadParameter;
  if (module == SelectedModule) SelectModule(nullptr, -1);
  if (module == SynthOutputModule.load()) {
    if (V::ControlRecord* sout = At(Slot(kUiSOUT))) {
      sout->State.On = 0;
      V::ControlPublishState(sout);
    }
  }
  // The removal may free the record at once when no frame is being rendered,
  // so its line is written while the names are still there; the removal
  // changes neither its short name nor its instance number.
  RecordAction(kActionDelete, module, -1, nullptr);
  RemoveModule(module);
  SyncModuleBoxTags();
  const int32_t refm = Slot(kUiREFM);
  if (V::ControlRecord* libm = refm > 0 ? At(refm + 1) : nullptr) {
    libm->Text.Selected = -1;
    V::ControlPublishText(libm, -1);
  }
  return 0;
}

void InstallModuleUi() {
  InstallModuleBoxHooks();
  BoxHooks.PublishPerVoice = ShowPerVoiceSwitch;
  BoxHooks.AskPerVoice = [] { return PostToInterface(kMessagePerVoice); };
  DocumentUi.SelectModule = SelectFromDocuments;
  DocumentUi.RefreshTuningPanel = RefreshTuningPanel;
  DocumentUi.CreateModuleControls = CreateModuleControls;
  DocumentUi.RedrawModuleList = RedrawModuleList;
}

}  // namespace Tarvelo
