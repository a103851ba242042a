// WAV files (RIFF/WAVE with fmt, fact, LIST, PEAK and data chunks) and the
// in-memory sound record every sample, filter kernel and recording uses.
#pragma once
#include <cstdint>
#include <string>

#include "audio/meters.h"
#include "basics/dynzstring.h"

namespace QUARLE_AUDIO {

using QUARLE_BASICS::DynZString;

// The 16-byte body of a "fmt " chunk, in file order.
// one thread: value
struct WaveFormat {
  uint16_t formatTag;       // 1 integer PCM, 3 IEEE float
  int16_t channels;
  uint32_t sampleRate;
  uint32_t bytesPerSecond;  // blockAlign x sampleRate
  int16_t blockAlign;       // bytes per frame
  int16_t bitsPerSample;
};
static_assert(sizeof(WaveFormat) == 16, "WaveFormat is the 16-byte fmt body");

constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatFloat = 3;

// The most channels a sound can have: held as floats, one frame of them must
// fit the format's signed 16-bit block size (8191 x 4 = 32764 bytes). Files
// with more are refused as an unsupported format, with a warning naming both
// counts.
constexpr int32_t kMaxWavChannels = 8191;

// The highest sample rate a sound can have: every rate the system works out
// with (a sound's rate against the stream's, the formats set from a rate) is
// a signed 32-bit number. Files with a higher one are refused as an
// unsupported format.
constexpr uint32_t kMaxWavRate = 2147483647u;

// The sound of one WAV file. After ReadWavData, samples holds the raw file bytes;
// after WavDataToFloat (or for float files) interleaved floats in -1..1, and
// dataSize is 4 x the number of values held. File positions count from 1.
// one thread: value
struct SoundBuffer {
  uint32_t riffSize;
  WaveFormat format;
  DynZString listText;       // LIST chunk text; empty when none
  uint32_t frameCount;
  uint32_t peakChunkSize;    // 16 one channel, 24 two
  uint32_t peakVersion;      // 1 when written
  uint32_t peakTimeStamp;    // seconds since 1970-01-01
  float peakValue[2];
  uint32_t peakPosition[2];  // index into the interleaved array
  uint32_t dataSize;
  float* samples;            // owned
  int64_t dataOffset;        // position (from 1) of the first data byte
};

// Float, 1 channel, 48000 Hz, every other field 0.
void SoundBufferInit(SoundBuffer* sb);
// Every field 0; float when bits is 32, else integer PCM.
void SoundBufferInitFormat(SoundBuffer* sb, int16_t channels, int16_t bits, int32_t rate);
// Changes only the format fields.
void SoundBufferSetFormat(SoundBuffer* sb, int32_t channels, int32_t rate, int32_t bits);
// Frees samples and text; dataSize 0.
void SoundBufferFree(SoundBuffer* sb);
// Deep copy (samples, text, every field).
void SoundBufferAssign(SoundBuffer* dst, const SoundBuffer* src);
void WaveFormatAssign(WaveFormat* dst, const WaveFormat* src);

// Reading is three steps: header and chunk walk, raw data, conversion to float
// (the last only for integer files, formatTag 1). Each returns 0 or a negative
// code: -24 missing file, -61 a folder at the name, -60 no regular file there
// (a named pipe, a device), -23 no free file, -25 too big, -28 incompatible,
// -36 empty, -37 sizes beyond the file, -38 unsupported format, -21 memory, or
// the negated error of a failed file operation. A data chunk that runs past
// the end of the file (a recording cut short) ends at the file's last whole
// frame, with a warning; -37 only when not one frame is there. More than
// kMaxWavChannels channels, and a rate of 0 or above kMaxWavRate, give -38.
// A chunk of odd size is followed by its pad byte (the texts this program
// wrote before it padded them have none, and are read too); a LIST chunk
// becomes listText only when it is a whole text (an INFO list is not).
int32_t ReadWavHeader(const std::string& fileName, SoundBuffer* sb);
int32_t ReadWavData(const std::string& fileName, SoundBuffer* sb);
int32_t WavDataToFloat(SoundBuffer* sb);

// Writes the float samples as 16-bit integer (bits 16) or 32-bit float (bits 32)
// samples, a text of odd length padded. -19 for other widths, no channels or no data, -38 for more than
// kMaxWavChannels channels; nothing is touched then. A write that fails (a full disk) gives -3; a save that fails part way
// leaves an existing file of that name intact.
int32_t SaveWavFile(const std::string& fileName, SoundBuffer* sb, int32_t bits);
// What SaveWavFile writes, in memory (the buffer's frame count and peaks set
// as it sets them), and the position (from 1) of its first data byte.
int32_t WavFileBytes(SoundBuffer* sb, int32_t bits, std::string& bytes, int64_t& firstData);

// Largest signed value of channels 0 and 1 and its interleaved index; sets the
// PEAK chunk's size, version and time stamp. Returns 0.
int32_t FindWavPeaks(SoundBuffer* sb);

}  // namespace QUARLE_AUDIO
