// Folder and drive listings for the file browser, the libraries and the start-up.
// Listing works through the process's current folder: it changes into the
// listed folder, and every entry records the folder that was current when it
// was found. One listing runs at a time, on the main thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "basics/dynzstring.h"

namespace QUARLE_BASICS {

// one thread: value
struct DirEntry {
  uint32_t attribute;  // 1 read-only, 16 folder, 32 archive (plain file)
  uint32_t depth;      // the list's current depth when the entry was added
  uint64_t size;       // length in bytes when sizes were read, else 0
  DynZString folder;   // full path of the folder holding the entry
  DynZString name;
};

void DirEntryInit(DirEntry& e);
void DirEntryFree(DirEntry& e);

// one thread: value
struct DirList {
  ArrayHeader header;  // count, capacity of `entries`, lock held while entries change
  DirEntry** entries;
  int32_t rootDepth;     // PathDepth of the listed folder
  int32_t currentDepth;  // depth of the folder being scanned
  int32_t files;         // file entries added
  int32_t folders;       // folder entries added
  int64_t done;          // -1 when the last ListFolder completed, else 0
  uint64_t totalSize;    // sum of the sizes read
  DynZString mask;       // lower-case extension mask, "*.*" for every file
};

// Count 0, 16 empty slots, a new lock, empty mask. 0, or -21 when the slots
// cannot be had (the list then grows from nothing).
int32_t DirListInit(DirList& list);
// Frees the entries, the lock and the record; the pointer becomes null.
void DirListFree(DirList*& list);

// Drives by number (1-based, at most 26) that could be entered. The browser's
// refresh probes them again on the interface thread while the drive strip's
// draw reads them on the video thread: every word whole.
struct DriveList {
  std::atomic<uint32_t> codes[26];
  std::atomic<int32_t> count;
};

// The most folder levels below the listed folder a recursive listing enters;
// a folder deeper down is listed but not entered.
constexpr int32_t kListingDepthLimit = 64;

// Refills the list (made when null) with the folder's plain files whose
// extension occurs in the mask (".wav.mp3"; "*.*" for all; an empty mask keeps
// the list's previous one) and its sub-folders, recursing when asked and reading
// sizes when asked. An empty folder lists the current one. Leaves the process
// in the listed folder. 0; -19 when the folder cannot be entered (the list is
// not touched); -21 when the list cannot grow.
int32_t ListFolder(DirList*& list, const std::string& folder, const std::string& mask,
                   int64_t recurse, int64_t withSize);
// Scans the current folder into the list: files first, then each sub-folder,
// followed by its own contents when recursing. 0, -19 without a list, or the
// first failure.
int32_t ScanFolder(DirList*& list, int64_t recurse, int64_t withSize);
// Appends an entry for a name in the current folder. 0 or -21.
int32_t DirListAdd(DirList& list, const std::string& name, uint32_t attribute, int64_t withSize);

// Readers; an index at or past the count (or no list) gives "" or 0.
int32_t DirListCount(const DirList* list);
std::string DirListName(const DirList* list, uint32_t index);
std::string DirListFolder(const DirList* list, uint32_t index);
std::string DirListPath(const DirList* list, uint32_t index);  // folder + "\" + name
uint32_t DirListAttr(const DirList* list, uint32_t index);

// Number of "\" and "/" in the path, minus 1, never below 0.
int32_t PathDepth(const std::string& path);

// Lists the drives that can be entered (made when null), then returns to the
// current folder, else to HomeFolder, else to the program's folder.
void InitDrivesAndHome(DriveList*& list);
// On this platform a drive is its root folder ("\" for the first): DriveText
// gives the root of drive n of the list (0 counts as 1, past the count as the
// last), or the current folder's drive root when the list is empty.
std::string DriveText(const DriveList* list, uint8_t number);
std::string CurrentDriveRoot();
// 1-based position in the list of the current folder's drive, -1 when absent.
int32_t CurrentDriveIndex(const DriveList* list);

// Tests only: the next n growths of a listing's entry array fail.
void DirListFailNextGrowths(int n);

}  // namespace QUARLE_BASICS
