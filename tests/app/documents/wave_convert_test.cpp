// Samples brought into the library (integer files converted and kept in
// AUDIO\CONVERTED, other rates only noted), filter kernels, recording targets,
// saved entries, "#n" copies, and damaged WAV files that leave the lists as
// they were.
#include "app/documents/wave_convert.h"

#include "doc_fixture.h"

#include <cstring>

#include "audio/file_fixture.h"
#include "basics/errors.h"

namespace Tarvelo {
namespace doc_test {
namespace {

using QUARLE_BASICS::DynZStringGet;

class WaveConvertTest : public DocumentTest {};

TEST_F(WaveConvertTest, IntegerFileIsConvertedIntoTheConvertedFolder) {
  MakeWav(Home("AUDIO\\pcm.wav"), 4800, 2, 16, 48000);
  const int32_t i = ConvertAndLoadWave(Home("AUDIO"), "pcm.wav");
  ASSERT_EQ(i, 0);
  const WaveLibraryEntry* e = SampleLibrary.entries[0];
  EXPECT_EQ(DynZStringGet(e->Folder), Home("AUDIO\\CONVERTED"));
  EXPECT_EQ(DynZStringGet(e->File), "pcm.wav");
  EXPECT_EQ(e->LoadState, kWaveFormatKnown);
  EXPECT_EQ(e->State.Load(), kWaveIdle);
  EXPECT_EQ(e->Saved, -1);
  EXPECT_EQ(e->Sound.samples, nullptr);  // the library keeps the header only
  EXPECT_FLOAT_EQ(e->Duration.Load(), 0.1f);
  EXPECT_FLOAT_EQ(e->Pitch[0], 4.0f / 4800.0f);
  EXPECT_EQ(LibraryChanged, -1);

  // The copy is 32-bit float, the same frames.
  QUARLE_AUDIO::SoundBuffer copy;
  QUARLE_AUDIO::SoundBufferInit(&copy);
  ASSERT_EQ(QUARLE_AUDIO::ReadWavHeader(Home("AUDIO\\CONVERTED\\pcm.wav"), &copy), 0);
  EXPECT_EQ(copy.format.formatTag, QUARLE_AUDIO::kWaveFormatFloat);
  EXPECT_EQ(copy.format.bitsPerSample, 32);
  EXPECT_EQ(copy.format.channels, 2);
  EXPECT_EQ(copy.frameCount, 4800u);
  QUARLE_AUDIO::SoundBufferFree(&copy);
}

// The converted copy of a file with a text is a whole RIFF file: its chunks
// fit and the text's is padded; a LIST that is no plain text (an INFO list)
// is left out rather than written in part.
TEST_F(WaveConvertTest, ConvertedCopiesOfFilesWithTextsAreWholeRiffFiles) {
  using audiotest::Bytes;
  const auto chunk = [](const char* id, const std::string& body) {
    std::string c = std::string(id, 4);
    for (int i = 0; i < 4; ++i) c += static_cast<char>(body.size() >> (8 * i));
    return c + body + (body.size() % 2 ? std::string(1, '\0') : "");
  };
  const std::string fmt = chunk("fmt ", std::string("\1\0\2\0\x80\xBB\0\0\0\xEE\2\0\4\0\x10\0", 16));
  const std::string data = chunk("data", std::string("\1\0\2\0\3\0\4\0", 8));
  const std::string info = "INFO" + chunk("INAM", std::string("Song\n\0", 6)) + chunk("IART", std::string("Me\0", 3));
  const struct Row {
    const char* name;
    std::string chunks, kept;
  } rows[] = {
      {"info.wav", chunk("LIST", info) + data, ""},
      // As the program wrote an odd text before it padded it.
      {"text.wav", "LIST" + std::string("\3\0\0\0abc", 7) + chunk("PEAK", std::string(24, '\0')) + data, "abc"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string riff = "WAVE" + fmt + r.chunks;
    std::string file = "RIFF";
    for (int i = 0; i < 4; ++i) file += static_cast<char>(riff.size() >> (8 * i));
    file += riff;
    WriteBytes(Os("AUDIO/") / r.name, std::vector<unsigned char>(file.begin(), file.end()));
    ASSERT_GE(ConvertAndLoadWave(Home("AUDIO"), r.name), 0);
    const auto copy = ReadBytes(Os("AUDIO/CONVERTED/") / r.name);
    std::string list;
    EXPECT_EQ(audiotest::RiffFaults(Bytes(copy.begin(), copy.end()), &list), "");
    EXPECT_EQ(list, r.kept);
  }
}

TEST_F(WaveConvertTest, SameNamedFilesFromTwoFoldersKeepCopiesOfTheirOwn) {
  fs::create_directories(Os("AUDIO/a"));
  fs::create_directories(Os("AUDIO/b"));
  MakeWav(Home("AUDIO\\a\\kick.wav"), 480, 1, 16, 48000);
  MakeWav(Home("AUDIO\\b\\kick.wav"), 960, 1, 16, 48000);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO\\a"), "kick.wav"), 0);
  // The second is another sound: not taken for the first, and copied apart.
  EXPECT_EQ(FindLoadedWave(Home("AUDIO\\b"), "kick.wav", -1), -1);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO\\b"), "kick.wav"), 1);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[0]->File), "kick.wav");
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[1]->File), "kick (2).wav");
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[1]->Folder), Home("AUDIO\\CONVERTED"));
  EXPECT_EQ(SampleLibrary.entries[0]->Sound.frameCount, 480u);
  EXPECT_EQ(SampleLibrary.entries[1]->Sound.frameCount, 960u);
  // Each file finds its own copy; one converted again reuses it.
  EXPECT_EQ(FindLoadedWave(Home("AUDIO\\a"), "kick.wav", -1), 0);
  EXPECT_EQ(FindLoadedWave(Home("AUDIO\\b"), "kick.wav", -1), 1);
  RemoveLibraryEntry(1);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO\\b"), "kick.wav"), 1);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[1]->File), "kick (2).wav");
  EXPECT_FALSE(fs::exists(Os("AUDIO/CONVERTED/kick (3).wav")));
  // A synth copy of each plays its own sound.
  ASSERT_EQ(AddLoadedWave(*SampleLibrary.entries[0], -1), 0);
  ASSERT_EQ(AddLoadedWave(*SampleLibrary.entries[1], -1), 1);
  EXPECT_EQ(SynthSamples.entries[0]->Sound.frameCount, 480u);
  EXPECT_EQ(SynthSamples.entries[1]->Sound.frameCount, 960u);
}

TEST_F(WaveConvertTest, FloatFilesAreListedWithoutCopies) {
  MakeWav(Home("AUDIO\\f48.wav"), 960, 1, 32, 48000);
  MakeWav(Home("AUDIO\\f44.wav"), 882, 1, 32, 44100);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO"), "f48.wav"), 0);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO"), "f44.wav"), 1);
  const WaveLibraryEntry* a = SampleLibrary.entries[0];
  EXPECT_EQ(DynZStringGet(a->Folder), Home("AUDIO"));
  EXPECT_EQ(a->LoadState, kWaveFormatKnown);
  EXPECT_EQ(a->RateRatio.numerator, 1);
  EXPECT_EQ(a->RateRatio.denominator, 1);

  const WaveLibraryEntry* b = SampleLibrary.entries[1];
  EXPECT_EQ(DynZStringGet(b->Folder), Home("AUDIO"));
  EXPECT_EQ(b->RateRatio.numerator, 160);
  EXPECT_EQ(b->RateRatio.denominator, 147);
  EXPECT_FLOAT_EQ(b->Pitch[0], (4.0f / 882.0f) / (160.0f / 147.0f));
  EXPECT_FALSE(fs::exists(Os("AUDIO/CONVERTED/f44.wav")));
  EXPECT_FALSE(fs::exists(Os("AUDIO/CONVERTED/f48.wav")));
}

TEST_F(WaveConvertTest, DamagedFilesLeaveTheListsAsTheyWere) {
  MakeWav(Home("AUDIO\\good.wav"), 480, 1, 16, 48000);
  ASSERT_EQ(ConvertAndLoadWave(Home("AUDIO"), "good.wav"), 0);
  WriteText(Os("AUDIO/short.wav"), "RIFF");
  auto bytes = ReadBytes(Os("AUDIO/good.wav"));
  bytes.resize(bytes.size() / 2);  // the data chunk claims more than is there
  WriteBytes(Os("AUDIO/cut.wav"), bytes);
  WriteBytes(Os("AUDIO/headonly.wav"), std::vector<unsigned char>(bytes.begin(), bytes.begin() + 80));
  std::vector<unsigned char> junk(4000, 0xAB);
  WriteBytes(Os("AUDIO/junk.wav"), junk);
  WriteBytes(Os("FILTERS/junk.wav"), junk);

  EXPECT_LT(ConvertAndLoadWave(Home("AUDIO"), "missing.wav"), 0);
  EXPECT_LT(ConvertAndLoadWave(Home("AUDIO"), "short.wav"), 0);
  EXPECT_LT(ConvertAndLoadWave(Home("AUDIO"), "headonly.wav"), 0);  // not one frame of data
  EXPECT_LT(ConvertAndLoadWave(Home("AUDIO"), "junk.wav"), 0);
  EXPECT_LT(LoadFilterFile(Home("FILTERS"), "junk.wav"), 0);
  EXPECT_EQ(SampleLibrary.header.count, 1);
  EXPECT_EQ(FilterLibrary.header.count, 0);
  EXPECT_EQ(SampleLibrary.entries[1], nullptr);

  // A file cut short (a recording the program never finished) keeps the
  // sound it holds, with a warning.
  EXPECT_EQ(ConvertAndLoadWave(Home("AUDIO"), "cut.wav"), 1);
  EXPECT_EQ(CountReports("Data read is smaller than expected by"), 1);
  ASSERT_EQ(SampleLibrary.header.count, 2);
  EXPECT_GT(SampleLibrary.entries[1]->Sound.dataSize, 0u);
  EXPECT_LT(SampleLibrary.entries[1]->Sound.dataSize, SampleLibrary.entries[0]->Sound.dataSize);
}

// A canonical WAV file: format tag, channels, bits, the data bytes and the
// rate given (the words are written as a little-endian host holds them).
std::vector<unsigned char> WavBytes(uint16_t tag, uint16_t channels, uint16_t bits, uint32_t dataBytes,
                                    uint32_t rate = 48000) {
  const uint32_t align = channels * bits / 8u;
  const uint32_t words[] = {0x46464952u /* RIFF */, 36 + dataBytes, 0x45564157u /* WAVE */,
                            0x20746D66u /* fmt  */, 16, tag | uint32_t{channels} << 16, rate, rate * align,
                            align | uint32_t{bits} << 16, 0x61746164u /* data */, dataBytes};
  std::vector<unsigned char> b(sizeof words + dataBytes, 0);
  std::memcpy(b.data(), words, sizeof words);
  return b;
}

TEST_F(WaveConvertTest, SoundsWithoutAFrameAreRefused) {
  const struct {
    const char* name;
    std::vector<unsigned char> bytes;
  } cases[] = {{"none.wav", WavBytes(3, 1, 32, 0)}, {"half.wav", WavBytes(1, 2, 16, 2)}};
  for (const auto& c : cases) {
    WriteBytes(Os(std::string("AUDIO/") + c.name), c.bytes);
    WriteBytes(Os(std::string("FILTERS/") + c.name), c.bytes);
    EXPECT_EQ(ConvertAndLoadWave(Home("AUDIO"), c.name), -QUARLE_BASICS::kErrWavEmpty) << c.name;
    EXPECT_EQ(LoadFilterFile(Home("FILTERS"), c.name), -QUARLE_BASICS::kErrWavEmpty) << c.name;
  }
  EXPECT_EQ(SampleLibrary.header.count, 0);
  EXPECT_EQ(FilterLibrary.header.count, 0);
  EXPECT_EQ(LibraryChanged, 0);
}

// More channels than a sound can hold (the count that once crashed the
// conversion, and those that wrapped to no frame or to too many), and rates
// beyond what the rate ratio holds (4294967295 once played as 48000 : -1), are
// refused by both loaders, with no copy made and the entries loaded before
// kept; the most it can hold loads with its frames and a ratio that is a
// rate's.
TEST_F(WaveConvertTest, ChannelCountsBeyondTheLimitAreRefused) {
  constexpr int32_t kRefused = -QUARLE_BASICS::kErrWavUnsupported;
  const struct {
    uint16_t channels;
    int32_t result;  // 0 accepted with 2 frames
    uint32_t rate = 48000;
  } cases[] = {{8191, 0},        {8192, kRefused},    {10000, kRefused},
               {16384, kRefused}, {16385, kRefused},   {1, 0, 2147483647u},
               {1, kRefused, 2147483648u}, {2, kRefused, 4294967295u}, {1, 0, 1}};
  int32_t accepted = 0;
  for (const auto& c : cases) {
    const std::string name = std::to_string(c.channels) + "x" + std::to_string(c.rate) + ".wav";
    const auto bytes = WavBytes(1, c.channels, 16, 2u * c.channels * 2u, c.rate);
    WriteBytes(Os("AUDIO/" + name), bytes);
    WriteBytes(Os("FILTERS/" + name), bytes);
    const int32_t sample = ConvertAndLoadWave(Home("AUDIO"), name);
    const int32_t filter = LoadFilterFile(Home("FILTERS"), name);
    if (c.result == 0) {
      ASSERT_EQ(sample, accepted) << name;
      ASSERT_EQ(filter, accepted) << name;
      const WaveLibraryEntry* e = SampleLibrary.entries[sample];
      EXPECT_EQ(e->Sound.frameCount, 2u);
      EXPECT_EQ(FilterLibrary.entries[filter]->Sound.frameCount, 2u);
      // Stream rate : the file's, reduced, and a pitch that follows it.
      const double ratio = double(e->RateRatio.numerator) / double(e->RateRatio.denominator);
      EXPECT_NEAR(ratio, 48000.0 / c.rate, 1e-9 * ratio) << name;
      EXPECT_FLOAT_EQ(e->Pitch[0], static_cast<float>(2.0 * c.rate / 48000.0)) << name;
      ++accepted;
    } else {
      EXPECT_EQ(sample, c.result) << name;
      EXPECT_EQ(filter, c.result) << name;
      EXPECT_FALSE(fs::exists(Os("AUDIO/CONVERTED/" + name))) << name;
    }
    EXPECT_EQ(SampleLibrary.header.count, accepted);
    EXPECT_EQ(FilterLibrary.header.count, accepted);
  }
  EXPECT_EQ(CountReports("Unsupported wave format. (16384 channels > 8191)"), 2);
}

TEST_F(WaveConvertTest, FilterKernelsKeepTheirDataAsFloat) {
  MakeWav(Home("FILTERS\\FIR_low.wav"), 64, 1, 16, 48000);
  ASSERT_EQ(LoadFilterFile(Home("FILTERS"), "FIR_low.wav"), 0);
  const WaveLibraryEntry* e = FilterLibrary.entries[0];
  EXPECT_EQ(e->LoadState, kWaveDataHeld);
  EXPECT_EQ(e->Sound.format.formatTag, QUARLE_AUDIO::kWaveFormatFloat);
  ASSERT_NE(e->Sound.samples, nullptr);
  EXPECT_EQ(e->Sound.dataSize, 64u * 4u);
  EXPECT_NEAR(e->Sound.samples[1], 1.0f / 200.0f - 0.5f, 1e-4f);
  EXPECT_FLOAT_EQ(e->Pitch[0], 4.0f / 64.0f);
  EXPECT_EQ(e->State.Load(), kWaveIdle);
  EXPECT_EQ(e->Saved, -1);
}

TEST_F(WaveConvertTest, RecordingTargetsAndSavedEntries) {
  EXPECT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "r.wav", 0.0f, 2, 48000), -QUARLE_BASICS::kErrBadParameter);
  EXPECT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "r.wav", 1.0f, 0, 48000), -QUARLE_BASICS::kErrBadParameter);
  EXPECT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "r.wav", 1e30f, 2, 48000), -QUARLE_BASICS::kErrAllocation);
  // Shorter than one frame: refused and said so.
  Reports().clear();
  EXPECT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "r.wav", 1e-6f, 2, 48000), -QUARLE_BASICS::kErrBadParameter);
  EXPECT_EQ(CountReports("Unable to create new wave file."), 1);
  EXPECT_EQ(SynthSamples.header.count, 0);

  ASSERT_EQ(RecordToWaveFile(Home("AUDIO\\RECORDED"), "r.wav", 2.5f, 2, 48000), 0);
  ASSERT_EQ(SynthSamples.header.count, 1);
  WaveLibraryEntry* e = SynthSamples.entries[0];
  EXPECT_EQ(e->Sound.frameCount, 120000u);
  EXPECT_EQ(e->Sound.dataSize, 240000u * 4u);
  EXPECT_EQ(e->Sound.format.channels, 2);
  EXPECT_EQ(e->State.Load(), kWaveCreating);
  EXPECT_EQ(e->LoadState, kWaveDataHeld);
  EXPECT_EQ(e->Saved, 0);
  for (uint32_t i = 0; i < 240000u; i += 9973) EXPECT_EQ(e->Sound.samples[i], 0.0f);

  e->Sound.samples[7] = 0.25f;
  EXPECT_EQ(SaveWaveRecord(nullptr), -QUARLE_BASICS::kErrBadParameter);
  ASSERT_EQ(SaveWaveRecord(e), 0);
  EXPECT_EQ(e->Saved, -1);
  QUARLE_AUDIO::SoundBuffer back;
  QUARLE_AUDIO::SoundBufferInit(&back);
  ASSERT_EQ(QUARLE_AUDIO::ReadWavHeader(Home("AUDIO\\RECORDED\\r.wav"), &back), 0);
  ASSERT_EQ(QUARLE_AUDIO::ReadWavData(Home("AUDIO\\RECORDED\\r.wav"), &back), 0);
  EXPECT_EQ(back.format.formatTag, QUARLE_AUDIO::kWaveFormatFloat);
  EXPECT_EQ(back.frameCount, 120000u);
  EXPECT_EQ(back.samples[7], 0.25f);
  QUARLE_AUDIO::SoundBufferFree(&back);
}

TEST_F(WaveConvertTest, CopiesCountOnFromTheBaseStem) {
  WriteText(Os("AUDIO/a.wav"), "A");
  WriteText(Os("AUDIO/a#2.wav"), "B");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "a.wav"), "a#3.wav");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "a#3.wav"), "a#4.wav");
  EXPECT_EQ(ReadBytes(Os("AUDIO/a#4.wav")), ReadBytes(Os("AUDIO/a.wav")));
  WriteText(Os("AUDIO/plain"), "C");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "plain"), "plain#2");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "nothing.wav"), "");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), ""), "");
}

TEST_F(WaveConvertTest, AHashThatIsPartOfTheNameIsKept) {
  WriteText(Os("AUDIO/C#minor.wav"), "A");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "C#minor.wav"), "C#minor#2.wav");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "C#minor#2.wav"), "C#minor#3.wav");
  WriteText(Os("AUDIO/x#.wav"), "B");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "x#.wav"), "x##2.wav");
  WriteText(Os("AUDIO/take#12b.wav"), "C");
  EXPECT_EQ(UniqueFileName(Home("AUDIO"), "take#12b.wav"), "take#12b#2.wav");
  EXPECT_EQ(ReadBytes(Os("AUDIO/C#minor#2.wav")), ReadBytes(Os("AUDIO/C#minor.wav")));
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
