#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
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

// Saves the synth being built handed over for its entries, and the files the
// saver refused in an earlier try of it (their codes), by path.
// one thread: interface
std::vector<std::pair<std::string, platform::SaveOutcome>> Handed;
std::map<std::string, int32_t> Refused;

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
    if (const auto refused = Refused.find(path); refused != Refused.end()) return refused->second;
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

// Writes an entry that has no file yet, and says whether the synth file may
// name it: only an entry whose file this save or an earlier one wrote (or
// that was loaded from one). A take still being recorded (busy) or one whose
// own file could not be written (a full disk) is left out, so a load never
// looks for a file that never reached the disk; the entry stays in its list
// unsaved and the first save that writes it names it. A module playing it
// names no entry meanwhile. A saved sound whose file vanished and cannot be
// written again keeps its name (the log says why): the load looks for it
// where its data folder keeps such files.
bool Nameable(WaveLibraryEntry* e, SavedKind kind, const std::string& failTemplate) {
  const int32_t rc = SaveIfUnsaved(e, kind, failTemplate, true);
  if (e->State.Load(std::memory_order_acquire) != kWaveIdle) return false;
  if (e->Saved != 0 || rc == kHandedOver) return true;
  LeftOut.push_back({DynZStringGet(e->File), rc});
  return false;
}

// The entries of a list the file names (an empty slot stays one), under its lock.
void NameEntries(WaveLibraryList& list, SavedKind kind, const std::string& failTemplate,
                 std::vector<const WaveLibraryEntry*>& named) {
  const int32_t count = list.entries != nullptr ? list.header.count : 0;
  named.clear();
  for (int32_t i = 0; i < count; ++i) {
    WaveLibraryEntry* e = list.entries[i];
    if (e == nullptr || Nameable(e, kind, failTemplate)) named.push_back(e);
  }
}

// Samples and filters: unsaved entries first, then each reference.
void WriteWaveSection(DocumentWriter& w, WaveLibraryList& list, bool samples, const std::string& failTemplate) {
  platform::MutexGuard guard(list.header.lock);
  std::vector<const WaveLibraryEntry*>& named = samples ? NamedSamples : NamedFilters;
  NameEntries(list, samples ? kSavedSample : kSavedFilter, failTemplate, named);
  DocumentPutI32(w, static_cast<int32_t>(named.size()));
  for (const WaveLibraryEntry* e : named) {
    DocumentPutI32(w, e != nullptr ? e->ChannelChoice : -1);
    DocumentPutText(w, e != nullptr ? DynZStringGet(e->Folder) : "");
    DocumentPutText(w, e != nullptr ? DynZStringGet(e->File) : "");
  }
}

void WriteMelodySection(DocumentWriter& w, const std::string& failTemplate) {
  platform::MutexGuard guard(MelodyLibrary.header.lock);
  NameEntries(MelodyLibrary, kSavedMelody, failTemplate, NamedMelodies);
  DocumentPutI32(w, static_cast<int32_t>(NamedMelodies.size()));
  for (const WaveLibraryEntry* e : NamedMelodies) {
    DocumentPutText(w, e != nullptr ? DynZStringGet(e->Folder) : "");
    DocumentPutText(w, e != nullptr ? DynZStringGet(e->File) : "");
  }
}

int32_t NamedPosition(const std::vector<const WaveLibraryEntry*>& named, const WaveLibraryEntry* e) {
  for (size_t i = 0; i < named.size(); ++i)
    if (named[i] == e) return static_cast<int32_t>(i);
  return -1;
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
void WriteKeyboardBank(DocumentWriter& w, const Shared<KeyboardState*>* bank, platform::Mutex* const* voiceLocks,
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
    DocumentPut(w, &copy, sizeof copy);
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

// Once the file is on the disk: it is the session the next start opens.
void SessionSaved(const std::string& folder, const std::string& name, const std::string& stem) {
  if (folder != SessionFolder || name != SessionFile) {
    SessionFolder = folder;
    SessionFile = name;
    SessionTitle = stem;
    SaveSettings();
  }
  if (StateInterfaceReady() != 0) DocShowSessionTitle(" " + stem);
}

int32_t WriteSession(const std::string& folderIn, const std::string& nameIn, std::function<void(int32_t)> done,
                     const std::map<std::string, int32_t>& refused = {}) {
  Handed.clear();
  Refused = refused;
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
  LeftOut.clear();
  const std::string failTemplate = LangText(181, "Could not save {$}: ");

  std::string folder = folderIn;
  std::string name = nameIn;
  std::string stem;
  if (name.empty()) {
    folder = DynZStringGet(HomeFolder) + "\\SYNTHS";
    name = platform::FreeFileName(folder, kSynthDefaultPrefix + TimeStampText() + kSynthExtension);
    stem = StemOf(name);
  } else {
    stem = StemOf(name);
  }
  const std::string path = folder + "\\" + name;
  if (!platform::FolderExists(folder) && !platform::MakeFolder(folder)) return -kErrFolder;

  // Copied by the saver before it writes, and removed once the new file is in place.
  const std::string backup = folder + "\\" + stem + kSynthBackupSuffix;

  DocumentWriter w;
  int32_t rc = DocumentWriterOpen(w, path);
  if (rc != 0) return rc;

  DocumentPutText(w, kSynthMagic);
  {
    platform::MutexGuard guard(MT_TUNINGS[kActiveTuning]);
    DocumentPutText(w, DynZStringGet(ActiveTuning.Folder));
    DocumentPutText(w, DynZStringGet(ActiveTuning.FileName));
  }
  DocumentPutF32(w, InputGain);
  DocumentPutF32(w, OutputLevel);

  WriteWaveSection(w, SynthSamples, true, failTemplate);
  WriteWaveSection(w, FilterLibrary, false, failTemplate);
  WriteMelodySection(w, failTemplate);

  DocumentPutI32(w, kStoredKeyboardStates);
  {
    const double deadline = platform::HighResClock() + KeyboardPendingWait;
    bool unanswered = false;
    WriteKeyboardBank(w, OctaveBoardStates, OctaveBoardVoiceLocks, OctaveBoardKeyLocks, deadline, unanswered);
    WriteKeyboardBank(w, KeyboardStates, KeyboardVoiceLocks, KeyboardKeyLocks, deadline, unanswered);
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
  const size_t total = static_cast<size_t>(listed) + kModuleTypeCount;
  auto* records = static_cast<ModuleFileRecord*>(std::calloc(total, sizeof(ModuleFileRecord)));
  if (records == nullptr) {
    DocumentWriterAbort(w);
    return -kErrAllocation;
  }
  int32_t outIndex = -1;
  int32_t n = 0;
  {
    // A render that does not stop at a frame boundary may be writing any
    // module: asked again, and then the save gives up and the file saved
    // before stays, rather than holding a module half of one frame and half
    // of the next. Once held, the render plays no module until the release,
    // however long the copy takes.
    if (!HoldFramesOrGiveUp()) {
      std::free(records);
      DocumentWriterAbort(w);
      Report(InsertArg(failTemplate, name) + WaitingForAudioText(), kLevelError);
      return -kErrUnknown;
    }
    {
      platform::MutexGuard guard(ModuleList.lock);
      n = ModuleList.entries != nullptr ? std::min(ModuleList.count, listed) : 0;
      const ModuleRecord* out = SynthOutputModule.load();
      if (out != nullptr && out->ListIndex.Load() >= 0 && out->ListIndex.Load() < n && ModuleList.entries[out->ListIndex.Load()] == out)
        outIndex = out->ListIndex.Load();
      for (int32_t i = 0; i < n; ++i) ModuleToFileRecord(records[i], ModuleList.entries[i]);
    }
    for (int32_t t = 0; t < kModuleTypeCount; ++t) ModuleToFileRecord(records[n + t], &ModuleCatalog[t]);
    ReleaseFrames();
  }
  DocumentPutI32(w, outIndex);
  DocumentPutI32(w, n + kModuleTypeCount);
  for (int32_t i = 0; i < n; ++i) {
    ModuleFileRecord& record = records[i];
    const float x = static_cast<float>(sx) + static_cast<float>(record.X - sx) * inverse - static_cast<float>(px);
    const float y = static_cast<float>(sy) + static_cast<float>(record.Y - sy) * inverse - static_cast<float>(py);
    record.X = ClampedInt(x);
    record.Y = ClampedInt(y);
    DocumentPut(w, &record, sizeof record);
  }
  for (int32_t t = 0; t < kModuleTypeCount; ++t) {
    ModuleFileRecord& record = records[n + t];
    record.X = 0;
    record.Y = 0;
    DocumentPut(w, &record, sizeof record);
  }
  std::free(records);

  {
    const std::vector<unsigned char> maps = MidiMapsBytes();
    DocumentPut(w, maps.data(), maps.size());
  }
  std::vector<platform::SaveOutcome> after;
  for (const auto& handed : Handed) after.push_back(handed.second);
  auto saved = [folder, name, stem, handed = Handed, refused = Refused, done](int32_t r) mutable {
    if (r == platform::kSaveEarlierFailed) {
      // A file it names did not reach the disk: once more without it, so the
      // synth names only files on the disk (and says which it left out).
      for (const auto& [path, outcome] : handed)
        if (const int32_t v = outcome->load(std::memory_order_acquire); v != 0 && v != platform::kSavePending)
          refused[path] = v;
      if (const int32_t rc = WriteSession(folder, name, done, refused); rc != 0) done(rc);
      return;
    }
    if (r == 0) SessionSaved(folder, name, stem);
    done(r);
  };
  return DocumentWriterHandOver(w, backup, std::move(saved), nullptr, std::move(after));
}

}  // namespace

int32_t SaveSession(const std::string& folder, const std::string& name) {
  return SaveSessionThen(folder, name, nullptr);
}

int32_t SaveSessionThen(const std::string& folder, const std::string& name, std::function<void(int32_t)> done) {
  return SaveWithOutcome([&](std::function<void(int32_t)> tell) { return WriteSession(folder, name, std::move(tell)); },
                         std::move(done));
}

}  // namespace Tarvelo
