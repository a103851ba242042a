// The first half of the panel handlers into the callback slots, and the hooks
// through which the start-up and the MIDI input reach them.
#include "app/startup_hooks.h"
#include "audio/midi.h"
#include "ui/build/callbacks.h"
#include "ui/panels/dialog.h"
#include "ui/panels/install.h"
#include "ui/panels/keyboards.h"
#include "ui/panels/list_buttons.h"
#include "ui/panels/module_panel.h"
#include "ui/panels/sysbar.h"
#include "ui/panels/value_editors.h"
#include "ui/panels/window_buttons.h"

namespace Tarvelo {

void InstallPanelHandlersA() {
  Cb.OnSysbarTick = OnSysbarTick;

  Cb.OnQuit = OnQuit;
  Cb.OnMinimizeWindow = OnMinimizeWindow;
  Cb.OnMoveWindow = OnMoveWindow;
  Cb.OnWindowTab = OnWindowTab;
  Cb.OnAboutLink = OnAboutLink;
  Cb.OnAudioInputPower = OnAudioInputPower;
  Cb.OnAudioInputMeter = OnAudioInputMeter;
  Cb.OnAudioOutputPower = OnAudioOutputPower;
  Cb.OnAudioOutputMeter = OnAudioOutputMeter;
  Cb.OnRecordOutput = OnRecordOutput;
  Cb.OnVisualizationMode = OnVisualizationMode;
  Cb.OnResetPlanePosition = OnResetPlanePosition;
  Startup.OnResetPlanePosition = OnResetPlanePosition;

  Cb.OnValueDisplayMode = OnValueDisplayMode;
  Cb.OnValueEdit = OnValueEdit;
  Cb.OnValueDrag = OnValueDrag;
  Cb.OnValueUnit = OnValueUnit;

  Cb.OnDialogOk = OnDialogOk;
  Cb.OnDialogCancel = OnDialogCancel;
  Cb.OnDialogEdit = OnDialogEdit;

  Cb.OnModuleSwitch = OnModuleSwitch;
  Cb.OnRewindClocks = OnRewindClocks;
  Cb.OnFeedbackKickstart = OnFeedbackKickstart;
  Cb.OnModuleTab = OnModuleTab;
  Cb.OnGlobalValue = OnGlobalValue;
  Cb.OnVoiceMapSource = OnVoiceMapSource;
  Cb.OnInputDomain = OnInputDomain;
  Cb.OnSpatialChannel = OnSpatialChannel;
  Cb.OnLinkSpatialChannels = OnLinkSpatialChannels;
  Cb.OnParameterList = OnParameterList;
  Cb.OnWaveShapeList = OnWaveShapeList;
  Cb.OnKeyboardDeviceList = OnKeyboardDeviceList;
  Cb.OnKeyboardChannel = OnKeyboardChannel;
  Cb.OnWavePreview = OnWavePreview;

  Cb.OnKeyboard = OnKeyboard;
  Cb.OnOctaveBoard = OnOctaveBoard;
  Cb.OnKeyboardNumber = OnKeyboardNumber;
  Cb.OnBoardNumber = OnBoardNumber;
  Cb.OnKeyPositionSelect = OnKeyPositionSelect;
  Cb.OnKeyboardLock = OnKeyboardLock;
  Cb.OnBoardLock = OnBoardLock;
  Cb.OnKeyboardIslandKeys = OnKeyboardIslandKeys;
  Cb.OnBoardIslandKeys = OnBoardIslandKeys;
  Cb.OnToggleKeyboards = OnToggleKeyboards;
  Startup.LayoutKeyboardPanel = LayoutKeyboardPanel;
  QUARLE_AUDIO::MidiUi.EnterKeyFrequency = EnterKeyFrequency;
  QUARLE_AUDIO::MidiUi.ShowKeyboardsOff = ShowKeyboardsOff;

  Cb.OnListOrder = OnListOrder;
  Cb.OnListRename = OnListRename;
  Cb.OnListCopy = OnListCopy;
  Cb.OnListDelete = OnListDelete;
  Cb.OnListSave = OnListSave;
  Cb.OnListLoad = OnListLoad;
  Cb.OnNewSynth = OnNewSynth;
  Startup.OnNewSynth = OnNewSynth;
}

}  // namespace Tarvelo
