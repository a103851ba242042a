#include "app/state/dialogs.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "app/startup.h"
#include "app/state/console.h"
#include "audio/midi.h"
#include "basics/dynzstring.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "engine/modulelist.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/layers.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;

int32_t DialogOwner = 0;
int32_t DialogContext[3] = {0, 0, 0};
int64_t DialogAnswer = 0;
int64_t DialogAnswered = 0;

namespace {

// The id held in an index slot; 0 before the interface exists.
int32_t Slot(int32_t slot) {
  if (!V::UiIndex || slot < 0 || slot >= kUiSlotCount) return 0;
  return V::UiIndex[slot];
}

// Only ids above 0 name a control here: 0 is the root, which none of these is.
V::ControlRecord* At(int32_t id) { return id > 0 ? V::ControlAt(id) : nullptr; }

void ShowControl(int32_t id, int64_t visible) {
  if (V::ControlRecord* c = At(id)) V::ControlSetVisible(c, visible);
}

bool Visible(int32_t id) {
  const V::ControlRecord* c = At(id);
  return c && V::ControlVisible(c) != 0;
}

// Shown on screen: the control and every ancestor up to the root are shown.
bool OnScreen(int32_t id) {
  int32_t guard = 0;
  for (const V::ControlRecord* c = At(id); c; c = At(c->Parent)) {
    if (V::ControlVisible(c) == 0) return false;
    if (c->Parent == c->Id || ++guard > V::kControlTableCapacity) break;
  }
  return At(id) != nullptr;
}

void ChangeDisabled(int32_t id, int64_t word) {
  if (V::ControlRecord* c = At(id)) {
    V::SetDisabled(&c->State, word);
    V::ControlPublishState(c);
  }
}

void MarkOn(int32_t id, int64_t on) {
  if (V::ControlRecord* c = At(id)) {
    c->State.On = on;
    V::ControlPublishState(c);
  }
}

// A control event on queue 0, as a button release would deliver it.
void PostEvent(int32_t target, int32_t source, uint32_t bits, float x, float y) {
  QUARLE_BASICS::CommandMessage msg{};
  msg.type = QUARLE_BASICS::kCommandControlEvent;
  msg.arg1 = static_cast<uint32_t>(source);
  msg.arg2 = static_cast<uint32_t>(target);
  msg.arg5 = bits;
  msg.single1 = x;
  msg.single2 = y;
  msg.timeStamp = platform::HighResClock();
  QUARLE_BASICS::PostCommand(msg, 0, -1);
}

// A question another one replaced: its action did not happen, which the status
// line says once the dialog that replaced it has closed (it hides the line).
// one thread: interface
std::string g_droppedQuestion;

// The pieces of a question too long for the box (OpenDialogInPages), the
// one shown and the ticks it has left.
// one thread: interface
struct DialogPages {
  int32_t owner = 0;
  std::vector<std::string> pages;
  std::vector<int32_t> ticks;
  size_t shown = 0;
  int32_t left = 0;
};
DialogPages g_pages;  // one thread: interface

void ShowDialogText(int32_t db, const std::string& text) {
  if (V::ControlRecord* dbText = At(db + 1)) {
    V::TextFieldSetText(&dbText->Text, ("  " + text).c_str());
    V::ControlPublish(dbText, -1);
  }
}

// The dialog box is hidden, its buttons disabled, the live guide back.
void HideDialog(int32_t db) {
  g_pages = DialogPages{};
  ShowControl(db, 0);
  ChangeDisabled(db + 3, -1);
  ChangeDisabled(db + 4, -1);
  ShowControl(Slot(kUiCTRL_INFO), -1);
  // The MIDI thread reads the value-entry mode as last computed here.
  QUARLE_AUDIO::RefreshKeyEntryMode();
  if (!g_droppedQuestion.empty()) {
    SetStatusText(g_droppedQuestion);
    g_droppedQuestion.clear();
  }
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

}  // namespace

int32_t OpenDialog(int32_t owner, const std::string& text, int64_t withEdit,
                   const std::string& editText, int32_t word1, int32_t word2, int32_t word3) {
  if (owner == DialogOwner && owner != 0) return 0;
  const int32_t db = Slot(kUiDB);
  g_pages = DialogPages{};
  if (DialogOwner == 0) DialogOwner = owner;
  // The question of another control is withdrawn with a "no" to it.
  if (Visible(db) && DialogOwner != owner) {
    DialogAnswer = 0;
    DialogAnswered = -1;
    PostEvent(DialogOwner, db, V::kEventClick, 0.0f, 0.0f);
    const V::ControlRecord* dbText = At(db + 1);
    const std::string asked = dbText ? Trim(V::TextFieldGetText(&dbText->Text)) : "";
    g_droppedQuestion = "Not done (another question replaced it): " + asked;
    QUARLE_BASICS::Report(g_droppedQuestion, QUARLE_BASICS::kLevelWarning);
  }
  DialogOwner = owner;
  DialogContext[0] = word1;
  DialogContext[1] = word2;
  DialogContext[2] = word3;
  if (db <= 0) return 0;

  V::ControlRecord* dbText = At(db + 1);
  V::ControlRecord* dbEdit = At(db + 2);
  if (dbText && dbEdit) {
    if (withEdit != 0) {
      V::ControlSetW(dbText, dbEdit->W);
      V::StartTextEdit(db + 2, editText);
      // The caret stands at the end: so does the view, which shows the end of
      // a long path (the file's name) rather than the start of its folder.
      V::TextField& t = dbEdit->Text;
      const int32_t pad = static_cast<int32_t>(std::nearbyint(t.TextSize / 2.0 + V::BorderWidth));
      const int32_t length = static_cast<int32_t>(editText.size());
      t.FitCount = length;  // the last character in view
      t.EditPair[0] = std::clamp(V::TextFitBackward(editText, &V::TextFont, t.TextSize, dbEdit->W - 2 * pad, length, false) - 1,
                                 0, length);  // the first
      t.Changed = -1;
      V::ControlPublishText(dbEdit, -1);
    } else {
      V::ControlSetW(dbText, 2 * dbEdit->W);
      V::ControlSetVisible(dbEdit, 0);
      // A question that replaced one with an edit line: the hidden line
      // hands the keys back, or Esc and Enter never reach the buttons.
      if (V::ActiveEditField() == db + 2) V::SetActiveEditField(V::DefaultKeyTarget);
      V::TextFieldSetText(&dbEdit->Text, editText.c_str());
      V::ControlPublish(dbEdit, -1);
    }
    ShowDialogText(db, text);
  }
  ShowControl(Slot(kUiCTRL_INFO), 0);
  ShowControl(Slot(kUiMB), 0);
  ShowControl(db, -1);
  ChangeDisabled(db + 3, 0);
  ChangeDisabled(db + 4, 0);
  QUARLE_AUDIO::RefreshKeyEntryMode();
  return 0;
}

bool DialogQuestionFits(const std::string& question, int64_t withEdit) {
  const int32_t db = Slot(kUiDB);
  const V::ControlRecord* text = At(db + 1);
  const V::ControlRecord* edit = At(db + 2);
  if (!text || !edit) return true;
  // As the box's draw sets it: the text after two spaces, a margin short of
  // the strip's frames.
  const int32_t room = (withEdit != 0 ? edit->W : 2 * edit->W) - 3 * V::BorderWidth - 1;
  return V::TextWidth("  " + question, &V::TextFont, text->Text.TextSize) <= room;
}

std::string DialogQuestionThatFits(const std::vector<std::string>& forms, int64_t withEdit) {
  if (forms.empty()) return "";
  for (const std::string& form : forms)
    if (DialogQuestionFits(form, withEdit)) return form;
  return forms.back();
}

int32_t OpenDialogInPages(int32_t owner, const std::vector<std::string>& pages,
                          const std::vector<double>& seconds) {
  if (pages.empty()) return 0;
  const int32_t r = OpenDialog(owner, pages.front(), 0, "", 0, 0, 0);
  if (pages.size() < 2 || DialogOwner != owner) return r;
  g_pages.owner = owner;
  g_pages.pages = pages;
  for (size_t i = 0; i < pages.size(); ++i)
    g_pages.ticks.push_back(std::max(1, static_cast<int32_t>(std::ceil(i < seconds.size() ? seconds[i] : 1.0))));
  g_pages.left = g_pages.ticks.front();
  return r;
}

bool TurnDialogPage() {
  if (g_pages.pages.empty() || DialogOwner != g_pages.owner || !Visible(Slot(kUiDB))) return false;
  if (--g_pages.left > 0) return false;
  g_pages.shown = (g_pages.shown + 1) % g_pages.pages.size();
  g_pages.left = g_pages.ticks[g_pages.shown];
  ShowDialogText(Slot(kUiDB), g_pages.pages[g_pages.shown]);
  return true;
}

int32_t AnswerDialog(int32_t source, int64_t answer) {
  HideDialog(Slot(kUiDB));
  DialogAnswer = answer;
  DialogAnswered = -1;
  V::SetActiveEditField(V::DefaultKeyTarget);
  // Without an owner there is nobody to tell.
  if (DialogOwner > 0) PostEvent(DialogOwner, source, V::kEventClick, 0.0f, 0.0f);
  DialogOwner = 0;
  return 0;
}

int32_t CloseDialog() {
  DialogOwner = 0;
  V::SetActiveEditField(V::DefaultKeyTarget);
  HideDialog(Slot(kUiDB));
  return 0;
}

int32_t BrowseFolder(const std::string& folder, const std::string& name) {
  const int32_t tabs = Slot(kUiTABMSG);
  if (tabs > 0)
    for (int32_t i = 0; i < 5; ++i) MarkOn(tabs + i, i == 1 ? -1 : 0);
  ShowControl(Slot(kUiFB), -1);
  ShowControl(Slot(kUiMSGB), 0);
  ShowControl(Slot(kUiLIB_MODULES), 0);
  ShowControl(Slot(kUiLIB_SAMPLES), 0);
  // The MIDI page shares the pane's place: left shown it would lie over the files.
  ShowControl(Slot(kUiMCC), 0);
  const int32_t order = Slot(kUiLSORDER);
  if (order > 0)
    for (int32_t k : {1, 2, 3, 5}) ChangeDisabled(order + k, 0);
  QUARLE_BASICS::ListFolder(BrowserListing, folder, "*.*", 0, 0);
  // The order button shows the direction of the list on view, the file list.
  if (V::ControlRecord* c = At(order)) {
    const V::ControlRecord* files = At(Slot(kUiFILES));
    c->Text.Selected = static_cast<int32_t>((files ? files->Text.Reversed : 0) + 1);
    V::ControlPublishText(c, 0);
  }
  return SelectBrowserFile(name);
}

int32_t SelectBrowserFile(const std::string& name) {
  const int32_t files = Slot(kUiFILES);
  // Exact: a name's spaces are its own (" lead.wav" is not "lead.wav").
  const std::string& wanted = name;
  if (!wanted.empty()) {
    int32_t found = -1;
    if (BrowserListing) {
      platform::MutexGuard guard(BrowserListing->header.lock);
      const int32_t n = QUARLE_BASICS::DirListCount(BrowserListing);
      for (int32_t i = 0; i < n; ++i) {
        if (QUARLE_BASICS::DirListName(BrowserListing, static_cast<uint32_t>(i)) == wanted) {
          found = i;
          break;
        }
      }
    }
    if (V::ControlRecord* c = At(files)) {
      c->Text.Mark = -1;
      c->Text.Selected = found;
    }
  }
  int32_t count = 0;
  if (BrowserListing) {
    platform::MutexGuard guard(BrowserListing->header.lock);
    count = QUARLE_BASICS::DirListCount(BrowserListing);
  }
  if (!At(files)) return -1;
  return V::ScrollToSelection(files, count);
}

int32_t GetActiveBrowserList() {
  const int32_t msgb = Slot(kUiMSGB);
  if (OnScreen(msgb)) {
    const int32_t msgs = Slot(kUiMSGS);
    return Visible(msgs + 1) ? msgs + 1 : msgs;
  }
  if (OnScreen(Slot(kUiFB))) return Slot(kUiFILES);
  if (OnScreen(Slot(kUiLIB_MODULES))) {
    const int32_t refm = Slot(kUiREFM);
    return Visible(refm + 1) ? refm + 1 : refm;
  }
  if (OnScreen(Slot(kUiLIB_SAMPLES))) return Slot(kUiSAM_LIBRARY);
  const int32_t devices = Slot(kUiMIDIDEVS);
  if (OnScreen(devices)) return devices;
  if (OnScreen(Slot(kUiMCC))) return devices > 0 ? devices + 1 : 0;
  return 0;
}

namespace {

bool Meets(const PlaneRect& a, const PlaneRect& b) {
  return a.X < b.X + b.W && b.X < a.X + a.W && a.Y < b.Y + b.H && b.Y < a.Y + a.H;
}

bool Inside(const PlaneRect& r, const PlaneRect& within) {
  return r.X >= within.X && r.Y >= within.Y && r.X + r.W <= within.X + within.W &&
         r.Y + r.H <= within.Y + within.H;
}

// Joins c's rectangle, moved by (ox, oy), and those of its descendants: a
// move not yet settled (UpdateControl) still owes them its pending part.
void JoinSubtree(PlaneRect& a, const V::ControlRecord* c, int32_t ox, int32_t oy, int32_t depth) {
  const int32_t x0 = c->X + ox, y0 = c->Y + oy;
  const int32_t x1 = std::max(a.X + a.W, x0 + c->W), y1 = std::max(a.Y + a.H, y0 + c->H);
  a.X = std::min(a.X, x0);
  a.Y = std::min(a.Y, y0);
  a.W = x1 - a.X;
  a.H = y1 - a.Y;
  if (depth > 8) return;
  std::vector<V::ChildRef> children;
  V::LiveChildren(c, children);
  for (const V::ChildRef& child : children)
    if (const V::ControlRecord* k = V::ChildRecord(child))
      JoinSubtree(a, k, ox + c->PendingDx, oy + c->PendingDy, depth + 1);
}

// The moves that can be smallest on one axis: none, or one that lays an edge
// of [r0, r1) against an edge of `within` or of a rectangle to avoid.
std::vector<int32_t> EdgeMoves(int32_t r0, int32_t r1, int32_t w0, int32_t w1,
                               const std::vector<std::pair<int32_t, int32_t>>& spans) {
  std::vector<int32_t> moves = {0, w0 - r0, w1 - r1};
  for (const auto& [a0, a1] : spans) {
    moves.push_back(a0 - r1);
    moves.push_back(a1 - r0);
  }
  return moves;
}

}  // namespace

PlaneRect ControlExtent(int32_t id) {
  // A box or strip whose subtree is going is measured as nothing.
  const V::ControlRecord* c = id > 0 ? V::ControlLive(id) : nullptr;
  if (!c) return {};
  PlaneRect r{c->X, c->Y, c->W, c->H};
  JoinSubtree(r, c, 0, 0, 0);
  return r;
}

bool PlaneOpenArea(PlaneRect& plane, std::vector<PlaneRect>& covers) {
  covers.clear();
  const int32_t planeId =
      V::WindowList && V::WindowSlotCount > kWinSYNTH ? V::WindowList[kWinSYNTH] : 0;
  const V::ControlRecord* p = At(planeId);
  if (!p) return false;
  plane = {V::ControlX(p), V::ControlY(p), V::ControlW(p), V::ControlH(p)};
  // A strip covers its whole reach, readouts shown now or later included.
  for (const int32_t slot : {kWinSTB, kWinBBGROUP, kWinKBGROUP}) {
    const int32_t id = V::WindowSlotCount > slot ? V::WindowList[slot] : 0;
    if (!OnScreen(id)) continue;
    const PlaneRect r = ControlExtent(id);
    if (Meets(r, plane)) covers.push_back(r);
  }
  return true;
}

bool SmallestClearMove(const PlaneRect& r, const PlaneRect& within,
                       const std::vector<PlaneRect>& avoid, int32_t& dx, int32_t& dy) {
  std::vector<std::pair<int32_t, int32_t>> xs, ys;
  for (const PlaneRect& a : avoid) {
    xs.emplace_back(a.X, a.X + a.W);
    ys.emplace_back(a.Y, a.Y + a.H);
  }
  const std::vector<int32_t> mx = EdgeMoves(r.X, r.X + r.W, within.X, within.X + within.W, xs);
  const std::vector<int32_t> my = EdgeMoves(r.Y, r.Y + r.H, within.Y, within.Y + within.H, ys);
  bool found = false;
  std::pair<int64_t, int64_t> best;
  for (const int32_t x : mx) {
    for (const int32_t y : my) {
      const std::pair<int64_t, int64_t> cost{std::abs(int64_t{x}) + std::abs(int64_t{y}),
                                             std::abs(int64_t{x})};
      if (found && cost >= best) continue;
      const PlaneRect moved{r.X + x, r.Y + y, r.W, r.H};
      if (!Inside(moved, within)) continue;
      if (std::any_of(avoid.begin(), avoid.end(), [&](const PlaneRect& a) { return Meets(moved, a); }))
        continue;
      found = true;
      best = cost;
      dx = x;
      dy = y;
    }
  }
  return found;
}

void ScrollToModule(int32_t i) {
  if (i < 0 || i >= ModuleList.count || !ModuleList.entries) return;
  const ModuleRecord* m = ModuleList.entries[i];
  if (!m || m->BoxControl.Load() <= 0) return;
  PlaneRect plane;
  std::vector<PlaneRect> covers;
  if (!PlaneOpenArea(plane, covers)) return;
  const PlaneRect box = ControlExtent(static_cast<int32_t>(m->BoxControl.Load()));
  if (box.W <= 0) return;
  const bool outY = box.Y < plane.Y || box.Y + box.H > plane.Y + plane.H;
  const bool outX = box.X < plane.X || box.X + box.W > plane.X + plane.W;
  int32_t dx = 0, dy = 0;
  // The controls over the plane take the clicks meant for a box under them:
  // the box goes clear of them as well as into the plane.
  if ((outX && outY) || !SmallestClearMove(box, plane, covers, dx, dy)) {
    dx = dy = 0;
    if (box.Y + box.H > plane.Y + plane.H)
      dy = plane.Y - box.Y + plane.H - box.H;
    else if (box.Y < plane.Y)
      dy = plane.Y - box.Y;
    else if (box.X + box.W > plane.X + plane.W)
      dx = plane.X - box.X + plane.W - box.W;
    else if (box.X < plane.X)
      dx = plane.X - box.X;
  }
  const int32_t planeId = V::WindowList[kWinSYNTH];
  if (std::abs(dx) + std::abs(dy) > 0)
    PostEvent(planeId, planeId, V::kEventDrag, static_cast<float>(dx), static_cast<float>(dy));
}

std::vector<std::string> StatusLinePages(const std::string& text,
                                        const std::function<bool(const std::string&)>& fits) {
  if (text.empty() || fits(text)) return {text};
  // Room for the widest mark a piece gets.
  const std::string mark = "(99/99) ";
  if (!fits(mark + "W")) return {text};
  std::vector<std::string> pieces;
  std::string piece;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(at, end - at);
    at = end + 1;
    const std::string joined = piece.empty() ? word : piece + " " + word;
    if (fits(mark + joined)) {
      piece = joined;
      continue;
    }
    if (!piece.empty()) pieces.push_back(piece);
    piece.clear();
    // A word longer than a line goes where the line ends.
    while (!word.empty() && !fits(mark + word)) {
      size_t n = 1;
      while (n < word.size() && fits(mark + word.substr(0, n + 1))) ++n;
      pieces.push_back(word.substr(0, n));
      word.erase(0, n);
    }
    piece = word;
  }
  if (!piece.empty()) pieces.push_back(piece);
  const std::string of = "/" + std::to_string(pieces.size()) + ") ";
  for (size_t i = 0; i < pieces.size(); ++i) pieces[i] = "(" + std::to_string(i + 1) + of + pieces[i];
  return pieces;
}

double ReadingSeconds(size_t characters, double least) {
  // A reader takes in some 15 characters a second, names of files more slowly than words.
  return std::max(least, 2.0 + static_cast<double>(characters) / 12.0);
}

}  // namespace Tarvelo
