#include "audio/recording.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "basics/errors.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sync_aside.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace {

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutU16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v));
  out.push_back(static_cast<char>(v >> 8));
}
void PutF32(std::string& out, float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  PutU32(out, v);
}

// The header from "RIFF" to the data chunk's size, from sb's current values.
// Its length depends only on the text, so the rewrite at the end covers
// exactly the bytes written at the start.
std::string Header(SoundBuffer* sb) {
  std::string h;
  h += "RIFF";
  PutU32(h, 0);  // patched once the length is known
  h += "WAVE";
  h += "fmt ";
  PutU32(h, 16);
  PutU16(h, sb->format.formatTag);
  PutU16(h, uint16_t(sb->format.channels));
  PutU32(h, sb->format.sampleRate);
  PutU32(h, sb->format.bytesPerSecond);
  PutU16(h, uint16_t(sb->format.blockAlign));
  PutU16(h, uint16_t(sb->format.bitsPerSample));
  h += "fact";
  PutU32(h, 4);
  PutU32(h, sb->frameCount);
  std::string text = DynZStringGet(sb->listText);
  if (!text.empty()) {
    h += "LIST";
    PutU32(h, static_cast<uint32_t>(text.size()));
    h += text;
  }
  sb->peakChunkSize = 24;
  sb->peakVersion = 1;
  sb->peakTimeStamp = UnixTimeNow();
  h += "PEAK";
  PutU32(h, sb->peakChunkSize);
  PutU32(h, sb->peakVersion);
  PutU32(h, sb->peakTimeStamp);
  PutF32(h, sb->peakValue[0]);
  PutU32(h, sb->peakPosition[0]);
  PutF32(h, sb->peakValue[1]);
  PutU32(h, sb->peakPosition[1]);
  h += "data";
  const uint32_t dataBytes = sb->dataSize / 2;
  PutU32(h, dataBytes);
  const uint32_t riff = dataBytes + static_cast<uint32_t>(h.size()) - 8;
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(riff >> (8 * i));
  return h;
}

// Writes the header at position 1 and leaves the file at the first data byte.
int32_t WriteHeader(int32_t fileNumber, SoundBuffer* sb) {
  const std::string h = Header(sb);
  int32_t rc = platform::FilePut(fileNumber, 1, h.data(), h.size());
  if (rc == 0) rc = platform::FileFlush(fileNumber);
  const int64_t firstData = static_cast<int64_t>(h.size()) + 1;
  platform::FileSeek(fileNumber, firstData);
  sb->dataOffset = firstData;
  return rc;
}

void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Rewrites only the RIFF size, the fact count and the data size for the data
// counted so far, then returns to the end of the data. No allocation: the
// audio thread calls this while recording, so that a recording cut short
// (killed, crashed, the power gone) announces what it holds.
int32_t WriteSizes(int32_t fileNumber, SoundBuffer* sb) {
  const uint32_t dataBytes = sb->dataSize / 2;
  const uint32_t blockAlign = sb->format.blockAlign > 0 ? uint32_t(sb->format.blockAlign) : 1u;
  const int64_t headBytes = sb->dataOffset - 1;
  uint8_t riff[4], fact[4], data[4];
  PutLe32(riff, dataBytes + static_cast<uint32_t>(headBytes) - 8);
  PutLe32(fact, dataBytes / blockAlign);
  PutLe32(data, dataBytes);
  int32_t rc = platform::FilePut(fileNumber, 5, riff, 4);
  if (rc == 0) rc = platform::FilePut(fileNumber, 45, fact, 4);  // fact always follows fmt
  if (rc == 0) rc = platform::FilePut(fileNumber, sb->dataOffset - 4, data, 4);
  if (rc == 0) rc = platform::FileFlush(fileNumber);
  if (rc == 0) rc = platform::FileSeek(fileNumber, sb->dataOffset + dataBytes);
  return rc;
}

// After a failed write the file may hold part of a block beyond the counted
// data (a disk that filled mid-write): the count becomes the whole frames the
// file holds and the file ends with them, so the sizes match the file.
void TakeFileData(int32_t fileNumber, SoundBuffer* sb) {
  const int64_t length = platform::FileLengthOf(fileNumber);
  const int64_t headBytes = sb->dataOffset - 1;
  if (headBytes <= 0 || length < headBytes) return;
  const int64_t blockAlign = sb->format.blockAlign > 0 ? sb->format.blockAlign : 1;
  int64_t held = length - headBytes;
  held -= held % blockAlign;
  const int64_t most = 0x7FFFFFFFll - (0x7FFFFFFFll % blockAlign);  // dataSize counts twice the bytes
  if (held > most) held = most;
  if (held == int64_t(sb->dataSize / 2) && length == headBytes + held) return;
  sb->dataSize = static_cast<uint32_t>(held * 2);
  platform::FileTruncate(fileNumber, headBytes + held);
}

}  // namespace

int32_t CreateRecordingWav(const std::string& fileName, SoundBuffer* sb) {
  if (fileName.empty() || !sb) return -kErrBadParameter;
  sb->dataSize = 0;
  sb->frameCount = 0;
  // A refused create (a full disk) takes away the file it made, so every try
  // does not leave an empty recording behind; a file that was there stays.
  const bool made = !platform::FileExists(fileName);
  const auto refused = [&](int32_t rc) {
    if (made) platform::FileDelete(fileName);
    return -std::abs(rc);
  };
  int32_t number;
  {
    platform::MutexGuard lock(MT_FILES);
    number = platform::FreeFile();
    if (number <= 0) return -kErrNoFreeFile;
    int32_t rc = platform::FileOpen(number, fileName, platform::kFileOutput);
    if (rc != 0) return refused(rc);
    platform::FileClose(number);
    // Reopened under the same hold so that no other thread takes the number
    // between the two opens.
    rc = platform::FileOpen(number, fileName, platform::kFileBinary);
    if (rc != 0) return refused(rc);
  }
  if (int32_t rc = WriteHeader(number, sb); rc != 0) {
    // A file without its header is no recording: say so instead of
    // streaming into it.
    platform::FileClose(number);
    return refused(rc);
  }
  // The new name is kept by the disk from the start, and the file is synced
  // at each header update while it grows: a power cut leaves the recording up
  // to its last header, not a folder without it. The sync thread makes every
  // sync; the audio thread, which creates it, waits for none.
  platform::FileKeepSyncedAside(number);
  const size_t cut = fileName.find_last_of("\\/");
  platform::FolderSyncAside(cut == std::string::npos ? std::string() : fileName.substr(0, cut == 0 ? 1 : cut));
  return number;
}

int32_t WriteRecordingSamples(int32_t fileNumber, SoundBuffer* sb, const int16_t* values,
                              int32_t count) {
  if (!sb || !values || count < 0) return -kErrBadParameter;
  if (count == 0) return 0;
  // The sizes are 32-bit: a recording stops cleanly before they would wrap
  // round and leave a header that no longer matches the data.
  const uint64_t grown = uint64_t(sb->dataSize) + uint64_t(count) * 4;
  if (grown > 0xFFFFFFFFull) return -kErrFileTooBig;
  // Flushed at once: a full disk must stop the recording now, not surface
  // unnoticed when the file is closed.
  int32_t rc = platform::FilePut(fileNumber, 0, values, size_t(count) * 2);
  if (rc == 0) rc = platform::FileFlush(fileNumber);
  if (rc != 0) return -std::abs(rc);
  const uint32_t before = sb->dataSize / 2;
  sb->dataSize = static_cast<uint32_t>(grown);
  // The header catches up with the data once the first block is on disk and
  // then about once a second of sound, always after the data reached the
  // file, so its sizes never promise more than is there and a recording cut
  // short loses at most its last second. Each update is then synced aside,
  // data and header in one: a power cut loses the sound since the last sync
  // that ended, a second and the sync's own time.
  const uint32_t perSecond = sb->format.bytesPerSecond > 0 ? sb->format.bytesPerSecond : 1u;
  if (before == 0 || before / perSecond != sb->dataSize / 2 / perSecond) {
    rc = WriteSizes(fileNumber, sb);
    if (rc != 0) return -std::abs(rc);
    platform::FileSyncAside(fileNumber);
  }
  return 0;
}

int32_t FinishRecordingWav(int32_t fileNumber, SoundBuffer* sb) {
  if (!sb) return 0;
  TakeFileData(fileNumber, sb);
  const int32_t blockAlign = sb->format.blockAlign > 0 ? sb->format.blockAlign : 1;
  sb->frameCount = static_cast<uint32_t>(
      std::nearbyint(double(sb->dataSize / 2) / double(blockAlign)));
  WriteHeader(fileNumber, sb);
  // The closing header names every frame and is synced with the data, so a
  // power cut soon after leaves the recording whole; the audio thread closes
  // it here without waiting for the disk (an output buffer is a few ms).
  platform::FileCloseSyncAside(fileNumber);
  return 0;
}

}  // namespace QUARLE_AUDIO
