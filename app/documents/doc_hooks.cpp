#include "app/documents/doc_hooks.h"

#include "engine/modulelist.h"

namespace Tarvelo {

DocumentUiHooks DocumentUi{};

void ResetDocumentUiHooks() { DocumentUi = DocumentUiHooks{}; }

void DocSelectModule(ModuleRecord* module, int32_t tab) {
  if (DocumentUi.SelectModule != nullptr) {
    DocumentUi.SelectModule(module, tab);
    return;
  }
  SetSelectedModule(module);
}

void DocRefreshTuningPanel() {
  if (DocumentUi.RefreshTuningPanel != nullptr) DocumentUi.RefreshTuningPanel();
}

void DocPublishLibraryList(int32_t moduleType, int64_t flags) {
  if (DocumentUi.PublishLibraryList != nullptr) DocumentUi.PublishLibraryList(moduleType, flags);
}

void DocPublishSampleLibrary() {
  if (DocumentUi.PublishSampleLibrary != nullptr) DocumentUi.PublishSampleLibrary();
}

void DocOutputPortPosition(int32_t& x, int32_t& y) {
  x = 0;
  y = 0;
  if (DocumentUi.OutputPortPosition != nullptr) DocumentUi.OutputPortPosition(&x, &y);
}

void DocPlaneOffset(int32_t& x, int32_t& y) {
  x = 0;
  y = 0;
  if (DocumentUi.PlaneOffset != nullptr) DocumentUi.PlaneOffset(&x, &y);
}

void DocResetPlaneOffset() {
  if (DocumentUi.ResetPlaneOffset != nullptr) DocumentUi.ResetPlaneOffset();
}

void DocSetOutputPortOn(int64_t on) {
  if (DocumentUi.SetOutputPortOn != nullptr) DocumentUi.SetOutputPortOn(on);
}

bool DocCanCreateModuleControls() { return DocumentUi.CreateModuleControls != nullptr; }

int32_t DocCreateModuleControls(ModuleRecord* module, int32_t x, int32_t y) {
  if (DocumentUi.CreateModuleControls == nullptr) return 0;
  return DocumentUi.CreateModuleControls(module, x, y);
}

void DocRedrawModuleList() {
  if (DocumentUi.RedrawModuleList != nullptr) DocumentUi.RedrawModuleList();
}

void DocShowGains(const std::string& input, const std::string& output) {
  if (DocumentUi.ShowGains != nullptr) DocumentUi.ShowGains(input, output);
}

void DocShowSessionTitle(const std::string& text) {
  if (DocumentUi.ShowSessionTitle != nullptr) DocumentUi.ShowSessionTitle(text);
}

void DocOctaveBoardStatesLoaded() {
  if (DocumentUi.OctaveBoardStatesLoaded != nullptr) DocumentUi.OctaveBoardStatesLoaded();
}

void DocKeyboardStatesLoaded() {
  if (DocumentUi.KeyboardStatesLoaded != nullptr) DocumentUi.KeyboardStatesLoaded();
}

}  // namespace Tarvelo
