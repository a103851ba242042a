#include "audio/wav.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/timetext.h"
#include "file_fixture.h"

namespace {

using namespace QUARLE_AUDIO;
namespace fs = std::filesystem;
using namespace audiotest;

void U32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void U16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Id(Bytes& b, const char* id) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(id[i]));
}
uint32_t Bits(float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  return v;
}
Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words) U32(b, w);
  return b;
}
// The fmt chunk's 16 bytes.
Bytes Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes b;
  uint16_t align = uint16_t(channels * (bits / 8));
  U16(b, tag);
  U16(b, channels);
  U32(b, rate);
  U32(b, align * rate);
  U16(b, align);
  U16(b, bits);
  return b;
}

// A RIFF/WAVE file: header, fmt chunk (size 16 unless told), the given chunks.
Bytes Riff(const Bytes& fmt, const Bytes& chunks, uint32_t fmtSize = 16) {
  Bytes b;
  Id(b, "RIFF");
  U32(b, uint32_t(4 + 8 + fmt.size() + chunks.size()));
  Id(b, "WAVE");
  Id(b, "fmt ");
  U32(b, fmtSize);
  b.insert(b.end(), fmt.begin(), fmt.end());
  b.insert(b.end(), chunks.begin(), chunks.end());
  return b;
}

Bytes Chunk(const char* id, const Bytes& body) {
  Bytes b;
  Id(b, id);
  U32(b, uint32_t(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<std::string> g_messages;
void Capture(const std::string& text, int32_t level) {
  g_messages.push_back(std::to_string(level) + ":" + text);
}

class WavFiles : public TempFolderTest {
 protected:
  void SetUp() override {
    StartIn("tarvelo_wav_", 2024, 3, 5, 12, 34, 56);
    if (HasFatalFailure()) return;
    g_messages.clear();
    QUARLE_BASICS::MessageHook = Capture;
  }
  void TearDown() override {
    QUARLE_BASICS::MessageHook = nullptr;
    TempFolderTest::TearDown();
  }
  std::string Write(const std::string& name, const Bytes& b) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    return Path(name);
  }

  // Header, data and conversion as callers chain them.
  static int32_t ReadAll(const std::string& path, SoundBuffer* sb) {
    int32_t rc = ReadWavHeader(path, sb);
    if (rc != 0) return rc;
    rc = ReadWavData(path, sb);
    if (rc != 0) return rc;
    if (sb->format.formatTag == kWaveFormatPcm) rc = WavDataToFloat(sb);
    return rc;
  }
};

// A buffer of float samples, owned by the buffer.
void Fill(SoundBuffer* sb, int16_t channels, const std::vector<float>& values) {
  SoundBufferInitFormat(sb, channels, 32, 48000);
  sb->samples = static_cast<float*>(std::malloc(values.size() * sizeof(float)));
  std::memcpy(sb->samples, values.data(), values.size() * sizeof(float));
  sb->dataSize = uint32_t(values.size() * 4);
}

// Each saved file is compared byte for byte with one built here: RIFF, fmt,
// fact (frames), [LIST,] PEAK (version, time, value and position per
// channel), data.
TEST_F(WavFiles, MonoFloatLayoutByteForByte) {
  SoundBuffer sb;
  Fill(&sb, 1, {0.25f, -0.5f, 0.75f, 0.75f});
  ASSERT_EQ(SaveWavFile(Path("mono.wav"), &sb, 32), 0);
  const uint32_t now = QUARLE_BASICS::UnixTimeNow();
  // The first of the two maxima is the peak's position.
  const Bytes want = Riff(Fmt(3, 1, 48000, 32),
                          Cat({Chunk("fact", Words({4})), Chunk("PEAK", Words({1, now, Bits(0.75f), 2})),
                               Chunk("data", Words({Bits(0.25f), Bits(-0.5f), Bits(0.75f), Bits(0.75f)}))}));
  EXPECT_EQ(Load(Path("mono.wav")), want);
  EXPECT_EQ(sb.dataOffset, 81);
  EXPECT_FALSE(fs::exists(Path("mono.wav~tarvelo-1.part")));
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, Stereo16BitLayoutWithText) {
  SoundBuffer sb;
  Fill(&sb, 2, {1.0f, -1.0f, 0.5f, -0.25f, 1.5f, -1.5f});
  QUARLE_BASICS::DynZStringAssign(sb.listText, "abc");
  ASSERT_EQ(SaveWavFile(Path("st.wav"), &sb, 16), 0);
  const uint32_t now = QUARLE_BASICS::UnixTimeNow();
  // 0.5 is 16383.5, to even; -0.25 is -8191.75; beyond full scale saturates.
  Bytes data;
  for (int16_t v : {32767, -32767, 16384, -8192, 32767, -32768}) U16(data, uint16_t(v));
  // The right channel never rises above 0: value 0 at position 0.
  const Bytes want = Riff(Fmt(1, 2, 48000, 16),
                          Cat({Chunk("fact", Words({3})), Chunk("LIST", {'a', 'b', 'c'}), Bytes{0},  // its pad byte
                               Chunk("PEAK", Words({1, now, Bits(1.5f), 4, 0, 0})), Chunk("data", data)}));
  EXPECT_EQ(Load(Path("st.wav")), want);
  EXPECT_EQ(sb.dataOffset, int64_t(want.size() - data.size() + 1));
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, SavedFilesReadBack) {
  SoundBuffer out;
  Fill(&out, 2, {0.5f, -0.5f, 0.125f, 0.0f, -1.0f, 1.0f});
  QUARLE_BASICS::DynZStringAssign(out.listText, "Tarvelo sample");
  ASSERT_EQ(SaveWavFile(Path("rt32.wav"), &out, 32), 0);
  ASSERT_EQ(SaveWavFile(Path("rt16.wav"), &out, 16), 0);

  SoundBuffer in;
  SoundBufferInit(&in);
  ASSERT_EQ(ReadAll(Path("rt32.wav"), &in), 0);
  EXPECT_EQ(in.frameCount, 3u);
  EXPECT_EQ(in.format.channels, 2);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(in.listText), "Tarvelo sample");
  EXPECT_EQ(in.peakChunkSize, 24u);
  EXPECT_EQ(in.peakValue[0], 0.5f);
  EXPECT_EQ(in.peakValue[1], 1.0f);
  EXPECT_EQ(in.peakPosition[1], 4u);
  ASSERT_EQ(in.dataSize, 24u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(in.samples[i], out.samples[i]) << i;
  SoundBufferFree(&in);

  SoundBufferInit(&in);
  ASSERT_EQ(ReadAll(Path("rt16.wav"), &in), 0);
  EXPECT_EQ(in.format.formatTag, 3);
  EXPECT_EQ(in.format.bitsPerSample, 32);
  EXPECT_EQ(in.dataSize, 24u);
  EXPECT_EQ(in.frameCount, 3u);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(in.samples[i], out.samples[i], 1.0 / 32768) << i;
  SoundBufferFree(&in);
  SoundBufferFree(&out);
}

TEST_F(WavFiles, ReadsEveryIntegerWidthAndFloat) {
  struct Case {
    uint16_t tag, bits;
    Bytes data;
    std::vector<float> want;
  };
  Bytes d24 = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x40};
  Bytes d32;
  U32(d32, 0x80000000u);
  U32(d32, 0x40000000u);
  Bytes df;
  float fv[2] = {-0.75f, 0.5f};
  df.resize(8);
  std::memcpy(df.data(), fv, 8);
  std::vector<Case> cases = {
      {1, 8, {0, 255, 128}, {-1.0f, 1.0f, float(0.5 / 127.5)}},
      {1, 16, {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x40}, {-1.0f, float(32767.0 / 32768), 0.5f}},
      {1, 24, d24, {-1.0f, float(8388607.0 / 8388608), 0.5f}},
      {1, 32, d32, {-1.0f, 0.5f}},
      {3, 32, df, {-0.75f, 0.5f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bits);
    std::string p = Write("w" + std::to_string(c.bits) + "_" + std::to_string(c.tag) + ".wav",
                          Riff(Fmt(c.tag, 1, 44100, c.bits), Chunk("data", c.data)));
    SoundBuffer sb;
    SoundBufferInit(&sb);
    ASSERT_EQ(ReadAll(p, &sb), 0);
    ASSERT_EQ(sb.dataSize, c.want.size() * 4);
    EXPECT_EQ(sb.frameCount, c.want.size());  // no fact chunk: computed
    EXPECT_EQ(sb.format.sampleRate, 44100u);
    EXPECT_EQ(sb.format.blockAlign, 4);
    EXPECT_EQ(sb.format.bytesPerSecond, 176400u);
    EXPECT_EQ(sb.dataOffset, 45);
    for (size_t i = 0; i < c.want.size(); ++i) EXPECT_EQ(sb.samples[i], c.want[i]) << i;
    SoundBufferFree(&sb);
  }
}

TEST_F(WavFiles, FactCountAndChunkOrder) {
  Bytes fact;
  U32(fact, 2);
  Bytes peak;
  U32(peak, 1);
  U32(peak, 77);
  U32(peak, 0x3F000000);  // 0.5f
  U32(peak, 3);
  Bytes data = {1, 0, 2, 0, 3, 0, 4, 0};
  std::string p = Write("fact.wav", Riff(Fmt(1, 1, 48000, 16),
                                         Cat({Chunk("fact", fact), Chunk("junk", {9, 9}),
                                              Chunk("PEAK", peak), Chunk("data", data),
                                              Chunk("LIST", {'x'})})));
  SoundBuffer sb;
  SoundBufferInit(&sb);
  ASSERT_EQ(ReadWavHeader(p, &sb), 0);
  EXPECT_EQ(sb.frameCount, 2u);  // the fact count, not the 4 the data holds
  EXPECT_EQ(sb.peakChunkSize, 16u);
  EXPECT_EQ(sb.peakTimeStamp, 77u);
  EXPECT_EQ(sb.peakValue[0], 0.5f);
  EXPECT_EQ(sb.peakPosition[0], 3u);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(sb.listText), "");  // after data: never read
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], "1:Unknown WF Chunk type: junk");
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, LetterCaseOfIds) {
  Bytes ok = Riff(Fmt(1, 1, 48000, 16), Chunk("data", {0, 0}));
  std::memcpy(ok.data(), "riff", 4);
  std::memcpy(ok.data() + 8, "Wave", 4);
  std::memcpy(ok.data() + 12, "FMT ", 4);
  SoundBuffer sb;
  SoundBufferInit(&sb);
  EXPECT_EQ(ReadWavHeader(Write("case.wav", ok), &sb), 0);
  SoundBufferFree(&sb);

  // "Data" is another chunk type: skipped with a warning, and then the file ends.
  Bytes other = Riff(Fmt(1, 1, 48000, 16), Chunk("Data", {0, 0, 0, 0, 0, 0, 0, 0}));
  SoundBufferInit(&sb);
  EXPECT_EQ(ReadWavHeader(Write("case2.wav", other), &sb), -37);
  EXPECT_EQ(g_messages.size(), 1u);
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, LengthLimits) {
  Bytes b44 = Riff(Fmt(1, 1, 48000, 16), Chunk("data", {}));
  ASSERT_EQ(b44.size(), 44u);
  SoundBuffer sb;
  SoundBufferInit(&sb);
  EXPECT_EQ(ReadWavHeader(Write("44.wav", b44), &sb), 0);
  EXPECT_EQ(sb.dataSize, 0u);
  EXPECT_EQ(ReadWavData(Path("44.wav"), &sb), -28);  // nothing to read
  Bytes b43(b44.begin(), b44.end() - 1);
  EXPECT_EQ(ReadWavHeader(Write("43.wav", b43), &sb), -36);
  EXPECT_EQ(ReadWavHeader(Path("missing.wav"), &sb), -24);
  EXPECT_EQ(ReadWavHeader("", &sb), -24);
  EXPECT_EQ(ReadWavData(Path("missing.wav"), &sb), -28);  // no header read
  SoundBufferFree(&sb);
}

// Each hostile header is refused as unsupported and left as it was; the
// neighbours that lie just inside a limit are read.
TEST_F(WavFiles, UnsupportedFormatsAreRefused) {
  struct Case {
    const char* what;
    Bytes file;
    int32_t want = -38;
  };
  Bytes data = Chunk("data", {0, 0, 0, 0, 0, 0, 0, 0});
  Bytes fmt18 = Fmt(1, 1, 48000, 16);
  fmt18.push_back(0);
  fmt18.push_back(0);
  Bytes notRiff = Riff(Fmt(1, 1, 48000, 16), data);
  std::memcpy(notRiff.data(), "RIFX", 4);
  Bytes notWave = Riff(Fmt(1, 1, 48000, 16), data);
  std::memcpy(notWave.data() + 8, "AVI ", 4);
  std::vector<Case> cases = {
      {"fmt of 18 bytes", Riff(fmt18, data, 18)},
      {"fmt of 40 bytes", Riff(Cat({Fmt(0xFFFE, 1, 48000, 16), Bytes(24, 0)}), data, 40)},
      {"0-bit samples", Riff(Fmt(1, 1, 48000, 0), data)},
      {"40-bit samples", Riff(Fmt(1, 1, 48000, 40), data)},
      {"12-bit samples", Riff(Fmt(1, 1, 48000, 12), data)},
      {"20-bit samples", Riff(Fmt(1, 1, 48000, 20), data)},
      {"zero channels", Riff(Fmt(1, 0, 48000, 16), data)},
      {"negative channels", Riff(Fmt(1, 0xFFFF, 48000, 16), data)},
      {"no sample rate", Riff(Fmt(1, 1, 0, 16), data)},
      {"rate of 1", Riff(Fmt(1, 1, 1, 16), data), 0},
      {"highest rate", Riff(Fmt(1, 1, 2147483647u, 16), data), 0},
      {"rate past the highest", Riff(Fmt(1, 1, 2147483648u, 16), data)},
      {"rate 4294967295", Riff(Fmt(3, 1, 4294967295u, 32), data)},
      {"16-bit float", Riff(Fmt(3, 1, 48000, 16), data)},
      {"ADPCM", Riff(Fmt(2, 1, 48000, 8), data)},
      {"not RIFF", notRiff},
      {"not WAVE", notWave},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SoundBuffer sb;
    SoundBufferInit(&sb);
    const std::string p = Write("bad.wav", c.file);
    EXPECT_EQ(ReadAll(p, &sb), c.want);
    if (c.want == 0) {
      EXPECT_EQ(sb.format.sampleRate, ReadU32(c.file, 24));
    } else {
      EXPECT_EQ(sb.samples, nullptr);
    }
    SoundBufferFree(&sb);
    EXPECT_EQ(Load(p), c.file);  // only read
  }
}

// Every channel count up to the limit reads its frames at every width, float
// or not; past it (where the float block size no longer fits its 16-bit
// field and once wrapped to 0, a wrong sign or a few bytes) the file is
// refused before any size is worked out, with a warning naming the limit.
TEST_F(WavFiles, ChannelCountsAndWidthsGiveTheirFrames) {
  struct Width {
    uint16_t tag, bits;
  };
  const Width widths[] = {{1, 8}, {1, 16}, {1, 24}, {1, 32}, {3, 32}};
  const uint16_t counts[] = {1, 2, 3, 255, 4096, 8191, 8192, 10000, 16383, 16384, 16385, 32767};
  for (uint16_t channels : counts) {
    for (const Width& w : widths) {
      SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(w.bits) + " bits, tag " +
                   std::to_string(w.tag));
      const uint32_t frames = 2 + channels % 3;
      const uint32_t bytes = frames * channels * (w.bits / 8u);
      Bytes body(bytes);
      for (uint32_t i = 0; i < bytes; ++i) body[i] = uint8_t(i * 7);
      const std::string p = Write("ch.wav", Riff(Fmt(w.tag, channels, 48000, w.bits), Chunk("data", body)));
      g_messages.clear();
      SoundBuffer sb;
      SoundBufferInit(&sb);
      const int32_t rc = ReadAll(p, &sb);
      if (channels > kMaxWavChannels) {
        EXPECT_EQ(rc, -38);
        EXPECT_EQ(sb.samples, nullptr);
        ASSERT_EQ(g_messages.size(), 1u);
        EXPECT_EQ(g_messages[0], "1:Unsupported wave format. (" + std::to_string(channels) + " channels > 8191)");
      } else {
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(sb.frameCount, frames);
        EXPECT_EQ(sb.dataSize, frames * channels * 4u);
        EXPECT_EQ(sb.format.channels, channels);
        if (w.tag == 1) {
          EXPECT_EQ(sb.format.blockAlign, channels * 4);
          EXPECT_EQ(sb.format.bytesPerSecond, channels * 4u * 48000u);
        }
        EXPECT_TRUE(g_messages.empty());
      }
      SoundBufferFree(&sb);
    }
  }
}

// Buffers that never came through the header check are refused the same way
// by the converter and the writer, and sizes too large for their fields stop
// at the field's largest value instead of wrapping round.
TEST_F(WavFiles, TooManyChannelsInMemoryAreRefused) {
  for (int32_t channels : {8192, 16384, 16385, 32767}) {
    SCOPED_TRACE(channels);
    SoundBuffer sb;
    SoundBufferInitFormat(&sb, 1, 16, 48000);
    sb.format.channels = int16_t(channels);
    sb.dataSize = uint32_t(4 * channels);
    sb.samples = static_cast<float*>(std::calloc(size_t(channels), 4));
    EXPECT_EQ(WavDataToFloat(&sb), -38);
    EXPECT_EQ(sb.dataSize, uint32_t(4 * channels));  // untouched
    EXPECT_EQ(SaveWavFile(Path("many.wav"), &sb, 16), -38);
    EXPECT_FALSE(fs::exists(Path("many.wav")));
    SoundBufferFree(&sb);
  }
  SoundBuffer sb;
  SoundBufferInitFormat(&sb, 16384, 32, 48000);
  EXPECT_EQ(sb.format.blockAlign, INT16_MAX);
  SoundBufferSetFormat(&sb, 8191, 192000, 32);
  EXPECT_EQ(sb.format.blockAlign, 32764);
  EXPECT_EQ(sb.format.bytesPerSecond, UINT32_MAX);

  // The most channels a sound may have are saved and read back whole.
  Fill(&sb, 8191, std::vector<float>(2 * 8191, 0.25f));
  sb.format.sampleRate = 192000;
  ASSERT_EQ(SaveWavFile(Path("most.wav"), &sb, 32), 0);
  const Bytes b = Load(Path("most.wav"));
  EXPECT_EQ(ReadU16(b, 22), 8191);
  EXPECT_EQ(ReadU32(b, 28), UINT32_MAX);
  EXPECT_EQ(ReadU16(b, 32), 32764);
  SoundBufferFree(&sb);
  SoundBufferInit(&sb);
  ASSERT_EQ(ReadAll(Path("most.wav"), &sb), 0);
  EXPECT_EQ(sb.frameCount, 2u);
  EXPECT_EQ(sb.samples[2 * 8191 - 1], 0.25f);
  SoundBufferFree(&sb);
}

// Inputs of the kind a fuzzer finds: a short 16-bit file whose channel field
// took a stray bit (0x4000 channels made the float block size wrap to 0 and
// the conversion divide by it), and a saved mono file damaged the same way.
TEST_F(WavFiles, DamagedChannelFieldsAreRefusedWithoutHarm) {
  const Bytes crash = {
      'R', 'I', 'F', 'F', 0x28, 0x00, 0x00, 0x00, 'W',  'A',  'V',  'E',  'f',  'm',  't',  ' ',
      0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x40, 0x80, 0xBB, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x80, 0x10, 0x00, 'd',  'a',  't',  'a',  0x04, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04};
  SoundBuffer out;
  Fill(&out, 1, {0.5f, -0.5f, 0.25f, 0.0f});
  ASSERT_EQ(SaveWavFile(Path("saved.wav"), &out, 16), 0);
  SoundBufferFree(&out);
  Bytes flipped = Load(Path("saved.wav"));
  flipped[23] |= 0x40;  // 1 channel becomes 16385
  for (const Bytes& file : {crash, flipped}) {
    const std::string p = Write("fuzzed.wav", file);
    SoundBuffer sb;
    SoundBufferInit(&sb);
    EXPECT_EQ(ReadAll(p, &sb), -38);
    EXPECT_EQ(sb.samples, nullptr);
    SoundBufferFree(&sb);
    EXPECT_EQ(Load(p), file);  // only read
  }
}

TEST_F(WavFiles, LyingSizesGetMinus37) {
  Bytes data8 = {1, 2, 3, 4, 5, 6, 7, 8};
  auto withSize = [](const char* id, uint32_t size, const Bytes& body) {
    Bytes b;
    Id(b, id);
    U32(b, size);
    b.insert(b.end(), body.begin(), body.end());
    return b;
  };
  Bytes fmt = Fmt(1, 2, 48000, 16);
  struct Case {
    const char* what;
    Bytes file;
    int32_t want;
  };
  std::vector<Case> cases = {
      {"data one frame short", Riff(fmt, withSize("data", 7, Bytes(data8.begin(), data8.begin() + 3))), -37},
      {"data exactly fits", Riff(fmt, withSize("data", 8, data8)), 0},
      {"huge LIST", Riff(fmt, Cat({withSize("LIST", 0xFFFFFFF0u, {'a'}), data8})), -37},
      {"LIST past the end", Riff(fmt, Cat({withSize("LIST", 40, Bytes(20, 'a')), data8})), -37},
      {"unknown chunk past the end", Riff(fmt, Cat({withSize("junk", 1000, data8)})), -37},
      {"PEAK past the end", Riff(fmt, Cat({withSize("PEAK", 0x7FFFFFFF, data8)})), -37},
      {"fact past the end", Riff(fmt, Cat({withSize("fact", 0xFFFFFFFF, data8)})), -37},
      {"no data chunk", Riff(fmt, Chunk("junk", data8)), -37},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SoundBuffer sb;
    SoundBufferInit(&sb);
    EXPECT_EQ(ReadWavHeader(Write("lie.wav", c.file), &sb), c.want);
    SoundBufferFree(&sb);
  }
}

TEST_F(WavFiles, LongTextIsCutNotAllocatedWhole) {
  Bytes text(100000, 'T');
  text[70000] = 0;
  std::string p = Write("list.wav", Riff(Fmt(1, 1, 48000, 16),
                                         Cat({Chunk("LIST", text), Chunk("data", {0, 0})})));
  SoundBuffer sb;
  SoundBufferInit(&sb);
  ASSERT_EQ(ReadWavHeader(p, &sb), 0);
  EXPECT_EQ(QUARLE_BASICS::DynZStringLen(sb.listText), 0);  // a text cut short is not kept
  EXPECT_EQ(sb.dataSize, 2u);  // the walk stayed aligned past the cut text
  SoundBufferFree(&sb);
}

// A chunk of odd size is followed by its pad byte; files the program wrote
// before it padded its text have none there. Either way the walk finds the
// data, and no log line carries a byte of the file that is no character.
TEST_F(WavFiles, OddChunksBeforeTheDataAreReadWithOrWithoutTheirPadByte) {
  const Bytes fmt = Fmt(1, 1, 48000, 16), data = Chunk("data", {1, 0, 2, 0});
  const Bytes peak = Chunk("PEAK", Words({1, 2, 0, 0}));
  const Bytes id3 = Cat({Chunk("id3 ", Bytes(31, 'i')), Bytes{0}});
  const struct Row {
    const char* what;
    Bytes chunks;
    std::string text, said;
  } rows[] = {
      {"a 31-byte id3 chunk", Cat({id3, data}), "", "Unknown WF Chunk type: id3 "},
      {"an unknown 5-byte chunk", Cat({Chunk("abcd", {5, 5, 5, 5, 5}), Bytes{0}, data}), "", "Unknown WF Chunk type: abcd"},
      {"an odd text and its pad", Cat({Chunk("LIST", {'o', 'd', 'd'}), Bytes{0}, peak, data}), "odd", ""},
      {"an odd text without a pad", Cat({Chunk("LIST", {'o', 'd', 'd'}), peak, data}), "odd", ""},
      {"a pad byte that is not 0", Cat({Chunk("xyz1", {7}), Bytes{0xFF}, data}), "", "Unknown WF Chunk type: xyz1"},
      {"an id of no letters", Cat({Chunk("\0\1\x7F\xE9", {1, 2}), data}), "", "Unknown WF Chunk type: \\x00\\x01\\x7F\xE9"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    g_messages.clear();
    SoundBuffer sb;
    SoundBufferInit(&sb);
    EXPECT_EQ(ReadAll(Write("odd.wav", Riff(fmt, r.chunks)), &sb), 0);
    EXPECT_EQ(sb.frameCount, 2u);
    EXPECT_EQ(QUARLE_BASICS::DynZStringGet(sb.listText), r.text);
    EXPECT_EQ(g_messages, r.said.empty() ? std::vector<std::string>{} : std::vector<std::string>{"1:" + r.said});
    for (const std::string& m : g_messages) EXPECT_EQ(m.find('\0'), std::string::npos) << m;
    SoundBufferFree(&sb);
  }
}

// Every file the program writes is a whole RIFF file, its text chunk padded;
// a LIST chunk read is written again only when its text is the whole chunk
// (an INFO list of sub-chunks is no text: the copy leaves it out).
TEST_F(WavFiles, SavedFilesAreWholeRiffFilesWithTheirTextsWholeOrLeftOut) {
  const Bytes info = Cat({{'I', 'N', 'F', 'O'}, Chunk("INAM", {'S', 'o', 'n', 'g', '\n', 0}), Chunk("IART", {'M', 'e', 0}), Bytes{0}});
  const struct Row {
    const char* what;
    Bytes list;       // the LIST body of the file read, none when empty
    std::string kept;  // the body of the copy's LIST, "" none
  } rows[] = {
      {"no text", {}, ""},
      {"an odd text", {'o', 'd', 'd'}, "odd"},
      {"an even text", {'e', 'v', 'e', 'n'}, "even"},
      {"a text and its terminator", {'t', 'x', 't', 0}, "txt"},
      {"an INFO list", info, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const Bytes chunks = r.list.empty() ? Chunk("data", {1, 0, 2, 0, 3, 0})
                                        : Cat({Chunk("LIST", r.list), Bytes(r.list.size() % 2, 0), Chunk("data", {1, 0, 2, 0, 3, 0})});
    SoundBuffer sb;
    SoundBufferInit(&sb);
    ASSERT_EQ(ReadAll(Write("in.wav", Riff(Fmt(1, 1, 48000, 16), chunks)), &sb), 0);
    for (int32_t bits : {16, 32}) {
      ASSERT_EQ(SaveWavFile(Path("out.wav"), &sb, bits), 0);
      std::string list;
      EXPECT_EQ(RiffFaults(Load(Path("out.wav")), &list), "") << bits;
      EXPECT_EQ(list, r.kept) << bits;
    }
    SoundBufferFree(&sb);
  }
}

TEST_F(WavFiles, LyingCountsStayWithinTheData) {
  // A fact count beyond the data, and a data size of a frame and a half.
  Bytes fact;
  U32(fact, 1000);
  std::string p = Write("count.wav", Riff(Fmt(1, 2, 48000, 16),
                                          Cat({Chunk("fact", fact),
                                               Chunk("data", {1, 0, 2, 0, 3, 0})})));
  SoundBuffer sb;
  SoundBufferInit(&sb);
  ASSERT_EQ(ReadAll(p, &sb), 0);
  EXPECT_EQ(sb.frameCount, 1u);
  EXPECT_LE(sb.frameCount * 2 * 4, sb.dataSize);
  SoundBufferFree(&sb);

  // A longer PEAK chunk of four channels and a longer fact chunk keep the walk
  // aligned.
  Bytes peak40(40, 0);
  Bytes fact8(8, 0);
  fact8[0] = 1;
  p = Write("peak40.wav", Riff(Fmt(1, 1, 48000, 16), Cat({Chunk("fact", fact8),
                                                          Chunk("PEAK", peak40),
                                                          Chunk("data", {5, 0, 6, 0})})));
  SoundBufferInit(&sb);
  ASSERT_EQ(ReadWavHeader(p, &sb), 0);
  EXPECT_EQ(sb.frameCount, 1u);
  EXPECT_EQ(sb.dataSize, 4u);
  SoundBufferFree(&sb);
}

// A sample saved onto a link lands in the file the link names, which then
// holds the same bytes as a save under its own name would; the link stays.
// A named pipe in the sample's place is refused and stays a pipe.
TEST_F(WavFiles, ASaveOntoALinkWritesTheFileItNames) {
  SoundBuffer old, sound;
  Fill(&old, 1, {0.5f, -0.5f});
  Fill(&sound, 2, {0.25f, 0.75f, -0.25f, 0.0f});
  ASSERT_EQ(SaveWavFile(Path("song.wav"), &old, 16), 0);
  ASSERT_EQ(SaveWavFile(Path("direct.wav"), &sound, 16), 0);
  ASSERT_EQ(symlink("song.wav", Path("link.wav").c_str()), 0);
  ASSERT_EQ(mkfifo(Path("pipe.wav").c_str(), 0644), 0);
  EXPECT_EQ(SaveWavFile(Path("link.wav"), &sound, 16), 0);
  EXPECT_EQ(SaveWavFile(Path("pipe.wav"), &sound, 16), -60);
  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.wav")));
  EXPECT_TRUE(std::filesystem::is_fifo(Path("pipe.wav")));
  EXPECT_EQ(Load(Path("song.wav")), Load(Path("direct.wav")));
  SoundBufferFree(&old);
  SoundBufferFree(&sound);
}

TEST_F(WavFiles, EveryTruncationFailsCleanly) {
  SoundBuffer out;
  Fill(&out, 2, {0.5f, -0.5f, 0.25f, 0.75f});
  QUARLE_BASICS::DynZStringAssign(out.listText, "text");
  ASSERT_EQ(SaveWavFile(Path("full.wav"), &out, 16), 0);
  Bytes full = Load(Path("full.wav"));
  SoundBufferFree(&out);
  for (size_t len = 0; len < full.size(); ++len) {
    SCOPED_TRACE(len);
    std::string p = Write("cut.wav", Bytes(full.begin(), full.begin() + long(len)));
    SoundBuffer sb;
    SoundBufferInit(&sb);
    int32_t rc = ReadWavHeader(p, &sb);
    if (len <= 43) {
      EXPECT_EQ(rc, -36);
    } else if (len < full.size() - 4) {
      EXPECT_EQ(rc, -37);  // also once the data chunk's head is there
    } else {
      // A whole frame is there: the data ends at the file's end.
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(sb.dataSize, 4u);
    }
    EXPECT_EQ(sb.samples, nullptr);
    SoundBufferFree(&sb);
  }
}

TEST_F(WavFiles, DataRunningPastTheEndEndsAtTheFile) {
  // A recording cut short: the header names 1000 frames, 2.5 reached the disk.
  Bytes fact;
  U32(fact, 1000);
  Bytes head = Riff(Fmt(1, 2, 48000, 16), Cat({Chunk("fact", fact), Chunk("data", {})}));
  head[head.size() - 4] = 0xA0;  // data size 4000
  head[head.size() - 3] = 0x0F;
  Bytes file = Cat({head, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0}});
  std::string p = Write("cut.wav", file);
  SoundBuffer sb;
  SoundBufferInit(&sb);
  ASSERT_EQ(ReadAll(p, &sb), 0);
  EXPECT_EQ(sb.frameCount, 2u);
  ASSERT_EQ(sb.dataSize, 4u * 4);
  EXPECT_EQ(sb.samples[3], 4 / 32768.0f);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], "1:Data read is smaller than expected by 3992 bytes.");
  SoundBufferFree(&sb);

  // Not one frame there: nothing to take.
  SoundBufferInit(&sb);
  EXPECT_EQ(ReadWavHeader(Write("none.wav", Cat({head, {1, 0, 2}})), &sb), -37);
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, DataShorterThanTheHeaderSaysIsReported) {
  std::string p = Write("short.wav", Riff(Fmt(1, 1, 48000, 16), Chunk("data", {1, 0, 2, 0})));
  SoundBuffer sb;
  SoundBufferInit(&sb);
  ASSERT_EQ(ReadWavHeader(p, &sb), 0);
  // The file shrinks between header and data.
  Bytes b = Load(p);
  b.resize(b.size() - 2);
  Write("short.wav", b);
  ASSERT_EQ(ReadWavData(p, &sb), 0);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], "1:Data read is smaller than expected by 2 bytes.");
  ASSERT_EQ(WavDataToFloat(&sb), 0);
  EXPECT_EQ(sb.samples[0], float(1.0 / 32768));
  EXPECT_EQ(sb.samples[1], 0.0f);
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, ConversionRefusesWhatItCannotConvert) {
  SoundBuffer sb;
  SoundBufferInit(&sb);
  EXPECT_EQ(WavDataToFloat(&sb), -36);
  sb.samples = static_cast<float*>(std::calloc(4, 4));
  sb.dataSize = 12;
  sb.format.bitsPerSample = 12;
  sb.format.formatTag = 1;
  EXPECT_EQ(WavDataToFloat(&sb), -38);
  sb.format.bitsPerSample = 16;
  sb.format.channels = 0;
  EXPECT_EQ(WavDataToFloat(&sb), -38);
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, BadSavesTouchNothing) {
  SoundBuffer sb;
  Fill(&sb, 1, {0.5f});
  EXPECT_EQ(SaveWavFile(Path("x.wav"), &sb, 24), -19);
  EXPECT_EQ(SaveWavFile(Path("x.wav"), &sb, 8), -19);
  EXPECT_EQ(SaveWavFile("", &sb, 16), -24);
  sb.format.channels = 0;
  EXPECT_EQ(SaveWavFile(Path("x.wav"), &sb, 16), -19);
  sb.format.channels = 1;
  uint32_t size = sb.dataSize;
  sb.dataSize = 0;
  EXPECT_EQ(SaveWavFile(Path("x.wav"), &sb, 16), -19);
  sb.dataSize = size;
  float* keep = sb.samples;
  sb.samples = nullptr;
  EXPECT_EQ(SaveWavFile(Path("x.wav"), &sb, 16), -19);
  sb.samples = keep;
  EXPECT_TRUE(fs::is_empty(dir_));
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, FailedSaveKeepsTheFileSavedBefore) {
  SoundBuffer sb;
  Fill(&sb, 1, {0.5f, 0.25f});
  ASSERT_EQ(SaveWavFile(Path("keep.wav"), &sb, 32), 0);
  Bytes before = Load(Path("keep.wav"));

  // The side file cannot be created: the save fails, the old file stays.
  fs::create_directory(Path("keep.wav~tarvelo-1.part"));
  sb.samples[0] = -0.5f;
  EXPECT_LT(SaveWavFile(Path("keep.wav"), &sb, 32), 0);
  EXPECT_EQ(Load(Path("keep.wav")), before);
  fs::remove(Path("keep.wav~tarvelo-1.part"));

  // A save that fails while writing (the disk is full) leaves it too, and
  // says so with the file error of every writer.
  if (fs::exists("/dev/full")) {
    fs::create_symlink("/dev/full", Path("keep.wav~tarvelo-1.part"));
    for (int32_t bits : {16, 32}) {
      const int32_t rc = SaveWavFile(Path("keep.wav"), &sb, bits);
      EXPECT_EQ(rc, -3) << bits;
      EXPECT_EQ(QUARLE_BASICS::ErrorText(rc), "File I/O Error: Disk Full, Restricted Access or Other");
      EXPECT_EQ(Load(Path("keep.wav")), before);
      fs::remove(Path("keep.wav~tarvelo-1.part"));  // the failed save removed the link already
      if (bits == 16) fs::create_symlink("/dev/full", Path("keep.wav~tarvelo-1.part"));
    }
  }

  // A folder that does not exist.
  EXPECT_LT(SaveWavFile(Path("no\\such\\folder.wav"), &sb, 32), 0);
  SoundBufferFree(&sb);
}

TEST_F(WavFiles, PeaksAndCopies) {
  SoundBuffer sb;
  Fill(&sb, 2, {-0.5f, -0.1f, 0.9f, -0.2f, 0.9f, -0.3f, 0.1f});  // odd value ignored
  ASSERT_EQ(FindWavPeaks(&sb), 0);
  EXPECT_EQ(sb.peakValue[0], 0.9f);
  EXPECT_EQ(sb.peakPosition[0], 2u);  // first occurrence, interleaved index
  EXPECT_EQ(sb.peakValue[1], 0.0f);   // never above 0
  EXPECT_EQ(sb.peakPosition[1], 0u);
  EXPECT_EQ(sb.peakChunkSize, 24u);
  EXPECT_EQ(sb.peakVersion, 1u);

  // A buffer whose format names 16 bits still holds floats: the search stays
  // within them (it once walked twice as far).
  sb.format.bitsPerSample = 16;
  ASSERT_EQ(FindWavPeaks(&sb), 0);
  EXPECT_EQ(sb.peakValue[0], 0.9f);
  sb.format.bitsPerSample = 32;

  QUARLE_BASICS::DynZStringAssign(sb.listText, "t");
  SoundBuffer copy;
  SoundBufferInit(&copy);
  SoundBufferAssign(&copy, &sb);
  ASSERT_NE(copy.samples, sb.samples);
  EXPECT_EQ(copy.dataSize, sb.dataSize);
  EXPECT_EQ(copy.samples[6], 0.1f);
  EXPECT_EQ(QUARLE_BASICS::DynZStringGet(copy.listText), "t");
  EXPECT_EQ(copy.peakPosition[0], 2u);

  // From a buffer without samples: no stale samples stay behind.
  SoundBuffer empty;
  SoundBufferInit(&empty);
  empty.dataSize = 400;
  SoundBufferAssign(&copy, &empty);
  EXPECT_EQ(copy.samples, nullptr);
  EXPECT_EQ(copy.dataSize, 400u);
  SoundBufferAssign(&copy, &copy);
  SoundBufferFree(&copy);
  SoundBufferFree(&empty);
  SoundBufferFree(&sb);
}

}  // namespace
