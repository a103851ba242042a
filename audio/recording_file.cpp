#include "audio/recording_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "audio/recording.h"
#include "basics/errors.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

namespace rec {
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
void PutLe32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t PutAt(int fd, const void* bytes, size_t size, int64_t at) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? -errno : -EIO;
    p += n;
    size -= size_t(n);
    at += n;
  }
  return 0;
}

}  // namespace

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

int32_t PutSizes(int fd, int64_t headBytes, uint32_t blockAlign, uint32_t dataBytes) {
  uint8_t riff[4], fact[4], data[4];
  PutLe32(riff, dataBytes + static_cast<uint32_t>(headBytes) - 8);
  PutLe32(fact, dataBytes / (blockAlign > 0 ? blockAlign : 1u));
  PutLe32(data, dataBytes);
  int32_t rc = PutAt(fd, riff, 4, 4);
  if (rc == 0) rc = PutAt(fd, fact, 4, 44);  // fact always follows fmt
  if (rc == 0) rc = PutAt(fd, data, 4, headBytes - 4);
  return rc;
}

int32_t PutHeader(int fd, const std::string& header) { return PutAt(fd, header.data(), header.size(), 0); }

uint32_t WholeFramesHeld(int64_t length, int64_t headBytes, uint32_t blockAlign) {
  if (headBytes <= 0 || length <= headBytes) return 0;
  const int64_t align = blockAlign > 0 ? blockAlign : 1;
  int64_t held = length - headBytes;
  held -= held % align;
  const int64_t most = 0x7FFFFFFFll - (0x7FFFFFFFll % align);  // dataSize counts twice the bytes
  return static_cast<uint32_t>(held > most ? most : held);
}

// A write refused for want of room says so: "File Access Failed" would send
// the user looking for a permissions fault; a file system turned read-only
// and a refused right name theirs.
int32_t WriteFailure(int32_t rc, int err) {
  if (err == ENOSPC || err == EDQUOT) return -kErrDiskFull;
  if (err == EROFS) return -kErrReadOnly;
  if (err == EACCES || err == EPERM) return -kErrNoPermission;
  return -std::abs(rc);
}

}  // namespace rec

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
  errno = 0;
  const std::string h = rec::Header(sb);
  int32_t rc = platform::FilePut(number, 1, h.data(), h.size());
  if (rc == 0) rc = platform::FileFlush(number);
  if (rc != 0) {
    // A file without its header is no recording: say so instead of
    // streaming into it.
    const int err = errno;
    platform::FileClose(number);
    return refused(rec::WriteFailure(rc, err));
  }
  sb->dataOffset = static_cast<int64_t>(h.size()) + 1;
  platform::FileSeek(number, sb->dataOffset);
  return number;
}

}  // namespace QUARLE_AUDIO
