// Numbered file handles. A caller takes a free file number (under the file lock
// MT_FILES, together with the open, so two threads never pick the same one),
// opens the file through it, reads or writes, and closes it. Numbers run from 1
// to kMaxFileNumbers; paths are system paths (see platform/paths.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr int32_t kMaxFileNumbers = 255;

enum FileMode : int32_t {
  kFileInput = 1,   // read text; the file must exist
  kFileOutput = 2,  // write text; creates the file or empties it
  kFileAppend = 3,  // write text at the end; creates the file when missing
  kFileBinary = 4,  // positioned reads and writes (access below)
};

enum FileAccess : int32_t {
  kAccessReadWrite = 0,  // creates the file when missing, keeps its content
  kAccessRead = 1,       // the file must exist
  kAccessWrite = 2,      // creates the file when missing, keeps its content
};

// The open's refusals that say what lies at the path, so a loader can tell the
// user: something that is no regular file (a named pipe, a device, a socket),
// or a folder. Numbers of the shared error numbering (basics/errors.h).
constexpr int32_t kOpenNotRegular = 60;
constexpr int32_t kOpenFolder = 61;
// And the refusals that name their cause: a file system mounted read-only, a
// folder or file the user may not write.
constexpr int32_t kOpenReadOnly = 64;
constexpr int32_t kOpenNoPermission = 65;

// FileOpen's failure code (below) for an open's errno.
int32_t OpenFailure(int err);

// The lowest free file number, or 0 when all are in use.
int32_t FreeFile();
// 0, or the open's failure code as a positive general code: 1 for a number out
// of range or already open, or a bad mode; 2 when the file or its folder does
// not exist; kOpenFolder for a folder; kOpenReadOnly on a read-only file
// system; kOpenNoPermission when access is denied; 3 for any other failure. What is read must be a regular file: a named pipe, a device or a
// socket is refused at once (kOpenNotRegular), never waited on; writes take
// devices too (a test's /dev/full) but no pipe or socket.
int32_t FileOpen(int32_t fileNumber, const std::string& path, FileMode mode,
                 FileAccess access = kAccessReadWrite);
// 0, -19 when the number is not open, or -20 when the bytes still buffered
// could not be written or the close failed (the number is free either way).
int32_t FileClose(int32_t fileNumber);
void FileCloseAll();
bool FileIsOpen(int32_t fileNumber);

// Length in bytes of an open file; -1 when the number is not open.
int64_t FileLengthOf(int32_t fileNumber);
// True when nothing is left to read (also for a number that is not open).
bool FileEof(int32_t fileNumber);
// Positions count from 1: the first byte of a file is position 1.
// The position of the next read or write; 0 when the number is not open.
int64_t FilePosition(int32_t fileNumber);
// 0, or -19 for a number not open or a position below 1.
int32_t FileSeek(int32_t fileNumber, int64_t position);

// Binary transfers at a position (0 = the current position). A read past the end
// fills the rest of the buffer with zeros; got (when given) receives the bytes
// actually read. 0, -19 for a number not open or a bad position, -20 when the
// operating system refuses the transfer (also bytes written before that the
// stream still buffered).
int32_t FileGet(int32_t fileNumber, int64_t position, void* buffer, size_t bytes,
                size_t* got = nullptr);
int32_t FilePut(int32_t fileNumber, int64_t position, const void* buffer, size_t bytes);

// Input items: blanks and tabs before an item are skipped; an item ends at a
// comma or at the end of the line (LF, CR LF or CR), and the comma or line end
// is consumed; an item that starts with a double quote runs to the closing
// quote, commas included, without the quotes (anything after the closing quote
// up to the comma or line end is passed over). Items hold at most
// kMaxItemLength characters; the rest is passed over.
constexpr size_t kMaxItemLength = 4096;
// 0, -17 when the file is at its end (item empty), -19 for a number not open.
int32_t FileReadItem(int32_t fileNumber, std::string& item);
// The rest of the current line, without its line end (at most kMaxItemLength
// characters, the rest passed over). 0, -17 at the end of the file, -19.
int32_t FileReadLine(int32_t fileNumber, std::string& line);
// The number an item stands for: surrounding blanks removed, the longest leading
// decimal number ("12.5e1", "-3"); 0 when the text does not start with one.
double ItemValue(const std::string& item);

// Text output: the bytes as given, or followed by the line end CR LF.
// 0, -19 for a number not open, -20 when the write fails.
int32_t FileWrite(int32_t fileNumber, const std::string& text);
int32_t FileWriteLine(int32_t fileNumber, const std::string& text);
int32_t FileFlush(int32_t fileNumber);
// Flushes and then asks the disk to keep the file's bytes (fsync), as a save
// does before its file takes the target's name: 0, -19 for a number not open,
// -20 when either step fails.
int32_t FileSync(int32_t fileNumber);
// The same for the file's bytes only (fdatasync): what a file that grows
// needs before a header that names its data is written.
int32_t FileSyncData(int32_t fileNumber);
// Cuts (or extends with zeros) an open file to length bytes after writing what
// is buffered; the position is not moved. 0, -19 for a number not open or a
// negative length, -20 when the operating system refuses.
int32_t FileTruncate(int32_t fileNumber, int64_t length);

// Whole files and descriptors for what takes no file number: a library that
// reads from memory (fonts, images), a thread that syncs what another writes.
// The whole of a regular file: 0, or the open's failure code as FileOpen gives
// it (2, kOpenFolder, kOpenNotRegular, kOpenNoPermission...); 3 when the read
// fails. bytes is empty on failure.
int32_t FileReadWhole(const std::string& path, std::vector<unsigned char>& bytes);
// Seconds since 1970-01-01 00:00 UTC of the last change of what lies at the
// path (a link followed); -1 when nothing can be read there.
int64_t FileModifiedTime(const std::string& path);
// A read-only descriptor of the file or folder at the path, for syncing it
// apart from its writer's stream (fdatasync, sync_file_range, fsync of the
// folder); -1 when it cannot be opened. The caller closes it.
int OpenForSync(const std::string& path);
// A descriptor of the path opened with the system's flags (O_CLOEXEC added),
// for a caller that works on it itself (a header rewritten apart from the
// stream); -1 with errno set when it cannot be opened. The caller closes it.
int OpenDescriptor(const std::string& path, int flags);

}  // namespace platform
