#include "app/documents/end_notes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/saver.h"

namespace Tarvelo {

namespace {

// The names of one note; false in `whole` when some of it is not what an end writes.
std::vector<std::string> ReadEndNote(const std::string& path, bool& present, bool& whole) {
  std::vector<std::string> names;
  present = platform::PathKindAt(path) == platform::PathKind::kFile;
  whole = true;
  if (!present) return names;
  const size_t cap = kEndNoteNames * (platform::kMaxItemLength + 2);
  std::string bytes(cap, '\0');
  // Non-blocking: a plain file by now, but a name swapped meanwhile never holds the start.
  const int fd = ::open(platform::ToOsPath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  size_t got = 0;
  while (fd >= 0 && got < cap) {
    const ssize_t n = ::read(fd, bytes.data() + got, cap - got);
    if (n <= 0) break;
    got += size_t(n);
  }
  if (fd >= 0) ::close(fd);
  bytes.resize(got);
  // An end removes a note that names nothing: an empty one lost its names.
  if (got == 0) whole = false;
  size_t at = 0;
  while (at < bytes.size() && names.size() < kEndNoteNames) {
    const size_t end = bytes.find('\n', at);
    // Every name an end writes ends its line: one that does not was cut
    // short (unless the cap cut it).
    if (end == std::string::npos) {
      if (got < cap) whole = false;
      break;
    }
    std::string name = bytes.substr(at, end - at);
    at = end + 1;
    if (!name.empty() && name.back() == '\r') name.pop_back();
    if (name.empty()) continue;
    if (name.size() > platform::kMaxItemLength || name.find('\0') != std::string::npos) {
      whole = false;
      continue;
    }
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

}  // namespace

LastEndNotes ReadEndNotes(const std::string& dataFolder) {
  LastEndNotes notes;
  for (const auto& [note, names] : {std::pair{kUnfinishedSavesNote, &notes.saves}, {kUnconfirmedNoteName, &notes.takes}}) {
    bool present = false, whole = true;
    *names = ReadEndNote(dataFolder + "\\" + note, present, whole);
    if (present && !whole) notes.unreadable.push_back(note);
  }
  return notes;
}

bool WriteEndNote(const std::string& path, const std::vector<std::string>& names) {
  const std::string os = platform::ToOsPath(path);
  std::string text;
  for (const std::string& name : NamesOnce(names)) text += name + "\n";
  if (text.empty()) return ::unlink(os.c_str()) == 0 || errno == ENOENT;
  const std::string fresh = os + ".new";
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool whole = platform::SaveWrite(fd, text.data(), text.size());
  ::close(fd);
  if (whole && ::rename(fresh.c_str(), os.c_str()) == 0) return true;
  ::unlink(fresh.c_str());
  return false;
}

std::vector<std::string> NamesOnce(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& n : names)
    if (!n.empty() && std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
  return out;
}

bool EndNoteChanged(const std::vector<std::string>& held, const std::vector<std::string>& now) {
  return NamesOnce(held) != NamesOnce(now);
}

}  // namespace Tarvelo
