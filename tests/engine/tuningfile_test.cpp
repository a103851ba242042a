// Tuning files: the exact bytes of a saved tuning, round trips, the clamps
// applied on loading, and damaged or hostile files that must leave the tuning
// as it was.
#include "engine/tuningfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "basics/dynzstring.h"
#include "platform/paths.h"

namespace Tarvelo {
namespace {

using QUARLE_BASICS::DynZStringAssign;
using QUARLE_BASICS::DynZStringGet;

// Builds a file image the way the format lays it out.
struct Bytes {
  std::vector<unsigned char> b;
  template <class T>
  Bytes& Put(T x) {
    const auto* p = reinterpret_cast<const unsigned char*>(&x);
    b.insert(b.end(), p, p + sizeof x);
    return *this;
  }
  Bytes& Text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& Key(float rel, float abs, const std::string& name) {
    return Put(rel).Put(abs).Put(static_cast<int32_t>(name.size())).Text(name);
  }
  Bytes& Field(const std::string& name) {  // a 33-byte pattern name field
    std::string f = name;
    f.resize(33, '\0');
    return Text(f);
  }
};

class TuningFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvelo_tng_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    os = tmpl;
    folder = platform::FromOsPath(os);
    InitTuning(t);
    DynZStringAssign(t.Folder, folder);
    DynZStringAssign(t.FileName, "Default.tng");
  }
  void TearDown() override {
    FreeTuning(t);
    std::filesystem::remove_all(os);
  }

  void Write(const std::string& name, const std::vector<unsigned char>& bytes) {
    std::ofstream f(os + "/" + name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<unsigned char> Read(const std::string& name) {
    std::ifstream f(os + "/" + name, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // Everything a load may change, as one comparable text.
  static std::string Snapshot(const Tuning& x) {
    std::string s = std::to_string(x.ReferencePitch) + "|" + std::to_string(x.NoteCount) + "|" +
                    std::to_string(x.PatternCount) + "|" + DynZStringGet(x.Folder) + "|" + DynZStringGet(x.FileName);
    for (int32_t i = 0; i < x.NoteCount; ++i)
      s += "|" + std::to_string(x.AbsoluteRatios[i]) + ":" + TuningGetNoteName(x, i);
    for (int32_t p = 0; p < x.PatternCount; ++p) s += "|" + std::to_string(x.PatternMasks[p]) + x.PatternNames[p];
    return s;
  }
  // Loads a hand-made file into t and expects it refused without a change.
  void ExpectRefused(const std::vector<unsigned char>& bytes, int32_t code) {
    Write("bad.tng", bytes);
    t.Modified = -1;
    std::string before = Snapshot(t);
    EXPECT_EQ(LoadTuning(t, folder, "bad.tng"), code);
    EXPECT_EQ(Snapshot(t), before);
    EXPECT_EQ(t.Modified, -1);
  }

  std::string os;
  std::string folder;
  Tuning t{};
};

TEST_F(TuningFileTest, DefaultTuningBytes) {
  ASSERT_EQ(SaveTuning(t), 0);
  EXPECT_EQ(t.Modified, 0);
  std::vector<unsigned char> f = Read("Default.tng");
  // 8 + 12 key records of 12 bytes + 17 name bytes + 4 + 41 x 1 pattern.
  ASSERT_EQ(f.size(), 214u);
  float pitch;
  int32_t n, len;
  float rel0, abs0;
  std::memcpy(&pitch, &f[0], 4);
  std::memcpy(&n, &f[4], 4);
  std::memcpy(&rel0, &f[8], 4);
  std::memcpy(&abs0, &f[12], 4);
  std::memcpy(&len, &f[16], 4);
  EXPECT_EQ(pitch, 440.0f);
  EXPECT_EQ(n, 12);
  EXPECT_EQ(rel0, TuningGetRatio(t, 0));
  EXPECT_EQ(abs0, 1.0f);
  EXPECT_EQ(len, 1);
  EXPECT_EQ(f[20], 'A');
  int32_t p;
  uint64_t mask;
  std::memcpy(&p, &f[214 - 45], 4);
  std::memcpy(&mask, &f[214 - 41], 8);
  EXPECT_EQ(p, 1);
  EXPECT_EQ(mask, ~uint64_t{0});
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[214 - 33])), "Chromatic");
  EXPECT_FALSE(std::filesystem::exists(os + "/Default.tng~tarvelo-1.tmp"));
}

TEST_F(TuningFileTest, SavedTuningLoadsBackEqual) {
  TuningSetReferencePitch(t, 432.0f);
  TuningSetNoteCount(t, 7);
  TuningSetSecondValue(t, 3, 1.4f);
  TuningSetNoteName(t, 2, "Ni\xE7");
  TuningSetNoteName(t, 5, "");
  TuningAddScalePattern(t, 0x55, "Alternate", 0);
  const std::string longName(32, 'x');
  TuningAddScalePattern(t, 0x7, longName.c_str(), 0);
  ASSERT_EQ(SaveTuning(t), 0);

  Tuning u{};
  InitTuning(u);
  ASSERT_EQ(LoadTuning(u, folder, "Default.tng"), 0);
  EXPECT_EQ(u.Modified, 0);
  EXPECT_EQ(Snapshot(u), Snapshot(t));
  EXPECT_EQ(std::string(u.PatternNames[2]), longName);
  for (int32_t i = 0; i < 7; ++i) {
    EXPECT_EQ(u.AbsoluteRatios[i], t.AbsoluteRatios[i]) << i;
    EXPECT_FLOAT_EQ(u.RelativeRatios[i], t.RelativeRatios[i]) << i;
  }
  EXPECT_EQ(u.ConsonanceWeights[0], 1.0f);
  FreeTuning(u);
}

TEST_F(TuningFileTest, LoadingClampsWhatTheFileHolds) {
  Bytes f;
  f.Put(1000.0f).Put(int32_t{100});
  for (int32_t k = 0; k < 100; ++k)
    f.Key(1.01f, std::numeric_limits<float>::quiet_NaN(), "k" + std::to_string(k));
  f.Put(int32_t{1}).Put(uint64_t{5}).Field("After the keys");
  Write("wide.tng", f.b);
  ASSERT_EQ(LoadTuning(t, folder, "wide.tng"), 0);
  EXPECT_EQ(t.ReferencePitch, 880.0f);
  EXPECT_EQ(t.NoteCount, 64);
  EXPECT_EQ(TuningGetNoteName(t, 63), "k63");
  // The surplus key records are passed over: the patterns are found.
  EXPECT_EQ(t.PatternCount, 1);
  EXPECT_EQ(t.PatternMasks[0], 5u);
  EXPECT_STREQ(t.PatternNames[0], "After the keys");
  for (int32_t i = 1; i < 64; ++i) {
    ASSERT_TRUE(std::isfinite(t.AbsoluteRatios[i]));
    EXPECT_GT(t.AbsoluteRatios[i], t.AbsoluteRatios[i - 1]);
  }
  EXPECT_LT(t.AbsoluteRatios[63], 2.0f);
  EXPECT_EQ(DynZStringGet(t.FileName), "wide.tng");
  EXPECT_EQ(t.Modified, 0);
}

TEST_F(TuningFileTest, PatternSection) {
  // Absent: the tuning keeps its patterns.
  TuningAddScalePattern(t, 0x3, "Kept", 0);
  Bytes none;
  none.Put(440.0f).Put(int32_t{2}).Key(1.0f, 1.0f, "a").Key(1.5f, 1.5f, "b");
  Write("none.tng", none.b);
  ASSERT_EQ(LoadTuning(t, folder, "none.tng"), 0);
  EXPECT_EQ(t.PatternCount, 2);
  EXPECT_STREQ(t.PatternNames[1], "Kept");
  EXPECT_FLOAT_EQ(t.AbsoluteRatios[1], 1.5f);

  // Zero patterns: one "Chromatic".
  Bytes zero = none;
  zero.Put(int32_t{0});
  Write("zero.tng", zero.b);
  ASSERT_EQ(LoadTuning(t, folder, "zero.tng"), 0);
  EXPECT_EQ(t.PatternCount, 1);
  EXPECT_STREQ(t.PatternNames[0], "Chromatic");
  EXPECT_EQ(t.PatternMasks[0], ~uint64_t{0});

  // 200 patterns: 128 masks and 128 names, the names from the name fields.
  Bytes many = none;
  many.Put(int32_t{200});
  for (uint64_t p = 0; p < 200; ++p) many.Put(p + 1);
  for (int32_t p = 0; p < 200; ++p) many.Field("n" + std::to_string(p));
  Write("many.tng", many.b);
  ASSERT_EQ(LoadTuning(t, folder, "many.tng"), 0);
  EXPECT_EQ(t.PatternCount, 128);
  EXPECT_EQ(t.PatternMasks[127], 128u);
  EXPECT_STREQ(t.PatternNames[0], "n0");
  EXPECT_STREQ(t.PatternNames[127], "n127");

  // Unterminated 33-byte fields end at 32 characters.
  Bytes full = none;
  full.Put(int32_t{1}).Put(uint64_t{1}).Text(std::string(33, 'z'));
  Write("full.tng", full.b);
  ASSERT_EQ(LoadTuning(t, folder, "full.tng"), 0);
  EXPECT_EQ(std::string(t.PatternNames[0]), std::string(32, 'z'));
}

TEST_F(TuningFileTest, ShortAndMissingFiles) {
  EXPECT_EQ(LoadTuning(t, folder, "absent.tng"), -19);
  Bytes f;
  f.Put(440.0f).Put(int32_t{1}).Key(1.0f, 1.0f, "abcd");  // 24 bytes
  std::vector<unsigned char> b27 = f.b;
  b27.resize(27, 0);
  ExpectRefused(b27, -19);
  // 28 bytes pass the length test: one key and an empty pattern section.
  f.Put(int32_t{0});
  ASSERT_EQ(f.b.size(), 28u);
  Write("tiny.tng", f.b);
  ASSERT_EQ(LoadTuning(t, folder, "tiny.tng"), 0);
  EXPECT_EQ(t.NoteCount, 2);
  EXPECT_EQ(TuningGetNoteName(t, 0), "abcd");
  EXPECT_EQ(t.PatternCount, 1);
}

TEST_F(TuningFileTest, DamagedFilesLeaveTheTuningAlone) {
  TuningSetNoteCount(t, 5);
  auto head = [](int32_t keys) {
    Bytes f;
    f.Put(300.0f).Put(keys);
    return f;
  };
  // A name longer than the file.
  Bytes hugeName = head(1);
  hugeName.Put(1.0f).Put(1.0f).Put(int32_t{0x7FFFFFFF}).Text("abc");
  hugeName.b.resize(40, 0);
  ExpectRefused(hugeName.b, -28);
  // More key records announced than the file holds.
  Bytes manyKeys = head(0x7FFFFFFF);
  manyKeys.Key(1.0f, 1.0f, "a").Key(1.2f, 1.2f, "b");
  ExpectRefused(manyKeys.b, -28);
  // The file ends inside a key record.
  Bytes cut = head(3);
  cut.Key(1.0f, 1.0f, "aaaaaaaaaa").Key(1.2f, 1.2f, "bbbbbbbbbb").Put(1.3f);
  ExpectRefused(cut.b, -28);
  // A pattern count the file does not hold, a negative one, a torn count.
  Bytes body = head(2);
  body.Key(1.0f, 1.0f, "a").Key(1.2f, 1.2f, "b");
  Bytes fewPatterns = body;
  fewPatterns.Put(int32_t{5}).Put(uint64_t{1}).Field("one");
  ExpectRefused(fewPatterns.b, -28);
  Bytes negative = body;
  negative.Put(int32_t{-1}).Put(uint64_t{1}).Field("one");
  ExpectRefused(negative.b, -28);
  Bytes torn = body;
  torn.Put(uint16_t{1});
  ExpectRefused(torn.b, -28);
}

TEST_F(TuningFileTest, SaveRefusals) {
  DynZStringAssign(t.FileName, "");
  EXPECT_EQ(SaveTuning(t), -19);
  DynZStringAssign(t.FileName, "x.tng");
  t.NoteCount = 0;
  EXPECT_EQ(SaveTuning(t), -19);
  t.NoteCount = 12;
  EXPECT_FALSE(std::filesystem::exists(os + "/x.tng"));
}

TEST_F(TuningFileTest, FailedSaveKeepsTheOldFileAndTheModifiedMark) {
  // A folder that does not exist: the open fails.
  DynZStringAssign(t.Folder, folder + "\\missing");
  t.Modified = -1;
  EXPECT_LT(SaveTuning(t), 0);
  EXPECT_EQ(t.Modified, -1);

  // The target cannot be replaced (it is a folder): nothing is lost.
  DynZStringAssign(t.Folder, folder);
  DynZStringAssign(t.FileName, "Busy.tng");
  std::filesystem::create_directory(os + "/Busy.tng");
  std::filesystem::path keep = std::filesystem::path(os) / "Busy.tng" / "inside";
  std::ofstream(keep) << "kept";
  EXPECT_LT(SaveTuning(t), 0);
  EXPECT_EQ(t.Modified, -1);
  EXPECT_TRUE(std::filesystem::is_directory(os + "/Busy.tng"));
  EXPECT_TRUE(std::filesystem::exists(keep));
  EXPECT_FALSE(std::filesystem::exists(os + "/Busy.tng~tarvelo-1.tmp"));

  // A good save replaces a longer old file whole.
  Write("Default.tng", std::vector<unsigned char>(5000, 0xAB));
  DynZStringAssign(t.FileName, "Default.tng");
  ASSERT_EQ(SaveTuning(t), 0);
  EXPECT_EQ(Read("Default.tng").size(), 214u);
}

}  // namespace
}  // namespace Tarvelo
