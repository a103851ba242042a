// The dialog box's event callbacks: DB_OK and DB_X answer the owner of the
// open dialog (the answer reaches it later as a click), and DB_EDIT is a
// one-line text editor: caret and selection by pointer and keys, deleting,
// copy and paste, typing, and a window that scrolls over the text.
//
// The editor's state lives in DB_EDIT's text field (positions in characters
// from 0, see ui/views/dialog_drawing.h for the fields): caret, anchor,
// selection length (caret - anchor), first and last visible character; the
// caret's pixel x between drag events in EditPair[1]; the editable flag in
// EditStates[1], the numeric flag in EditStates[2] with Min and Max.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// The text last copied with Ctrl-C, until the next paste (which pastes what
// the clipboard holds by then, V::PasteText).
// one thread: interface, the dialog's line editor
extern std::string EditClipText;

int32_t OnDialogOk(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnDialogCancel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnDialogEdit(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// Scan codes the line editor acts on.
enum EditScanCode : uint32_t {
  kScanBackspace = 14,
  kScanEnter = 28,
  kScanHome = 71,
  kScanLeft = 75,
  kScanRight = 77,
  kScanEnd = 79,
  kScanDelete = 83,
};

}  // namespace Tarvelo
