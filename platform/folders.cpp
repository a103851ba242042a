#include "platform/folders.h"

#include "platform/paths.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

std::mutex g_drivesLock;
// one thread: holder of g_drivesLock
std::vector<std::string> g_driveRoots;  // OS form, index 0 = drive 1
bool g_drivesProbed = false;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool LessIgnoringCase(const FolderEntry& a, const FolderEntry& b) {
  size_t n = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < n; ++i) {
    char x = LowerAscii(a.name[i]), y = LowerAscii(b.name[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;  // names differing in case only: a fixed order still
}

// "*.*" is the classic way to ask for every name, dotted or not.
bool NameMatches(const std::string& pattern, const std::string& name) {
  if (pattern.empty() || pattern == "*.*" || pattern == "*") return true;
  return fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

// Removes "." and ".." steps and doubled separators so that mount points and
// paths compare as plain texts.
std::string NormaliseOsPath(const std::string& p) {
  if (p.empty()) return p;
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string part = p.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  if (p[0] != '/') return out.empty() ? "." : out.substr(1);
  return out.empty() ? "/" : out;
}

// Mount table fields escape blanks and the like as octal "\040".
std::string UnescapeMountField(const std::string& f) {
  std::string out;
  for (size_t i = 0; i < f.size(); ++i) {
    auto octal = [&](size_t k) { return k < f.size() && f[k] >= '0' && f[k] <= '7'; };
    if (f[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((f[i + 1] - '0') * 64 + (f[i + 2] - '0') * 8 + (f[i + 3] - '0'));
      i += 3;
    } else {
      out += f[i];
    }
  }
  return out;
}

void ProbeDrivesLocked() {
  g_driveRoots.clear();
  g_driveRoots.push_back("/");
  FILE* f = std::fopen("/proc/mounts", "r");
  if (f) {
    char line[4096];
    while (g_driveRoots.size() < 26 && std::fgets(line, sizeof line, f)) {
      char source[2048], target[2048];
      if (std::sscanf(line, "%2047s %2047s", source, target) != 2) continue;
      // Only block devices are drives; proc, tmpfs, cgroup and friends are not.
      if (std::strncmp(source, "/dev/", 5) != 0) continue;
      std::string root = NormaliseOsPath(UnescapeMountField(target));
      if (root.empty() || root[0] != '/') continue;
      struct stat st;
      if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      if (std::find(g_driveRoots.begin(), g_driveRoots.end(), root) != g_driveRoots.end()) continue;
      g_driveRoots.push_back(root);
    }
    std::fclose(f);
  }
  g_drivesProbed = true;
}

}  // namespace

bool FolderSearch(const std::string& pattern, uint32_t select, std::vector<FolderEntry>& out) {
  out.clear();
  DIR* d = opendir(".");
  if (!d) return false;
  while (dirent* e = readdir(d)) {
    std::string osName = e->d_name;
    if (osName == "." || osName == "..") continue;
    std::string name = FromOsPath(osName);
    if (!NameMatches(pattern, name)) continue;
    struct stat st;
    if (stat(osName.c_str(), &st) != 0) continue;  // dangling link: nothing to open
    uint32_t attr = 0;
    if (S_ISDIR(st.st_mode)) attr |= kAttrFolder;
    else if (S_ISREG(st.st_mode)) attr |= kAttrArchive;
    else attr |= kAttrSystem;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attr |= kAttrReadOnly;
    if (name[0] == '.') attr |= kAttrHidden;
    if ((attr & ~select) != 0) continue;
    struct stat own;
    const bool link = e->d_type == DT_LNK ||
                      (e->d_type == DT_UNKNOWN && lstat(osName.c_str(), &own) == 0 && S_ISLNK(own.st_mode));
    FolderId id;
    if (S_ISDIR(st.st_mode)) id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    out.push_back({name, attr, link, id});
  }
  closedir(d);
  std::sort(out.begin(), out.end(), LessIgnoringCase);
  return true;
}

PathKind PathKindAt(const std::string& path) {
  struct stat st;
  if (path.empty() || ::lstat(ToOsPath(path).c_str(), &st) != 0) return PathKind::kNothing;
  if (S_ISREG(st.st_mode)) return PathKind::kFile;
  if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
  return S_ISLNK(st.st_mode) ? PathKind::kLink : PathKind::kOther;
}

bool FolderNames(const std::string& folder, std::vector<std::string>& names) {
  names.clear();
  DIR* d = folder.empty() ? nullptr : opendir(ToOsPath(folder).c_str());
  if (!d) return false;
  while (const dirent* e = readdir(d)) {
    const std::string osName = e->d_name;
    if (osName != "." && osName != "..") names.push_back(FromOsPath(osName));
  }
  closedir(d);
  return true;
}

bool FolderIdOf(const std::string& path, FolderId& id) {
  struct stat st;
  if (path.empty() || ::stat(ToOsPath(path).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

void ProbeDrives() {
  std::lock_guard<std::mutex> g(g_drivesLock);
  ProbeDrivesLocked();
}

void SetDriveRootsForTests(const std::vector<std::string>& roots) {
  std::lock_guard<std::mutex> g(g_drivesLock);
  g_driveRoots = roots;
  g_drivesProbed = true;
}

std::string DriveRoot(uint32_t number) {
  std::lock_guard<std::mutex> g(g_drivesLock);
  if (!g_drivesProbed) ProbeDrivesLocked();
  if (number < 1 || number > g_driveRoots.size()) return "";
  return FromOsPath(g_driveRoots[number - 1]);
}

uint32_t DriveOf(const std::string& path) {
  std::string os = ToOsPath(path);
  if (os.empty() || os[0] != '/') return 0;
  os = NormaliseOsPath(os);
  std::lock_guard<std::mutex> g(g_drivesLock);
  if (!g_drivesProbed) ProbeDrivesLocked();
  uint32_t best = 0;
  size_t bestLen = 0;
  for (size_t i = 0; i < g_driveRoots.size(); ++i) {
    const std::string& r = g_driveRoots[i];
    bool holds = r == "/" || os == r || (os.size() > r.size() && os.compare(0, r.size(), r) == 0 &&
                                         os[r.size()] == '/');
    if (holds && (best == 0 || r.size() > bestLen)) {
      best = static_cast<uint32_t>(i + 1);
      bestLen = r.size();
    }
  }
  return best;
}

}  // namespace platform
