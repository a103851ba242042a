#include "engine/tuningfile.h"

#include <array>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "basics/dynzstring.h"
#include "basics/errors.h"
#include "basics/queues.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/saver.h"

namespace Tarvelo {

using QUARLE_BASICS::DynZStringAssign;
using QUARLE_BASICS::DynZStringGet;
using QUARLE_BASICS::kErrAllocation;
using QUARLE_BASICS::kErrBadParameter;
using QUARLE_BASICS::kErrFileAccess;
using QUARLE_BASICS::kErrIncompatibleFile;
using QUARLE_BASICS::kErrNoFreeFile;

namespace {

constexpr int64_t kShortestFile = 28;  // 27 bytes or fewer hold no tuning
constexpr int64_t kKeyRecordHead = 12;
constexpr int64_t kPatternBytes = 8 + kScalePatternNameSize;

void PutBytes(std::vector<unsigned char>& out, const void* p, std::size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  out.insert(out.end(), b, b + n);
}

template <class T>
void Put(std::vector<unsigned char>& out, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  PutBytes(out, &value, sizeof value);  // the host is little-endian, like the file
}

// Takes a free file number and opens the path under the file lock.
int32_t OpenNumbered(const std::string& path, platform::FileMode mode, platform::FileAccess access,
                     int32_t& number) {
  platform::MutexGuard guard(QUARLE_BASICS::MT_FILES);
  number = platform::FreeFile();
  if (number <= 0) return -kErrNoFreeFile;
  int32_t rc = platform::FileOpen(number, path, mode, access);
  return rc != 0 ? -rc : 0;
}

// Sequential reads that know how much of the file is left.
// one thread: value
struct Reader {
  int32_t file;
  int64_t left;
  bool Read(void* p, int64_t n) {
    if (n < 0 || n > left) return false;
    std::size_t got = 0;
    if (platform::FileGet(file, 0, p, static_cast<std::size_t>(n), &got) != 0 ||
        got != static_cast<std::size_t>(n))
      return false;
    left -= n;
    return true;
  }
  bool Skip(int64_t n) {
    if (n < 0 || n > left) return false;
    int64_t at = platform::FilePosition(file);
    if (platform::FileSeek(file, at + n) != 0) return false;
    left -= n;
    return true;
  }
};

// one thread: value
struct KeyRecord {
  float Relative;
  float Absolute;
  std::string Name;
};

// one thread: value
struct TuningImage {
  float Pitch = 0.0f;
  int32_t StoredKeys = 0;
  std::vector<KeyRecord> Keys;  // at most kTuningMaxKeys
  bool HasPatterns = false;
  int32_t Patterns = 0;         // at most kScalePatternMax
  std::vector<uint64_t> Masks;
  std::vector<std::array<char, kScalePatternNameSize>> Names;
};

int32_t ReadImage(Reader& in, TuningImage& img) {
  if (!in.Read(&img.Pitch, 4) || !in.Read(&img.StoredKeys, 4)) return -kErrIncompatibleFile;
  // Every key record the file announces is there, the ones beyond the largest
  // key count included: they are passed over, so the patterns after them are
  // found where they are.
  const int64_t stored = img.StoredKeys < 0 ? 0 : img.StoredKeys;
  if (stored * kKeyRecordHead > in.left) return -kErrIncompatibleFile;
  for (int64_t k = 0; k < stored; ++k) {
    KeyRecord key{};
    int32_t length = 0;
    if (!in.Read(&key.Relative, 4) || !in.Read(&key.Absolute, 4) || !in.Read(&length, 4))
      return -kErrIncompatibleFile;
    if (length > in.left) return -kErrIncompatibleFile;
    if (k >= kTuningMaxKeys) {
      if (length > 0 && !in.Skip(length)) return -kErrIncompatibleFile;
      continue;
    }
    if (length > 0) {
      try {
        key.Name.resize(static_cast<std::size_t>(length));
      } catch (const std::bad_alloc&) {
        return -kErrAllocation;
      }
      if (!in.Read(key.Name.data(), length)) return -kErrIncompatibleFile;
      key.Name.resize(strnlen(key.Name.c_str(), key.Name.size()));
    }
    img.Keys.push_back(std::move(key));
  }

  if (in.left == 0) return 0;  // no pattern section
  uint32_t count = 0;
  if (!in.Read(&count, 4)) return -kErrIncompatibleFile;
  if (static_cast<int64_t>(count) * kPatternBytes > in.left) return -kErrIncompatibleFile;
  const int32_t used = count > static_cast<uint32_t>(kScalePatternMax) ? kScalePatternMax : static_cast<int32_t>(count);
  const int64_t surplus = static_cast<int64_t>(count) - used;
  img.HasPatterns = true;
  img.Patterns = used;
  img.Masks.resize(used);
  img.Names.resize(used);
  if (used > 0 && !in.Read(img.Masks.data(), 8 * static_cast<int64_t>(used))) return -kErrIncompatibleFile;
  if (!in.Skip(8 * surplus)) return -kErrIncompatibleFile;
  for (auto& name : img.Names) {
    if (!in.Read(name.data(), kScalePatternNameSize)) return -kErrIncompatibleFile;
    name[kScalePatternNameSize - 1] = '\0';
  }
  return 0;
}

void ApplyImage(Tuning& t, const TuningImage& img) {
  TuningSetReferencePitch(t, img.Pitch);
  TuningSetNoteCount(t, img.StoredKeys);
  const int32_t n = TuningGetNoteCount(t);
  for (int32_t i = 0; i < n && i < static_cast<int32_t>(img.Keys.size()); ++i) {
    const KeyRecord& key = img.Keys[i];
    TuningSetRatio(t, i, key.Relative);
    TuningSetSecondValue(t, i, key.Absolute);
    TuningSetNoteName(t, i, key.Name.c_str());
  }
  if (img.HasPatterns) {
    t.PatternCount = img.Patterns;
    for (int32_t p = 0; p < img.Patterns; ++p) {
      t.PatternMasks[p] = img.Masks[p];
      std::memcpy(t.PatternNames[p], img.Names[p].data(), kScalePatternNameSize);
    }
  }
}

}  // namespace

int32_t TuningFileBytes(Tuning& tuning, std::string& target, std::string& bytes) {
  const std::string fileName = DynZStringGet(tuning.FileName);
  if (tuning.NoteCount <= 0 || fileName.empty()) return -kErrBadParameter;
  std::string folder = DynZStringGet(tuning.Folder);
  if (folder.empty()) {
    folder = platform::CurrentFolder();
    if (folder.empty()) return -kErrBadParameter;
    DynZStringAssign(tuning.Folder, folder);
  }

  std::vector<unsigned char> out;
  const int32_t n = TuningGetNoteCount(tuning);
  Put(out, TuningGetReferencePitch(tuning));
  Put(out, n);
  for (int32_t i = 0; i < n; ++i) {
    const std::string name = TuningGetNoteName(tuning, i);
    Put(out, TuningGetRatio(tuning, i));
    Put(out, TuningGetSecondValue(tuning, i));
    Put(out, static_cast<int32_t>(name.size()));
    PutBytes(out, name.data(), name.size());
  }
  int32_t patterns = tuning.PatternCount;
  if (patterns < 0) patterns = 0;
  if (patterns > kScalePatternMax) patterns = kScalePatternMax;
  Put(out, patterns);
  for (int32_t p = 0; p < patterns; ++p) Put(out, tuning.PatternMasks[p]);
  for (int32_t p = 0; p < patterns; ++p) PutBytes(out, tuning.PatternNames[p], kScalePatternNameSize);

  target = folder + "\\" + fileName;
  bytes.assign(reinterpret_cast<const char*>(out.data()), out.size());
  return 0;
}

int32_t TuningSaveResult(int32_t rc) { return rc == 0 ? 0 : (rc < 0 ? rc : -kErrFileAccess); }

int32_t SaveTuning(Tuning& tuning) {
  std::string target, bytes;
  if (const int32_t rc = TuningFileBytes(tuning, target, bytes); rc != 0) return rc;
  const int32_t rc = TuningSaveResult(platform::PutFileInPlace(target, bytes, ".tmp"));
  if (rc != 0) return rc;
  tuning.Modified = 0;
  return 0;
}

int32_t LoadTuning(Tuning& tuning, const std::string& folder, const std::string& fileName) {
  const std::string path = folder + "\\" + fileName;
  if (!platform::FileExists(path))
    return platform::FolderExists(path) ? -QUARLE_BASICS::kErrFolderNamed : -kErrBadParameter;
  int32_t number = 0;
  int32_t rc = OpenNumbered(path, platform::kFileBinary, platform::kAccessRead, number);
  if (rc != 0) return rc;
  const int64_t length = platform::FileLengthOf(number);
  if (length < kShortestFile) {
    platform::FileClose(number);
    return -kErrBadParameter;
  }
  Reader in{number, length};
  TuningImage img;
  rc = ReadImage(in, img);
  platform::FileClose(number);
  if (rc != 0) return rc;

  ApplyImage(tuning, img);
  if (tuning.PatternCount <= 0) {
    tuning.PatternCount = 1;
    TuningNewScalePattern(tuning, 0);
  }
  DynZStringAssign(tuning.Folder, folder);
  DynZStringAssign(tuning.FileName, fileName);
  TuningComputeConsonance(tuning);
  tuning.Modified = 0;
  return 0;
}

}  // namespace Tarvelo
