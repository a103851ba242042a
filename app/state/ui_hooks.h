// What the application state asks of the interface: a few named controls (the
// status line, the power and record switches, the settings selectors, the
// browser tabs), the video thread's flags and its stop and start, and the row
// colour of the list being drawn. Named controls are found through the
// interface's control index and changed through the control table; everything
// else goes through hooks that the interface installs once it exists. Until
// then (and in headless tests) the defaults stand for an interface that is not
// running: flags read 0, control operations do nothing.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// Slots of the interface's control index (UiIndex) that this folder addresses.
enum StateControlSlot : int32_t {
  kSlotMicPower = 2,         // MicMP: capture on/off switch
  kSlotPlayPower = 4,        // PlayMP: playback on/off switch
  kSlotRecord = 6,           // Rec: output recording button
  kSlotLiveGuide = 11,       // CTRL_INFO: the hover text line
  kSlotMessageBox = 12,      // MB: the status line
  kSlotDialog = 13,          // DB: the dialog box
  kSlotBrowserTabs = 60,     // TABMSG: the message console tab of the browser pane
  kSlotMessageTab1 = 65,     // MSGT1: system messages page button (MSGT2 follows it)
  kSlotResolutionNotice = 76,  // never filled by the interface build
  kSlotOutputBuffer = 88,    // AS_OBS: the playback buffer selector
  kSlotMonitors = 90,        // VS_NBMON: the monitors selector
  kStateSlotCount = 113,
};

// Every member may be left null; the wrappers below then give the defaults.
// one thread: start-up, installed before the threads start
struct StateUiHooks {
  // Control id held in an index slot; 0 when the control does not exist.
  // Default: the interface's UiIndex while it is allocated.
  int32_t (*ControlId)(int32_t slot);
  // Default implementations of these five work on the control table.
  void (*SetText)(int32_t id, const std::string& text);  // text field, then publish it
  void (*SetOn)(int32_t id, int64_t on);                 // on/off word, then publish the state
  void (*SetSelected)(int32_t id, int32_t item);         // selected item of a selector or list
  int64_t (*Visible)(int32_t id);                        // -1 shown, 0 hidden or absent
  void (*SetVisible)(int32_t id, int64_t visible);

  // Video thread and interface flags (-1 set, 0 clear); null reads 0.
  int64_t (*VideoRunFlag)();     // the graphics screen is open and the video thread is to run
  int64_t (*VideoLoopActive)();  // the video thread is inside its frame loop
  int64_t (*InterfaceReady)();   // the interface is built
  void (*SetInterfaceReady)(int64_t ready);
  void (*StopVideoThread)();
  int32_t (*StartVideoThread)(int32_t measure);  // 0 or a negative code
  void (*ScreenOpened)(uint32_t* screen);        // the screen after a driver change, or null
  // The active edit field takes a copy of the text font record (face and widths).
  void (*UseTextFontForEditField)();
  // Colour of the list row being drawn (RowTextColour of the list draw callbacks).
  void (*SetRowTextColour)(uint32_t colour);
};
// one thread: start-up, installed by the wiring
extern StateUiHooks StateUi;

// Restores every hook to its default.
void ResetStateUiHooks();

int32_t StateControlId(int32_t slot);
void StateSetControlText(int32_t id, const std::string& text);
void StateSetControlOn(int32_t id, int64_t on);
void StateSetControlSelected(int32_t id, int32_t item);
int64_t StateControlVisible(int32_t id);
void StateSetControlVisible(int32_t id, int64_t visible);

int64_t StateVideoRunFlag();
int64_t StateVideoLoopActive();
int64_t StateInterfaceReady();
void StateSetInterfaceReady(int64_t ready);
void StateStopVideoThread();
int32_t StateStartVideoThread(int32_t measure);
void StateScreenOpened(uint32_t* screen);
void StateUseTextFontForEditField();
void StateSetRowTextColour(uint32_t colour);

}  // namespace Tarvelo
