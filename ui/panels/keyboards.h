// The keyboard panel: the virtual keyboard KB and the octave board BB play the
// Keyboard and Octave board modules that KBNUM and BBNUM choose (their states
// in KeyboardStates and OctaveBoardStates), from the pointer and from the top
// row of the computer keyboard; the lock and island-key switches, the key
// position, showing and hiding the panel, and the key-frequency entry into the
// typed-value dialog. The state indexes are the engine's CurrentKeyboardIndex
// and CurrentOctaveBoardIndex, the Keyboard module the engine's CurrentKeyboard.
#pragma once
#include <cstdint>

namespace Tarvelo {

struct ModuleRecord;

// The Octave board module whose instance number is CurrentOctaveBoardIndex + 1.
// one thread: interface, the keyboard panel's handlers
extern ModuleRecord* CurrentOctaveBoardModule;
// The key (after transposition) and held-key entry of the last note the
// pointer started on KB, and on BB.
// one thread: interface, the keyboard panel's handlers
extern int32_t LastKeyboardKey;
extern int32_t LastKeyboardHeld;
extern int32_t LastBoardKey;
extern int32_t LastBoardHeld;

// Scan codes of the computer keyboard's top row that play: 1 .. 0, the two
// keys after them and Backspace, 13 consecutive keys.
constexpr uint32_t kFirstPlayedScanCode = 2;
constexpr int32_t kPlayedTopRowKeys = 13;

int32_t OnKeyboard(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnOctaveBoard(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnKeyboardNumber(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnBoardNumber(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnKeyPositionSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnKeyboardLock(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnBoardLock(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnKeyboardIslandKeys(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnBoardIslandKeys(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnToggleKeyboards(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// Note on, slide and off of one pointer gesture on key index k of KB (row k of BB).
void VirtualKeyNote(uint32_t bits, int32_t kb, int32_t k);
void OctaveBoardNote(uint32_t bits, int32_t bb, int32_t k);
// The key of the computer keyboard just pressed or released.
void PlayTypedKey();
// Shows (-1) or hides (0) the keyboard panel and fits the synth plane and the
// scope around it.
void LayoutKeyboardPanel(int64_t show);
// Types the frequency of a played key (octave board when board is not 0) into
// the dialog's edit line, for the parameter selected in PLIST.
void EnterKeyFrequency(int32_t key, int32_t board);
// "Turn audio output ON to activate keyboards." on the status line.
void ShowKeyboardsOff();

// The gesture and selector state back to the start (tests).
void ResetKeyboardPanelStatics();

}  // namespace Tarvelo
