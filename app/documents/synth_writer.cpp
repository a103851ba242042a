#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "app/documents/doc_hooks.h"
#include "app/documents/doc_io.h"
#include "app/documents/melody_file.h"
#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "app/state/settings.h"
#include "app/state/ui_hooks.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/sequencer.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;

std::atomic<float> OutputLevel{0.5f};
double KeyboardPendingWait = 1.0;

namespace {

constexpr int32_t kTypeConvolutiveFilter = 17;


void ReportUnsaved(const std::string& failTemplate, const WaveLibraryEntry& e, int32_t rc) {
  Report(InsertArg(failTemplate, DynZStringGet(e.File)) + ErrorText(rc), kLevelError);
}

enum SavedKind { kSavedSample, kSavedFilter, kSavedMelody };

// A saved entry whose file was deleted while its sound stayed in memory: the
// synth would keep only its name and lose the sound at the next load.
bool FileVanished(const WaveLibraryEntry& e) {
  if (e.LoadState != kWaveDataHeld || e.Sound.samples == nullptr || e.Sound.dataSize == 0) return false;
  const std::string file = DynZStringGet(e.File);
  return !file.empty() && !platform::FileExists(DynZStringGet(e.Folder) + "\\" + file);
}

// Saves the synth being taken handed over for its entries, by path.
// one thread: interface
std::vector<std::pair<std::string, platform::SaveOutcome>> Handed;

// SaveIfUnsaved's word for a file handed to the saver: the synth's own save,
// queued behind it, names it only once it is on the disk.
constexpr int32_t kHandedOver = 1;

// Writes an unsaved entry (or one whose file vanished) to its file; a sample
// then joins the sample library. An entry still being recorded (busy) is left
// unsaved and as busy as it is: the first save after its recording ended
// writes it whole. With `handOver` and a saver running the file goes to the
// saver (kHandedOver), unless it refused it in an earlier try of this save.
// 0 when the entry has its file (written now or before), else the write's error.
int32_t SaveIfUnsaved(WaveLibraryEntry* e, SavedKind kind, const std::string& failTemplate, bool handOver) {
  if (e == nullptr || e->State.Load(std::memory_order_acquire) != kWaveIdle) return 0;
  if (e->Saved != 0 && !FileVanished(*e)) return 0;
  const std::string folder = DynZStringGet(e->Folder);
  const std::string file = DynZStringGet(e->File);
  if (handOver && platform::SaverRunning()) {
    const std::string path = folder + "\\" + file;
    platform::SaveOutcome outcome = platform::NewSaveOutcome();
    auto done = [failTemplate, folder, file, kind](int32_t rc) {
      if (rc != 0) {
        Report(InsertArg(failTemplate, file) + ErrorText(rc), kLevelError);
      } else if (kind == kSavedSample && FindLoadedWave(folder, file, 0) < 0) {
        ConvertAndLoadWave(folder, file);
      }
    };
    const int32_t rc = kind == kSavedMelody ? SaveMelodyThen(e, outcome, done) : SaveWaveRecordThen(e, outcome, done);
    if (rc != 0) {
      ReportUnsaved(failTemplate, *e, rc);
      return rc;
    }
    Handed.emplace_back(path, std::move(outcome));
    return kHandedOver;
  }
  const int32_t rc = kind == kSavedMelody ? SaveMelody(e) : SaveWaveRecord(e);
  if (rc != 0) {
    ReportUnsaved(failTemplate, *e, rc);
    return rc;
  }
  if (kind == kSavedSample && FindLoadedWave(folder, file, 0) < 0) ConvertAndLoadWave(folder, file);
  return 0;
}

// What the file being written names, in its order, and what it leaves out; a
// module's record names its entry by its place among the named (interface
// thread, during a save).
// one thread: interface
std::vector<const WaveLibraryEntry*> NamedSamples;
std::vector<const WaveLibraryEntry*> NamedFilters;
std::vector<const WaveLibraryEntry*> NamedMelodies;
std::vector<SaveLeftOutEntry> LeftOut;
std::vector<std::string> TakesLeftOut;

// Writes an entry that has no file yet, and says whether the synth file may
// name it: only an entry whose file this save or an earlier one wrote (or
// that was loaded from one). A take still being recorded (busy) or one whose
// own file could not be written (a full disk) is left out, so a load never
// looks for a file that never reached the disk; the entry stays in its list
// unsaved and the first save that writes it names it. A module playing it
// names no entry meanwhile. A saved sound whose file vanished and cannot be
// written again keeps its name (the log says why): the load looks for it
// where its data folder keeps such files.
bool Nameable(WaveLibraryEntry* e, SavedKind kind, const std::string& failTemplate, const SynthTaken* dryAfter,
              std::vector<SaveLeftOutEntry>& leftOut) {
  const std::string path = DynZStringGet(e->Folder) + "\\" + DynZStringGet(e->File);
  if (dryAfter != nullptr) {
    // A look that writes nothing: an entry without its file counts as named
    // unless the save it is compared with left it out.
    if (e->State.Load(std::memory_order_acquire) != kWaveIdle) return false;
    return e->Saved != 0 || std::none_of(dryAfter->LeftOutPaths.begin(), dryAfter->LeftOutPaths.end(),
                                          [&](const std::string& p) { return p == path; });
  }
  const int32_t rc = SaveIfUnsaved(e, kind, failTemplate, true);
  if (e->State.Load(std::memory_order_acquire) != kWaveIdle) return false;
  if (e->Saved != 0 || rc == kHandedOver) return true;
  leftOut.push_back({DynZStringGet(e->File), rc});
  return false;
}

// The entries of a list the file names (an empty slot stays one), under its
// lock, and what the file says of each.
void NameEntries(WaveLibraryList& list, SavedKind kind, const std::string& failTemplate, const SynthTaken* dryAfter,
                 std::vector<const WaveLibraryEntry*>& named, std::vector<SynthTaken::Named>& taken,
                 std::vector<SaveLeftOutEntry>& leftOut, std::vector<std::string>& leftOutPaths) {
  platform::MutexGuard guard(list.header.lock);
  const int32_t count = list.entries != nullptr ? list.header.count : 0;
  named.clear();
  taken.clear();
  for (int32_t i = 0; i < count; ++i) {
    WaveLibraryEntry* e = list.entries[i];
    const size_t before = leftOut.size();
    if (e == nullptr || Nameable(e, kind, failTemplate, dryAfter, leftOut)) {
      named.push_back(e);
      SynthTaken::Named n;
      if (e != nullptr) {
        n.Choice = e->ChannelChoice;
        n.Folder = DynZStringGet(e->Folder);
        n.File = DynZStringGet(e->File);
      }
      taken.push_back(std::move(n));
    } else if (leftOut.size() > before) {
      leftOutPaths.push_back(DynZStringGet(e->Folder) + "\\" + DynZStringGet(e->File));
    }
  }
}

int32_t NamedPosition(const std::vector<const WaveLibraryEntry*>& named, const WaveLibraryEntry* e) {
  for (size_t i = 0; i < named.size(); ++i)
    if (named[i] == e) return static_cast<int32_t>(i);
  return -1;
}

// A module whose take the file cannot name (still recording, or ended after
// the lists were named) is written as it was before the take: the sound or
// melody it played when REC began it, REC off, its voices from the start, as
// a load then plays it. The take is said to be left out. An entry left out
// because its own file could not be written is no take's: that is said apart.
bool WriteAsBeforeTake(ModuleFileRecord& r, const ModuleRecord& m, const std::vector<std::string>& leftOutPaths) {
  const WaveLibraryEntry* e = m.SampleEntry.Load();
  const std::vector<const WaveLibraryEntry*>& named = m.Type == kTypeSample                ? NamedSamples
                                                      : m.Type == kTypeConvolutiveFilter ? NamedFilters
                                                                                         : NamedMelodies;
  if (e == nullptr || NamedPosition(named, e) >= 0) return false;
  const SoundBeforeTake* before = SoundBeforeTakeOf(m);
  if (before == nullptr && m.ModuleSwitches[kSwitchRecord].Load() == 0) return false;
  const std::string path = DynZStringGet(e->Folder) + "\\" + DynZStringGet(e->File);
  if (std::find(leftOutPaths.begin(), leftOutPaths.end(), path) != leftOutPaths.end()) return false;
  r.Switches[kSwitchRecord] = 0;
  if (m.KeepsState != 0)
    for (int32_t ch = 0; ch < 2; ++ch)
      for (int32_t v = 0; v < kVoices; ++v) r.Slots[ch][v][0] = 0.0f;
  if (before == nullptr || (m.Type != kTypeSample && m.Type != kTypeSequencer)) return true;
  // The entry it played, unless it left its list meanwhile (its address may
  // since be another's).
  int32_t at = NamedPosition(named, before->Entry);
  if (at >= 0 && (DynZStringGet(named[at]->Folder) != before->Folder || DynZStringGet(named[at]->File) != before->File))
    at = -1;
  r.LibraryIndex = at;
  r.Slots[1][32][1] = static_cast<float>(before->OutputChannels);
  if (m.Type == kTypeSample) r.SampleRateMark = SampleRateMark(at >= 0 ? named[at] : nullptr, before->OlderFrequency);
  return true;
}

std::string ModuleLabel(const ModuleRecord& m) {
  return DynZStringGet(m.Name) + " #" + std::to_string(m.InstanceNumber.Load());
}

// Each state as it stands once the render callback took its pending change;
// the copy is taken under the state's two locks (voices, then held keys: the
// key handlers change held keys under the second alone). The render callback takes
// every pending change at its next frame, so one deadline serves the whole
// save: the wait sleeps between looks and ends at the deadline, after which
// the states are written as they stand and the save says so once. A reset
// still to come (every key let go while playing, as New does just before its
// save) is no wait: the copy is written as the reset leaves it, so no voice
// it ends sounds in the file.
void WriteKeyboardBank(std::string& w, const Shared<KeyboardState*>* bank, platform::Mutex* const* voiceLocks,
                       platform::Mutex* const* keyLocks, double deadline, bool& unanswered) {
  for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
    KeyboardState copy;
    KeyboardState* state = bank[k].Load();
    if (state == nullptr) {
      KeyboardStateInit(copy);
    } else {
      while (!unanswered && PlaybackActive.load() != 0 && state->Pending.Load() == kPendingRebuild) {
        if (platform::HighResClock() >= deadline) {
          unanswered = true;
          QUARLE_BASICS::Report("The audio engine did not take the latest key changes within a second; "
                                "the keyboards are saved as they stand.",
                                QUARLE_BASICS::kLevelWarning);
          break;
        }
        platform::SleepMs(1);
      }
      {
        platform::MutexGuard voices(voiceLocks[k]);
        platform::MutexGuard keys(keyLocks[k]);
        KeyboardStateCopyOut(copy, *state);
      }
      ApplyPendingReset(copy);
      // A finger's note ends when the finger lets go, and nobody holds it in
      // the loaded synth: saved as let go. A locked keyboard's keys stay held.
      if (copy.LockFlag.Load() == 0) LetGoOfHeldKeys(copy);
    }
    w.append(reinterpret_cast<const char*>(&copy), sizeof copy);
  }
}

int32_t ClampedInt(float v) {
  if (!(v == v)) return 0;
  const double r = std::nearbyint(static_cast<double>(v));
  if (r <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  if (r >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  return static_cast<int32_t>(r);
}

bool ListHasHoles() {
  platform::MutexGuard guard(ModuleList.lock);
  for (int32_t i = 0; i < ModuleList.count; ++i)
    if (ModuleList.entries[i] == nullptr) return true;
  return false;
}

}  // namespace

const std::vector<SaveLeftOutEntry>& SaveSessionLeftOut() { return LeftOut; }

std::string SaveSessionTakesNote() {
  if (TakesLeftOut.empty()) return "";
  std::string names;
  for (const std::string& n : TakesLeftOut) names += (names.empty() ? "" : ", ") + n;
  return InsertArg(LangText(709, "The take still recording on {$} is not in the file (saved as it was before the "
                                 "take); save again once it ends."),
                   names);
}

int32_t SaveUnsavedLibraryEntries() {
  const std::string failTemplate = LangText(181, "Could not save {$}: ");
  // one thread: value
  const struct {
    WaveLibraryList* list;
    SavedKind kind;
  } lists[] = {{&SynthSamples, kSavedSample}, {&FilterLibrary, kSavedFilter}, {&MelodyLibrary, kSavedMelody}};
  int32_t first = 0;
  for (const auto& l : lists) {
    platform::MutexGuard guard(l.list->header.lock);
    for (int32_t i = 0; i < l.list->header.count && l.list->entries != nullptr; ++i)
      if (const int32_t rc = SaveIfUnsaved(l.list->entries[i], l.kind, failTemplate, false); rc != 0 && first == 0)
        first = rc;
  }
  return first;
}

int32_t SynthEntryListIndex(const ModuleRecord& m) {
  const WaveLibraryEntry* e = m.SampleEntry.Load();
  if (e == nullptr) return -1;
  switch (m.Type) {
    case kTypeSample:
      return NamedPosition(NamedSamples, e);
    case kTypeSequencer:
      return NamedPosition(NamedMelodies, e);
    case kTypeConvolutiveFilter:
      return NamedPosition(NamedFilters, e);
    default:
      return -1;
  }
}

namespace {

// Once the file is on the disk: it is the session the next start opens,
// unless another synth became the session meanwhile (a load, a new synth),
// whose later saves must not go to this file.
void SessionSaved(const std::string& folder, const std::string& name, const std::string& stem,
                  const std::string& askedFolder, const std::string& askedFile) {
  if (SessionFolder != askedFolder || SessionFile != askedFile) return;
  if (folder != SessionFolder || name != SessionFile) {
    SessionFolder = folder;
    SessionFile = name;
    SessionTitle = stem;
    SaveSettings();
  }
  if (StateInterfaceReady() != 0) DocShowSessionTitle(" " + stem);
}

// The last save of the session's synth that failed, by the session it was
// asked for: the synth then stands on no disk as it is.
// one thread: interface
int32_t FailedCode = 0;
std::string FailedFolder;
std::string FailedFile;

// A save's outcome for the synth of the session it was asked for: a failure
// marks it unsaved while it is still the session's; a save on the disk
// clears that, also one the session followed to its own file.
void NoteOutcome(int32_t rc, const std::string& askedFolder, const std::string& askedFile, const SynthTaken& t) {
  if (SessionFolder == askedFolder && SessionFile == askedFile) {
    FailedCode = rc;
    FailedFolder = askedFolder;
    FailedFile = askedFile;
  } else if (rc == 0 && SessionFolder == t.Folder && SessionFile == t.Name) {
    FailedCode = 0;
  }
}

// The list index of an entry once `dropped` (ascending positions) are left
// out of its list: -1 for a dropped one.
int32_t IndexWithout(int32_t index, const std::vector<int32_t>& dropped) {
  if (index < 0) return index;
  int32_t before = 0;
  for (const int32_t d : dropped) {
    if (d == index) return -1;
    if (d < index) ++before;
  }
  return index - before;
}

// Takes the synth as a file keeps it: what the file names (entries without
// a file handed to the saver first, unless `dryAfter` asks for a look that
// writes nothing, compared with that taking), the keyboards (not for a
// look), the modules and presets between two frames, the MIDI maps.
// 0, or -kErrUnknown when the render never paused (reported).
int32_t TakeSynth(SynthTaken& t, const std::string& name, const SynthTaken* dryAfter) {
  const std::string failTemplate = LangText(181, "Could not save {$}: ");
  WaveEntryListIndex = SynthEntryListIndex;
  // What the interface posted before the save runs first (a link, a module
  // switched off and the rebuild that resets its voices): the frame hold
  // below parks the render before it takes commands, and a copy taken with
  // one still waiting would hold the graph as it was before it, which the
  // load's own rebuild then changes.
  SettleEngineCommands();
  // A take that ended holding nothing leaves its list before the lists are
  // written: the render hands it over with a message this thread may not
  // have read yet, and its name would stand in the file for no file.
  TakeFinishedRecordings();

  DocumentWriter head;
  DocumentPutText(head, kSynthMagic);
  {
    platform::MutexGuard guard(MT_TUNINGS[kActiveTuning]);
    DocumentPutText(head, DynZStringGet(ActiveTuning.Folder));
    DocumentPutText(head, DynZStringGet(ActiveTuning.FileName));
  }
  DocumentPutF32(head, InputGain);
  DocumentPutF32(head, OutputLevel);
  t.Head = std::move(head.Bytes);

  NameEntries(SynthSamples, kSavedSample, failTemplate, dryAfter, NamedSamples, t.Samples, t.LeftOut, t.LeftOutPaths);
  NameEntries(FilterLibrary, kSavedFilter, failTemplate, dryAfter, NamedFilters, t.Filters, t.LeftOut, t.LeftOutPaths);
  NameEntries(MelodyLibrary, kSavedMelody, failTemplate, dryAfter, NamedMelodies, t.Melodies, t.LeftOut,
              t.LeftOutPaths);

  if (dryAfter == nullptr) {
    const double deadline = platform::HighResClock() + KeyboardPendingWait;
    bool unanswered = false;
    WriteKeyboardBank(t.Keyboards, OctaveBoardStates, OctaveBoardVoiceLocks, OctaveBoardKeyLocks, deadline, unanswered);
    WriteKeyboardBank(t.Keyboards, KeyboardStates, KeyboardVoiceLocks, KeyboardKeyLocks, deadline, unanswered);
  }

  // References are list positions, so the list must have no gaps.
  if (ListHasHoles()) CompactModuleList(ModuleList.count);

  int32_t sx = 0;
  int32_t sy = 0;
  int32_t px = 0;
  int32_t py = 0;
  DocOutputPortPosition(sx, sy);
  DocPlaneOffset(px, py);
  // A zoom that was never applied counts as 1.
  const float zoom = ZoomFactor > 0.0f && std::isfinite(ZoomFactor) ? ZoomFactor : 1.0f;
  const float inverse = 1.0f / zoom;

  // The records are copied between two frames of the render callback, all
  // at once (no I/O meanwhile), so the file never holds a half-updated module.
  const int32_t listed = ModuleList.entries != nullptr ? ModuleList.count : 0;
  try {
    t.Records.assign(static_cast<size_t>(listed) + kModuleTypeCount, ModuleFileRecord{});
  } catch (const std::bad_alloc&) {
    return -kErrAllocation;
  }
  int32_t n = 0;
  {
    // A render that does not stop at a frame boundary may be writing any
    // module: asked again, and then the save gives up and the file saved
    // before stays, rather than holding a module half of one frame and half
    // of the next. Once held, the render plays no module until the release,
    // however long the copy takes.
    if (!HoldFramesOrGiveUp()) {
      Report(InsertArg(failTemplate, name) + WaitingForAudioText(), kLevelError);
      return -kErrUnknown;
    }
    {
      platform::MutexGuard guard(ModuleList.lock);
      n = ModuleList.entries != nullptr ? std::min(ModuleList.count, listed) : 0;
      const ModuleRecord* out = SynthOutputModule.load();
      t.OutIndex = -1;
      if (out != nullptr && out->ListIndex.Load() >= 0 && out->ListIndex.Load() < n && ModuleList.entries[out->ListIndex.Load()] == out)
        t.OutIndex = out->ListIndex.Load();
      const std::vector<std::string>& leftOutPaths = dryAfter != nullptr ? dryAfter->LeftOutPaths : t.LeftOutPaths;
      for (int32_t i = 0; i < n; ++i) {
        ModuleToFileRecord(t.Records[i], ModuleList.entries[i]);
        if (WriteAsBeforeTake(t.Records[i], *ModuleList.entries[i], leftOutPaths))
          t.TakesLeftOut.push_back(ModuleLabel(*ModuleList.entries[i]));
      }
    }
    for (int32_t k = 0; k < kModuleTypeCount; ++k) ModuleToFileRecord(t.Records[n + k], &ModuleCatalog[k]);
    ReleaseFrames();
  }
  t.Records.resize(static_cast<size_t>(n) + kModuleTypeCount);
  t.Live = n;
  for (int32_t i = 0; i < n; ++i) {
    ModuleFileRecord& record = t.Records[i];
    const float x = static_cast<float>(sx) + static_cast<float>(record.X - sx) * inverse - static_cast<float>(px);
    const float y = static_cast<float>(sy) + static_cast<float>(record.Y - sy) * inverse - static_cast<float>(py);
    record.X = ClampedInt(x);
    record.Y = ClampedInt(y);
  }
  for (int32_t k = 0; k < kModuleTypeCount; ++k) {
    t.Records[n + k].X = 0;
    t.Records[n + k].Y = 0;
  }
  const std::vector<unsigned char> maps = MidiMapsBytes();
  t.Maps.assign(maps.begin(), maps.end());
  return 0;
}

// The file of a taken synth, leaving out the entries at the paths `refused`
// (their modules then name none): its bytes, and what it left out added to
// the taking's.
void EncodeSynth(const SynthTaken& t, const std::map<std::string, int32_t>& refused, DocumentWriter& w,
                 std::vector<SaveLeftOutEntry>& leftOut) {
  leftOut = t.LeftOut;
  std::vector<int32_t> dropped[3];
  const std::vector<SynthTaken::Named>* lists[3] = {&t.Samples, &t.Filters, &t.Melodies};
  DocumentPut(w, t.Head.data(), t.Head.size());
  for (int32_t l = 0; l < 3; ++l) {
    std::vector<const SynthTaken::Named*> kept;
    for (size_t i = 0; i < lists[l]->size(); ++i) {
      const SynthTaken::Named& e = (*lists[l])[i];
      const auto it = e.File.empty() ? refused.end() : refused.find(e.Folder + "\\" + e.File);
      if (it != refused.end()) {
        dropped[l].push_back(static_cast<int32_t>(i));
        leftOut.push_back({e.File, it->second});
      } else {
        kept.push_back(&e);
      }
    }
    DocumentPutI32(w, static_cast<int32_t>(kept.size()));
    for (const SynthTaken::Named* e : kept) {
      if (l < 2) DocumentPutI32(w, e->Choice);
      DocumentPutText(w, e->Folder);
      DocumentPutText(w, e->File);
    }
  }
  DocumentPutI32(w, kStoredKeyboardStates);
  DocumentPut(w, t.Keyboards.data(), t.Keyboards.size());
  DocumentPutI32(w, t.OutIndex);
  DocumentPutI32(w, static_cast<int32_t>(t.Records.size()));
  for (size_t i = 0; i < t.Records.size(); ++i) {
    const ModuleFileRecord& record = t.Records[i];
    const int32_t list = record.Type == kTypeSample ? 0 : record.Type == kTypeConvolutiveFilter ? 1
                                                    : record.Type == kTypeSequencer     ? 2 : -1;
    if (list < 0 || dropped[list].empty()) {
      DocumentPut(w, &record, sizeof record);
      continue;
    }
    ModuleFileRecord copy = record;
    copy.LibraryIndex = IndexWithout(record.LibraryIndex, dropped[list]);
    DocumentPut(w, &copy, sizeof copy);
  }
  DocumentPut(w, t.Maps.data(), t.Maps.size());
}

// What a file keeps of a synth's design: the record less the voices its
// modules and their port values play.
ModuleFileRecord DesignOf(const ModuleFileRecord& r) {
  ModuleFileRecord d = r;
  for (auto& channel : d.Slots)
    for (int32_t v = 0; v < 32; ++v) channel[v][0] = channel[v][1] = 0.0f;
  for (ParamFileBlock& p : d.Params)
    for (auto& channel : p.Image)
      for (int32_t v = 0; v < 32; ++v) channel[v][0] = channel[v][1] = 0.0f;
  return d;
}

// Hands a taken synth's file to the saver: once more without the entries the
// disk refused when a file it names did not reach the disk.
int32_t HandOverTaken(const std::shared_ptr<const SynthTaken>& t, const std::map<std::string, int32_t>& refused,
                      const std::vector<std::pair<std::string, platform::SaveOutcome>>& handed,
                      const std::string& askedFolder, const std::string& askedFile,
                      std::function<void(int32_t)> done) {
  const std::string path = t->Folder + "\\" + t->Name;
  const std::string stem = StemOf(t->Name);
  DocumentWriter w;
  if (const int32_t rc = DocumentWriterOpen(w, path); rc != 0) return rc;
  EncodeSynth(*t, refused, w, LeftOut);
  std::vector<platform::SaveOutcome> after;
  for (const auto& h : handed) after.push_back(h.second);
  auto saved = [t, refused, handed, askedFolder, askedFile, stem, done](int32_t r) {
    if (r == platform::kSaveEarlierFailed) {
      // A file it names did not reach the disk: the same synth once more
      // without it, so it names only files on the disk (and says which it left out).
      std::map<std::string, int32_t> refusedNow = refused;
      for (const auto& [entry, outcome] : handed)
        if (const int32_t v = outcome->load(std::memory_order_acquire); v != 0 && v != platform::kSavePending)
          refusedNow[entry] = v;
      if (const int32_t rc = HandOverTaken(t, refusedNow, {}, askedFolder, askedFile, done); rc != 0 && done) done(rc);
      return;
    }
    if (r == 0) SessionSaved(t->Folder, t->Name, stem, askedFolder, askedFile);
    NoteOutcome(r, askedFolder, askedFile, *t);
    if (done) done(r);
  };
  // Copied by the saver before it writes, and removed once the new file is in place.
  return DocumentWriterHandOver(w, t->Folder + "\\" + stem + kSynthBackupSuffix, std::move(saved), nullptr,
                                std::move(after));
}

int32_t WriteSession(const std::string& folderIn, const std::string& nameIn, std::function<void(int32_t)> done,
                     std::shared_ptr<const SynthTaken>* taken) {
  Handed.clear();
  LeftOut.clear();
  TakesLeftOut.clear();
  auto t = std::make_shared<SynthTaken>();
  t->Folder = folderIn;
  t->Name = nameIn;
  if (t->Name.empty()) {
    t->Folder = DynZStringGet(HomeFolder) + "\\SYNTHS";
    t->Name = platform::FreeFileName(t->Folder, kSynthDefaultPrefix + TimeStampText() + kSynthExtension);
  }
  int32_t rc = 0;
  if (!platform::FolderExists(t->Folder) && !platform::MakeFolder(t->Folder))
    rc = -kErrFolder;
  else
    rc = TakeSynth(*t, t->Name, nullptr);
  if (rc == 0) {
    TakesLeftOut = t->TakesLeftOut;
    if (taken != nullptr) *taken = t;
    rc = HandOverTaken(t, {}, Handed, SessionFolder, SessionFile, std::move(done));
  }
  if (rc != 0) NoteOutcome(rc, SessionFolder, SessionFile, *t);
  return rc;
}

}  // namespace

int32_t SaveSession(const std::string& folder, const std::string& name) {
  return SaveSessionThen(folder, name, nullptr);
}

int32_t SaveSessionThen(const std::string& folder, const std::string& name, std::function<void(int32_t)> done) {
  return SaveSessionTaking(folder, name, std::move(done), nullptr);
}

int32_t SaveSessionTaking(const std::string& folder, const std::string& name, std::function<void(int32_t)> done,
                          std::shared_ptr<const SynthTaken>* taken) {
  return SaveWithOutcome(
      [&](std::function<void(int32_t)> tell) { return WriteSession(folder, name, std::move(tell), taken); },
      std::move(done));
}

int32_t SessionSaveFailure() {
  return FailedCode != 0 && SessionFolder == FailedFolder && SessionFile == FailedFile ? FailedCode : 0;
}

void ForgetSessionSaveFailure() { FailedCode = 0; }

bool SynthChangedSince(const SynthTaken& saved) {
  SynthTaken now;
  if (TakeSynth(now, saved.Name, &saved) != 0) return true;
  if (now.Head != saved.Head || now.Samples != saved.Samples || now.Filters != saved.Filters ||
      now.Melodies != saved.Melodies || now.OutIndex != saved.OutIndex || now.Maps != saved.Maps ||
      now.Records.size() != saved.Records.size())
    return true;
  for (size_t i = 0; i < now.Records.size(); ++i) {
    const ModuleFileRecord a = DesignOf(now.Records[i]), b = DesignOf(saved.Records[i]);
    if (std::memcmp(&a, &b, sizeof a) != 0) return true;
  }
  return false;
}

}  // namespace Tarvelo
