// Folders and drives of our Linux layer: folder search by name pattern with
// attribute selection, and the drive roots.
//
// Paths and names cross this boundary in the system's own form (see
// platform/paths.h); the current folder itself is changed and read there.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Attribute bits a folder search reports, as the listings store them.
constexpr uint32_t kAttrReadOnly = 1;  // no write permission bit set
constexpr uint32_t kAttrHidden = 2;    // name starts with "."
constexpr uint32_t kAttrSystem = 4;    // device, socket, pipe or other special entry
constexpr uint32_t kAttrFolder = 16;
constexpr uint32_t kAttrArchive = 32;  // every plain file

// What lies at a path, its last name itself (a link is not followed).
enum class PathKind { kNothing, kFile, kFolder, kLink, kOther };
PathKind PathKindAt(const std::string& path);
// Every name in the folder (any kind, "." and ".." excepted), unsorted; false
// when the folder cannot be read.
bool FolderNames(const std::string& folder, std::vector<std::string>& names);

// Which folder a path leads to, links followed: the disk and the folder's
// number on it, the same whatever path or link reached it.
// one thread: value
struct FolderId {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FolderId&) const = default;
};

// one thread: value
struct FolderEntry {
  std::string name;
  uint32_t attribute = 0;
  bool link = false;  // the name is a link (to what the attribute tells)
  FolderId id;        // what a folder entry leads to (links followed)
};

// Lists the current folder's entries whose name matches the pattern ("*" and
// "?" wildcards, letter case ignored, "*.*" matches every name) and whose
// attribute bits all lie within `select`: kAttrArchive | kAttrReadOnly gives the
// plain files, kAttrFolder | kAttrReadOnly the folders; hidden and system
// entries only come when selected. "." and ".." never come. The result is
// sorted by name, letter case ignored, so listings are the same on every run.
// Gives false when the current folder cannot be read.
bool FolderSearch(const std::string& pattern, uint32_t select, std::vector<FolderEntry>& out);

// False when nothing can be read at the path, or it is no folder.
bool FolderIdOf(const std::string& path, FolderId& id);

// Drives: drive 1 is the root folder "\", drives 2 and up are the mounted
// block devices (from /proc/mounts), at most 26 in all. ProbeDrives reads the
// table again; DriveRoot reads the table probed last (probing once if never).
void ProbeDrives();
std::string DriveRoot(uint32_t number);  // "" when there is no such drive
// Tests only: these roots (in the OS's form, drive 1 first) until the next ProbeDrives.
void SetDriveRootsForTests(const std::vector<std::string>& roots);
// Number of the drive whose root holds the path (the longest matching root);
// 0 when none does (an empty or relative path).
uint32_t DriveOf(const std::string& path);

}  // namespace platform
