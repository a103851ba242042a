// The demo synths and tunings the build writes beside the program: every
// tuning holds its scale (checked against the scale's published cents), and
// every synth loads through the real reader and sounds for 2 s through the
// render callback, from a held key or from its own sequencer.
#include <cmath>
#include <algorithm>
#include <cstring>
#include <set>

#include "app/documents/synth_file.h"
#include "app/fixed_tables.h"
#include "app/state/history.h"
#include "audio/audio.h"
#include "doc_fixture.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"

namespace Tarvelo {
namespace doc_test {
namespace {

const fs::path kProgram = TARVELO_PROGRAM_DIR;

std::vector<double> EqualCents(int n) {
  std::vector<double> c;
  for (int i = 0; i < n; ++i) c.push_back(1200.0 * i / n);
  return c;
}

struct Scale {
  const char* file;
  std::vector<double> cents;  // of each key over the first
};

const std::vector<Scale>& Scales() {
  static const std::vector<Scale> scales = {
      {"12-EDO.tng", EqualCents(12)},
      {"19-EDO.tng", EqualCents(19)},
      {"24-EDO.tng", EqualCents(24)},
      {"31-EDO.tng", EqualCents(31)},
      {"Pythagorean.tng",
       {0, 113.685, 203.910, 294.135, 407.820, 498.045, 611.730, 701.955, 792.180, 905.865, 996.090, 1109.775}},
      {"5-limit just intonation.tng",
       {0, 111.731, 203.910, 315.641, 386.314, 498.045, 590.224, 701.955, 813.686, 884.359, 1017.596, 1088.269}},
      {"Quarter-comma meantone.tng",
       {0, 76.049, 193.157, 310.265, 386.314, 503.422, 579.471, 696.578, 813.686, 889.735, 1006.843, 1082.892}},
      {"Werckmeister III.tng",
       {0, 90.225, 192.180, 294.135, 390.225, 498.045, 588.270, 696.090, 792.180, 888.270, 996.090, 1092.180}},
  };
  return scales;
}

class ShippedDemosTest : public DocumentTest {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(Tarvelo::init(48000.0f), 0); }
  static void TearDownTestSuite() { Tarvelo::close(); }
  void SetUp() override {
    DocumentTest::SetUp();
    SetProductIdentity();
    ASSERT_EQ(ActionHistoryCreate(), 0);
    PlaybackActive = 0;
    QUARLE_AUDIO::StreamLength = 960;
    Reset();
  }
  void TearDown() override {
    Reset();
    ActionHistoryFree();
    DocumentTest::TearDown();
  }
  static void Reset() {
    ReleaseAllKeys();
    ClearSynth();
    SynthOutputModule.store(nullptr);
    UpdateProcessingOrder(0);
    ReclaimRemovedModules();
  }
  static bool HasKeyboard() {
    for (int32_t i = 0; i < ModuleList.count; ++i)
      if (ModuleList.entries[i] && ModuleList.entries[i]->Type == kTypeKeyboard) return true;
    return false;
  }
  static fs::path DemoFolder() { return kProgram / "SYNTHS" / (std::string("DEMO ") + ProductVersion); }
};

TEST_F(ShippedDemosTest, EveryTuningHoldsItsScale) {
  for (const Scale& s : Scales()) {
    SCOPED_TRACE(s.file);
    Tuning t;
    InitTuning(t);
    ASSERT_EQ(LoadTuning(t, platform::FromOsPath((kProgram / "TUNINGS").string()), s.file), 0);
    ASSERT_EQ(TuningGetNoteCount(t), static_cast<int32_t>(s.cents.size()));
    for (size_t k = 0; k < s.cents.size(); ++k)
      EXPECT_NEAR(1200.0 * std::log2(TuningGetAbsoluteRatio(t, static_cast<int32_t>(k))), s.cents[k], 0.005) << k;
    EXPECT_FLOAT_EQ(TuningGetReferencePitch(t), 261.6256f);
    FreeTuning(t);
  }
}

TEST_F(ShippedDemosTest, EverySynthLoadsAndSoundsAtOnce) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(DemoFolder()))
    if (e.path().extension() == ".tarvelo") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_GE(names.size(), 6u);
  EXPECT_LE(names.size(), 10u);
  std::set<int32_t> types;
  int32_t selfPlaying = 0;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Reset();
    Reports().clear();
    ASSERT_EQ(LoadSynth(platform::FromOsPath(DemoFolder().string()), name), 0);
    EXPECT_EQ(CountReports(""), CountReports("Loading")) << (Reports().empty() ? "" : Reports()[0].first);
    ASSERT_NE(SynthOutputModule.load(), nullptr);
    for (int32_t i = 0; i < ModuleList.count; ++i) types.insert(ModuleList.entries[i]->Type);
    const bool keyboard = HasKeyboard();
    if (keyboard)
      ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
    else
      ++selfPlaying;
    double energy = 0.0;
    bool finite = true;
    std::vector<float> buffer(2 * 960);
    for (int32_t block = 0; block < 100; ++block) {  // 2 s
      float* p = buffer.data();
      RenderAudio(&p, 0, static_cast<int32_t>(buffer.size()));
      for (float v : buffer) {
        finite = finite && std::isfinite(v);
        energy += static_cast<double>(v) * v;
      }
    }
    EXPECT_TRUE(finite);
    EXPECT_GT(std::sqrt(energy / (100.0 * buffer.size())), 0.01) << "silent";
  }
  EXPECT_GE(selfPlaying, 2);
  // Together they show the catalog's range: sources, sequencers, effects.
  EXPECT_GE(types.size(), 12u);
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
