// File access shared by the document writers and readers: numbered files
// opened under the file lock, writes that replace a document only once it is
// complete, and sequential reads that know how much of the file is left.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"

namespace Tarvelo {

// Takes a free file number and opens the path under MT_FILES: 0, -23 when no
// number is free, or the negated open failure (-1, -2 or -3).
int32_t OpenDocumentFile(const std::string& path, platform::FileMode mode, platform::FileAccess access,
                         int32_t& number);

// A document is written beside its target under a temporary name and takes
// the target's place only once every byte reached the disk, so a failed save
// leaves the previous file as it was.
// one thread: value, a save's own
struct DocumentWriter {
  std::string Target;
  std::string Temporary;  // the work file, claimed until the commit or abort ("" after)
  int32_t File = 0;
  int32_t Error = 0;    // the first failure; writes after it do nothing
  int64_t Written = 0;  // bytes the document holds so far
};

// 0, or the open's error (nothing is left behind then).
int32_t DocumentWriterOpen(DocumentWriter& w, const std::string& target);
// false once a write failed.
bool DocumentPut(DocumentWriter& w, const void* bytes, size_t n);
bool DocumentPutI32(DocumentWriter& w, int32_t value);
bool DocumentPutF32(DocumentWriter& w, float value);
// A counted text: its byte count as an i32, then the bytes.
bool DocumentPutText(DocumentWriter& w, const std::string& text);
// Accounts for bytes that another writer put into the open file (rc its result).
void DocumentNoteExternal(DocumentWriter& w, int32_t rc, int64_t bytes);
// Flushes and syncs, closes, checks the length and puts the document in place
// (the folder synced after): 0, or the first failure (the temporary file is
// removed, the target untouched). A write that failed, at any step, is -3,
// the file I/O error whose text names the disk.
int32_t DocumentWriterCommit(DocumentWriter& w);
// Closes and removes the temporary file.
void DocumentWriterAbort(DocumentWriter& w);

// Tests only: the document write that would take a document past `bytes`
// bytes fails, once; -1 turns it off.
void DocumentFailWritesAfter(int64_t bytes);

// Sequential reads of an open file.
// one thread: value, a load's own
struct DocumentReader {
  int32_t File = 0;
  int64_t Left = 0;  // bytes not read yet
  bool Read(void* p, int64_t n);
  bool ReadI32(int32_t& v) { return Read(&v, 4); }
  bool ReadF32(float& v) { return Read(&v, 4); }
  // A counted text of at most `longest` bytes.
  bool ReadText(std::string& text, int64_t longest);
};

// The text up to its last "." (the whole text when it has none).
std::string StemOf(const std::string& name);

}  // namespace Tarvelo
