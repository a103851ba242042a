#include "app/state/wave_library.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/command.h"
#include "engine/dsp/analysis.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;
using namespace QUARLE_AUDIO;

WaveLibraryList SampleLibrary;
WaveLibraryList SynthSamples;
WaveLibraryList FilterLibrary;
WaveLibraryList MelodyLibrary;
int64_t LibraryChanged = 0;

void WaveLibraryEntryInit(WaveLibraryEntry& e) {
  e.ListIndex = 0;
  e.State.Store(kWaveIdle, std::memory_order_release);
  e.LoadState = kWavePlaceholder;
  e.ChannelChoice = -1;
  e.Folder.text = nullptr;
  e.File.text = nullptr;
  DynZStringAssign(e.Folder, "");
  DynZStringAssign(e.File, "");
  e.Saved = 0;
  e.RateRatio = Ratio{0, 0};
  for (int32_t c = 0; c < 2; ++c) {
    e.LoudestPosition[c] = 0.0f;
    e.LoudestValue[c] = 0.0f;
    e.MeanLevel[c] = 0.0f;
    e.Pitch[c] = 0.0f;
  }
  e.Duration.Store(0.0f);
  SoundBufferInit(&e.Sound);
}

void WaveLibraryEntryFree(WaveLibraryEntry& e) {
  SoundBufferFree(&e.Sound);
  DynZStringFree(e.Folder);
  DynZStringFree(e.File);
}

void WaveLibraryEntryAssign(WaveLibraryEntry& dst, const WaveLibraryEntry& src) {
  if (&dst == &src) return;
  DynZStringAssignFrom(dst.Folder, src.Folder);
  DynZStringAssignFrom(dst.File, src.File);
  SoundBufferAssign(&dst.Sound, &src.Sound);
  dst.RateRatio = src.RateRatio;
  CopyShared(dst.State, src.State);
  dst.LoadState = src.LoadState;
  dst.ChannelChoice = src.ChannelChoice;
  dst.Saved = src.Saved;
  CopyShared(dst.Duration, src.Duration);
  for (int32_t c = 0; c < 2; ++c) {
    dst.LoudestPosition[c] = src.LoudestPosition[c];
    dst.LoudestValue[c] = src.LoudestValue[c];
    dst.MeanLevel[c] = src.MeanLevel[c];
    dst.Pitch[c] = src.Pitch[c];
  }
}

WaveLibraryEntry* WaveLibraryEntryNew() {
  auto* e = static_cast<WaveLibraryEntry*>(std::calloc(1, sizeof(WaveLibraryEntry)));
  if (e != nullptr) WaveLibraryEntryInit(*e);
  return e;
}

void WaveLibraryEntryDelete(WaveLibraryEntry* e) {
  if (e == nullptr) return;
  WaveLibraryEntryFree(*e);
  std::free(e);
}

int32_t WaveLibraryListCreate(WaveLibraryList& list) {
  list.entries = static_cast<WaveLibraryEntry**>(
      std::calloc(kArrayInitialCapacity, sizeof(WaveLibraryEntry*)));
  if (list.entries == nullptr) return -kErrAllocation;
  list.header.lock = platform::MutexCreate();
  if (list.header.lock == nullptr) {
    std::free(list.entries);
    list.entries = nullptr;
    return -kErrMutexCreate;
  }
  list.header.count = 0;
  list.header.capacity = kArrayInitialCapacity;
  return 0;
}

void WaveLibraryListFree(WaveLibraryList& list) {
  if (list.entries != nullptr) {
    for (int32_t i = 0; i < list.header.capacity; ++i) WaveLibraryEntryDelete(list.entries[i]);
    std::free(list.entries);
  }
  list.entries = nullptr;
  list.header.count = 0;
  list.header.capacity = 0;
  if (list.header.lock != nullptr) platform::MutexDestroy(list.header.lock);
  list.header.lock = nullptr;
}

int32_t WaveLibraryListsCreate() {
  DescribeWave = DescribeWaveEntry;
  for (WaveLibraryList* l : {&SampleLibrary, &SynthSamples, &FilterLibrary, &MelodyLibrary}) {
    if (l->entries != nullptr) continue;
    int32_t r = WaveLibraryListCreate(*l);
    if (r != 0) return r;
  }
  return 0;
}

namespace {

// Unloaded entries a module or a pending engine command may still reach.
// one thread: interface
std::vector<WaveLibraryEntry*> KeptEntries;

bool HeldByModule(const WaveLibraryEntry* e) {
  for (int32_t i = 0; i < ModuleList.count && ModuleList.entries != nullptr; ++i)
    if (ModuleList.entries[i] != nullptr && ModuleList.entries[i]->SampleEntry.Load() == e) return true;
  for (const ModuleRecord& t : ModuleCatalog)
    if (t.SampleEntry.Load() == e) return true;
  return false;
}

// With playback off no frame reads the entry, and stopping ran the commands
// posted while it played.
bool StillReachable(const WaveLibraryEntry* e) {
  return (PlaybackActive.load() != 0 && EngineCommandPending()) || HeldByModule(e);
}

}  // namespace

std::string FreeEntryFileName(WaveLibraryList& list, const std::string& folder, const std::string& name,
                              const std::vector<std::string>& pending) {
  platform::MutexGuard guard(list.header.lock);
  return platform::FreeFileName(folder, name, [&](const std::string& candidate) {
    if (std::find(pending.begin(), pending.end(), candidate) != pending.end()) return true;
    for (int32_t i = 0; i < list.header.count && list.entries != nullptr; ++i) {
      const WaveLibraryEntry* e = list.entries[i];
      if (e != nullptr && DynZStringGet(e->File) == candidate && DynZStringGet(e->Folder) == folder) return true;
    }
    return false;
  });
}

void ReleaseUnloadedEntry(WaveLibraryEntry* e) {
  if (e == nullptr) return;
  if (StillReachable(e))
    KeptEntries.push_back(e);
  else
    WaveLibraryEntryDelete(e);
}

namespace {

bool EmptyRecording(const WaveLibraryEntry* e) {
  return e != nullptr && e->State.Load(std::memory_order_acquire) == kWaveIdle && e->Saved == 0 && e->LoadState == kWaveDataHeld &&
         e->Sound.frameCount == 0 && !HeldByModule(e);
}

}  // namespace

void DiscardEmptyRecording(WaveLibraryEntry* e) {
  WaveLibraryList& list = SynthSamples;
  WaveLibraryEntry* taken = nullptr;
  {
    platform::MutexGuard guard(list.header.lock);
    for (int32_t i = 0; i < list.header.count && list.entries != nullptr; ++i) {
      if (list.entries[i] != e) continue;
      if (EmptyRecording(e)) taken = WaveLibraryListTake(list, i);
      break;
    }
  }
  ReleaseUnloadedEntry(taken);
}

int32_t ReclaimUnloadedEntries() {
  std::erase_if(KeptEntries, [](WaveLibraryEntry* e) {
    if (StillReachable(e)) return false;
    WaveLibraryEntryDelete(e);
    return true;
  });
  WaveLibraryList& list = SynthSamples;
  for (int32_t i = list.header.count - 1; i >= 0 && list.entries != nullptr; --i) {
    WaveLibraryEntry* e = list.entries[i];
    if (!EmptyRecording(e)) continue;
    if (list.header.lock != nullptr) platform::MutexLock(list.header.lock);
    WaveLibraryEntry* taken = WaveLibraryListTake(list, i);
    if (list.header.lock != nullptr) platform::MutexUnlock(list.header.lock);
    WaveLibraryEntryDelete(taken);
  }
  return static_cast<int32_t>(KeptEntries.size());
}

void WaveLibraryListsFree() {
  for (WaveLibraryEntry* e : KeptEntries) WaveLibraryEntryDelete(e);
  KeptEntries.clear();
  for (WaveLibraryList* l : {&SampleLibrary, &SynthSamples, &FilterLibrary, &MelodyLibrary})
    WaveLibraryListFree(*l);
  LibraryChanged = 0;
}

namespace {

void Lock(WaveLibraryList& list) {
  if (list.header.lock != nullptr) platform::MutexLock(list.header.lock);
}
void Unlock(WaveLibraryList& list) {
  if (list.header.lock != nullptr) platform::MutexUnlock(list.header.lock);
}

}  // namespace

int32_t WaveLibraryListReserve(WaveLibraryList& list) {
  Lock(list);
  int32_t r = 0;
  if (list.entries == nullptr || list.header.count >= list.header.capacity) {
    int32_t capacity = list.entries == nullptr ? kArrayInitialCapacity : 2 * list.header.capacity;
    if (capacity < kArrayInitialCapacity) capacity = kArrayInitialCapacity;
    auto* grown = static_cast<WaveLibraryEntry**>(std::calloc(capacity, sizeof(WaveLibraryEntry*)));
    if (grown == nullptr) {
      r = -kErrAllocation;
    } else {
      if (list.entries != nullptr)
        std::memcpy(grown, list.entries, sizeof(WaveLibraryEntry*) * list.header.capacity);
      std::free(list.entries);
      list.entries = grown;
      list.header.capacity = capacity;
    }
  }
  Unlock(list);
  return r;
}

int32_t WaveLibraryListCommit(WaveLibraryList& list, WaveLibraryEntry* e) {
  Lock(list);
  int32_t index = list.header.count;
  list.entries[index] = e;
  if (e != nullptr) e->ListIndex = index;
  list.header.count = index + 1;
  Unlock(list);
  return index;
}

WaveLibraryEntry* WaveLibraryListAt(const WaveLibraryList& list, int32_t i) {
  if (list.entries == nullptr || i < 0 || i >= list.header.count) return nullptr;
  return list.entries[i];
}

WaveLibraryEntry* WaveLibraryListTake(WaveLibraryList& list, int32_t i) {
  const int32_t n = list.header.count;
  if (list.entries == nullptr || i < 0 || i >= n) return nullptr;
  WaveLibraryEntry* e = list.entries[i];
  for (int32_t k = i; k < n - 1; ++k) {
    list.entries[k] = list.entries[k + 1];
    if (list.entries[k] != nullptr) list.entries[k]->ListIndex = k;
  }
  list.entries[n - 1] = nullptr;
  list.header.count = n - 1;
  return e;
}

int32_t AddLibraryPlaceholder(WaveLibraryList& list, const std::string& folder,
                              const std::string& file) {
  int32_t r = WaveLibraryListReserve(list);
  if (r != 0) return r;
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (e == nullptr) return -kErrAllocation;
  DynZStringAssign(e->File, file);
  DynZStringAssign(e->Folder, folder);
  e->State.Store(kWaveIdle, std::memory_order_release);
  e->LoadState = kWavePlaceholder;
  e->Saved = -1;  // taken as being on disk, so the synth file keeps naming it
  return WaveLibraryListCommit(list, e);
}

int32_t FreeLibraryEntry(WaveLibraryEntry*& slot, int32_t code) {
  WaveLibraryEntryDelete(slot);
  slot = nullptr;
  return code;
}

int32_t ReadWaveAsFloat(const std::string& path, SoundBuffer& sound) {
  int32_t r = ReadWavHeader(path, &sound);
  if (r == 0) r = ReadWavData(path, &sound);
  if (r == 0 && sound.format.formatTag == kWaveFormatPcm) r = WavDataToFloat(&sound);
  if (r == 0 && sound.samples == nullptr) r = -kErrWavEmpty;
  return r;
}

bool WaveFileHolds(const std::string& path, const SoundBuffer& sound) {
  SoundBuffer other;
  SoundBufferInit(&other);
  bool same = false;
  if (sound.samples != nullptr && ReadWaveAsFloat(path, other) == 0) {
    const uint64_t values = static_cast<uint64_t>(sound.frameCount) * static_cast<uint64_t>(sound.format.channels);
    same = other.format.channels == sound.format.channels && other.format.sampleRate == sound.format.sampleRate &&
           other.frameCount == sound.frameCount && values * 4 <= sound.dataSize && values * 4 <= other.dataSize &&
           std::memcmp(other.samples, sound.samples, values * 4) == 0;
  }
  SoundBufferFree(&other);
  return same;
}

namespace {

// name itself, or name with " (n)" before its extension: the names converted
// copies of files of this name take.
bool NamesCopyOf(const std::string& candidate, const std::string& name) {
  if (candidate == name) return true;
  const std::string ext = platform::PathExtension(name);
  const std::string stem = name.substr(0, name.size() - ext.size());
  if (candidate.size() < stem.size() + ext.size() + 4 || candidate.compare(0, stem.size(), stem) != 0 ||
      candidate.compare(candidate.size() - ext.size(), ext.size(), ext) != 0)
    return false;
  const std::string number = candidate.substr(stem.size(), candidate.size() - stem.size() - ext.size());
  return number.size() >= 4 && number.compare(0, 2, " (") == 0 && number.back() == ')' &&
         number.find_first_not_of("0123456789", 2) == number.size() - 1;
}

}  // namespace

int32_t FindLoadedWave(const std::string& folder, const std::string& file, int32_t compareSize) {
  const std::string path = folder + "\\" + file;
  // A missing file has no length to compare: it matches nothing by size.
  const int64_t size = platform::FileExists(path) ? platform::FileLength(path) : -1;
  SoundBuffer wanted;
  SoundBufferInit(&wanted);
  bool read = false, readable = false;
  int32_t found = -1;
  for (int32_t i = 0; i < SampleLibrary.header.count && found < 0; ++i) {
    const WaveLibraryEntry* e = SampleLibrary.entries[i];
    if (e == nullptr) continue;
    const std::string own = DynZStringGet(e->Folder);
    const std::string name = DynZStringGet(e->File);
    if (name == file && own == folder) {
      found = i;
    } else if (own.find("CONVERTED") != std::string::npos && NamesCopyOf(name, file)) {
      // A converted copy stands for the file it was made from, and only for it.
      if (!read) {
        read = true;
        readable = ReadWaveAsFloat(path, wanted) == 0;
      }
      if (readable && WaveFileHolds(own + "\\" + name, wanted)) found = i;
    } else if (name == file && compareSize == -1 && size >= 0 && platform::FileExists(own + "\\" + file) &&
               platform::FileLength(own + "\\" + file) == size) {
      found = i;
    }
  }
  SoundBufferFree(&wanted);
  return found;
}

namespace {

// Keeps one channel or the mix of all; the sound becomes one channel of float.
void MakeMono(WaveLibraryEntry& e) {
  SoundBuffer& s = e.Sound;
  const int32_t nc = s.format.channels;
  const uint32_t held = s.dataSize / 4 / static_cast<uint32_t>(nc);
  const uint32_t frames = s.frameCount < held ? s.frameCount : held;
  float* mono = static_cast<float*>(std::calloc(frames > 0 ? frames : 1, sizeof(float)));
  if (mono == nullptr) {
    e.ChannelChoice = -1;
    Report(ErrorText(-kErrAllocation), kLevelError);
    return;
  }
  if (e.ChannelChoice == 0) {
    for (uint32_t i = 0; i < frames; ++i) {
      float sum = 0.0f;
      for (int32_t c = 0; c < nc; ++c) sum += s.samples[static_cast<size_t>(i) * nc + c];
      mono[i] = sum / static_cast<float>(nc);
    }
  } else {
    // Choice k keeps channel k - 1 (1 the left, 2 the right of a stereo file).
    int32_t c = e.ChannelChoice - 1;
    if (c >= nc) c = nc - 1;
    for (uint32_t i = 0; i < frames; ++i) mono[i] = s.samples[static_cast<size_t>(i) * nc + c];
  }
  std::free(s.samples);
  s.samples = mono;
  s.frameCount = frames;
  SoundBufferSetFormat(&s, 1, static_cast<int32_t>(s.format.sampleRate), 32);
  s.dataSize = frames * 4u;
}

}  // namespace

int32_t AddLoadedWave(const WaveLibraryEntry& source, int32_t choice) {
  if (source.State.Load(std::memory_order_acquire) >= kWaveBusy) return -1;
  int32_t r = WaveLibraryListReserve(SynthSamples);
  if (r != 0) return r;
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (e == nullptr) return -kErrAllocation;
  WaveLibraryEntryAssign(*e, source);
  e->LoadState = kWaveFormatKnown;
  e->State.Store(kWaveCreating, std::memory_order_release);

  // The header is read again with the data, so the data always matches the
  // file as it is now (a library entry may carry a converted copy's folder).
  const std::string path = DynZStringGet(e->Folder) + "\\" + DynZStringGet(e->File);
  r = ReadWavHeader(path, &e->Sound);
  if (r == 0) r = ReadWavData(path, &e->Sound);
  if (r == 0 && e->Sound.format.formatTag == kWaveFormatPcm) r = WavDataToFloat(&e->Sound);
  if (r == 0 && (e->Sound.format.channels < 1 || e->Sound.samples == nullptr)) r = -kErrWavUnsupported;
  if (r != 0) return FreeLibraryEntry(e, r);

  e->LoadState = kWaveDataHeld;
  const int32_t nc = e->Sound.format.channels;
  e->ChannelChoice = (nc == 1 || choice == nc + 1) ? -1 : choice;
  if (e->ChannelChoice >= 0) MakeMono(*e);

  AnalyseSampleLevels(e);
  DetectSamplePitch(e, 0);

  e->State.Store(kWaveIdle, std::memory_order_release);
  e->Saved = -1;
  return WaveLibraryListCommit(SynthSamples, e);
}

void RemoveLibraryEntry(int32_t i) {
  WaveLibraryList& list = SampleLibrary;
  if (list.entries == nullptr || i < 0 || i >= list.header.count) return;
  Lock(list);
  WaveLibraryEntryDelete(WaveLibraryListTake(list, i));
  Unlock(list);
  LibraryChanged = -1;
}

bool DescribeWaveEntry(const WaveLibraryEntry* wave, WaveInfo& info) {
  if (wave == nullptr) return false;
  const SoundBuffer& s = wave->Sound;
  int32_t channels = s.format.channels < 1 ? 1 : s.format.channels;
  int64_t frames = s.frameCount;
  if (s.samples == nullptr) {
    info.Data = nullptr;
  } else {
    // Never more frames than the array holds.
    const int64_t held = static_cast<int64_t>(s.dataSize / 4) / channels;
    if (frames > held) frames = held;
    info.Data = s.samples;
  }
  if (frames > INT32_MAX) frames = INT32_MAX;
  info.Channels = channels;
  info.Frames = static_cast<int32_t>(frames);
  info.Pitch = wave->Pitch[0];
  info.Rate = s.format.sampleRate <= INT32_MAX ? static_cast<int32_t>(s.format.sampleRate) : 0;
  return true;
}

}  // namespace Tarvelo
