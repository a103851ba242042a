#include "app/documents/doc_io.h"

#include <memory>
#include <new>

#include "app/state/system_messages.h"
#include "basics/errors.h"
#include "basics/queues.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "platform/threads.h"

namespace Tarvelo {

using QUARLE_BASICS::kErrAllocation;
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
  w.Bytes.clear();
  w.Error = 0;
  return 0;
}

bool DocumentPut(DocumentWriter& w, const void* bytes, size_t n) {
  if (w.Error != 0) return false;
  try {
    w.Bytes.append(static_cast<const char*>(bytes), n);
  } catch (const std::bad_alloc&) {
    w.Error = -kErrAllocation;
    return false;
  }
  return true;
}

bool DocumentPutI32(DocumentWriter& w, int32_t value) { return DocumentPut(w, &value, 4); }
bool DocumentPutF32(DocumentWriter& w, float value) { return DocumentPut(w, &value, 4); }

bool DocumentPutText(DocumentWriter& w, const std::string& text) {
  if (!DocumentPutI32(w, static_cast<int32_t>(text.size()))) return false;
  return text.empty() || DocumentPut(w, text.data(), text.size());
}

namespace {
// A save that failed, at any step, is -3 (the file I/O error whose text names
// the disk) or the open's own refusal.
int32_t CommitResult(int32_t rc) { return rc == 0 ? 0 : (rc < 0 ? rc : -kErrFileAccess); }

// The test's fault: a disk that refuses the write past that many bytes.
platform::SaveFill FailingFill(DocumentWriter& w) {
  if (g_failAfter < 0 || static_cast<int64_t>(w.Bytes.size()) <= g_failAfter) return nullptr;
  const size_t cut = static_cast<size_t>(g_failAfter);
  g_failAfter = -1;
  return [bytes = std::move(w.Bytes), cut](int fd) {
    platform::SaveWrite(fd, bytes.data(), cut);
    return false;
  };
}
}  // namespace

int32_t DocumentWriterCommit(DocumentWriter& w) {
  if (w.Error != 0) return w.Error;
  const platform::SaveFill failing = FailingFill(w);
  const int32_t rc = CommitResult(failing ? platform::PutFileInPlace(w.Target, ".tmp", failing)
                                          : platform::PutFileInPlace(w.Target, w.Bytes));
  w.Bytes = std::string();
  if (rc != 0) w.Error = rc;
  return rc;
}

int32_t DocumentWriterHandOver(DocumentWriter& w, const std::string& backup, std::function<void(int32_t)> done,
                               platform::SaveOutcome outcome, std::vector<platform::SaveOutcome> after) {
  if (w.Error != 0) {
    w.Bytes = std::string();
    return w.Error;
  }
  platform::SaveRequest r;
  r.Target = w.Target;
  r.Fill = FailingFill(w);
  r.Bytes = std::move(w.Bytes);
  r.Backup = backup;
  r.Outcome = std::move(outcome);
  r.After = std::move(after);
  r.Done = [done = std::move(done), target = w.Target](int32_t rc) {
    SaveOnItsWayDone(target, rc);
    if (done) done(CommitResult(rc));
  };
  w.Bytes = std::string();
  // A save the saver takes may cross a busy disk: the status line says so while it lasts.
  if (platform::SaverRunning()) SayingSaveOnItsWay(w.Target);
  platform::SaveInBackground(std::move(r));
  return 0;
}

void DocumentWriterAbort(DocumentWriter& w) { w.Bytes = std::string(); }

int32_t SaveWithOutcome(const std::function<int32_t(std::function<void(int32_t)>)>& save,
                        std::function<void(int32_t)> done) {
  constexpr int32_t kNotYet = 1;
  auto outcome = std::make_shared<int32_t>(kNotYet);
  auto tell = [outcome, done = std::move(done)](int32_t rc) {
    *outcome = rc;
    if (done) done(rc);
  };
  const int32_t rc = save(tell);
  if (rc != 0) {
    if (*outcome == kNotYet) tell(rc);
    return rc;
  }
  return *outcome == kNotYet ? 0 : *outcome;
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
