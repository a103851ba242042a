#include "app/documents/take_recovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/documents/doc_io.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace Tarvelo {

using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::InsertArg;
using QUARLE_BASICS::kErrWavSizeMismatch;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

namespace {

constexpr const char* kPartSuffix = ".part";

uint32_t U32(const unsigned char* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void PutU32(unsigned char* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool ReadAt(int32_t file, uint64_t at, unsigned char* b, size_t n) {
  size_t got = 0;
  return platform::FileGet(file, int64_t(at) + 1, b, n, &got) == 0 && got == n;
}

bool IdLike(const unsigned char* id) {
  return std::all_of(id, id + 4, [](unsigned char c) { return c >= 0x20 && c <= 0x7E; });
}

// Where the chunk after one that ends at `end` starts. RIFF pads a chunk of
// odd size with a byte; the writer left it out after a text of odd length
// before it wrote it, so a byte there that starts a chunk id is taken for
// the next chunk and any other (a zero) for the pad.
uint64_t NextChunk(int32_t file, uint64_t end, uint32_t size, uint64_t length) {
  if (size % 2 == 0 || end >= length) return end;
  unsigned char b[4];
  return end + 4 <= length && ReadAt(file, end, b, 4) && b[0] != 0 && IdLike(b) ? end : end + 1;
}

// The walk over an open file: only sizes and ids are read, never the sound.
bool Whole(int32_t file, uint64_t length) {
  unsigned char b[12];
  if (length < 12 || !ReadAt(file, 0, b, 12)) return false;
  if (std::memcmp(b, "RIFF", 4) != 0 || U32(b + 4) != length - 8 || std::memcmp(b + 8, "WAVE", 4) != 0)
    return false;
  bool format = false;
  // Each chunk takes at least 8 bytes, so the walk ends.
  for (uint64_t at = 12; at + 8 <= length;) {
    if (!ReadAt(file, at, b, 8)) return false;
    const uint64_t end = at + 8 + U32(b + 4);
    if (end > length) return false;
    if (std::memcmp(b, "fmt ", 4) == 0) format = U32(b + 4) == 16;
    if (std::memcmp(b, "data", 4) == 0)
      return format && (end == length || (end + 1 == length && (U32(b + 4) & 1) != 0));
    at = NextChunk(file, end, U32(b + 4), length);
  }
  return false;
}

std::string Shown(const std::string& systemPath) {
  std::string s = systemPath;
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

// The name of the file a WAV work file (platform::ReadWorkName, ".part")
// was written for; "" for the short name a name too long to keep beside it
// got. false for any other name.
bool WorkFileTarget(const std::string& name, std::string& target) {
  platform::WorkName work;
  if (!platform::ReadWorkName(name, work) || work.suffix != kPartSuffix) return false;
  target = work.target;
  return target.empty() ? work.extension.empty() || platform::ExtensionIs(work.extension, ".wav")
                        : platform::ExtensionIs(target, ".wav");
}

// The leftovers' names, in name order.
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> names, leftovers;
  platform::FolderNames(folder, names);
  std::string target;
  for (const std::string& name : names)
    if (WorkFileTarget(name, target)) leftovers.push_back(name);
  std::sort(leftovers.begin(), leftovers.end());
  return leftovers;
}

// Puts one leftover in place, or says why it stays. true when it took its name.
// The lines name the file and the reason first and the folder last, so a
// narrow pane still shows what happened to which file.
bool Recover(const std::string& folder, const std::string& name) {
  const std::string part = folder + "\\" + name;
  std::string targetName;
  WorkFileTarget(name, targetName);
  const std::string target = folder + "\\" + targetName;
  const std::string in = " Folder: " + Shown(folder);
  const auto keep = [&](const std::string& why, int32_t level) { Report("Kept " + name + ": " + why + in, level); };
  // Only what the writer makes is moved: a link, a folder or a device under
  // the name is someone else's and is neither followed nor renamed.
  if (platform::PathKindAt(part) != platform::PathKind::kFile) {
    keep("it is no plain file.", QUARLE_BASICS::kLevelWarning);
    return false;
  }
  if (const int32_t rc = WholeWavFile(part); rc != 0) {
    keep(rc == -kErrWavSizeMismatch
             ? std::string("it is no whole WAV file (its save was cut short before it was complete).")
             : "it could not be read: " + ErrorText(rc),
         QUARLE_BASICS::kLevelWarning);
    return false;
  }
  if (targetName.empty()) {
    keep("it holds a whole WAV file whose name was too long to write beside it; rename it to keep it.",
         QUARLE_BASICS::kLevelWarning);
    return false;
  }
  // A file that took the name since (a later save of the take, another one
  // of that name) is never replaced: the user chooses.
  if (platform::PathKindAt(target) != platform::PathKind::kNothing) {
    keep("it holds a whole WAV file, but " + targetName + " is already there; rename one of them to keep both.",
         QUARLE_BASICS::kLevelWarning);
    return false;
  }
  if (const int32_t rc = platform::FileReplace(part, target); rc != 0) {
    // The name may have changed all the same, only not on the disk yet.
    if (platform::PathKindAt(part) == platform::PathKind::kNothing) {
      Report("Recovered " + targetName + ", but the disk did not confirm its new name: " + ErrorText(rc) + in,
             QUARLE_BASICS::kLevelError);
      return true;
    }
    keep("it could not take the name " + targetName + ": " + ErrorText(rc), QUARLE_BASICS::kLevelError);
    return false;
  }
  Report("Recovered " + targetName + ": its save was cut short before the file took its name." + in,
         QUARLE_BASICS::kLevelInfo);
  return true;
}

// What a take's header names and what its file holds: the data chunk, which
// the writer puts last, runs to the end of the file.
// one thread: value
struct TakeSizes {
  int64_t dataAt = 0;  // offset of the first sound byte
  int64_t factAt = 0;  // offset of the fact chunk's frame count, 0 when none
  uint32_t named = 0;  // the data chunk's size
  uint64_t held = 0;   // the whole frames after dataAt
  uint32_t bytesPerSecond = 0;
  uint32_t blockAlign = 0;  // bytes a frame
  uint64_t zerosAt = 0;     // where the tail of zero pages starts; the length when none
  uint64_t length = 0;
};

// A disk that failed under a take (a stick pulled out) leaves the file as long
// as the writer asked, its last pages never written: the file system reads
// them as zeros. The writer's sound reaches the disk page by page, so a run of
// whole zero pages to the end past what the header names is no sound. Gives
// where that run starts (page-aligned, from `from` on), or the length.
uint64_t ZeroPagesFrom(int32_t file, uint64_t from, uint64_t length) {
  constexpr uint64_t kPage = 4096;
  static_assert(kPage % 4 == 0);
  uint64_t zerosAt = length;
  std::vector<unsigned char> page(kPage);
  for (uint64_t at = length == 0 ? 0 : (length - 1) / kPage * kPage; length > 0 && at >= from; at -= kPage) {
    const size_t n = size_t(std::min(kPage, length - at));
    if (!ReadAt(file, at, page.data(), n) || std::any_of(page.begin(), page.begin() + ptrdiff_t(n), [](unsigned char c) {
          return c != 0;
        }))
      break;
    zerosAt = at;
    if (at < kPage) break;
  }
  return zerosAt;
}

// True when the bytes from `at` to the end are chunks (ids of letters, each
// size within the file): another program's chunks after its data, not sound.
bool ChunksToEnd(int32_t file, uint64_t at, uint64_t length) {
  unsigned char b[8];
  // Sound reads as a chunk id seldom and as a run of them never: a few
  // hundred chunks tell.
  for (int32_t n = 0; at < length && n < 1024; ++n) {
    if (at + 8 > length || !ReadAt(file, at, b, 8) || !IdLike(b)) return false;
    const uint64_t end = at + 8 + U32(b + 4);
    if (end > length) return false;
    at = end + (U32(b + 4) % 2 != 0 && end < length ? 1 : 0);
  }
  return at == length;
}

// The chunk at `at` when its id is `id` (and its size `size`, unless 0): its size.
bool ChunkIs(int32_t file, uint64_t at, uint64_t length, const char* id, uint32_t size, uint32_t& got) {
  unsigned char b[8];
  if (at + 8 > length || !ReadAt(file, at, b, 8) || std::memcmp(b, id, 4) != 0) return false;
  got = U32(b + 4);
  return size == 0 || got == size;
}

// True only for a take as the recordings' writer lays it out: 16-bit PCM,
// "fmt ", "fact", a text when it has one, "PEAK" and "data", in that order,
// the data the file's last chunk. A take the last end named (`noted`) is one
// whatever its sound after the named data reads as. Any other file is
// another program's, and what follows its data is its own.
bool ReadTakeSizes(int32_t file, uint64_t length, bool noted, TakeSizes& t) {
  unsigned char b[16];
  if (length < 12 || !ReadAt(file, 0, b, 12)) return false;
  if (std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "WAVE", 4) != 0) return false;
  uint32_t size = 0;
  if (!ChunkIs(file, 12, length, "fmt ", 16, size) || !ReadAt(file, 20, b, 16)) return false;
  const uint32_t tag = uint32_t(b[0]) | uint32_t(b[1]) << 8, channels = uint32_t(b[2]) | uint32_t(b[3]) << 8;
  t.bytesPerSecond = U32(b + 8);
  t.blockAlign = uint32_t(b[12]) | uint32_t(b[13]) << 8;
  const uint32_t bits = uint32_t(b[14]) | uint32_t(b[15]) << 8;
  if (tag != 1 || bits != 16 || channels == 0 || t.blockAlign != 2 * channels) return false;
  if (!ChunkIs(file, 36, length, "fact", 4, size)) return false;
  t.factAt = 44;
  uint64_t at = 48;
  if (ChunkIs(file, at, length, "LIST", 0, size)) {
    if (at + 8 + size > length) return false;
    at = NextChunk(file, at + 8 + size, size, length);
  }
  if (!ChunkIs(file, at, length, "PEAK", 24, size)) return false;
  at += 8 + 24;
  if (!ChunkIs(file, at, length, "data", 0, t.named) || at + 8 + t.blockAlign > UINT32_MAX) return false;
  t.dataAt = int64_t(at) + 8;
  const uint64_t namedEnd = uint64_t(t.dataAt) + t.named;
  if (!noted && namedEnd < length && ChunksToEnd(file, NextChunk(file, namedEnd, t.named, length), length))
    return false;
  t.length = length;
  t.zerosAt = namedEnd >= length ? length : ZeroPagesFrom(file, namedEnd, length);
  t.held = (t.zerosAt - uint64_t(t.dataAt)) / t.blockAlign * t.blockAlign;
  // A size field holds at most 4 GiB less the header, in whole frames.
  const uint64_t most = (uint64_t(UINT32_MAX) - uint64_t(t.dataAt)) / t.blockAlign * t.blockAlign;
  t.held = std::min(t.held, most);
  return true;
}

std::string SecondsText(uint64_t bytes, uint32_t bytesPerSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", bytesPerSecond ? double(bytes) / bytesPerSecond : 0.0);
  return text;
}

// Writes the sizes of every whole frame the open take holds, synced, and
// closes it: 1, or the failure's code.
int32_t PutTakeHeader(int32_t file, uint64_t length, const TakeSizes& t) {
  unsigned char v[4];
  const uint64_t end = uint64_t(t.dataAt) + t.held;
  int32_t rc = 0;
  // A part frame at the end is no sound, nor the zero pages after it: the
  // file ends with the last whole frame.
  if (length > end && (length - end < t.blockAlign || end + t.blockAlign > t.zerosAt))
    rc = platform::FileTruncate(file, int64_t(end));
  PutU32(v, uint32_t(t.held));
  if (rc == 0) rc = platform::FilePut(file, t.dataAt - 4 + 1, v, 4);
  PutU32(v, uint32_t(end - 8));
  if (rc == 0) rc = platform::FilePut(file, 5, v, 4);
  PutU32(v, uint32_t(t.held / t.blockAlign));
  if (rc == 0 && t.factAt > 0) rc = platform::FilePut(file, t.factAt + 1, v, 4);
  if (rc == 0) rc = platform::FileSync(file);
  const int32_t closed = platform::FileClose(file);
  return rc != 0 ? rc : closed != 0 ? closed : 1;
}

// Names every whole frame the take holds when its header names fewer (an end
// cut short before the header caught up); 1 when put right, 0 when nothing
// was to do, or the failure's code. A file that needs nothing is only read (a
// read-only one stays unremarked).
int32_t RepairTakeHeader(const std::string& path, bool noted, TakeSizes& t) {
  for (const platform::FileAccess access : {platform::kAccessRead, platform::kAccessReadWrite}) {
    int32_t file = 0;
    if (const int32_t rc = OpenDocumentFile(path, platform::kFileBinary, access, file); rc != 0) return rc;
    const int64_t length = platform::FileLengthOf(file);
    const bool needed = length > 0 && ReadTakeSizes(file, uint64_t(length), noted, t) && t.named < t.held;
    if (needed && access == platform::kAccessReadWrite) return PutTakeHeader(file, uint64_t(length), t);
    platform::FileClose(file);
    if (!needed) return 0;
  }
  return 0;
}

// When the file was last written, in nanoseconds of the system clock; 0 when
// it cannot be told.
int64_t ChangedAt(const std::string& path) {
  struct stat st;
  if (::stat(platform::ToOsPath(path).c_str(), &st) != 0) return 0;
  return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

int32_t WholeWavFile(const std::string& path) {
  int32_t file = 0;
  if (const int32_t rc = OpenDocumentFile(path, platform::kFileBinary, platform::kAccessRead, file); rc != 0)
    return rc;
  const int64_t length = platform::FileLengthOf(file);
  const bool whole = length > 0 && Whole(file, uint64_t(length));
  platform::FileClose(file);
  return whole ? 0 : -kErrWavSizeMismatch;
}

int32_t RecoverCutSavesIn(const std::string& folder) {
  int32_t recovered = 0;
  for (const std::string& name : Leftovers(folder)) {
    // Held, it is a running save's, of this run or another program of ours,
    // and left alone; holding it, no save takes it meanwhile. What is no
    // plain file is only named.
    const std::string path = folder + "\\" + name;
    const int held = platform::PathKindAt(path) == platform::PathKind::kFile ? platform::HoldLeftWorkFile(path) : -2;
    if (held != -1 && Recover(folder, name)) ++recovered;
    if (held >= 0) ::close(held);
  }
  return recovered;
}

int32_t RepairTakeHeaders(const std::string& folder, const std::vector<std::string>& named,
                          int64_t changedBefore) {
  std::vector<std::string> names;
  platform::FolderNames(folder, names);
  std::erase_if(names, [&](const std::string& name) {
    return !platform::ExtensionIs(name, ".wav") ||
           platform::PathKindAt(folder + "\\" + name) != platform::PathKind::kFile ||
           (changedBefore != 0 && ChangedAt(folder + "\\" + name) >= changedBefore);
  });
  std::sort(names.begin(), names.end());
  int32_t repaired = 0;
  for (const std::string& name : names) {
    TakeSizes t;
    const bool noted = std::find(named.begin(), named.end(), name) != named.end();
    const int32_t rc = RepairTakeHeader(folder + "\\" + name, noted, t);
    if (rc == 1) {
      ++repaired;
      std::string line = InsertArg(
          LangText(634, "The recording {$} named less than its file holds: its header now names all {$} s"), name);
      Report(InsertArg(line, SecondsText(t.held, t.bytesPerSecond)), QUARLE_BASICS::kLevelWarning);
      if (t.length - t.zerosAt >= t.blockAlign) {
        line = InsertArg(LangText(695, "The last {$} s of the recording {$} were zeros the file system left where the "
                                       "disk failed, no sound: they are cut off"),
                         SecondsText(t.length - t.zerosAt, t.bytesPerSecond));
        Report(InsertArg(line, name), QUARLE_BASICS::kLevelWarning);
      }
    } else if (rc < 0) {
      Report(InsertArg(LangText(635, "The recording {$} names less than its file holds, and its header could not be put right: "),
                       name) + ErrorText(rc) + " Folder: " + Shown(folder),
             QUARLE_BASICS::kLevelError);
    }
  }
  return repaired;
}

int32_t RecoverCutSaves(const std::string& dataFolder) {
  int32_t recovered = 0;
  for (const char* sub : {"\\AUDIO\\RECORDED", "\\AUDIO\\CONVERTED", "\\FILTERS"})
    recovered += RecoverCutSavesIn(dataFolder + sub);
  return recovered;
}

}  // namespace Tarvelo
