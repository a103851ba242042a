// Keyboard states: stored layout, held keys, voice slots, the active list, and
// what sanitising makes of hostile stored states.
#include "engine/keyboard.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace Tarvelo {
namespace {

void SetSlot(VoiceSlot& v, float frequency, float velocity, int32_t state, int32_t index) {
  v.Frequency.Store(frequency);
  v.Velocity.Store(velocity);
  v.State.Store(state);
  v.Index.Store(index);
}

class KeyboardStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KeyboardStateInit(s);
    keys = platform::MutexCreate();
    voices = platform::MutexCreate();
  }
  void TearDown() override {
    platform::MutexDestroy(keys);
    platform::MutexDestroy(voices);
  }
  // Checks that counts, list and held keys agree with the slots.
  void ExpectConsistent() {
    int32_t sounding = 0;
    for (int32_t v = 0; v < kVoicesUsed; ++v) {
      ASSERT_GE(s.Voices[v].State.Load(), 0);
      ASSERT_LE(s.Voices[v].State.Load(), 2);
      if (s.Voices[v].State.Load() != kVoiceFree) ++sounding;
    }
    EXPECT_EQ(s.Voices[32].State.Load(), kVoiceFree);
    EXPECT_EQ(s.ActiveCount.Load(), sounding);
    EXPECT_EQ(s.VoicesOn.Load(), sounding);
    for (int32_t i = 0; i < s.ActiveCount.Load(); ++i) {
      ASSERT_GE(s.ActiveList[i].Load(), 0);
      ASSERT_LT(s.ActiveList[i].Load(), kVoicesUsed);
      EXPECT_NE(s.Voices[s.ActiveList[i].Load()].State.Load(), kVoiceFree);
      if (i > 0) {
        EXPECT_LT(s.ActiveList[i - 1].Load(), s.ActiveList[i].Load());
      }
    }
    bool used[kVoicesUsed] = {};
    for (const HeldKey& h : s.HeldKeys) {
      ASSERT_GE(h.Voice.Load(), -1);
      ASSERT_LT(h.Voice.Load(), kVoicesUsed);
      if (h.Voice.Load() >= 0) {
        EXPECT_EQ(s.Voices[h.Voice.Load()].State.Load(), kVoiceOn);
        EXPECT_FALSE(used[h.Voice.Load()]);
        used[h.Voice.Load()] = true;
      }
    }
    EXPECT_TRUE(s.LastVoice.Load() == -1 || s.Voices[s.LastVoice.Load()].State.Load() == kVoiceOn);
    EXPECT_EQ(s.Pending.Load(), 0);
    EXPECT_GE(s.KeyOffset.Load(), -512);
    EXPECT_LE(s.KeyOffset.Load(), 512);
    EXPECT_EQ(s.Reserved2.Load(), 0);
  }

  KeyboardState s;
  platform::Mutex* keys = nullptr;
  platform::Mutex* voices = nullptr;
};

TEST(KeyboardLayout, StoredOffsetsAndSize) {
  EXPECT_EQ(sizeof(KeyboardState), 828u);
  EXPECT_EQ(offsetof(KeyboardState, LockFlag), 0u);
  EXPECT_EQ(offsetof(KeyboardState, Stamp), 4u);
  EXPECT_EQ(offsetof(KeyboardState, Octave), 8u);
  EXPECT_EQ(offsetof(KeyboardState, KeyOffset), 12u);
  EXPECT_EQ(offsetof(KeyboardState, HeldKeys), 16u);
  EXPECT_EQ(offsetof(KeyboardState, Voices), 136u);
  EXPECT_EQ(offsetof(KeyboardState, NewNote), 664u);
  EXPECT_EQ(offsetof(KeyboardState, LastVoice), 668u);
  EXPECT_EQ(offsetof(KeyboardState, ActiveCount), 672u);
  EXPECT_EQ(offsetof(KeyboardState, ActiveList), 676u);
  EXPECT_EQ(offsetof(KeyboardState, VoicesOn), 808u);
  EXPECT_EQ(offsetof(KeyboardState, Reserved1), 812u);
  EXPECT_EQ(offsetof(KeyboardState, Changed), 816u);
  EXPECT_EQ(offsetof(KeyboardState, Pending), 820u);
  EXPECT_EQ(offsetof(KeyboardState, Reserved2), 824u);
  EXPECT_EQ(offsetof(HeldKey, Voice), 8u);
  EXPECT_EQ(offsetof(VoiceSlot, Index), 12u);
}

TEST_F(KeyboardStateTest, EleventhHeldKeyGetsNoEntry) {
  for (int32_t i = 0; i < kHeldKeyCount; ++i) {
    EXPECT_EQ(HeldKeyReserve(s, keys), i);
    EXPECT_EQ(s.HeldKeys[i].Voice.Load(), kHeldKeyReserved);
  }
  KeyboardState before;
  QUARLE_BASICS::CopyShared(before, s);
  EXPECT_EQ(HeldKeyReserve(s, keys), -1);
  EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
}

TEST_F(KeyboardStateTest, ThirtyThirdVoiceGetsNoneAndNothingIsStolen) {
  for (int32_t i = 0; i < kVoicesUsed; ++i) {
    EXPECT_EQ(NoteOn(s, 100.0f + i, 0.5f), i);
    EXPECT_EQ(s.Voices[i].Index.Load(), i);
  }
  EXPECT_EQ(s.VoicesOn.Load(), 32);
  EXPECT_EQ(s.LastVoice.Load(), 31);
  EXPECT_EQ(NoteOn(s, 999.0f, 1.0f), -1);
  for (int32_t i = 0; i < kVoicesUsed; ++i) EXPECT_EQ(s.Voices[i].Frequency.Load(), 100.0f + i);
  EXPECT_EQ(s.Voices[32].State.Load(), kVoiceFree);
  EXPECT_EQ(s.VoicesOn.Load(), 32);

  // Released voices still hold their slots until they are freed.
  for (int32_t i = 0; i < kVoicesUsed; ++i) NoteOff(s, i);
  EXPECT_EQ(NoteOn(s, 999.0f, 1.0f), -1);
  VoiceListRebuild(s, keys);
  EXPECT_EQ(s.ActiveCount.Load(), 32);
  // With 32 listed voices no slot is handed out, even after one was freed, until
  // the list is rebuilt.
  KillVoice(s, 5);
  EXPECT_EQ(FindFreeVoiceSlot(s), -1);
  VoiceListRebuild(s, keys);
  EXPECT_EQ(s.ActiveCount.Load(), 31);
  EXPECT_EQ(NoteOn(s, 50.0f, 1.0f), 5);
}

TEST_F(KeyboardStateTest, NoteOnMarksTheStateAndSilentPitchStartsNothing) {
  EXPECT_EQ(NoteOn(s, 0.0f, 1.0f), -1);
  EXPECT_EQ(NoteOn(s, std::numeric_limits<float>::quiet_NaN(), 1.0f), -1);
  EXPECT_EQ(s.VoicesOn.Load(), 0);
  EXPECT_EQ(s.Pending.Load(), 0);
  const int32_t v = NoteOn(s, 440.0f, 0.25f);
  ASSERT_EQ(v, 0);
  EXPECT_EQ(s.Voices[0].State.Load(), kVoiceOn);
  EXPECT_EQ(s.Voices[0].Velocity.Load(), 0.25f);
  EXPECT_EQ(s.NewNote.Load(), 1);
  EXPECT_EQ(s.Pending.Load(), kPendingRebuild);
  EXPECT_EQ(s.LastVoice.Load(), 0);
}

TEST_F(KeyboardStateTest, NoteOffOnlyReleasesSoundingVoices) {
  NoteOff(s, 3);  // free
  EXPECT_EQ(s.Voices[3].State.Load(), kVoiceFree);
  EXPECT_EQ(s.Changed.Load(), 0);
  NoteOn(s, 440.0f, 0.8f);
  NoteOff(s, 0);
  EXPECT_EQ(s.Voices[0].State.Load(), kVoiceReleased);
  EXPECT_EQ(s.Voices[0].Velocity.Load(), 0.0f);
  EXPECT_EQ(s.Voices[0].Frequency.Load(), 440.0f);
  EXPECT_EQ(s.Changed.Load(), -1);
  s.Changed.Store(0);
  NoteOff(s, 0);  // already released
  EXPECT_EQ(s.Changed.Load(), 0);
  // Out-of-range slots are ignored.
  NoteOff(s, -1);
  NoteOff(s, 32);
  NoteOff(s, INT_MAX);
  SlideVoice(s, 40, 1.0f, 1.0f);
  KillVoice(s, -7);
  EXPECT_EQ(s.Voices[32].State.Load(), kVoiceFree);
}

TEST_F(KeyboardStateTest, KillVoiceClearsLastVoiceAndNeverCountsBelowZero) {
  NoteOn(s, 440.0f, 1.0f);
  NoteOn(s, 550.0f, 1.0f);
  s.Pending.Store(0);
  KillVoice(s, 0);
  EXPECT_EQ(s.LastVoice.Load(), 1);
  EXPECT_EQ(s.Pending.Load(), kPendingRebuild);
  KillVoice(s, 1);
  EXPECT_EQ(s.LastVoice.Load(), -1);
  EXPECT_EQ(s.VoicesOn.Load(), 0);
  KillVoice(s, 1);  // free: nothing
  EXPECT_EQ(s.VoicesOn.Load(), 0);
  s.Voices[4].State.Store(kVoiceReleased);  // a count that went wrong
  KillVoice(s, 4);
  EXPECT_EQ(s.VoicesOn.Load(), 0);
  EXPECT_EQ(s.Voices[4].State.Load(), kVoiceFree);
}

TEST_F(KeyboardStateTest, RebuildListsSoundingSlotsInOrder) {
  for (int32_t i = 0; i < 6; ++i) NoteOn(s, 100.0f * (i + 1), 1.0f);
  NoteOff(s, 2);
  KillVoice(s, 1);
  KillVoice(s, 4);
  VoiceListRebuild(s, keys);
  ASSERT_EQ(s.ActiveCount.Load(), 4);
  EXPECT_EQ(s.ActiveList[0].Load(), 0);
  EXPECT_EQ(s.ActiveList[1].Load(), 2);
  EXPECT_EQ(s.ActiveList[2].Load(), 3);
  EXPECT_EQ(s.ActiveList[3].Load(), 5);
  EXPECT_EQ(s.Pending.Load(), 0);
  EXPECT_EQ(s.Changed.Load(), -1);
}

TEST_F(KeyboardStateTest, PendingResetReleasesHeldKeysAndClearsVoices) {
  for (int32_t i = 0; i < 3; ++i) {
    const int32_t h = HeldKeyReserve(s, keys);
    s.HeldKeys[h].Voice.Store(NoteOn(s, 200.0f + i, 1.0f));
  }
  s.Pending.Store(kPendingReset);
  VoiceListRebuild(s, keys);
  for (const HeldKey& h : s.HeldKeys) EXPECT_EQ(h.Voice.Load(), -1);
  for (const VoiceSlot& v : s.Voices) {
    EXPECT_EQ(v.State.Load(), kVoiceFree);
    EXPECT_EQ(v.Frequency.Load(), 0.0f);
  }
  EXPECT_EQ(s.ActiveCount.Load(), 0);
  EXPECT_EQ(s.VoicesOn.Load(), 0);
  EXPECT_EQ(s.LastVoice.Load(), -1);
  EXPECT_EQ(s.NewNote.Load(), 0);
  EXPECT_EQ(s.Pending.Load(), 0);
}

TEST_F(KeyboardStateTest, SanitizeClampsCountsAndDropsSilentVoices) {
  for (int32_t i = 0; i < kVoicesUsed; ++i) {
    SetSlot(s.Voices[i], 100.0f + i, 1.0f, kVoiceOn, 99);
  }
  s.Voices[7].Frequency.Store(0.0f);
  s.LastVoice.Store(7);
  s.NewNote.Store(1);
  s.ActiveCount.Store(40);
  s.Pending.Store(kPendingReset);
  s.Changed.Store(0);
  SanitizeKeyboardState(s);
  EXPECT_EQ(s.ActiveCount.Load(), 31);
  EXPECT_EQ(s.Voices[7].State.Load(), kVoiceFree);
  EXPECT_EQ(s.LastVoice.Load(), -1);
  EXPECT_EQ(s.NewNote.Load(), 0);
  EXPECT_EQ(s.Voices[12].Index.Load(), 12);
  EXPECT_EQ(s.Changed.Load(), -1);
  ExpectConsistent();

  // All 32 on: the stored 40 comes down to 32.
  SetSlot(s.Voices[7], 1.0f, 1.0f, kVoiceOn, 7);
  s.ActiveCount.Store(40);
  SanitizeKeyboardState(s);
  EXPECT_EQ(s.ActiveCount.Load(), 32);
  ExpectConsistent();
}

// A loaded state starts no note nobody holds: a voice on that no held key
// names (every note-on takes a held key, so only a file that was written
// with a reset still to come, or a hostile one, has it) is not kept, and a
// state stored with its reset pending loads as that reset leaves it.
TEST_F(KeyboardStateTest, ALoadKeepsOnlyTheVoicesAHeldKeyNames) {
  const struct {
    const char* what;
    int32_t pending;
    std::vector<int32_t> named;  // voices a held key names, of voices 0..5 on
    std::vector<int32_t> kept;
  } cases[] = {
      {"no held key", kPendingTaken, {}, {}},
      {"two named", kPendingTaken, {1, 4}, {1, 4}},
      {"all named", kPendingRebuild, {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5}},
      {"a reset pending", kPendingReset, {0, 1, 2, 3, 4, 5}, {}},
      {"a reset pending, none named", kPendingReset, {}, {}},
  };
  for (const auto& c : cases) {
    KeyboardStateInit(s);
    s.LockFlag.Store(-1);
    s.KeyOffset.Store(48);
    for (int32_t v = 0; v < 6; ++v) SetSlot(s.Voices[v], 200.0f + v, 0.5f, kVoiceOn, v);
    s.ActiveCount.Store(6);
    s.VoicesOn.Store(6);
    s.LastVoice.Store(5);
    s.NewNote.Store(1);
    int32_t h = 0;
    for (int32_t v : c.named) StoreHeldKey(s.HeldKeys[h++], 0, 60u + v, v);
    s.Pending.Store(c.pending);
    SanitizeLoadedKeyboardState(s);
    std::vector<int32_t> on;
    for (int32_t v = 0; v < kVoicesUsed; ++v)
      if (s.Voices[v].State.Load() != kVoiceFree) on.push_back(v);
    EXPECT_EQ(on, c.kept) << c.what;
    const bool lastKept = !c.kept.empty() && c.kept.back() == 5;
    EXPECT_EQ(s.LastVoice.Load(), lastKept ? 5 : -1) << c.what;
    EXPECT_EQ(s.NewNote.Load(), lastKept ? 1 : 0) << c.what;
    // The reset leaves the switches and offsets.
    EXPECT_EQ(s.LockFlag.Load(), -1) << c.what;
    EXPECT_EQ(s.KeyOffset.Load(), 48) << c.what;
    ExpectConsistent();
  }
}

// The save writes a state whose reset the render has not taken yet as the
// reset leaves it: the copy's voices and held keys go, the switches stay,
// and a copy with no reset pending is left as it is.
TEST_F(KeyboardStateTest, ACopyIsWrittenAsItsPendingResetLeavesIt) {
  s.LockFlag.Store(-1);
  s.KeyOffset.Store(24);
  for (int32_t i = 0; i < 3; ++i) {
    const int32_t h = HeldKeyReserve(s, keys);
    StoreHeldKey(s.HeldKeys[h], 0, 50u + i, NoteOn(s, 300.0f + i, 1.0f));
  }
  VoiceListRebuild(s, keys);
  KeyboardState untouched;
  std::memcpy(static_cast<void*>(&untouched), &s, sizeof s);
  ApplyPendingReset(s);
  EXPECT_EQ(std::memcmp(&untouched, &s, sizeof s), 0);

  KbPostPending(s, kPendingReset);
  KeyboardState rendered;
  std::memcpy(static_cast<void*>(&rendered), &s, sizeof s);
  VoiceListRebuild(rendered, keys);  // what the render makes of it
  ApplyPendingReset(s);
  rendered.Changed.Store(0);
  s.Changed.Store(0);
  EXPECT_EQ(std::memcmp(&rendered, &s, sizeof s), 0);
  EXPECT_EQ(s.VoicesOn.Load(), 0);
  EXPECT_EQ(s.LockFlag.Load(), -1);
  ExpectConsistent();
}

TEST_F(KeyboardStateTest, SanitizeRepairsHeldKeysAndOddSlotStates) {
  s.ActiveCount.Store(5);
  SetSlot(s.Voices[0], 440.0f, 1.0f, kVoiceOn, 0);
  SetSlot(s.Voices[1], 550.0f, 0.0f, kVoiceReleased, 1);  // would never be freed
  SetSlot(s.Voices[2], 660.0f, 1.0f, 7, 2);
  SetSlot(s.Voices[3], 770.0f, 1.0f, -3, 3);
  SetSlot(s.Voices[4], std::numeric_limits<float>::infinity(), 1.0f, kVoiceOn, 4);
  SetSlot(s.Voices[5], 880.0f, std::numeric_limits<float>::quiet_NaN(), kVoiceOn, 5);
  SetSlot(s.Voices[6], 990.0f, 1.0f, kVoiceOn, 6);
  SetSlot(s.Voices[32], 990.0f, 1.0f, kVoiceOn, 32);  // the spare slot
  StoreHeldKey(s.HeldKeys[0], 0, 40, 0);
  StoreHeldKey(s.HeldKeys[1], 0, 41, 0);    // second key on one voice
  StoreHeldKey(s.HeldKeys[2], 0, 42, 1);    // released voice
  StoreHeldKey(s.HeldKeys[3], 0, 43, 99);   // out of range
  StoreHeldKey(s.HeldKeys[4], 0, 44, kHeldKeyReserved);
  StoreHeldKey(s.HeldKeys[5], 0, 45, -7);
  StoreHeldKey(s.HeldKeys[6], 0, 46, 6);
  StoreHeldKey(s.HeldKeys[7], 0, 47, 2);    // slot with a bad state
  s.LastVoice.Store(100);
  s.KeyOffset.Store(INT_MIN);
  s.Reserved2.Store(12345);
  SanitizeKeyboardState(s);
  EXPECT_EQ(s.ActiveCount.Load(), 2);
  EXPECT_EQ(s.ActiveList[0].Load(), 0);
  EXPECT_EQ(s.ActiveList[1].Load(), 6);
  EXPECT_EQ(s.HeldKeys[0].Voice.Load(), 0);
  EXPECT_EQ(s.HeldKeys[6].Voice.Load(), 6);
  for (int32_t h : {1, 2, 3, 4, 5, 7}) EXPECT_EQ(s.HeldKeys[h].Voice.Load(), -1) << h;
  EXPECT_EQ(s.KeyOffset.Load(), -512);
  ExpectConsistent();
}

// The per-voice Keyboard reads the voices only after a changed mark: a state
// copied in is marked whatever the copy held, after every other word.
TEST_F(KeyboardStateTest, CopyInMarksTheStateChanged) {
  KeyboardState copy;
  KeyboardStateInit(copy);
  NoteOn(copy, 330.0f, 0.5f);
  VoiceListRebuild(copy, keys);
  copy.Changed.Store(0);
  copy.Pending.Store(kPendingTaken);
  s.Changed.Store(0);
  KeyboardStateCopyIn(s, copy);
  EXPECT_EQ(s.Changed.Load(), -1);
  EXPECT_EQ(s.ActiveCount.Load(), 1);
  EXPECT_EQ(s.Voices[0].Frequency.Load(), 330.0f);
  // Every other word comes across as the copy holds it.
  KeyboardState back;
  KeyboardStateCopyOut(back, s);
  back.Changed.Store(0);
  EXPECT_EQ(std::memcmp(&back, &copy, sizeof copy), 0);
  // Slides and releases mark it too.
  s.Changed.Store(0);
  SlideVoice(s, 0, 440.0f, 0.7f);
  EXPECT_EQ(s.Changed.Load(), -1);
}

TEST_F(KeyboardStateTest, SanitizedRandomBytesAreUsable) {
  std::mt19937 rng(1234);
  for (int32_t round = 0; round < 300; ++round) {
    auto* bytes = reinterpret_cast<unsigned char*>(&s);
    for (size_t i = 0; i < sizeof s; ++i) bytes[i] = static_cast<unsigned char>(rng());
    // Half the rounds look like plausible files: small states and counts.
    if (round % 2) {
      s.ActiveCount.Store(static_cast<int32_t>(rng() % 40));
      for (VoiceSlot& v : s.Voices) {
        v.State.Store(static_cast<int32_t>(rng() % 4));
        v.Frequency.Store(static_cast<float>(rng() % 1000));
        v.Velocity.Store(0.5f);
      }
      for (HeldKey& h : s.HeldKeys) h.Voice.Store(static_cast<int32_t>(rng() % 36) - 2);
      s.LastVoice.Store(static_cast<int32_t>(rng() % 34) - 1);
    }
    SanitizeKeyboardState(s);
    ExpectConsistent();
    if (HasFailure()) return;
    // The state works afterwards.
    const int32_t v = NoteOn(s, 440.0f, 1.0f);
    if (s.ActiveCount.Load() < 32) {
      EXPECT_GE(v, 0);
    }
    NoteOff(s, v);
    VoiceListRebuild(s, keys);
    KillReleasedVoices(s, voices);
    s.Pending.Store(kPendingReset);
    VoiceListRebuild(s, keys);
    EXPECT_EQ(s.VoicesOn.Load(), 0);
  }
}

TEST(KeyboardBanks, InitCreatesBothBanksAndFreeUndoesIt) {
  FreeKeyboardStates();
  ASSERT_EQ(InitKeyboardStates(), 0);
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    ASSERT_NE(KeyboardStates[i].Load(), nullptr);
    ASSERT_NE(OctaveBoardStates[i].Load(), nullptr);
    EXPECT_NE(KeyboardVoiceLocks[i], nullptr);
    EXPECT_NE(KeyboardKeyLocks[i], nullptr);
    EXPECT_NE(OctaveBoardVoiceLocks[i], nullptr);
    EXPECT_NE(OctaveBoardKeyLocks[i], nullptr);
    EXPECT_EQ(KeyboardStates[i].Load()->Octave.Load(), 3);
    EXPECT_EQ(KeyboardStates[i].Load()->KeyOffset.Load(), 36);
    EXPECT_EQ(OctaveBoardStates[i].Load()->KeyOffset.Load(), 0);
    EXPECT_EQ(KeyboardStates[i].Load()->LastVoice.Load(), -1);
  }
  KeyboardState* first = KeyboardStates[0].Load();
  EXPECT_EQ(InitKeyboardStates(), 0);  // a second call keeps what exists
  EXPECT_EQ(KeyboardStates[0].Load(), first);
  FreeKeyboardStates();
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    EXPECT_EQ(KeyboardStates[i].Load(), nullptr);
    EXPECT_EQ(OctaveBoardKeyLocks[i], nullptr);
  }
}

TEST(KeyboardBanks, LockFailureGivesMinus26AndLeavesNothing) {
  FreeKeyboardStates();
  platform::FailNextMutexCreations(1);
  EXPECT_EQ(InitKeyboardStates(), -26);
  platform::FailNextMutexCreations(0);
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    EXPECT_EQ(KeyboardStates[i].Load(), nullptr);
    EXPECT_EQ(OctaveBoardStates[i].Load(), nullptr);
    EXPECT_EQ(KeyboardVoiceLocks[i], nullptr);
    EXPECT_EQ(OctaveBoardVoiceLocks[i], nullptr);
  }
  ASSERT_EQ(InitKeyboardStates(), 0);
  FreeKeyboardStates();
}

}  // namespace
}  // namespace Tarvelo
