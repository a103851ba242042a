// This test program's own fsync, fdatasync and syncfs, whoever calls them
// (our code or a library): each sync is noted, with what its file held at the
// call (what the sync makes the disk keep; a syncfs notes every regular file
// the process holds open), and then made. Flushes of regular files are
// counted per thread too; syncs and write-backs (sync_file_range) can be
// held, slowed or failed, as by a slow or failing disk.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace synccount {

struct Sync {
  std::string thread;  // the caller's name
  std::string path;    // the file's (its /proc/self/fd link)
  bool allFiles = false;  // one of the files a syncfs noted
  // A regular file of 88 bytes or more: its length and its header's sizes
  // (the data's at byte 84: no text chunk); else 0.
  int64_t length = 0;
  uint32_t riffSize = 0, factFrames = 0, dataSize = 0;
};

std::string ThreadName();  // the caller's
// Threads of this process of that name.
int32_t ThreadsNamed(const std::string& name);
void Reset();
// The syncs since the last Reset, in order.
std::vector<Sync> Syncs();
int32_t On(const std::string& thread);
// Flushes of regular files a thread made since the last Reset.
int32_t WritesOn(const std::string& thread);
// Write-backs (sync_file_range, started or waited for) a thread asked for since the last Reset.
int32_t WriteBacksOn(const std::string& thread);
// While held, every sync (of that thread only, when named) waits after it is
// noted until Release (or 30 s); so do write-backs, unless writeBacks is false.
void Hold(const std::string& thread = "", bool writeBacks = true);
// While held, every sync of a file or folder whose path starts with `path`
// (an OS path) waits after it is noted until Release (or 30 s), whichever
// thread makes it: a disk of its own that stopped writing.
void HoldUnder(const std::string& path);
// The next held sync (or the one held now) goes on; the hold stays for the rest.
void LetOneThrough();
// While held, so do the flushes of a thread of that name (the recordings'
// writer, or the log's: tarvelo-log): a disk that takes nothing.
void HoldWrites(const std::string& thread = "tarvelo-rec");
void Release();
// Write-backs (sync_file_range that waits) take a second for every bytesPerSecond they
// write (0: at once), as on a disk that slow.
void Pace(int64_t bytesPerSecond);
// Every later fsync of a regular file takes a second for every bytesPerSecond
// of it not yet written back (a waiting sync_file_range) since the last Reset, as on a
// disk that slow, which writes at the sync what nothing wrote back before (0: at once).
void PaceSyncs(int64_t bytesPerSecond);
// Every later fdatasync fails with err (0: none fails).
void FailDataSyncs(int err);
// Every later fsync of a folder fails with err (0: none fails).
void FailFolderSyncs(int err);
// syncfs calls since the last Reset.
int32_t WholeDiskSyncs();

}  // namespace synccount
