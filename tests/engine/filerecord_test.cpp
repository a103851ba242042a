// Module file records: the byte layout, a module flattened and loaded back
// equal, damaged records that must still give a working module, master
// presets, and the binding of the MIDI maps after a load.
#include "engine/filerecord.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "app/fixed_tables.h"
#include "basics/messages.h"
#include "engine/catalog/catalog.h"
#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/ui_hooks.h"

namespace Tarvelo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr int32_t kTestType = 33;  // a logic type, shaped by the tests

std::string g_devices[kMidiDeviceSlots];
std::string DeviceName(int32_t slot) { return g_devices[slot]; }
std::vector<std::string> g_reports;
void Capture(const std::string& text, int32_t) { g_reports.push_back(text); }

// Gives a template a known set of ports and settings: each ranges -1..1 with
// the default 0.25; parameter 1 is a time in seconds.
void Shape(int32_t type, int32_t ports, int32_t params, int32_t category) {
  ModuleRecord& t = ModuleCatalog[type];
  t.PortCount = ports;
  t.ParamCount = params;
  t.Category = category;
  t.PolyphonyCapability = 2;
  t.KeepsState = 0;
  t.RequiredPort = ports > 0 ? 0 : -1;
  for (int32_t p = 0; p < params; ++p) {
    ModuleParam& q = t.Params[p];
    q.Min = -1.0f;
    q.Max = 1.0f;
    q.Scale = 1.0f;
    q.InitialValue = 0.25f;
    q.RangeLow.Store(-1.0f);
    q.RangeHigh.Store(1.0f);
    q.Step.Store(0.1f);
    q.OutputSide.Store(q.DefaultOutputSide = 0);
    q.ChannelCountExempt = 0;
    q.Global.Store(0);
    q.SideSwap = 0;
    q.WriteBothChannels = -1;
    q.IntegerFlag = 0;
    ParamValueSetFormat(q.Number, 0, p == 1 ? 2 : 0, p == 1 ? 1 : 0);  // seconds
    ModuleSetParamValue(t, p, 0.25f);
  }
}

class FileRecordTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetUnitTable();
    SetRateConstants(48000.0f);
    FillIndexMaps();
    FillKernelTables();
    ASSERT_EQ(BuildCatalog(), 0);
  }
  // Later suites get the catalog as the start-up builds it.
  static void TearDownTestSuite() { BuildCatalog(); }

  void SetUp() override {
    Shape(kTestType, 3, 5, kCategoryLogic);
    ASSERT_EQ(InitModuleLists(), 0);
    ASSERT_EQ(InitMidiMaps(), 0);
    for (std::string& d : g_devices) d.clear();
    MidiDevices = MidiDeviceHooks{nullptr, DeviceName};
    EngineUi = EngineUiHooks{};
    g_reports.clear();
    QUARLE_BASICS::MessageHook = Capture;
    rec = std::make_unique<ModuleFileRecord>();
    rec2 = std::make_unique<ModuleFileRecord>();
  }
  void TearDown() override {
    FreeModuleLists();
    FreeMidiMaps();
    MidiDevices = MidiDeviceHooks{};
    QUARLE_BASICS::MessageHook = nullptr;
    for (ModuleRecord& t : ModuleCatalog) t.OutputCount.Store(0);
  }

  // A new module of a type at the next list position.
  ModuleRecord* Add(int32_t type) {
    ModuleRecord* m = nullptr;
    int32_t i = ModuleList.count;
    EXPECT_EQ(NewModuleRecord(&m, type, i), 0);
    ModuleList.entries[i] = m;
    ModuleList.count = i + 1;
    m->InstanceNumber.Store(1);
    return m;
  }
  // Loads a record into a fresh module put in place of list entry i.
  ModuleRecord* Reload(ModuleFileRecord& r, int32_t i, int64_t legacy = 0) {
    ModuleRecord* m = nullptr;
    int32_t type = r.Type;
    EXPECT_EQ(NewModuleRecord(&m, type, i), 0);
    ModuleRecordDelete(ModuleList.entries[i]);
    ModuleList.entries[i] = m;
    EXPECT_EQ(LoadModuleFromFileRecord(r, m, ModuleList.count, nullptr, legacy), 0);
    return m;
  }

  std::unique_ptr<ModuleFileRecord> rec, rec2;
};

// The header's sizes and the block offsets are held by static_asserts beside
// the record; these are the positions inside it that nothing else pins.
TEST_F(FileRecordTest, Layout) {
  const auto* base = reinterpret_cast<const char*>(rec.get());
  auto at = [base](const void* p) { return reinterpret_cast<const char*>(p) - base; };
  const ParamFileBlock& p1 = rec->Params[1];
  const std::pair<ptrdiff_t, ptrdiff_t> offsets[] = {
      {at(&rec->X), 0}, {at(&rec->Y), 4}, {at(&rec->Type), 8}, {at(&rec->Instance), 12},
      {at(&rec->MidiDeviceBinding), 16}, {at(&rec->ProcessingDepth), 20},
      {at(&rec->LibraryIndex), 24}, {at(&rec->ChannelFilter), 28},
      {at(&p1.DisplayUnit) - at(&p1), 4}, {at(&p1.DisplayPrecision) - at(&p1), 8},
      {at(&p1.DisplayWord) - at(&p1), 12}, {at(&p1.Global) - at(&p1), 16},
      {at(&p1.BothChannels) - at(&p1), 24}, {at(&p1.Image) - at(&p1), 32},
      {at(&rec->Params[2]), 304 + 824 * 2}, {at(&p1.Image[0][32][0]) - at(&p1), 288},
      {at(&p1.Image[0][32][1]) - at(&p1), 292}, {at(&p1.Image[1][32][0]) - at(&p1), 552},
      {at(&p1.Image[2][32][0]) - at(&p1), 816}, {at(&rec->Slots[0][32][1]), 27772},
      {at(&rec->Slots[1][32][1]), 28036}, {at(&rec->Slots[1][5][0]), 27512 + 8 * (33 + 5)}};
  for (size_t i = 0; i < std::size(offsets); ++i) EXPECT_EQ(offsets[i].first, offsets[i].second) << i;
}

TEST_F(FileRecordTest, LinkedAndUnlinkedPorts) {
  for (int32_t i = 0; i < 3; ++i) Add(kTestType);
  ModuleRecord* source = Add(kTestType);  // list index 3
  ModuleRecord* m = Add(kTestType);
  ASSERT_EQ(ModuleLinkInput(*m, 0, source, &ModuleCatalog[kTestType]), kLinkConnected);
  ModuleSetParamValue(*m, 1, -0.5f);
  ModuleToFileRecord(*rec, m);
  int32_t stored;
  std::memcpy(&stored, reinterpret_cast<const char*>(rec.get()) + 32, 4);
  EXPECT_EQ(stored, 3);
  EXPECT_EQ(rec->PortSources[1], -1);

  ModuleRecord* back = Reload(*rec, 4);
  EXPECT_EQ(back->PortSources[0].Load(), ModuleList.entries[3]);
  EXPECT_EQ(back->Params[0].PortLinkState.Load(), kPortLinked);
  bool listed = false;
  for (int32_t i = 0; i < source->OutputCount.Load(); ++i)
    listed |= source->OutputTargets[i] == back && source->OutputTargetPorts[i] == 0;
  EXPECT_TRUE(listed);
  EXPECT_EQ(back->PortSources[1].Load(), back->PortValueModules[1]);
  EXPECT_EQ(back->Params[1].PortLinkState.Load(), kPortUnlinked);
  EXPECT_FLOAT_EQ(back->Params[1].Value.Load(), -0.5f);
  EXPECT_FLOAT_EQ(back->PortValueModules[1]->Outputs[0][0].Level, -0.5f);
}

TEST_F(FileRecordTest, ModuleLoadsBackEqual) {
  ModuleCatalog[kTestType].KeepsState = -1;
  ModuleRecord* other = Add(kTestType);
  ModuleRecord* m = Add(kTestType);
  m->InstanceNumber.Store(2);
  m->ProcessingDepth = 4;
  m->MidiDeviceBinding.Store(7);
  m->OptionWords[0] = 123;
  m->OptionWords[1] = -5;
  m->MidiChannelFilter.Store(3);
  ModuleSetPolyphonyPort(*m, 1);
  m->ModuleSwitches[kSwitch2].Store(-1);
  m->ModuleSwitches[kSwitchPerVoice].Store(-1);
  m->ModuleSwitches[kSwitchRecord].Store(-1);
  ASSERT_EQ(ModuleLinkInput(*m, 2, m, &ModuleCatalog[kTestType]), kLinkConnected);  // to itself
  ASSERT_EQ(ModuleLinkInput(*m, 0, other, &ModuleCatalog[kTestType]), kLinkConnected);
  m->Params[0].WriteBothChannels = 0;
  ModuleSetParamValue(*m, 0, 0.5f);
  m->PortValueModules[0]->Outputs[1][5] = OutputElement{0.3f, -0.3f};
  ModuleParam& time = m->Params[1];
  time.Number.Unit = 2;  // shown in hertz
  time.Number.DisplayMode = 1;
  ModuleSetParamValue(*m, 1, 0.75f);
  time.RangeLow.Store(-0.5f);
  time.RangeHigh.Store(0.9f);
  time.Step.Store(0.2f);
  m->Params[2].SideSwap = -1;
  m->Params[3].Global.Store(-1);
  for (int32_t v = 0; v < kVoices; ++v) m->VoiceState[1][v] = 0.01f * v;

  ModuleToFileRecord(*rec, m);
  ModuleRecord* back = Reload(*rec, 1);
  EXPECT_EQ(back->InstanceNumber.Load(), 2);
  EXPECT_EQ(back->ProcessingDepth, 4);
  EXPECT_EQ(back->MidiDeviceBinding.Load(), 7);
  EXPECT_EQ(back->OptionWords[1], -5);
  EXPECT_EQ(back->MidiChannelFilter.Load(), 3);
  EXPECT_EQ(back->ChosenSourcePort, 1);
  EXPECT_EQ(back->VoiceMapSourcePort.Load(), 1);
  EXPECT_EQ(back->ModuleSwitches[kSwitch2].Load(), -1);
  EXPECT_EQ(back->ModuleSwitches[kSwitchRecord].Load(), -1);
  EXPECT_EQ(back->PolyphonyMode.Load(), 1);
  EXPECT_EQ(back->PortSources[2].Load(), back);
  EXPECT_EQ(back->Params[2].PortLinkState.Load(), kPortSelfLinked);
  EXPECT_EQ(back->PortSources[0].Load(), other);
  EXPECT_EQ(back->PortSources[3].Load(), ModuleCatalog[kTestType].PortValueModules[3]);
  EXPECT_EQ(back->Params[3].PortLinkState.Load(), kPortGlobal);
  EXPECT_EQ(back->PortValueModules[0]->ChannelsProcessed.Load(), 2);
  EXPECT_EQ(back->ChannelsProcessed.Load(), 2);
  EXPECT_FLOAT_EQ(back->PortValueModules[0]->Outputs[1][5].Frequency, -0.3f);
  EXPECT_EQ(back->Params[1].Number.Unit, 2);
  EXPECT_EQ(back->Params[1].Number.DisplayMode, 1);
  EXPECT_FLOAT_EQ(back->Params[1].Number.Base.value, 1.0f / 0.75f);  // 0.75 s in hertz
  EXPECT_FLOAT_EQ(back->Params[1].RangeHigh.Load(), 0.9f);
  EXPECT_EQ(back->Params[2].SideSwap, -1);
  EXPECT_EQ(back->Params[2].OutputSide.Load(), 1);
  EXPECT_FLOAT_EQ(back->VoiceState[1][31], 0.31f);

  // Flattened again, the record is the same to the byte.
  ModuleToFileRecord(*rec2, back);
  EXPECT_EQ(std::memcmp(rec.get(), rec2.get(), sizeof(ModuleFileRecord)), 0);
}

// A voice state the render left non-finite (a phase driven by an infinite or
// NaN frequency) is stored as the load takes it, 0: a synth saved, loaded and
// saved again gives the same bytes. Every finite state is stored as it is.
TEST_F(FileRecordTest, NonFiniteVoiceStatesAreStoredAsTheLoadTakesThem) {
  ModuleCatalog[kTestType].KeepsState = -1;
  ModuleRecord* m = Add(kTestType);
  const float inf = std::numeric_limits<float>::infinity();
  const float tiny = std::numeric_limits<float>::denorm_min();
  const struct {
    int32_t ch, v;
    float held, stored;
  } cases[] = {{0, 0, kNaN, 0.0f},  {0, 31, inf, 0.0f},  {1, 5, -inf, 0.0f},   {1, 31, -kNaN, 0.0f},
               {0, 7, 1e30f, 1e30f}, {1, 0, -0.0f, -0.0f}, {0, 1, tiny, tiny}, {1, 1, 0.75f, 0.75f}};
  for (const auto& c : cases) m->VoiceState[c.ch][c.v] = c.held;
  ModuleToFileRecord(*rec, m);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "VoiceState[" << c.ch << "][" << c.v << "] = " << c.held);
    EXPECT_EQ(std::memcmp(&rec->Slots[c.ch][c.v][0], &c.stored, 4), 0) << rec->Slots[c.ch][c.v][0];
  }
  ModuleRecord* back = Reload(*rec, 0);
  ModuleToFileRecord(*rec2, back);
  EXPECT_EQ(std::memcmp(rec.get(), rec2.get(), sizeof(ModuleFileRecord)), 0);
}

// A module playing a library entry keeps its saved state too (a Sample's read
// positions): the attach, which resets the voices, comes before the restore.
TEST_F(FileRecordTest, AnAttachedEntryKeepsTheSavedState) {
  ModuleRecord* s = Add(kTypeSample);
  ASSERT_NE(s->KeepsState, 0);
  for (int32_t v = 0; v < kVoices; ++v) s->VoiceState[0][v] = 0.25f + 0.01f * v;
  ModuleToFileRecord(*rec, s);
  ModuleRecord* back = nullptr;
  int32_t type = kTypeSample;
  ASSERT_EQ(NewModuleRecord(&back, type, 0), 0);
  auto* entry = reinterpret_cast<WaveLibraryEntry*>(rec2.get());  // a token: nothing describes it
  ASSERT_EQ(LoadModuleFromFileRecord(*rec, back, ModuleList.count, entry, 0), 0);
  EXPECT_EQ(back->SampleEntry.Load(), entry);
  EXPECT_FLOAT_EQ(back->VoiceState[0][31], 0.56f);
  ModuleRecordDelete(back);
}

TEST_F(FileRecordTest, DamagedValuesBecomeDefaults) {
  ModuleRecord* m = Add(kTestType);
  ModuleToFileRecord(*rec, m);
  ParamFileBlock& b0 = rec->Params[0];
  b0.Value = 5.0f;
  b0.Image[0][0][0] = 7.0f;
  b0.Image[1][3][1] = kNaN;
  b0.Image[0][32][0] = kNaN;   // range low
  b0.Image[1][32][0] = 1e30f;  // range high
  b0.Image[2][32][0] = 0.0f;   // step
  b0.Image[0][32][1] = kNaN;   // side swap
  ParamFileBlock& b1 = rec->Params[1];
  b1.Value = kNaN;
  b1.DisplayUnit = 99;
  b1.DisplayPrecision = -9;
  b1.DisplayWord = -3;
  b1.Image[0][32][0] = 0.4f;
  b1.Image[1][32][0] = 0.4f;  // an empty range
  ParamFileBlock& b2 = rec->Params[2];
  b2.Value = -std::numeric_limits<float>::infinity();
  b2.DisplayUnit = INT32_MIN;
  rec->Slots[0][32][1] = kNaN;  // chosen port
  rec->ChannelFilter = -3;
  rec->PortSources[0] = 999;
  rec->PortSources[1] = -7;

  ModuleRecord* back = Reload(*rec, 0);
  const ModuleParam& p0 = back->Params[0];
  EXPECT_FLOAT_EQ(p0.Value.Load(), 0.25f);
  EXPECT_FLOAT_EQ(back->PortValueModules[0]->Outputs[0][0].Level, 0.25f);
  EXPECT_FLOAT_EQ(back->PortValueModules[0]->Outputs[1][3].Frequency, 0.25f);
  EXPECT_FLOAT_EQ(p0.RangeLow.Load(), -1.0f);
  EXPECT_FLOAT_EQ(p0.RangeHigh.Load(), 1.0f);
  EXPECT_FLOAT_EQ(p0.Step.Load(), 2.0f / 127.0f);
  EXPECT_EQ(p0.SideSwap, 0);
  const ModuleParam& p1 = back->Params[1];
  EXPECT_FLOAT_EQ(p1.Value.Load(), 0.25f);
  EXPECT_EQ(p1.Number.Unit, 3);  // the last time unit
  EXPECT_EQ(p1.Number.DisplayMode, 5);
  EXPECT_EQ(p1.Number.Reserved0, 1);
  EXPECT_FLOAT_EQ(p1.RangeLow.Load(), -1.0f);
  EXPECT_FLOAT_EQ(p1.RangeHigh.Load(), 1.0f);
  EXPECT_FLOAT_EQ(back->Params[2].Value.Load(), 0.25f);
  EXPECT_EQ(back->Params[2].Number.Unit, 0);
  EXPECT_EQ(back->ChosenSourcePort, -1);
  EXPECT_EQ(back->VoiceMapSourcePort.Load(), 0);
  EXPECT_EQ(back->MidiChannelFilter.Load(), 0);
  EXPECT_EQ(back->PortSources[0].Load(), back->PortValueModules[0]);
  EXPECT_EQ(back->PortSources[1].Load(), back->PortValueModules[1]);

  rec->Slots[0][32][1] = 1e30f;
  rec->ChannelFilter = 99;
  rec->PortSources[0] = 0;  // names the module itself: a self link
  back = Reload(*rec, 0);
  EXPECT_EQ(back->ChosenSourcePort, 2);  // the last port
  EXPECT_EQ(back->VoiceMapSourcePort.Load(), 2);
  EXPECT_EQ(back->MidiChannelFilter.Load(), 0);
  EXPECT_EQ(back->PortSources[0].Load(), back);
}

TEST_F(FileRecordTest, EmptyOrFullSourcesLeavePortsUnlinked) {
  ModuleRecord* source = Add(kTestType);
  Add(kTestType);
  ModuleRecord* m = Add(kTestType);
  ModuleToFileRecord(*rec, m);
  rec->PortSources[0] = 0;
  rec->PortSources[1] = 1;
  ModuleRecordDelete(ModuleList.entries[1]);
  ModuleList.entries[1] = nullptr;  // a dropped record
  static ModuleRecord dummy;
  for (int32_t i = 0; i < kMaxOutputTargets; ++i) source->OutputTargets[i] = &dummy;
  source->OutputCount.Store(kMaxOutputTargets);
  ModuleRecord* back = Reload(*rec, 2);
  EXPECT_EQ(back->PortSources[0].Load(), back->PortValueModules[0]);
  EXPECT_EQ(back->PortSources[1].Load(), back->PortValueModules[1]);
  EXPECT_EQ(source->OutputCount.Load(), kMaxOutputTargets);
  ASSERT_FALSE(g_reports.empty());
  EXPECT_EQ(g_reports.back(), "OUTPUT FULL (MAX 256)");
  source->OutputCount.Store(0);
}

TEST_F(FileRecordTest, FeedbackSeed) {
  ModuleRecord* m = Add(kTestType);
  ModuleToFileRecord(*rec, m);
  rec->Params[4].Value = 0.0f;
  rec->Params[4].BothChannels = 0;
  for (int32_t v = 0; v < kVoices; ++v)
    for (int32_t ch = 0; ch < 2; ++ch) rec->Params[4].Image[ch][v][0] = rec->Params[4].Image[ch][v][1] = 0.0f;
  // A file of the old layout never stored a seed: its 0 becomes 0.5.
  ModuleRecord* back = Reload(*rec, 0, -1);
  EXPECT_FLOAT_EQ(back->Params[4].Value.Load(), 0.5f);
  EXPECT_EQ(back->Params[4].WriteBothChannels, -1);
  EXPECT_FLOAT_EQ(back->PortValueModules[4]->Outputs[1][0].Frequency, 0.5f);

  // A newer file's 0.0 is a seed the user set (it is within the range): kept.
  back = Reload(*rec, 0);
  EXPECT_FLOAT_EQ(back->Params[4].Value.Load(), 0.0f);
  EXPECT_EQ(back->Params[4].WriteBothChannels, 0);
  EXPECT_FLOAT_EQ(back->PortValueModules[4]->Outputs[0][0].Level, 0.0f);
  EXPECT_FLOAT_EQ(back->PortValueModules[4]->Outputs[1][0].Frequency, 0.0f);

  // A type without ports has no seed: its last setting keeps a stored 0.
  Shape(kTestType, 0, 5, kCategoryLogic);
  back = Reload(*rec, 0, -1);
  EXPECT_FLOAT_EQ(back->Params[4].Value.Load(), 0.0f);
}

TEST_F(FileRecordTest, MasterPresets) {
  ModuleRecord& t = ModuleCatalog[kTestType];
  ModuleToFileRecord(*rec, &t);
  EXPECT_EQ(rec->Instance, 0);
  rec->Params[2].Value = -0.75f;
  rec->Switches[kSwitch2] = 1;
  t.SampleEntry.Store(reinterpret_cast<WaveLibraryEntry*>(&t));
  ApplyMasterPreset(*rec, 0);
  EXPECT_FLOAT_EQ(t.Params[2].Value.Load(), -0.75f);
  EXPECT_EQ(t.ModuleSwitches[kSwitch2].Load(), -1);
  EXPECT_EQ(t.SampleEntry.Load(), nullptr);
  EXPECT_EQ(ModuleList.count, 0);

  // Reset to what the start-up stored.
  StoreMasterPresets();
  EXPECT_EQ(MasterPresets[kTestType].X, 0);
  t.Params[2].Value.Store(0.9f);
  ApplyAllMasterPresets();
  EXPECT_FLOAT_EQ(t.Params[2].Value.Load(), -0.75f);

  rec->Type = -3;
  rec->Params[0].Value = 0.0f;
  ApplyMasterPreset(*rec, 0);
  EXPECT_EQ(rec->Type, 0);
  rec->Type = 50;
  ApplyMasterPreset(*rec, 0);  // nothing to apply to
  EXPECT_EQ(rec->Type, 50);
}

TEST_F(FileRecordTest, OldFilesAndTypeRules) {
  Shape(kTypeAdsr, 2, 9, kCategoryControl);
  ModuleRecord* env = Add(kTypeAdsr);
  ModuleToFileRecord(*rec, env);
  // An old file's retrigger factor (stored 0.1 or 0) plays as 1.0 on every
  // channel and voice its value module publishes; a newer one as stored.
  const struct {
    int64_t legacy;
    float stored, plays;
  } factors[] = {{-1, 0.1f, 1.0f}, {-1, 0.0f, 1.0f}, {0, 0.1f, 0.1f}};
  ModuleRecord* back = nullptr;
  for (const auto& f : factors) {
    rec->Params[7].Value = f.stored;
    for (auto& row : rec->Params[7].Image)
      for (int32_t v = 0; v < 32; ++v) row[v][0] = row[v][1] = f.stored;
    back = Reload(*rec, 0, f.legacy);
    EXPECT_FLOAT_EQ(back->Params[7].Value.Load(), f.plays);
    int32_t wrong = 0;
    for (int32_t ch = 0; ch < 2; ++ch)
      for (int32_t v = 0; v < kVoices; ++v) {
        const OutputElement& e = back->PortValueModules[7]->Outputs[ch][v];
        wrong += e.Level != f.plays || e.Frequency != f.plays;
      }
    EXPECT_EQ(wrong, 0) << f.legacy << ", " << f.stored;
  }
  EXPECT_EQ(back->ModuleSwitches[kSwitchEnvelope].Load(), -1);
  EXPECT_EQ(back->ModuleSwitches[kSwitchZeroOut].Load(), -1);

  Shape(kTypeKeyboard, 0, 2, kCategoryControl);
  ModuleRecord* kb = Add(kTypeKeyboard);
  ModuleToFileRecord(*rec, kb);
  rec->Switches[kSwitch1] = 0;
  rec->MidiDeviceBinding = 55;  // no such device slot
  back = Reload(*rec, 1);
  EXPECT_EQ(back->ModuleSwitches[kSwitchKillReleased].Load(), -1);
  EXPECT_EQ(back->MidiDeviceBinding.Load(), 0);
  rec->MidiDeviceBinding = 16;
  rec->Switches[kSwitch1] = 5;
  rec->Slots[1][32][1] = 7.0f;  // output channels of a type without ports
  back = Reload(*rec, 1);
  EXPECT_EQ(back->ModuleSwitches[kSwitchKillReleased].Load(), 0);
  EXPECT_EQ(back->ModuleSwitches[kSwitch1].Load(), -1);
  EXPECT_EQ(back->MidiDeviceBinding.Load(), 16);
  EXPECT_EQ(back->OutputChannels.Load(), 2);

  ModuleCatalog[kTestType].PolyphonyCapability = 0;
  ModuleRecord* m = Add(kTestType);
  ModuleToFileRecord(*rec, m);
  rec->Switches[kSwitchPerVoice] = 1;
  back = Reload(*rec, 2);
  EXPECT_EQ(back->ModuleSwitches[kSwitchPerVoice].Load(), 0);
  EXPECT_EQ(back->PolyphonyMode.Load(), 0);
  EXPECT_EQ(back->ModuleSwitches[kSwitchPlay].Load(), -1);
}

TEST_F(FileRecordTest, MidiMapsBindAfterALoad) {
  ModuleRecord* a = Add(kTestType);
  Add(kTestType);
  ModuleRecord* kb = Add(kTypeKeyboard);
  kb->MidiDeviceBinding.Store(1);
  kb->MidiChannelFilter.Store(0);
  kb->InstanceNumber.Store(CurrentKeyboardIndex.Load() + 1);
  ModuleRecord* kb2 = Add(kTypeKeyboard);
  kb2->MidiDeviceBinding.Store(1);
  kb2->MidiChannelFilter.Store(3);
  kb2->InstanceNumber.Store(CurrentKeyboardIndex.Load() + 2);
  g_devices[0] = "Dev A";
  g_devices[1] = "New";

  MidiMap& map = MidiMaps[0];
  std::strcpy(map.DeviceName, "Dev A");
  auto& e = map.Entries;
  e[1][0] = MidiMapEntry{kMidiParamOfSelected, 0, 0, 0, nullptr, 0, 1};  // upgraded to a fixed binding
  e[2][0] = MidiMapEntry{kMidiFixedParam, 0, 0, 0, nullptr, 1, 20};      // no such parameter
  e[3][0] = MidiMapEntry{kMidiFixedParam, 0, 0, 0, nullptr, -45, 1};     // no such template
  e[4][0] = MidiMapEntry{kMidiSelectedParam, 0, 0, 0, nullptr, -1, 2};   // upgraded to mode 2
  e[5][0] = MidiMapEntry{kMidiFixedParam, 0, 0, 0, nullptr, 7, 1};       // beyond the records
  e[6][0] = MidiMapEntry{kMidiParamOfSelected, 0, 0, 0, nullptr, -2 - kTestType, 3};

  // As a load calls it: the modules stand at their places, and the list is
  // given its count only after.
  const int32_t placed = ModuleList.count;
  ModuleList.count = 0;
  RebindMidiMaps(placed);
  ModuleList.count = placed;
  EXPECT_EQ(e[1][0].Mode, kMidiFixedParam);
  EXPECT_EQ(e[1][0].Target, a);
  EXPECT_EQ(a->Params[1].MidiMapCount.Load(), 1);
  EXPECT_EQ(a->MidiMapped, -1);
  EXPECT_EQ(e[2][0].Mode, kMidiUnbound);
  EXPECT_EQ(e[3][0].Mode, kMidiUnbound);
  EXPECT_EQ(e[4][0].Mode, kMidiParamOfSelected);
  EXPECT_EQ(e[4][0].Target, nullptr);
  EXPECT_EQ(e[5][0].Mode, kMidiUnbound);
  EXPECT_EQ(e[6][0].Target, &ModuleCatalog[kTestType]);
  EXPECT_EQ(map.ChannelKeyboards[0], kb);
  EXPECT_EQ(map.ChannelKeyboards[2], kb2);
  EXPECT_EQ(map.ChannelKeyboards[15], kb);
  EXPECT_EQ(MidiDeviceMaps[0], &map);
  EXPECT_EQ(map.Claimed, -1);
  EXPECT_EQ(MidiDeviceMaps[1], &MidiMaps[1]);
  EXPECT_STREQ(MidiMaps[1].DeviceName, "New");
  EXPECT_EQ(CurrentKeyboard.load(), kb);

  ClearMidiMapEntry(e[6][0]);
  ClearMidiMapEntry(e[1][0]);
  EXPECT_EQ(a->Params[1].MidiMapCount.Load(), 0);
}

}  // namespace
}  // namespace Tarvelo
