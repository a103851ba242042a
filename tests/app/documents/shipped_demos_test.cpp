// The demo synths and tunings the build writes beside the program: every
// tuning holds its scale (checked against the scale's published cents), and
// every synth, copied by a first start from a program folder that is not the
// build's, loads through the real reader and sounds for 2 s through the render
// callback, from a held key or from its own sequencer; the sample players
// sound at their tuning's pitch; every synth holds the values of its maker's
// table where the engine reads them; and every synth with a keyboard plays
// from a MIDI device after its load.
#include <cmath>
#include <algorithm>
#include <cstring>
#include <set>

#include "app/documents/demo_files.h"
#include "app/documents/synth_file.h"
#include "app/fixed_tables.h"
#include "app/state/history.h"
#include "audio/audio.h"
#include "audio/midi.h"
#include "doc_fixture.h"
#include "engine/catalog/engine_init.h"
#include "engine/command.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/render.h"
#include "engine/tuning.h"
#include "engine/tuningfile.h"
#include "platform/midi.h"
#include "tools/demo_values.h"

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
    // What a first start does from an installed or moved program: the demo
    // folders copied into the data folder, nothing read from the build's.
    const fs::path moved = dir_ / "program elsewhere";
    for (const char* sub : {"SYNTHS", "TUNINGS", "AUDIO"}) {
      fs::create_directories(moved / sub);
      fs::copy(kProgram / sub, moved / sub, fs::copy_options::recursive);
    }
    // The start-up makes the data folder's demo folder before the copy.
    fs::create_directories(DemoFolder());
    platform::SetProgramFolderOverride(platform::FromOsPath(moved.string()));
    CopyDemoFiles(kCopyDemoSynths | kCopyAllTunings);
    platform::SetProgramFolderOverride("");
    Reports().clear();
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
  fs::path DemoFolder() const { return dir_ / "SYNTHS" / (std::string("DEMO ") + ProductVersion); }
  // Renders the left channel of that many seconds.
  static std::vector<float> RenderLeft(double seconds) {
    std::vector<float> left, buffer(2 * 960);
    for (int32_t block = 0; block < static_cast<int32_t>(seconds * 50); ++block) {
      float* p = buffer.data();
      RenderAudio(&p, 0, static_cast<int32_t>(buffer.size()));
      for (size_t i = 0; i < buffer.size(); i += 2) left.push_back(buffer[i]);
    }
    return left;
  }
  // The pitch of a steady tone near `near` hertz: the autocorrelation's peak
  // near one period, then near ten periods for a tenfold finer reading.
  static double MeasurePitch(const std::vector<float>& x, double near) {
    const size_t n = 48000;
    auto r = [&](int32_t lag) {
      double xy = 0.0, xx = 0.0, yy = 0.0;
      for (size_t i = 0; i < n; ++i) {
        const double a = x[i], b = x[i + static_cast<size_t>(lag)];
        xy += a * b, xx += a * a, yy += b * b;
      }
      return xx > 0.0 && yy > 0.0 ? xy / std::sqrt(xx * yy) : 0.0;
    };
    auto peak = [&](int32_t lo, int32_t hi) {
      int32_t best = lo;
      double top = -2.0;
      for (int32_t lag = lo; lag <= hi; ++lag)
        if (const double v = r(lag); v > top) top = v, best = lag;
      const double a = r(best - 1), b = r(best), c = r(best + 1);
      const double den = a - 2.0 * b + c;
      return best + (den != 0.0 ? 0.5 * (a - c) / den : 0.0);
    };
    const double period = 48000.0 / near;
    const double one = peak(static_cast<int32_t>(period * 0.8), static_cast<int32_t>(period * 1.25));
    const double ten = peak(static_cast<int32_t>(10.0 * one - one / 3.0), static_cast<int32_t>(10.0 * one + one / 3.0));
    return 48000.0 * 10.0 / ten;
  }
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
    EXPECT_EQ(CountReports("Can't find"), 0);
    // Every sound the synth plays was found in the data folder.
    for (int32_t i = 0; i < SynthSamples.header.count; ++i)
      EXPECT_EQ(QUARLE_BASICS::DynZStringGet(SynthSamples.entries[i]->Folder), Home("AUDIO\\DEMO"));
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

TEST_F(ShippedDemosTest, NoDemoNamesAFolderOfTheBuild) {
  const std::string build = platform::FromOsPath(kProgram.string());
  for (const auto& e : fs::directory_iterator(DemoFolder())) {
    SCOPED_TRACE(e.path().filename().string());
    const std::vector<unsigned char> bytes = ReadBytes(e.path());
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find(build), std::string::npos);
  }
  EXPECT_TRUE(fs::exists(dir_ / "AUDIO" / "DEMO" / "Reed cycle.wav"));
}

// Each demo, played a moment, holds its maker's values where the page shows them and where the engine
// reads them on every channel it processes (a linked port's as its gain).
TEST_F(ShippedDemosTest, EveryDemoPlaysTheValuesItsMakerSet) {
  auto reads = [](const ModuleRecord& m, int32_t p, int32_t ch) {
    if (p >= m.PortCount) return SettingRead(m, p, ch);
    const ModuleRecord* k = m.PortValueModules[p];
    if (m.PortSources[p].Load()->Role == kRoleLive && k != nullptr) return k->Outputs[SourceChannel(*k, ch)][0].Level;
    return PlainRead(m, p, ch, 0);
  };
  for (int32_t d = 0; d < static_cast<int32_t>(std::size(kDemoSynthFiles)); ++d) {
    SCOPED_TRACE(kDemoSynthFiles[d]);
    Reset();
    ASSERT_EQ(LoadSynth(platform::FromOsPath(DemoFolder().string()), kDemoSynthFiles[d]), 0);
    if (HasKeyboard()) {
      ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
    }
    RenderLeft(0.1);
    for (const DemoModuleValues& row : DemoValues()) {
      if (row.demo != d) continue;
      const ModuleRecord* m = nullptr;
      for (int32_t i = 0; i < ModuleList.count; ++i)
        if (ModuleRecord* e = ModuleList.entries[i]; e && e->Type == row.type && e->InstanceNumber.Load() == row.instance) m = e;
      ASSERT_NE(m, nullptr) << "type " << row.type << ", instance " << row.instance;
      for (const auto& [p, value] : row.values) {
        EXPECT_EQ(m->Params[p].Value.Load(), value) << "type " << row.type << " parameter " << p << " shows";
        for (int32_t ch = 0; ch < (m->ChannelsProcessed.Load() == 2 ? 2 : 1); ++ch)
          EXPECT_EQ(reads(*m, p, ch), value) << "type " << row.type << " parameter " << p << " plays on " << ch;
      }
    }
  }
}

// Each demo's held sound swings about zero: no offset the ear cannot hear
// and a speaker must hold (a product of two tones of one key never changes
// sign without the high pass after it).
TEST_F(ShippedDemosTest, EveryDemoSwingsAboutZero) {
  for (const char* name : kDemoSynthFiles) {
    SCOPED_TRACE(name);
    Reset();
    ASSERT_EQ(LoadSynth(platform::FromOsPath(DemoFolder().string()), name), 0);
    if (HasKeyboard()) {
      ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
    }
    const std::vector<float> sound = RenderLeft(1.0);
    double sum = 0.0, energy = 0.0;
    size_t below = 0;
    const std::vector<float> held(sound.begin() + 12000, sound.end());  // past the attack
    for (float v : held) sum += v, energy += static_cast<double>(v) * v, below += v < 0.0f;
    const double n = static_cast<double>(held.size());
    EXPECT_LT(std::fabs(sum / n), 0.05 * std::sqrt(energy / n)) << "offset " << sum / n;
    EXPECT_GT(static_cast<double>(below), 0.3 * n);
  }
}

// Each demo's boxes stand apart: no two where the load places one (a box
// there would hide the other).
TEST_F(ShippedDemosTest, NoTwoBoxesOfADemoStandInOnePlace) {
  static std::vector<std::pair<int32_t, int32_t>> places;
  DocumentUi.CreateModuleControls = [](ModuleRecord*, int32_t x, int32_t y) {
    places.emplace_back(x, y);
    return static_cast<int32_t>(places.size());
  };
  int32_t demos = 0;
  for (const auto& e : fs::directory_iterator(DemoFolder())) {
    if (e.path().extension() != ".tarvelo") continue;
    SCOPED_TRACE(e.path().filename().string());
    ++demos;
    Reset();
    places.clear();
    ASSERT_EQ(LoadSynth(platform::FromOsPath(DemoFolder().string()), e.path().filename().string()), 0);
    EXPECT_EQ(places.size(), static_cast<size_t>(ModuleList.count));
    std::set<std::pair<int32_t, int32_t>> seen;
    for (const auto& p : places) EXPECT_TRUE(seen.insert(p).second) << "two boxes at " << p.first << ", " << p.second;
  }
  EXPECT_GE(demos, 6);
  ResetDocumentUiHooks();
}

// A held key of each sample player sounds at the key's frequency in the
// demo's tuning, within a cent, measured on what the render callback gives.
TEST_F(ShippedDemosTest, SamplePlayersSoundAtTheirTuningsPitch) {
  for (const char* name : {"04 Sample Player Reed.tarvelo", "08 Pythagorean Reed Organ.tarvelo"}) {
    SCOPED_TRACE(name);
    Reset();
    ASSERT_EQ(LoadSynth(platform::FromOsPath(DemoFolder().string()), name), 0);
    ASSERT_EQ(SynthSamples.header.count, 1);
    ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
    const std::vector<float> sound = RenderLeft(3.0);
    float expected = 0.0f;
    {
      platform::MutexGuard g(MT_TUNINGS[kActiveTuning]);
      expected = TuningKeyFrequency(ActiveTuning, 48);
    }
    ASSERT_GT(expected, 0.0f);
    const std::vector<float> held(sound.begin() + 48000, sound.end());
    const double measured = MeasurePitch(held, expected);
    EXPECT_NEAR(1200.0 * std::log2(measured / expected), 0.0, 1.0) << measured << " Hz, not " << expected;
  }
}

// A note from a MIDI device, through the MIDI thread, after a load: the
// loaded keyboard holds its key and the synth sounds, whichever way the
// keyboard takes the device. Each demo as shipped, then with its keyboard set
// on the module page, saved and loaded again.
TEST_F(ShippedDemosTest, EveryKeyboardPlaysFromAMidiDeviceAfterALoad) {
  struct Route {
    const char* name;
    bool saved;       // set, saved and loaded again; else the demo as shipped
    bool bound;       // bound to the device; else reached as the current keyboard
    int32_t filter;   // the keyboard's channel filter: 0 any, else channel + 1
    uint8_t channel;  // of the note
    bool plays;
  };
  const Route routes[] = {
      {"as shipped", false, false, 0, 0, true},
      {"the current keyboard", true, false, 0, 5, true},
      {"the current keyboard, its channel", true, false, 4, 3, true},
      {"the current keyboard, another channel", true, false, 4, 0, false},
      {"bound to the device", true, true, 0, 9, true},
      {"bound to the device, its channel", true, true, 2, 1, true},
      {"bound to the device, another channel", true, true, 2, 0, false},
  };
  QUARLE_AUDIO::MidiUi.AudioOutputRunning = [] { return int64_t{-1}; };
  ASSERT_EQ(QUARLE_AUDIO::InitMidiControllerTypes(), 0);
  platform::MidiFakeRemoveAll();
  QUARLE_AUDIO::MidiInCallback = &QUARLE_AUDIO::MidiInProc;
  const int32_t device = platform::MidiFakePlug("Keys");
  QUARLE_AUDIO::CheckMidiDevices();
  struct Unplug {
    ~Unplug() {
      QUARLE_AUDIO::CloseMidiInput();
      platform::MidiFakeRemoveAll();
      QUARLE_AUDIO::MidiUi = QUARLE_AUDIO::MidiUiHooks{};
    }
  } unplug;
  int32_t slot = -1;
  {
    platform::MutexGuard devices(QUARLE_AUDIO::MT_MIDIDEVICES);
    slot = FindMidiDevice("Keys");
  }
  ASSERT_GE(slot, 0);
  CurrentKeyboardIndex.Store(0);
  const std::string demos = platform::FromOsPath(DemoFolder().string());
  const uint8_t note = 72;
  const int32_t key = MidiNoteToKey(note);
  auto keyboard = [] {
    for (int32_t i = 0; i < ModuleList.count; ++i) {
      ModuleRecord* m = ModuleList.entries[i];
      if (m != nullptr && m->Type == kTypeKeyboard && m->InstanceNumber.Load() == CurrentKeyboardIndex.Load() + 1) return m;
    }
    return static_cast<ModuleRecord*>(nullptr);
  };
  auto held = [&](int32_t state) {
    platform::MutexGuard voices(KeyboardVoiceLocks[state]);
    const KeyboardState& s = *KeyboardStates[state].Load();
    const int32_t h = FindHeldKey(s, static_cast<uint32_t>(key));
    return h >= 0 && s.HeldKeys[h].Voice.Load() >= 0 && s.VoicesOn.Load() > 0;
  };

  int32_t withKeyboard = 0;
  int32_t playedAsShipped = 0;
  for (const auto& e : fs::directory_iterator(DemoFolder())) {
    const std::string demo = e.path().filename().string();
    if (e.path().extension() != ".tarvelo") continue;
    Reset();
    ASSERT_EQ(LoadSynth(demos, demo), 0);
    if (keyboard() == nullptr) continue;
    ++withKeyboard;
    for (const Route& r : routes) {
      SCOPED_TRACE(demo + ", " + r.name);
      Reset();
      ASSERT_EQ(LoadSynth(demos, demo), 0);
      ModuleRecord* kb = keyboard();
      ASSERT_NE(kb, nullptr);
      if (r.saved) {
        kb->MidiChannelFilter.Store(r.filter);
        kb->MidiDeviceBinding.Store(r.bound ? slot + 1 : 0);
        ASSERT_EQ(SaveSession(Home("SYNTHS"), "midi.tarvelo"), 0);
        Reset();
        ASSERT_EQ(LoadSynth(Home("SYNTHS"), "midi.tarvelo"), 0);
        kb = keyboard();
        ASSERT_NE(kb, nullptr);
      }
      const int32_t state = kb->InstanceNumber.Load() - 1;
      ASSERT_TRUE(platform::MidiFakeSend(device, {static_cast<uint8_t>(0x90 | r.channel), note, 100}));
      ASSERT_TRUE(platform::MidiInFlush(30.0));
      EXPECT_EQ(held(state), r.plays);
      if (!r.saved) playedAsShipped += held(state);
      if (!r.plays || !held(state)) continue;
      double energy = 0.0;
      const std::vector<float> sound = RenderLeft(0.2);
      for (float v : sound) energy += static_cast<double>(v) * v;
      EXPECT_GT(std::sqrt(energy / static_cast<double>(sound.size())), 0.01) << "silent";
    }
  }
  EXPECT_GE(withKeyboard, 6);
  EXPECT_EQ(playedAsShipped, withKeyboard);
}

}  // namespace
}  // namespace doc_test
}  // namespace Tarvelo
