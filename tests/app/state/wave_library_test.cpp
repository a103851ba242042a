// Library entries and their lists: construction and copies, growth, removal
// with renumbering, finding a loaded file, copying a library sample into the
// synth's samples (channel choices, analysis, bad files) and the engine's view
// of an entry.
#include "app/state/wave_library.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/command.h"
#include "engine/keyboard.h"
#include "engine/module.h"
#include "platform/paths.h"

namespace Tarvelo {
namespace {

// The records holding shared words copy only through their named copies
// (WaveLibraryEntryAssign, ModuleParamCopy, ModuleDuplicate, the keyboard
// states' CopyIn/CopyOut): `a = b` does not compile. The keyboard state is
// stored whole, so it stays trivially copyable.
template <class T>
constexpr bool kPlainCopyCompiles = requires(T& a, const T& b) { a = b; } || std::is_copy_constructible_v<T>;
static_assert(!kPlainCopyCompiles<WaveLibraryEntry> && !kPlainCopyCompiles<ModuleParam> &&
              !kPlainCopyCompiles<ModuleRecord>);
static_assert(!kPlainCopyCompiles<KeyboardState> && !kPlainCopyCompiles<VoiceSlot> && !kPlainCopyCompiles<HeldKey>);
static_assert(std::is_trivially_copyable_v<KeyboardState> && std::is_trivially_copyable_v<WaveLibraryEntry>);

namespace fs = std::filesystem;
using QUARLE_BASICS::DynZStringGet;

class WaveLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tarvelo_wavelib_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    folder_ = platform::FromOsPath(dir_.string());
    ASSERT_EQ(WaveLibraryListsCreate(), 0);
    LibraryChanged = 0;
  }
  void TearDown() override {
    WaveLibraryListsFree();
    DescribeWave = nullptr;
    fs::remove_all(dir_);
  }

  // A 32-bit float WAV file of interleaved values.
  std::string WriteWav(const std::string& name, int32_t channels, const std::vector<float>& values,
                       int32_t rate = 48000) {
    QUARLE_AUDIO::SoundBuffer sb;
    QUARLE_AUDIO::SoundBufferInitFormat(&sb, static_cast<int16_t>(channels), 32, rate);
    sb.frameCount = static_cast<uint32_t>(values.size() / channels);
    sb.dataSize = static_cast<uint32_t>(values.size() * 4);
    sb.samples = static_cast<float*>(std::malloc(values.size() * 4));
    for (size_t i = 0; i < values.size(); ++i) sb.samples[i] = values[i];
    EXPECT_EQ(QUARLE_AUDIO::SaveWavFile(folder_ + "\\" + name, &sb, 32), 0);
    QUARLE_AUDIO::SoundBufferFree(&sb);
    return name;
  }
  // A library entry naming a file of the temporary folder.
  WaveLibraryEntry* LibraryEntry(const std::string& file, const std::string& folder = "") {
    int32_t i = AddLibraryPlaceholder(SampleLibrary, folder.empty() ? folder_ : folder, file);
    EXPECT_GE(i, 0);
    return WaveLibraryListAt(SampleLibrary, i);
  }

  fs::path dir_;
  std::string folder_;
};

TEST_F(WaveLibraryTest, NewEntryAndCopies) {
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ChannelChoice, -1);
  EXPECT_EQ(e->State.Load(), 0);
  EXPECT_EQ(e->Saved, 0);
  EXPECT_EQ(DynZStringGet(e->File), "");
  EXPECT_EQ(e->Sound.format.formatTag, QUARLE_AUDIO::kWaveFormatFloat);
  EXPECT_EQ(e->Sound.format.channels, 1);
  EXPECT_EQ(e->Sound.format.sampleRate, 48000u);

  QUARLE_BASICS::DynZStringAssign(e->File, "a.wav");
  QUARLE_BASICS::DynZStringAssign(e->Folder, "\\x");
  e->ListIndex = 7;
  e->Pitch[1] = 440.0f;
  e->MeanLevel[0] = -3.0f;
  e->Duration.Store(2.5f);
  e->Sound.samples = static_cast<float*>(std::malloc(8));
  e->Sound.samples[0] = 0.25f;
  e->Sound.samples[1] = -0.5f;
  e->Sound.dataSize = 8;
  e->Sound.frameCount = 2;

  WaveLibraryEntry* c = WaveLibraryEntryNew();
  ASSERT_NE(c, nullptr);
  WaveLibraryEntryAssign(*c, *e);
  EXPECT_EQ(c->ListIndex, 0);  // callers number copies themselves
  EXPECT_EQ(DynZStringGet(c->File), "a.wav");
  EXPECT_EQ(DynZStringGet(c->Folder), "\\x");
  EXPECT_EQ(c->Pitch[1], 440.0f);
  EXPECT_EQ(c->MeanLevel[0], -3.0f);
  EXPECT_EQ(c->Duration.Load(), 2.5f);
  ASSERT_NE(c->Sound.samples, nullptr);
  EXPECT_NE(c->Sound.samples, e->Sound.samples);
  EXPECT_EQ(c->Sound.samples[1], -0.5f);
  WaveLibraryEntryDelete(e);
  EXPECT_EQ(c->Sound.samples[0], 0.25f);  // the copy owns its data
  WaveLibraryEntryDelete(c);
  WaveLibraryEntryDelete(nullptr);

  WaveLibraryEntry* slot = WaveLibraryEntryNew();
  EXPECT_EQ(FreeLibraryEntry(slot, -37), -37);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(FreeLibraryEntry(slot, 0), 0);
}

TEST_F(WaveLibraryTest, ListsGrowByDoublingAndKeepTheirEntries) {
  EXPECT_EQ(FilterLibrary.header.capacity, 16);
  std::vector<WaveLibraryEntry*> first;
  for (int32_t i = 0; i < 16; ++i) {
    ASSERT_EQ(AddLibraryPlaceholder(FilterLibrary, "\\f", "k" + std::to_string(i) + ".wav"), i);
    first.push_back(FilterLibrary.entries[i]);
  }
  EXPECT_EQ(FilterLibrary.header.capacity, 16);
  ASSERT_EQ(AddLibraryPlaceholder(FilterLibrary, "\\f", "k16.wav"), 16);
  EXPECT_EQ(FilterLibrary.header.capacity, 32);
  EXPECT_EQ(FilterLibrary.header.count, 17);
  for (int32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(FilterLibrary.entries[i], first[i]);
    EXPECT_EQ(FilterLibrary.entries[i]->ListIndex, i);
  }
  const WaveLibraryEntry* e = WaveLibraryListAt(FilterLibrary, 16);
  ASSERT_NE(e, nullptr);
  // A placeholder counts as saved, so the synth file keeps naming it.
  EXPECT_EQ(e->Saved, -1);
  EXPECT_EQ(e->LoadState, kWavePlaceholder);
  EXPECT_EQ(DynZStringGet(e->File), "k16.wav");
  EXPECT_EQ(WaveLibraryListAt(FilterLibrary, 17), nullptr);
  EXPECT_EQ(WaveLibraryListAt(FilterLibrary, -1), nullptr);
}

TEST_F(WaveLibraryTest, RemovingRenumbersTheRest) {
  for (const char* f : {"a.wav", "b.wav", "c.wav"}) LibraryEntry(f);
  RemoveLibraryEntry(3);
  RemoveLibraryEntry(-1);
  EXPECT_EQ(SampleLibrary.header.count, 3);
  EXPECT_EQ(LibraryChanged, 0);
  RemoveLibraryEntry(0);
  ASSERT_EQ(SampleLibrary.header.count, 2);
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[0]->File), "b.wav");
  EXPECT_EQ(DynZStringGet(SampleLibrary.entries[1]->File), "c.wav");
  EXPECT_EQ(SampleLibrary.entries[0]->ListIndex, 0);
  EXPECT_EQ(SampleLibrary.entries[1]->ListIndex, 1);
  EXPECT_EQ(SampleLibrary.entries[2], nullptr);
  EXPECT_EQ(LibraryChanged, -1);
}

TEST_F(WaveLibraryTest, FindingALoadedFile) {
  WriteWav("same.wav", 1, {0.1f, 0.2f, 0.3f});
  WriteWav("x.wav", 1, {0.1f, 0.2f, 0.4f});
  fs::create_directories(dir_ / "other");
  const std::string other = folder_ + "\\other";
  {
    std::ofstream(dir_ / "other" / "same.wav", std::ios::binary) << std::ifstream(dir_ / "same.wav").rdbuf();
  }
  LibraryEntry("x.wav");
  LibraryEntry("same.wav", "\\home\\AUDIO\\CONVERTED");
  // A converted copy stands for the file it holds, from any folder; one that
  // holds another sound (or is not there) stands for nothing else.
  EXPECT_EQ(FindLoadedWave(other, "same.wav", 0), -1);
  fs::create_directories(dir_ / "CONVERTED");
  const std::string converted = folder_ + "\\CONVERTED";
  LibraryEntry("same (2).wav", converted);
  LibraryEntry("same (3).wav", converted);
  {
    std::ofstream(dir_ / "CONVERTED" / "same (2).wav", std::ios::binary) << std::ifstream(dir_ / "x.wav").rdbuf();
    std::ofstream(dir_ / "CONVERTED" / "same (3).wav", std::ios::binary) << std::ifstream(dir_ / "same.wav").rdbuf();
  }
  EXPECT_EQ(FindLoadedWave(other, "same.wav", 0), 3);
  EXPECT_EQ(FindLoadedWave(other, "SAME.wav", 0), -1);  // names compare exactly
  RemoveLibraryEntry(3);
  RemoveLibraryEntry(2);

  RemoveLibraryEntry(1);
  LibraryEntry("same.wav");
  EXPECT_EQ(FindLoadedWave(folder_, "same.wav", 0), 1);
  // Another folder: only a size comparison finds it.
  EXPECT_EQ(FindLoadedWave(other, "same.wav", 0), -1);
  EXPECT_EQ(FindLoadedWave(other, "same.wav", -1), 1);
  {
    std::ofstream(dir_ / "other" / "same.wav", std::ios::binary | std::ios::app) << "xx";
  }
  EXPECT_EQ(FindLoadedWave(other, "same.wav", -1), -1);

  // Two missing files of one name in different folders are not one file.
  LibraryEntry("gone.wav", folder_ + "\\nowhere");
  EXPECT_EQ(FindLoadedWave(other, "gone.wav", -1), -1);
  EXPECT_EQ(FindLoadedWave(folder_ + "\\nowhere", "gone.wav", -1), 2);  // the same folder still is
}

TEST_F(WaveLibraryTest, CopyingASampleIntoTheSynthKeepsOrMixesChannels) {
  // Stereo: left 0.2, right -0.6 in every frame.
  std::vector<float> stereo;
  for (int32_t i = 0; i < 300; ++i) {
    stereo.push_back(0.2f);
    stereo.push_back(-0.6f);
  }
  WaveLibraryEntry* src = LibraryEntry(WriteWav("st.wav", 2, stereo));
  src->Pitch[0] = 99.0f;

  // Choice channels + 1 keeps the file as it is.
  int32_t i = AddLoadedWave(*src, 3);
  ASSERT_EQ(i, 0);
  WaveLibraryEntry* e = SynthSamples.entries[0];
  EXPECT_EQ(e->ListIndex, 0);
  EXPECT_EQ(e->ChannelChoice, -1);
  EXPECT_EQ(e->Sound.format.channels, 2);
  EXPECT_EQ(e->LoadState, kWaveDataHeld);
  EXPECT_EQ(e->State.Load(), kWaveIdle);
  EXPECT_EQ(e->Saved, -1);
  EXPECT_EQ(e->Sound.samples[1], -0.6f);

  // Choice 0 averages the channels.
  ASSERT_EQ(AddLoadedWave(*src, 0), 1);
  e = SynthSamples.entries[1];
  EXPECT_EQ(e->ChannelChoice, 0);
  EXPECT_EQ(e->Sound.format.channels, 1);
  EXPECT_EQ(e->Sound.format.blockAlign, 4);
  EXPECT_EQ(e->Sound.dataSize, 300u * 4u);
  EXPECT_EQ(e->Sound.frameCount, 300u);
  EXPECT_FLOAT_EQ(e->Sound.samples[0], -0.2f);
  EXPECT_FLOAT_EQ(e->Sound.samples[299], -0.2f);
  // Analysed on the way in: a constant -0.2 has a mean square of 0.04.
  EXPECT_NEAR(e->MeanLevel[0], 20.0f * std::log10(0.04f), 1e-3);

  // Choice 2 keeps the right channel, choice 1 the left.
  ASSERT_EQ(AddLoadedWave(*src, 2), 2);
  EXPECT_EQ(SynthSamples.entries[2]->Sound.samples[10], -0.6f);
  ASSERT_EQ(AddLoadedWave(*src, 1), 3);
  EXPECT_EQ(SynthSamples.entries[3]->Sound.samples[10], 0.2f);

  // A mono file ignores the choice.
  WaveLibraryEntry* mono = LibraryEntry(WriteWav("m.wav", 1, std::vector<float>(200, 0.5f)));
  ASSERT_EQ(AddLoadedWave(*mono, 0), 4);
  EXPECT_EQ(SynthSamples.entries[4]->ChannelChoice, -1);
  EXPECT_EQ(SynthSamples.entries[4]->Sound.format.channels, 1);
}

TEST_F(WaveLibraryTest, CopyingFindsThePitchOfASine) {
  std::vector<float> sine(4000);
  for (size_t i = 0; i < sine.size(); ++i) sine[i] = 0.5f * std::sin(2.0 * M_PI * 750.0 * i / 48000.0);
  WaveLibraryEntry* src = LibraryEntry(WriteWav("sine.wav", 1, sine));
  ASSERT_EQ(AddLoadedWave(*src, -1), 0);
  EXPECT_NEAR(SynthSamples.entries[0]->Pitch[0], 750.0f, 3.0f);
}

TEST_F(WaveLibraryTest, BadSourcesAddNothing) {
  WaveLibraryEntry* missing = LibraryEntry("none.wav");
  EXPECT_LT(AddLoadedWave(*missing, -1), 0);
  {
    std::ofstream(dir_ / "junk.wav", std::ios::binary) << "RIFF0000WAVEjunkjunkjunk";
  }
  WaveLibraryEntry* junk = LibraryEntry("junk.wav");
  EXPECT_LT(AddLoadedWave(*junk, -1), 0);
  WaveLibraryEntry* busy = LibraryEntry(WriteWav("b.wav", 1, {0.1f, 0.2f}));
  busy->State.Store(kWaveBusy);
  EXPECT_EQ(AddLoadedWave(*busy, -1), -1);
  EXPECT_EQ(SynthSamples.header.count, 0);
  EXPECT_EQ(SynthSamples.entries[0], nullptr);
}

TEST_F(WaveLibraryTest, TheEngineSeesWhatTheDataHolds) {
  EXPECT_EQ(DescribeWave, DescribeWaveEntry);
  WaveInfo info{};
  EXPECT_FALSE(DescribeWaveEntry(nullptr, info));
  WaveLibraryEntry* e = WaveLibraryEntryNew();
  e->Pitch[0] = 220.0f;
  ASSERT_TRUE(DescribeWaveEntry(e, info));
  EXPECT_EQ(info.Data, nullptr);
  EXPECT_EQ(info.Channels, 1);
  e->Sound.format.channels = 2;
  e->Sound.frameCount = 100;  // more than the data holds
  e->Sound.samples = static_cast<float*>(std::calloc(20, 4));
  e->Sound.dataSize = 80;
  ASSERT_TRUE(DescribeWaveEntry(e, info));
  EXPECT_EQ(info.Data, e->Sound.samples);
  EXPECT_EQ(info.Channels, 2);
  EXPECT_EQ(info.Frames, 10);
  EXPECT_EQ(info.Pitch, 220.0f);
  WaveLibraryEntryDelete(e);
}

}  // namespace
}  // namespace Tarvelo
