#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "app/documents/doc_hooks.h"
#include "app/documents/doc_io.h"
#include "app/documents/melody_file.h"
#include "app/documents/synth_file.h"
#include "app/documents/wave_convert.h"
#include "app/state/history.h"
#include "app/state/settings.h"
#include "audio/audio.h"
#include "audio/midi.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "basics/ratio.h"
#include "engine/command.h"
#include "engine/dsp/sequencer.h"
#include "engine/dsp/windows.h"
#include "engine/globals.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "engine/units.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;

void SynthLoadEntryInit(SynthLoadEntry& e) {
  e.Folder.text = nullptr;
  e.File.text = nullptr;
  DynZStringAssign(e.Folder, "");
  DynZStringAssign(e.File, "");
  e.StoredId = 0;
  e.Loaded = nullptr;
  e.Missing = 0;
}

void SynthLoadEntryFree(SynthLoadEntry& e) {
  DynZStringFree(e.Folder);
  DynZStringFree(e.File);
}

namespace {

constexpr int32_t kTypeConvolutiveFilter = 17;
// A load the render did not answer: -18, as a save that got no frame hold.
constexpr int32_t kRenderUnanswered = kSynthRenderUnanswered;
static_assert(kRenderUnanswered == -kErrUnknown);
// Paths are far shorter; a longer text only says the file is damaged.
constexpr int64_t kLongestText = 32768;
// Smallest stored size of one sample or filter reference (an i32 and two
// empty texts) and of one melody reference.
constexpr int64_t kWaveReferenceBytes = 12;
constexpr int64_t kMelodyReferenceBytes = 8;

// one thread: value
struct StoredReference {
  int32_t Id = 0;
  std::string Folder;
  std::string File;
};

struct RecordDeleter {
  void operator()(ModuleFileRecord* r) const { std::free(r); }
};
using RecordBlock = std::unique_ptr<ModuleFileRecord, RecordDeleter>;

// Everything a synth file holds, read and checked before anything changes.
// one thread: value, the load's own image of the file
struct SynthImage {
  bool Old = false;
  std::string TuningFolder;
  std::string TuningFile;
  float InputGain = 0.0f;
  float OutputLevel = 0.0f;
  std::vector<StoredReference> Samples;
  std::vector<StoredReference> Filters;
  std::vector<StoredReference> Melodies;
  std::vector<KeyboardState> OctaveBoards;  // the last state stored for each index
  std::vector<KeyboardState> Keyboards;
  int32_t StatesStored = 0;
  int32_t OutputIndex = -1;
  std::vector<RecordBlock> Records;  // null: dropped
  int32_t LiveCount = 0;             // live module records come first
  bool PresetDropped = false;
  int64_t MidiPosition = 0;          // file position of the MIDI-map section
};

bool ReadReferences(DocumentReader& in, std::vector<StoredReference>& out, bool withId) {
  int32_t count = 0;
  if (!in.ReadI32(count) || count < 0) return false;
  const int64_t least = withId ? kWaveReferenceBytes : kMelodyReferenceBytes;
  if (static_cast<int64_t>(count) * least > in.Left) return false;
  out.resize(static_cast<size_t>(count));
  for (StoredReference& r : out) {
    if (withId && !in.ReadI32(r.Id)) return false;
    if (!in.ReadText(r.Folder, kLongestText) || !in.ReadText(r.File, kLongestText)) return false;
  }
  return true;
}

bool ReadBank(DocumentReader& in, std::vector<KeyboardState>& bank, int32_t count) {
  bank.clear();
  bank.resize(kKeyboardBankSize);  // zeroed states
  for (int32_t i = 0; i < count; ++i) {
    // Surplus states all land in the last one, the last stored winning.
    const int32_t k = std::min(i, kKeyboardBankSize - 1);
    if (!in.Read(&bank[k], sizeof(KeyboardState))) return false;
  }
  return true;
}

// 0, -28 for anything the file does not hold as announced, -21 for memory.
int32_t ReadImage(DocumentReader& in, SynthImage& img) {
  std::string magic;
  int32_t records = 0;
  if (!in.ReadText(magic, kSynthMagicLength) || magic.size() != static_cast<size_t>(kSynthMagicLength) ||
      magic.compare(0, 20, kSynthMagicPrefix) != 0)
    return -kErrIncompatibleFile;
  const std::string version = magic.substr(20);
  if (version != "1.0" && version != "1.1") return -kErrIncompatibleFile;
  img.Old = version == "1.0";

  if (!in.ReadText(img.TuningFolder, kLongestText) || !in.ReadText(img.TuningFile, kLongestText))
    return -kErrIncompatibleFile;
  if (!in.ReadF32(img.InputGain) || !in.ReadF32(img.OutputLevel)) return -kErrIncompatibleFile;
  try {
    if (!ReadReferences(in, img.Samples, true) || !ReadReferences(in, img.Filters, true) ||
        !ReadReferences(in, img.Melodies, false))
      return -kErrIncompatibleFile;

    if (!in.ReadI32(img.StatesStored) || img.StatesStored < 0 ||
        static_cast<int64_t>(img.StatesStored) * 2 * static_cast<int64_t>(sizeof(KeyboardState)) > in.Left)
      return -kErrIncompatibleFile;
    if (!ReadBank(in, img.OctaveBoards, img.StatesStored) || !ReadBank(in, img.Keyboards, img.StatesStored))
      return -kErrIncompatibleFile;

    if (!in.ReadI32(img.OutputIndex) || !in.ReadI32(records) || records < 0 ||
        static_cast<int64_t>(records) * kModuleFileRecordSize > in.Left)
      return -kErrIncompatibleFile;
    img.Records.reserve(static_cast<size_t>(records));
  } catch (const std::bad_alloc&) {
    return -kErrAllocation;
  }

  bool presets = false;
  for (int32_t i = 0; i < records; ++i) {
    RecordBlock block(static_cast<ModuleFileRecord*>(std::malloc(sizeof(ModuleFileRecord))));
    if (block == nullptr) return -kErrAllocation;
    if (!in.Read(block.get(), kModuleFileRecordSize)) {
      Report(InsertArg(LangText(183, "Error reading module #{$}:"), std::to_string(i)) +
                 ErrorText(-kErrIncompatibleFile),
             kLevelError);
      return -kErrIncompatibleFile;
    }
    const ModuleFileRecord& r = *block;
    const bool known = r.Type >= 0 && r.Type < kModuleTypeCount;
    if (r.Instance != 0) {
      // A live module this system cannot build, or one placed after the presets
      // (its list position would not be its file position), refuses the file.
      if (!known || r.Instance < 0 || presets) return -kErrIncompatibleFile;
      img.LiveCount += 1;
    } else {
      presets = true;
      if (!known) {
        img.PresetDropped = true;
        block.reset();
      }
    }
    img.Records.push_back(std::move(block));
  }
  if (img.OutputIndex < -1 || img.OutputIndex >= img.LiveCount) img.OutputIndex = -1;

  // Nothing may follow the MIDI maps, and they must all be there: counts that
  // lie leave a remainder of another size.
  img.MidiPosition = platform::FilePosition(in.File);
  if (in.Left != (img.Old ? kSynthMidiSectionOld : kSynthMidiSection)) return -kErrIncompatibleFile;
  return 0;
}

// A modification date before the first day of the current record layout.
bool LegacyFile(const std::string& path) {
  const int64_t written = platform::FileModifiedTime(path);
  if (written < 0) return false;
  const std::time_t t = static_cast<std::time_t>(written);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return false;
  const int32_t year = local.tm_year + 1900;
  const int32_t month = local.tm_mon + 1;
  if (year != kSynthLegacyYear) return year < kSynthLegacyYear;
  if (month != kSynthLegacyMonth) return month < kSynthLegacyMonth;
  return local.tm_mday < kSynthLegacyDay;
}

float ClampGain(float v, float high) {
  if (!(v == v)) return 1e-7f;
  return std::clamp(v, 1e-7f, high);
}

// The gain in decibels, rounded to 2 decimals, in the shortest text that reads
// back as the same single, and "dB".
std::string GainText(float gain) {
  int32_t sign = 0;
  const float db = RoundToDigits(UnitLinearToDb(gain, 0.0f, 0.0f, &sign), 2);
  char text[32];
  for (int precision = 1; precision <= 9; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(db));
    if (std::strtof(text, nullptr) == db) break;
  }
  return std::string(text) + "dB";
}

// Repairs a stored state and copies it in under its two locks (voices, then
// held keys), word by word: the render callback reads the live words.
void TakeStates(const std::vector<KeyboardState>& stored, int32_t count, const Shared<KeyboardState*>* bank,
                platform::Mutex* const* voiceLocks, platform::Mutex* const* keyLocks) {
  const int32_t used = std::min(count, kKeyboardBankSize);
  for (int32_t k = 0; k < used; ++k) {
    KeyboardState* live = bank[k].Load();
    if (live == nullptr) continue;
    KeyboardState repaired;
    QUARLE_BASICS::CopyShared(repaired, stored[k]);  // the file's image: at rest
    SanitizeLoadedKeyboardState(repaired);
    platform::MutexGuard voices(voiceLocks[k]);
    platform::MutexGuard keys(keyLocks[k]);
    KeyboardStateCopyIn(*live, repaired);
  }
}

// Frees every entry of a list (the count becomes 0) under its lock.
void EmptyList(WaveLibraryList& list) {
  platform::MutexGuard guard(list.header.lock);
  if (list.entries == nullptr) return;
  for (int32_t i = 0; i < list.header.count; ++i) {
    WaveLibraryEntryDelete(list.entries[i]);
    list.entries[i] = nullptr;
  }
  list.header.count = 0;
}

// The entries of a list the load's save could not write and that hold
// something (a take on a full disk), taken out of it so that emptying the
// list does not free them.
std::vector<WaveLibraryEntry*> TakeUnwritten(WaveLibraryList& list) {
  std::vector<WaveLibraryEntry*> kept;
  platform::MutexGuard guard(list.header.lock);
  for (int32_t i = list.header.count - 1; i >= 0 && list.entries != nullptr; --i) {
    const WaveLibraryEntry* e = list.entries[i];
    if (e != nullptr && e->Saved == 0 && e->State.Load(std::memory_order_acquire) == kWaveIdle &&
        e->LoadState == kWaveDataHeld && e->Sound.samples != nullptr && e->Sound.dataSize > 0)
      kept.insert(kept.begin(), WaveLibraryListTake(list, i));
  }
  return kept;
}

// Puts them at the end of the rebuilt list, unsaved, for the next save to
// write; one there is no room for goes, said.
void PutBack(WaveLibraryList& list, const std::vector<WaveLibraryEntry*>& kept) {
  for (WaveLibraryEntry* e : kept) {
    if (WaveLibraryListReserve(list) == 0) {
      WaveLibraryListCommit(list, e);
      continue;
    }
    Report(InsertArg(LangText(181, "Could not save {$}: "), DynZStringGet(e->File)) + ErrorText(-kErrAllocation),
           kLevelError);
    WaveLibraryEntryDelete(e);
  }
}

// one thread: interface, the load's
struct LoadEntries {
  std::vector<SynthLoadEntry> items;
  ~LoadEntries() {
    for (SynthLoadEntry& e : items) SynthLoadEntryFree(e);
  }
};

void Locate(LoadEntries& out, const std::vector<StoredReference>& refs, const char* subFolder) {
  out.items.resize(refs.size());
  for (size_t i = 0; i < refs.size(); ++i) {
    SynthLoadEntry& e = out.items[i];
    SynthLoadEntryInit(e);
    e.StoredId = refs[i].Id;
    DynZStringAssign(e.File, refs[i].File);
    const std::string found = LocateFile(refs[i].Folder, refs[i].File, subFolder);
    if (found.empty()) {
      DynZStringAssign(e.Folder, refs[i].Folder);
      e.Missing = -1;
    } else {
      DynZStringAssign(e.Folder, found);
    }
  }
}

// Rebuilds one list in file order; a reference that cannot be loaded keeps
// its name as a placeholder.
void Rebuild(LoadEntries& entries, WaveLibraryList& list, int32_t kind) {
  // one thread: value
  static const struct {
    uint32_t failed;
    uint32_t placeholder;
    const char* text;
  } kMessages[3] = {{185, 186, "Error loading sample {$}: "},
                    {187, 188, "Error loading filter {$}: "},
                    {189, 190, "Error loading melody {$}: "}};
  for (SynthLoadEntry& e : entries.items) {
    const std::string folder = DynZStringGet(e.Folder);
    const std::string file = DynZStringGet(e.File);
    int32_t index = -1;
    if (e.Missing == 0) {
      if (kind == 0) {
        index = FindLoadedWave(folder, file, 0);
        if (index < 0) index = ConvertAndLoadWave(folder, file);
        if (index >= 0) index = AddLoadedWave(*SampleLibrary.entries[index], e.StoredId);
      } else if (kind == 1) {
        index = LoadFilterFile(folder, file);
      } else {
        index = LoadMelody(folder, file);
      }
      if (index < 0) {
        Report(InsertArg(LangText(kMessages[kind].failed, kMessages[kind].text), file) + ErrorText(index),
               kLevelError);
        e.Missing = -1;
      }
    }
    if (e.Missing != 0) {
      index = AddLibraryPlaceholder(list, folder, file);
      if (index < 0)
        Report(InsertArg(LangText(kMessages[kind].placeholder, kMessages[kind].text), file) + ErrorText(index),
               kLevelError);
    }
    e.Loaded = WaveLibraryListAt(list, index);
  }
}

WaveLibraryEntry* EntryOf(const LoadEntries& entries, int32_t id) {
  if (id < 0 || static_cast<size_t>(id) >= entries.items.size()) return nullptr;
  return entries.items[static_cast<size_t>(id)].Loaded;
}

// Room for `needed` modules at their file positions.
int32_t GrowModuleList(int32_t needed) {
  platform::MutexGuard guard(ModuleList.lock);
  if (needed <= ModuleList.capacity) return 0;
  int32_t capacity = ModuleList.capacity > 0 ? ModuleList.capacity : kModuleListInitialCapacity;
  while (capacity < needed) capacity *= 2;
  auto* grown = static_cast<ModuleRecord**>(std::calloc(static_cast<size_t>(capacity), sizeof(ModuleRecord*)));
  if (grown == nullptr) return -kErrAllocation;
  if (ModuleList.entries != nullptr && ModuleList.capacity > 0)
    std::memcpy(grown, ModuleList.entries, static_cast<size_t>(ModuleList.capacity) * sizeof(ModuleRecord*));
  std::free(ModuleList.entries);
  ModuleList.entries = grown;
  ModuleList.capacity = capacity;
  return 0;
}

int32_t PlanePosition(int32_t stored, int32_t port, float zoom) {
  const float v = static_cast<float>(port) + zoom * static_cast<float>(static_cast<int64_t>(stored) - port);
  if (!(v == v)) return 0;
  const double r = std::nearbyint(static_cast<double>(v));
  return static_cast<int32_t>(std::clamp(r, -2147483648.0, 2147483647.0));
}

}  // namespace

std::vector<std::string> SynthNamedFiles(const std::string& folder, const std::string& name) {
  std::vector<std::string> paths;
  if (name.empty()) return paths;
  int32_t number = 0;
  if (OpenDocumentFile(folder + "\\" + name, platform::kFileBinary, platform::kAccessRead, number) != 0) return paths;
  DocumentReader in{number, platform::FileLengthOf(number)};
  std::string magic;
  StoredReference tuning;
  std::vector<StoredReference> samples, filters, melodies;
  float gains[2] = {};
  bool read = false;
  try {
    read = in.ReadText(magic, kSynthMagicLength) && magic.compare(0, 20, kSynthMagicPrefix) == 0 &&
           in.ReadText(tuning.Folder, kLongestText) && in.ReadText(tuning.File, kLongestText) &&
           in.Read(gains, sizeof gains) && ReadReferences(in, samples, true) && ReadReferences(in, filters, true) &&
           ReadReferences(in, melodies, false);
  } catch (const std::bad_alloc&) {
    read = false;
  }
  platform::FileClose(number);
  if (!read) return paths;
  const std::string home = DynZStringGet(QUARLE_BASICS::HomeFolder);
  const auto add = [&](const StoredReference& r, const std::string& sub) {
    if (r.File.empty()) return;
    paths.push_back(r.Folder + "\\" + r.File);
    if (const size_t p = r.Folder.rfind(sub); p != std::string::npos)
      paths.push_back(home + r.Folder.substr(p) + "\\" + r.File);
    paths.push_back(home + sub + "\\" + r.File);
  };
  add(tuning, "\\TUNINGS");
  for (const StoredReference& r : samples) add(r, "\\AUDIO");
  for (const StoredReference& r : filters) add(r, "\\FILTERS");
  for (const StoredReference& r : melodies) add(r, "\\MELODIES");
  return paths;
}

int32_t LoadSynth(const std::string& folder, const std::string& name) {
  DocSelectModule(nullptr, -1);
  if (name.empty()) return -kErrBadParameter;
  const std::string path = folder + "\\" + name;
  int32_t number = 0;
  int32_t rc = OpenDocumentFile(path, platform::kFileBinary, platform::kAccessRead, number);
  if (rc != 0) return rc;
  const int64_t length = platform::FileLengthOf(number);
  if (length <= kSynthShortestFile) {
    platform::FileClose(number);
    return -kErrIncompatibleFile;
  }
  const int64_t legacy = LegacyFile(path) ? -1 : 0;

  SynthImage img;
  DocumentReader in{number, length};
  rc = ReadImage(in, img);
  if (rc != 0) {
    platform::FileClose(number);
    return rc;
  }

  // The whole file was read and holds a synth this system can build. Takes
  // still running end first with what they hold, so that the save of unsaved
  // entries below writes them (the lists are emptied after it); a finish
  // resets voices and sets parameters, which a bound controller moves on the
  // render too: the render ends them, as a Stop press does. A render that
  // does not answer (a device that stopped asking for data, a frame that
  // does not end) would end them later in entries the lists below free, and
  // run whatever else waits for it on them: the load refuses before it
  // changes anything. The stops stay asked for.
  bool answered = EndRecordings();
  if (answered) {
    SettleEngineCommands();
    answered = !EngineCommandPending();
  }
  // Then the old synth's output goes: the engine renders nothing of it once
  // the render rebuilt its order without it. Only then may the keyboard
  // states below be replaced and repaired in place (the keyboard modules read
  // them without a lock) and the old modules and entries freed; a render that
  // does not take it (stuck inside a frame) may still be playing them: the
  // load refuses, with the output back.
  if (!answered) {
    platform::FileClose(number);
    Report(WaitingForAudioText(), kLevelWarning);
    return kRenderUnanswered;
  }
  // Recorded samples and melodies never saved would go with the old lists:
  // they are written now. One that cannot be (a full disk, or nothing a file
  // can hold) is named by the write's report and never keeps the synth from
  // loading: one that holds something stays in memory (below).
  SaveUnsavedLibraryEntries();
  if (!DisconnectOutput()) {
    platform::FileClose(number);
    Report(WaitingForAudioText(), kLevelWarning);
    return kRenderUnanswered;
  }

  bool tuningLoaded = false;
  const std::string tuningFolder = LocateFile(img.TuningFolder, img.TuningFile, "\\TUNINGS");
  if (!tuningFolder.empty()) {
    platform::MutexGuard guard(MT_TUNINGS[kEditedTuning]);
    rc = LoadTuning(EditedTuning, tuningFolder, img.TuningFile);
    if (rc != 0)
      Report(LangText(182, "Error loading tuning file: ") + ErrorText(rc), kLevelError);
    else
      tuningLoaded = true;
  }

  InputGain = ClampGain(img.InputGain, 2.0f);
  OutputLevel = ClampGain(img.OutputLevel, 1.0f);
  DocShowGains(GainText(InputGain), GainText(OutputLevel));
  CommandMessage gain{};
  gain.type = QUARLE_AUDIO::kAudioOutputGain;
  gain.single1 = OutputLevel;
  PostCommand(gain, AudioCommandQueue, 0);

  LoadEntries samples;
  LoadEntries filters;
  LoadEntries melodies;
  Locate(samples, img.Samples, "\\AUDIO");
  Locate(filters, img.Filters, "\\FILTERS");
  Locate(melodies, img.Melodies, "\\MELODIES");

  TakeStates(img.OctaveBoards, img.StatesStored, OctaveBoardStates, OctaveBoardVoiceLocks, OctaveBoardKeyLocks);
  DocOctaveBoardStatesLoaded();
  TakeStates(img.Keyboards, img.StatesStored, KeyboardStates, KeyboardVoiceLocks, KeyboardKeyLocks);
  DocKeyboardStatesLoaded();

  if (img.PresetDropped)
    Report(LangText(184, "Some masters presets can't be loaded because they don't exist in this version."),
           kLevelWarning);
  platform::FileSeek(number, img.MidiPosition);
  rc = img.Old ? LoadMidiMapsOld(number) : LoadMidiMaps(number);
  platform::FileClose(number);
  if (rc != 0) Report("LoadMidiMaps(): " + ErrorText(rc), kLevelError);
  const std::string title = StemOf(name);

  {
    platform::MutexGuard active(MT_TUNINGS[kActiveTuning]);
    platform::MutexGuard edited(MT_TUNINGS[kEditedTuning]);
    if (tuningLoaded)
      CopyTuning(ActiveTuning, EditedTuning);
    else
      CopyTuning(EditedTuning, ActiveTuning);
  }
  DocRefreshTuningPanel();

  // The old modules go before the library entries they play are freed.
  DocSetOutputPortOn(0);
  ClearSynth();
  SettleEngineCommands();
  DocRedrawModuleList();

  const std::vector<WaveLibraryEntry*> keptSamples = TakeUnwritten(SynthSamples);
  const std::vector<WaveLibraryEntry*> keptFilters = TakeUnwritten(FilterLibrary);
  const std::vector<WaveLibraryEntry*> keptMelodies = TakeUnwritten(MelodyLibrary);
  EmptyList(SynthSamples);
  EmptyList(FilterLibrary);
  EmptyList(MelodyLibrary);
  // The filter design's source was an entry of the old list.
  FirLibraryEntryLeft(-1);
  Rebuild(samples, SynthSamples, 0);
  Rebuild(filters, FilterLibrary, 1);
  Rebuild(melodies, MelodyLibrary, 2);
  PutBack(SynthSamples, keptSamples);
  PutBack(FilterLibrary, keptFilters);
  PutBack(MelodyLibrary, keptMelodies);

  // Each module is copied from its template between two frames. A render
  // that stops pausing leaves the modules still to make unmade (each would
  // wait for it again) and the templates as they were, and the log says why
  // once; the modules made so far stay.
  bool unheld = false;
  const int32_t live = img.LiveCount;
  if (GrowModuleList(live) != 0) {
    Report(LangText(191, "Error creating module: ") + ErrorText(-kErrAllocation), kLevelError);
  } else {
    for (int32_t i = 0; i < live && !unheld; ++i) {
      if (img.Records[static_cast<size_t>(i)] == nullptr) continue;
      int32_t type = img.Records[static_cast<size_t>(i)]->Type;
      ModuleRecord* m = nullptr;
      rc = NewModuleRecord(&m, type, i);
      if (rc == kModuleNotHeld) {
        unheld = true;
        continue;
      }
      if (rc != 0) {
        Report(LangText(191, "Error creating module: ") + ErrorText(rc), kLevelError);
        continue;
      }
      platform::MutexGuard guard(ModuleList.lock);
      ModuleList.entries[i] = m;
      if (m->Type == kTypeCapture && CaptureModule == nullptr) CaptureModule = m;
    }
  }
  if (!unheld) {
    // A controller learned on a Catalog row moves its template on the render
    // while playing, and global ports read the templates: they change between
    // two frames.
    FrameHold hold;
    unheld = !hold.held;
    if (hold.held) {
      for (size_t i = static_cast<size_t>(live); i < img.Records.size(); ++i)
        if (img.Records[i] != nullptr) ApplyMasterPreset(*img.Records[i], legacy);
    }
  }
  if (unheld) Report(WaitingForAudioText(), kLevelWarning);

  DocResetPlaneOffset();
  int32_t sx = 0;
  int32_t sy = 0;
  DocOutputPortPosition(sx, sy);
  const float zoom = ZoomFactor > 0.0f && std::isfinite(ZoomFactor) ? ZoomFactor : 1.0f;

  ModuleRecord* output = nullptr;
  const int32_t placed = std::min(live, ModuleList.capacity);
  for (int32_t i = 0; i < placed; ++i) {
    ModuleRecord* m = ModuleList.entries[i];
    ModuleFileRecord* r = img.Records[static_cast<size_t>(i)].get();
    if (m == nullptr || r == nullptr) continue;
    WaveLibraryEntry* entry = nullptr;
    if (m->Type == kTypeSample)
      entry = EntryOf(samples, r->LibraryIndex);
    else if (m->Type == kTypeConvolutiveFilter)
      entry = EntryOf(filters, r->LibraryIndex);
    else if (m->Type == kTypeSequencer)
      entry = EntryOf(melodies, r->LibraryIndex);
    LoadModuleFromFileRecord(*r, m, live, entry, legacy);
    if (i == img.OutputIndex) output = m;
    if (DocCanCreateModuleControls()) {
      rc = DocCreateModuleControls(m, PlanePosition(r->X, sx, zoom), PlanePosition(r->Y, sy, zoom));
      if (rc < 1) Report(LangText(192, "Error creating module controls: ") + ErrorText(rc), kLevelError);
    }
  }

  SettleLoadedChannels(placed);

  {
    platform::MutexGuard guard(MT_MIDIMAPS);
    RebindMidiMaps(live);
  }
  QUARLE_AUDIO::RefreshMidiDeviceList(0);
  CompactModuleList(live);

  // The engine takes the tuning with the new modules in place, so that their
  // scale patterns are fitted to it; nothing plays them before the output
  // below, which the engine takes after the tuning.
  RequestTuningApply();
  CaptureResync.store(-1);
  DocSetOutputPortOn(output != nullptr ? -1 : 0);
  RequestGraphRebuild(0, 0, output);

  if (unheld) {
    // What stands is not the file: a session save would write it over the
    // file (or over the session before, saved as it was), so the next one
    // takes a new name.
    SessionFile.clear();
    SessionTitle.clear();
    SaveSettings();
  } else if (folder != SessionFolder || name != SessionFile) {
    SessionFolder = folder;
    SessionFile = name;
    SessionTitle = title;
    SaveSettings();
  }
  DocShowSessionTitle(" " + (unheld ? std::string() : title));
  DocRedrawModuleList();

  ClearHistory();
  CablesDirty.store(-1);
  // What stands is half the file: a failed load, whose caller says so.
  return unheld ? kRenderUnanswered : 0;
}

}  // namespace Tarvelo
