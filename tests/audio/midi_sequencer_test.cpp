// The ALSA sequencer back-end with a real sequencer: a second client of the
// sequencer sends a note-on, a note-off and a controller to the port we
// subscribe to it, and they must reach the bound keyboard and the mapped
// parameter; when it leaves with a key down, the key goes up. Machines without a sequencer (no /dev/snd/seq, as in most
// containers) skip it and say why.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "audio/midi.h"
#include "engine/catalog/engine_init.h"
#include "engine/dsp/oscillators.h"
#include "engine/globals.h"
#include "engine/keyboard.h"
#include "engine/midimap.h"
#include "engine/midimap_hooks.h"
#include "engine/modulelist.h"
#include "engine/notes.h"
#include "engine/tuning.h"
#include "platform/midi.h"
#include "platform/threads.h"

#if __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#define TARVELO_TEST_ALSA 1
#else
#define TARVELO_TEST_ALSA 0
#endif

namespace QA = QUARLE_AUDIO;
namespace T = Tarvelo;

namespace {

#if TARVELO_TEST_ALSA

constexpr const char* kSenderName = "Tarvelo test keys";
constexpr const char* kSenderPort = "Keys out";

// Waits (polling) until the condition holds; false after 30 s, a bound that
// only catches a hang (a busy machine may take its time).
template <class Condition>
bool WaitFor(Condition done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class MidiSequencerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0)
      GTEST_SKIP() << "no ALSA sequencer on this machine (/dev/snd/seq is missing or not accessible); "
                      "the sequencer back-end is tested where one exists";
    // The back-end stays away from the sequencer in headless mode.
    const char* headless = std::getenv("TARVELO_HEADLESS");
    hadHeadless_ = headless != nullptr;
    savedHeadless_ = headless != nullptr ? headless : "";
    unsetenv("TARVELO_HEADLESS");
    restoreEnv_ = true;
    if (snd_seq_open(&sender_, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0 || sender_ == nullptr) {
      sender_ = nullptr;
      GTEST_SKIP() << "/dev/snd/seq exists but the ALSA sequencer cannot be opened";
    }
    snd_seq_set_client_name(sender_, kSenderName);
    port_ = snd_seq_create_simple_port(sender_, kSenderPort, SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    ASSERT_GE(port_, 0);
    ASSERT_TRUE(platform::MidiSequencerAvailable());

    for (platform::Mutex*& m : T::MT_TUNINGS) m = platform::MutexCreate();
    T::FreeTuning(T::ActiveTuning);
    T::InitTuning(T::ActiveTuning);
    ASSERT_EQ(T::init(48000.0f), 0);
    engine_ = true;
    T::CurrentKeyboardIndex.Store(0);
    platform::MidiFakeRemoveAll();
    ASSERT_EQ(QA::InitMidiControllerTypes(), 0);
    QA::MidiUi = QA::MidiUiHooks{};
    QA::MidiUi.AudioOutputRunning = [] { return int64_t{-1}; };
    QA::MidiInCallback = &QA::MidiInProc;
    QA::KeyEntryMode = 0;
  }
  void TearDown() override {
    if (engine_) {
      QA::CloseMidiInput();
      platform::MidiInShutdown();
      T::MidiKeyMapping[0] = {0, -21};
      T::close();
      for (platform::Mutex*& m : T::MT_TUNINGS) {
        platform::MutexDestroy(m);
        m = nullptr;
      }
      QA::MidiUi = QA::MidiUiHooks{};
    }
    if (sender_ != nullptr) snd_seq_close(sender_);
    if (restoreEnv_) {
      if (hadHeadless_)
        setenv("TARVELO_HEADLESS", savedHeadless_.c_str(), 1);
      else
        unsetenv("TARVELO_HEADLESS");
    }
  }

  // One event from the second client to everyone subscribed to its port.
  void Send(void (*fill)(snd_seq_event_t&)) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, port_);
    snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    fill(ev);
    ASSERT_GE(snd_seq_event_output_direct(sender_, &ev), 0);
  }
  static int32_t VoiceOfKey(uint32_t key) {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[0]);
    const T::KeyboardState& st = *T::KeyboardStates[0].Load();
    const int32_t h = T::FindHeldKey(st, key);
    return h < 0 ? -1 : st.HeldKeys[h].Voice.Load();
  }
  static T::VoiceSlot Voice(int32_t v) {
    platform::MutexGuard voices(T::KeyboardVoiceLocks[0]);
    T::VoiceSlot out;
    QUARLE_BASICS::CopyShared(out, T::KeyboardStates[0].Load()->Voices[v]);  // under the voices lock
    return out;
  }

  // The second client's port among the devices, its every channel playing kb; -1 when it is not there.
  static int32_t BindSender(T::ModuleRecord* kb) {
    QA::CheckMidiDevices();
    const std::string name = std::string(kSenderName) + ":" + kSenderPort;
    int32_t slot = -1;
    {
      platform::MutexGuard devices(QA::MT_MIDIDEVICES);
      slot = T::FindMidiDevice(name);
    }
    if (slot < 0) return -1;
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    T::MidiMap* map = T::MidiDeviceMaps[slot];
    if (map == nullptr) return -1;
    kb->MidiDeviceBinding.Store(slot + 1);
    for (int32_t ch = 0; ch < T::kMidiChannels; ++ch) map->ChannelKeyboards[ch] = kb;
    return slot;
  }

  snd_seq_t* sender_ = nullptr;
  int port_ = -1;
  bool engine_ = false;
  bool restoreEnv_ = false;
  bool hadHeadless_ = false;
  std::string savedHeadless_;
};

TEST_F(MidiSequencerTest, NotesAndAControllerFromAnotherClientReachTheKeyboardAndTheMap) {
  T::ModuleRecord* kb = nullptr;
  ASSERT_GE(T::AddModule(T::kTypeKeyboard, true, &kb), 0);
  T::ModuleRecord* osc = nullptr;
  ASSERT_GE(T::AddModule(T::kTypeOscillator, true, &osc), 0);
  const int32_t slot = BindSender(kb);
  ASSERT_GE(slot, 0) << "the second client's port is not among the devices";
  EXPECT_EQ(QA::MidiDeviceTable[slot].receiving, -1);
  {
    platform::MutexGuard maps(T::MT_MIDIMAPS);
    T::MidiMapEntry& e = T::MidiDeviceMaps[slot]->Entries[7][0];
    e.Mode = T::kMidiFixedParam;
    e.Kind = T::kControllerStandard;
    e.Target = osc;
    e.Param = T::kOscAmplitude;
  }

  // MIDI note 60 is key 39 with the start-up key offset of -21.
  Send([](snd_seq_event_t& ev) { snd_seq_ev_set_noteon(&ev, 0, 60, 127); });
  ASSERT_TRUE(WaitFor([] { return VoiceOfKey(39) >= 0; })) << "the note-on did not reach the keyboard";
  const int32_t v = VoiceOfKey(39);
  EXPECT_EQ(Voice(v).State.Load(), T::kVoiceOn);
  EXPECT_EQ(Voice(v).Velocity.Load(), 1.0f);
  EXPECT_EQ(Voice(v).Frequency.Load(), T::KeyToFrequency(39));

  Send([](snd_seq_event_t& ev) { snd_seq_ev_set_noteoff(&ev, 0, 60, 64); });
  ASSERT_TRUE(WaitFor([] { return VoiceOfKey(39) < 0; })) << "the note-off did not reach the keyboard";
  EXPECT_EQ(Voice(v).State.Load(), T::kVoiceReleased);

  const T::ModuleParam& amp = osc->Params[T::kOscAmplitude];
  ASSERT_LT(amp.RangeLow.Load(), amp.RangeHigh.Load());
  Send([](snd_seq_event_t& ev) { snd_seq_ev_set_controller(&ev, 0, 7, 127); });
  // Moves made while playback is off wait for the interface thread, which
  // this test stands in for.
  auto reaches = [&](float want) {
    return WaitFor([&] {
      T::TakeControllerMoves(false);
      return amp.Value.Load() == want;
    });
  };
  EXPECT_TRUE(reaches(amp.RangeHigh.Load())) << "the controller did not move the mapped parameter";
  Send([](snd_seq_event_t& ev) { snd_seq_ev_set_controller(&ev, 0, 7, 0); });
  EXPECT_TRUE(reaches(amp.RangeLow.Load()));
}

// The second client leaves the sequencer with a key down, as a controller
// unplugged does: the system port announces it, and the key goes up as the
// note-off would take it up.
TEST_F(MidiSequencerTest, AClientThatLeavesWithAKeyDownLetsItGo) {
  T::ModuleRecord* kb = nullptr;
  ASSERT_GE(T::AddModule(T::kTypeKeyboard, true, &kb), 0);
  const int32_t slot = BindSender(kb);
  ASSERT_GE(slot, 0) << "the second client's port is not among the devices";
  Send([](snd_seq_event_t& ev) { snd_seq_ev_set_noteon(&ev, 0, 60, 127); });
  ASSERT_TRUE(WaitFor([] { return VoiceOfKey(39) >= 0; })) << "the note-on did not reach the keyboard";
  const int32_t v = VoiceOfKey(39);
  snd_seq_close(sender_);
  sender_ = nullptr;
  ASSERT_TRUE(WaitFor([] { return VoiceOfKey(39) < 0; })) << "the key stayed down after its device left";
  EXPECT_EQ(Voice(v).State.Load(), T::kVoiceReleased);
  EXPECT_EQ(Voice(v).Velocity.Load(), 0.0f);
  EXPECT_EQ(QA::MidiDeviceTable[slot].closed.load(), -1);
}

#else

TEST(MidiSequencerTest, NotesAndAControllerFromAnotherClientReachTheKeyboardAndTheMap) {
  GTEST_SKIP() << "built without ALSA headers: there is no sequencer back-end to test";
}

#endif

}  // namespace
