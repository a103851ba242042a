#include "ui/panels/list_buttons.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "app/documents/demo_files.h"
#include "app/documents/melody_file.h"
#include "app/documents/synth_file.h"
#include "app/documents/tuning_save.h"
#include "app/documents/wave_convert.h"
#include "app/startup.h"
#include "app/state/console.h"
#include "app/state/dialogs.h"
#include "app/state/history.h"
#include "app/state/module_page.h"
#include "app/state/settings.h"
#include "app/state/wave_library.h"
#include "audio/midi.h"
#include "basics/errors.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/filerecord.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "platform/disk_pace.h"
#include "platform/paths.h"
#include "ui/build/frame.h"
#include "ui/build/groups_b.h"
#include "ui/panels/module_panel.h"
#include "ui/panels/panel_common.h"
#include "visuals/control_table.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::LangText;

std::string RenameFolder;
std::string RenameOldName;
std::string RenameExtension;

namespace {

void Status(const std::string& text) { SetStatusText(text); }
void Error(const std::string& text) { QUARLE_BASICS::Report(text, 2); }

// The part of a name after its last ".", in upper case ("" without a dot).
std::string UpperExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? "" : platform::UpperCase(name.substr(dot + 1));
}

int32_t Selected(int32_t list) {
  const ControlRecord* c = PanelCtl(list);
  return c ? c->Text.Selected : -1;
}

int32_t Files() { return SlotId(kUiFILES); }
int32_t Refm() { return SlotId(kUiREFM); }
int32_t Libm() { return Refm() > 0 ? Refm() + 1 : 0; }
int32_t Sam() { return SlotId(kUiSAM_LIBRARY); }
int32_t MidiCc() { return SlotId(kUiMIDIDEVS) > 0 ? SlotId(kUiMIDIDEVS) + 1 : 0; }

int32_t ListingCount() { return QUARLE_BASICS::DirListCount(BrowserListing); }
std::string ListingName(int32_t i) {
  return i < 0 ? "" : QUARLE_BASICS::DirListName(BrowserListing, static_cast<uint32_t>(i));
}
std::string ListingFolder(int32_t i) {
  return i < 0 ? "" : QUARLE_BASICS::DirListFolder(BrowserListing, static_cast<uint32_t>(i));
}

// The browser's folder listed again (the current folder, the mask unchanged).
void Relist() { QUARLE_BASICS::ListFolder(BrowserListing, "", "", 0, 0); }

std::string EditText() {
  const int32_t edit = V::DialogEditIndex ? *V::DialogEditIndex : 0;
  return TextOf(edit);
}

void SetButtonDisabled(int32_t id, int64_t disabled) {
  if (ControlRecord* c = PanelCtl(id)) {
    V::SetDisabled(&c->State, disabled);
    V::ControlPublishState(c);
  }
}

ModuleRecord* ListedModule(int32_t i) {
  return i >= 0 && i < ModuleList.count && ModuleList.entries ? ModuleList.entries[i] : nullptr;
}

ControlRecord* BoxOf(const ModuleRecord* m) {
  return m && m->BoxControl.Load() > 0 ? PanelCtl(static_cast<int32_t>(m->BoxControl.Load())) : nullptr;
}

// The one rule of Copy, Delete and Load for a list with no row chosen: the
// selected module stands in for a row only where the list on view shows
// modules (the catalog, the created modules; with no list on view the
// created modules count as on view). On any other list the user means one
// of its own items, and a module is never copied, loaded or deleted unasked.
bool ModuleStandsInFor(int32_t list) { return list > 0 && (list == Refm() || list == Libm()); }

// The visible list, or with none and a module selected the created modules;
// its selected index, a catalog row turned into its type, and with no row on
// a list of modules the selected module itself. *none gets whether there was
// neither list nor module.
void ListAndIndex(int32_t& list, int32_t& index, bool& none) {
  list = PanelActiveBrowserList();
  none = false;
  if (list == 0) {
    if (!SelectedModule) {
      none = true;
      return;
    }
    list = Libm();
  }
  index = Selected(list);
  if (index >= 0 && list == Refm())
    index = index < kModuleTypeCount ? ModulePaletteOrder[index] : -1;
  if (index < 0 && SelectedModule && ModuleStandsInFor(list)) {
    if (SelectedModule->Role < kRoleTemplate) {
      list = Libm();
      index = SelectedModule->ListIndex.Load();
    } else {
      list = Refm();
      index = SelectedModule->Type;
    }
  }
}

// The place a box takes on the plane and the room kept around it.
PlaneRect KeptRoom(int32_t id) {
  PlaneRect r = ControlExtent(id);
  const int32_t gap = 2 * UiUnit;
  return {r.X - gap, r.Y - gap, r.W + 2 * gap, r.H + 2 * gap};
}

// A new module goes just above the topmost one, aligned with the synth output.
// Where that is out of view or under the strip drawn over the plane, it goes
// to the nearest place of the open plane that leaves the other boxes and the
// synth output their room: a scroll there (ScrollToModule) would push the
// rest of a tall synth out of view. A plane with no such room scrolls.
void Placement(const ModuleRecord* copied, int32_t& x, int32_t& y) {
  const ControlRecord* sout = SlotCtl(kUiSOUT);
  x = sout ? sout->X : 0;
  y = sout ? sout->Y : 0;
  if (const ControlRecord* top = BoxOf(ListedModule(FirstModuleByY()))) y = top->Y;
  const ControlRecord* box = BoxOf(copied);
  y -= (box ? box->H : 0) + 2 * UiUnit;
  PlaneRect plane;
  std::vector<PlaneRect> avoid;
  if (!box || !PlaneOpenArea(plane, avoid)) return;
  PlaneRect made = ControlExtent(box->Id);
  made.X += x - box->X;
  made.Y += y - box->Y;
  for (int32_t i = 0; i < ModuleList.count; ++i)
    if (const ControlRecord* other = BoxOf(ListedModule(i))) avoid.push_back(KeptRoom(other->Id));
  if (sout) avoid.push_back(KeptRoom(sout->Id));
  int32_t dx = 0, dy = 0;
  if (SmallestClearMove(made, plane, avoid, dx, dy)) {
    x += dx;
    y += dy;
  }
}

// Creates a module of a type (REFM) or a copy of a listed one (LIBM): its list
// index, or a negative code.
int32_t CreateFromList(int32_t list, int32_t index) {
  int32_t x = 0, y = 0;
  if (list == Refm()) {
    if (index < 0 || index >= kModuleTypeCount) return -19;
    Placement(&ModuleCatalog[index], x, y);
    return PanelCreateModule(index, x, y, -1);
  }
  const ModuleRecord* m = ListedModule(index);
  if (!m) return -19;
  Placement(m, x, y);
  return PanelCreateModule(index, x, y, 0);
}

// A list's selection one row on in display order, kept within its items.
void SelectionOneOn(int32_t list, int32_t count) {
  ControlRecord* c = PanelCtl(list);
  if (!c) return;
  V::TextField& t = c->Text;
  t.Selected += t.Reversed != 0 ? -1 : 1;
  t.Selected = std::clamp(t.Selected, 0, std::max(count - 1, 0));
  V::ListScrollClamp(&t, count);
  V::ControlPublishText(c, -1);
}

void ShowSessionCaption(const std::string& title) {
  SetTextOf(SlotId(kUiTABSES), " " + title);
  PublishText(SlotId(kUiTABSES), -1);
}

int32_t NotesPerOctave() {
  platform::MutexGuard guard(MT_TUNINGS[kActiveTuning]);
  const int32_t n = TuningGetNoteCount(ActiveTuning);
  return n > 0 ? n : 1;
}

// MIDI2 shows whether the selected module's selected parameter is mapped.
void RefreshMidiMark() {
  const ModuleRecord* m = SelectedModule;
  if (!m || m->SelectedParam.Load() < 0 || m->SelectedParam.Load() >= std::min(m->ParamCount, kModuleParams)) return;
  SetOnWord(SlotId(kUiMIDI2), m->Params[m->SelectedParam.Load()].MidiMapCount.Load() != 0 ? -1 : 0);
}

// What a save says after the name of the file it wrote: that it was saved,
// or, when a synth save left out entries whose own files could not be written
// (their names are in the log too), which and why; and the takes still
// recording that it left out.
std::string SavedText(bool tuning) {
  if (tuning) return LangText(228, "has been saved.");
  const std::vector<SaveLeftOutEntry>& left = SaveSessionLeftOut();
  std::string said = LangText(228, "has been saved.");
  if (!left.empty()) {
    std::string names;
    for (const SaveLeftOutEntry& e : left) names += (names.empty() ? "" : ", ") + e.File;
    said = QUARLE_BASICS::InsertArg(LangText(623, "has been saved without {$}: "), names) + ErrorText(left.front().Code);
  }
  const std::string takes = SaveSessionTakesNote();
  return takes.empty() ? said : said + " " + takes;
}

bool ReportSaveSessionFailure(int32_t r) {
  if (r >= 0) return false;
  Error("SaveSession(): " + ErrorText(r));
  return true;
}

// --- Acts on a file the saver holds ---------------------------------------------------
// A save on its way leaves the old file (or none) at its target until it
// lands: a load then would read the old file, a copy copy it, and a rename or
// a delete would be undone when the new file takes the name. Such an act
// waits for the save's outcome, and the status line says so meanwhile.

constexpr const char* kReplaceWait = "replace";
// one thread: interface
struct WaitingActs {
  // By what they do to which file (a second click on the same adds none),
  // with what the status line says of them.
  std::vector<std::pair<std::string, std::string>> list;
  // When the first of the browser's acts still waiting began to wait, and
  // whether their box was shown.
  double since = 0.0;
  bool boxed = false;
};
WaitingActs Waiting;

bool ActsWait() {
  return std::any_of(Waiting.list.begin(), Waiting.list.end(), [](const auto& w) { return w.first != kReplaceWait; });
}

void SayWaiting(const std::string& key, const std::string& text) {
  if (key != kReplaceWait && !ActsWait()) {
    Waiting.since = PanelNow();
    Waiting.boxed = false;
  }
  // One line per wait: a wait said anew (a later act in its place) says the new text.
  std::erase_if(Waiting.list, [&](const auto& w) { return w.first == key; });
  Waiting.list.emplace_back(key, text);
  Status(text);
}

void WaitOver(const std::string& key) {
  for (auto it = Waiting.list.begin(); it != Waiting.list.end(); ++it)
    if (it->first == key) {
      Waiting.list.erase(it);
      return;
    }
}

bool IsWaiting(const std::string& key) {
  return std::any_of(Waiting.list.begin(), Waiting.list.end(), [&](const auto& w) { return w.first == key; });
}

std::string NameIn(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The box the browser's acts waiting for a save are left from: the Load
// button's (its answer comes there).
enum ActsQuestion : int32_t { kAskActs = 5 };
int32_t LoadButton() { return SlotId(kUiLSORDER) > 0 ? SlotId(kUiLSORDER) + 5 : 0; }

void CloseActsBox() {
  if (LoadButton() != 0 && PanelDialogOwner() == LoadButton() && PanelDialogWord(1) == kAskActs) PanelCloseDialog();
}

void ShowActsBox() {
  Waiting.boxed = true;
  std::string said;
  for (const auto& w : Waiting.list)
    if (w.first != kReplaceWait) said = w.second;
  PanelOpenDialog(LoadButton(), QUARLE_BASICS::InsertArg(LangText(687, "{$} Cancel stops waiting."), said), 0, "",
                  kAskActs, 0, 0);
}

// The user left the acts' wait: none of them is done.
void LeaveActs() {
  std::erase_if(Waiting.list, [](const auto& w) { return w.first != kReplaceWait; });
  Status(LangText(688, "Stopped waiting: what waited for the save is not done."));
}

// Runs `act` at once, or once no save of the file is held.
void WhenSaved(const std::string& what, const std::string& path, std::function<void()> act) {
  if (!platform::SaverHolds(path)) {
    act();
    return;
  }
  const std::string key = what + "|" + path;
  if (IsWaiting(key)) return;
  SayWaiting(key, QUARLE_BASICS::InsertArg(LangText(660, "Waiting for {$} to be saved..."), NameIn(path)));
  platform::SaverWhenDone(path, [key, act = std::move(act)] {
    // Left by the user meanwhile.
    if (!IsWaiting(key)) return;
    WaitOver(key);
    if (!ActsWait()) CloseActsBox();
    act();
  });
}

// --- Replacing the synth ----------------------------------------------------------------
// With auto-save on, New and Load replace the synth only once its save is on
// the disk; a Load also waits for a save of the file it opens. When that save
// failed nothing is replaced: the user is told why and chooses to save it
// elsewhere, to discard it, or to keep it. The acts take effect in the order
// they were made: a New or Load made while another waits takes its place
// (behind the same save), never the other way round. A wait can be left at
// any time, the synth kept (Cancel or Esc in the box that shows once it
// lasts), and a save the disk writes nothing of for a while offers to save
// the synth elsewhere.

enum ReplaceKind : int32_t { kReplaceNone = 0, kReplaceNew = 1, kReplaceLoad = 2 };
enum ReplaceQuestion : int32_t { kAskElsewhere = 1, kAskDiscard = 2, kAskWait = 3, kAskQuiet = 4 };
enum ReplacePhase : int32_t { kPhaseAsked = 0, kPhaseSaving = 1, kPhaseFile = 2 };

// The replacement waiting for a save's outcome or for the user's answer.
// one thread: interface
struct PendingReplace {
  int32_t Kind = kReplaceNone;
  int32_t Owner = 0;  // the button whose question it is
  std::string Folder;  // the synth a Load opens
  std::string Name;
  int32_t SavedAgain = 0;  // saves of a synth changed while it was saved
  int32_t Phase = kPhaseAsked;
  int32_t Wait = 0;       // the number of the wait under way: its outcome counts only while it is current
  std::string Watched;    // the file whose save it waits for
  std::string Said;       // the synth's file said while it is saved
  double Since = 0.0;     // when the wait began
  uint64_t Progress = 0;  // the saver's word for Watched, as last seen
  double Moved = 0.0;     // when that word last moved
  bool Boxed = false;     // the wait's box was shown
  bool AskedQuiet = false;
};
// Saves again of a synth that keeps changing while it is saved, before the
// user is asked whether to go on without the changes.
constexpr int32_t kMostSavesAgain = 3;
// A wait this long shows its box, whose Cancel (Esc) leaves it.
constexpr double kWaitBoxSeconds = 2.0;
// one thread: interface
PendingReplace Replacing;
int32_t LastWait = 0;

void StartNewSynth();

void LoadSynthFile(const std::string& folder, const std::string& name) {
  const int32_t code = LoadSynth(folder, name);
  if (code == 0) ForgetSessionSaveFailure();
  if (code < 0)
    Error(LangText(236, "Loading error: ") + (code == kSynthRenderUnanswered ? WaitingForAudioText() : ErrorText(code)));
}

// Starts a wait for the save of `watched`: its number.
int32_t BeginWait(int32_t phase, const std::string& watched) {
  Replacing.Phase = phase;
  Replacing.Wait = ++LastWait;
  Replacing.Watched = watched;
  Replacing.Since = Replacing.Moved = PanelNow();
  Replacing.Progress = 0;
  Replacing.Boxed = Replacing.AskedQuiet = false;
  return Replacing.Wait;
}

bool Waits() { return Replacing.Kind != kReplaceNone && Replacing.Phase != kPhaseAsked; }

// The wait's own box, when it is open: closed (the wait is over).
void CloseWaitBox() {
  if (Replacing.Owner != 0 && PanelDialogOwner() == Replacing.Owner &&
      (PanelDialogWord(1) == kAskWait || PanelDialogWord(1) == kAskQuiet))
    PanelCloseDialog();
}

void EndWait() {
  WaitOver(kReplaceWait);
  CloseWaitBox();
}

// The user left the wait: the synth stays, the save goes on by itself.
void LeaveWait() {
  EndWait();
  Replacing = PendingReplace{};
  Status(LangText(682, "Stopped waiting: this synth stays as it is, and its save goes on."));
}

std::string WaitText() {
  for (const auto& w : Waiting.list)
    if (w.first == kReplaceWait) return w.second;
  return "";
}

void ShowWaitBox() {
  if (!Waits()) return;
  Replacing.Boxed = true;
  const std::string asked = DialogQuestionThatFits(
      {QUARLE_BASICS::InsertArg(LangText(680, "{$} Cancel stops waiting and keeps this synth."), WaitText()),
       LangText(681, "Still saving. Cancel keeps this synth.")},
      0);
  PanelOpenDialog(Replacing.Owner, asked, 0, "", kAskWait, 0, 0);
}

// The question of a save the disk has written nothing of for `quiet` seconds.
std::string QuietQuestion(const std::string& path, double quiet) {
  const std::string seconds = std::to_string(static_cast<int64_t>(quiet));
  return DialogQuestionThatFits(
      {QUARLE_BASICS::InsertArg(
           QUARLE_BASICS::InsertArg(
               LangText(683, "The disk has written nothing of {$} for {$} s. Save the synth under this name instead?"),
               NameIn(path)),
           seconds),
       LangText(684, "The disk writes nothing. Save under this name?"), LangText(685, "Disk stuck: save as?")},
      -1);
}

// The disk has written nothing of the save waited for: the synth may be saved elsewhere.
void AskQuiet(double quiet) {
  Replacing.AskedQuiet = true;
  CloseWaitBox();
  PanelOpenDialog(Replacing.Owner, QuietQuestion(Replacing.Watched, quiet), -1, SynthNameElsewhere(), kAskQuiet, 0, 0);
}

// The session's own save (Ctrl+S, the auto-save) when nothing waits for it:
// once the disk has written nothing of it for a while, the Save button asks
// whether to save the synth elsewhere (its answer saves it there as an
// overwrite's does), once for each save the disk holds.
// one thread: interface
struct SessionSaveWatch {
  std::string Path;
  uint64_t Progress = 0;
  double Moved = 0.0;
  bool Asked = false;
};
// one thread: interface
SessionSaveWatch Watch;
constexpr int32_t kSaveSynth = 1;  // the Save button's answer words: a synth's save

void WatchSessionSave() {
  const std::string path = SessionFile.empty() ? std::string() : SessionFolder + "\\" + SessionFile;
  const double now = PanelNow();
  const uint64_t p = path.empty() ? 0 : platform::SaverProgress(path);
  if (path != Watch.Path || p != Watch.Progress) {
    // A save that moved, or none held: asked again only for a later stop.
    if (path != Watch.Path || p == 0) Watch.Asked = false;
    Watch.Path = path;
    Watch.Progress = p;
    Watch.Moved = now;
  }
  if (p == 0 || Watch.Asked || PanelDialogOwner() != 0 || now - Watch.Moved < platform::kEndIdleSeconds) return;
  const int32_t save = SlotId(kUiLSORDER) > 0 ? SlotId(kUiLSORDER) + 4 : 0;
  if (save == 0) return;
  Watch.Asked = true;
  PanelOpenDialog(save, QuietQuestion(path, now - Watch.Moved), -1, SynthNameElsewhere(), 0, -1, kSaveSynth);
  SetOnWord(save, -1);
}

// Each tick while New or Load waits: the box once the wait lasts, the
// question once the disk writes nothing of the save. Another control's open
// question is not withdrawn for either.
void WatchWait() {
  if (!Waits()) {
    if (ActsWait() && !Waiting.boxed && PanelDialogOwner() == 0 && PanelNow() - Waiting.since >= kWaitBoxSeconds)
      ShowActsBox();
    WatchSessionSave();
    return;
  }
  const double now = PanelNow();
  if (const uint64_t p = platform::SaverProgress(Replacing.Watched); p != Replacing.Progress) {
    Replacing.Progress = p;
    Replacing.Moved = now;
  }
  const int32_t owner = PanelDialogOwner();
  if (owner != 0 && owner != Replacing.Owner) return;
  if (!Replacing.AskedQuiet && now - Replacing.Moved >= platform::kEndIdleSeconds)
    AskQuiet(now - Replacing.Moved);
  else if (!Replacing.Boxed && owner == 0 && now - Replacing.Since >= kWaitBoxSeconds)
    ShowWaitBox();
}

// A Load waits for a save of the file it opens, and for those of the files it
// names (a bundled tuning or sound still being copied); then the synth is replaced.
void Replace() {
  const PendingReplace r = Replacing;
  if (r.Kind == kReplaceLoad) {
    const std::string path = SynthFileOnItsWay(r.Folder, r.Name);
    if (!path.empty()) {
      const int32_t wait = BeginWait(kPhaseFile, path);
      SayWaiting(kReplaceWait, QUARLE_BASICS::InsertArg(LangText(660, "Waiting for {$} to be saved..."), NameIn(path)));
      LoadWhenFilesArrive(r.Folder, r.Name, [wait] {
        // Left by the user, or a later act took its place.
        if (Replacing.Kind == kReplaceNone || Replacing.Wait != wait) return;
        EndWait();
        const PendingReplace now = Replacing;
        Replacing = PendingReplace{};
        LoadSynthFile(now.Folder, now.Name);
      });
      return;
    }
  }
  Replacing = PendingReplace{};
  if (r.Kind == kReplaceNew) StartNewSynth();
  if (r.Kind == kReplaceLoad) LoadSynthFile(r.Folder, r.Name);
}

void AskSaveElsewhere(int32_t rc) {
  ReportSaveSessionFailure(rc);
  Replacing.Phase = kPhaseAsked;
  // Whole in its box: a narrower box takes a shorter form (the reason is in
  // the log above).
  const std::string reason = ErrorText(rc);
  const std::string asked = DialogQuestionThatFits(
      {QUARLE_BASICS::InsertArg(LangText(638, "The synth could not be saved ({$}). Save it under this name instead?"), reason),
       QUARLE_BASICS::InsertArg(LangText(664, "Not saved ({$}). Save under this name?"), reason),
       LangText(665, "Not saved: save as?")},
      -1);
  PanelOpenDialog(Replacing.Owner, asked, -1, SynthNameElsewhere(), kAskElsewhere, 0, 0);
}

void AskDiscard() {
  Replacing.Phase = kPhaseAsked;
  PanelOpenDialog(Replacing.Owner, LangText(639, "Discard the unsaved synth and go on? (No keeps it.)"), 0, "",
                  kAskDiscard, 0, 0);
}

// Said for as long as the save before New or Load takes: the plane stays as
// it is meanwhile.
void SayReplaceWait(const std::string& saved) {
  Replacing.Said = saved;
  std::string said = Replacing.Kind == kReplaceNew ? LangText(661, "Saving {$} before the new synth...")
                                                   : LangText(662, "Saving {$} before loading {$}...");
  said = QUARLE_BASICS::InsertArg(said, saved);
  if (Replacing.Kind == kReplaceLoad) said = QUARLE_BASICS::InsertArg(said, Replacing.Name);
  SayWaiting(kReplaceWait, said);
}

// Saves the synth and replaces it once that save is on the disk; asks when it
// failed. A synth changed since the save took it (a module made while the
// disk took the file) is saved again first, so nothing made meanwhile is lost.
void SaveThenReplace(const std::string& folder, const std::string& name) {
  const int32_t wait = BeginWait(kPhaseSaving, folder + "\\" + name);
  auto taken = std::make_shared<std::shared_ptr<const SynthTaken>>();
  SaveSessionTaking(folder, name, [wait, taken, folder, name](int32_t rc) {
    // Left by the user, or a save elsewhere took its place.
    if (Replacing.Kind == kReplaceNone || Replacing.Wait != wait) return;
    EndWait();
    if (rc != 0) {
      AskSaveElsewhere(rc);
    } else if (*taken && SynthChangedSince(**taken)) {
      if (++Replacing.SavedAgain > kMostSavesAgain) {
        AskDiscard();
        return;
      }
      SayWaiting(kReplaceWait, QUARLE_BASICS::InsertArg(LangText(663, "{$} changed while it was saved: saving it again..."), name));
      SaveThenReplace(folder, name);
    } else {
      Replace();
    }
  }, taken.get());
}

// New or Load: at once, or after the save before it.
void ReplaceSynth(int32_t kind, int32_t owner, const std::string& folder, const std::string& name) {
  if (Replacing.Kind != kReplaceNone) {
    // What the user did last holds: a later act takes the place of the one
    // still waiting, behind the same save or question (the question's owner
    // stays, as its answer comes to it).
    if (Replacing.Kind == kReplaceLoad && (Replacing.Kind != kind || Replacing.Name != name || Replacing.Folder != folder))
      Report(QUARLE_BASICS::InsertArg(LangText(686, "Not loaded: {$} (a later New or Load came first)."), Replacing.Name),
             QUARLE_BASICS::kLevelWarning);
    if (Replacing.Phase != kPhaseFile) {
      Replacing.Kind = kind;
      Replacing.Folder = folder;
      Replacing.Name = name;
      if (Replacing.Phase == kPhaseSaving) {
        SayReplaceWait(Replacing.Said);
        // A click while it waits shows the way out at once.
        if (PanelDialogOwner() == 0) ShowWaitBox();
      }
      return;
    }
    // A Load waiting for its file's save gives way: that save is no longer wanted.
    EndWait();
    Replacing = PendingReplace{};
  }
  Replacing = PendingReplace{};
  Replacing.Kind = kind;
  Replacing.Owner = owner;
  Replacing.Folder = folder;
  Replacing.Name = name;
  const bool saveFirst = Settings.AutoSave != 0 && (kind == kReplaceLoad || !SessionFile.empty());
  if (saveFirst) {
    // Takes end before the save, as New ends them (the load would end them
    // after it, and the file would not name them).
    EndRecordings();
    SayReplaceWait(SessionFile);
    SaveThenReplace(SessionFolder, SessionFile);
  } else {
    Replace();
  }
}

// Saves the synth under the path typed in the box, then goes on.
void SaveUnderTyped() {
  const std::string path = EditText();
  const size_t cut = path.find_last_of("\\/");
  if (path.empty() || cut == std::string::npos || cut + 1 == path.size()) {
    AskSaveElsewhere(-QUARLE_BASICS::kErrFileNotFound);
  } else {
    SayReplaceWait(path.substr(cut + 1));
    SaveThenReplace(path.substr(0, cut), path.substr(cut + 1));
  }
}

// The user's answer to a question of ReplaceSynth. A question withdrawn for
// another one (its "no" comes from the box itself) keeps the synth; a wait's
// box withdrawn so leaves the wait going.
void ReplaceAnswered(int32_t source) {
  const bool yes = PanelDialogAnswer() == -1;
  const int32_t question = PanelDialogWord(1);
  if (Replacing.Kind == kReplaceNone) return;
  if (source == SlotId(kUiDB)) {
    if (question != kAskWait && question != kAskQuiet) Replacing = PendingReplace{};
  } else if (question == kAskWait) {
    if (!yes) LeaveWait();
  } else if (question == kAskQuiet) {
    if (yes)
      SaveUnderTyped();
    else
      LeaveWait();
  } else if (question == kAskElsewhere && yes) {
    SaveUnderTyped();
  } else if (question == kAskElsewhere) {
    AskDiscard();
  } else if (yes) {
    Replace();
  } else {
    Replacing = PendingReplace{};
  }
}

// --- Rename -----------------------------------------------------------------------------

void RenameAnswered(int32_t list, int32_t index, const std::string& typed) {
  // As typed: spaces at either end are part of a name.
  // A name with a separator would move the file, "." and ".." name folders, an
  // empty one hides it, and control characters cannot be typed back.
  const bool control = platform::HoldsControlCharacter(typed);
  if (typed.empty() || typed == "." || typed == ".." || control ||
      typed.find_first_of("\\/") != std::string::npos) {
    Error(LangText(204, "Renaming error: ") + ErrorText(-19));
    return;
  }
  // The typed extension stays as typed; a name without it gets the old one.
  std::string newName = typed, base = typed;
  if (!RenameExtension.empty()) {
    const size_t p = platform::UpperCase(typed).rfind(platform::UpperCase(RenameExtension));
    if (p != std::string::npos)
      base = typed.substr(0, p);
    else
      newName = typed + platform::LowerCase(RenameExtension);
  }
  // Another file of the new name would be replaced and lost.
  const auto refuseExisting = [&](const std::string& folder, const std::string& prefix) {
    if (newName == RenameOldName) return false;
    if (!platform::FileExists(folder + "\\" + newName) && !platform::FolderExists(folder + "\\" + newName))
      return false;
    Error(prefix + newName + " - " + ErrorText(-QUARLE_BASICS::kErrFileAccess));
    return true;
  };
  if (list == Files()) {
    if (refuseExisting(RenameFolder, LangText(204, "Renaming error: "))) return;
    const int32_t r =
        platform::FileRename(RenameFolder + "\\" + RenameOldName, RenameFolder + "\\" + newName);
    if (r != 0) {
      Error(LangText(204, "Renaming error: ") + ErrorText(r));
      return;
    }
    const std::string ext = platform::UpperCase(RenameExtension);
    if (ext == ".WAV" || ext == ".WAVE") {
      platform::MutexGuard guard(SampleLibrary.header.lock);
      for (int32_t i = 0; i < SampleLibrary.header.count; ++i) {
        WaveLibraryEntry* e = WaveLibraryListAt(SampleLibrary, i);
        if (e && QUARLE_BASICS::DynZStringGet(e->Folder) == RenameFolder &&
            QUARLE_BASICS::DynZStringGet(e->File) == RenameOldName) {
          QUARLE_BASICS::DynZStringAssign(e->File, newName);
          LibraryChanged = -1;
          break;
        }
      }
      PublishText(Sam(), -1);
    } else if (ext == ".TARVELO") {
      if (SessionFolder == RenameFolder && SessionFile == RenameOldName) {
        SessionFile = newName;
        SessionTitle = base;
        SaveSettings();
        ShowSessionCaption(base);
      }
    } else if (ext == ".TNG") {
      if (QUARLE_BASICS::DynZStringGet(ActiveTuning.Folder) == RenameFolder &&
          QUARLE_BASICS::DynZStringGet(ActiveTuning.FileName) == RenameOldName) {
        {
          // The render copies the active tuning whole (a tuning change), so
          // its name changes under its lock too; active before edited.
          platform::MutexGuard active(MT_TUNINGS[kActiveTuning]);
          QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, newName);
          platform::MutexGuard edited(MT_TUNINGS[kEditedTuning]);
          QUARLE_BASICS::DynZStringAssign(EditedTuning.FileName, newName);
        }
        SetTextOf(SlotId(kUiTNGNAME), newName);
        PublishText(SlotId(kUiTNGNAME), -1);
      }
    }
    Relist();
    PublishText(Files(), -1);
    PanelSelectBrowserFile(newName);
  } else if (list == Sam()) {
    WaveLibraryEntry* e = WaveLibraryListAt(SampleLibrary, index);
    if (!e) return;
    RenameFolder = QUARLE_BASICS::DynZStringGet(e->Folder);
    if (refuseExisting(RenameFolder, LangText(205, "Renaming error: "))) {
      PublishText(Sam(), -1);
      return;
    }
    const int32_t r =
        platform::FileRename(RenameFolder + "\\" + RenameOldName, RenameFolder + "\\" + newName);
    if (r != 0) {
      // The entry keeps naming the file that is still there.
      Error(LangText(205, "Renaming error: ") + ErrorText(r));
    } else {
      Relist();
      PublishText(Files(), -1);
      {
        // The library's draw reads the name under the lock.
        platform::MutexGuard guard(SampleLibrary.header.lock);
        QUARLE_BASICS::DynZStringAssign(e->File, newName);
      }
      LibraryChanged = -1;
    }
    PublishText(Sam(), -1);
  }
}

// The rename once no save of the file is held, with the names it was asked for.
void RenameWhenSaved(int32_t list, int32_t index, const std::string& typed) {
  std::string folder = RenameFolder;
  if (list == Sam()) {
    const WaveLibraryEntry* e = WaveLibraryListAt(SampleLibrary, index);
    if (!e) return;
    folder = QUARLE_BASICS::DynZStringGet(e->Folder);
  }
  const std::string old = RenameOldName, extension = RenameExtension;
  WhenSaved("rename", folder + "\\" + old, [list, index, typed, folder, old, extension] {
    RenameFolder = folder;
    RenameOldName = old;
    RenameExtension = extension;
    RenameAnswered(list, index, typed);
  });
}

// --- Delete -------------------------------------------------------------------------------

void DeleteModuleAndTell(ModuleRecord* m, uint32_t message) {
  PanelDeleteModule(m);
  PublishText(MidiCc(), -1);
  Status(LangText(message, "Module deleted."));
}

void DeleteAnswered() {
  switch (PanelDialogWord(3)) {
    case 0: {
      const std::string path = EditText();
      WhenSaved("delete", path, [path] {
        const int32_t r = platform::FileDelete(path);
        if (r != 0) {
          Error(LangText(214, "Deleting error: ") + ErrorText(r));
        } else {
          Status(LangText(215, "The file has been deleted."));
          Relist();
          PanelSelectBrowserFile("");
        }
      });
      break;
    }
    case 1: {
      const int32_t map = PanelDialogWord(2);
      if (map >= 0 && map < kMidiMapCount) {
        ResetMidiMap(MidiMaps[map]);
        QUARLE_AUDIO::RefreshMidiDeviceList(-1);
        UnbindKeyboardsFromDevice(map);  // the slot the dialog asked about
        RefreshMidiMark();
      }
      break;
    }
    case 2: {
      // Global ports read the templates' values while playing: they change
      // between two frames.
      FrameHold hold;
      if (!hold.held) {
        Status(WaitingForAudioText());
        break;
      }
      ApplyAllMasterPresets();
      Status(LangText(216, "All master presets have been reset."));
      break;
    }
    default:
      break;
  }
}

// Load of a listed file, by its kind: a sample joins the library, a tuning
// becomes the active one, a synth replaces the synth, a melody is loaded.
void LoadListedFile(const std::string& folder, const std::string& name, int32_t id) {
  int32_t code = 0;
  const std::string ext = UpperExtension(name);
  if (ext == "WAV" || ext == "WAVE") {
    if (FindLoadedWave(folder, name, -1) >= 0) {
      Status(LangText(232, "This file is already in the library."));
    } else {
      code = ConvertAndLoadWave(folder, name);
      if (code >= 0) {
        Status(name + " " + LangText(233, "is now in the library."));
        SelectionOneOn(Files(), ListingCount());
        PublishText(Sam(), -1);
      }
    }
  } else if (ext == "TNG") {
    // A refused file leaves the edited tuning untouched (the loader reads
    // the whole file first), so its unsaved edits stay.
    {
      platform::MutexGuard edited(MT_TUNINGS[kEditedTuning]);
      code = LoadTuning(EditedTuning, folder, name);
    }
    if (code == 0) {
      // Both tuning locks are taken active first, as everywhere.
      platform::MutexGuard active(MT_TUNINGS[kActiveTuning]);
      platform::MutexGuard edited(MT_TUNINGS[kEditedTuning]);
      CopyTuning(ActiveTuning, EditedTuning);
      PublishText(SlotId(kUiSCALELIST), -1);
    }
  } else if (ext == "TARVELO") {
    ReplaceSynth(kReplaceLoad, id, folder, name);
  } else if (ext == "MEL") {
    code = LoadMelody(folder, name);
  } else {
    Status(LangText(234, "The selected file is not supported."));
  }
  if (ext == "TNG" && code == 0) {
    RefreshTuningPanel();
    RequestTuningApply();
  }
  if (code < 0) Error(LangText(236, "Loading error: ") + ErrorText(code));
}

// ListAndIndex for a button that needs an item: false, with the matching
// status text, when there is neither list nor module or nothing is selected.
bool ItemToActOn(int32_t& list, int32_t& index, const std::string& noList, const std::string& noItem) {
  bool none = false;
  ListAndIndex(list, index, none);
  if (none) {
    Status(noList);
    return false;
  }
  if (index < 0) {
    Status(noItem);
    return false;
  }
  return true;
}

}  // namespace

std::string SynthNameElsewhere() {
  const std::string synths = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\SYNTHS";
  const std::string title = SessionTitle.empty() ? std::string("Synth") : SessionTitle;
  return synths + "\\" + platform::FreeFileName(synths, title + ".tarvelo");
}

std::string ListActsWaitingText() {
  WatchWait();
  return Waiting.list.empty() ? std::string() : Waiting.list.back().second;
}

void ShowOctaveBoardState() {
  const int32_t i = CurrentOctaveBoardIndex.Load();
  const KeyboardState* s = i >= 0 && i < kKeyboardBankSize ? OctaveBoardStates[i].Load() : nullptr;
  if (!s) return;
  if (ControlRecord* ik = SlotCtl(kUiBBIK)) {
    ik->Text.Selected = s->Stamp.Load();
    ik->State.On = s->Stamp.Load() == 0 ? -1 : 0;
    V::ControlPublish(ik, -1);
  }
  SetOnWord(SlotId(kUiBBLOCK), s->LockFlag.Load());
  LayOutOctaveBoard();
  PublishText(SlotId(kUiBB), -1);
}

void ShowKeyboardState() {
  const int32_t i = CurrentKeyboardIndex.Load();
  const KeyboardState* s = i >= 0 && i < kKeyboardBankSize ? KeyboardStates[i].Load() : nullptr;
  if (!s) return;
  if (ControlRecord* pos = SlotCtl(kUiKBPOS)) {
    pos->Text.Selected = s->KeyOffset.Load() + 8 * NotesPerOctave();
    V::ControlPublishText(pos, -1);
  }
  if (ControlRecord* ik = SlotCtl(kUiKBIK)) {
    ik->Text.Selected = s->Stamp.Load();
    ik->State.On = s->Stamp.Load() == 0 ? -1 : 0;
    V::ControlPublish(ik, -1);
  }
  SetOnWord(SlotId(kUiKBLOCK), s->LockFlag.Load());
  PublishText(SlotId(kUiKB), -1);
}

int32_t OnListOrder(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  const int32_t list = PanelActiveBrowserList();
  ControlRecord* c = PanelCtl(list);
  if (!c || list <= 0) return 0;
  c->Text.Reversed = c->Text.Reversed != 0 ? 0 : -1;
  c->Text.Changed = -1;
  V::ControlPublishText(c, -1);
  if (ControlRecord* order = PanelCtl(id)) {
    order->Text.Selected = static_cast<int32_t>(c->Text.Reversed + 1);
    order->Text.Changed = -1;
  }
  if (list == Files()) PanelSelectBrowserFile("");
  return 0;
}

int32_t OnListRename(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  if (PanelTakeDialogAnswered() != 0) {
    if (PanelDialogAnswer() == -1) RenameWhenSaved(PanelDialogWord(3), PanelDialogWord(2), EditText());
    SetOnWord(id, 0);
    return 0;
  }
  if (PanelDialogOwner() == id) {
    PanelCloseDialog();
    SetOnWord(id, 0);
    RenameOldName.clear();
    return 0;
  }
  const int32_t list = PanelActiveBrowserList();
  if (list <= 0) {
    Status(LangText(206, "No visible list from which to rename."));
    return 0;
  }
  const int32_t index = Selected(list);
  if (index < 0) {
    Status(LangText(207, "No item is selected."));
    return 0;
  }
  if (list == Files()) {
    RenameFolder = platform::CurrentFolder();
    RenameOldName = ListingName(index);
  } else if (list == Sam()) {
    const WaveLibraryEntry* e = WaveLibraryListAt(SampleLibrary, index);
    if (!e) {
      Status(LangText(207, "No item is selected."));
      return 0;
    }
    RenameOldName = QUARLE_BASICS::DynZStringGet(e->File);
  } else {
    Status(LangText(208, "The selected item cannot be renamed."));
    return 0;
  }
  const size_t dot = RenameOldName.rfind('.');
  RenameExtension = dot == std::string::npos ? "" : RenameOldName.substr(dot);
  PanelOpenDialog(id, LangText(209, "Enter a new name: "), -1, RenameOldName, 1, index, list);
  SetOnWord(id, -1);
  return 0;
}

int32_t OnListCopy(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  int32_t list = 0, index = -1;
  if (!ItemToActOn(list, index, LangText(210, "No visible list from which to copy."), LangText(211, "No selected item to copy."))) return 0;
  if (list == Refm() || (list == Libm() && index < ModuleList.count)) {
    const int32_t r = CreateFromList(list, index);
    if (r >= 0) PanelSelectModule(ListedModule(r), -1);
  } else if (list == Files()) {
    const std::string folder = platform::CurrentFolder();
    const std::string name = ListingName(index);
    WhenSaved("copy", folder + "\\" + name, [folder, name] {
      // Listed and selected once the saver has put the copy on the disk, or why not.
      const auto copied = [folder](const std::string& copy, int32_t rc) {
        if (rc != 0) {
          Error(LangText(212, "File copy error: ") + ErrorText(rc));
        } else if (folder == platform::CurrentFolder()) {
          Relist();
          PanelSelectBrowserFile(copy);
        }
      };
      if (UniqueFileName(folder, name, copied).empty())
        copied("", platform::FileExists(folder + "\\" + name) ? -20 : -24);
    });
  } else {
    Status(LangText(213, "The selected item cannot be copied."));
  }
  return 0;
}

int32_t OnListDelete(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  if (PanelTakeDialogAnswered() != 0) {
    if (PanelDialogAnswer() == -1) DeleteAnswered();
    SetOnWord(id, 0);
    SetButtonDisabled(id, 0);
    return 0;
  }
  bool handled = false, confirming = false;
  int32_t list = PanelActiveBrowserList();
  if (list <= 0) {
    if (!SelectedModule) {
      Status(LangText(217, "No visible list from which to delete."));
      return 0;
    }
    list = Libm();
  }
  const int32_t index = Selected(list);
  if (list == Refm()) {
    if (index == -1 && !SelectedModule) {
      PanelOpenDialog(id, LangText(218, "Confirm reset of all master presets?"), 0, "", 0, -1, 2);
      handled = true;
    } else if (index >= 0 && index < kModuleTypeCount) {
      const int32_t type = ModulePaletteOrder[index];
      FrameHold hold;
      if (!hold.held) {
        Status(WaitingForAudioText());
        return 0;
      }
      ApplyMasterPreset(MasterPresets[type], 0);
      Status(QUARLE_BASICS::InsertArg(LangText(219, "Master preset of {$} reset."),
                                      QUARLE_BASICS::DynZStringGet(ModuleCatalog[type].Name)));
      handled = true;
    }
  } else if (list == Libm()) {
    if (ModuleRecord* m = ListedModule(index)) {
      DeleteModuleAndTell(m, 220);
      handled = true;
    }
  } else if (list == Files()) {
    if (index >= 0 && index < ListingCount()) {
      const std::string name = ListingName(index);
      PanelOpenDialog(id, LangText(221, "Confirm permanent deletion of file: ") + name, 0,
                      ListingFolder(index) + "\\" + name, 0, index, 0);
      handled = confirming = true;
    }
  } else if (list == Sam()) {
    if (index >= 0) {
      RemoveLibraryEntry(index);
      handled = true;
    }
  } else if (list == MidiCc()) {
    const int32_t map = PanelSelectedMidiMap();
    if (index < 1) {
      std::string name;
      bool found = false;
      {
        platform::MutexGuard guard(MT_MIDIMAPS);
        if (map >= 0 && map < kMidiMapCount) {
          name = MidiMaps[map].DeviceName;
          found = true;
        }
      }
      if (found) {
        PanelOpenDialog(id, LangText(222, "Confirm permanent deletion of MIDI Map for device: ") + name,
                        0, "", 0, map, 1);
        confirming = true;
      }
    } else {
      const ControlRecord* channels = SlotCtl(kUiMIDICCCH);
      const int32_t ch = channels ? channels->Text.Selected : -1;
      bool cleared = false;
      {
        platform::MutexGuard guard(MT_MIDIMAPS);
        if (map >= 0 && map < kMidiMapCount && ch >= 0 && ch < kMidiMapColumns &&
            index - 1 < kMidiMapRows) {
          ClearMidiMapEntry(MidiMaps[map].Entries[index - 1][ch]);
          cleared = true;
        }
      }
      if (cleared) {
        PublishText(MidiCc(), -1);
        if (ControlRecord* type = SlotCtl(kUiMIDICCCT)) {
          type->Text.Selected = 0;
          const std::string autoDetect = QUARLE_AUDIO::MidiControllerTypeNames[0][0] != '\0'
                                             ? QUARLE_AUDIO::MidiControllerTypeNames[0]
                                             : LangText(105, "[ Auto-detect ]");
          V::TextFieldSetText(&type->Text, autoDetect.c_str());
          V::ControlPublishText(type, -1);
        }
        RefreshMidiMark();
      }
    }
    handled = true;
  }
  if (confirming) {
    SetOnWord(id, -1);
    SetButtonDisabled(id, -1);
  }
  if (!handled && ModuleStandsInFor(list)) {
    ModuleRecord* m = SelectedModule;
    if (m && m->Role == kRoleLive && ListedModule(m->ListIndex.Load()) == m) {
      DeleteModuleAndTell(m, 223);
      handled = true;
    }
  }
  if (!handled) {
    if (index < 0 && !ModuleStandsInFor(list))
      Status(LangText(207, "No item is selected."));
    else
      Status(LangText(224, "Nothing to delete"));
  }
  return 0;
}

int32_t OnListSave(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  enum : int32_t { kNone = 0, kSynth = 1, kTuning = 2, kSession = 4 };
  int32_t kind = kNone;
  bool proceed = false;
  std::string name, folder = platform::CurrentFolder();
  if (PanelTakeDialogAnswered() == 0) {
    const int32_t list = PanelActiveBrowserList();
    const int32_t index = list > 0 ? Selected(list) : -1;
    if (list > 0 && list == Files()) {
      if (index < 0) {
        const ControlRecord* session = SlotCtl(kUiTABSES);
        if (session && session->State.On != 0) {
          kind = kSession;
        } else {
          kind = kSynth;
          name = SessionFile;
        }
        proceed = true;
      } else {
        name = ListingName(index);
        const std::string ext = UpperExtension(name);
        if (ext == "TARVELO" || ext == "TNG") {
          kind = ext == "TNG" ? kTuning : kSynth;
          // The whole path goes with the question: the browser may move on before the answer.
          PanelOpenDialog(id, LangText(225, "Confirm overwriting of") + ": " + name + " ?", 0,
                          platform::CurrentFolder() + "\\" + name, 0, index, kind);
          SetOnWord(id, -1);
          SetButtonDisabled(id, -1);
          return 0;
        }
      }
    }
    if (kind == kNone) {
      kind = kSession;
      proceed = true;
    }
  } else {
    if (PanelDialogAnswer() == -1) {
      const std::string path = EditText();
      if (const size_t cut = path.rfind('\\'); cut != std::string::npos) {
        kind = PanelDialogWord(3);
        folder = path.substr(0, cut);
        name = path.substr(cut + 1);
      }
    }
    SetOnWord(id, 0);
    SetButtonDisabled(id, 0);
    proceed = true;
  }
  // Said once the file is on the disk (the saver's outcome), or why not.
  auto tell = [proceed, kind](const std::string& folder, const std::string& name, int32_t result) {
    if (result != 0) {
      Error(LangText(227, "Saving error: ") + ErrorText(result));
      ShowMessageTab(0);
    } else if (proceed) {
      if (platform::FileExists(folder + "\\" + name)) {
        Relist();
        if (folder == platform::CurrentFolder()) PanelSelectBrowserFile(name);
        Status(name + " " + SavedText(kind == kTuning));
      } else {
        Error(LangText(229, "Unknown error while saving: ") + name);
      }
    }
  };
  if (kind == kSynth || kind == kSession) {
    if (kind == kSession) {
      folder = SessionFolder;
      name = SessionFile;
    }
    SaveSessionThen(folder, name, [tell, folder, name](int32_t result) { tell(folder, name, result); });
  } else if (kind == kTuning) {
    {
      // The render copies the active tuning under its lock; the file is
      // written outside it (this thread is the tuning's one writer).
      platform::MutexGuard active(MT_TUNINGS[kActiveTuning]);
      QUARLE_BASICS::DynZStringAssign(ActiveTuning.Folder, folder);
      QUARLE_BASICS::DynZStringAssign(ActiveTuning.FileName, name);
    }
    const auto told = [tell, folder, name](int32_t result) { tell(folder, name, result); };
    if (const int32_t r = SaveTuningThen(ActiveTuning, MT_TUNINGS[kActiveTuning], told); r != 0) told(r);
  } else {
    Status(LangText(226, "Nothing to save."));
  }
  return 0;
}

int32_t OnListLoad(uint32_t bits, int32_t, int32_t, int32_t id, int32_t source) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  if (PanelTakeDialogAnswered() != 0) {
    // The acts' box withdrawn for another question leaves them waiting.
    if (PanelDialogWord(1) == kAskActs) {
      if (source != SlotId(kUiDB) && PanelDialogAnswer() != -1) LeaveActs();
    } else {
      ReplaceAnswered(source);
    }
    return 0;
  }
  int32_t list = 0, index = -1;
  if (!ItemToActOn(list, index, LangText(230, "No visible list from which to load."), LangText(231, "No selected item to load."))) return 0;
  int32_t code = 0;
  std::string reason;  // the error box's, when not the code's text
  if (list == Refm() || list == Libm()) {
    if (list == Refm() || index < ModuleList.count) CreateFromList(list, index);
  } else if (list == Files()) {
    const std::string name = ListingName(index);
    const std::string folder = ListingFolder(index);
    // A synth's Load waits in the order of the acts that replace the synth.
    if (UpperExtension(name) == "TARVELO")
      LoadListedFile(folder, name, id);
    else
      WhenSaved("load", folder + "\\" + name, [folder, name, id] { LoadListedFile(folder, name, id); });
  } else if (list == Sam()) {
    const WaveLibraryEntry* e = WaveLibraryListAt(SampleLibrary, index);
    if (!e) return 0;
    const ControlRecord* channels = SlotCtl(kUiSLIBC);
    code = AddLoadedWave(*e, channels ? channels->Text.Selected : 0);
    if (code >= 0) {
      Status(QUARLE_BASICS::DynZStringGet(e->File) + " " + LangText(235, "is now loaded in memory."));
      SelectionOneOn(Sam(), SampleLibrary.header.count);
      if (!SelectedModule || SelectedModule->Type != kTypeSample)
        PanelSelectModule(&ModuleCatalog[kTypeSample], -1);
      const int32_t samples = SlotId(kUiMODTAB0) > 0 ? SlotId(kUiMODTAB0) + 2 : 0;
      const ControlRecord* tab = PanelCtl(samples);
      if (tab && V::ControlVisible(tab) && tab->State.On == 0) {
        OnModuleTab(V::kEventPress, 0, 0, samples, 0);
        V::UpdateControl(samples, 0);
      }
    }
  }
  if (code < 0) Error(LangText(236, "Loading error: ") + (reason.empty() ? ErrorText(code) : reason));
  return 0;
}

int32_t OnNewSynth(uint32_t bits, int32_t, int32_t, int32_t id, int32_t source) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  if (PanelTakeDialogAnswered() != 0) {
    ReplaceAnswered(source);
    return 0;
  }
  // Recordings end before the session is saved, so it keeps what they hold.
  EndRecordings();
  ReplaceSynth(kReplaceNew, id, "", "");
  return 0;
}

namespace {

void StartNewSynth() {
  PanelSelectModule(nullptr, -1);
  SetOnWord(SlotId(kUiSOUT), 0);
  ClearSynth();
  ResetMidiMaps();
  QUARLE_AUDIO::RefreshMidiDeviceList(-1);
  ReleaseAllKeys();
  {
    // A controller learned on a Catalog row moves its template on the render
    // while playing: the templates change between two frames.
    FrameHold hold;
    if (hold.held)
      ApplyAllMasterPresets();
    else
      Report(WaitingForAudioText(), QUARLE_BASICS::kLevelWarning);
  }
  PostControlEvent(SlotId(kUiSTB_CP), 0, V::kEventClick);
  const std::string synths = QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder) + "\\SYNTHS";
  const std::string name = platform::FreeFileName(synths, "NewSynth_" + QUARLE_BASICS::TimeStampText() + ".tarvelo");
  // The empty synth is the session before its first save, whatever that save
  // does: named after the synth it replaced, a later save (the auto-save once
  // the disk takes writes again) would put it over that synth's file.
  NameSession(synths, name);
  ForgetSessionSaveFailure();
  SaveSession(synths, name);
  Relist();
  PanelSelectBrowserFile(SessionFile);
  ShowSessionCaption(SessionTitle);
  PublishText(Libm(), -1);
  ShowOctaveBoardState();
  ShowKeyboardState();
  ClearHistory();
}

}  // namespace

}  // namespace Tarvelo
