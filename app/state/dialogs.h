// The dialog box of the system bar and a few helpers of the browser pane and
// the synth plane.
//
// The dialog box DB (children DB_TEXT, DB_EDIT, DB_OK, DB_X: ids DB + 1 .. DB + 4)
// asks a yes/no question, with or without a one-line text field, for one
// control at a time, its owner. It does not block: the answer reaches the owner
// later as a click (type-100 message on queue 0, bits 8) whose source is the
// answering control. The owner's event callback sees DialogAnswered set, takes
// DialogAnswer and the three DialogContext words it passed, and clears
// DialogAnswered. Opening the dialog for another control first answers the
// current owner "no" (source DB).
//
// Main thread only.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Tarvelo {

// The owner of the open dialog; 0 when none is open.
// one thread: interface
extern int32_t DialogOwner;
// Words the owner passes to OpenDialog and reads back with the answer (the
// "dialog words").
extern int32_t DialogContext[3];  // one thread: interface
// -1 yes, 0 no (the "answer").
extern int64_t DialogAnswer;  // one thread: interface
// -1 once an answer waits for its owner (the "answer flag"); the owner clears it.
extern int64_t DialogAnswered;  // one thread: interface

// Opens the dialog for the owner with the question text (shown after two
// spaces) and, when withEdit is non-zero, the edit field holding editText as
// the active text field, its end in view with the caret (a path shows its
// file's name); without it the edit field is hidden but still holds
// editText. A call by the current owner changes nothing. 0.
int32_t OpenDialog(int32_t owner, const std::string& text, int64_t withEdit,
                   const std::string& editText, int32_t word1, int32_t word2, int32_t word3);
// The first of a question's forms (the fullest first) that the box shows
// whole, beside the edit line (withEdit non-zero) or across the box; the last
// when none does, so a question never ends cut where the box does.
std::string DialogQuestionThatFits(const std::vector<std::string>& forms, int64_t withEdit);
// Whether the box shows the question whole, beside the edit line (withEdit
// non-zero) or across the box.
bool DialogQuestionFits(const std::string& text, int64_t withEdit);
// A text shown whole where it does not fit (the end's status line, a question):
// in pieces cut at blanks (a word longer than a line where the line ends),
// each marked with its place ("(1/3) ") when there are several; `fits` says
// whether a piece fits the line.
std::vector<std::string> StatusLinePages(const std::string& text, const std::function<bool(const std::string&)>& fits);
// How long a piece of that many characters stays up to be read:
// `least` at least.
double ReadingSeconds(size_t characters, double least);

// Opens the dialog without an edit line for a question the box cannot show
// whole, in pieces (each one the box shows whole): each stays its seconds,
// then the next, the first again after the last, until the question is
// answered or replaced (TurnDialogPage turns them). As OpenDialog otherwise.
int32_t OpenDialogInPages(int32_t owner, const std::vector<std::string>& pages,
                          const std::vector<double>& seconds);
// The system bar's once-a-second tick: the open question's next piece once
// the one shown has stayed its time. Whether it turned.
bool TurnDialogPage();
// Hides the dialog, stores the answer (-1 yes, 0 no) with DialogAnswered -1,
// gives the keys back to the default key target and posts the answer click
// from `source` to the owner. 0.
int32_t AnswerDialog(int32_t source, int64_t answer);
// Withdraws the dialog without an answer and without an event. 0.
int32_t CloseDialog();

// Shows the file browser on the folder and selects the named file there;
// result as SelectBrowserFile.
int32_t BrowseFolder(const std::string& folder, const std::string& name);
// Selects the file of that name (exact, spaces included) in the file list FILES; no
// match (or an empty name) leaves no row selected. The selected row after the
// list scrolled to it (below 0 for none).
int32_t SelectBrowserFile(const std::string& name);
// The id of the list shown in the browser pane, or 0.
int32_t GetActiveBrowserList();
// Scrolls the synth plane so that the box of listed module i, its ports
// included, lies in the open plane (PlaneOpenArea), by the smallest move that
// does. A box outside the plane on both axes, or one the open plane cannot
// hold, comes in one axis per call, the vertical first (two calls).
void ScrollToModule(int32_t moduleIndex);

// A rectangle of window pixels.
// one thread: value
struct PlaneRect {
  int32_t X = 0, Y = 0, W = 0, H = 0;
};

// The synth plane's rectangle and the controls drawn over it, which take its
// clicks there: the status strip (the auto-save switch, the buttons beside it,
// the readouts) and the keyboards when shown. False before the plane exists.
bool PlaneOpenArea(PlaneRect& plane, std::vector<PlaneRect>& covers);
// A control's rectangle joined with those of everything under it (a module
// box with its port row).
PlaneRect ControlExtent(int32_t id);
// The smallest move (least |dx| + |dy|, then least |dx|) that puts r inside
// `within` and clear of every rectangle of `avoid`; false when none does.
bool SmallestClearMove(const PlaneRect& r, const PlaneRect& within,
                       const std::vector<PlaneRect>& avoid, int32_t& dx, int32_t& dy);

}  // namespace Tarvelo
