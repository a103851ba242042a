// MIDI input layer: the byte decoder, and virtual devices through the MIDI
// thread (opening, starting, unplugging, closing while bytes arrive).
#include "platform/midi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#define MIDI_TEST_ALSA 1
#else
#define MIDI_TEST_ALSA 0
#endif

namespace {

using platform::MidiByteParser;

// The MIDI thread delivers on its own time: a flush or a wait only bounds a
// hang, which a busy machine never comes near.
constexpr double kHangBound = 30.0;

std::vector<uint32_t> Parse(const std::vector<uint8_t>& bytes) {
  MidiByteParser p;
  std::vector<uint32_t> out;
  for (uint8_t b : bytes) {
    uint32_t m = 0;
    if (platform::MidiParseByte(p, b, &m)) out.push_back(m);
  }
  return out;
}

TEST(MidiParser, RunningStatusRealTimeAndSystemMessages) {
  // Note on, then two more under running status, one with velocity 0.
  EXPECT_EQ(Parse({0x91, 60, 100, 62, 90, 60, 0}),
            (std::vector<uint32_t>{0x643C91u, 0x5A3E91u, 0x003C91u}));
  // A clock byte inside a message neither breaks it nor ends running status.
  EXPECT_EQ(Parse({0xB0, 7, 0xF8, 64, 10, 0xFE, 20}), (std::vector<uint32_t>{0xF8u, 0x4007B0u, 0xFEu, 0x140AB0u}));
  // Program change and channel pressure carry one data byte.
  EXPECT_EQ(Parse({0xC2, 5, 6, 0xD0, 99}), (std::vector<uint32_t>{0x05C2u, 0x06C2u, 0x63D0u}));
  // System exclusive is skipped whole; data after it has no status.
  EXPECT_EQ(Parse({0x90, 1, 2, 0xF0, 0x7E, 0x01, 0xF7, 60, 100, 0x80, 60, 0}),
            (std::vector<uint32_t>{0x020190u, 0x003C80u}));
  // A status byte inside it ends it; the end mark then cancels that message.
  EXPECT_EQ(Parse({0xF0, 0x7E, 0x90, 0x10, 0xF7, 60, 100, 0x80, 60, 0}), (std::vector<uint32_t>{0x003C80u}));
  // System common messages end running status; song position has two bytes.
  EXPECT_EQ(Parse({0x90, 60, 1, 0xF2, 0x10, 0x20, 61, 1, 0xF6}), (std::vector<uint32_t>{0x013C90u, 0x2010F2u, 0xF6u}));
  // Stray data bytes and a new status in the middle of a message.
  EXPECT_EQ(Parse({5, 6, 0x90, 60, 0xE0, 0, 64}), (std::vector<uint32_t>{0x4000E0u}));
}

#if MIDI_TEST_ALSA
std::vector<uint32_t> FromEvent(const snd_seq_event_t& ev) {
  uint32_t out[8] = {};
  const int32_t n = platform::MidiSequencerEventMessages(&ev, out, 8);
  return std::vector<uint32_t>(out, out + (n < 8 ? n : 8));
}

TEST(MidiSequencerEvents, BecomeShortMessages) {
  snd_seq_event_t ev;
  snd_seq_ev_clear(&ev);
  snd_seq_ev_set_noteon(&ev, 3, 60, 0);  // velocity 0 stays a note on
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x003C93u}));
  snd_seq_ev_set_noteoff(&ev, 15, 127, 64);
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x407F8Fu}));
  snd_seq_ev_set_controller(&ev, 1, 7, 100);
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x6407B1u}));
  snd_seq_ev_set_chanpress(&ev, 2, 99);
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x63D2u}));
  // Pitch bend: -8192..8191 around the centre 0x2000, seven bits per byte.
  snd_seq_ev_set_pitchbend(&ev, 0, -8192);
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x0000E0u}));
  snd_seq_ev_set_pitchbend(&ev, 0, 8191);
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x7F7FE0u}));
  // A 14-bit controller comes apart into its two 7-bit halves.
  ev.type = SND_SEQ_EVENT_CONTROL14;
  ev.data.control.channel = 0;
  ev.data.control.param = 1;
  ev.data.control.value = (100 << 7) | 5;
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x6401B0u, 0x0521B0u}));
  ev.type = SND_SEQ_EVENT_REGPARAM;
  ev.data.control.param = 0;
  ev.data.control.value = 2 << 7;
  EXPECT_EQ(FromEvent(ev), (std::vector<uint32_t>{0x0065B0u, 0x0064B0u, 0x0206B0u, 0x0026B0u}));
  ev.type = SND_SEQ_EVENT_SYSEX;
  EXPECT_TRUE(FromEvent(ev).empty());
}
#endif

TEST(MidiDeviceNames, Utf8BecomesWindows1252) {
  EXPECT_EQ(platform::MidiDeviceName("Caf\xC3\xA9 \xE2\x80\x94 Keys"), "Caf\xE9 \x97 Keys");
  EXPECT_EQ(platform::MidiDeviceName("\xE4\xB8\xAD:x"), "?:x");  // no such character
  EXPECT_EQ(platform::MidiDeviceName("\xC3"), "?");               // cut short
  EXPECT_EQ(platform::MidiDeviceName(std::string(40, 'a')), std::string(31, 'a'));
}

struct Call {
  platform::MidiIn* handle;
  uint32_t message;
  uintptr_t instance;
  uint32_t p1;
  uint32_t p2;
  std::thread::id thread;
};

std::mutex g_callLock;
std::vector<Call> g_calls;

void Record(platform::MidiIn* h, uint32_t message, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
  std::lock_guard<std::mutex> hold(g_callLock);
  g_calls.push_back({h, message, instance, static_cast<uint32_t>(p1), static_cast<uint32_t>(p2),
                     std::this_thread::get_id()});
}

std::vector<Call> Calls() {
  std::lock_guard<std::mutex> hold(g_callLock);
  return g_calls;
}

std::vector<uint32_t> DataOf(platform::MidiIn* h) {
  std::vector<uint32_t> out;
  for (const Call& c : Calls())
    if (c.handle == h && c.message == platform::kMidiInData) out.push_back(c.p1);
  return out;
}

class MidiLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* headless = std::getenv("TARVELO_HEADLESS");
    hadHeadless = headless != nullptr;
    savedHeadless = hadHeadless ? headless : "";
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::MidiInShutdown();
    platform::MidiFakeRemoveAll();
    std::lock_guard<std::mutex> hold(g_callLock);
    g_calls.clear();
  }
  void TearDown() override {
    platform::MidiInShutdown();
    platform::MidiFakeRemoveAll();
    if (hadHeadless)
      setenv("TARVELO_HEADLESS", savedHeadless.c_str(), 1);
    else
      unsetenv("TARVELO_HEADLESS");
  }
  std::string savedHeadless;
  bool hadHeadless = false;
};

TEST_F(MidiLayerTest, HeadlessListsOnlyVirtualDevices) {
  EXPECT_FALSE(platform::MidiSequencerAvailable());
  EXPECT_EQ(platform::MidiInDeviceCount(), 0u);
  platform::MidiFakePlug("Keys", 0x0102);
  platform::MidiFakePlug("A name that is longer than thirty-one characters");
  ASSERT_EQ(platform::MidiInDeviceCount(), 2u);
  platform::MidiInCaps caps{};
  ASSERT_EQ(platform::MidiInGetCaps(0, &caps), platform::kMidiOk);
  EXPECT_STREQ(caps.Name, "Keys");
  EXPECT_EQ(caps.DriverVersion, 0x0102u);
  ASSERT_EQ(platform::MidiInGetCaps(1, &caps), platform::kMidiOk);
  EXPECT_STREQ(caps.Name, "A name that is longer than thir");
  EXPECT_EQ(platform::MidiInGetCaps(2, &caps), platform::kMidiBadDeviceId);
  EXPECT_EQ(platform::MidiInGetCaps(0, nullptr), platform::kMidiInvalidParam);
}

TEST_F(MidiLayerTest, WithoutASequencerDeviceOrHeadlessModeNothingBreaks) {
  // Whatever this machine has, asking twice, listing and closing is safe.
  unsetenv("TARVELO_HEADLESS");
  const uint32_t before = platform::MidiInDeviceCount();
  platform::MidiFakePlug("Pad");
  EXPECT_EQ(platform::MidiInDeviceCount(), before + 1);
  platform::MidiInCaps caps{};
  EXPECT_EQ(platform::MidiInGetCaps(before, &caps), platform::kMidiOk);
  EXPECT_STREQ(caps.Name, "Pad");
  platform::MidiInShutdown();
}

TEST_F(MidiLayerTest, OpenStartDeliverOnTheMidiThread) {
  const int32_t fake = platform::MidiFakePlug("Keys");
  platform::MidiIn* h = nullptr;
  EXPECT_EQ(platform::MidiInOpen(&h, 5, &Record, 3), platform::kMidiBadDeviceId);
  EXPECT_EQ(platform::MidiInOpen(nullptr, 0, &Record, 3), platform::kMidiInvalidParam);
  ASSERT_EQ(platform::MidiInOpen(&h, 0, &Record, 3), platform::kMidiOk);
  ASSERT_NE(h, nullptr);
  // The open message comes before MidiInOpen returns, on this thread.
  std::vector<Call> calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].message, platform::kMidiInOpen);
  EXPECT_EQ(calls[0].instance, 3u);
  EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
  platform::MidiIn* twice = nullptr;
  EXPECT_EQ(platform::MidiInOpen(&twice, 0, &Record, 4), platform::kMidiAllocated);

  // Nothing arrives before the device is started.
  ASSERT_TRUE(platform::MidiFakeSend(fake, {0x90, 60, 100}));
  ASSERT_TRUE(platform::MidiInFlush(kHangBound));
  EXPECT_TRUE(DataOf(h).empty());

  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(platform::MidiInStart(h), platform::kMidiOk);
  ASSERT_TRUE(platform::MidiFakeSend(fake, {0x90, 60, 100, 64, 0}));
  ASSERT_TRUE(platform::MidiFakeSend(fake, {0xB1, 7, 127}));
  ASSERT_TRUE(platform::MidiInFlush(kHangBound));
  const double since = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(DataOf(h), (std::vector<uint32_t>{0x643C90u, 0x004090u, 0x7F07B1u}));
  for (const Call& c : Calls()) {
    if (c.message != platform::kMidiInData) continue;
    EXPECT_NE(c.thread, std::this_thread::get_id());
    EXPECT_EQ(c.instance, 3u);
    EXPECT_LE(c.p2, static_cast<uint32_t>(since) + 1);  // milliseconds since the start
  }
  EXPECT_EQ(platform::MidiInClose(h), platform::kMidiOk);
  EXPECT_EQ(platform::MidiInClose(h), platform::kMidiInvalidParam);
}

TEST_F(MidiLayerTest, InjectedOpenAndStartFailures) {
  const int32_t fake = platform::MidiFakePlug("Broken");
  platform::MidiFakeSetResults(fake, platform::kMidiAllocated, platform::kMidiOk);
  platform::MidiIn* h = nullptr;
  EXPECT_EQ(platform::MidiInOpen(&h, 0, &Record, 0), platform::kMidiAllocated);
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(Calls().empty());
  platform::MidiFakeSetResults(fake, platform::kMidiOk, platform::kMidiNoMemory);
  ASSERT_EQ(platform::MidiInOpen(&h, 0, &Record, 0), platform::kMidiOk);
  EXPECT_EQ(platform::MidiInStart(h), platform::kMidiNoMemory);
  EXPECT_EQ(platform::MidiInClose(h), platform::kMidiOk);
}

TEST_F(MidiLayerTest, UnplugSendsCloseAfterTheLastBytesThenNothing) {
  const int32_t first = platform::MidiFakePlug("First");
  const int32_t second = platform::MidiFakePlug("Second");
  platform::MidiIn* h = nullptr;
  ASSERT_EQ(platform::MidiInOpen(&h, 1, &Record, 7), platform::kMidiOk);
  ASSERT_EQ(platform::MidiInStart(h), platform::kMidiOk);
  ASSERT_TRUE(platform::MidiFakeSend(second, {0x90, 61, 1}));
  platform::MidiFakeUnplug(second);
  EXPECT_FALSE(platform::MidiFakeSend(second, {0x90, 62, 1}));
  ASSERT_TRUE(platform::MidiInFlush(kHangBound));
  std::vector<Call> calls = Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].message, platform::kMidiInData);
  EXPECT_EQ(calls[2].message, platform::kMidiInClose);
  EXPECT_EQ(calls[2].instance, 7u);
  // The list closes up; plugged in again the device is last, under a new number.
  EXPECT_EQ(platform::MidiInDeviceCount(), 1u);
  platform::MidiFakeUnplug(first);
  const int32_t again = platform::MidiFakePlug("Second");
  EXPECT_NE(again, second);
  platform::MidiInCaps caps{};
  ASSERT_EQ(platform::MidiInGetCaps(0, &caps), platform::kMidiOk);
  EXPECT_STREQ(caps.Name, "Second");
  // The old handle is closed by its owner without a second close message.
  EXPECT_EQ(platform::MidiInClose(h), platform::kMidiOk);
  EXPECT_EQ(Calls().size(), 3u);
}

std::atomic<bool> g_closed{false};
std::atomic<int> g_lateCalls{0};
std::atomic<int> g_dataCalls{0};

void Guarded(platform::MidiIn*, uint32_t message, uintptr_t, uintptr_t, uintptr_t) {
  if (message != platform::kMidiInData) return;
  g_dataCalls.fetch_add(1);
  std::this_thread::sleep_for(std::chrono::microseconds(50));  // a callback that takes its time
  if (g_closed.load()) g_lateCalls.fetch_add(1);
}

TEST_F(MidiLayerTest, ClosingWhileBytesArriveEndsEveryCallbackFirst) {
  for (int round = 0; round < 20; ++round) {
    g_closed = false;
    const int32_t fake = platform::MidiFakePlug("Busy");
    platform::MidiIn* h = nullptr;
    ASSERT_EQ(platform::MidiInOpen(&h, platform::MidiInDeviceCount() - 1, &Guarded, 0), platform::kMidiOk);
    ASSERT_EQ(platform::MidiInStart(h), platform::kMidiOk);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      while (!stop.load()) platform::MidiFakeSend(fake, {0xB0, 1, 2, 1, 3});
    });
    // Close once bytes are flowing.
    const int seen = g_dataCalls.load();
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kHangBound);
    while (g_dataCalls.load() < seen + 3 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(platform::MidiInClose(h), platform::kMidiOk);
    g_closed = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    sender.join();
    platform::MidiFakeUnplug(fake);
  }
  EXPECT_GE(g_dataCalls.load(), 60);
  EXPECT_EQ(g_lateCalls.load(), 0);
}

}  // namespace
