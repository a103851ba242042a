#include "app/documents/wave_convert.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "app/documents/doc_hooks.h"
#include "app/state/system_messages.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/command.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "platform/paths.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;
using namespace QUARLE_AUDIO;

namespace {

constexpr int32_t kTypeConvolutiveFilter = 17;

// 4 / frames, the pitch step of a sound played once per period; 0 for a sound
// without frames.
float PeriodPitch(uint32_t frames) { return frames > 0 ? 4.0f / static_cast<float>(frames) : 0.0f; }

// Seconds of sound the buffer's frames last; 0 without a sample rate.
float DurationOf(const SoundBuffer& s) {
  return s.format.sampleRate > 0 ? static_cast<float>(s.frameCount) / static_cast<float>(s.format.sampleRate)
                                 : 0.0f;
}

// Room in the list and a new entry for folder\file in creation, with the
// file's header read; an error (and no entry) when any of that fails.
int32_t NewEntryWithHeader(WaveLibraryList& list, const std::string& folder, const std::string& file,
                           WaveLibraryEntry*& entry) {
  entry = nullptr;
  int32_t rc = WaveLibraryListReserve(list);
  if (rc != 0) return rc;
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (e == nullptr) return -kErrAllocation;
  DynZStringAssign(e->Folder, folder);
  DynZStringAssign(e->File, file);
  e->State.Store(kWaveCreating, std::memory_order_release);
  rc = ReadWavHeader(folder + "\\" + file, &e->Sound);
  // A sound without a frame would play nothing and divide by its length.
  if (rc == 0 && e->Sound.frameCount == 0) rc = -kErrWavEmpty;
  if (rc != 0) return FreeLibraryEntry(e, rc);
  e->LoadState = kWaveFormatKnown;
  entry = e;
  return 0;
}

}  // namespace

namespace {
// Copies handed to the saver and not yet on the disk: their names are taken,
// so a second copy made meanwhile gets a name of its own.
std::vector<std::string> PendingCopies;  // one thread: interface

// Hands the converted copy to the saver. The entry names the file it was read
// from until the copy is on the disk (synth copies convert the same data from
// either); then every entry still naming that file moves to the copy. 0 when
// the copy is already on the disk (no saver runs), 1 while it is on its way,
// else the failure (said).
int32_t SaveConvertedCopy(SoundBuffer& s, const std::string& folder, const std::string& file,
                          const std::string& copyFolder, const std::string& copy) {
  platform::SaveRequest r;
  r.Target = copyFolder + "\\" + copy;
  r.Suffix = ".part";
  int64_t firstData = 0;
  if (const int32_t rc = WavFileBytes(&s, 32, r.Bytes, firstData); rc != 0) {
    Report("Saving converted audio: " + ErrorText(rc), kLevelError);
    return rc;
  }
  const bool later = platform::SaverRunning();
  PendingCopies.push_back(r.Target);
  r.Done = [folder, file, copyFolder, copy, target = r.Target, later](int32_t rc) {
    std::erase(PendingCopies, target);
    if (rc != 0) {
      Report("Saving converted audio: " + ErrorText(rc), kLevelError);
      return;
    }
    if (!later) return;
    {
      platform::MutexGuard guard(SampleLibrary.header.lock);
      for (int32_t i = 0; i < SampleLibrary.header.count && SampleLibrary.entries != nullptr; ++i) {
        WaveLibraryEntry* named = SampleLibrary.entries[i];
        if (named == nullptr || DynZStringGet(named->Folder) != folder || DynZStringGet(named->File) != file)
          continue;
        DynZStringAssign(named->Folder, copyFolder);
        DynZStringAssign(named->File, copy);
      }
    }
    LibraryChanged = -1;
    DocPublishSampleLibrary();
  };
  const int32_t rc = platform::SaveInBackground(std::move(r));
  return rc != 0 ? rc : later ? 1 : 0;
}

}  // namespace

int32_t ConvertAndLoadWave(const std::string& folder, const std::string& file) {
  const std::string path = folder + "\\" + file;
  WaveLibraryEntry* e = nullptr;
  int32_t rc = NewEntryWithHeader(SampleLibrary, folder, file, e);
  if (rc != 0) return rc;
  SoundBuffer& s = e->Sound;
  // The reader takes no rate beyond a signed 32-bit number, so the ratio's
  // terms are both positive and reducing them divides only.
  static_assert(kMaxWavRate <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max()));
  e->RateRatio = Ratio{static_cast<int32_t>(ConfiguredStreamRate), static_cast<int32_t>(s.format.sampleRate)};
  RatioReduce(e->RateRatio);

  const bool integer = s.format.formatTag == kWaveFormatPcm;
  if (static_cast<int64_t>(s.format.sampleRate) != ConfiguredStreamRate || integer) {
    e->State.Store(kWaveBusy, std::memory_order_release);
    rc = ReadWavData(path, &s);
    if (rc != 0) return FreeLibraryEntry(e, rc);
    e->LoadState = kWaveDataHeld;
  }
  bool converted = false;
  if (integer) {
    rc = WavDataToFloat(&s);
    if (rc != 0) return FreeLibraryEntry(e, rc);
    converted = true;
  }

  e->Duration.Store(DurationOf(s));
  float pitch = PeriodPitch(s.frameCount);
  const float ratio = e->RateRatio.denominator != 0 ? RatioValue(e->RateRatio) : 0.0f;
  if (ratio > 0.0f && ratio != 1.0f && std::isfinite(ratio)) pitch /= ratio;
  e->Pitch[0] = e->Pitch[1] = pitch;

  if (converted && s.samples != nullptr) {
    const std::string home = DynZStringGet(HomeFolder);
    const std::string copyFolder = home + kConvertedFolder;
    // Each sound has a copy of its own: a file of the same name from another
    // folder gets the next free " (n)" name instead of replacing the copy
    // that synths saved before still play.
    std::string copy = file;
    bool present = false;
    const auto taken = [&](const std::string& name) {
      const std::string at = copyFolder + "\\" + name;
      return platform::FileExists(at) || std::find(PendingCopies.begin(), PendingCopies.end(), at) != PendingCopies.end();
    };
    for (int64_t n = 2; taken(copy); ++n) {
      if (WaveFileHolds(copyFolder + "\\" + copy, s)) {
        present = true;
        break;
      }
      const std::string ext = platform::PathExtension(file);
      copy = file.substr(0, file.size() - ext.size()) + " (" + std::to_string(n) + ")" + ext;
    }
    if (present || SaveConvertedCopy(s, folder, file, copyFolder, copy) == 0) {
      DynZStringAssign(e->Folder, copyFolder);
      DynZStringAssign(e->File, copy);
    }
  }

  // The library keeps the header and the analysis; synth copies read the data
  // again when they are made.
  std::free(s.samples);
  s.samples = nullptr;
  e->LoadState = kWaveFormatKnown;
  e->State.Store(kWaveIdle, std::memory_order_release);
  e->Saved = -1;
  const int32_t index = WaveLibraryListCommit(SampleLibrary, e);
  LibraryChanged = -1;
  return index;
}

int32_t LoadFilterFile(const std::string& folder, const std::string& file) {
  const std::string path = folder + "\\" + file;
  WaveLibraryEntry* e = nullptr;
  int32_t rc = NewEntryWithHeader(FilterLibrary, folder, file, e);
  if (rc != 0) return rc;
  SoundBuffer& s = e->Sound;
  rc = ReadWavData(path, &s);
  if (rc != 0) return FreeLibraryEntry(e, rc);
  e->LoadState = kWaveDataHeld;
  if (s.format.formatTag == kWaveFormatPcm) {
    e->State.Store(kWaveBusy, std::memory_order_release);
    rc = WavDataToFloat(&s);
    if (rc != 0) return FreeLibraryEntry(e, rc);
  }
  // Everything is set before the count makes the entry visible to the list draws.
  e->Duration.Store(DurationOf(s));
  e->Pitch[0] = PeriodPitch(s.frameCount);
  e->State.Store(kWaveIdle, std::memory_order_release);
  e->Saved = -1;
  return WaveLibraryListCommit(FilterLibrary, e);
}

int32_t RecordToWaveFile(const std::string& folder, const std::string& file, float seconds, int32_t channels,
                         int32_t rate) {
  if (channels < 1 || channels > kMaxWavChannels || !(seconds > 0.0f) || rate < 1) return -kErrBadParameter;
  int32_t rc = WaveLibraryListReserve(SynthSamples);
  if (rc != 0) return rc;
  const float exact = static_cast<float>(rate) * seconds;
  // The data size is a 32-bit byte count: longer recordings cannot be held.
  const double limit = static_cast<double>(std::numeric_limits<uint32_t>::max()) / 4.0 / channels;
  if (!std::isfinite(exact) || static_cast<double>(std::nearbyint(exact)) > limit) {
    Report(LangText(147, "Unable to create new wave file."), kLevelError);
    return -kErrAllocation;
  }
  const uint32_t frames = static_cast<uint32_t>(std::nearbyint(exact));
  if (frames == 0) {
    // Too short for one frame: nothing could be recorded into it.
    Report(LangText(147, "Unable to create new wave file."), kLevelError);
    return -kErrBadParameter;
  }
  const uint64_t values = static_cast<uint64_t>(frames) * static_cast<uint64_t>(channels);

  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (e == nullptr) {
    Report(LangText(147, "Unable to create new wave file."), kLevelError);
    return -kErrAllocation;
  }
  e->LoadState = kWaveFormatKnown;
  e->State.Store(kWaveCreating, std::memory_order_release);
  e->Saved = 0;
  DynZStringAssign(e->Folder, folder);
  DynZStringAssign(e->File, file);
  e->RateRatio = Ratio{1, 1};
  e->Duration.Store(seconds);
  e->Pitch[0] = e->Pitch[1] = PeriodPitch(frames);
  SoundBuffer& s = e->Sound;
  s.frameCount = frames;
  s.dataSize = static_cast<uint32_t>(values * 4);
  SoundBufferSetFormat(&s, channels, rate, 32);
  s.samples = static_cast<float*>(std::calloc(values > 0 ? values : 1, sizeof(float)));
  if (s.samples == nullptr) {
    Report(LangText(147, "Unable to create new wave file."), kLevelError);
    return FreeLibraryEntry(e, -kErrAllocation);
  }
  // The entry stays busy while it is the recording target.
  e->LoadState = kWaveDataHeld;
  WaveLibraryListCommit(SynthSamples, e);
  return 0;
}

int32_t SaveWaveRecord(WaveLibraryEntry* entry) {
  if (entry == nullptr) return -kErrBadParameter;
  const std::string path = DynZStringGet(entry->Folder) + "\\" + DynZStringGet(entry->File);
  const int32_t rc = SaveWavFile(path, &entry->Sound, 32);
  if (rc == 0) entry->Saved = -1;
  return rc;
}

namespace {

// The idle, unsaved entries of a list naming that file.
void MarkSaved(WaveLibraryList& list, const std::string& folder, const std::string& file, int64_t firstData) {
  platform::MutexGuard guard(list.header.lock);
  for (int32_t i = 0; i < list.header.count && list.entries != nullptr; ++i) {
    WaveLibraryEntry* e = list.entries[i];
    if (e == nullptr || e->Saved != 0 || e->State.Load(std::memory_order_acquire) != kWaveIdle) continue;
    if (DynZStringGet(e->Folder) != folder || DynZStringGet(e->File) != file) continue;
    e->Saved = -1;
    e->Sound.dataOffset = firstData;
  }
}

}  // namespace

int32_t SaveWaveRecordThen(WaveLibraryEntry* entry, platform::SaveOutcome outcome, std::function<void(int32_t)> done) {
  if (entry == nullptr) return -kErrBadParameter;
  const std::string folder = DynZStringGet(entry->Folder);
  const std::string file = DynZStringGet(entry->File);
  if (file.empty()) return -kErrFileNotFound;
  platform::SaveRequest r;
  r.Target = folder + "\\" + file;
  r.Suffix = ".part";
  int64_t firstData = 0;
  if (const int32_t rc = WavFileBytes(&entry->Sound, 32, r.Bytes, firstData); rc != 0) return rc;
  r.Outcome = std::move(outcome);
  // The entry may be gone by then: those naming the file take the save.
  r.Done = [folder, file, firstData, done = std::move(done)](int32_t rc) {
    if (rc == 0) {
      MarkSaved(SynthSamples, folder, file, firstData);
      MarkSaved(FilterLibrary, folder, file, firstData);
    }
    if (done) done(rc);
  };
  platform::SaveInBackground(std::move(r));
  return 0;
}

std::string UniqueFileName(const std::string& folder, const std::string& name,
                           std::function<void(const std::string& copy, int32_t rc)> done) {
  if (name.empty() || !platform::FileExists(folder + "\\" + name)) return "";
  const size_t dot = name.rfind('.');
  const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  // Copies of copies count on from the base stem; a '#' that is part of the
  // name ("C#minor") is no copy number.
  const size_t hash = stem.rfind('#');
  if (hash != std::string::npos && hash + 1 < stem.size() &&
      stem.find_first_not_of("0123456789", hash + 1) == std::string::npos)
    stem = stem.substr(0, hash);
  int64_t n = 2;
  const auto taken = [&](const std::string& path) {
    return platform::FileExists(path) ||
           std::find(PendingCopies.begin(), PendingCopies.end(), path) != PendingCopies.end();
  };
  while (taken(folder + "\\" + stem + "#" + std::to_string(n) + ext)) ++n;
  const std::string copy = stem + "#" + std::to_string(n) + ext;
  int32_t rc = 0;
  platform::SaveRequest r;
  r.Target = folder + "\\" + copy;
  r.Suffix = ".part~";
  r.Fill = platform::FileCopyFill(folder + "\\" + name, rc);
  if (!r.Fill) return "";
  PendingCopies.push_back(r.Target);
  r.Done = [copy, target = r.Target, done = std::move(done)](int32_t rc) {
    std::erase(PendingCopies, target);
    if (done) done(copy, rc == 0 ? 0 : -kErrFileAccess);
  };
  platform::SaveInBackground(std::move(r));
  return copy;
}

namespace {

// one thread: value
struct TakeStart {
  const ModuleRecord* Module;  // compared only: it may have been deleted since
  const WaveLibraryEntry* Take;
  SoundBeforeTake Before;
};
// A module's latest take and what it played before it; a later attach of
// the module, or its deletion, makes the note stale.
// one thread: interface
std::vector<TakeStart> TakeStarts;

void NoteTakeStart(const ModuleRecord& m, const WaveLibraryEntry* take) {
  // Only listed modules keep their notes: a deleted one's address may come back.
  std::erase_if(TakeStarts, [&](const TakeStart& s) {
    if (s.Module == &m) return true;
    for (int32_t i = 0; i < ModuleList.count && ModuleList.entries != nullptr; ++i)
      if (ModuleList.entries[i] == s.Module) return false;
    return true;
  });
  if (take == nullptr) return;
  TakeStart s{&m, take, {}};
  if (const WaveLibraryEntry* e = m.SampleEntry.Load()) {
    s.Before.Entry = e;
    s.Before.Folder = DynZStringGet(e->Folder);
    s.Before.File = DynZStringGet(e->File);
  }
  s.Before.OutputChannels = m.OutputChannels.Load();
  s.Before.OlderFrequency = m.SampleOlderFrequency;
  TakeStarts.push_back(std::move(s));
}

}  // namespace

const SoundBeforeTake* SoundBeforeTakeOf(const ModuleRecord& m) {
  const WaveLibraryEntry* e = m.SampleEntry.Load();
  for (const TakeStart& s : TakeStarts)
    if (s.Module == &m) return e != nullptr && e == s.Take ? &s.Before : nullptr;
  return nullptr;
}

void AssignWaveToModule(ModuleRecord* module, WaveLibraryEntry* wave, uint64_t flags) {
  if (module == nullptr) return;
  NoteTakeStart(*module, flags != 0 ? wave : nullptr);
  module->SampleOlderFrequency = 0;  // a sound set now plays at its F
  PostAttachWave(module, wave, flags);
  // The lists mark the entry the module holds, read when they draw: while
  // playing the render attaches it at its next frame, so they are published
  // once it ran (when the render does not answer in time, the mark shows
  // what the module held until the list redraws).
  SettleCommandsOf(module);
  if (module->Type == kTypeSample || module->Type == kTypeSequencer || module->Type == kTypeConvolutiveFilter)
    DocPublishLibraryList(module->Type, static_cast<int64_t>(flags));
  RefreshParamControl(SelectedModule);
}

}  // namespace Tarvelo
