#include "audio/wav.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <bit>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "basics/timetext.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/saver.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

static_assert(std::endian::native == std::endian::little,
              "samples are moved between memory and files byte for byte");

namespace {

// Texts longer than this are cut when a LIST chunk is read; the rest of the
// chunk is skipped, so a hostile size can never force a huge allocation.
constexpr uint32_t kMaxListText = 65536;

uint32_t RoundDiv(uint64_t num, uint64_t den) {
  // Rounded to nearest with halves to even, on whole numbers.
  uint64_t q = num / den, r = num % den;
  if (2 * r > den || (2 * r == den && (q & 1))) ++q;
  return static_cast<uint32_t>(q);
}

// A block size or byte rate as the format's field holds it: worked out in 64
// bits, the most the field holds when it does not fit (never a wrapped value).
int16_t BlockAlignOf(int64_t channels, int64_t bytesPerValue) {
  const int64_t v = channels * bytesPerValue;
  return static_cast<int16_t>(v < 0 ? 0 : v > INT16_MAX ? INT16_MAX : v);
}
uint32_t BytesPerSecondOf(int64_t blockAlign, uint64_t rate) {
  if (blockAlign <= 0) return 0;
  const uint64_t v = uint64_t(blockAlign) * rate;
  return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

// -38, with a warning that says which limit the channel count passed.
int32_t TooManyChannels(int32_t channels) {
  Report(LangText(50, "Unsupported wave format.") + " (" + std::to_string(channels) + " channels > " +
             std::to_string(kMaxWavChannels) + ")",
         kLevelWarning);
  return -kErrWavUnsupported;
}

bool SameLetters(const char* got, const char* want) {
  for (int i = 0; i < 4; ++i) {
    if (std::toupper(static_cast<unsigned char>(got[i])) !=
        std::toupper(static_cast<unsigned char>(want[i])))
      return false;
  }
  return true;
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutF32(std::vector<uint8_t>& out, float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  PutU32(out, v);
}
void PutId(std::vector<uint8_t>& out, const char* id) { out.insert(out.end(), id, id + 4); }

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Takes a free file number and opens the file for binary access, both under
// MT_FILES so no other thread can take the same number in between. fresh
// empties (or creates) the file first. The file number, or a negative code:
// -23 when no number is free, else the open's failure code negated.
int32_t OpenBinary(const std::string& path, bool fresh, platform::FileAccess access) {
  platform::MutexGuard lock(MT_FILES);
  int32_t number = platform::FreeFile();
  if (number <= 0) return -kErrNoFreeFile;
  if (fresh) {
    int32_t rc = platform::FileOpen(number, path, platform::kFileOutput);
    if (rc != 0) return -std::abs(rc);
    platform::FileClose(number);
  }
  int32_t rc = platform::FileOpen(number, path, platform::kFileBinary, access);
  if (rc != 0) return -std::abs(rc);
  return number;
}

// No file at the name: a folder there is named as one, for the user's sake.
int32_t MissingFileCode(const std::string& fileName) {
  return platform::FolderExists(fileName) ? -kErrFolderNamed : -kErrFileNotFound;
}

// Sequential reader over an open file that knows how many bytes are left, so
// that no chunk size can make it read or skip past the end.
// one thread: value
struct ChunkReader {
  int32_t file;
  uint64_t length;
  uint64_t pos = 0;  // bytes consumed (0-based offset of the next byte)

  uint64_t Left() const { return length - pos; }

  // 0, -37 when the file ends first, or the negated read error.
  int32_t Read(void* dst, uint64_t n) {
    if (n > Left()) return -kErrWavSizeMismatch;
    size_t got = 0;
    int32_t rc = platform::FileGet(file, int64_t(pos) + 1, dst, size_t(n), &got);
    if (rc != 0) return -std::abs(rc);
    if (got != n) return -kErrWavSizeMismatch;
    pos += n;
    return 0;
  }
  int32_t U32(uint32_t& v) {
    uint8_t b[4];
    int32_t rc = Read(b, 4);
    if (rc == 0) v = GetU32(b);
    return rc;
  }
  int32_t Skip(uint64_t n) {
    if (n > Left()) return -kErrWavSizeMismatch;
    pos += n;
    return 0;
  }
  // After a chunk of odd size: RIFF pads it with a byte, which files this
  // program wrote before it padded its texts lack. A byte there that starts
  // a chunk id of letters is taken for the next chunk, any other (a zero)
  // for the pad.
  int32_t SkipPad(uint32_t size) {
    if (size % 2 == 0 || Left() == 0) return 0;
    uint8_t b[4];
    size_t got = 0;
    if (Left() >= 4 && platform::FileGet(file, int64_t(pos) + 1, b, 4, &got) == 0 && got == 4 && b[0] != 0 &&
        std::all_of(b, b + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; }))
      return 0;
    return Skip(1);
  }
};

// A chunk id as a log line shows it: a byte that is no character (a control
// byte, a zero) as "\xNN", so no file puts a NUL or a line break in the log.
std::string ShownId(const char* id) {
  std::string shown;
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>(id[i]);
    if (c >= 0x20 && c != 0x7F) {
      shown += static_cast<char>(c);
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    shown += hex;
  }
  return shown;
}

// A LIST chunk's body is kept as the buffer's text only when the text is
// the whole chunk (a terminator and zeros after it aside): a list of
// sub-chunks (INFO) holds zeros in their sizes, and written again as a text
// it would be a chunk cut short.
bool WholeText(const std::vector<char>& body, uint32_t size) {
  if (body.size() < size_t(size) + 1) return false;
  const auto end = body.begin() + ptrdiff_t(size);
  const auto zero = std::find(body.begin(), end, '\0');
  return std::all_of(zero, end, [](char c) { return c == '\0'; });
}

int32_t WalkChunks(ChunkReader& r, SoundBuffer* sb) {
  for (;;) {
    char id[4];
    int32_t rc = r.Read(id, 4);
    if (rc != 0) return rc;  // the file ended before a data chunk: -37
    uint32_t size = 0;
    if ((rc = r.U32(size)) != 0) return rc;

    if (std::memcmp(id, "data", 4) == 0) {
      const uint32_t frameBytes =
          uint32_t(sb->format.channels) * uint32_t(sb->format.bitsPerSample / 8);
      if (size > r.Left()) {
        // A recording cut short (a crash, a power cut) announces more than
        // reached the disk: what is there is its sound, in whole frames.
        const uint32_t held = static_cast<uint32_t>(r.Left() - r.Left() % frameBytes);
        if (held == 0) return -kErrWavSizeMismatch;
        Report(InsertArg(LangText(67, "Data read is smaller than expected by {$} bytes."),
                         std::to_string(size - held)),
               kLevelWarning);
        size = held;
      }
      sb->dataSize = size;
      sb->dataOffset = static_cast<int64_t>(r.pos) + 1;
      // Whole frames only: a count that promises more frames than the data
      // holds would send every reader past the end of the samples.
      uint32_t frames = size / frameBytes;
      if (sb->frameCount == 0 || sb->frameCount > frames) sb->frameCount = frames;
      return 0;
    }
    if (std::memcmp(id, "fact", 4) == 0) {
      // Walk by the stated size, so that writers with a longer fact chunk
      // keep the chunk list aligned.
      if (size > r.Left()) return -kErrWavSizeMismatch;
      if (size >= 4) {
        if ((rc = r.U32(sb->frameCount)) != 0) return rc;
        rc = r.Skip(size - 4);
      } else {
        rc = r.Skip(size);
      }
      if (rc != 0 || (rc = r.SkipPad(size)) != 0) return rc;
      continue;
    }
    if (std::memcmp(id, "LIST", 4) == 0) {
      if (size > r.Left()) return -kErrWavSizeMismatch;
      uint32_t keep = size < kMaxListText ? size : kMaxListText;
      std::vector<char> text(size_t(keep) + 1, 0);
      if ((rc = r.Read(text.data(), keep)) != 0) return rc;
      if ((rc = r.Skip(size - keep)) != 0 || (rc = r.SkipPad(size)) != 0) return rc;
      DynZStringAssign(sb->listText, WholeText(text, size) ? text.data() : "");
      continue;
    }
    if (std::memcmp(id, "PEAK", 4) == 0) {
      if (size > r.Left()) return -kErrWavSizeMismatch;
      // version, time stamp, then a (value, position) pair per channel; only
      // the first two pairs are kept, the rest of the chunk is skipped.
      uint8_t body[24] = {};
      uint32_t take = size < 24 ? size : 24;
      if ((rc = r.Read(body, take)) != 0) return rc;
      if ((rc = r.Skip(size - take)) != 0 || (rc = r.SkipPad(size)) != 0) return rc;
      sb->peakChunkSize = size;
      if (take >= 8) {
        sb->peakVersion = GetU32(body);
        sb->peakTimeStamp = GetU32(body + 4);
      }
      for (int c = 0; c < 2; ++c) {
        if (take >= uint32_t(16 + 8 * c)) {
          uint32_t v = GetU32(body + 8 + 8 * c);
          std::memcpy(&sb->peakValue[c], &v, 4);
          sb->peakPosition[c] = GetU32(body + 12 + 8 * c);
        }
      }
      continue;
    }
    Report(LangText(66, "Unknown WF Chunk type: ") + ShownId(id), kLevelWarning);
    if ((rc = r.Skip(size)) != 0 || (rc = r.SkipPad(size)) != 0) return rc;
  }
}

}  // namespace

void SoundBufferInitFormat(SoundBuffer* sb, int16_t channels, int16_t bits, int32_t rate) {
  std::memset(static_cast<void*>(sb), 0, sizeof(SoundBuffer));
  sb->format.formatTag = bits == 32 ? kWaveFormatFloat : kWaveFormatPcm;
  sb->format.bitsPerSample = bits;
  sb->format.channels = channels;
  sb->format.sampleRate = static_cast<uint32_t>(rate);
  sb->format.blockAlign =
      BlockAlignOf(static_cast<int64_t>(std::nearbyint(double(channels) * bits / 8.0)), 1);
  sb->format.bytesPerSecond = BytesPerSecondOf(sb->format.blockAlign, sb->format.sampleRate);
}

void SoundBufferInit(SoundBuffer* sb) { SoundBufferInitFormat(sb, 1, 32, 48000); }

void SoundBufferSetFormat(SoundBuffer* sb, int32_t channels, int32_t rate, int32_t bits) {
  sb->format.bitsPerSample = static_cast<int16_t>(bits);
  sb->format.channels = static_cast<int16_t>(channels);
  sb->format.sampleRate = static_cast<uint32_t>(rate);
  sb->format.blockAlign = BlockAlignOf(channels, static_cast<int64_t>(std::nearbyint(bits / 8.0)));
  sb->format.bytesPerSecond = BytesPerSecondOf(sb->format.blockAlign, uint32_t(rate));
  if (bits < 32) sb->format.formatTag = kWaveFormatPcm;
}

void SoundBufferFree(SoundBuffer* sb) {
  std::free(sb->samples);
  sb->samples = nullptr;
  sb->dataSize = 0;
  DynZStringFree(sb->listText);
}

void WaveFormatAssign(WaveFormat* dst, const WaveFormat* src) { *dst = *src; }

void LevelMeterAssign(LevelMeter& dst, const LevelMeter& src) {
  dst.level = src.level;
  dst.minimum = src.minimum;
  dst.maximum = src.maximum;
}

void SoundBufferAssign(SoundBuffer* dst, const SoundBuffer* src) {
  if (dst == src) return;
  // dst never keeps samples that do not belong to the size it takes over.
  std::free(dst->samples);
  dst->samples = nullptr;
  if (src->samples) {
    size_t n = RoundDiv(src->dataSize, 4);
    float* copy = static_cast<float*>(std::calloc(n ? n : 1, sizeof(float)));
    if (copy) {
      if (n) std::memcpy(copy, src->samples, n * sizeof(float));
      dst->samples = copy;
    }
  }
  dst->riffSize = src->riffSize;
  dst->format = src->format;
  DynZStringAssignFrom(dst->listText, src->listText);
  dst->frameCount = src->frameCount;
  dst->peakChunkSize = src->peakChunkSize;
  dst->peakVersion = src->peakVersion;
  dst->peakTimeStamp = src->peakTimeStamp;
  for (int c = 0; c < 2; ++c) {
    dst->peakValue[c] = src->peakValue[c];
    dst->peakPosition[c] = src->peakPosition[c];
  }
  dst->dataSize = src->dataSize;
  dst->dataOffset = src->dataOffset;
}

int32_t ReadWavHeader(const std::string& fileName, SoundBuffer* sb) {
  if (fileName.empty()) return -kErrFileNotFound;
  if (!platform::FileExists(fileName)) return MissingFileCode(fileName);
  const int32_t f = OpenBinary(fileName, false, platform::kAccessRead);
  if (f < 0) return f;

  const int64_t length = platform::FileLengthOf(f);
  if (length <= 43) {
    platform::FileClose(f);
    return -kErrWavEmpty;
  }
  if (length > 4294967295ll) {
    platform::FileClose(f);
    return -kErrFileTooBig;
  }
  ChunkReader r{f, uint64_t(length)};
  const int32_t rc = [&]() -> int32_t {
    uint8_t head[36];
    int32_t e = r.Read(head, sizeof head);
    if (e != 0) return e;
    if (!SameLetters(reinterpret_cast<char*>(head), "RIFF")) return -kErrWavUnsupported;
    sb->riffSize = GetU32(head + 4);
    if (!SameLetters(reinterpret_cast<char*>(head + 8), "WAVE")) return -kErrWavUnsupported;
    if (!SameLetters(reinterpret_cast<char*>(head + 12), "FMT ")) return -kErrWavUnsupported;
    if (GetU32(head + 16) != 16) return -kErrWavUnsupported;
    const uint8_t* fmt = head + 20;
    sb->format.formatTag = GetU16(fmt);
    sb->format.channels = static_cast<int16_t>(GetU16(fmt + 2));
    sb->format.sampleRate = GetU32(fmt + 4);
    sb->format.bytesPerSecond = GetU32(fmt + 8);
    sb->format.blockAlign = static_cast<int16_t>(GetU16(fmt + 12));
    sb->format.bitsPerSample = static_cast<int16_t>(GetU16(fmt + 14));
    int bytes = sb->format.bitsPerSample / 8;
    if (bytes < 1 || bytes > 4) return -kErrWavUnsupported;
    // Only the layouts the converter knows: no channels, no rate, widths
    // between whole bytes (12, 20 bits) and other codings would be read as
    // garbage or divide by zero later; a rate beyond a signed 32-bit number
    // would turn negative where it is set against the stream's.
    if (sb->format.channels < 1 || sb->format.sampleRate == 0 || sb->format.sampleRate > kMaxWavRate)
      return -kErrWavUnsupported;
    if (sb->format.channels > kMaxWavChannels) return TooManyChannels(sb->format.channels);
    if (sb->format.bitsPerSample % 8 != 0) return -kErrWavUnsupported;
    if (sb->format.formatTag == kWaveFormatFloat) {
      if (sb->format.bitsPerSample != 32) return -kErrWavUnsupported;
    } else if (sb->format.formatTag != kWaveFormatPcm) {
      return -kErrWavUnsupported;
    }
    return WalkChunks(r, sb);
  }();
  platform::FileClose(f);
  return rc;
}

int32_t ReadWavData(const std::string& fileName, SoundBuffer* sb) {
  if (fileName.empty()) return -kErrFileNotFound;
  if (sb->format.bitsPerSample < 8 || sb->format.bitsPerSample > 32 || sb->dataSize == 0 ||
      sb->dataOffset <= 1)
    return -kErrIncompatibleFile;
  if (!platform::FileExists(fileName)) return MissingFileCode(fileName);
  const int32_t f = OpenBinary(fileName, false, platform::kAccessRead);
  if (f < 0) return f;
  const int64_t length = platform::FileLengthOf(f);
  if (sb->dataOffset > length - 1) {
    platform::FileClose(f);
    return -kErrIncompatibleFile;
  }
  uint32_t bytes = uint32_t(sb->format.bitsPerSample / 8);
  uint64_t n = RoundDiv(sb->dataSize, bytes);
  if (n == 0) {
    platform::FileClose(f);
    return -kErrWavEmpty;
  }
  std::free(sb->samples);
  sb->samples = static_cast<float*>(std::calloc(n, 4));
  if (!sb->samples) {
    platform::FileClose(f);
    return -kErrAllocation;
  }
  // The whole data chunk, as far as the array holds it (it always does for
  // data of whole samples).
  uint64_t want = sb->dataSize;
  if (want > n * 4) want = n * 4;
  size_t got = 0;
  int32_t rc = platform::FileGet(f, sb->dataOffset, sb->samples, size_t(want), &got);
  platform::FileClose(f);
  if (rc != 0) return -std::abs(rc);
  if (sb->dataSize > got) {
    Report(InsertArg(LangText(67, "Data read is smaller than expected by {$} bytes."),
                     std::to_string(sb->dataSize - got)),
           kLevelWarning);
  }
  return 0;
}

int32_t WavDataToFloat(SoundBuffer* sb) {
  if (!sb->samples) return -kErrWavEmpty;
  const int bits = sb->format.bitsPerSample;
  if (sb->format.channels < 1) return -kErrWavUnsupported;
  if (sb->format.channels > kMaxWavChannels) return TooManyChannels(sb->format.channels);
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return -kErrWavUnsupported;
  if (bits == 32 && sb->format.formatTag != kWaveFormatPcm &&
      sb->format.formatTag != kWaveFormatFloat)
    return -kErrWavUnsupported;
  const uint32_t bytes = uint32_t(bits / 8);
  const uint64_t n = RoundDiv(sb->dataSize, bytes);
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(sb->samples);

  if (bits == 32) {
    if (sb->format.formatTag == kWaveFormatPcm) {
      for (uint64_t i = 0; i < n; ++i) {
        int32_t v;
        std::memcpy(&v, raw + 4 * i, 4);
        sb->samples[i] = static_cast<float>(double(v) / 2147483648.0);
      }
    }
  } else {
    float* out = static_cast<float*>(std::calloc(n ? n : 1, sizeof(float)));
    if (!out) return -kErrAllocation;
    for (uint64_t i = 0; i < n; ++i) {
      double x;
      if (bits == 8) {
        x = (double(raw[i]) - 127.5) / 127.5;
      } else if (bits == 16) {
        x = double(static_cast<int16_t>(GetU16(raw + 2 * i))) / 32768.0;
      } else {
        const uint8_t* p = raw + 3 * i;
        int32_t v = int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16);
        if (v & 0x800000) v -= 0x1000000;
        x = double(v) / 8388608.0;
      }
      out[i] = static_cast<float>(x);
    }
    std::free(sb->samples);
    sb->samples = out;
  }
  sb->dataSize = static_cast<uint32_t>(n * 4);
  sb->format.formatTag = kWaveFormatFloat;
  sb->format.blockAlign = BlockAlignOf(sb->format.channels, 4);
  sb->format.bytesPerSecond = BytesPerSecondOf(sb->format.blockAlign, sb->format.sampleRate);
  sb->format.bitsPerSample = 32;
  sb->frameCount = static_cast<uint32_t>(n / uint64_t(sb->format.channels));
  return 0;
}

int32_t FindWavPeaks(SoundBuffer* sb) {
  const int32_t ch = sb->format.channels;
  sb->peakValue[0] = sb->peakValue[1] = 0.0f;
  sb->peakPosition[0] = sb->peakPosition[1] = 0;
  if (ch >= 1 && sb->samples) {
    // The samples are floats whatever width the format names (dataSize is 4 x
    // the values held); whole values only, so an odd size never reads past.
    const uint64_t n = sb->dataSize / 4;
    for (uint64_t i = 0; i + uint64_t(ch) <= n; i += uint64_t(ch)) {
      if (sb->samples[i] > sb->peakValue[0]) {
        sb->peakValue[0] = sb->samples[i];
        sb->peakPosition[0] = static_cast<uint32_t>(i);
      }
      if (ch >= 2 && sb->samples[i + 1] > sb->peakValue[1]) {
        sb->peakValue[1] = sb->samples[i + 1];
        sb->peakPosition[1] = static_cast<uint32_t>(i);
      }
    }
  }
  sb->peakChunkSize = ch == 1 ? 16 : 24;
  sb->peakVersion = 1;
  sb->peakTimeStamp = UnixTimeNow();
  return 0;
}

int32_t WavFileBytes(SoundBuffer* sb, int32_t bits, std::string& bytes, int64_t& firstData) {
  if (bits != 16 && bits != 32) return -kErrBadParameter;
  if (sb->format.channels < 1 || sb->dataSize == 0 || !sb->samples) return -kErrBadParameter;
  if (sb->format.channels > kMaxWavChannels) return TooManyChannels(sb->format.channels);

  const uint32_t ch = uint32_t(sb->format.channels);
  const uint64_t n = sb->dataSize / 4;  // whole float values held
  if (n == 0) return -kErrBadParameter;
  const uint32_t width = uint32_t(bits / 8);
  const uint64_t dataBytes = n * width;

  // The format always describes what is written, whatever the buffer claims.
  WaveFormat fmt = sb->format;
  fmt.formatTag = bits == 32 ? kWaveFormatFloat : kWaveFormatPcm;
  fmt.bitsPerSample = static_cast<int16_t>(bits);
  fmt.blockAlign = BlockAlignOf(ch, width);
  fmt.bytesPerSecond = BytesPerSecondOf(fmt.blockAlign, fmt.sampleRate);

  uint32_t frames = static_cast<uint32_t>(n / ch);
  if (sb->frameCount == 0 || sb->frameCount > frames) sb->frameCount = frames;
  FindWavPeaks(sb);

  std::vector<uint8_t> head;
  PutId(head, "RIFF");
  PutU32(head, 0);  // patched below
  PutId(head, "WAVE");
  PutId(head, "fmt ");
  PutU32(head, 16);
  PutU16(head, fmt.formatTag);
  PutU16(head, uint16_t(fmt.channels));
  PutU32(head, fmt.sampleRate);
  PutU32(head, fmt.bytesPerSecond);
  PutU16(head, uint16_t(fmt.blockAlign));
  PutU16(head, uint16_t(fmt.bitsPerSample));
  PutId(head, "fact");
  PutU32(head, 4);
  PutU32(head, sb->frameCount);
  std::string text = DynZStringGet(sb->listText);
  if (!text.empty()) {
    PutId(head, "LIST");
    PutU32(head, static_cast<uint32_t>(text.size()));
    head.insert(head.end(), text.begin(), text.end());
    if (text.size() % 2 != 0) head.push_back(0);  // RIFF's pad byte
  }
  PutId(head, "PEAK");
  PutU32(head, sb->peakChunkSize);
  PutU32(head, sb->peakVersion);
  PutU32(head, sb->peakTimeStamp);
  PutF32(head, sb->peakValue[0]);
  PutU32(head, sb->peakPosition[0]);
  if (sb->peakChunkSize == 24) {
    PutF32(head, sb->peakValue[1]);
    PutU32(head, sb->peakPosition[1]);
  }
  PutId(head, "data");
  if (dataBytes + head.size() + 4 > 4294967295ull) return -kErrFileTooBig;
  PutU32(head, static_cast<uint32_t>(dataBytes));
  firstData = static_cast<int64_t>(head.size()) + 1;
  const uint32_t riff = static_cast<uint32_t>(dataBytes + head.size() - 8);
  for (int i = 0; i < 4; ++i) head[4 + i] = static_cast<uint8_t>(riff >> (8 * i));

  try {
    bytes.assign(reinterpret_cast<const char*>(head.data()), head.size());
    if (bits == 32) {
      bytes.append(reinterpret_cast<const char*>(sb->samples), size_t(dataBytes));
    } else {
      bytes.reserve(head.size() + size_t(dataBytes));
      for (uint64_t i = 0; i < n; ++i) {
        float x = sb->samples[i] * 32767.0f;
        // Beyond full scale saturates instead of wrapping round.
        if (!(x == x)) x = 0.0f;
        if (x > 32767.0f) x = 32767.0f;
        if (x < -32768.0f) x = -32768.0f;
        const int16_t v = static_cast<int16_t>(std::nearbyint(x));
        bytes.append(reinterpret_cast<const char*>(&v), 2);
      }
    }
  } catch (...) {
    bytes = std::string();
    return -kErrAllocation;
  }
  return 0;
}

int32_t SaveWavFile(const std::string& fileName, SoundBuffer* sb, int32_t bits) {
  if (fileName.empty()) return -kErrFileNotFound;
  std::string bytes;
  int64_t firstData = 0;
  if (const int32_t rc = WavFileBytes(sb, bits, bytes, firstData); rc != 0) return rc;
  // Written beside the target and moved over it only when complete, so a
  // failed save never destroys the file saved before.
  const int32_t rc = platform::PutFileInPlace(fileName, bytes, ".part");
  if (rc != 0) return -std::abs(rc);
  sb->dataOffset = firstData;
  return 0;
}

}  // namespace QUARLE_AUDIO
