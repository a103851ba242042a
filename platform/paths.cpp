#include "platform/paths.h"

#include "platform/charset.h"
#include "platform/files.h"
#include "platform/saver.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

namespace platform {

namespace {

uint32_t CodePoint(unsigned char c) {
  uint32_t cp = Cp1252ToUnicode(c);
  return cp ? cp : c;  // undefined bytes pass through as C1 controls
}

std::mutex g_overrideLock;
// one thread: start-up
std::string g_programFolderOverride;

std::string StripTrailingSeparators(std::string path) {
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

bool SyncOsFolder(const std::string& osFolder) {
  const int fd = ::open(osFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = SyncDescriptor(fd);
  ::close(fd);
  return ok;
}

// The folder that holds an OS path's last component.
bool SyncOsFolderOf(const std::string& osPath) {
  const size_t cut = osPath.find_last_of('/');
  if (cut == std::string::npos) return SyncOsFolder(".");
  return SyncOsFolder(cut == 0 ? std::string("/") : osPath.substr(0, cut));
}

// The work files this process's saves hold. The process's end frees them
// under the lock: a save's thread that ended unjoined touched them last.
struct WorkClaims {
  std::mutex lock;
  // one thread: holder of lock
  std::set<std::string> names;
  ~WorkClaims() {
    std::lock_guard<std::mutex> g(lock);
    names.clear();
  }
};
WorkClaims g_workClaims;

// The longest name the folder's disk takes, in bytes of the OS form.
size_t LongestName(const std::string& osFolder) {
  const long n = ::pathconf(osFolder.empty() ? "." : osFolder.c_str(), _PC_NAME_MAX);
  return n > 0 ? static_cast<size_t>(n) : NAME_MAX;
}

bool StatPath(const std::string& path, struct stat& st) {
  return ::stat(ToOsPath(path).c_str(), &st) == 0;
}

unsigned char FoldLower(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c == 0x8A || c == 0x8C || c == 0x8E) return c + 16;  // Š Œ Ž
  if (c == 0x9F) return 0xFF;                               // Ÿ
  return c;
}

unsigned char FoldUpper(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0x9A || c == 0x9C || c == 0x9E) return c - 16;
  if (c == 0xFF) return 0x9F;
  return c;
}

int32_t HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendHex(std::string& out, uint32_t value, int32_t digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  char buffer[8];
  int32_t n = 0;
  do {
    buffer[n++] = kDigits[value & 15];
    value >>= 4;
  } while (value != 0 || n < digits);
  while (n > 0) out += buffer[--n];
}

// A Unicode character: not a surrogate, not beyond the last plane.
bool IsCharacter(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

// The form at text[at] (an escape character) in OS bytes, appended to out;
// the number of system bytes it took, or 0 when no form begins there.
size_t AppendEscaped(const std::string& text, size_t at, std::string& out) {
  const size_t n = text.size();
  if (at + 1 >= n) return 0;
  const char kind = text[at + 1];
  if (kind == kPathEscape) {
    AppendUtf8(out, Cp1252ToUnicode(static_cast<unsigned char>(kPathEscape)));
    return 2;
  }
  if (kind == '{') {
    uint32_t cp = 0;
    size_t i = at + 2;
    for (; i < n && i < at + 8 && HexDigit(text[i]) >= 0; ++i) cp = cp * 16 + static_cast<uint32_t>(HexDigit(text[i]));
    // No number below 0xA0 but the backslash's: a control character is no
    // character of a name, and the code page spells the rest itself.
    if (i == at + 2 || i >= n || text[i] != '}' || !IsCharacter(cp) || (cp < 0xA0 && cp != '\\')) return 0;
    AppendUtf8(out, cp);
    return i + 1 - at;
  }
  if (kind == '[') {
    if (at + 4 >= n || text[at + 4] != ']') return 0;
    const int32_t high = HexDigit(text[at + 2]), low = HexDigit(text[at + 3]);
    if (high < 8 || low < 0) return 0;
    out += static_cast<char>(high * 16 + low);
    return 5;
  }
  return 0;
}

// A system text in UTF-8 with the forms read: a path's separators become '/';
// a text for other programs keeps its backslashes, and its byte forms written
// out (a byte that is no character has no place in a text).
std::string SystemTextToUtf8(const std::string& text, bool path) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\' && path) {
      out += '/';
      ++i;
      continue;
    }
    const bool form = c == static_cast<unsigned char>(kPathEscape) &&
                      (path || i + 1 >= text.size() || text[i + 1] != '[');
    if (const size_t took = form ? AppendEscaped(text, i, out) : 0; took > 0) {
      i += took;
      continue;
    }
    AppendUtf8(out, CodePoint(c));
    ++i;
  }
  return out;
}

}  // namespace

std::string ToOsPath(const std::string& systemPath) { return SystemTextToUtf8(systemPath, true); }

std::string OutgoingText(const std::string& systemText) { return SystemTextToUtf8(systemText, false); }

std::string FromOsPath(const std::string& osPath) {
  std::string out;
  out.reserve(osPath.size());
  size_t i = 0;
  const size_t n = osPath.size();
  while (i < n) {
    const size_t at = i;
    uint32_t cp = 0;
    if (!NextUtf8(osPath, i, cp) || !IsCharacter(cp)) {
      i = at + 1;
      (out += kPathEscape) += '[';
      AppendHex(out, static_cast<unsigned char>(osPath[at]), 2);
      out += ']';
      continue;
    }
    if (cp == '/') {
      out += '\\';
      continue;
    }
    const int32_t b = cp == '\\' ? -1 : UnicodeToCp1252(cp);
    if (b == static_cast<unsigned char>(kPathEscape)) {
      (out += kPathEscape) += kPathEscape;
    } else if (b < 0 && cp >= 0x80 && cp < 0xA0) {
      // A control character the code page has no byte for: by its bytes, as
      // no number form takes it.
      for (size_t k = at; k < i; ++k) {
        (out += kPathEscape) += '[';
        AppendHex(out, static_cast<unsigned char>(osPath[k]), 2);
        out += ']';
      }
    } else if (b >= 0) {
      out += static_cast<char>(b);
    } else {
      (out += kPathEscape) += '{';
      AppendHex(out, cp, 1);
      out += '}';
    }
  }
  return out;
}

bool HoldsControlCharacter(const std::string& systemName) {
  const std::string os = ToOsPath(systemName);
  uint32_t cp = 0;
  for (size_t i = 0; i < os.size();) {
    if (!NextUtf8(os, i, cp)) continue;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return true;
  }
  return false;
}

std::string ProfileFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return StripTrailingSeparators(FromOsPath(home));
  if (const passwd* pw = ::getpwuid(::getuid())) {
    if (pw->pw_dir && *pw->pw_dir) return StripTrailingSeparators(FromOsPath(pw->pw_dir));
  }
  return "";
}

std::string ProgramFolder() {
  {
    std::lock_guard<std::mutex> guard(g_overrideLock);
    if (!g_programFolderOverride.empty()) return g_programFolderOverride;
  }
  std::vector<char> buf(4096);
  ssize_t len = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (len <= 0) return "";
  std::string exe(buf.data(), static_cast<size_t>(len));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "\\";
  return FromOsPath(exe.substr(0, slash));
}

void SetProgramFolderOverride(const std::string& systemPath) {
  std::lock_guard<std::mutex> guard(g_overrideLock);
  g_programFolderOverride = systemPath.empty() ? std::string() : StripTrailingSeparators(systemPath);
}

std::string PathExtension(const std::string& path) {
  size_t sep = path.find_last_of("\\/");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos) return "";
  if (sep != std::string::npos && dot < sep) return "";
  return path.substr(dot);
}

std::string FreeFileName(const std::string& folder, const std::string& name,
                         const std::function<bool(const std::string&)>& taken) {
  auto used = [&](const std::string& n) {
    return FileExists(folder + "\\" + n) || FolderExists(folder + "\\" + n) || (taken && taken(n));
  };
  if (!used(name)) return name;
  const std::string ext = PathExtension(name);
  const std::string stem = name.substr(0, name.size() - ext.size());
  for (int64_t n = 2;; ++n) {
    const std::string candidate = stem + " (" + std::to_string(n) + ")" + ext;
    if (!used(candidate)) return candidate;
  }
}

std::string LowerCase(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(FoldLower(static_cast<unsigned char>(c)));
  return out;
}

std::string UpperCase(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(FoldUpper(static_cast<unsigned char>(c)));
  return out;
}

bool ExtensionIs(const std::string& path, const std::string& ext) {
  std::string own = PathExtension(path);
  return !own.empty() && LowerCase(own) == LowerCase(ext);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && StatPath(path, st) && !S_ISDIR(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st;
  return !path.empty() && StatPath(path, st) && S_ISDIR(st.st_mode);
}

int64_t FileLength(const std::string& path) {
  struct stat st;
  if (path.empty() || !StatPath(path, st) || S_ISDIR(st.st_mode)) return 0;
  return static_cast<int64_t>(st.st_size);
}

SaveFill FileCopyFill(const std::string& from, int32_t& rc) {
  rc = FileExists(from) ? -20 : -24;
  if (rc == -24) return nullptr;
  // Not blocking in the open: a named pipe would wait there for a writer.
  const int in = ::open(ToOsPath(from).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return nullptr;
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return nullptr;
  }
  rc = 0;
  // The source stays open until the last holder of the fill lets it go.
  const std::shared_ptr<int> source(new int(in), [](int* fd) {
    ::close(*fd);
    delete fd;
  });
  return [source](int out) {
    std::vector<char> buf(1 << 16);
    for (;;) {
      const ssize_t r = ::read(*source, buf.data(), buf.size());
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return r == 0;
      if (!SaveWrite(out, buf.data(), static_cast<size_t>(r))) return false;
    }
  };
}

int32_t FileCopy(const std::string& from, const std::string& to) {
  int32_t rc = 0;
  const SaveFill fill = FileCopyFill(from, rc);
  if (!fill) return rc;
  // Written beside the destination and renamed at the end, so a failed copy
  // never leaves a half-written file in place of a good one.
  return PutFileInPlace(to, ".part~", fill) == 0 ? 0 : -20;
}

int32_t FileRename(const std::string& from, const std::string& to) {
  struct stat st;
  if (from.empty() || !StatPath(from, st)) return -24;
  return ::rename(ToOsPath(from).c_str(), ToOsPath(to).c_str()) == 0 ? 0 : -20;
}

int32_t FileReplace(const std::string& from, const std::string& to) {
  struct stat st;
  if (!to.empty() && ::lstat(ToOsPath(to).c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
    return -kOpenNotRegular;
  const int32_t rc = FileRename(from, to);
  if (rc != 0) return rc;
  // Until the folder is on the disk the name may come back empty after a
  // power cut: a save is not done before that.
  return SyncOsFolderOf(ToOsPath(to)) ? 0 : -kSaveIoError;
}

int32_t SaveTargetOf(const std::string& target, std::string& file) {
  // As many links as the kernel itself follows before it calls it a loop.
  constexpr int kMostLinks = 40;
  const std::string osTarget = ToOsPath(target);
  std::string os = osTarget;
  for (int links = 0;; ++links) {
    struct stat st;
    // Nothing there (or no folder for it): the save's own open says which.
    if (::lstat(os.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) break;
    if (!S_ISLNK(st.st_mode) || links == kMostLinks) return -kOpenNotRegular;
    std::string to(PATH_MAX, '\0');
    const ssize_t n = ::readlink(os.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<size_t>(n) >= to.size()) return -kOpenNotRegular;
    to.resize(static_cast<size_t>(n));
    // A relative link names its file from the link's own folder.
    const size_t cut = os.rfind('/');
    os = to[0] == '/' || cut == std::string::npos ? to : os.substr(0, cut + 1) + to;
  }
  file = os == osTarget ? target : FromOsPath(os);
  return 0;
}

namespace {

// The claim number of a work name: decimal digits, no leading zero; 0 when
// the text is none.
int32_t ClaimNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 9 || digits[0] == '0' ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return 0;
  return static_cast<int32_t>(std::stol(std::string(digits)));
}

// The suffix of kWorkSuffixes the name ends with ("" when none).
std::string_view WorkSuffixOf(std::string_view name) {
  std::string_view found;
  for (const std::string_view s : kWorkSuffixes)
    if (name.size() > s.size() && name.ends_with(s) && s.size() > found.size()) found = s;
  return found;
}

bool IsHash(std::string_view text) {
  return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Room a work name takes beyond the target's name: the mark, a claim number
// of four digits and the suffix.
size_t WorkRoom(std::string_view suffix) { return kWorkMark.size() + 4 + suffix.size(); }

}  // namespace

std::string WorkFileName(const std::string& target, std::string_view suffix, int32_t claim) {
  const size_t cut = target.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
  const std::string name = target.substr(folder.size());
  const size_t longest = LongestName(ToOsPath(folder.empty() ? std::string(".") : folder));
  const std::string n = std::to_string(claim);
  if (ToOsPath(name).size() + WorkRoom(suffix) <= longest)
    return folder + name + std::string(kWorkMark) + n + std::string(suffix);
  // A name that needs more than the disk takes is a hash (FNV-1a) of the
  // target's name, with its extension when that fits, so a kept leftover
  // still opens as what it was.
  uint64_t h = 14695981039346656037ull;
  for (const unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
  const size_t dot = name.find_last_of('.');
  std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
  if (16 + 1 + ToOsPath(extension).size() + WorkRoom(suffix) > longest || extension.find(kWorkMark) != std::string::npos)
    extension.clear();
  return folder + std::string(kWorkMark) + hex + "-" + n + extension + std::string(suffix);
}

std::string ClaimWorkFile(const std::string& target, std::string_view suffix) {
  std::lock_guard<std::mutex> g(g_workClaims.lock);
  for (int32_t n = 1;; ++n) {
    std::string work = WorkFileName(target, suffix, n);
    if (g_workClaims.names.insert(work).second) return work;
  }
}

void ReleaseWorkFile(const std::string& work) {
  std::lock_guard<std::mutex> g(g_workClaims.lock);
  g_workClaims.names.erase(work);
}

bool ReadWorkName(const std::string& name, WorkName& work) {
  const std::string_view suffix = WorkSuffixOf(name);
  if (suffix.empty()) return false;
  const std::string_view rest = std::string_view(name).substr(0, name.size() - suffix.size());
  work = WorkName();
  work.suffix = std::string(suffix);
  // "<target>~tarvelo-<n>": the last mark, as the target may hold one too.
  if (const size_t mark = rest.rfind(kWorkMark); mark != std::string_view::npos && mark > 0) {
    work.claim = ClaimNumber(rest.substr(mark + kWorkMark.size()));
    if (work.claim > 0) {
      work.target = std::string(rest.substr(0, mark));
      return true;
    }
  }
  if (!rest.starts_with(kWorkMark) || !IsHash(rest.substr(kWorkMark.size(), 16))) return false;
  work.hash = std::string(rest.substr(kWorkMark.size(), 16));
  std::string_view after = rest.substr(kWorkMark.size() + 16);
  if (after.starts_with('-')) {
    // "-<n><extension>"
    const size_t digits = after.find_first_not_of("0123456789", 1);
    work.claim = ClaimNumber(after.substr(1, digits == std::string_view::npos ? after.npos : digits - 1));
    work.extension = digits == std::string_view::npos ? std::string() : std::string(after.substr(digits));
    return work.claim > 0 && (work.extension.empty() || work.extension[0] == '.');
  }
  // An older version's: nothing or "~<n>".
  work.claim = after.empty() ? 1 : after[0] == '~' ? ClaimNumber(after.substr(1)) : 0;
  return work.claim > 0;
}

bool IsWorkFile(const std::string& folder, const std::string& name) {
  {
    std::lock_guard<std::mutex> g(g_workClaims.lock);
    if (g_workClaims.names.count(folder + "\\" + name) != 0) return true;
  }
  WorkName work;
  return ReadWorkName(name, work);
}

namespace {

// The open file still has the name: no sweep removed or renamed it between
// the open and the lock.
bool StillNamed(int fd, const std::string& osPath, bool follow) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && (follow ? ::stat(osPath.c_str(), &named) : ::lstat(osPath.c_str(), &named)) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Enough for every save of every program of ours at once, and a bound when
// some other program keeps locking what it finds.
constexpr int32_t kMostPassedWorkNames = 64;

}  // namespace

int OpenWorkFile(const std::string& target, std::string_view suffix, std::string& work) {
  // Names another program holds stay claimed until this save has its own,
  // so the next claim passes them over.
  std::vector<std::string> passed;
  int result = -EAGAIN;
  while (result == -EAGAIN && passed.size() < size_t(kMostPassedWorkNames)) {
    std::string name = ClaimWorkFile(target, suffix);
    const std::string os = ToOsPath(name);
    for (int32_t again = 0; again < kMostPassedWorkNames; ++again) {
      // Not emptied at the open: the file may be another program's save.
      const int fd = ::open(os.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) {
        result = -errno;
        break;
      }
      // Held by another program's save: the next name. (A disk that keeps
      // no locks at all is written as before.)
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        break;
      }
      // Taken away by a sweep between the open and the lock: made anew.
      if (!StillNamed(fd, os, true)) {
        ::close(fd);
        continue;
      }
      struct stat st;
      if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        result = -errno;
        ::close(fd);
        break;
      }
      result = fd;
      work = name;
      break;
    }
    if (result >= 0) break;
    if (result != -EAGAIN) ReleaseWorkFile(name);
    else passed.push_back(std::move(name));
  }
  for (const std::string& name : passed) ReleaseWorkFile(name);
  return result;
}

int HoldLeftWorkFile(const std::string& path) {
  const std::string os = ToOsPath(path);
  struct stat st;
  // Only a plain file is opened (a device's open may act). For writing where
  // it may be: a disk whose locks are byte ranges (NFS) locks no file open
  // only for reading.
  if (::lstat(os.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  int fd = ::open(os.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(os.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      !StillNamed(fd, os, false)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int32_t FolderSync(const std::string& folder) {
  return SyncOsFolder(folder.empty() ? std::string(".") : ToOsPath(folder)) ? 0 : -20;
}

int32_t FileDelete(const std::string& path) {
  if (!FileExists(path)) return -24;
  return ::unlink(ToOsPath(path).c_str()) == 0 ? 0 : -20;
}

bool MakeFolder(const std::string& path) {
  if (path.empty()) return false;
  if (::mkdir(ToOsPath(path).c_str(), 0755) == 0) return true;
  return errno == EEXIST && FolderExists(path);
}

bool ChangeFolder(const std::string& path) {
  return !path.empty() && ::chdir(ToOsPath(path).c_str()) == 0;
}

std::string CurrentFolder() {
  std::vector<char> buf(4096);
  while (!::getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE || buf.size() > (1u << 20)) return "";
    buf.resize(buf.size() * 2);
  }
  return FromOsPath(buf.data());
}

std::string TypedText(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const size_t at = i;
    uint32_t cp = 0;
    const bool whole = NextUtf8(utf8, i, cp);
    const int32_t b = whole ? UnicodeToCp1252(cp) : -1;
    // The code page's five unassigned bytes travel as the C1 controls of the
    // same value: those come back; every other control is left out.
    if (whole && (cp < 32 || cp == 127 || (cp >= 0x80 && cp < 0xA0 && b < 0))) continue;
    if (b >= 0)
      out += static_cast<char>(b);
    else
      out += FromOsPath(utf8.substr(at, i - at));
  }
  return out;
}

std::vector<size_t> CharacterStarts(const std::string& text) {
  std::vector<size_t> starts;
  std::string scratch;
  for (size_t i = 0; i < text.size();) {
    starts.push_back(i);
    const size_t form = text[i] == kPathEscape ? AppendEscaped(text, i, scratch) : 0;
    i += form > 0 ? form : 1;
  }
  starts.push_back(text.size());
  return starts;
}

size_t WholeCharactersWithin(const std::string& text, size_t bytes) {
  const std::vector<size_t> starts = CharacterStarts(text);
  return *(std::upper_bound(starts.begin(), starts.end(), bytes) - 1);
}

}  // namespace platform
