// Syncs for a thread that must not wait for the disk (the output recording
// has a writer of its own, audio/recording.h): one long-lived thread, tarvelo-sync, takes
// the descriptors handed to it and asks the disk to keep them whenever it is
// asked, while the asker goes on at once. Handing over, asking and ending take
// no lock and allocate nothing; only the first start makes the thread.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Descriptors kept at once: a long-written file while it runs, and the
// descriptors that wait for their last sync (a folder just written in, a
// file just closed).
constexpr int32_t kSyncAsideSlots = 16;
// Last syncs that found no slot wait in a line of their own, oldest first.
constexpr int32_t kSyncAsideWaiting = 64;

// Starts the sync thread once; later calls only say whether it runs. Call it
// where a thread may be made, before a caller that must not wait first hands
// a descriptor over, never from a stream buffer's path.
bool SyncAsideStart();

// Hands an open descriptor over: from now on the sync thread owns it and
// closes it at its end. Returns the ticket that names it (above 0), or -1 when
// no slot is free or no thread could be made: the descriptor stays the
// caller's then. Starts the thread when it does not run yet.
int32_t SyncAsideKeep(int fd);
// Asks for a sync (fdatasync) of the ticket's file; asks made while one is
// under way are all taken by the next.
void SyncAsideAsk(int32_t ticket);
// One last sync (fsync), then the descriptor is closed and the ticket is
// free; the ticket must not be used again.
void SyncAsideEnd(int32_t ticket);
// Hands an open descriptor over for one last sync and its close: into a slot
// when one is free, else into the waiting line, which the thread serves
// before the slots' asks. 0, or -1 when the line is full too or no thread
// runs: the descriptor stays the caller's, which never syncs it itself.
int32_t SyncAsideLast(int fd);
// Syncs a folder aside (a name made, renamed or removed in it), as FolderSync
// does (a system path, "" for the current folder): a descriptor of it is
// handed over for its last sync. 0; -20 when the folder cannot be opened; -21
// when it could not be handed over (not synced: the caller says so).
int32_t FolderSyncAside(const std::string& folder);

// Waits up to seconds until no ended ticket waits for its last sync and no
// ask is pending: true when so. For the end of the program (the last
// recording's end reaches the disk) and for tests.
bool SyncAsideSettle(double seconds);

// Syncs the thread has made since the process started.
uint64_t SyncAsideCount();

}  // namespace platform
