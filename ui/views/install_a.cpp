#include "app/state/ui_hooks.h"
#include "ui/build/callbacks.h"
#include "ui/views/control_drawing.h"
#include "ui/views/control_images.h"
#include "ui/views/dialog_drawing.h"
#include "ui/views/install.h"
#include "ui/views/library_views.h"
#include "ui/views/list_views.h"
#include "ui/views/power_midi_views.h"
#include "ui/views/sysbar_views.h"
#include "visuals/dirty_region.h"
#include "visuals/list_range.h"
#include "visuals/event_loop.h"
#include "visuals/visuals.h"

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
  // Its value is set by the engine and the editors as well as through the field.
  QUARLE_VISUALS::AddLiveDrawCallback(DrawValueField, ValueFieldHasNews);

  Cb.DrawDriveList = DrawDriveList;
  Cb.DrawSystemMessageList = DrawSystemMessageList;
  Cb.DrawActionHistoryList = DrawActionHistoryList;
  Cb.DrawFileList = DrawFileList;

  Cb.DrawLiveGuide = DrawLiveGuide;
  Cb.DrawMessageBox = DrawMessageBox;
  Cb.DrawDialogText = DrawDialogText;
  Cb.DrawDialogEdit = DrawDialogEdit;

  Cb.DrawMemoryReadout = DrawMemoryReadout;
  Cb.DrawWorkloadReadout = DrawWorkloadReadout;
  Cb.DrawAudioLoopReadout = DrawAudioLoopReadout;
  Cb.DrawVideoRateReadout = DrawVideoRateReadout;
  Cb.DrawControlLoopReadout = DrawControlLoopReadout;
  Cb.DrawInputPowerSwitch = DrawInputPowerSwitch;
  Cb.DrawOutputPowerSwitch = DrawOutputPowerSwitch;
  Cb.DrawInputMeter = DrawInputMeter;
  Cb.DrawOutputMeter = DrawOutputMeter;
  // Drawn from live data, not from what their controls publish.
  QUARLE_VISUALS::AddLiveDrawCallback(DrawLiveGuide, [] {
    platform::MutexGuard g(QUARLE_VISUALS::MT_HOVER);
    return QUARLE_VISUALS::HoverText.Changed != 0;
  });
  QUARLE_VISUALS::AddLiveDrawCallback(DrawInputMeter, InputMeterNews);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawOutputMeter, OutputMeterNews);
  AddReadoutLiveDrawings();

  Cb.DrawModuleCatalogList = DrawModuleCatalogList;
  Cb.DrawCreatedModuleList = DrawCreatedModuleList;
  // Its rows show module state the plane and the audio thread change.
  QUARLE_VISUALS::AddLiveDrawCallback(DrawCreatedModuleList, CreatedModuleListHasNews);
  Cb.DrawSampleLibraryList = DrawSampleLibraryList;
  Cb.DrawSampleMemoryList = DrawSampleMemoryList;
  Cb.DrawFilterList = DrawFilterList;

  Cb.CreateGlowImages = CreateGlowImages;
  Cb.PrepareControlImages = PrepareControlImages;

  StateUi.SetRowTextColour = SetRowColour;

  // Lists whose items come and go: kept in range and drawn anew on a change.
  QUARLE_VISUALS::SetListCount(DrawSystemMessageList, SystemMessageCount);
  QUARLE_VISUALS::SetListCount(DrawActionHistoryList, ActionHistoryCount);
  QUARLE_VISUALS::SetListCount(DrawFileList, FileListCount);
  QUARLE_VISUALS::SetListCount(DrawCreatedModuleList, CreatedModuleCount);
  QUARLE_VISUALS::SetListCount(DrawSampleLibraryList, SampleLibraryCount);
  QUARLE_VISUALS::SetListCount(DrawSampleMemoryList, SampleMemoryCount);
  QUARLE_VISUALS::SetListCount(DrawFilterList, FilterListCount);
}

}  // namespace Tarvelo
