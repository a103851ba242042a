#include "app/documents/take_recovery.h"

#include <algorithm>
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
using QUARLE_BASICS::kErrWavSizeMismatch;
using QUARLE_BASICS::Report;

namespace {

constexpr const char* kPartSuffix = ".part";
constexpr size_t kPartSuffixLength = 5;

uint32_t U32(const unsigned char* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// The walk over an open file: only sizes and ids are read, never the sound.
bool Whole(int32_t file, uint64_t length) {
  unsigned char b[12];
  size_t got = 0;
  if (length < 12 || platform::FileGet(file, 1, b, 12, &got) != 0 || got != 12) return false;
  if (std::memcmp(b, "RIFF", 4) != 0 || U32(b + 4) != length - 8 || std::memcmp(b + 8, "WAVE", 4) != 0)
    return false;
  bool format = false;
  // Chunks follow one another without pad bytes, as the writer puts them (a
  // text of odd length has none); each one takes at least 8 bytes, so the
  // walk ends.
  for (uint64_t at = 12; at + 8 <= length;) {
    if (platform::FileGet(file, int64_t(at) + 1, b, 8, &got) != 0 || got != 8) return false;
    const uint64_t end = at + 8 + U32(b + 4);
    if (end > length) return false;
    if (std::memcmp(b, "fmt ", 4) == 0) format = U32(b + 4) == 16;
    if (std::memcmp(b, "data", 4) == 0)
      return format && (end == length || (end + 1 == length && (U32(b + 4) & 1) != 0));
    at = end;
  }
  return false;
}

std::string Shown(const std::string& systemPath) {
  std::string s = systemPath;
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

// The name of the file a WAV work file was written for: its name
// without ".part" and the claim number ("~2") a second writer of the same
// name added; "" for the short name a name too long to keep beside it got.
// false for any other name.
bool WorkFileTarget(const std::string& name, std::string& target) {
  if (name.size() <= kPartSuffixLength ||
      name.compare(name.size() - kPartSuffixLength, kPartSuffixLength, kPartSuffix) != 0)
    return false;
  std::string base = name.substr(0, name.size() - kPartSuffixLength);
  if (base.compare(0, platform::kShortWorkPrefix.size(), platform::kShortWorkPrefix) == 0) {
    target.clear();
    return true;
  }
  const size_t tilde = base.rfind('~');
  if (tilde != std::string::npos && tilde + 1 < base.size() &&
      base.find_first_not_of("0123456789", tilde + 1) == std::string::npos &&
      platform::ExtensionIs(base.substr(0, tilde), ".wav"))
    base.erase(tilde);
  if (!platform::ExtensionIs(base, ".wav")) return false;
  target = base;
  return true;
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
    keep("it could not take the name " + targetName + ": " + ErrorText(rc), QUARLE_BASICS::kLevelError);
    return false;
  }
  Report("Recovered " + targetName + ": its save was cut short before the file took its name." + in,
         QUARLE_BASICS::kLevelInfo);
  return true;
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
  for (const std::string& name : Leftovers(folder))
    if (Recover(folder, name)) ++recovered;
  return recovered;
}

int32_t RecoverCutSaves(const std::string& dataFolder) {
  int32_t recovered = 0;
  for (const char* sub : {"\\AUDIO\\RECORDED", "\\AUDIO\\CONVERTED", "\\FILTERS"})
    recovered += RecoverCutSavesIn(dataFolder + sub);
  return recovered;
}

}  // namespace Tarvelo
