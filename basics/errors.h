// The error-code numbering shared by every subsystem and its texts.
#pragma once
#include <cstdint>
#include <string>

namespace QUARLE_BASICS {

// Codes are returned negated by the procedures that fail with them.
enum ErrorCode : int32_t {
  kErrNone = 0,
  kErrFileIo = 3,            // "File I/O Error: Disk Full, Restricted Access or Other"
  kErrUnknown = 18,
  kErrBadParameter = 19,     // "Incorrect Function Parameter"
  kErrFileAccess = 20,
  kErrAllocation = 21,       // "Memory Allocation Failed"
  kErrNoFreeFile = 23,
  kErrFileNotFound = 24,     // "File Not Found"
  kErrFileTooBig = 25,
  kErrMutexCreate = 26,      // "Error creating a mutex during the initialization process."
  kErrFolder = 27,
  kErrIncompatibleFile = 28, // "Incompatible file content"
  kErrThreadCreate = 29,
  kErrWavEmpty = 36,
  kErrWavSizeMismatch = 37,
  kErrWavUnsupported = 38,
  // What an open found at the path instead of a file (platform::FileOpen).
  kErrNotRegularFile = 60,   // "Not a regular file (a named pipe, a device or a socket)"
  kErrFolderNamed = 61,      // "A folder, not a file"
  // Why a recording ended early.
  kErrDiskFull = 62,         // "The disk is full"
  kErrDiskTooSlow = 63,      // "The disk is too slow for the recording: it ends with what the disk holds"
  // Why the disk refused a file (platform::FileOpen, a recording's writes).
  kErrReadOnly = 64,         // "The file system is read-only"
  kErrNoPermission = 65,     // "Permission denied"
  // Why a recording was not started.
  kErrWriterBusy = 66,       // "The recordings before it are still being written to the disk"
  // Why the output stopped under a running recording, which ends with it.
  kErrOutputOverload = 67,   // "The sound output stopped: the work overloaded it"
  kErrOutputLost = 68,       // "The sound output stopped: its device went away"
  kErrOutputNoRestart = 69,  // "The sound output stopped and could not start again"
};

std::string ErrorText(int32_t code);

}  // namespace QUARLE_BASICS
