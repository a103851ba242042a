// The sample library list WF_Library.txt in the data folder: one line per
// sample, its folder, a comma and its file name, ended by CR LF, in library
// order. Loading copies the list to "WF_Library_BACKUP_" + seconds since 1970
// + ".txt" when a sample could not be found or read, before a later save can
// drop that sample from the list.
#pragma once
#include <functional>
#include <cstdint>
#include <string>

namespace Tarvelo {

constexpr const char* kSampleLibraryFileName = "WF_Library.txt";
constexpr const char* kSampleLibraryBackupPrefix = "WF_Library_BACKUP_";

// Writes the list: 0, -27 without a data folder, or the file error (the
// previous list then stays as it was). LibraryChanged is not touched.
int32_t SaveWFLibrary();
// The same, the file handed to the saver: `done` hears the outcome once, on
// the interface thread; the outcome when known by the return, else 0.
int32_t SaveWFLibraryThen(std::function<void(int32_t)> done);
// Reads the list into the sample library once per run: 0 (also when the file
// does not exist, and on every later call), -61 when a folder has its name, or
// the negated open error. A sample that cannot be loaded is reported with why.
int32_t LoadWFLibrary();
// -1 once LoadWFLibrary has run in this program run (tests set it back to 0).
// one thread: interface
extern int64_t WFLibraryLoaded;

}  // namespace Tarvelo
