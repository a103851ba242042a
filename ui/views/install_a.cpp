#include "app/state/ui_hooks.h"
#include "ui/build/callbacks.h"
#include "ui/views/control_drawing.h"
#include "ui/views/install.h"
#include "ui/views/list_views.h"

namespace Tarvelo {

namespace {

// The message list's rows take the colour of their message's level.
void SetRowColour(uint32_t colour) { TextColour = colour; }

}  // namespace

void InstallViewCallbacksA() {
  Cb.DrawButton = DrawButton;
  Cb.DrawRecordButton = DrawRecordButton;
  Cb.DrawMidiMapButton = DrawMidiMapButton;
  Cb.DrawTab = DrawTab;
  Cb.DrawMultiStateSwitch = DrawMultiStateSwitch;
  Cb.DrawToggleSwitch = DrawToggleSwitch;
  Cb.DrawLogo = DrawLogo;
  Cb.DrawSelector = DrawSelector;
  Cb.DrawLink = DrawLink;
  Cb.DrawGroupFrame = DrawGroupFrame;
  Cb.DrawPanel = DrawPanel;
  Cb.DrawAboutWindow = DrawAboutWindow;
  Cb.DrawLabel = DrawLabel;
  Cb.DrawValueField = DrawValueField;

  Cb.DrawDriveList = DrawDriveList;
  Cb.DrawSystemMessageList = DrawSystemMessageList;
  Cb.DrawActionHistoryList = DrawActionHistoryList;
  Cb.DrawFileList = DrawFileList;

  StateUi.SetRowTextColour = SetRowColour;
}

}  // namespace Tarvelo
