#include "ui/views/install_c.h"

#include "engine/command.h"
#include "engine/modulelist.h"
#include "ui/build/callbacks.h"
#include "ui/views/cables.h"
#include "ui/views/settings_windows.h"
#include "ui/views/synth_plane.h"
#include "ui/views/tuning_editor.h"
#include "visuals/dirty_region.h"
#include "visuals/video_thread.h"

namespace Tarvelo {

void InstallViewCallbacksC() {
  Cb.OnSynthPlaneMouse = OnSynthPlaneMouse;
  Cb.OnModuleBoxMouse = OnModuleBoxMouse;
  Cb.OnModulePortMouse = OnModulePortMouse;
  Cb.OnPowerDisplayMouse = OnPowerDisplayMouse;
  Cb.DrawSynthPlane = DrawSynthPlane;
  Cb.DrawModuleBox = DrawModuleBox;
  Cb.DrawModulePort = DrawModulePort;
  Cb.DrawSynthOutput = DrawSynthOutput;
  BoxHooks.DropHalfLink = DropHalfLink;
  QUARLE_VISUALS::SetFrameWatch(BeginCableFrame, EndCableFrame);
  // The plane shows no hover, and its drop outline is watched frame by frame;
  // a box shows no hover either.
  QUARLE_VISUALS::SetDrawIgnores(DrawSynthPlane, QUARLE_VISUALS::kIgnoresHover |
                                                     QUARLE_VISUALS::kIgnoresPressPoint |
                                                     QUARLE_VISUALS::kIgnoresPointer);
  QUARLE_VISUALS::SetDrawIgnores(DrawModuleBox, QUARLE_VISUALS::kIgnoresHover);
  QUARLE_VISUALS::SetPaintReach(DrawSynthOutput, SynthOutputReach);

  Cb.OnVideoDriverSelect = OnVideoDriverSelect;
  Cb.OnVideoDriverSet = OnVideoDriverSet;
  Cb.OnVideoDriverReset = OnVideoDriverReset;
  Cb.OnResolutionSelect = OnResolutionSelect;
  Cb.OnMonitorSelect = OnMonitorSelect;
  Cb.OnResolutionSet = OnResolutionSet;
  Cb.OnResolutionReset = OnResolutionReset;
  Cb.OnZoomSelect = OnZoomSelect;
  Cb.OnZoomSet = OnZoomSet;
  Cb.OnZoomReset = OnZoomReset;
  Cb.OnLanguageSelect = OnLanguageSelect;
  Cb.OnLanguageSet = OnLanguageSet;
  Cb.OnLanguageReset = OnLanguageReset;
  Cb.OnOutputDeviceSelect = OnOutputDeviceSelect;
  Cb.OnOutputDeviceSet = OnOutputDeviceSet;
  Cb.OnOutputDeviceReset = OnOutputDeviceReset;
  Cb.OnPlaybackBufferSelect = OnPlaybackBufferSelect;
  Cb.OnPlaybackBufferSet = OnPlaybackBufferSet;
  Cb.OnPlaybackBufferReset = OnPlaybackBufferReset;
  Cb.OnInputDeviceSelect = OnInputDeviceSelect;
  Cb.OnInputDeviceSet = OnInputDeviceSet;
  Cb.OnInputDeviceReset = OnInputDeviceReset;
  Cb.OnToggleSwitch = OnToggleSwitch;

  Cb.OnTuningKeyGrid = OnTuningKeyGrid;
  Cb.OnScalePatternSwitches = OnScalePatternSwitches;
  Cb.OnTuningEqualTemperament = OnTuningEqualTemperament;
  Cb.OnTuningGeometric = OnTuningGeometric;
  Cb.OnTuningKeysMinus = OnTuningKeysMinus;
  Cb.OnTuningKeysPlus = OnTuningKeysPlus;
  Cb.OnTuningSetFirstKey = OnTuningSetFirstKey;
  Cb.OnTuningRenameKey = OnTuningRenameKey;
  Cb.OnScalePatternList = OnScalePatternList;
  Cb.OnScalePatternAdd = OnScalePatternAdd;
  Cb.OnScalePatternDelete = OnScalePatternDelete;
  Cb.OnScalePatternRename = OnScalePatternRename;
  Cb.OnTuningNew = OnTuningNew;
  Cb.OnTuningSave = OnTuningSave;
  Cb.OnTuningCancel = OnTuningCancel;
  Cb.OnScaleList = OnScaleList;
  ShowMelodyScalePattern = ShowSelectedScalePattern;
  Cb.OnNumberBaseSelect = OnNumberBaseSelect;
  Cb.OnNumberBaseSet = OnNumberBaseSet;
  Cb.OnNumberBaseReset = OnNumberBaseReset;
  Cb.OnReferenceFrequencyValue = OnReferenceFrequencyValue;
  Cb.OnAbsoluteKeyValue = OnAbsoluteKeyValue;
  Cb.OnRelativeKeyValue = OnRelativeKeyValue;
  Cb.OnReferenceFrequencyRange = OnReferenceFrequencyRange;
  Cb.OnAbsoluteKeyRange = OnAbsoluteKeyRange;
  Cb.OnRelativeKeyRange = OnRelativeKeyRange;
}

}  // namespace Tarvelo
