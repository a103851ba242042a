// The browser pane's list buttons, acting on the list on view: order, rename,
// copy, delete, save and load (LSORDER .. LILOAD), and SNEW, the new synth.
// Renaming, deleting and overwriting ask through the dialog box and act when
// its answer comes back as a click.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// Kept between opening the rename dialog and its answer.
// one thread: interface, the rename dialog's
extern std::string RenameFolder;
extern std::string RenameOldName;
extern std::string RenameExtension;

int32_t OnListOrder(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnListRename(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnListCopy(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnListDelete(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnListSave(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnListLoad(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnNewSynth(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// What the status line says while an act waits for a save (a file's save on
// its way, the synth's save before New or Load), the latest one; "" when
// none waits. The tick says it again for as long as it lasts; its call also
// shows the box a lasting wait of New or Load can be left from, and asks to
// save elsewhere when the disk writes nothing of the save.
std::string ListActsWaitingText();

// Where a synth whose save failed is offered to be saved instead: a free
// name after the session's title in the data folder's SYNTHS.
std::string SynthNameElsewhere();

// The octave-board and keyboard panels show the lock, island-key and key
// position words of the current states again (after a new or loaded synth).
void ShowOctaveBoardState();
void ShowKeyboardState();

}  // namespace Tarvelo
