#include "app/state/settings.h"
#include "ui/build/callbacks.h"
#include "ui/views/graphs.h"
#include "ui/views/install.h"
#include "ui/views/keyboard_views.h"
#include "ui/views/melody_list.h"
#include "ui/views/midi_lists.h"
#include "ui/views/module_lists.h"
#include "ui/views/power_midi_views.h"
#include "ui/views/scope_view.h"
#include "ui/views/tuning_displays.h"
#include "visuals/dirty_region.h"
#include "visuals/list_range.h"

namespace Tarvelo {

void InstallViewCallbacksB() {
  Cb.DrawScope = DrawScope;
  Cb.DrawPowerHistory = DrawPowerHistory;
  Cb.DrawMidiInputMonitor = DrawMidiInputMonitor;
  Cb.DrawWavePreview = DrawWavePreview;
  Cb.DrawFilterGraph = DrawFilterGraph;
  Cb.DrawParameterList = DrawParameterList;
  Cb.DrawWaveFunctionList = DrawWaveFunctionList;
  Cb.DrawKeyboardGroup = DrawKeyboardGroup;
  Cb.DrawOctaveBoardGroup = DrawOctaveBoardGroup;
  Cb.DrawKeyboard = DrawKeyboard;
  Cb.DrawOctaveBoard = DrawOctaveBoard;
  // Drawn from live data (audio, MIDI input, played keys), not from what their
  // controls publish.
  QUARLE_VISUALS::AddLiveDrawCallback(DrawScope, ScopeHasNews, ScopeRedrawArea, ScopeRedrawRows);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawKeyboard, KeyboardHasNews);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawOctaveBoard, OctaveBoardHasNews);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawPowerHistory, PowerHistoryHasNews);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawMidiInputMonitor, MidiMonitorHasNews);
  Cb.DrawTuningName = DrawTuningName;
  Cb.DrawTuningKeySteps = DrawTuningKeySteps;
  Cb.DrawTuningKeyGrid = DrawTuningKeyGrid;
  Cb.DrawScalePatternSwitches = DrawScalePatternSwitches;
  Cb.DrawScalePatternList = DrawScalePatternList;
  // The editor's displays draw the edited tuning, which many handlers change.
  QUARLE_VISUALS::AddLiveDrawCallback(DrawTuningName, EditedTuningNews<0>);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawTuningKeySteps, EditedTuningNews<1>);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawTuningKeyGrid, EditedTuningNews<2>);
  QUARLE_VISUALS::AddLiveDrawCallback(DrawScalePatternSwitches, ScalePatternSwitchesNews);
  Cb.DrawScaleList = DrawScaleList;
  Cb.DrawKeyboardDeviceList = DrawKeyboardDeviceList;
  Cb.DrawMidiDeviceMapList = DrawMidiDeviceMapList;
  Cb.DrawMidiControlList = DrawMidiControlList;
  Cb.DrawMelodyList = DrawMelodyList;
  // Lists whose items come and go: kept in range and drawn anew on a change.
  QUARLE_VISUALS::SetListCount(DrawParameterList, ParameterListCount);
  QUARLE_VISUALS::SetListCount(DrawScalePatternList, ScalePatternCount);
  QUARLE_VISUALS::SetListCount(DrawScaleList, ScaleListCount);
  QUARLE_VISUALS::SetListCount(DrawMelodyList, MelodyListCount);
  // The scope starts in the mode the settings keep.
  ScopeMode.store(Settings.Scope >= 0 && Settings.Scope <= 4 ? Settings.Scope : 0);
}

}  // namespace Tarvelo
