#include "app/documents/melody_file.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/documents/doc_io.h"
#include "basics/errors.h"
#include "engine/globals.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;

namespace {

// round(n / 4) x 4 with ties to even, as the record is stored.
int64_t StoredBytes(int64_t n) {
  return static_cast<int64_t>(std::nearbyint(static_cast<double>(n) / 4.0)) * 4;
}

}  // namespace

namespace {

// The melody file of an entry, in memory.
int32_t MelodyDocument(const WaveLibraryEntry* entry, DocumentWriter& w) {
  if (entry == nullptr) return -kErrBadParameter;
  const int64_t n = entry->Sound.dataSize;
  const float* data = entry->Sound.samples;
  if (n > 0 && data == nullptr) return -kErrBadParameter;
  // The file holds round(N / 4) x 4 bytes of an N-byte record, which for a
  // size of no whole words would cut its last bytes off (or make the reader
  // refuse it): such a record is stored as whole words, padded with zeros.
  const int64_t stored = (n + 3) / 4 * 4;
  std::vector<unsigned char> record(static_cast<size_t>(stored), 0);
  if (n > 0) std::memcpy(record.data(), data, static_cast<size_t>(n));
  DocumentWriterOpen(w, DynZStringGet(entry->Folder) + "\\" + DynZStringGet(entry->File));
  DocumentPutI32(w, kMelodyMagicLength);
  DocumentPut(w, kMelodyMagic, kMelodyMagicLength);
  DocumentPutI32(w, static_cast<int32_t>(stored));
  if (stored > 0) DocumentPut(w, record.data(), record.size());
  return 0;
}

}  // namespace

int32_t SaveMelody(WaveLibraryEntry* entry) {
  DocumentWriter w;
  int32_t rc = MelodyDocument(entry, w);
  if (rc != 0) return rc;
  // Busy while written: the melody list draws it so. Saving never changes
  // whether the entry is busy (a recording target stays one).
  const int32_t before = entry->State.Load(std::memory_order_acquire);
  entry->State.Store(kWaveCreating, std::memory_order_release);
  rc = DocumentWriterCommit(w);
  entry->State.Store(before, std::memory_order_release);
  if (rc == 0) entry->Saved = -1;
  return rc;
}

int32_t SaveMelodyThen(WaveLibraryEntry* entry, platform::SaveOutcome outcome, std::function<void(int32_t)> done) {
  DocumentWriter w;
  if (const int32_t rc = MelodyDocument(entry, w); rc != 0) return rc;
  const std::string folder = DynZStringGet(entry->Folder);
  const std::string file = DynZStringGet(entry->File);
  // The entry may be gone by then: those naming the file take the save.
  return DocumentWriterHandOver(
      w, "",
      [folder, file, done = std::move(done)](int32_t rc) {
        if (rc == 0) {
          platform::MutexGuard guard(MelodyLibrary.header.lock);
          for (int32_t i = 0; i < MelodyLibrary.header.count && MelodyLibrary.entries != nullptr; ++i) {
            WaveLibraryEntry* e = MelodyLibrary.entries[i];
            if (e != nullptr && e->Saved == 0 && DynZStringGet(e->Folder) == folder && DynZStringGet(e->File) == file)
              e->Saved = -1;
          }
        }
        if (done) done(rc);
      },
      std::move(outcome));
}

int32_t LoadMelody(const std::string& folder, const std::string& file) {
  int32_t number = 0;
  int32_t rc = OpenDocumentFile(folder + "\\" + file, platform::kFileBinary, platform::kAccessRead, number);
  if (rc != 0) return rc;
  rc = WaveLibraryListReserve(MelodyLibrary);
  if (rc != 0) {
    platform::FileClose(number);
    return rc;
  }
  DocumentReader in{number, platform::FileLengthOf(number)};
  std::string magic;
  int32_t n = 0;
  const bool head = in.ReadText(magic, kMelodyMagicLength) && magic == kMelodyMagic && in.ReadI32(n);
  // The record must hold its head and must be in the file: a size beyond the
  // file would only make us allocate for nothing. The file holds the record
  // as round(N / 4) x 4 bytes.
  const int64_t stored = head ? StoredBytes(n) : 0;
  if (!head || n < kMelodyHeadBytes || stored > in.Left) {
    platform::FileClose(number);
    return -kErrIncompatibleFile;
  }
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  if (e == nullptr) {
    platform::FileClose(number);
    return -kErrAllocation;
  }
  DynZStringAssign(e->File, file);
  DynZStringAssign(e->Folder, folder);
  e->State.Store(kWaveCreating, std::memory_order_release);
  // What the entry holds: N bytes, or fewer when the file stores fewer.
  const int64_t held = stored < n ? stored : n;
  e->Sound.dataSize = static_cast<uint32_t>(held);
  std::free(e->Sound.samples);
  e->Sound.samples = static_cast<float*>(std::calloc(static_cast<size_t>(stored) / 4 + 1, sizeof(float)));
  if (e->Sound.samples == nullptr) {
    platform::FileClose(number);
    return FreeLibraryEntry(e, -kErrAllocation);
  }
  size_t got = 0;
  const int64_t want = stored < in.Left ? stored : in.Left;
  rc = platform::FileGet(number, 0, e->Sound.samples, static_cast<size_t>(want), &got);
  platform::FileClose(number);
  if (rc != 0 || static_cast<int64_t>(got) != stored) return FreeLibraryEntry(e, -kErrIncompatibleFile);

  const float* w = e->Sound.samples;
  const float slots = w[0];
  const float rate = w[3];
  const float length = w[5];
  // Only finite head words describe a melody, and every event slot the head
  // claims must be in the record. A record may hold more (a recording saved
  // before its buffer was trimmed): playback reads only the slots claimed.
  if (!std::isfinite(slots) || !std::isfinite(rate) || !std::isfinite(length) || slots < 0.0f ||
      std::nearbyint(static_cast<double>(16.0f * slots + 24.0f)) > static_cast<double>(held))
    return FreeLibraryEntry(e, -kErrIncompatibleFile);
  e->Duration.Store(length);
  e->Pitch[0] = RateWhole > 0 ? rate * 4.0f / static_cast<float>(RateWhole) : 0.0f;
  e->State.Store(kWaveIdle, std::memory_order_release);
  e->LoadState = kWaveDataHeld;
  e->Saved = -1;
  return WaveLibraryListCommit(MelodyLibrary, e);
}

}  // namespace Tarvelo
