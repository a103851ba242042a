#include "ui/panels/dialog.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/paths.h"
#include "ui/build/frame.h"
#include "ui/panels/panel_common.h"
#include "ui/views/dialog_drawing.h"
#include "visuals/clipboard.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

std::string EditClipText;

namespace {

constexpr uint32_t kScanEnterKey = 28;  // Return and keypad Enter
constexpr uint32_t kScanEscKey = 1;

// Shown on screen: the control and every ancestor up to the root visible.
bool ShownInTree(int32_t id) {
  for (int32_t guard = 0; guard < 64; ++guard) {
    const ControlRecord* c = PanelCtl(id);
    if (!c || !V::ControlVisible(c)) return false;
    if (id == 0 || c->Parent == id) return true;
    id = c->Parent;
  }
  return false;
}

// Positions run from 0 to the text's length: the stored size (length + 1)
// would put the caret past the last character, where Backspace finds nothing
// to remove.
// one thread: value
class LineEditor {
 public:
  explicit LineEditor(ControlRecord* c)
      : c_(c),
        t_(c->Text),
        text_(V::TextFieldGetText(&c->Text)),
        size_(c->Text.TextSize),
        caret_(EditCaret(c->Text)),
        anchor_(EditAnchor(c->Text)),
        selection_(EditSelectionLength(c->Text)),
        first_(EditFirstVisible(c->Text)),
        last_(EditLastVisible(c->Text)),
        caretX_(c->Text.EditPair[1]) {
    const int32_t pad = static_cast<int32_t>(std::nearbyint(size_ / 2.0 + V::BorderWidth));
    pad_ = pad;
    avail_ = c->W - 2 * pad;
    caret_ = Clamp(caret_);
    anchor_ = Clamp(anchor_);
    first_ = Clamp(first_);
    last_ = std::max(Clamp(last_), first_);
  }

  // The dialog's edit line is editable by construction; starting an edit
  // clears the text field's editing words, which must not make it read-only.
  bool Editable() const {
    return t_.EditStates[1] != 0 || (V::DialogEditIndex && c_->Id == *V::DialogEditIndex);
  }
  bool Numeric() const { return t_.EditStates[2] != 0; }
  int32_t Length() const { return static_cast<int32_t>(text_.size()); }
  int32_t Clamp(int32_t p) const { return std::clamp(p, 0, Length()); }
  // An escape form (a character the code page lacks) is one character to the
  // caret: it steps over it, Backspace and Delete take it whole, and nothing
  // lands inside it, so the name on the disk stays the one typed.
  int32_t Before(int32_t p) const {
    const std::vector<size_t> starts = platform::CharacterStarts(text_);
    auto it = std::lower_bound(starts.begin(), starts.end(), static_cast<size_t>(Clamp(p)));
    return it == starts.begin() ? 0 : static_cast<int32_t>(*(it - 1));
  }
  int32_t After(int32_t p) const {
    const std::vector<size_t> starts = platform::CharacterStarts(text_);
    auto it = std::upper_bound(starts.begin(), starts.end(), static_cast<size_t>(Clamp(p)));
    return it == starts.end() ? Length() : static_cast<int32_t>(*it);
  }
  // A position inside a form moves to the form's nearer end.
  int32_t Snap(int32_t p) const {
    p = Clamp(p);
    const int32_t after = After(p), before = after > p ? Before(after) : p;
    if (before == p) return p;
    return p - before <= after - p ? before : after;
  }

  int32_t Width(const std::string& s) const { return V::TextWidth(s, &V::TextFont, size_); }
  std::string Visible() const { return text_.substr(first_, last_ - first_); }

  void CaretFromPixel(int32_t p) {
    const std::string v = Visible();
    const int32_t k = std::clamp(V::TextFitCount(v, &V::TextFont, size_, p, false), 0,
                                 static_cast<int32_t>(v.size()));
    const int32_t w1 = Width(v.substr(0, k)) - 1;
    const int32_t wc = Width(k < static_cast<int32_t>(v.size()) ? v.substr(k, 1) : "") - 1;
    caret_ = Snap(first_ + k + (p - w1 > wc / 2.0 ? 1 : 0));
  }

  int32_t CaretPixel() const {
    return caret_ > first_ ? Width(text_.substr(first_, caret_ - first_)) - 1 : 0;
  }

  void LayoutFromFirst() {
    first_ = Clamp(first_);
    last_ = Clamp(V::TextFitCount(text_.substr(first_), &V::TextFont, size_, avail_, false) + first_);
    t_.Changed = -1;
  }
  void LayoutToLast() {
    last_ = Clamp(last_);
    first_ = std::clamp(V::TextFitBackward(text_, &V::TextFont, size_, avail_, last_, false) - 1, 0,
                        last_);
    t_.Changed = -1;
  }
  // Layout to last when the caret went past the window, else from first.
  void LayoutAroundCaret() {
    if (caret_ > last_) {
      last_ = caret_;
      LayoutToLast();
    } else {
      LayoutFromFirst();
    }
  }

  void SetText(const std::string& text) {
    text_ = text;
    V::TextFieldSetText(&t_, text_.c_str());
  }
  void RemoveSelection() {
    const int32_t lo = Clamp(std::min(caret_, anchor_));
    const int32_t hi = Clamp(std::max(caret_, anchor_));
    SetText(text_.substr(0, lo) + text_.substr(hi));
    caret_ = lo;
    selection_ = 0;
  }
  // The insertion of paste and typing: k characters after the caret are
  // replaced (overwrite), a selection first gives way.
  void Insert(const std::string& piece, int32_t advance) {
    int32_t k = V::KeyInsert() != 0 ? 1 : 0;
    if (selection_ != 0) {
      RemoveSelection();
      k = 0;
    }
    const int32_t rest = std::min(caret_ + k, Length());
    SetText(text_.substr(0, caret_) + piece + text_.substr(rest));
    caret_ = Clamp(caret_ + advance);
    anchor_ = caret_;
    LayoutAroundCaret();
  }
  void ClampNumber() {
    V::TextFieldClampNumber(&t_);
    text_ = V::TextFieldGetText(&t_);
    caret_ = first_ = selection_ = 0;
    anchor_ = Clamp(anchor_);
    LayoutFromFirst();
  }

  void Press(int32_t x) {
    const int32_t p = x - c_->X - pad_;
    selection_ = 0;
    CaretFromPixel(p);
    anchor_ = caret_;
    caretX_ = p;
  }

  void Drag(int32_t dx) {
    const int32_t p = caretX_ + dx;
    const int32_t visibleWidth = Width(Visible()) - 1;
    if (p < 0) {
      first_ = std::max(first_ - 1, 0);
      caret_ = Snap(first_);
      LayoutFromFirst();
      caretX_ = CaretPixel();
    } else if (p <= visibleWidth + 3) {
      CaretFromPixel(p);
      caretX_ = p;
    } else {
      last_ = Clamp(last_ + 1);
      caret_ = Snap(last_);
      LayoutToLast();
      caretX_ = CaretPixel();
    }
    selection_ = caret_ - anchor_;
    c_->Dragged = -1;
  }

  void Key() {
    const uint32_t scan = V::KeyScanCode();
    const uint32_t ascii = V::KeyAscii();
    if (V::KeyPrintable() == -1) {
      Typed();
    } else if (scan == kScanEnd || scan == kScanHome || scan == kScanLeft || scan == kScanRight) {
      Move(scan);
      if (V::KeyShift() == 0) anchor_ = caret_;
      selection_ = caret_ - anchor_;
    } else if (scan == kScanBackspace || scan == kScanDelete) {
      if (Editable()) Delete(scan == kScanDelete);
    } else if (scan == kScanEnter) {
      if (Editable() && Numeric()) ClampNumber();
    } else if (ascii == 1) {
      caret_ = first_ = 0;
      anchor_ = selection_ = Length();
      LayoutFromFirst();
    } else if (ascii == 3) {
      Copy();
    } else if (ascii == 22) {
      Paste();
    }
    caretX_ = CaretPixel();
  }

  void Store() {
    EditCaret(t_) = caret_;
    EditAnchor(t_) = anchor_;
    EditSelectionLength(t_) = selection_;
    EditFirstVisible(t_) = first_;
    EditLastVisible(t_) = last_;
    t_.EditPair[1] = caretX_;
  }

 private:
  void Move(uint32_t scan) {
    switch (scan) {
      case kScanEnd:
        caret_ = last_ = Length();
        LayoutToLast();
        break;
      case kScanHome:
        caret_ = first_ = 0;
        LayoutFromFirst();
        break;
      case kScanLeft:
        caret_ = Before(caret_);
        if (caret_ < first_) first_ = caret_;
        LayoutFromFirst();
        break;
      default:
        caret_ = After(caret_);
        if (caret_ > last_) last_ = caret_;
        LayoutToLast();
        break;
    }
  }

  void Delete(bool forward) {
    if (selection_ != 0) {
      if (caret_ > anchor_) std::swap(caret_, anchor_);
      RemoveSelection();
    } else if (!forward || caret_ < Length()) {
      // Delete takes the character after the caret; at the end there is none.
      if (forward) caret_ = After(caret_);
      if (caret_ > 0) {
        const int32_t from = Before(caret_);
        SetText(text_.substr(0, from) + text_.substr(caret_));
        caret_ = from;
      }
    }
    if (first_ > caret_) first_ = caret_;
    anchor_ = caret_;
    LayoutFromFirst();
  }

  void Copy() {
    if (selection_ == 0) return;
    if (caret_ > anchor_) std::swap(caret_, anchor_);
    const int32_t n = std::abs(selection_);
    EditClipText = text_.substr(caret_, std::min(n, Length() - caret_));
    V::SetClipboardText(EditClipText);
  }

  void Paste() {
    if (!Editable()) return;
    // What the clipboard holds now: another program may have copied since
    // this editor's own Ctrl+C.
    EditClipText = V::PasteText();
    const std::string clip = EditClipText;
    Insert(clip, static_cast<int32_t>(clip.size()));
    EditClipText.clear();
  }

  void Typed() {
    if (!Editable()) return;
    const std::string key = V::KeyTypedText();
    if (key == " " && Numeric()) {
      ClampNumber();
      return;
    }
    const size_t a = key.find_first_not_of(' ');
    const int32_t bare =
        a == std::string::npos ? 0 : static_cast<int32_t>(key.find_last_not_of(' ') - a + 1);
    Insert(key, bare + (key == " " ? 1 : 0));
  }

  ControlRecord* c_;
  V::TextField& t_;
  std::string text_;
  int32_t size_;
  int32_t pad_ = 0;
  int32_t avail_ = 0;
  int32_t caret_, anchor_, selection_, first_, last_, caretX_;
};

}  // namespace

int32_t OnDialogOk(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if ((bits & V::kEventClick) && ShownInTree(id)) PanelAnswerDialog(id, -1);
  return 0;
}

int32_t OnDialogCancel(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  // Without an open dialog an answer would wait for whichever control is
  // clicked next and be taken for its own.
  if ((bits & V::kEventClick) && PanelDialogOwner() != 0) PanelAnswerDialog(id, 0);
  return 0;
}

int32_t OnDialogEdit(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  if (bits != V::kEventPress && bits != V::kEventDrag && bits != V::kEventKey) return 0;
  c->State.Pressed = -1;
  LineEditor editor(c);
  if (bits == V::kEventPress) {
    editor.Press(x);
    const int32_t previous = V::ActiveEditField();
    if (previous != id && previous > 0) {
      if (ControlRecord* p = PanelCtl(previous)) {
        p->State.Pressed = 0;
        V::ControlPublishState(p);
      }
    }
  } else if (bits == V::kEventDrag) {
    editor.Drag(x);
  } else {
    editor.Key();
  }
  editor.Store();
  // The field takes every key while it is edited, the buttons' Enter and Esc
  // included: it answers for them (the numeric clamp of Enter done first).
  if (bits == V::kEventKey && V::KeyReleased() == 0) {
    const uint32_t scan = V::KeyScanCode();
    const int32_t db = SlotId(kUiDB);  // DB_TEXT, DB_EDIT, DB_OK and DB_X follow it
    if (scan == kScanEnterKey && db > 0)
      OnDialogOk(V::kEventClick, 0, 0, db + 3, id);
    else if (scan == kScanEscKey && db > 0)
      OnDialogCancel(V::kEventClick, 0, 0, db + 4, id);
  }
  return 0;
}

}  // namespace Tarvelo
