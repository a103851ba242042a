// MIDI input from virtual devices through the MIDI thread into the engine:
// notes on the bound keyboard, MIDI learn and controller maps, the monitor,
// rescans on hot-plug, and closing while messages arrive.
#include "audio/midi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "basics/messages.h"
#include "engine/catalog/engine_init.h"
#include "engine/dsp/oscillators.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/params.h"
#include "engine/tuning.h"
#include "engine/ui_hooks.h"
#include "platform/midi.h"
#include "platform/threads.h"
#include "basics/queues.h"
#include "tests/test_rounds.h"

namespace QA = QUARLE_AUDIO;
namespace QB = QUARLE_BASICS;
namespace T = Tarvelo;

namespace {

std::mutex g_logLock;
std::vector<std::pair<std::string, int32_t>> g_log;
void Hook(const std::string& text, int32_t level) {
  std::lock_guard<std::mutex> hold(g_logLock);
  g_log.emplace_back(text, level);
}
std::vector<std::pair<std::string, int32_t>> Log() {
  std::lock_guard<std::mutex> hold(g_logLock);
  return g_log;
}
bool Logged(const std::string& text, int32_t level) {
  for (const auto& e : Log())
    if (e.first == text && e.second == level) return true;
  return false;
}

// What the interface hooks saw.
std::mutex g_uiLock;
std::vector<std::string> g_ui;
std::atomic<int32_t> g_uiOffThread{0};  // hook calls made off the interface thread
void Ui(const std::string& s) {
  if (!platform::OnInterfaceThread()) g_uiOffThread.fetch_add(1);
  std::lock_guard<std::mutex> hold(g_uiLock);
  g_ui.push_back(s);
}
std::vector<std::string> UiCalls() {
  std::lock_guard<std::mutex> hold(g_uiLock);
  return g_ui;
}
bool UiSaw(const std::string& s) {
  for (const std::string& c : UiCalls())
    if (c == s) return true;
  return false;
}

constexpr int32_t kDevicesId = 500;  // the controller list is 501
constexpr int32_t kKeyboardDevicesId = 700;
constexpr int32_t kKeyboardId = 600;
constexpr int32_t kDialogEditId = 800;
constexpr int32_t kTypedEntryId = 801;
std::atomic<int32_t> g_selectedParam{-1};
std::atomic<int64_t> g_audioOn{-1};
std::atomic<int64_t> g_monitorOn{0};
std::atomic<int32_t> g_controllerListVisible{0};
std::atomic<int64_t> g_dialogEditVisible{0};
std::atomic<int64_t> g_typedEntryOn{0};

void InstallUi() {
  T::EngineUi = T::EngineUiHooks{};
  T::EngineUi.ControlId = [](int32_t named) { return named == T::kControlMidiDevices ? kDevicesId : 0; };
  T::EngineUi.PublishText = [](int32_t c, int64_t f) { Ui("text " + std::to_string(c) + " " + std::to_string(f)); };
  T::EngineUi.PublishState = [](int32_t c) { Ui("state " + std::to_string(c)); };
  T::EngineUi.SetPressed = [](int32_t c, int64_t p) { Ui("pressed " + std::to_string(c) + " " + std::to_string(p)); };
  T::EngineUi.Visible = [](int64_t c) -> int32_t {
    if (c == kDevicesId + 1) return g_controllerListVisible.load();
    if (c == kDialogEditId) return static_cast<int32_t>(g_dialogEditVisible.load());
    return 0;
  };
  QA::MidiUi = QA::MidiUiHooks{};
  QA::MidiUi.ControlId = [](int32_t named) -> int32_t {
    switch (named) {
      case QA::kControlKeyboardDevices: return kKeyboardDevicesId;
      case QA::kControlKeyboard: return kKeyboardId;
      case QA::kControlDialogEdit: return kDialogEditId;
      case QA::kControlTypedEntry: return kTypedEntryId;
      default: return 0;
    }
  };
  QA::MidiUi.SetSelected = [](int32_t c, int32_t i) { Ui("select " + std::to_string(c) + " " + std::to_string(i)); };
  QA::MidiUi.SetVisible = [](int32_t c, int32_t v) { Ui("visible " + std::to_string(c) + " " + std::to_string(v)); };
  QA::MidiUi.OnWord = [](int32_t c) -> int64_t { return c == kTypedEntryId ? g_typedEntryOn.load() : 0; };
  QA::MidiUi.ShowKeyboardsOff = [] { Ui("keyboards off"); };
  QA::MidiUi.EnterKeyFrequency = [](int32_t key, int32_t board) {
    Ui("frequency " + std::to_string(key) + " " + std::to_string(board));
  };
  QA::MidiUi.AudioOutputRunning = [] { return g_audioOn.load(); };
  QA::MidiUi.DisplayMidiInput = [] { return g_monitorOn.load(); };
}

class MidiInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* headless = std::getenv("TARVELO_HEADLESS");
    savedHeadless = headless != nullptr ? headless : "";
    hadHeadless = headless != nullptr;
    setenv("TARVELO_HEADLESS", "1", 1);
    savedSelectedParam = T::SelectedParamIndex;
    {
      std::lock_guard<std::mutex> hold(g_logLock);
      g_log.clear();
    }
    {
      std::lock_guard<std::mutex> hold(g_uiLock);
      g_ui.clear();
    }
    g_selectedParam = -1;
    g_audioOn = -1;
    g_monitorOn = 0;
    g_controllerListVisible = 0;
    g_dialogEditVisible = 0;
    g_typedEntryOn = 0;
    QB::MessageHook = &Hook;
    for (platform::Mutex*& m : T::MT_TUNINGS) m = platform::MutexCreate();
    T::FreeTuning(T::ActiveTuning);
    T::InitTuning(T::ActiveTuning);
    ASSERT_EQ(T::init(48000.0f), 0);
    T::CurrentKeyboardIndex.Store(0);
    T::SelectedParamIndex = [] { return g_selectedParam.load(); };
    InstallUi();
    platform::MidiFakeRemoveAll();
    ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
    QA::MidiInCallback = &QA::MidiInProc;
    QA::KeyEntryMode = 0;
    platform::MutexGuard monitor(T::MT_MIDIMONITOR);
    QA::LastMidiMessage = QA::LastMidiMessageRecord{{0, 0, 0}, nullptr, 0};
  }
  void TearDown() override {
    QA::CloseMidiInput();
    platform::MidiFakeRemoveAll();
    T::SelectedModule = nullptr;
    T::MidiLearnArmed = 0;
    T::MidiKeyMapping[0] = {0, -21};
    T::close();
    for (platform::Mutex*& m : T::MT_TUNINGS) {
      platform::MutexDestroy(m);
      m = nullptr;
    }
    QA::MidiUi = QA::MidiUiHooks{};
    T::EngineUi = T::EngineUiHooks{};
    QB::MessageHook = nullptr;
    T::SelectedParamIndex = savedSelectedParam;
    if (hadHeadless)
      setenv("TARVELO_HEADLESS", savedHeadless.c_str(), 1);
    else
      unsetenv("TARVELO_HEADLESS");
  }

  std::string savedHeadless;
  bool hadHeadless = false;
  int32_t (*savedSelectedParam)() = nullptr;

  static T::ModuleRecord* Add(int32_t type) {
    T::ModuleRecord* m = nullptr;
    EXPECT_GE(T::AddModule(type, true, &m), 0);
    return m;
  }
  // Lets a Keyboard play every channel of a device slot, as the keyboard
  // panel's device list does.
  static void Bind(T::ModuleRecord* kb, int32_t slot) {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    T::MidiMap* map = T::MidiDeviceMaps[slot];
    ASSERT_NE(map, nullptr);
    kb->MidiDeviceBinding.Store(slot + 1);
    for (int32_t ch = 0; ch < T::kMidiChannels; ++ch) map->ChannelKeyboards[ch] = kb;
  }
  static void Send(int32_t fake, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(platform::MidiFakeSend(fake, bytes));
    ASSERT_TRUE(platform::MidiInFlush(30.0));
  }
  static int32_t SlotOf(const std::string& name) {
    platform::MutexGuard devices(QA::MT_MIDIDEVICES);
    return T::FindMidiDevice(name);
  }
  // The voice a held key of keyboard state s sounds, or -1.
  static int32_t VoiceOfKey(int32_t s, uint32_t key) {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[s]);
    const T::KeyboardState& st = *T::KeyboardStates[s].Load();
    const int32_t h = T::FindHeldKey(st, key);
    return h < 0 ? -1 : st.HeldKeys[h].Voice.Load();
  }
  static T::VoiceSlot Voice(int32_t s, int32_t v) {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[s]);
    T::VoiceSlot out;
    QUARLE_BASICS::CopyShared(out, T::KeyboardStates[s].Load()->Voices[v]);  // under the voices lock
    return out;
  }
  static int32_t VoicesOn(int32_t s) {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[s]);
    return T::KeyboardStates[s].Load()->VoicesOn.Load();
  }
};

TEST_F(MidiInputTest, InitFailsCleanlyWithoutItsLock) {
  QA::CloseMidiInput();
  platform::FailNextMutexCreations(1);
  EXPECT_EQ(QA::InitMidiControllerTypes(), -21);
  EXPECT_EQ(QA::MT_MIDIDEVICES, nullptr);
  ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
}

TEST_F(MidiInputTest, NotesPlayAndReleaseTheBoundKeyboard) {
  T::ModuleRecord* kb = Add(T::kTypeKeyboard);
  ASSERT_EQ(kb->InstanceNumber.Load(), 1);
  const int32_t keys = platform::MidiFakePlug("Keys");
  EXPECT_EQ(QA::CheckMidiDevices(), 1);
  EXPECT_EQ(QA::CheckMidiDevices(), 0);  // same count: no second scan
  EXPECT_TRUE(Logged("Now connected to Keys", 0));
  EXPECT_TRUE(Logged("Receiving data from Keys", 0));
  const int32_t slot = SlotOf("Keys");
  ASSERT_EQ(slot, 0);
  EXPECT_EQ(QA::MidiDeviceTable[slot].receiving, -1);
  {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    ASSERT_NE(T::MidiDeviceMaps[slot], nullptr);
    EXPECT_EQ(T::MidiDeviceMaps[slot]->Claimed, -1);  // connected
    EXPECT_STREQ(T::MidiDeviceMaps[slot]->DeviceName, "Keys");
  }
  Bind(kb, slot);

  // MIDI note 60 is key 39 with the start-up key offset of -21.
  Send(keys, {0x90, 60, 127});
  const int32_t v = VoiceOfKey(0, 39);
  ASSERT_GE(v, 0);
  EXPECT_EQ(Voice(0, v).State.Load(), T::kVoiceOn);
  EXPECT_EQ(Voice(0, v).Velocity.Load(), 1.0f);
  EXPECT_EQ(Voice(0, v).Frequency.Load(), T::KeyToFrequency(39));
  EXPECT_TRUE(UiSaw("pressed 600 -1"));
  EXPECT_TRUE(UiSaw("state 600"));

  Send(keys, {0x80, 60, 64});
  EXPECT_EQ(VoiceOfKey(0, 39), -1);
  EXPECT_EQ(Voice(0, v).State.Load(), T::kVoiceReleased);

  // Running status, and a note on of velocity 0 releases.
  Send(keys, {0x93, 64, 90, 67, 80, 64, 0});
  EXPECT_EQ(VoiceOfKey(0, 43), -1);
  const int32_t g = VoiceOfKey(0, 46);
  ASSERT_GE(g, 0);
  EXPECT_EQ(Voice(0, g).Velocity.Load(), 80.0f / 127.0f);

  // The key follows the mapping's octave shift: one octave of 12 notes up.
  T::MidiKeyMapping[0] = {1, -21};
  Send(keys, {0x90, 60, 100});
  EXPECT_GE(VoiceOfKey(0, 51), 0);

  // Below note 21 nothing sounds, but the on-screen keyboard is still marked.
  const int32_t before = VoicesOn(0);
  {
    std::lock_guard<std::mutex> hold(g_uiLock);
    g_ui.clear();
  }
  T::MidiKeyMapping[0] = {0, -21};
  Send(keys, {0x90, 20, 100});
  EXPECT_EQ(VoicesOn(0), before);
  EXPECT_TRUE(UiSaw("pressed 600 -1"));
}

TEST_F(MidiInputTest, LockedPanelKeysStayHeldAndARepeatedNoteRestarts) {
  T::ModuleRecord* kb = Add(T::kTypeKeyboard);
  const int32_t keys = platform::MidiFakePlug("Keys");
  QA::CheckMidiDevices();
  Bind(kb, SlotOf("Keys"));
  Send(keys, {0x90, 69, 100});
  const int32_t first = VoiceOfKey(0, 48);
  ASSERT_GE(first, 0);
  Send(keys, {0x90, 69, 50});  // again without a release: the old voice lets go
  const int32_t second = VoiceOfKey(0, 48);
  ASSERT_GE(second, 0);
  EXPECT_NE(second, first);
  EXPECT_EQ(Voice(0, first).State.Load(), T::kVoiceReleased);
  {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[0]);
    (T::KeyboardStates[0].Load()->LockFlag).Store(-1);
  }
  Send(keys, {0x80, 69, 0});
  EXPECT_EQ(VoiceOfKey(0, 48), second);
  // Unplugged, the device lets go of its keys as its note-offs would: locked, they stay.
  Send(keys, {0x90, 71, 100});
  platform::MidiFakeUnplug(keys);
  ASSERT_TRUE(platform::MidiInFlush(30.0));
  EXPECT_EQ(VoiceOfKey(0, 48), second);
  EXPECT_GE(VoiceOfKey(0, 50), 0);
}

// A controller unplugged while its keys are down: every key it holds goes up
// as its note-off would take it up, on each channel and keyboard it played,
// and only its own (a key another controller took over sounds on); plugged in
// again it plays as before. The program's end closes the rest and lets go of
// theirs too.
TEST_F(MidiInputTest, ADeviceThatGoesAwayLetsGoOfItsKeys) {
  T::ModuleRecord* kb1 = Add(T::kTypeKeyboard);
  T::ModuleRecord* kb2 = Add(T::kTypeKeyboard);
  int32_t a = platform::MidiFakePlug("A");
  const int32_t b = platform::MidiFakePlug("B");
  QA::CheckMidiDevices();
  const int32_t slotA = SlotOf("A"), slotB = SlotOf("B");
  ASSERT_GE(slotA, 0);
  ASSERT_GE(slotB, 0);
  Bind(kb1, slotA);
  Bind(kb1, slotB);
  {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    T::MidiDeviceMaps[slotB]->ChannelKeyboards[1] = kb2;
  }
  // A: C4 and G4 on channel 1, E4 pressed and let go, D4 on channel 4.
  Send(a, {0x90, 60, 100, 67, 100, 64, 100, 0x80, 64, 0, 0x93, 62, 100});
  // B: F4 and D4 (which restarts A's) on keyboard 1, A4 on channel 2: keyboard 2.
  Send(b, {0x90, 65, 90, 62, 90, 0x91, 69, 90});
  struct Key {
    const char* name;
    int32_t state, key;
    bool fromA;
  };
  const Key keys[] = {{"C4", 0, 39, true}, {"G4", 0, 46, true}, {"F4", 0, 44, false}, {"D4", 0, 41, false},
                      {"A4", 1, 48, false}};
  int32_t voice[5];
  for (int32_t i = 0; i < 5; ++i) {
    voice[i] = VoiceOfKey(keys[i].state, static_cast<uint32_t>(keys[i].key));
    ASSERT_GE(voice[i], 0) << keys[i].name;
  }
  auto expectUp = [&](const Key& k, int32_t v) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(VoiceOfKey(k.state, static_cast<uint32_t>(k.key)), -1);
    const T::VoiceSlot s = Voice(k.state, v);
    EXPECT_EQ(s.State.Load(), T::kVoiceReleased);  // as a note-off leaves it
    EXPECT_EQ(s.Velocity.Load(), 0.0f);
    EXPECT_EQ(s.Frequency.Load(), T::KeyToFrequency(k.key));
  };
  auto expectDown = [&](const Key& k, int32_t v) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(VoiceOfKey(k.state, static_cast<uint32_t>(k.key)), v);
    EXPECT_EQ(Voice(k.state, v).State.Load(), T::kVoiceOn);
  };

  {
    std::lock_guard<std::mutex> hold(g_uiLock);
    g_ui.clear();
  }
  platform::MidiFakeUnplug(a);
  ASSERT_TRUE(platform::MidiInFlush(30.0));
  for (int32_t i = 0; i < 5; ++i) {
    if (keys[i].fromA)
      expectUp(keys[i], voice[i]);
    else
      expectDown(keys[i], voice[i]);
  }
  auto sounding = [&](int32_t state) {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[state]);
    int32_t on = 0;
    for (const T::VoiceSlot& v : T::KeyboardStates[state].Load()->Voices) on += v.State.Load() == T::kVoiceOn;
    return on;
  };
  EXPECT_EQ(sounding(0), 2);  // F4 and D4: B's
  EXPECT_TRUE(UiSaw("pressed 600 -1"));  // the on-screen keyboard shows them up

  // Closed, then back: its keys stay up, and it plays as before.
  EXPECT_EQ(QA::CheckMidiDevices(), 1);
  EXPECT_TRUE(Logged("A is now closed.", 0));
  a = platform::MidiFakePlug("A");
  QA::CheckMidiDevices();
  ASSERT_EQ(SlotOf("A"), slotA);
  Send(a, {0x90, 60, 100});
  EXPECT_GE(VoiceOfKey(0, 39), 0);
  Send(a, {0x80, 60, 0});
  EXPECT_EQ(VoiceOfKey(0, 39), -1);
  EXPECT_EQ(VoiceOfKey(0, 46), -1);
  for (int32_t i = 2; i < 5; ++i) expectDown(keys[i], voice[i]);
  EXPECT_EQ(sounding(0), 2);

  // The program's end closes every device: B's keys go up too, and A's new one.
  Send(a, {0x90, 72, 100});
  const int32_t c5 = VoiceOfKey(0, 51);
  ASSERT_GE(c5, 0);
  QA::CloseMidiInput();
  for (int32_t i = 2; i < 5; ++i) expectUp(keys[i], voice[i]);
  expectUp({"C5", 0, 51, true}, c5);
  ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
}

TEST_F(MidiInputTest, AudioOffAndTypedValueEntry) {
  T::ModuleRecord* kb = Add(T::kTypeKeyboard);
  const int32_t keys = platform::MidiFakePlug("Keys");
  QA::CheckMidiDevices();
  Bind(kb, SlotOf("Keys"));
  g_audioOn = 0;
  Send(keys, {0x90, 60, 100});
  EXPECT_EQ(VoicesOn(0), 0);
  EXPECT_TRUE(UiSaw("keyboards off"));
  EXPECT_FALSE(UiSaw("pressed 600 -1"));

  // The typed-value dialog is open: played keys become frequencies, even with
  // audio off (once the mode was seen while audio was on).
  g_audioOn = -1;
  g_dialogEditVisible = -1;
  g_typedEntryOn = -1;
  Send(keys, {0x90, 61, 100});
  EXPECT_TRUE(UiSaw("frequency 40 0"));
  EXPECT_EQ(QA::KeyEntryMode.load(), -1);
  g_audioOn = 0;
  Send(keys, {0x90, 62, 100});
  EXPECT_TRUE(UiSaw("frequency 41 0"));
  EXPECT_EQ(VoicesOn(0), 0);
}

// With the interface on its own thread, the MIDI thread changes only voices:
// what the interface shows waits in queue 0 (one pressed-keyboard report for a
// burst of notes) and happens when the interface thread takes the reports.
TEST_F(MidiInputTest, TheMidiThreadLeavesTheInterfaceToItsThread) {
  const int32_t savedQueue = QB::MainCommandQueue;
  if (QB::CommandQueueCount() == 0) {
    ASSERT_EQ(QB::CreateCommandQueue(QB::MainCommandQueue), 0);
  }
  if (QB::MainCommandQueue < 0) QB::MainCommandQueue = 0;
  QB::CommandMessage* buffer = nullptr;
  QB::ArrayHeader header;
  QB::ArrayHeaderInit(header);
  ASSERT_EQ(QB::FetchCommands(buffer, header, QB::MainCommandQueue), 0);
  auto take = [&] {
    std::vector<uint32_t> types;
    EXPECT_EQ(QB::FetchCommands(buffer, header, QB::MainCommandQueue), 0);
    for (int32_t i = 0; i < header.count; ++i) {
      types.push_back(buffer[i].type);
      EXPECT_TRUE(QA::HandleMidiReport(buffer[i]));
    }
    return types;
  };
  T::ModuleRecord* kb = Add(T::kTypeKeyboard);
  const int32_t keys = platform::MidiFakePlug("Keys");
  QA::CheckMidiDevices();
  Bind(kb, SlotOf("Keys"));
  platform::MarkInterfaceThread();
  g_uiOffThread = 0;

  g_audioOn = 0;
  Send(keys, {0x90, 60, 100});
  EXPECT_FALSE(UiSaw("keyboards off"));
  EXPECT_EQ(take(), std::vector<uint32_t>{QA::kMidiReportKeyboardsOff});
  EXPECT_TRUE(UiSaw("keyboards off"));

  g_audioOn = -1;
  Send(keys, {0x90, 60, 100, 0x90, 62, 100, 0x80, 60, 0});
  EXPECT_GE(VoiceOfKey(0, 41), 0);  // the voices changed at once
  EXPECT_FALSE(UiSaw("pressed 600 -1"));
  EXPECT_EQ(take(), std::vector<uint32_t>{QA::kMidiReportKeyPressed});
  EXPECT_TRUE(UiSaw("pressed 600 -1"));

  // The typed-value dialog opened (the interface computed the mode then).
  g_dialogEditVisible = -1;
  g_typedEntryOn = -1;
  EXPECT_EQ(QA::RefreshKeyEntryMode(), -1);
  Send(keys, {0x90, 61, 100});
  EXPECT_FALSE(UiSaw("frequency 40 0"));
  EXPECT_EQ(take(), (std::vector<uint32_t>{QA::kMidiReportKeyFrequency, QA::kMidiReportKeyPressed}));
  EXPECT_TRUE(UiSaw("frequency 40 0"));
  // Closed again before the interface got to a played key: no frequency.
  Send(keys, {0x90, 63, 100});
  g_dialogEditVisible = 0;
  take();
  EXPECT_FALSE(UiSaw("frequency 42 0"));

  EXPECT_EQ(g_uiOffThread.load(), 0);
  platform::ForgetInterfaceThread();
  QB::MainCommandQueue = savedQueue;
  QB::ArrayHeaderFree(header);
  std::free(buffer);
}

TEST_F(MidiInputTest, RoutingToTheCurrentKeyboardAndUnboundDevices) {
  T::ModuleRecord* kb1 = Add(T::kTypeKeyboard);
  T::ModuleRecord* kb2 = Add(T::kTypeKeyboard);
  ASSERT_EQ(kb2->InstanceNumber.Load(), 2);
  ASSERT_EQ(T::CurrentKeyboard.load(), kb1);
  const int32_t a = platform::MidiFakePlug("A");
  const int32_t b = platform::MidiFakePlug("B");
  QA::CheckMidiDevices();
  const int32_t slotA = SlotOf("A");
  ASSERT_GE(slotA, 0);
  ASSERT_GE(SlotOf("B"), 0);

  // Nothing bound yet: the current keyboard plays every device, filtered by its channel.
  kb1->MidiChannelFilter.Store(3);
  Send(b, {0x90, 60, 100});
  EXPECT_EQ(VoicesOn(0), 0);
  Send(b, {0x92, 60, 100});
  EXPECT_GE(VoiceOfKey(0, 39), 0);

  // Keyboard 2 bound to A: A plays it; B still reaches the unbound current keyboard.
  Bind(kb2, slotA);
  Send(a, {0x90, 62, 100});
  EXPECT_GE(VoiceOfKey(1, 41), 0);
  EXPECT_EQ(VoiceOfKey(0, 41), -1);

  // Once the current keyboard is bound to A too, B's notes go nowhere.
  Bind(kb1, slotA);
  Send(b, {0x92, 64, 100});
  EXPECT_EQ(VoiceOfKey(0, 43), -1);
  EXPECT_EQ(VoiceOfKey(1, 43), -1);

  // A device slot without a map plays nothing either.
  {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    for (T::MidiMap*& m : T::MidiDeviceMaps) m = nullptr;
    for (T::MidiMap& m : T::MidiMaps) std::fill(std::begin(m.ChannelKeyboards), std::end(m.ChannelKeyboards), nullptr);
  }
  kb1->MidiDeviceBinding.Store(0);
  Send(a, {0x90, 65, 100});
  EXPECT_EQ(VoiceOfKey(0, 44), -1);
}

TEST_F(MidiInputTest, LearnedControllerMovesTheParameter) {
  T::ModuleRecord* osc = Add(T::kTypeOscillator);
  const T::ModuleParam& amp = osc->Params[T::kOscAmplitude];
  ASSERT_LT(amp.RangeLow.Load(), amp.RangeHigh.Load());
  const int32_t pad = platform::MidiFakePlug("Pad");
  QA::CheckMidiDevices();
  const int32_t slot = SlotOf("Pad");

  // An unarmed, unbound controller changes nothing.
  const float start = amp.Value.Load();
  Send(pad, {0xB0, 7, 0});
  EXPECT_EQ(amp.Value.Load(), start);

  T::SelectedModule = osc;
  g_selectedParam = T::kOscAmplitude;
  T::MidiLearnArmed = T::kMidiFixedParam;
  Send(pad, {0xB1, 7, 64});
  EXPECT_EQ(T::MidiLearnArmed.load(), 0);
  {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    const T::MidiMapEntry& e = T::MidiDeviceMaps[slot]->Entries[7][1];
    EXPECT_EQ(e.Mode, T::kMidiFixedParam);
    EXPECT_EQ(e.Target, osc);
    EXPECT_EQ(e.Param, T::kOscAmplitude);
  }
  EXPECT_TRUE(UiSaw("text 501 -1"));

  // Selecting something else does not matter to a fixed binding.
  T::SelectedModule = nullptr;
  g_selectedParam = -1;
  Send(pad, {0xB1, 7, 127});
  EXPECT_EQ(amp.Value.Load(), amp.RangeHigh.Load());
  Send(pad, {0xB1, 7, 0});
  EXPECT_EQ(amp.Value.Load(), amp.RangeLow.Load());
  EXPECT_EQ(amp.MidiMoved.Load(), -1);
  // Another channel of the same controller is not bound.
  Send(pad, {0xB2, 7, 127});
  EXPECT_EQ(amp.Value.Load(), amp.RangeLow.Load());

  // Pitch bend arrives as controller "first data byte" with the most
  // significant seven bits as its value.
  T::SelectedModule = osc;
  g_selectedParam = T::kOscAmplitude;
  T::MidiLearnArmed = T::kMidiFixedParam;
  Send(pad, {0xE0, 0x05, 0x7F});
  T::SelectedModule = nullptr;
  Send(pad, {0xE0, 0x05, 0x00, 0x05, 0x7F});  // running status
  EXPECT_EQ(amp.Value.Load(), amp.RangeHigh.Load());
}

TEST_F(MidiInputTest, MonitorKeepsTheLastMessageOnlyWhileShown) {
  const int32_t pad = platform::MidiFakePlug("Pad");
  QA::CheckMidiDevices();
  const int32_t slot = SlotOf("Pad");
  Send(pad, {0xB0, 1, 2});
  {
    platform::MutexGuard monitor(T::MT_MIDIMONITOR);
    EXPECT_EQ(QA::LastMidiMessage.NewMessage, 0);
  }
  g_monitorOn = -1;
  Send(pad, {0xC3, 9, 0xF8});
  platform::MutexGuard monitor(T::MT_MIDIMONITOR);
  // The clock byte came last, and system messages are kept for the monitor too.
  EXPECT_EQ(QA::LastMidiMessage.Message.Message, 0xF8u);
  EXPECT_EQ(QA::LastMidiMessage.Message.Slot, static_cast<uint32_t>(slot));
  EXPECT_EQ(QA::LastMidiMessage.NewMessage, -1);
  T::MidiMap* map = nullptr;
  {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    map = T::MidiDeviceMaps[slot];
  }
  EXPECT_EQ(QA::LastMidiMessage.Map, map);
}

TEST_F(MidiInputTest, HotPlugKeepsSlotsAndBindingsByName) {
  T::ModuleRecord* osc = Add(T::kTypeOscillator);
  const T::ModuleParam& amp = osc->Params[T::kOscAmplitude];
  int32_t a = platform::MidiFakePlug("A");
  int32_t b = platform::MidiFakePlug("B");
  QA::CheckMidiDevices();
  ASSERT_EQ(SlotOf("A"), 0);
  ASSERT_EQ(SlotOf("B"), 1);
  EXPECT_EQ(QA::MidiDeviceTable[1].deviceId, 1);
  T::SelectedModule = osc;
  g_selectedParam = T::kOscAmplitude;
  T::MidiLearnArmed = T::kMidiFixedParam;
  Send(b, {0xB0, 10, 5});
  T::SelectedModule = nullptr;
  T::MidiMap* mapB = T::MidiDeviceMaps[1];

  // A goes away: its slot is closed at once and forgotten at the next scan; B
  // is renumbered and keeps its slot and map.
  g_controllerListVisible = -1;
  platform::MidiFakeUnplug(a);
  ASSERT_TRUE(platform::MidiInFlush(30.0));
  EXPECT_EQ(QA::MidiDeviceTable[0].closed.load(), -1);
  EXPECT_EQ(SlotOf("A"), -1);
  EXPECT_EQ(T::MidiMaps[0].Claimed, 0);
  EXPECT_TRUE(UiSaw("visible 500 -1"));
  EXPECT_TRUE(UiSaw("visible 501 0"));
  EXPECT_EQ(QA::CheckMidiDevices(), 1);
  EXPECT_TRUE(Logged("A is now closed.", 0));
  EXPECT_EQ(QA::MidiDeviceTable[0].deviceId, -1);
  EXPECT_EQ(QA::MidiDeviceTable[0].handle, nullptr);
  EXPECT_EQ(QA::MidiDeviceTable[1].deviceId, 0);
  EXPECT_EQ(T::MidiDeviceMaps[1], mapB);
  Send(b, {0xB0, 10, 127});
  EXPECT_EQ(amp.Value.Load(), amp.RangeHigh.Load());

  // B unplugged and plugged in again under another number: same slot (the
  // first free one), same map, same binding.
  a = platform::MidiFakePlug("A");
  QA::CheckMidiDevices();
  ASSERT_EQ(SlotOf("A"), 0);
  EXPECT_EQ(T::MidiDeviceMaps[0], &T::MidiMaps[0]);  // found again by name
  platform::MidiFakeUnplug(b);
  ASSERT_TRUE(platform::MidiInFlush(30.0));
  QA::CheckMidiDevices();
  b = platform::MidiFakePlug("B");
  QA::CheckMidiDevices();
  EXPECT_EQ(SlotOf("B"), 1);
  EXPECT_EQ(QA::MidiDeviceTable[1].deviceId, 1);
  EXPECT_EQ(T::MidiDeviceMaps[1], mapB);
  EXPECT_EQ(mapB->Claimed, -1);
  Send(b, {0xB0, 10, 0});
  EXPECT_EQ(amp.Value.Load(), amp.RangeLow.Load());
}

TEST_F(MidiInputTest, OnlySixteenDevicesAndFailuresAreReported) {
  const int32_t broken = platform::MidiFakePlug("Broken");
  platform::MidiFakeSetResults(broken, platform::kMidiAllocated, platform::kMidiOk);
  const int32_t stuck = platform::MidiFakePlug("Stuck");
  platform::MidiFakeSetResults(stuck, platform::kMidiOk, platform::kMidiError);
  for (int32_t i = 0; i < 18; ++i) platform::MidiFakePlug("Device " + std::to_string(i));
  EXPECT_EQ(QA::CheckMidiDevices(), 1);
  EXPECT_EQ(QA::MidiDeviceCount, 16);
  EXPECT_TRUE(Logged("Error connecting to Broken: The specified resource is already allocated.", 2));
  EXPECT_TRUE(Logged("Now connected to Stuck", 0));
  EXPECT_TRUE(Logged("Error starting Stuck: MIDI - ERROR 1", 2));
  // A failed device keeps its slot, number and name.
  EXPECT_EQ(QA::MidiDeviceTable[0].deviceId, 0);
  EXPECT_EQ(QA::MidiDeviceTable[0].handle, nullptr);
  EXPECT_EQ(QA::MidiDeviceTable[1].receiving, 0);
  EXPECT_TRUE(Logged("Now connected to Device 13", 0));
  EXPECT_FALSE(Logged("Now connected to Device 14", 0));  // the 17th device
  for (int32_t i = 0; i < QA::kMidiDeviceSlotCount; ++i) EXPECT_NE(QA::MidiDeviceTable[i].deviceId, -1);
  EXPECT_EQ(QA::FindFreeMidiSlot(), -1);
  // Still failing, it is reported again at the next scan; working devices are left alone.
  {
    const size_t before = Log().size();
    platform::MutexGuard devices(QA::MT_MIDIDEVICES);
    QA::ScanMidiDevices();
    EXPECT_EQ(Log().size(), before + 2);
  }
  // Once the device works, the next scan connects it where the first left off.
  platform::MidiFakeSetResults(broken, platform::kMidiOk, platform::kMidiOk);
  platform::MidiFakeSetResults(stuck, platform::kMidiOk, platform::kMidiOk);
  {
    platform::MutexGuard devices(QA::MT_MIDIDEVICES);
    QA::ScanMidiDevices();
  }
  EXPECT_TRUE(Logged("Now connected to Broken", 0));
  EXPECT_TRUE(Logged("Receiving data from Broken", 0));
  EXPECT_TRUE(Logged("Receiving data from Stuck", 0));
  EXPECT_NE(QA::MidiDeviceTable[0].handle, nullptr);
  EXPECT_EQ(QA::MidiDeviceTable[0].receiving, -1);
  EXPECT_EQ(QA::MidiDeviceTable[1].receiving, -1);
  const size_t before = Log().size();
  platform::MutexGuard devices(QA::MT_MIDIDEVICES);
  QA::ScanMidiDevices();
  EXPECT_EQ(Log().size(), before);
}

TEST_F(MidiInputTest, NoCallbackNoScanAndStrayMessagesAreHarmless) {
  QA::MidiInCallback = nullptr;
  platform::MidiFakePlug("Keys");
  EXPECT_EQ(QA::CheckMidiDevices(), 1);
  EXPECT_EQ(QA::MidiDeviceCount, 0);
  EXPECT_EQ(QA::MidiDeviceTable[0].deviceId, -1);
  // Messages for slots that do not exist, or without a status, go nowhere.
  QA::MidiInProc(nullptr, platform::kMidiInData, 16, 0x7F3C90, 0);
  QA::MidiInProc(nullptr, platform::kMidiInClose, 99, 0, 0);
  QA::MidiInProc(nullptr, platform::kMidiInData, 0, 0x7F3C10, 0);
  QA::MidiInProc(nullptr, platform::kMidiInLongData, 0, 0, 0);
  EXPECT_EQ(QA::MidiDeviceTable[0].closed.load(), 0);
}

// Notes and controllers pour in while devices come and go, are rescanned and
// finally closed: nothing may crash or race (run under ThreadSanitizer too).
TEST_F(MidiInputTest, ClosingWhileMessagesArrive) {
  T::ModuleRecord* kb = Add(T::kTypeKeyboard);
  T::ModuleRecord* osc = Add(T::kTypeOscillator);
  int32_t keys = platform::MidiFakePlug("Keys");
  QA::CheckMidiDevices();
  Bind(kb, SlotOf("Keys"));
  T::SelectedModule = osc;
  g_selectedParam = T::kOscAmplitude;
  g_monitorOn = -1;
  T::MidiLearnArmed = T::kMidiParamOfSelected;
  std::atomic<int32_t> current{keys};
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    uint8_t n = 30;
    while (!stop.load()) {
      platform::MidiFakeSend(current.load(), {0x90, n, 100, 0xB0, 1, n, 0x80, n, 0});
      n = static_cast<uint8_t>(n == 90 ? 30 : n + 1);
    }
  });
  // Bounds only a hang: a busy machine takes its time.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!UiSaw("pressed 600 -1") && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(UiSaw("pressed 600 -1"));  // notes are arriving
  for (int round = 0; round < 10; ++round) {
    platform::MidiFakeUnplug(current.load());
    QA::CheckMidiDevices();
    current = platform::MidiFakePlug("Keys");
    QA::CheckMidiDevices();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  QA::CloseMidiInput();
  stop = true;
  sender.join();
  // Everything closed: nothing arrives any more, and the table is empty.
  EXPECT_EQ(QA::MT_MIDIDEVICES, nullptr);
  for (const QA::MidiDeviceSlot& s : QA::MidiDeviceTable) EXPECT_EQ(s.handle, nullptr);
  ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
}

// A delete against the MIDI thread: the device floods a controller bound to a
// module (or notes for the current keyboard) while the interface adds that
// module, binds it, deletes it, takes the queued moves as its wake-up does and
// reclaims. No thread may read or write the module once it is freed (the
// sanitizers watch), and a move queued before the delete changes nothing of
// the deleted module. TARVELO_MIDI_DELETE_ROUNDS sets the rounds per row.
TEST_F(MidiInputTest, ADeleteFreesNothingTheMidiThreadStillHolds) {
  const int32_t pad = platform::MidiFakePlug("Pad");
  QA::CheckMidiDevices();
  const int32_t slot = SlotOf("Pad");
  ASSERT_GE(slot, 0);
  auto bind = [slot](T::ModuleRecord* m) {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    T::MidiMapEntry& e = T::MidiDeviceMaps[slot]->Entries[7][0];
    e.Mode = T::kMidiFixedParam;
    e.Kind = T::kControllerStandard;
    e.Target = m;
    e.Param = 1;
    m->Params[1].MidiMapCount.FetchAdd(1);
  };

  // Queued before the delete, taken after it: the deleted module keeps its value.
  platform::MarkInterfaceThread();
  T::ModuleRecord* m = Add(T::kTypeMixer);
  bind(m);
  const float before = m->Params[1].Value.Load();
  Send(pad, {0xB0, 7, 0});
  ASSERT_TRUE(T::ControllerMovesPending());
  T::RemoveModule(m);
  EXPECT_EQ(T::ReclaimRemovedModules(), 1);  // the move still names it
  T::TakeControllerMoves(false);
  EXPECT_EQ(m->Params[1].Value.Load(), before);
  EXPECT_EQ(T::ReclaimRemovedModules(), 0);

  // A round is mostly the add and the delete on this thread: on a core or two
  // the MIDI thread meets it in fewer places, so fewer rounds are run there.
  const int32_t rounds = test_rounds::RoundsForCores("TARVELO_MIDI_DELETE_ROUNDS", 1000, 250);
  struct Row {
    const char* name;
    bool marked;  // as the program marks its interface thread; else every thread counts as it
    bool keyboard;
  };
  for (const Row& row : {Row{"controller, interface marked", true, false}, Row{"controller, none marked", false, false},
                         Row{"current keyboard, interface marked", true, true},
                         Row{"current keyboard, none marked", false, true}}) {
    SCOPED_TRACE(row.name);
    if (row.marked)
      platform::MarkInterfaceThread();
    else
      platform::ForgetInterfaceThread();
    std::atomic<bool> stop{false};
    std::thread device([&] {
      for (uint32_t i = 0; !stop.load(); ++i) {
        const uint8_t v = static_cast<uint8_t>(i & 0x7F);
        platform::MidiFakeSend(pad, row.keyboard ? std::vector<uint8_t>{0x90, 60, 100, 0x80, 60, 0}
                                                 : std::vector<uint8_t>{0xB0, 7, v});
        if (i % 256 == 255) platform::MidiInFlush(30.0);  // busy, not ever further behind
      }
    });
    for (int32_t i = 0; i < rounds; ++i) {
      T::ModuleRecord* added = Add(row.keyboard ? T::kTypeKeyboard : T::kTypeMixer);
      if (added == nullptr) break;
      if (row.keyboard)
        EXPECT_EQ(T::CurrentKeyboard.load(), added);
      else
        bind(added);
      T::RemoveModule(added);
      T::TakeControllerMoves(false);
      T::ReclaimRemovedModules();
    }
    stop = true;
    device.join();
    ASSERT_TRUE(platform::MidiInFlush(30.0));
    T::TakeControllerMoves(false);
    EXPECT_EQ(T::ReclaimRemovedModules(), 0);
  }
  platform::ForgetInterfaceThread();
}

}  // namespace

namespace {

// Keys of the notes each channel floods: a keyboard that publishes a key of
// the other channel plays another keyboard's entry.
constexpr uint8_t kLowNote = 30, kHighNote = 70, kNoteSpan = 20;
bool FromChannel(float published, int32_t channel) {
  const uint8_t first = channel == 0 ? kLowNote : kHighNote;
  for (uint8_t n = first; n < first + kNoteSpan; ++n)
    if (published == T::KeyToFrequency(n - 21) * T::FrequencyNorm) return true;
  return false;
}

// Sleeps in short steps until done() holds or `end` passes: the threads it
// waits for may need this core to get there.
template <class Done>
bool AwaitUntil(Done&& done, std::chrono::steady_clock::time_point end) {
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Keys held, and voices still on, in every keyboard state.
int32_t KeysLeftInTheBank() {
  int32_t left = 0;
  for (int32_t k = 0; k < T::kKeyboardBankSize; ++k) {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[k]);
    const T::KeyboardState& s = *T::KeyboardStates[k].Load();
    for (const T::HeldKey& h : s.HeldKeys) left += h.Voice.Load() >= 0 ? 1 : 0;
    for (int32_t v = 0; v < T::kVoicesUsed; ++v) left += s.Voices[v].State.Load() == T::kVoiceOn ? 1 : 0;
  }
  return left;
}

}  // namespace

// Keyboards 1-3, the second and the third bound to MIDI channels 1 and 2,
// while both channels flood notes and the interface deletes keyboard 1 or 2:
// the keyboards behind it are renumbered and their states move with them. A
// render stand-in plays the third keyboard (and the second, when it stays)
// meanwhile. Every note ends where it started, so once the last note-off is
// in (or, every other round, the device was unplugged with its last keys
// down instead) no state holds a key and a Keyboard added afterwards sounds nothing; no
// keyboard ever publishes the other channel's notes. Each row counts its
// failing rounds (TARVELO_MIDI_KEYBOARD_ROUNDS sets the rounds per row).
TEST_F(MidiInputTest, NotesEndWhereTheyStartedWhileAKeyboardIsDeleted) {
  int32_t pad = platform::MidiFakePlug("Pad");
  QA::CheckMidiDevices();
  const int32_t slot = SlotOf("Pad");
  ASSERT_GE(slot, 0);
  platform::MarkInterfaceThread();
  // A round takes tens of milliseconds under the sanitizers: deep runs set more.
  const char* env = std::getenv("TARVELO_MIDI_KEYBOARD_ROUNDS");
  const int32_t rounds = env != nullptr ? std::atoi(env) : 250;
  struct Row {
    const char* name;
    int32_t deleted;  // 0 or 1: keyboard 1 or 2
  };
  for (const Row& row : {Row{"keyboard 1 deleted", 0}, Row{"keyboard 2 deleted", 1}}) {
    SCOPED_TRACE(row.name);
    int32_t stuck = 0, foreign = 0, sounding = 0;
    for (int32_t round = 0; round < rounds; ++round) {
      const bool unplug = round % 2 == 1;
      T::ModuleRecord* kb[3] = {Add(T::kTypeKeyboard), Add(T::kTypeKeyboard), Add(T::kTypeKeyboard)};
      ASSERT_TRUE(kb[0] && kb[1] && kb[2]);
      {
        platform::MutexGuard maps(T::MT_MIDIMAPS);
        T::MidiDeviceMaps[slot]->ChannelKeyboards[0] = kb[1];
        T::MidiDeviceMaps[slot]->ChannelKeyboards[1] = kb[2];
        kb[1]->MidiDeviceBinding.Store(slot + 1);
        kb[2]->MidiDeviceBinding.Store(slot + 1);
      }
      std::atomic<bool> stop{false};
      std::atomic<int32_t> played{0}, wrong{0};
      std::atomic<int64_t> frames{0};  // begun by the render
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);  // bounds a hang
      // Three keys of each channel are down at a time; the last ones go up at the end.
      std::thread device([&] {
        constexpr uint8_t kDown = 3;
        uint8_t i = 0;
        auto up = [](uint8_t k) { return static_cast<uint8_t>((k + kNoteSpan - kDown) % kNoteSpan); };
        for (; !stop.load(); i = static_cast<uint8_t>((i + 1) % kNoteSpan)) {
          platform::MidiFakeSend(pad, {0x90, uint8_t(kLowNote + i), 100, 0x91, uint8_t(kHighNote + i), 100, 0x80,
                                       uint8_t(kLowNote + up(i)), 0, 0x81, uint8_t(kHighNote + up(i)), 0});
          if (i != 0) continue;
          platform::MidiInFlush(30.0);  // busy, not ever further behind
          // A frame that starts a note publishes nothing: on a core or two a flood
          // that outruns the render would leave it no frame that sounds, so each
          // burst lets it play a few (idle cores have played many meanwhile).
          const int64_t seen = frames.load();
          AwaitUntil([&] { return frames.load() >= seen + 3 || stop.load(); }, end);
        }
        if (unplug) {
          platform::MidiFakeUnplug(pad);
          return;
        }
        for (uint8_t k = 0; k < kDown; ++k, i = static_cast<uint8_t>((i + 1) % kNoteSpan))
          platform::MidiFakeSend(pad, {0x80, uint8_t(kLowNote + up(i)), 0, 0x81, uint8_t(kHighNote + up(i)), 0});
      });
      // The frame start's sweep and single-voice processing (which frees the
      // released voices), as the render does them.
      std::thread render([&] {
        uint64_t frame = 0;
        while (!stop.load()) {
          frames.fetch_add(1);
          for (int32_t k = 0; k < T::kKeyboardBankSize; ++k) {
            platform::MutexGuard voices(T::KeyboardVoiceLocks[k]);
            T::KeyboardState& s = *T::KeyboardStates[k].Load();
            if (s.Pending.Load() != T::kPendingTaken) T::VoiceListRebuild(s, T::KeyboardKeyLocks[k]);
          }
          for (int32_t k = 2; k >= 1; --k) {
            if (k == row.deleted) continue;
            kb[k]->ProcessFunctions[0](kb[k], ++frame, 0, 1);
            const T::OutputElement e = kb[k]->Outputs[0][0];
            if (e.Level == 0.0f) continue;
            played.fetch_add(1);
            if (FromChannel(e.Frequency, k == 1 ? 1 : 0)) wrong.fetch_add(1);
          }
        }
      });
      AwaitUntil([&] { return played.load() >= 2; }, end);
      T::RemoveModule(kb[row.deleted]);
      const int32_t after = played.load() + 4;
      AwaitUntil([&] { return played.load() >= after; }, end);
      stop = true;
      device.join();
      render.join();
      ASSERT_TRUE(platform::MidiInFlush(30.0));
      stuck += KeysLeftInTheBank() != 0 ? 1 : 0;
      if (unplug) {  // closed, forgotten and back, in the same slot
        QA::CheckMidiDevices();
        pad = platform::MidiFakePlug("Pad");
        QA::CheckMidiDevices();
        ASSERT_EQ(SlotOf("Pad"), slot);
      }
      foreign += wrong.load() != 0 ? 1 : 0;
      T::ModuleRecord* added = Add(T::kTypeKeyboard);
      ASSERT_NE(added, nullptr);
      for (uint64_t f = 1; f <= 2; ++f) added->ProcessFunctions[0](added, f, 0, 1);
      sounding += added->Outputs[0][0].Level != 0.0f ? 1 : 0;
      T::ClearSynth();
      T::ReleaseAllKeys();
      T::ReclaimRemovedModules();
    }
    std::printf("%s: %d of %d rounds left a key held, %d sounded on the added keyboard, %d played the other "
                "channel's notes\n", row.name, stuck, rounds, sounding, foreign);
    EXPECT_EQ(stuck, 0);
    EXPECT_EQ(sounding, 0);
    EXPECT_EQ(foreign, 0);
  }
  platform::ForgetInterfaceThread();
}
