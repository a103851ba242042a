#include "ui/views/tuning_editor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/module_page.h"
#include "app/state/settings.h"
#include "basics/dynzstring.h"
#include "basics/errors.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/melody.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "app/documents/tuning_save.h"
#include "engine/valueedit.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/views/list_views.h"
#include "ui/views/settings_windows.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::LangText;

const int32_t BasePrimes[16] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53};

namespace {

constexpr int32_t kNumberBases = 3;
constexpr int32_t kKeyNameChars = 3;
constexpr int32_t kPatternNameChars = kScalePatternNameSize - 1;

// Drag accumulators of the two lists and the number-base selector; re-entry
// counters of the two key hooks.
// one thread: interface
int32_t PatternListAccumulator = 0;
int32_t ScaleListAccumulator = 0;
int32_t NumberBaseAccumulator = 0;
int32_t AbsoluteHookDepth = 0;
int32_t RelativeHookDepth = 0;

// Where each pattern of the tuning in use stands in the editor's copy after
// its deletes (0 for a deleted one), for the generators to follow at OK.
// Meaningful only while PatternsMoved; the copy taken anew forgets it.
// one thread: interface
int32_t PatternNowAt[kScalePatternMax];
bool PatternsMoved = false;

void NotePatternDeleted(int32_t p) {
  if (!PatternsMoved)
    for (int32_t i = 0; i < kScalePatternMax; ++i) PatternNowAt[i] = i;
  PatternsMoved = true;
  for (int32_t& at : PatternNowAt)
    if (at == p)
      at = 0;
    else if (at > p)
      --at;
}

// Stored whole, before the engine takes the new tuning (as a load's fitting):
// the kernel reads the pattern once per step.
void MoveGeneratorsWithTheirPatterns() {
  if (!PatternsMoved) return;
  const auto follow = [](ModuleRecord& m) {
    const int32_t p = MelodyScalePattern(m);
    if (p >= 0 && p < kScalePatternMax) SetMelodyScalePattern(m, PatternNowAt[p]);
  };
  for (int32_t i = 0; i < ModuleList.count && ModuleList.entries != nullptr; ++i)
    if (ModuleRecord* m = ModuleList.entries[i]; m != nullptr && m->Type == kTypeMelodyGenerator) follow(*m);
  follow(ModuleCatalog[kTypeMelodyGenerator]);
  PatternsMoved = false;
}

V::ControlRecord* Live(int32_t id) { return id > 0 ? V::ControlAt(id) : nullptr; }
int32_t Slot(int32_t slot) { return V::UiIndex ? V::UiIndex[slot] : 0; }
V::ControlRecord* SlotCtl(int32_t slot) { return Live(Slot(slot)); }

// The editor's buttons show the hover highlight while pressed or dragged over.
V::ControlRecord* ActiveLook(int32_t id, uint32_t bits) {
  V::ControlRecord* c = Live(id);
  if (c) c->State.Active = (bits == 2 || bits == 16 || bits == 32) ? -1 : 0;
  return c;
}

bool Clicked(uint32_t bits) { return (bits & V::kEventClick) != 0; }

// one thread: value
class TuningLock {
 public:
  explicit TuningLock(int32_t i) : m_(MT_TUNINGS[i]) { platform::MutexLock(m_); }
  ~TuningLock() { platform::MutexUnlock(m_); }
  TuningLock(const TuningLock&) = delete;
  TuningLock& operator=(const TuningLock&) = delete;

 private:
  platform::Mutex* m_;
};

void SetText(V::ControlRecord* c, const std::string& text) {
  if (c) V::TextFieldSetText(&c->Text, text.c_str());
}
void PublishText(V::ControlRecord* c, int64_t flags) {
  if (c) V::ControlPublishText(c, flags);
}
void PublishWhole(V::ControlRecord* c, int64_t flags) {
  if (c) V::ControlPublish(c, flags);
}

void SetTooltip(V::ControlRecord* c, const std::string& text) {
  if (!c) return;
  platform::MutexGuard g(V::MT_HOVER);
  QUARLE_BASICS::DynZStringAssign(c->Tooltip, text);
}

std::string Trimmed(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  const size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

std::string SingleText(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(v));
  return buf;
}

std::string KeysLabel(int32_t n, int32_t message) {
  return std::to_string(n) + " " + LangText(message, "keys");
}

int32_t SelectedKey() {
  const V::ControlRecord* grid = SlotCtl(kUiTNGSCL);
  return grid ? grid->Text.Selected : -1;
}

V::ControlRecord* PatternList() { return SlotCtl(kUiSAM_PATTERNS); }

// The eight key editors: the relative and absolute value fields with their
// typed-entry and display-mode buttons (the field's id minus 1 and minus 2),
// then the first-key and rename buttons.
void KeyEditorIds(int32_t ids[8]) {
  const int32_t rk = Slot(kUiFAV_RK), ak = Slot(kUiFAV_AK);
  ids[0] = rk;
  ids[1] = rk > 0 ? rk - 1 : 0;
  ids[2] = rk > 0 ? rk - 2 : 0;
  ids[3] = ak;
  ids[4] = ak > 0 ? ak - 1 : 0;
  ids[5] = ak > 0 ? ak - 2 : 0;
  ids[6] = Slot(kUiTNG_RFK);
  ids[7] = Slot(kUiFAE_KR);
}

void SetEnabled(int32_t id, bool enabled) {
  if (V::ControlRecord* c = Live(id)) {
    V::SetDisabled(&c->State, enabled ? 0 : -1);
    V::ControlPublishState(c);
  }
}

void DisableKeyEditors() {
  int32_t ids[8];
  KeyEditorIds(ids);
  for (int32_t id : ids) SetEnabled(id, false);
}

// The two key fields show key k's ratios, each set under its lock (the build
// gives both one), which the video thread's watch of the value fields reads
// them under. Not called under the tuning lock: a field's hook takes that
// lock with its own held.
void ShowKeyRatios(int32_t k) {
  const float relative = TuningGetRatio(EditedTuning, k);
  const float absolute = TuningGetAbsoluteRatio(EditedTuning, k);
  {
    platform::MutexGuard g(RelativeKeyValue.Lock);
    ParamValueConvertUnit(RelativeKeyValue, relative, 0, 0);
  }
  platform::MutexGuard g(AbsoluteKeyValue.Lock);
  ParamValueConvertUnit(AbsoluteKeyValue, absolute, 0, 0);
}

// The key grid shows changed keys: its names are fitted again from the default size.
void RefitKeyGrid() {
  if (V::ControlRecord* grid = SlotCtl(kUiTNGSCL)) {
    grid->Text.TextSize = DefaultTextSize + 3;
    V::ControlPublish(grid, -1);
  }
}

// The first visible row that shows row p of a list of `count` rows.
int32_t FirstRowFor(const V::ControlRecord* list, int32_t p, int32_t count) {
  int32_t first = p;
  const int32_t lowest = count - list->Text.VisibleRows;
  if (lowest < first) first = lowest;
  return first < 0 ? 0 : first;
}

// The file browser lists its current folder again, with nothing selected.
void RefreshFileBrowser() {
  QUARLE_BASICS::ListFolder(BrowserListing, "", "", 0, 0);
  if (V::ControlRecord* files = SlotCtl(kUiFILES)) {
    files->Text.Selected = -1;
    files->Text.Mark = -1;
    files->Text.FirstVisible = 0;
    V::ControlPublish(files, -1);
  }
}

void ReportSaveFailure(const std::string& file, int32_t code) {
  QUARLE_BASICS::Report(InsertArg(LangText(268, "Error saving {$}: "), file) +
                            QUARLE_BASICS::ErrorText(code),
                        2);
}

// The selection rule of the editor's two lists: one row is always selected.
// A click that left nothing selected (the list's toggle, on the selected row)
// keeps the row that was selected, and selects the first row only where none
// was: a second click on a pattern must not put another one in its place.
int32_t ListWithFirstRow(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t count,
                         int32_t& accumulator, bool* clicked) {
  V::ControlRecord* c = Live(id);
  const int32_t before = c ? c->Text.Selected : -1;
  const uint32_t r = ListProcedure(bits, x, y, id, count, accumulator);
  *clicked = (r & V::kEventClick) != 0;
  if (*clicked && c && c->Text.Selected == -1) c->Text.Selected = before >= 0 && before < count ? before : 0;
  return c ? c->Text.Selected : -1;
}

}  // namespace

int32_t TuningKeyAt(int32_t id, int32_t x) {
  const V::ControlRecord* c = Live(id);
  if (!c) return -1;
  const int32_t b = V::BorderWidth;
  const int32_t n = EditedTuning.NoteCount;
  const int32_t rx = x - V::ControlX(c);
  const int32_t w = V::ControlW(c);
  if (n < 1 || !(rx > b && rx < w - b - 1)) return -1;
  const float cw = static_cast<float>(w - 2 * b) / static_cast<float>(n);
  int32_t key = static_cast<int32_t>(std::floor(static_cast<float>(rx - b) / cw));
  if (key < 0) key = 0;
  if (key > n - 1) key = n - 1;
  return key;
}

// --- Key grid and pattern switches --------------------------------------------------

int32_t OnTuningKeyGrid(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = ActiveLook(id, bits);
  if (!c) return 0;
  const int32_t key = TuningKeyAt(id, x);
  if ((bits & (V::kEventHover | V::kEventPress)) && key >= 0) {
    c->Text.Mark = key;
    std::string tip = InsertArg(LangText(261, "Key #{$}: {$} = {$}; Click to edit its value or "
                                              "set a reference key."),
                                std::to_string(key + 1));
    tip = InsertArg(tip, TuningGetNoteName(EditedTuning, key));
    tip = InsertArg(tip, SingleText(TuningGetAbsoluteRatio(EditedTuning, key)));
    SetTooltip(c, tip);
  } else {
    c->Text.Mark = -1;
    SetTooltip(c, LangText(262, "Keys ; Click to edit their values or set a reference key."));
  }
  if (!(bits & V::kEventClick) || key < 0) return 0;

  // A typed entry waiting for a key field belongs to the key that was selected.
  const int32_t ak = Slot(kUiFAV_AK), rk = Slot(kUiFAV_RK);
  const int32_t owner = DialogOwner;
  if (owner > 0 && ((ak > 0 && owner == ak - 1) || (rk > 0 && owner == rk - 1))) {
    if (V::ControlRecord* o = Live(owner)) {
      o->State.On = 0;
      V::ControlPublishState(o);
    }
    CloseDialog();
  }

  c->Text.Selected = c->Text.Selected == key ? -1 : key;
  const int32_t selected = c->Text.Selected;
  if (selected < 0) {
    DisableKeyEditors();
    return 0;
  }
  int32_t ids[8];
  KeyEditorIds(ids);
  // Key 0 is fixed at ratio 1: its value fields stay off.
  for (int32_t i = 0; i < 6; ++i) SetEnabled(ids[i], selected != 0);
  SetEnabled(ids[6], true);
  SetEnabled(ids[7], true);
  ShowKeyRatios(selected);
  return 0;
}

int32_t OnScalePatternSwitches(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = ActiveLook(id, bits);
  if (!c) return 0;
  const int32_t key = TuningKeyAt(id, x);
  c->Text.Mark = (bits & V::kEventHover) && key >= 0 ? key : -1;
  // The press toggles at once, so the click that follows must not toggle back.
  if (!(bits & V::kEventPress) || key < 0) return 0;
  V::ControlRecord* list = PatternList();
  if (!list) return 0;
  const int32_t p = list->Text.Selected;
  {
    TuningLock lock(kEditedTuning);
    if (p < 0 || p >= EditedTuning.PatternCount || p >= kScalePatternMax) return 0;
    EditedTuning.PatternMasks[p] ^= uint64_t{1} << (key & 63);
    EditedTuning.Modified = -1;
  }
  PublishText(list, -1);
  return 0;
}

// --- Scale tools ---------------------------------------------------------------------------

namespace {

// A scale tool's click: the edited tuning reshaped, the selected key's ratios shown again.
int32_t ApplyScaleTool(uint32_t bits, int32_t id, void (*tool)(Tuning&)) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  {
    TuningLock lock(kEditedTuning);
    tool(EditedTuning);
  }
  const int32_t k = SelectedKey();
  if (k >= 0) ShowKeyRatios(k);
  return 0;
}

}  // namespace

int32_t OnTuningEqualTemperament(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return ApplyScaleTool(bits, id, TuningSetEqualTemperament);
}

int32_t OnTuningGeometric(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return ApplyScaleTool(bits, id, TuningSetGeometric);
}

namespace {

int32_t ChangeKeyCount(uint32_t bits, int32_t id, int32_t delta, int32_t message) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  std::string label, first;
  {
    TuningLock lock(kEditedTuning);
    TuningSetNoteCount(EditedTuning, TuningGetNoteCount(EditedTuning) + delta);
    label = KeysLabel(TuningGetNoteCount(EditedTuning), message);
    first = TuningGetNoteName(EditedTuning, 0);
  }
  if (const int32_t k = SelectedKey(); k >= 0) ShowKeyRatios(k);
  V::ControlRecord* count = SlotCtl(kUiTNGNBL);
  SetText(count, label);
  PublishText(count, 0);
  V::ControlRecord* rfk = SlotCtl(kUiTNG_RFK);
  SetText(rfk, first);
  RefitKeyGrid();
  PublishWhole(rfk, -1);
  PublishWhole(PatternList(), -1);
  return 0;
}

}  // namespace

int32_t OnTuningKeysMinus(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return ChangeKeyCount(bits, id, -1, 263);
}

int32_t OnTuningKeysPlus(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  return ChangeKeyCount(bits, id, 1, 264);
}

int32_t OnTuningSetFirstKey(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = ActiveLook(id, bits);
  if (!c || !Clicked(bits)) return 0;
  int32_t k = SelectedKey();
  if (k < 0) k = 0;
  {
    TuningLock lock(kEditedTuning);
    SetText(c, TuningGetNoteName(EditedTuning, k));
    TuningRotateNotes(EditedTuning, k);
  }
  if (V::ControlRecord* grid = SlotCtl(kUiTNGSCL)) grid->Text.Selected = -1;
  RefitKeyGrid();
  DisableKeyEditors();
  return 0;
}

// --- Renaming through the dialog box -------------------------------------------------------

int32_t OnTuningRenameKey(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = ActiveLook(id, bits);
  if (!c || !Clicked(bits)) return 0;
  if (DialogAnswered == -1) {
    DialogAnswered = 0;
    // The key the question named, whatever is selected by now.
    const int32_t k = DialogContext[1];
    if (DialogAnswer == -1 && k >= 0) {
      const V::ControlRecord* edit =
          V::DialogEditIndex ? Live(*V::DialogEditIndex) : nullptr;
      std::string name = Trimmed(edit ? V::TextFieldGetText(&edit->Text) : "");
      // Three characters, an escape form counting as one: a cut never splits it.
      const std::vector<size_t> starts = platform::CharacterStarts(name);
      name.resize(starts[std::min<size_t>(kKeyNameChars, starts.size() - 1)]);
      std::string first;
      {
        TuningLock lock(kEditedTuning);
        TuningSetNoteName(EditedTuning, k, name.c_str());
        first = TuningGetNoteName(EditedTuning, 0);
      }
      PublishWhole(SlotCtl(kUiTNGSCL), -1);
      V::ControlRecord* rfk = SlotCtl(kUiTNG_RFK);
      SetText(rfk, first);
      PublishText(rfk, 0);
    }
    c->State.On = 0;
    return 0;
  }
  if (DialogOwner == id) {
    CloseDialog();
    c->State.On = 0;
    return 0;
  }
  const int32_t k = SelectedKey();
  if (k < 0) return 0;
  std::string name;
  {
    TuningLock lock(kEditedTuning);
    name = TuningGetNoteName(EditedTuning, k);
  }
  OpenDialog(id, InsertArg(LangText(265, "Rename key #{$} (3 characters max.):"), std::to_string(k)),
             -1, name, 1, k, -1);
  c->State.On = -1;
  return 0;
}

int32_t OnScalePatternRename(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = ActiveLook(id, bits);
  if (!c || !Clicked(bits)) return 0;
  V::ControlRecord* list = PatternList();
  if (DialogAnswered == -1) {
    DialogAnswered = 0;
    const int32_t p = DialogContext[1];
    if (DialogAnswer == -1) {
      const V::ControlRecord* edit =
          V::DialogEditIndex ? Live(*V::DialogEditIndex) : nullptr;
      const std::string name = Trimmed(edit ? V::TextFieldGetText(&edit->Text) : "");
      bool renamed = false;
      {
        TuningLock lock(kEditedTuning);
        if (p >= 0 && p < EditedTuning.PatternCount && p < kScalePatternMax) {
          char* field = EditedTuning.PatternNames[p];
          std::memset(field, 0, kScalePatternNameSize);
          // A cut never splits the escape form of a character the code page lacks.
          std::memcpy(field, name.data(), platform::WholeCharactersWithin(name, kPatternNameChars));
          EditedTuning.Modified = -1;
          renamed = true;
        }
      }
      if (renamed) PublishWhole(list, -1);
    }
    c->State.On = 0;
    return 0;
  }
  if (DialogOwner == id) {
    CloseDialog();
    c->State.On = 0;
    return 0;
  }
  const int32_t p = list ? list->Text.Selected : -1;
  std::string name;
  {
    TuningLock lock(kEditedTuning);
    if (p < 0 || p >= EditedTuning.PatternCount || p >= kScalePatternMax) return 0;
    name.assign(EditedTuning.PatternNames[p],
                strnlen(EditedTuning.PatternNames[p], kScalePatternNameSize));
  }
  OpenDialog(id, LangText(267, "Rename pattern (32 characters max.) :"), -1, name, 1, p, -1);
  c->State.On = -1;
  return 0;
}

// --- Scale patterns ----------------------------------------------------------------------

int32_t OnScalePatternList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  int32_t count = 0;
  {
    TuningLock lock(kEditedTuning);
    count = EditedTuning.PatternCount;
  }
  bool clicked = false;
  const V::ControlRecord* list = Live(id);
  const int32_t before = list ? list->Text.Selected : -1;
  ListWithFirstRow(bits, x, y, id, count, PatternListAccumulator, &clicked);
  // The pattern switches show the selected pattern's keys.
  if (list && list->Text.Selected != before) PublishWhole(SlotCtl(kUiTNGSS), 0);
  return 0;
}

int32_t OnScalePatternAdd(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  int32_t old = 0, count = 0;
  {
    TuningLock lock(kEditedTuning);
    old = EditedTuning.PatternCount;
    if (old < kScalePatternMax) {
      TuningNewScalePattern(EditedTuning, old);
      EditedTuning.PatternCount = old + 1;
      EditedTuning.Modified = -1;
    }
    count = EditedTuning.PatternCount;
  }
  if (V::ControlRecord* list = PatternList()) {
    list->Text.Selected = old;
    list->Text.FirstVisible = FirstRowFor(list, old, count);
    V::ControlPublish(list, -1);
  }
  return 0;
}

int32_t OnScalePatternDelete(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  V::ControlRecord* list = PatternList();
  if (!list) return 0;
  int32_t p = list->Text.Selected;
  int32_t count = 0;
  {
    TuningLock lock(kEditedTuning);
    count = EditedTuning.PatternCount;
    if (p < 0 || p >= count || p >= kScalePatternMax) return 0;
    if (p == 0) {
      // The first pattern stays: a tuning keeps at least one.
      TuningNewScalePattern(EditedTuning, 0);
    } else {
      for (int32_t i = p; i < count - 1; ++i) {
        EditedTuning.PatternMasks[i] = EditedTuning.PatternMasks[i + 1];
        std::memcpy(EditedTuning.PatternNames[i], EditedTuning.PatternNames[i + 1],
                    kScalePatternNameSize);
      }
      EditedTuning.PatternCount = --count;
      NotePatternDeleted(p);
    }
    EditedTuning.Modified = -1;
  }
  if (p > count - 1) p = count - 1;
  list->Text.Selected = p;
  list->Text.FirstVisible = FirstRowFor(list, p, count);
  V::ControlPublish(list, -1);
  return 0;
}

void ShowSelectedScalePattern() {
  PatternsMoved = false;  // the editor's copy is the tuning in use again
  const ModuleRecord* m = SelectedModule;
  V::ControlRecord* list = SlotCtl(kUiSCALELIST);
  if (!list || !m || m->Type != kTypeMelodyGenerator) return;
  list->Text.Selected = MelodyScalePattern(*m);
  V::ControlPublish(list, -1);
}

int32_t OnScaleList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  bool clicked = false;
  const int32_t row = ListWithFirstRow(bits, x, y, id, ActiveTuning.PatternCount,
                                       ScaleListAccumulator, &clicked);
  ModuleRecord* m = SelectedModule;
  // The kernel reads the pattern at each step while playing: stored whole.
  if (clicked && m && m->Type == kTypeMelodyGenerator) SetMelodyScalePattern(*m, row);
  return 0;
}

// --- New, save, cancel ----------------------------------------------------------------------

int32_t OnTuningNew(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  Tuning fresh{};
  InitTuning(fresh);
  const std::string folder = DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\" + "TUNINGS";
  const std::string file = platform::FreeFileName(folder, "Tuning " + QUARLE_BASICS::TimeStampText() + ".tng");
  QUARLE_BASICS::DynZStringAssign(fresh.FileName, file);
  QUARLE_BASICS::DynZStringAssign(fresh.Folder, folder);
  // The editor takes the new tuning whether or not its file could be written,
  // but a file that is not there is not passed over in silence. The browser
  // shows the file once the saver has put it on the disk.
  const auto told = [file](int32_t r) {
    if (r < 0) ReportSaveFailure(file, r);
    BrowseFolder(DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\TUNINGS", file);
    SelectBrowserFile(file);
  };
  if (const int32_t r = SaveTuningThen(fresh, nullptr, told); r != 0) told(r);
  {
    TuningLock lock(kEditedTuning);
    CopyTuning(EditedTuning, fresh);
    EditedTuning.Modified = 0;
  }
  {
    TuningLock lock(kActiveTuning);
    CopyTuning(ActiveTuning, fresh);
  }
  RefreshTuningPanel();
  RequestTuningApply();
  FreeTuning(fresh);
  return 0;
}

int32_t OnTuningSave(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  std::string file;
  int32_t n = 0;
  platform::MutexLock(MT_TUNINGS[kActiveTuning]);
  platform::MutexLock(MT_TUNINGS[kEditedTuning]);
  CopyTuning(ActiveTuning, EditedTuning);
  file = DynZStringGet(ActiveTuning.FileName);
  SetText(SlotCtl(kUiTNGNAME), file);
  n = TuningGetNoteCount(ActiveTuning);
  EditedTuning.Modified = 0;
  platform::MutexUnlock(MT_TUNINGS[kEditedTuning]);
  platform::MutexUnlock(MT_TUNINGS[kActiveTuning]);

  PublishWhole(SlotCtl(kUiTNGSCL), -1);
  PublishText(SlotCtl(kUiTNGNAME), 0);

  // Every keyboard keeps its octave shift in the new key count.
  for (int32_t i = 0; i < kKeyboardBankSize; ++i)
    if (KeyboardState* s = KeyboardStates[i].Load()) s->KeyOffset.Store(s->Octave.Load() * n);
  if (V::ControlRecord* kbpos = SlotCtl(kUiKBPOS)) {
    const int32_t k = std::clamp(CurrentKeyboardIndex.Load(), 0, kKeyboardBankSize - 1);
    const KeyboardState* s = KeyboardStates[k].Load();
    kbpos->Text.Selected = (s ? s->KeyOffset.Load() : 0) + 8 * n;
    V::ControlPublish(kbpos, -1);
  }
  PublishWhole(SlotCtl(kUiKB), -1);
  PublishWhole(SlotCtl(kUiSCALELIST), -1);

  // Said once the saver has put the file on the disk, or why not.
  const auto told = [file](int32_t r) {
    if (r < 0) {
      // The tuning in use keeps the edits all the same; only the file is
      // missing, so the editor still shows them as not saved.
      ReportSaveFailure(file, r);
      TuningLock lock(kEditedTuning);
      EditedTuning.Modified = -1;
    } else {
      RefreshFileBrowser();
      SetStatusText(file + " " + LangText(269, "has been saved."));
    }
  };
  if (const int32_t r = SaveTuningThen(ActiveTuning, MT_TUNINGS[kActiveTuning], told); r != 0) told(r);
  MoveGeneratorsWithTheirPatterns();
  RequestTuningApply();
  return 0;
}

int32_t OnTuningCancel(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  std::string file, label, first;
  // Active first, then edited: the order of every holder of both.
  platform::MutexLock(MT_TUNINGS[kActiveTuning]);
  platform::MutexLock(MT_TUNINGS[kEditedTuning]);
  CopyTuning(EditedTuning, ActiveTuning);
  PatternsMoved = false;
  platform::MutexUnlock(MT_TUNINGS[kActiveTuning]);
  file = DynZStringGet(EditedTuning.FileName);
  label = KeysLabel(TuningGetNoteCount(EditedTuning), 270);
  first = TuningGetNoteName(EditedTuning, 0);
  EditedTuning.Modified = 0;
  platform::MutexUnlock(MT_TUNINGS[kEditedTuning]);

  V::ControlRecord* name = SlotCtl(kUiTNGNAME);
  SetText(name, file);
  PublishText(name, 0);
  V::ControlRecord* count = SlotCtl(kUiTNGNBL);
  SetText(count, label);
  PublishText(count, 0);
  V::ControlRecord* rfk = SlotCtl(kUiTNG_RFK);
  SetText(rfk, first);
  PublishText(rfk, 0);
  if (V::ControlRecord* grid = SlotCtl(kUiTNGSCL)) grid->Text.Selected = -1;
  RefitKeyGrid();
  DisableKeyEditors();
  // The first pattern, which the switches show and a press on them changes.
  if (V::ControlRecord* list = PatternList()) {
    list->Text.Selected = 0;
    list->Text.FirstVisible = 0;
    V::ControlPublish(list, -1);
  }
  return 0;
}

// --- Number base of the octave boards ---------------------------------------------------------

namespace {

std::string BaseCaption(int32_t message, int32_t index) {
  if (index < 0 || index >= kNumberBases) index = 0;
  return LangText(message, "Base") + ": " + std::to_string(BasePrimes[index]);
}

}  // namespace

int32_t OnNumberBaseSelect(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  V::ControlRecord* c = Live(id);
  if (!c) return 0;
  c->State.Active = (bits == 2 || bits == 16 || bits == 32) ? -1 : 0;
  if (SelectorScheme(bits, x, id, kNumberBases, NumberBaseAccumulator))
    SetText(c, BaseCaption(272, c->Text.Selected));
  return 0;
}

int32_t OnNumberBaseSet(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  const V::ControlRecord* tstb = SlotCtl(kUiTSTB);
  if (!tstb) return 0;
  const int32_t index = tstb->Text.Selected;
  if (index < 0 || index >= kNumberBases || index == TimeBaseIndex.Load()) return 0;
  TimeBaseIndex.Store(index);
  LayOutOctaveBoard();
  PublishWhole(SlotCtl(kUiBB), -1);
  // Held keys were started in the old base.
  for (int32_t i = 0; i < kKeyboardBankSize; ++i)
    if (OctaveBoardStates[i].Load()) ReleaseHeldKeys(*OctaveBoardStates[i].Load(), OctaveBoardKeyLocks[i]);
  SaveSettings();
  return 0;
}

int32_t OnNumberBaseReset(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  ActiveLook(id, bits);
  if (!Clicked(bits)) return 0;
  V::ControlRecord* tstb = SlotCtl(kUiTSTB);
  if (!tstb) return 0;
  const int32_t index = TimeBaseIndex.Load();
  tstb->Text.Selected = index;
  SetText(tstb, BaseCaption(273, index));
  PublishText(tstb, 0);
  return 0;
}

// --- Value hooks ----------------------------------------------------------------------------

int32_t OnReferenceFrequencyValue(float* value) {
  if (!value) return 0;
  TuningLock lock(kEditedTuning);
  TuningSetReferencePitch(EditedTuning, *value);
  *value = TuningGetReferencePitch(EditedTuning);
  return 0;
}

namespace {

// One key ratio applied through `set`, kept by `get`; the other field then
// shows the key's ratio of the other kind. Re-entered calls do nothing. The
// caller holds `self`'s lock; the other field's is taken only when it is
// another (the build gives both one lock).
int32_t KeyHook(float* value, int32_t& depth, void (*set)(Tuning&, int32_t, float),
                float (*get)(const Tuning&, int32_t), const ParamValue& self, ParamValue& other,
                int32_t otherSlot, float (*otherGet)(const Tuning&, int32_t)) {
  if (++depth > 1) return 0;
  const int32_t k = SelectedKey();
  if (!value || k < 0) {
    depth = 0;
    return 0;
  }
  float shown = 0.0f;
  {
    TuningLock lock(kEditedTuning);
    set(EditedTuning, k, *value);
    *value = get(EditedTuning, k);
    shown = otherGet(EditedTuning, k);
  }
  const V::ControlRecord* field = SlotCtl(otherSlot);
  if (field && field->UserPointer == &other) {
    platform::MutexGuard g(other.Lock != self.Lock ? other.Lock : nullptr);
    ParamValueConvertUnit(other, shown, 0, 0);
  }
  depth = 0;
  return 0;
}

float AbsoluteOf(const Tuning& t, int32_t k) { return TuningGetAbsoluteRatio(t, k); }

}  // namespace

int32_t OnAbsoluteKeyValue(float* value) {
  return KeyHook(value, AbsoluteHookDepth, TuningSetSecondValue, AbsoluteOf, AbsoluteKeyValue,
                 RelativeKeyValue, kUiFAV_RK, TuningGetRatio);
}

int32_t OnRelativeKeyValue(float* value) {
  return KeyHook(value, RelativeHookDepth, TuningSetRatio, TuningGetRatio, RelativeKeyValue,
                 AbsoluteKeyValue, kUiFAV_AK, AbsoluteOf);
}

// --- Range hooks: the limits the tuning holds each typed number to -------------------------

void OnReferenceFrequencyRange(float* low, float* high) {
  if (!low || !high) return;
  *low = kTuningMinPitch;
  *high = kTuningMaxPitch;
}

namespace {

// The selected key's limits, as the tuning's setters hold them (key 0's
// ratios are fixed: its editors are off, and nothing is limited).
void KeyRange(float* low, float* high, bool absolute) {
  if (!low || !high) return;
  const int32_t k = SelectedKey();
  TuningLock lock(kEditedTuning);
  const int32_t n = EditedTuning.NoteCount;
  if (k < 0 || n < 2 || !EditedTuning.AbsoluteRatios) return;
  const int32_t i = k % n;
  if (i == 0) return;
  const double above = std::pow(kSmallestKeyStep, n - i);  // room for the keys above
  if (absolute) {
    *low = static_cast<float>(std::pow(kSmallestKeyStep, i));
    *high = static_cast<float>(2.0 / above);
  } else {
    *low = static_cast<float>(kSmallestKeyStep);
    *high = static_cast<float>(2.0 / (EditedTuning.AbsoluteRatios[i - 1] * above));
  }
}

}  // namespace

void OnAbsoluteKeyRange(float* low, float* high) { KeyRange(low, high, true); }

void OnRelativeKeyRange(float* low, float* high) { KeyRange(low, high, false); }

}  // namespace Tarvelo
