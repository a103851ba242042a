#include "app/documents/doc_io.h"

#include <new>

#include "basics/errors.h"
#include "basics/queues.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace Tarvelo {

using QUARLE_BASICS::kErrFileAccess;
using QUARLE_BASICS::kErrFileIo;
using QUARLE_BASICS::kErrNoFreeFile;

namespace {
// one thread: interface, a test's fault after n writes
int64_t g_failAfter = -1;
}  // namespace

void DocumentFailWritesAfter(int64_t bytes) { g_failAfter = bytes; }

int32_t OpenDocumentFile(const std::string& path, platform::FileMode mode, platform::FileAccess access,
                         int32_t& number) {
  platform::MutexGuard guard(QUARLE_BASICS::MT_FILES);
  number = platform::FreeFile();
  if (number <= 0) {
    number = 0;
    return -kErrNoFreeFile;
  }
  const int32_t rc = platform::FileOpen(number, path, mode, access);
  if (rc != 0) {
    number = 0;
    return -rc;
  }
  return 0;
}

int32_t DocumentWriterOpen(DocumentWriter& w, const std::string& target) {
  w.Target = target;
  w.Temporary = platform::ClaimWorkFile(target, ".tmp");
  w.Error = 0;
  w.Written = 0;
  const int32_t rc = OpenDocumentFile(w.Temporary, platform::kFileOutput, platform::kAccessReadWrite, w.File);
  if (rc != 0) {
    w.Error = rc;
    platform::ReleaseWorkFile(w.Temporary);
    w.Temporary.clear();
  }
  return rc;
}

bool DocumentPut(DocumentWriter& w, const void* bytes, size_t n) {
  if (w.Error != 0 || w.File == 0) return false;
  if (g_failAfter >= 0 && w.Written + static_cast<int64_t>(n) > g_failAfter) {
    g_failAfter = -1;
    w.Error = -kErrFileIo;
    return false;
  }
  // A write fails for the disk's sake (full, gone, not ours), whatever step of
  // the buffered stream noticed it: the user is told so.
  if (platform::FilePut(w.File, 0, bytes, n) != 0) {
    w.Error = -kErrFileIo;
    return false;
  }
  w.Written += static_cast<int64_t>(n);
  return true;
}

bool DocumentPutI32(DocumentWriter& w, int32_t value) { return DocumentPut(w, &value, 4); }
bool DocumentPutF32(DocumentWriter& w, float value) { return DocumentPut(w, &value, 4); }

bool DocumentPutText(DocumentWriter& w, const std::string& text) {
  if (!DocumentPutI32(w, static_cast<int32_t>(text.size()))) return false;
  return text.empty() || DocumentPut(w, text.data(), text.size());
}

void DocumentNoteExternal(DocumentWriter& w, int32_t rc, int64_t bytes) {
  if (w.Error != 0) return;
  if (rc != 0) {
    w.Error = -kErrFileIo;
    return;
  }
  w.Written += bytes;
}

int32_t DocumentWriterCommit(DocumentWriter& w) {
  if (w.File == 0) return w.Error != 0 ? w.Error : -kErrFileAccess;
  int32_t rc = w.Error;
  // On the disk before it takes the name, and the name on the disk after: a
  // power cut then leaves the old document or the new, never an empty file.
  if (rc == 0 && platform::FileSync(w.File) != 0) rc = -kErrFileIo;
  if (platform::FileClose(w.File) != 0 && rc == 0) rc = -kErrFileIo;
  w.File = 0;
  if (rc == 0 && platform::FileLength(w.Temporary) != w.Written) rc = -kErrFileIo;
  if (rc == 0) rc = platform::FileReplace(w.Temporary, w.Target);
  if (rc != 0) platform::FileDelete(w.Temporary);
  // Given back once: the name may be another save's from here on.
  platform::ReleaseWorkFile(w.Temporary);
  w.Temporary.clear();
  if (rc != 0) {
    w.Error = rc < 0 ? rc : -kErrFileAccess;
    return w.Error;
  }
  return 0;
}

void DocumentWriterAbort(DocumentWriter& w) {
  if (w.File != 0) platform::FileClose(w.File);
  w.File = 0;
  if (w.Temporary.empty()) return;
  platform::FileDelete(w.Temporary);
  platform::ReleaseWorkFile(w.Temporary);
  w.Temporary.clear();
}

bool DocumentReader::Read(void* p, int64_t n) {
  if (n < 0 || n > Left) return false;
  if (n == 0) return true;
  size_t got = 0;
  if (platform::FileGet(File, 0, p, static_cast<size_t>(n), &got) != 0 || got != static_cast<size_t>(n))
    return false;
  Left -= n;
  return true;
}

bool DocumentReader::ReadText(std::string& text, int64_t longest) {
  int32_t n = 0;
  if (!ReadI32(n) || n < 0 || n > longest || n > Left) return false;
  try {
    text.assign(static_cast<size_t>(n), '\0');
  } catch (const std::bad_alloc&) {
    return false;
  }
  return Read(text.data(), n);
}

std::string StemOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace Tarvelo
