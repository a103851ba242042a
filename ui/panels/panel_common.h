// What every panel handler shares: finding named controls, the pressed and
// toggle looks of buttons, posting control events and commands, the common
// selector scheme, and the services of neighbours the handlers call through
// hooks (window manager, MIDI page). Main thread only.
#pragma once
#include <cstdint>
#include <string>

#include "basics/queues.h"
#include "visuals/controls.h"

namespace Tarvelo {

struct ModuleRecord;
using QUARLE_VISUALS::ControlRecord;

// --- Controls -----------------------------------------------------------------
// The record of a control id; null when it does not exist.
ControlRecord* PanelCtl(int32_t id);
// The id in a UiIndex slot (0 when the index or the control is missing) and its record.
int32_t SlotId(int32_t slot);
ControlRecord* SlotCtl(int32_t slot);
// The window in a WindowList slot (0 when none) and its record.
int32_t WindowIdOf(int32_t slot);
ControlRecord* WindowCtl(int32_t slot);

// The pressed look of every button-like control: pressed -1 for bits exactly
// 2 (press), 16 (drag) or 32 (dragged over), else 0.
void PressedLook(int32_t id, uint32_t bits);
// The toggle look (STB_SHB, KBLOCK, BBLOCK): bits exactly 2 set the pressed
// word; exactly 8 clear it and invert the on word (true then); 0 clears it.
bool ToggleLook(int32_t id, uint32_t bits);

// Publishing, ignoring ids that name no control.
void PublishState(int32_t id);
void PublishText(int32_t id, int64_t flags);
void PublishWhole(int32_t id, int64_t flags);
void SetOnWord(int32_t id, int64_t on);  // on word, then the state published
void SetVisibleWord(int32_t id, int64_t visible);
void SetTextOf(int32_t id, const std::string& text);
std::string TextOf(int32_t id);

// --- Messages -------------------------------------------------------------------
// The current timer value in seconds (the event loop's clock).
double PanelNow();
// The one message record the panel handlers fill and post; posting clears it.
// one thread: interface
extern QUARLE_BASICS::CommandMessage HandlerMessage;
// Stamps HandlerMessage with the time, posts it to the queue and clears it.
int32_t PostHandlerMessage(int32_t queue);
// A control event on queue 0: type 100, source in the first argument, target in
// the second, bits in the fifth, the time stamp now.
int32_t PostControlEvent(int32_t target, int32_t source, uint32_t bits);

// --- Selectors ------------------------------------------------------------------------
// The common selector scheme over n options (the option is the control's
// selected item; its hovered half is the text field's hover mark): a drag
// steps by 25 pixels, at most one option per event, the accumulator keeping
// the rest; a click steps -1 left of the middle and +1 right of it (not on the
// middle pixel, which still counts as a change); hover and press set the
// hovered half; the redraw flag is set after every event. A vertical selector
// measures from its top and accumulates the upward movement (minus dy).
// Returns true when the option counts as changed; *direction (when given) gets
// the step's direction (+1 for a middle click or no step).
// n is a single so that the zoom selector can wrap in single precision; below
// 1 it counts as 1.
bool SelectorEvent(uint32_t bits, int32_t x, int32_t y, int32_t id, float n,
                   int32_t& accumulator, bool vertical = false, int32_t* direction = nullptr);

// --- Services of neighbours ---------------------------------------------------------
// The dialog box, module page, module creation and file-browser helpers of the
// application state (app/state/dialogs.h, modules.h, module_page.h) under the
// names the panel handlers use; and hooks for what no neighbour offers yet.
int32_t PanelOpenDialog(int32_t owner, const std::string& text, int64_t withEdit,
                        const std::string& editText, int32_t word1, int32_t word2, int32_t word3);
int32_t PanelAnswerDialog(int32_t source, int64_t answer);
int32_t PanelCloseDialog();
int32_t PanelDialogOwner();
// Takes the answered flag and clears it (-1 when an answer was waiting).
int64_t PanelTakeDialogAnswered();
int64_t PanelDialogAnswer();
int32_t PanelDialogWord(int32_t i);  // context words 1..3
void PanelSelectModule(ModuleRecord* module, int32_t port);
void PanelShowPortPage(ModuleRecord* module, int32_t port);
// (type or list index n, window x, y, source -1 new, 0 copy) -> list index or a
// negative code; deletion -> 0 or -19.
int32_t PanelCreateModule(int32_t n, int32_t x, int32_t y, int32_t source);
int32_t PanelDeleteModule(ModuleRecord* module);
int32_t PanelBrowseFolder(const std::string& folder, const std::string& name);
int32_t PanelSelectBrowserFile(const std::string& name);
int32_t PanelActiveBrowserList();

// Every member may be null; the wrappers below then use the default.
// one thread: start-up, installed before the threads start
struct PanelServices {
  // The MIDI page's selected map (device slot). Default: -1, none.
  int32_t (*SelectedMidiMap)();
  // Window manager and shell. Defaults: the screen minimises its window; a web address
  // is opened with the desktop's opener unless the screen is headless.
  void (*MinimizeWindow)();
  void (*OpenWebAddress)(const std::string& address);
  // MIDI hot-plug check of the tick. Default: the MIDI input's own check.
  int32_t (*CheckMidiDevices)();
};
// one thread: start-up, filled by the install functions before the interface is built
extern PanelServices Panel;
void ResetPanelServices();

int32_t PanelSelectedMidiMap();
void PanelMinimizeWindow();
void PanelOpenWebAddress(const std::string& address);
int32_t PanelCheckMidiDevices();

}  // namespace Tarvelo
