// MIDI controller maps: giving maps to devices, learning, detecting the kind
// of a control, moving parameters, and the synth-file section with its damaged
// forms.
#include "engine/midimap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "basics/queues.h"
#include "engine/catalog/catalog.h"
#include "engine/filerecord.h"
#include "engine/globals.h"
#include "engine/modulelist.h"
#include "engine/ui_hooks.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace Tarvelo {
namespace {

std::string g_devices[kMidiDeviceSlots];
std::string DeviceName(int32_t slot) { return g_devices[slot]; }

std::vector<std::pair<int32_t, int64_t>> g_onCalls;
int32_t NamedId(int32_t named) { return 100 + named; }
void RecordOn(int32_t control, int64_t on) { g_onCalls.emplace_back(control, on); }

// A module with `params` parameters, each with its port value module and a
// control range of 0..10 in steps of 0.5.
ModuleRecord* MakeModule(int32_t params) {
  ModuleRecord* m = ModuleRecordNew();
  m->ParamCount = params;
  for (int32_t p = 0; p < params; ++p) {
    m->PortValueModules[p] = ModuleRecordNew();
    m->PortSources[p].Store(m->PortValueModules[p]);
    ModuleParam& q = m->Params[p];
    q.Min = 0.0f;
    q.Max = 10.0f;
    q.RangeLow.Store(0.0f);
    q.RangeHigh.Store(10.0f);
    q.Step.Store(0.5f);
  }
  return m;
}

class MidiMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ownLock = MT_MIDIMAPS == nullptr;
    if (ownLock) MT_MIDIMAPS = platform::MutexCreate();
    ASSERT_EQ(InitMidiMaps(), 0);
    ASSERT_EQ(InitModuleLists(), 0);
    for (std::string& d : g_devices) d.clear();
    g_devices[0] = "Dev A";
    MidiDevices = MidiDeviceHooks{nullptr, DeviceName};
    EngineUi = EngineUiHooks{};
    g_onCalls.clear();
    ParamEditMode.Store(0);
    a = MakeModule(4);
    b = MakeModule(4);
    List(a);
    List(b);
    char tmpl[] = "/tmp/tarvelo_midi_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    os = tmpl;
  }
  void TearDown() override {
    SelectedModule = nullptr;
    FreeModuleLists();  // frees a and b
    FreeMidiMaps();
    MidiDevices = MidiDeviceHooks{};
    EngineUi = EngineUiHooks{};
    if (ownLock) {
      platform::MutexDestroy(MT_MIDIMAPS);
      MT_MIDIMAPS = nullptr;
    }
    std::filesystem::remove_all(os);
  }

  static void List(ModuleRecord* m) {
    m->ListIndex.Store(ModuleList.count);
    ModuleList.entries[ModuleList.count++] = m;
  }
  MidiMap& DeviceMap(int32_t d) {
    int32_t i = FindMidiMapForDevice(d);
    EXPECT_GE(i, 0);
    return MidiMaps[i < 0 ? 0 : i];
  }
  int32_t Open(const std::string& name) {
    int32_t n = platform::FreeFile();
    EXPECT_EQ(platform::FileOpen(n, platform::FromOsPath(os + "/" + name), platform::kFileBinary), 0);
    return n;
  }
  void WriteFile(const std::string& name, const std::vector<unsigned char>& bytes) {
    int32_t n = Open(name);
    ASSERT_EQ(platform::FilePut(n, 0, bytes.data(), bytes.size()), 0);
    platform::FileClose(n);
  }
  int32_t LoadFrom(const std::string& name, bool old) {
    int32_t n = Open(name);
    int32_t rc = old ? LoadMidiMapsOld(n) : LoadMidiMaps(n);
    platform::FileClose(n);
    return rc;
  }

  bool ownLock = false;
  ModuleRecord* a = nullptr;
  ModuleRecord* b = nullptr;
  std::string os;
};

TEST_F(MidiMapTest, MapsGoOnlyToDevicesWithoutOne) {
  for (int32_t i = 0; i < kMidiMapCount; ++i) std::strcpy(MidiMaps[i].DeviceName, ("M" + std::to_string(i)).c_str());
  EXPECT_EQ(AssignFreeMidiMap(0), -1);  // a 17th device
  EXPECT_EQ(FindMidiMapForDevice(0), -1);
  std::strcpy(MidiMaps[9].DeviceName, "   ");
  EXPECT_EQ(FindMidiMapForDevice(0), 9);
  EXPECT_STREQ(MidiMaps[9].DeviceName, "Dev A");
  EXPECT_EQ(MidiMaps[9].Claimed, -1);
  EXPECT_EQ(MidiDeviceMaps[0], &MidiMaps[9]);
  g_devices[4] = "Dev A";  // the same device name on another slot finds the same map
  EXPECT_EQ(FindMidiMapForDevice(4), 9);
  EXPECT_EQ(FindMidiMapForDevice(5), -1);  // no device there
  EXPECT_EQ(FindMidiMapForDevice(-1), -1);
  EXPECT_EQ(FindMidiMapForDevice(16), -1);
}

TEST_F(MidiMapTest, LearningTwiceGivesTheFirstParameterItsCountBack) {
  EngineUi.ControlId = NamedId;
  EngineUi.SetOn = RecordOn;
  SelectedModule = a;
  a->SelectedParam.Store(1);
  MidiLearnArmed = kMidiFixedParam;
  MidiLearnBind(0, 10, 3, kMidiFixedParam);
  MidiMapEntry& e = DeviceMap(0).Entries[10][3];
  EXPECT_EQ(e.Mode, kMidiFixedParam);
  EXPECT_EQ(e.Target, a);
  EXPECT_EQ(a->Params[1].MidiMapCount.Load(), 1);
  EXPECT_EQ(MidiLearnArmed, 0);
  ASSERT_FALSE(g_onCalls.empty());
  EXPECT_EQ(g_onCalls.back(), (std::pair<int32_t, int64_t>{100 + kControlMidiLearn2, -1}));

  a->SelectedParam.Store(2);
  MidiLearnBind(0, 10, 3, kMidiFixedParam);
  EXPECT_EQ(a->Params[1].MidiMapCount.Load(), 0);
  EXPECT_EQ(a->Params[2].MidiMapCount.Load(), 1);

  MidiLearnBind(0, 10, 3, kMidiSelectedParam);
  EXPECT_EQ(a->Params[2].MidiMapCount.Load(), 0);
  EXPECT_EQ(e.Mode, kMidiSelectedParam);
  EXPECT_EQ(e.Target, nullptr);
  EXPECT_EQ(e.Param, -1);

  MidiLearnBind(0, 11, 0, kMidiParamOfSelected);
  EXPECT_EQ(DeviceMap(0).Entries[11][0].Mode, kMidiParamOfSelected);
  EXPECT_EQ(DeviceMap(0).Entries[11][0].Param, 2);

  // Nothing selected that fits: the entry stays as it was.
  a->SelectedParam.Store(9);
  MidiLearnBind(0, 11, 0, kMidiFixedParam);
  EXPECT_EQ(DeviceMap(0).Entries[11][0].Mode, kMidiParamOfSelected);
  MidiLearnBind(0, 200, 0, kMidiSelectedParam);  // no such controller
  MidiLearnBind(7, 1, 0, kMidiSelectedParam);     // no such device
}

TEST_F(MidiMapTest, ControllerKindsAreDetected) {
  auto send = [](int32_t controller, std::initializer_list<float> values) {
    float time = 0.0f;
    for (float v : values) MidiControlChange(0, controller, 0, v, time += 10.0f);
  };
  MidiMap& map = DeviceMap(0);
  send(1, {0, 0});
  EXPECT_EQ(map.Entries[1][0].Kind, kControllerEndlessBounded);
  send(2, {65, 65});
  EXPECT_EQ(map.Entries[2][0].Kind, kControllerEndless64);
  send(3, {0, 127});
  EXPECT_EQ(map.Entries[3][0].Kind, kControllerButton);
  send(4, {5, 0, 127});  // a jump after the second message decides nothing
  EXPECT_EQ(map.Entries[4][0].Kind, kControllerAuto);

  float time = 0.0f;
  for (int32_t i = 1; i <= 24; ++i) {
    EXPECT_EQ(map.Entries[5][0].Kind, kControllerAuto) << i;
    MidiControlChange(0, 5, 0, static_cast<float>(i * 5 % 100 + 1), time += 10.0f);
  }
  EXPECT_EQ(map.Entries[5][0].Kind, kControllerStandard);
  EXPECT_EQ(map.Entries[5][0].SeenCount, 0);

  // Around 64: ten centre crossings, or three arriving at one time stamp.
  for (int32_t i = 1; i <= 11; ++i) {
    EXPECT_EQ(map.Entries[6][0].Kind, kControllerAuto) << i;
    MidiControlChange(0, 6, 0, i % 2 ? 64.0f : 63.0f, 10.0f * i);
  }
  EXPECT_EQ(map.Entries[6][0].Kind, kControllerEndless64);
  for (int32_t i = 1; i <= 4; ++i) MidiControlChange(0, 7, 0, i % 2 ? 64.0f : 65.0f, 500.0f);
  EXPECT_EQ(map.Entries[7][0].Kind, kControllerEndless64);
}

TEST_F(MidiMapTest, RelativeAndAbsoluteControllersMoveTheParameter) {
  MidiMap& map = DeviceMap(0);
  MidiMapEntry& e = map.Entries[20][0];
  e.Mode = kMidiFixedParam;
  e.Target = a;
  e.Param = 0;
  e.Kind = kControllerEndlessBounded;
  ModuleSetParamValue(*a, 0, 5.0f);
  map.LastValues[20][0] = 127.0f;
  MidiControlChange(0, 20, 0, 127, 1);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 5.5f);
  MidiControlChange(0, 20, 0, 127, 2);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 6.0f);
  MidiControlChange(0, 20, 0, 0, 3);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 5.5f);
  MidiControlChange(0, 20, 0, 0, 4);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 5.0f);
  EXPECT_EQ(a->Params[0].MidiMoved.Load(), -1);
  EXPECT_FLOAT_EQ(a->PortValueModules[0]->Outputs[0][0].Level, 5.0f);
  EXPECT_FLOAT_EQ(a->Params[0].Number.Base.value, 5.0f);  // the field shows it

  e.Kind = kControllerEndless64;
  MidiControlChange(0, 20, 0, 66, 5);  // +2 steps
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 6.0f);
  MidiControlChange(0, 20, 0, 0, 6);   // far below the range
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 0.0f);

  e.Kind = kControllerStandard;
  MidiControlChange(0, 20, 0, 127, 7);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 10.0f);
  a->Params[0].IntegerFlag = -1;
  MidiControlChange(0, 20, 0, 64, 8);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 5.0f);

  ParamEditMode.Store(1);  // editing the range: the value field is left alone
  a->Params[0].Number.Base.value = -3.0f;
  MidiControlChange(0, 20, 0, 127, 9);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 10.0f);
  EXPECT_FLOAT_EQ(a->Params[0].Number.Base.value, -3.0f);
}

// A move bound to the selection that comes from another thread than the
// interface's leaves the selection alone: it waits on queue 0, and the
// interface applies it to what is selected when it takes the message.
TEST_F(MidiMapTest, SelectionBoundMovesOffTheInterfaceThreadWaitForIt) {
  namespace B = QUARLE_BASICS;
  B::BasicsReset();
  ASSERT_EQ(B::BasicsCreateLocks(), 0);
  ASSERT_EQ(B::CreateCommandQueue(B::MainCommandQueue), 0);
  MidiMapEntry& e = DeviceMap(0).Entries[21][0];
  e.Mode = kMidiParamOfSelected;
  e.Param = 0;
  e.Kind = kControllerStandard;
  SelectedModule = a;
  ModuleSetParamValue(*a, 0, 5.0f);
  std::thread([] { platform::MarkInterfaceThread(); }).join();
  MidiControlChange(0, 21, 0, 127, 1);
  platform::ForgetInterfaceThread();
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 5.0f);

  B::CommandMessage* buffer = nullptr;
  B::ArrayHeader header;
  B::ArrayHeaderInit(header);
  ASSERT_EQ(B::FetchCommands(buffer, header, B::MainCommandQueue), 0);
  ASSERT_EQ(header.count, 1);
  const B::CommandMessage m = buffer[0];
  std::free(buffer);
  B::ArrayHeaderFree(header);
  B::BasicsShutdown();
  EXPECT_EQ(m.type, kMessageSelectedControllerMove);
  ApplySelectedControllerMove(static_cast<int32_t>(m.arg1), static_cast<int32_t>(m.arg2), m.single1,
                              m.arg3 != 0 ? -1 : 0);
  EXPECT_FLOAT_EQ(a->Params[0].Value.Load(), 10.0f);
}

// While playback runs the parameter values are the render callback's: a move
// bound to the selection and a value typed on the module page wait in the
// controller-move queue for the next frame, which sets the value and its
// level/frequency pair in one write.
TEST_F(MidiMapTest, InterfaceMovesWhilePlayingWaitForTheNextFrame) {
  SelectedModule = a;
  ModuleSetParamValue(*a, 1, 2.0f);
  PlaybackActive = -1;
  ApplySelectedControllerMove(kMidiParamOfSelected, 1, 1.0f, 0);  // to the range's top
  EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 2.0f);
  EXPECT_TRUE(SetParamValueOrQueue(*a, 2, 7.5f));
  EXPECT_FLOAT_EQ(a->Params[2].Value.Load(), 0.0f);
  EXPECT_TRUE(ControllerMovesPending());
  TakeControllerMoves(false);  // the interface may not take them while playing
  EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 2.0f);
  TakeControllerMoves(true);
  PlaybackActive = 0;
  EXPECT_FALSE(ControllerMovesPending());
  EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 10.0f);
  EXPECT_FLOAT_EQ(a->Params[2].Value.Load(), 7.5f);
  const OutputElement o = a->PortValueModules[2]->Outputs[0][0];
  EXPECT_FLOAT_EQ(o.Level, 7.5f);
  EXPECT_FLOAT_EQ(o.Frequency, 7.5f);
  // Playback off: set at once.
  EXPECT_FALSE(SetParamValueOrQueue(*a, 2, 1.5f));
  EXPECT_FLOAT_EQ(a->Params[2].Value.Load(), 1.5f);
  ApplySelectedControllerMove(kMidiParamOfSelected, 1, 0.0f, 0);
  EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 0.0f);
}

// With the render stalled the queue fills up, yet no value is lost: moves
// that find it full wait behind it, and the next take (a frame, or the
// interface while the frames are held) applies ring and waiting moves in the
// order they came. Relative steps show the order: applied before the ring's
// steps, the typed 2.0 would be stepped to the range's top.
TEST_F(MidiMapTest, AFullMoveQueueKeepsEveryValueInOrder) {
  SelectedModule = a;
  PlaybackActive = -1;
  struct Taker {
    const char* name;
    void (*take)();
  };
  const Taker takers[] = {{"a frame", [] { TakeControllerMoves(true); }},
                          {"a frame hold", [] { TakeControllerMovesWhileHeld(); }}};
  for (const Taker& t : takers) {
    SCOPED_TRACE(t.name);
    int32_t taken = 0;
    for (int32_t i = 1; i <= 300; ++i) taken += SetParamValueOrQueue(*a, 2, 0.01f * static_cast<float>(i));
    EXPECT_EQ(taken, 300);  // every one reported queued, and every one is
    ModuleSetParamValue(*a, 1, 0.0f);
    for (int32_t i = 0; i < 256; ++i) ApplySelectedControllerMove(kMidiParamOfSelected, 1, 1.0f, -1);
    EXPECT_TRUE(SetParamValueOrQueue(*a, 1, 2.0f));
    for (int32_t i = 0; i < 3; ++i) ApplySelectedControllerMove(kMidiParamOfSelected, 1, 1.0f, -1);
    EXPECT_FLOAT_EQ(a->Params[2].Value.Load(), 0.0f);
    t.take();
    EXPECT_FALSE(ControllerMovesPending());
    EXPECT_FLOAT_EQ(a->Params[2].Value.Load(), 3.0f);
    EXPECT_FLOAT_EQ(a->PortValueModules[2]->Outputs[0][0].Level, 3.0f);
    EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 3.5f);
    // With room again the ring takes the next value as before.
    EXPECT_TRUE(SetParamValueOrQueue(*a, 1, 4.0f));
    t.take();
    EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 4.0f);
    ModuleSetParamValue(*a, 2, 0.0f);
  }
  PlaybackActive = 0;
}

// Two producers and a render thread taking the queue as it plays: the ring
// fills and empties under them, and each producer's last value stays.
TEST_F(MidiMapTest, TwoProducersAndARenderLoseNoValue) {
  PlaybackActive = -1;
  std::atomic<bool> stop{false};
  std::thread render([&] {
    while (!stop.load()) {
      TakeControllerMoves(true);
      std::this_thread::yield();
    }
  });
  auto produce = [](ModuleRecord* m) {
    for (int32_t i = 1; i <= 4000; ++i) SetParamValueOrQueue(*m, 1, 0.0025f * static_cast<float>(i));
  };
  std::thread midi(produce, b);
  produce(a);
  midi.join();
  while (ControllerMovesPending()) std::this_thread::yield();
  stop = true;
  render.join();
  PlaybackActive = 0;
  EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 10.0f);
  EXPECT_FLOAT_EQ(b->Params[1].Value.Load(), 10.0f);
}

// The module page edits a control range on the interface thread while the
// render applies MIDI moves through it: every word is read whole, so a move
// lands inside the range of one edit or the other (and ThreadSanitizer sees
// no race).
TEST_F(MidiMapTest, RangeEditsWhileMovesRunOnTheRender) {
  SelectedModule = a;
  a->SelectedParam.Store(0);
  a->Params[0].RangeLow.Store(1.0f);
  a->Params[0].RangeHigh.Store(9.0f);
  std::atomic<bool> stop{false};
  std::atomic<int32_t> outside{0};
  std::thread render([&] {
    for (int32_t i = 0; !stop.load(); ++i) {
      ApplyControllerToParameter(a, 0, static_cast<float>(i % 128) / 127.0f, 0);
      const float v = a->Params[0].Value.Load();
      if (v < 1.0f || v > 9.0f) outside.fetch_add(1);
    }
  });
  // As the page's range buttons set it.
  auto mode = [](int32_t m) { ParamEditMode.Store(m); };
  for (int32_t i = 0; i < 4000; ++i) {
    float low = static_cast<float>(1 + i % 3);
    float high = static_cast<float>(7 + i % 3);
    mode(1);
    OnParamValueChange(&low);
    mode(2);
    OnParamValueChange(&high);
    mode(3);
    float step = 0.25f;
    OnParamValueChange(&step);
  }
  stop = true;
  render.join();
  mode(0);
  EXPECT_EQ(outside.load(), 0);
  EXPECT_GE(a->Params[0].RangeLow.Load(), 1.0f);
  EXPECT_LE(a->Params[0].RangeHigh.Load(), 9.0f);
  EXPECT_FLOAT_EQ(a->Params[0].Step.Load(), 0.25f);
}

TEST_F(MidiMapTest, RefusedBindingsAndWhatIsCleared) {
  EXPECT_EQ(ApplyControllerToParameter(nullptr, 0, 1.0f, 0), 0);
  EXPECT_EQ(ApplyControllerToParameter(a, -1, 1.0f, 0), 0);
  EXPECT_EQ(ApplyControllerToParameter(a, -5, 1.0f, 0), 0);
  EXPECT_EQ(ApplyControllerToParameter(a, 4, 1.0f, 0), 0);

  MidiMap& map = DeviceMap(0);
  MidiMapEntry& fixed = map.Entries[30][1];
  fixed.Mode = kMidiFixedParam;
  fixed.Kind = kControllerStandard;
  fixed.Target = a;
  fixed.Param = 7;  // beyond the module's four parameters
  MidiControlChange(0, 30, 1, 50, 1);
  EXPECT_EQ(fixed.Mode, kMidiUnbound);
  EXPECT_EQ(fixed.Target, nullptr);

  // Bindings that follow the selection survive a selection that doesn't fit.
  MidiMapEntry& any = map.Entries[31][1];
  any.Mode = kMidiSelectedParam;
  any.Kind = kControllerStandard;
  SelectedModule = a;
  a->SelectedParam.Store(-1);
  MidiControlChange(0, 31, 1, 50, 1);
  EXPECT_EQ(any.Mode, kMidiSelectedParam);
  a->SelectedParam.Store(1);
  MidiControlChange(0, 31, 1, 127, 2);
  EXPECT_FLOAT_EQ(a->Params[1].Value.Load(), 10.0f);
}

TEST_F(MidiMapTest, ResettingAMap) {
  MidiMap& live = DeviceMap(0);
  std::strcpy(live.DeviceName, "  Dev A ");
  MidiMap& gone = MidiMaps[5];
  std::strcpy(gone.DeviceName, "Unplugged");
  gone.Entries[3][3].Mode = kMidiSelectedParam;
  gone.LastValues[3][3] = 99.0f;
  a->Type = kTypeKeyboard;
  a->MidiDeviceBinding.Store(6);
  gone.ChannelKeyboards[0] = a;
  MidiDeviceMaps[7] = &gone;
  ResetMidiMap(gone);
  EXPECT_STREQ(gone.DeviceName, "");
  EXPECT_EQ(MidiDeviceMaps[7], nullptr);
  EXPECT_EQ(gone.Entries[3][3].Mode, kMidiUnbound);
  EXPECT_EQ(gone.LastValues[3][3], 0.0f);
  EXPECT_EQ(a->MidiDeviceBinding.Load(), 0);
  EXPECT_EQ(gone.ChannelKeyboards[0], nullptr);
  ResetMidiMap(live);
  EXPECT_STREQ(live.DeviceName, "Dev A");

  a->MidiDeviceBinding.Store(3);
  b->Type = kTypeKeyboard;
  b->MidiDeviceBinding.Store(4);
  UnbindKeyboardsFromDevice(2);
  EXPECT_EQ(a->MidiDeviceBinding.Load(), 0);
  EXPECT_EQ(b->MidiDeviceBinding.Load(), 4);
}

TEST_F(MidiMapTest, SectionRoundTrip) {
  ModuleRecord& templ = ModuleCatalog[5];
  const int32_t savedCount = templ.ParamCount;
  const int64_t savedMapped = templ.Params[1].MidiMapCount.Load();
  templ.ParamCount = savedCount > 2 ? savedCount : 2;

  MidiMap& m0 = DeviceMap(0);
  MidiMapEntry& fixed = m0.Entries[7][2];
  fixed = MidiMapEntry{kMidiFixedParam, kControllerEndless64, 1, 2, b, -1, 2};
  m0.Entries[0][0].Mode = kMidiSelectedParam;
  m0.Entries[127][15] = MidiMapEntry{kMidiParamOfSelected, kControllerEndlessBounded, 0, 0, nullptr, -1, 3};
  std::strcpy(MidiMaps[3].DeviceName, "  Pad  ");
  MidiMaps[3].Entries[64][0] = MidiMapEntry{kMidiFixedParam, 0, 0, 0, &templ, -1, 1};

  int32_t n = Open("maps.bin");
  ASSERT_EQ(SaveMidiMaps(n), 0);
  EXPECT_EQ(platform::FileLengthOf(n), 16 * 24704);
  std::vector<unsigned char> f(16 * 24704);
  ASSERT_EQ(platform::FileGet(n, 1, f.data(), f.size()), 0);
  platform::FileClose(n);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[0])), "Dev A");
  const unsigned char* e = &f[128 + (7 * 16 + 2) * 12];
  EXPECT_EQ(std::vector<unsigned char>(e, e + 4), (std::vector<unsigned char>{4, 4, 1, 2}));
  int32_t ref, param;
  std::memcpy(&ref, e + 4, 4);
  std::memcpy(&param, e + 8, 4);
  EXPECT_EQ(ref, 1);  // b's list position
  EXPECT_EQ(param, 2);
  std::memcpy(&ref, &f[3 * 24704 + 128 + 64 * 16 * 12 + 4], 4);
  EXPECT_EQ(ref, -7);  // the template of type 5
  std::memcpy(&ref, &f[128 + 4], 4);
  EXPECT_EQ(ref, -1);

  // Back in, as a synth load does it: read, then bind once the modules exist.
  ClearMidiMapTargets(b);
  MidiMaps[3].Entries[64][0] = MidiMapEntry{};
  templ.Params[1].MidiMapCount.Store(savedMapped);
  ASSERT_EQ(InitMidiMaps(), 0);
  ASSERT_EQ(LoadFrom("maps.bin", false), 0);
  RebindMidiMaps(ModuleList.count);
  const MidiMapEntry& back = MidiMaps[0].Entries[7][2];
  EXPECT_EQ(back.Mode, kMidiFixedParam);
  EXPECT_EQ(back.Kind, kControllerEndless64);
  EXPECT_EQ(back.Target, b);
  EXPECT_EQ(back.Param, 2);
  EXPECT_EQ(b->Params[2].MidiMapCount.Load(), 1);
  EXPECT_EQ(b->MidiMapped, -1);
  EXPECT_EQ(MidiMaps[0].Entries[0][0].Mode, kMidiSelectedParam);
  EXPECT_EQ(MidiMaps[0].Entries[127][15].Mode, kMidiParamOfSelected);
  EXPECT_EQ(MidiMaps[0].Entries[127][15].Param, 3);
  EXPECT_STREQ(MidiMaps[3].DeviceName, "Pad");
  EXPECT_EQ(MidiMaps[3].Slot, 3);
  EXPECT_EQ(MidiMaps[3].Entries[64][0].Target, &templ);
  EXPECT_EQ(templ.Params[1].MidiMapCount.Load(), savedMapped + 1);
  EXPECT_EQ(MidiDeviceMaps[0], &MidiMaps[0]);
  EXPECT_EQ(MidiMaps[0].Claimed, -1);

  ClearMidiMapEntry(MidiMaps[3].Entries[64][0]);
  templ.ParamCount = savedCount;
  templ.Params[1].MidiMapCount.Store(savedMapped);
}

TEST_F(MidiMapTest, DamagedSections) {
  std::vector<unsigned char> f(16 * 24704, 0);
  std::memcpy(&f[0], "Kbd", 3);
  auto entry = [&f](int32_t map, int32_t c, int32_t ch) { return &f[map * 24704 + 128 + (c * 16 + ch) * 12]; };
  std::memset(entry(0, 1, 0), 0xFF, 4);  // all ones: an empty head
  entry(0, 2, 0)[0] = 3;                  // no such mode
  entry(0, 3, 0)[0] = 1;
  entry(0, 3, 0)[1] = 9;                  // no such kind
  entry(0, 4, 0)[0] = 4;
  const int32_t farParam = 99;
  std::memcpy(entry(0, 4, 0) + 8, &farParam, 4);
  std::memset(&f[24704], 'x', 128);       // a name without terminator
  WriteFile("bad.bin", f);
  ASSERT_EQ(LoadFrom("bad.bin", false), 0);
  EXPECT_STREQ(MidiMaps[0].DeviceName, "Kbd");
  EXPECT_EQ(MidiMaps[0].Entries[1][0].Mode, kMidiUnbound);
  EXPECT_EQ(MidiMaps[0].Entries[2][0].Mode, kMidiUnbound);
  EXPECT_EQ(MidiMaps[0].Entries[3][0].Mode, kMidiSelectedParam);
  EXPECT_EQ(MidiMaps[0].Entries[3][0].Kind, kControllerAuto);
  EXPECT_EQ(MidiMaps[0].Entries[4][0].Mode, kMidiUnbound);
  EXPECT_EQ(std::strlen(MidiMaps[1].DeviceName), 128u);

  // A short section changes nothing.
  f.pop_back();
  std::memcpy(&f[0], "Other", 6);
  WriteFile("short.bin", f);
  EXPECT_EQ(LoadFrom("short.bin", false), -28);
  EXPECT_STREQ(MidiMaps[0].DeviceName, "Kbd");
  EXPECT_EQ(LoadMidiMaps(0), -19);
  EXPECT_EQ(SaveMidiMaps(0), -19);
}

TEST_F(MidiMapTest, OldSectionFillsChannelZeroOnly) {
  MidiMap& m0 = MidiMaps[0];
  m0.Entries[5][3].Mode = kMidiSelectedParam;
  std::vector<unsigned char> f(16 * 1664, 0);
  std::memcpy(&f[0], "Old", 3);
  f[128 + 5 * 12] = kMidiSelectedParam;
  f[128 + 5 * 12 + 1] = kControllerButton;
  WriteFile("old.bin", f);
  ASSERT_EQ(LoadFrom("old.bin", true), 0);
  EXPECT_STREQ(m0.DeviceName, "Old");
  EXPECT_EQ(m0.Entries[5][0].Mode, kMidiSelectedParam);
  EXPECT_EQ(m0.Entries[5][0].Kind, kControllerButton);
  EXPECT_EQ(m0.Entries[5][3].Mode, kMidiSelectedParam);
  EXPECT_EQ(m0.Entries[6][0].Mode, kMidiUnbound);
}

}  // namespace
}  // namespace Tarvelo
