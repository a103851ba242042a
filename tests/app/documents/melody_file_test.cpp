// Melody files: the bytes of a recorded melody, a round trip, and files that
// must be refused without touching the melody list; a failed save keeps the
// previous file.
#include "app/documents/melody_file.h"

#include "doc_fixture.h"

#include <cstring>

#include "basics/errors.h"
#include "engine/globals.h"

namespace Tarvelo {
namespace doc_test {
namespace {

using QUARLE_BASICS::kErrIncompatibleFile;

class MelodyFileTest : public DocumentTest {
 protected:
  void SetUp() override {
    DocumentTest::SetUp();
    SetRateConstants(48000.0f);
  }
  // A recorded melody entry: w0 slots, w3 rate value, w5 length, and a note.
  WaveLibraryEntry* Recorded(const std::string& file, int32_t bytes = kMelodyRecordBytes) {
    WaveLibraryEntry* e = WaveLibraryEntryNew();
    QUARLE_BASICS::DynZStringAssign(e->Folder, Home("MELODIES"));
    QUARLE_BASICS::DynZStringAssign(e->File, file);
    e->Sound.samples = static_cast<float*>(std::calloc(static_cast<size_t>(bytes) / 4 + 1, sizeof(float)));
    e->Sound.dataSize = static_cast<uint32_t>(bytes);
    float* w = e->Sound.samples;
    w[0] = static_cast<float>((bytes - 24) / 16);
    w[3] = 2.0f;
    w[5] = 3.5f;
    if (bytes >= 40) {
      w[6] = 0.25f;
      w[7] = 0.01f;
    }
    owned_.push_back(e);
    return e;
  }
  void TearDown() override {
    for (WaveLibraryEntry* e : owned_) WaveLibraryEntryDelete(e);
    DocumentTest::TearDown();
  }
  std::vector<WaveLibraryEntry*> owned_;
};

TEST_F(MelodyFileTest, RecordedMelodySavesAndLoadsBack) {
  WaveLibraryEntry* e = Recorded("m.mel");
  EXPECT_EQ(SaveMelody(nullptr), -QUARLE_BASICS::kErrBadParameter);
  ASSERT_EQ(SaveMelody(e), 0);
  EXPECT_EQ(e->Saved, -1);
  EXPECT_EQ(e->State.Load(), kWaveIdle);
  const auto bytes = ReadBytes(Os("MELODIES/m.mel"));
  ASSERT_EQ(bytes.size(), 192056u);
  int32_t head[2];
  std::memcpy(head, bytes.data(), 4);
  std::memcpy(head + 1, bytes.data() + 28, 4);
  EXPECT_EQ(head[0], 24);
  EXPECT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 28), "TARVELO MELODY FILE V1.0");
  EXPECT_EQ(head[1], 192024);
  EXPECT_EQ(std::memcmp(bytes.data() + 32, e->Sound.samples, 192024), 0);

  ASSERT_EQ(LoadMelody(Home("MELODIES"), "m.mel"), 0);
  const WaveLibraryEntry* back = MelodyLibrary.entries[0];
  EXPECT_EQ(back->Sound.dataSize, 192024u);
  EXPECT_EQ(std::memcmp(back->Sound.samples, e->Sound.samples, 192024), 0);
  EXPECT_FLOAT_EQ(back->Duration.Load(), 3.5f);
  EXPECT_FLOAT_EQ(back->Pitch[0], 2.0f * 4.0f / 48000.0f);
  EXPECT_EQ(back->LoadState, kWaveDataHeld);
  EXPECT_EQ(back->Saved, -1);
  EXPECT_EQ(back->State.Load(), kWaveIdle);
}

TEST_F(MelodyFileTest, DamagedFilesAreRefusedAndTheListStaysAsItWas) {
  ASSERT_EQ(SaveMelody(Recorded("good.mel", 24 + 16 * 10)), 0);
  ASSERT_EQ(LoadMelody(Home("MELODIES"), "good.mel"), 0);
  const auto good = ReadBytes(Os("MELODIES/good.mel"));

  auto variant = [&](const char* name, auto change) {
    auto bytes = good;
    change(bytes);
    WriteBytes(Os(std::string("MELODIES/") + name), bytes);
    return LoadMelody(Home("MELODIES"), name);
  };
  auto putF32 = [](std::vector<unsigned char>& b, size_t at, float v) { std::memcpy(b.data() + at, &v, 4); };
  auto putI32 = [](std::vector<unsigned char>& b, size_t at, int32_t v) { std::memcpy(b.data() + at, &v, 4); };

  EXPECT_EQ(variant("v11.mel", [](auto& b) { b[27] = '1'; }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("cut.mel", [](auto& b) { b.resize(32 + 24); }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("head.mel", [](auto& b) { b.resize(30); }), -kErrIncompatibleFile);
  // A head claiming more event slots than the record holds.
  EXPECT_EQ(variant("slots.mel", [&](auto& b) { putF32(b, 32, 11.0f); }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("many.mel", [&](auto& b) { putF32(b, 32, 12000.0f); }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("nan.mel", [&](auto& b) { putF32(b, 32, std::nanf("")); }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("negative.mel", [&](auto& b) { putI32(b, 28, -4); }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("small.mel", [&](auto& b) { putI32(b, 28, 8); }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("huge.mel", [&](auto& b) { putI32(b, 28, 0x7FFFFFF0); }), -kErrIncompatibleFile);
  EXPECT_EQ(variant("magiclen.mel", [&](auto& b) { putI32(b, 0, 1 << 30); }), -kErrIncompatibleFile);
  EXPECT_LT(LoadMelody(Home("MELODIES"), "absent.mel"), 0);
  EXPECT_EQ(MelodyLibrary.header.count, 1);
  EXPECT_EQ(MelodyLibrary.entries[1], nullptr);
}

TEST_F(MelodyFileTest, RecordsHoldingMoreThanTheirHeadClaimsLoad) {
  // A recording saved before its buffer was trimmed: 100 events in a record
  // sized for 12,000, and a melody of no events at all (its head only).
  WaveLibraryEntry* e = Recorded("untrimmed.mel");
  e->Sound.samples[0] = 100.0f;
  ASSERT_EQ(SaveMelody(e), 0);
  ASSERT_EQ(LoadMelody(Home("MELODIES"), "untrimmed.mel"), 0);
  EXPECT_EQ(MelodyLibrary.entries[0]->Sound.dataSize, static_cast<uint32_t>(kMelodyRecordBytes));
  EXPECT_EQ(MelodyLibrary.entries[0]->Sound.samples[0], 100.0f);

  WaveLibraryEntry* empty = Recorded("empty.mel", kMelodyHeadBytes);
  ASSERT_EQ(SaveMelody(empty), 0);
  ASSERT_EQ(ReadBytes(Os("MELODIES/empty.mel")).size(), 56u);
  ASSERT_EQ(LoadMelody(Home("MELODIES"), "empty.mel"), 1);
  EXPECT_EQ(MelodyLibrary.entries[1]->Sound.dataSize, 24u);
  EXPECT_EQ(MelodyLibrary.header.count, 2);
}

TEST_F(MelodyFileTest, RecordsOfNoWholeWordsSaveAndLoadBack) {
  // 58 bytes: two events and a half word. Stored as 60 (whole words, zero
  // padded), so nothing of the record is cut off and the file loads again.
  WaveLibraryEntry* e = Recorded("odd.mel", 24 + 16 * 2 + 2);
  reinterpret_cast<unsigned char*>(e->Sound.samples)[57] = 0x5A;
  ASSERT_EQ(SaveMelody(e), 0);
  const auto bytes = ReadBytes(Os("MELODIES/odd.mel"));
  ASSERT_EQ(bytes.size(), 32u + 60u);
  int32_t n = 0;
  std::memcpy(&n, bytes.data() + 28, 4);
  EXPECT_EQ(n, 60);
  EXPECT_EQ(bytes[32 + 57], 0x5A);
  EXPECT_EQ(bytes[32 + 58], 0);
  ASSERT_EQ(LoadMelody(Home("MELODIES"), "odd.mel"), 0);
  EXPECT_EQ(MelodyLibrary.entries[0]->Sound.dataSize, 60u);
  EXPECT_EQ(std::memcmp(MelodyLibrary.entries[0]->Sound.samples, e->Sound.samples, 58), 0);

  // Files laid out as round(N / 4) x 4 bytes after N load: 58 -> 56 bytes
  // (ties to even), 62 -> 64 bytes; the entry holds what the file holds.
  auto written = [&](const char* name, int32_t size, size_t follow) {
    std::vector<unsigned char> b(32 + follow, 0);
    const int32_t magicLength = 24;
    std::memcpy(b.data(), &magicLength, 4);
    std::memcpy(b.data() + 4, "TARVELO MELODY FILE V1.0", 24);
    std::memcpy(b.data() + 28, &size, 4);
    const float slots = 2.0f;
    std::memcpy(b.data() + 32, &slots, 4);
    WriteBytes(Os(std::string("MELODIES/") + name), b);
    return LoadMelody(Home("MELODIES"), name);
  };
  ASSERT_EQ(written("down.mel", 58, 56), 1);
  EXPECT_EQ(MelodyLibrary.entries[1]->Sound.dataSize, 56u);
  ASSERT_EQ(written("up.mel", 62, 64), 2);
  EXPECT_EQ(MelodyLibrary.entries[2]->Sound.dataSize, 62u);
  EXPECT_EQ(written("short.mel", 62, 62), -kErrIncompatibleFile);
  EXPECT_EQ(MelodyLibrary.header.count, 3);
}

TEST_F(MelodyFileTest, FailedSaveKeepsThePreviousFile) {
  WaveLibraryEntry* e = Recorded("keep.mel", 24 + 16 * 4);
  ASSERT_EQ(SaveMelody(e), 0);
  const auto before = ReadBytes(Os("MELODIES/keep.mel"));
  e->Sound.samples[6] = 0.75f;
  e->Saved = 0;
  DocumentFailWritesAfter(40);
  EXPECT_LT(SaveMelody(e), 0);
  EXPECT_EQ(e->Saved, 0);
  EXPECT_EQ(ReadBytes(Os("MELODIES/keep.mel")), before);
  EXPECT_FALSE(fs::exists(Os("MELODIES/keep.mel~tarvelo-1.tmp")));
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
