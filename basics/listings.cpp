#include "basics/listings.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace QUARLE_BASICS {

namespace {

std::atomic<int> g_failGrowths{0};

bool GrowthFails() {
  int pending = g_failGrowths.load();
  while (pending > 0)
    if (g_failGrowths.compare_exchange_weak(pending, pending - 1)) return true;
  return false;
}

std::string TrimSpaces(const std::string& s) {
  size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

// Frees every entry; the array and its capacity stay for the next fill.
void ClearEntries(DirList& list) {
  platform::MutexGuard g(list.header.lock);
  for (int32_t i = 0; i < list.header.count; ++i) {
    if (!list.entries[i]) continue;
    DirEntryFree(*list.entries[i]);
    delete list.entries[i];
    list.entries[i] = nullptr;
  }
  list.header.count = 0;
}

// Entry i, or null when i is out of range. Readers that share the list with
// its writer hold the list's lock around the call.
const DirEntry* EntryAt(const DirList* list, uint32_t index) {
  if (!list || index >= static_cast<uint32_t>(list->header.count < 0 ? 0 : list->header.count))
    return nullptr;
  return list->entries[index];
}

bool ExtensionInMask(const std::string& name, const std::string& mask) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  return mask.find(LowerAscii(name.substr(dot))) != std::string::npos;
}

}  // namespace

void DirEntryInit(DirEntry& e) {
  e.attribute = 0;
  e.depth = 0;
  e.size = 0;
  DynZStringInit(e.folder);
  DynZStringInit(e.name);
}

void DirEntryFree(DirEntry& e) {
  DynZStringFree(e.folder);
  DynZStringFree(e.name);
}

int32_t DirListInit(DirList& list) {
  ArrayHeaderInit(list.header);
  list.entries = new (std::nothrow) DirEntry*[kArrayInitialCapacity]();
  list.header.capacity = list.entries ? kArrayInitialCapacity : 0;
  list.rootDepth = 0;
  list.currentDepth = 0;
  list.files = 0;
  list.folders = 0;
  list.done = 0;
  list.totalSize = 0;
  DynZStringInit(list.mask);
  return list.entries ? 0 : -kErrAllocation;
}

void DirListFree(DirList*& list) {
  if (!list) return;
  ClearEntries(*list);
  delete[] list->entries;
  DynZStringFree(list->mask);
  ArrayHeaderFree(list->header);
  delete list;
  list = nullptr;
}

int32_t DirListAdd(DirList& list, const std::string& name, uint32_t attribute, int64_t withSize) {
  DirEntry* e = new (std::nothrow) DirEntry;
  if (!e) return -kErrAllocation;
  DirEntryInit(*e);
  std::string folder = platform::CurrentFolder();
  DynZStringAssign(e->name, name);
  DynZStringAssign(e->folder, folder);
  e->attribute = attribute;
  e->depth = static_cast<uint32_t>(list.currentDepth);
  if (withSize) {
    int64_t len = platform::FileLength(folder + "\\" + name);
    e->size = len > 0 ? static_cast<uint64_t>(len) : 0;
  }

  platform::MutexGuard g(list.header.lock);
  if (list.header.count >= list.header.capacity) {
    int32_t grown = list.header.capacity > 0 ? list.header.capacity * 2 : kArrayInitialCapacity;
    DirEntry** bigger = GrowthFails() ? nullptr : new (std::nothrow) DirEntry*[grown]();
    if (!bigger) {
      DirEntryFree(*e);
      delete e;
      return -kErrAllocation;
    }
    if (list.entries)
      std::memcpy(bigger, list.entries, sizeof(DirEntry*) * static_cast<size_t>(list.header.capacity));
    delete[] list.entries;
    list.entries = bigger;
    list.header.capacity = grown;
  }
  list.entries[list.header.count++] = e;
  list.totalSize += e->size;
  return 0;
}

namespace {

// The folders a listing is inside: every folder that holds the scanned one,
// up to the disk's root, and the scanned one. A folder link may lead back into
// any of them; entering it would list them again and again.
using Walk = std::vector<platform::FolderId>;

// Folders linked to one another would otherwise be entered once per path that
// reaches them: each folder is entered once. A folder's own sub-folders are
// claimed before any of them is entered, so a link from one sibling to another
// is left for the sibling's own path.
// one thread: value (each listing's own)
struct Reached {
  Walk walk;
  std::set<std::pair<uint64_t, uint64_t>> entered, claimed;
  static std::pair<uint64_t, uint64_t> Key(const platform::FolderId& id) { return {id.device, id.inode}; }
};

Walk WalkToCurrentFolder() {
  Walk walk;
  const std::string here = platform::CurrentFolder();
  platform::FolderId id;
  for (size_t cut = here.find('\\'); cut != std::string::npos; cut = here.find('\\', cut + 1))
    if (platform::FolderIdOf(cut == 0 ? std::string("\\") : here.substr(0, cut), id)) walk.push_back(id);
  if (platform::FolderIdOf(here, id)) walk.push_back(id);
  return walk;
}

// Scans the current folder, `below` levels under the listed one, which
// `reached.walk` ends with.
int32_t ScanWalk(DirList* list, int64_t recurse, int64_t withSize, Reached& reached, int32_t below) {
  // Each pass works on its own snapshot of the folder, so scanning a
  // sub-folder in between cannot disturb where the pass goes on.
  std::vector<platform::FolderEntry> found;
  std::string mask = DynZStringGet(list->mask);
  const std::string here = platform::CurrentFolder();
  platform::FolderSearch("*.*", platform::kAttrReadOnly | platform::kAttrArchive, found);
  for (const auto& f : found) {
    if (mask != "*.*" && !ExtensionInMask(f.name, mask)) continue;
    // A save's work file is no document: it goes when the save ends.
    if (platform::IsWorkFile(here, f.name)) continue;
    // A listing that could not hold every entry must not pass for a complete one.
    int32_t r = DirListAdd(*list, f.name, f.attribute, withSize);
    if (r != 0) return r;
    list->files++;
  }

  platform::FolderSearch("*.*", platform::kAttrReadOnly | platform::kAttrFolder, found);
  if (recurse)
    for (const auto& f : found)
      if (!f.link) reached.claimed.insert(Reached::Key(f.id));
  for (const auto& f : found) {
    if (f.name == "." || f.name == ".." || f.attribute == 0) continue;
    int32_t r = DirListAdd(*list, f.name, f.attribute, 0);
    if (r != 0) return r;
    list->folders++;
    if (!recurse) continue;
    const std::string sub = here + "\\" + f.name;
    if (below >= kListingDepthLimit) {
      Report(LangText(615, "I did not enter this folder, as it lies too deep below the listed one: ") + sub,
             kLevelInfo);
      continue;
    }
    if (!platform::ChangeFolder(sub)) {
      Report(LangText(65, "I cannot access the following folder: ") + sub + " attr=" +
                 std::to_string(f.attribute),
             kLevelWarning);
      continue;
    }
    // Told by what was entered, not by the name: a link names another folder.
    platform::FolderId id;
    const bool known = platform::FolderIdOf(".", id);
    const auto key = Reached::Key(id);
    if (known && std::find(reached.walk.begin(), reached.walk.end(), id) != reached.walk.end()) {
      Report(LangText(614, "I did not follow this link, which leads back into a folder the listing is inside: ") +
                 sub,
             kLevelInfo);
    } else if (known && (reached.entered.count(key) != 0 || (f.link && reached.claimed.count(key) != 0))) {
      Report(LangText(627, "I did not enter this folder, which the listing reaches by another path: ") + sub,
             kLevelInfo);
    } else {
      if (known) {
        reached.entered.insert(key);
        reached.walk.push_back(id);
      }
      list->currentDepth++;
      r = ScanWalk(list, recurse, withSize, reached, below + 1);
      if (r != 0) return r;
      list->currentDepth--;
      if (known) reached.walk.pop_back();
    }
    // Back by name: ".." of a folder a link led to is that folder's own parent.
    if (!platform::ChangeFolder(here)) return -kErrBadParameter;
  }
  return 0;
}

}  // namespace

int32_t ScanFolder(DirList*& list, int64_t recurse, int64_t withSize) {
  if (!list) return -kErrBadParameter;
  Reached reached;
  if (recurse) reached.walk = WalkToCurrentFolder();
  return ScanWalk(list, recurse, withSize, reached, 0);
}

int32_t ListFolder(DirList*& list, const std::string& folder, const std::string& mask,
                   int64_t recurse, int64_t withSize) {
  // A folder's name keeps its spaces ("Mine " is not "Mine"); a mask has none.
  const std::string& where = folder;
  std::string m = LowerAscii(TrimSpaces(mask));
  if (!where.empty() && !platform::ChangeFolder(where)) return -kErrBadParameter;
  if (!list) {
    list = new (std::nothrow) DirList;
    if (!list) return -kErrAllocation;
    DirListInit(*list);
  }
  if (DynZStringLen(list->mask) == 0) DynZStringAssign(list->mask, "*.*");
  if (m.size() >= 2 && m.find('.') != std::string::npos) DynZStringAssign(list->mask, m);

  ClearEntries(*list);
  list->files = 0;
  list->folders = 0;
  list->done = 0;
  list->totalSize = 0;
  list->rootDepth = PathDepth(platform::CurrentFolder());
  list->currentDepth = list->rootDepth;

  int32_t r = ScanFolder(list, recurse, withSize);
  if (r != 0) return r;
  list->done = -1;
  return 0;
}

int32_t DirListCount(const DirList* list) { return list ? list->header.count : 0; }

std::string DirListName(const DirList* list, uint32_t index) {
  const DirEntry* e = EntryAt(list, index);
  return e ? DynZStringGet(e->name) : "";
}

std::string DirListFolder(const DirList* list, uint32_t index) {
  const DirEntry* e = EntryAt(list, index);
  return e ? DynZStringGet(e->folder) : "";
}

std::string DirListPath(const DirList* list, uint32_t index) {
  const DirEntry* e = EntryAt(list, index);
  return e ? DynZStringGet(e->folder) + "\\" + DynZStringGet(e->name) : "";
}

uint32_t DirListAttr(const DirList* list, uint32_t index) {
  const DirEntry* e = EntryAt(list, index);
  return e ? e->attribute : 0;
}

int32_t PathDepth(const std::string& path) {
  int32_t n = 0;
  for (char c : path)
    if (c == '\\' || c == '/') ++n;
  return n > 0 ? n - 1 : 0;
}

void InitDrivesAndHome(DriveList*& list) {
  std::string remembered = platform::CurrentFolder();
  if (!list) {
    list = new (std::nothrow) DriveList{};
    if (!list) return;
  }
  platform::ProbeDrives();
  int32_t count = 0;
  for (uint32_t n = 1; n <= 26; ++n) {
    std::string root = platform::DriveRoot(n);
    if (!root.empty() && platform::ChangeFolder(root)) list->codes[count++].store(n);
  }
  list->count.store(count);
  if (platform::ChangeFolder(remembered)) return;
  if (platform::ChangeFolder(DynZStringGet(HomeFolder))) return;
  if (platform::ChangeFolder(platform::ProgramFolder())) return;
  Report(LangText(64, "Can't find home path!"), kLevelWarning);
}

std::string CurrentDriveRoot() { return platform::DriveRoot(platform::DriveOf(platform::CurrentFolder())); }

std::string DriveText(const DriveList* list, uint8_t number) {
  const int32_t count = list ? std::min(list->count.load(), 26) : 0;
  if (count <= 0) return CurrentDriveRoot();
  int32_t n = number == 0 ? 1 : number;
  if (n > count) n = count;
  return platform::DriveRoot(list->codes[n - 1].load());
}

int32_t CurrentDriveIndex(const DriveList* list) {
  if (!list) return -1;
  uint32_t drive = platform::DriveOf(platform::CurrentFolder());
  const int32_t count = list->count.load();
  for (int32_t i = 0; i < count && i < 26; ++i)
    if (list->codes[i].load() == drive) return i + 1;
  return -1;
}

void DirListFailNextGrowths(int n) { g_failGrowths.store(n < 0 ? 0 : n); }

}  // namespace QUARLE_BASICS
