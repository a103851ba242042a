// The dialog box's buttons and its line editor: answers reach the owner as a
// click, a second owner answers the first "no", and the editor's caret,
// selection, deleting, copy and paste, overwrite, numeric fields and scrolling.
#include <algorithm>
#include <cstring>

#include "app/state/dialogs.h"
#include "panels_a_fixture.h"
#include "platform/clipboard.h"
#include "platform/events.h"
#include "ui/panels/dialog.h"
#include "ui/views/dialog_drawing.h"
#include "visuals/event_loop.h"
#include "visuals/clipboard.h"
#include "visuals/fonts.h"
#include "visuals/text.h"

namespace panelsa {
namespace {

using namespace Tarvelo;

class DialogTest : public PanelsATest {
 protected:
  void SetUp() override {
    PanelsATest::SetUp();
    db_ = Slot(kUiDB);
    edit_ = db_ + 2;
    owner_ = Slot(kUiPGV);
    EditClipText.clear();
    V::KeyInput = V::SelectorState{};
    V::SetActiveEditField(V::DefaultKeyTarget);
  }
  void TearDown() override {
    V::KeyInput = V::SelectorState{};
    PanelsATest::TearDown();
  }
  void Open(const std::string& text) { OpenDialog(owner_, "Name?", -1, text, 0, 0, 0); }
  // One key through the editor: a special key by scan code, or a typed text.
  void Key(uint32_t scan, uint32_t ascii = 0, bool shift = false) {
    V::KeyInput.CounterA = scan;
    V::KeyInput.CounterB = ascii;
    V::KeyInput.Words2[1] = 0;
    V::KeyInput.Words[0] = shift ? -1 : 0;
    OnDialogEdit(V::kEventKey, 0, 0, edit_, 0);
  }
  void Type(const char* text) {
    V::KeyInput.CounterA = 0;
    V::KeyInput.CounterB = static_cast<uint8_t>(text[0]);
    V::KeyInput.Words2[1] = -1;
    V::KeyInput.Words[0] = 0;
    // The key text holds one character and its end (a copy cut to fit).
    const size_t n = std::min(std::strlen(text), sizeof V::KeyInput.Text - 1);
    std::memcpy(V::KeyInput.Text, text, n);
    V::KeyInput.Text[n] = '\0';
    OnDialogEdit(V::kEventKey, 0, 0, edit_, 0);
  }
  V::TextField& F() { return C(edit_)->Text; }
  int32_t Caret() { return EditCaret(F()); }

  int32_t db_ = 0, edit_ = 0, owner_ = 0;
};

TEST_F(DialogTest, OkActsOnlyWhileShownAndCancelAlwaysAnswersNo) {
  Click(OnDialogOk, db_ + 3);
  EXPECT_TRUE(Drain(0).empty());
  Open("x");
  Click(OnDialogOk, db_ + 3);
  EXPECT_EQ(DialogAnswer, -1);
  EXPECT_EQ(DialogAnswered, -1);
  EXPECT_EQ(Shown(db_), 0);
  auto posted = Drain(0);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(static_cast<int32_t>(posted[0].arg2), owner_);
  EXPECT_EQ(static_cast<int32_t>(posted[0].arg1), db_ + 3);
  EXPECT_EQ(posted[0].arg5, 8u);
  DialogAnswered = 0;
  Open("x");
  Click(OnDialogCancel, db_ + 4);
  EXPECT_EQ(DialogAnswer, 0);
  EXPECT_EQ(Drain(0).size(), 1u);
  // With no dialog open, Esc leaves no answer behind for the next click.
  DialogAnswered = 0;
  Click(OnDialogCancel, db_ + 4);
  EXPECT_EQ(DialogAnswered, 0);
  EXPECT_TRUE(Drain(0).empty());
}

TEST_F(DialogTest, ASecondOwnerAnswersTheFirstNo) {
  Open("x");
  const int32_t other = Slot(kUiPVM);
  OpenDialog(other, "Other?", 0, "", 0, 0, 0);
  const auto posted = Drain(0);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(static_cast<int32_t>(posted[0].arg2), owner_);
  EXPECT_EQ(DialogAnswer, 0);
  EXPECT_EQ(DialogOwner, other);
  EXPECT_EQ(Text(db_ + 1), "  Other?");
  // The first question's action did not happen: the status line says so once
  // the second question is answered (it hides the line while it shows).
  const std::string told = "Not done (another question replaced it): Name?";
  EXPECT_TRUE(HasReport(told, 1));
  Click(OnDialogCancel, db_ + 4);
  EXPECT_EQ(Shown(Slot(kUiMB)), -1);
  EXPECT_EQ(Text(Slot(kUiMB)), told);
  // Told once: the next dialog closes without it.
  SetTextOf(Slot(kUiMB), "");
  Open("y");
  Click(OnDialogCancel, db_ + 4);
  EXPECT_EQ(Text(Slot(kUiMB)), "");
}

// The edit line keeps every key, so it answers for the buttons it hides the
// keys of: Enter is OK with the typed text, Esc is Cancel.
TEST_F(DialogTest, EnterAndEscInTheEditLineAnswerTheDialog) {
  Open("v");
  V::SetActiveEditField(edit_);
  Key(kScanEnd);
  Type("2");
  Key(28);  // Enter
  EXPECT_EQ(DialogAnswer, -1);
  EXPECT_EQ(DialogAnswered, -1);
  EXPECT_EQ(Shown(db_), 0);
  EXPECT_EQ(Text(*V::DialogEditIndex), "v2");
  auto posted = Drain(0);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(static_cast<int32_t>(posted[0].arg2), owner_);
  EXPECT_EQ(static_cast<int32_t>(posted[0].arg1), db_ + 3);
  DialogAnswered = 0;
  Open("w");
  Key(1);  // Esc
  EXPECT_EQ(DialogAnswer, 0);
  EXPECT_EQ(DialogAnswered, -1);
  EXPECT_EQ(Shown(db_), 0);
  posted = Drain(0);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(static_cast<int32_t>(posted[0].arg1), db_ + 4);
  // A released key answers nothing.
  DialogAnswered = 0;
  Open("x");
  V::KeyInput.Word3 = -1;
  Key(28);
  V::KeyInput.Word3 = 0;
  EXPECT_EQ(DialogAnswered, 0);
  EXPECT_EQ(DialogOwner, owner_);
}

// A question without an edit line that replaces one with it takes the keys
// back from the hidden line: Esc and Enter, through the loop, reach its
// buttons again.
TEST_F(DialogTest, AQuestionThatReplacesAnEditLineGetsEscAndEnter) {
  for (const bool enter : {false, true}) {
    SCOPED_TRACE(enter ? "Enter" : "Esc");
    Open("name");
    ASSERT_EQ(V::ActiveEditField(), edit_);
    const int32_t other = Slot(kUiPVM);
    OpenDialog(other, "Quit?", 0, "", 0, 0, 0);
    EXPECT_EQ(V::ActiveEditField(), V::DefaultKeyTarget);
    Drain(0);
    DialogAnswered = 0;
    const uint32_t ascii = enter ? kKeyEnter : kKeyEsc;
    platform::WindowEventInject(platform::KeyPressEvent(enter ? 28 : 1, ascii));
    platform::WindowEventInject(platform::KeyReleaseEvent(enter ? 28 : 1, ascii));
    platform::WindowEventInject(platform::PlainEvent(platform::kWindowClose));
    const int32_t quit = V::CloseRequestTarget;
    V::CloseRequestTarget = 0;
    V::GuiMessageLoop();
    V::CloseRequestTarget = quit;
    EXPECT_EQ(DialogAnswered, -1);
    EXPECT_EQ(DialogAnswer, enter ? -1 : 0);
    EXPECT_EQ(Shown(db_), 0);
    DialogAnswered = 0;
    Drain(0);
  }
}

// Key sequences: < Home, > End, [ Left, ] Right, } Shift-Right, # Backspace,
// ~ Delete, ^ Ctrl-A, & Ctrl-C, % Ctrl-V; any other character is typed. An
// escape form (a character the code page lacks) is one character to them.
TEST_F(DialogTest, EditingKeysGiveTheTextAndCaret) {
  struct Row {
    const char* keys;
    const char* text;
    int32_t caret;
    const char* start = "Hello";
  };
  const Row rows[] = {
      {"X", "HelloX", 6},
      {"X##<#~", "ell", 0},  // nothing before the caret at Home
      {"<]]}}#", "Heo", 2},  // the selection goes, not a character
      {"^&>%", "HelloHello", 10},
      {"<]]#", "ab", 1, "a\xA4{41F}b"},
      {"<]~", "ab", 1, "a\xA4{41F}b"},
      {">[[", "a\xA4{41F}b", 1, "a\xA4{41F}b"},
      {"<]}#", "ab", 1, "a\xA4{1D11E}b"},
      {"<]]#", "xy", 1, "x\xA4\xA4y"},       // a currency sign of the name
      {"<]]#", "a{41Fb", 1, "a\xA4{41Fb"},     // no form: a sign and its text
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.start) + " " + r.keys);
    Open(r.start);
    for (const char* k = r.keys; *k; ++k) {
      switch (*k) {
        case '<': Key(kScanHome); break;
        case '>': Key(kScanEnd); break;
        case '[': Key(kScanLeft); break;
        case ']': Key(kScanRight); break;
        case '}': Key(kScanRight, 0, true); break;
        case '#': Key(kScanBackspace); break;
        case '~': Key(kScanDelete); break;
        case '^': Key(0, 1); break;
        case '&': Key(0, 3); break;
        case '%': Key(0, 22); break;
        default: Type(std::string(1, *k).c_str());
      }
    }
    EXPECT_EQ(Text(edit_), r.text);
    EXPECT_EQ(Caret(), r.caret);
    EXPECT_EQ(EditSelectionLength(F()), 0);
    Click(OnDialogCancel, db_ + 4);  // the next row opens a fresh line
    Drain(0);
  }
  // The copy reached the system clipboard; the paste used the editor's own.
  EXPECT_EQ(V::GetClipboardText(), "Hello");
  EXPECT_TRUE(EditClipText.empty());
}

// Ctrl+V gives what the clipboard holds when it is pressed: another
// program's copy made after the editor's own, nothing when it holds no text,
// and the editor's own copy, escape forms as copied, while it is still there.
TEST_F(DialogTest, APasteGivesWhatTheClipboardHoldsNow) {
  const std::string song = "\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}\xA4{44F}.wav";  // a name in forms
  const std::string other = "\xA4{414}\xA4{440}\xA4{443}\xA4{433}\xA4{43E}\xA4{439}.wav";
  const char* const otherUtf8 = "\xD0\x94\xD1\x80\xD1\x83\xD0\xB3\xD0\xBE\xD0\xB9.wav";
  const struct {
    std::string start;
    const char* elsewhere;  // what another program copies after Ctrl+C; null: nothing
    const char* keys;       // after that copy, as in the rows above
    std::string text;
  } rows[] = {
      {song, otherUtf8, "^%", other},                   // renamed to what was copied last
      {"x", otherUtf8, ">%%", "x" + other + other},     // each paste reads it anew
      {"Take", "", ">%", "Take"},                       // the clipboard holds no text now
      {"a\xA4{5C}b", nullptr, ">%", "a\xA4{5C}ba\xA4{5C}b"},  // the own copy, its forms kept
      {"a\xA4{5c}b", nullptr, "<%%", "a\xA4{5c}ba\xA4{5c}ba\xA4{5c}b"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.start + " " + r.keys);
    Open(r.start);
    Key(0, 1);
    Key(0, 3);
    if (r.elsewhere) platform::ClipboardSetUtf8(r.elsewhere);
    for (const char* k = r.keys; *k; ++k) {
      if (*k == '^') Key(0, 1);
      if (*k == '%') Key(0, 22);
      if (*k == '>') Key(kScanEnd);
      if (*k == '<') Key(kScanHome);
    }
    EXPECT_EQ(Text(edit_), r.text);
    Click(OnDialogCancel, db_ + 4);
    Drain(0);
  }
}

TEST_F(DialogTest, OverwriteReadOnlyAndNumericFields) {
  Open("Hello");
  Key(kScanHome);
  V::KeyInput.Words2[0] = -1;
  Type("J");
  EXPECT_EQ(Text(edit_), "Jello");
  V::KeyInput.Words2[0] = 0;
  // A field that is not editable (here: not the dialog's own line).
  F().EditStates[1] = 0;
  *V::DialogEditIndex = 0;
  Type("x");
  Key(kScanBackspace);
  Key(0, 22);
  EXPECT_EQ(Text(edit_), "Jello");
  *V::DialogEditIndex = edit_;
  F().EditStates[2] = -1;
  F().Min = 0.0;
  F().Max = 10.0;
  SetTextOf(edit_, "25");
  Key(kScanEnter);
  EXPECT_EQ(Text(edit_), "10");
  EXPECT_EQ(Caret(), 0);
}

TEST_F(DialogTest, PressPlacesTheCaretAndDragsScrollTheWindow) {
  const std::string longText(200, 'm');
  Open(longText);
  V::ControlRecord* c = C(edit_);
  Key(kScanHome);
  const int32_t pad = static_cast<int32_t>(std::nearbyint(F().TextSize / 2.0 + V::BorderWidth));
  OnDialogEdit(V::kEventPress, c->X + pad, c->Y + 2, edit_, 0);
  EXPECT_EQ(Caret(), 0);
  EXPECT_EQ(EditSelectionLength(F()), 0);
  const int32_t last = EditLastVisible(F());
  ASSERT_LT(last, 200);
  OnDialogEdit(V::kEventDrag, 10000, 0, edit_, 0);
  EXPECT_EQ(EditLastVisible(F()), last + 1);
  EXPECT_EQ(Caret(), last + 1);
  EXPECT_EQ(EditSelectionLength(F()), last + 1);
  EXPECT_GT(EditFirstVisible(F()), 0);
  EXPECT_EQ(c->Dragged, -1);
}

}  // namespace
}  // namespace panelsa
