// File access shared by the document writers and readers: numbered files
// opened under the file lock, writes that replace a document only once it is
// complete, and sequential reads that know how much of the file is left.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/saver.h"

namespace Tarvelo {

// Takes a free file number and opens the path under MT_FILES: 0, -23 when no
// number is free, or the negated open failure (-1, -2 or -3).
int32_t OpenDocumentFile(const std::string& path, platform::FileMode mode, platform::FileAccess access,
                         int32_t& number);

// A document is built in memory and then put in its target's place whole
// (platform/saver.h), so a failed save leaves the previous file as it was.
// one thread: value, a save's own
struct DocumentWriter {
  std::string Target;
  std::string Bytes;   // the document so far
  int32_t Error = 0;   // the first failure; writes after it do nothing
};

// Starts a document for the target: 0.
int32_t DocumentWriterOpen(DocumentWriter& w, const std::string& target);
// false once a write failed.
bool DocumentPut(DocumentWriter& w, const void* bytes, size_t n);
bool DocumentPutI32(DocumentWriter& w, int32_t value);
bool DocumentPutF32(DocumentWriter& w, float value);
// A counted text: its byte count as an i32, then the bytes.
bool DocumentPutText(DocumentWriter& w, const std::string& text);
// Writes the document in place on this thread, synced: 0, or the first
// failure (the target untouched). A write that failed, at any step, is -3,
// the file I/O error whose text names the disk.
int32_t DocumentWriterCommit(DocumentWriter& w);
// Hands the document to the saver (backup as SaveRequest's): `done` gets the
// outcome as DocumentWriterCommit would give it, on the interface thread,
// once the file is on the disk or failed (at once, before the return, when no
// saver runs). Non-zero only for a failure found before the hand-over, and
// `done` is then not called.
// `outcome` and `after` as SaveRequest's.
int32_t DocumentWriterHandOver(DocumentWriter& w, const std::string& backup, std::function<void(int32_t)> done,
                               platform::SaveOutcome outcome = nullptr, std::vector<platform::SaveOutcome> after = {});
// Drops the document.
void DocumentWriterAbort(DocumentWriter& w);
// Runs a save that hands its document over with the teller it is given (a
// non-zero result: it failed before, and told nothing). `done` hears exactly
// one outcome, on the interface thread. The result: the outcome when it is
// known by then (a failure before the hand-over, or no saver running), else 0.
int32_t SaveWithOutcome(const std::function<int32_t(std::function<void(int32_t)>)>& save,
                        std::function<void(int32_t)> done);

// Tests only: the next document longer than `bytes` meets a disk that
// refuses its write after that many bytes (once); -1 turns it off.
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
