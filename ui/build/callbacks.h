// The callback slots of the interface: every event and draw callback the
// builder binds to a control, by the name the handlers and views are known by.
// The panel handlers and the views fill these slots before the interface is
// built; a slot left null gives the control no callback (a control without a
// draw callback is drawn as a plain box of its colour word). The builder reads
// each slot when it creates the control, so an assignment after a build takes
// effect at the next build.
#pragma once
#include <cstdint>
#include <string>

#include "visuals/controls.h"

namespace Tarvelo {

struct ModuleRecord;

using ValueHookFn = int32_t (*)(float* value);
using ValueRangeFn = void (*)(float* low, float* high);

// one thread: start-up, installed before the threads start
struct UiCallbackSlots {
  // Event callbacks.
  QUARLE_VISUALS::EventCallbackFn OnAboutLink = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnActionHistoryList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnAudioInputMeter = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnAudioInputPower = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnAudioOutputMeter = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnAudioOutputPower = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBoardIslandKeys = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBoardLock = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBoardNumber = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBrowserDrives = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBrowserHome = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBrowserRefresh = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBrowserTab = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnBrowserUp = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnCreatedModuleList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnDialogCancel = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnDialogEdit = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnDialogOk = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFeedbackKickstart = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFileList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterCreate = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterGraph = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterHighPass = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterLobeSize = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterUnload = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterWindowFunction = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnFilterWindowSize = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnGlobalValue = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnInputDeviceReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnInputDeviceSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnInputDeviceSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnInputDomain = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnKeyPositionSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnKeyboard = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnKeyboardChannel = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnKeyboardDeviceList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnKeyboardIslandKeys = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnKeyboardLock = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnKeyboardNumber = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnLanguageReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnLanguageSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnLanguageSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnLibraryTab = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnLinkSpatialChannels = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnListCopy = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnListDelete = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnListLoad = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnListOrder = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnListRename = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnListSave = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMelodyGeneratorRecord = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMelodyList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMelodySave = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMelodySet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMelodyUnload = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMessageTab = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiControlChannel = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiControlList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiControllerType = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiDeviceMapList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiMapAny = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiMapMax = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiMapMin = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiMapModuleParameter = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiMapParameter = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMidiMapResolution = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMinimizeWindow = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnModuleBoxMouse = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnModuleCatalogList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnModulePortMouse = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnModuleSwitch = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnModuleTab = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMonitorSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnMoveWindow = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnNewSynth = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnNumberBaseReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnNumberBaseSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnNumberBaseSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnOctaveBoard = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnOutputDeviceReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnOutputDeviceSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnOutputDeviceSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnParameterList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnPlaybackBufferReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnPlaybackBufferSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnPlaybackBufferSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnPowerDisplayMouse = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnQuit = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnRecordOutput = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnResetPlanePosition = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnResolutionReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnResolutionSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnResolutionSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnRewindClocks = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSampleChannels = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSampleLibraryList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSampleList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSampleRecord = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSampleSave = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSampleSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSampleUnload = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnScaleList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnScalePatternAdd = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnScalePatternDelete = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnScalePatternList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnScalePatternRename = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnScalePatternSwitches = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSequencerRecord = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSpatialChannel = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSynthPlaneMouse = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSysbarTick = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnSystemMessageList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnToggleKeyboards = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnToggleSwitch = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningCancel = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningEqualTemperament = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningGeometric = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningKeyGrid = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningKeysMinus = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningKeysPlus = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningNew = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningRenameKey = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningSave = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnTuningSetFirstKey = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnValueDisplayMode = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnValueDrag = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnValueEdit = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnValueUnit = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnVideoDriverReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnVideoDriverSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnVideoDriverSet = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnVisualizationMode = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnVoiceMapSource = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnWavePreview = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnWaveShapeList = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnWindowTab = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnZoomReset = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnZoomSelect = nullptr;
  QUARLE_VISUALS::EventCallbackFn OnZoomSet = nullptr;
  // Draw callbacks.
  QUARLE_VISUALS::DrawCallbackFn DrawAboutWindow = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawActionHistoryList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawAudioLoopReadout = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawButton = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawControlLoopReadout = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawCreatedModuleList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawDialogEdit = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawDialogText = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawDriveList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawFileList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawFilterGraph = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawFilterList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawGroupFrame = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawInputMeter = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawInputPowerSwitch = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawKeyboard = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawKeyboardDeviceList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawKeyboardGroup = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawLabel = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawLink = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawLiveGuide = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawLogo = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMelodyList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMemoryReadout = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMessageBox = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMidiControlList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMidiDeviceMapList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMidiInputMonitor = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMidiMapButton = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawModuleBox = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawModuleCatalogList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawModulePort = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawMultiStateSwitch = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawOctaveBoard = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawOctaveBoardGroup = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawOutputMeter = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawOutputPowerSwitch = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawPanel = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawParameterList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawPowerHistory = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawRecordButton = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawSampleLibraryList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawSampleMemoryList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawScaleList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawScalePatternList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawScalePatternSwitches = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawScope = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawSelector = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawSynthOutput = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawSynthPlane = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawSystemMessageList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawTab = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawToggleSwitch = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawTuningKeyGrid = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawTuningKeySteps = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawTuningName = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawValueField = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawVideoRateReadout = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawWaveFunctionList = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawWavePreview = nullptr;
  QUARLE_VISUALS::DrawCallbackFn DrawWorkloadReadout = nullptr;
  // Value hooks of the tuning editor's value records.
  ValueHookFn OnReferenceFrequencyValue = nullptr;
  ValueHookFn OnAbsoluteKeyValue = nullptr;
  ValueHookFn OnRelativeKeyValue = nullptr;
  ValueRangeFn OnReferenceFrequencyRange = nullptr;
  ValueRangeFn OnAbsoluteKeyRange = nullptr;
  ValueRangeFn OnRelativeKeyRange = nullptr;

  // Services the build calls.
  // Once at the start of every build, before the old controls go.
  void (*CreateGlowImages)() = nullptr;
  // After every control exists: (horizontal selector hint, vertical hint) -> 0
  // or a negative code, which ends the build. Default: FinishControlFlags.
  int32_t (*PrepareControlImages)(const std::string& hintH, const std::string& hintV) = nullptr;
  // A live module's block at (x, y): the box id (1 or more), or 0 / a negative
  // code, which ends the build. Default: the documents' hook.
  int32_t (*CreateModuleControls)(ModuleRecord* module, int32_t x, int32_t y) = nullptr;
};
// one thread: start-up, filled by the install functions before the interface is built
extern UiCallbackSlots Cb;

// Every slot back to its default.
void ResetUiCallbacks();

// The part of the image preparation the control flags need, used while no
// view installs PrepareControlImages: over every control, lists (list word -1)
// and edit lines (edit word -1) get the arrow-key flag; a control whose draw
// callback is not Cb.DrawSelector gets event mask 0 when its draw callback is
// Cb.DrawLabel or it has no event callback; a selector (drawn by
// Cb.DrawSelector, or marked as one by the builder) gets ": " and a hint
// appended to its tooltip: hintV when it is at least as tall as wide, else
// hintH. 0.
int32_t FinishControlFlags(const std::string& hintH, const std::string& hintV);

// The builder marks the selectors it makes, so that they are known even
// while Cb.DrawSelector is null. Reset by every build.
void MarkSelector(int32_t id);
bool IsMarkedSelector(int32_t id);
void ClearSelectorMarks();

}  // namespace Tarvelo
