// Draw callbacks of the system bar's four text strips: the live guide
// (CTRL_INFO: the tooltip under the pointer, or the date and time), the message
// box (MB: the latest status message), and the dialog box's message (DB_TEXT)
// and one-line text field (DB_EDIT) with caret, selection and scroll marks.
// Each keeps its text in layer 0 and renders it again only when it changed.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "visuals/controls.h"

namespace Tarvelo {

using QUARLE_VISUALS::RenderRecord;

constexpr uint32_t kStripBackground = 0xFF141419;
constexpr uint32_t kEditSelection = 0xFF0000C8;

// The line editor's state in a text field, positions counted in characters
// from 0 (the caret may stand at the stored size, length + 1).
inline int32_t& EditCaret(QUARLE_VISUALS::TextField& f) { return f.Caret; }
inline int32_t& EditAnchor(QUARLE_VISUALS::TextField& f) { return f.SelectionEnd; }
inline int32_t& EditSelectionLength(QUARLE_VISUALS::TextField& f) { return f.EditAfterSelection; }
inline int32_t& EditFirstVisible(QUARLE_VISUALS::TextField& f) { return f.EditPair[0]; }
inline int32_t& EditLastVisible(QUARLE_VISUALS::TextField& f) { return f.FitCount; }

// "mm-dd-yyyy   hh:mm:ss": what the live guide shows when no tooltip applies.
std::string GuideDateTimeText(const std::tm& t);

// (snapshot, control id) -> 0, or a negative text-drawing code (all but the
// message box).
int32_t DrawLiveGuide(RenderRecord* snap, int32_t id);
int32_t DrawMessageBox(RenderRecord* snap, int32_t id);
int32_t DrawDialogText(RenderRecord* snap, int32_t id);
int32_t DrawDialogEdit(RenderRecord* snap, int32_t id);

}  // namespace Tarvelo
