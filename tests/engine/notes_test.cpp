// Note entry: key frequencies through the active tuning and the octave-board
// bases, note on/slide/off on the banks, and notes from several threads at once.
#include "engine/notes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "engine/globals.h"
#include "engine/midimap.h"
#include "engine/module.h"
#include "engine/params.h"
#include "engine/tuning.h"
#include "platform/threads.h"

namespace Tarvelo {
namespace {

class NotesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitKeyboardStates(), 0);
    for (platform::Mutex*& m : MT_TUNINGS) m = platform::MutexCreate();
    FreeTuning(ActiveTuning);
    InitTuning(ActiveTuning);
    savedRate = RateQuarter;
    RateQuarter = 12000.0f;
    CurrentKeyboardIndex.Store(0);
    CurrentOctaveBoardIndex.Store(0);
    TimeBaseIndex.Store(0);
    PlaybackActive = 0;
  }
  void TearDown() override {
    RateQuarter = savedRate;
    PlaybackActive = 0;
    MidiKeyMapping[0] = {0, -21};
    FreeKeyboardStates();
    for (platform::Mutex*& m : MT_TUNINGS) {
      platform::MutexDestroy(m);
      m = nullptr;
    }
  }
  KeyboardState& kb(int32_t i = 0) { return *KeyboardStates[i].Load(); }

  float savedRate = 0.0f;
};

TEST_F(NotesTest, KeyToFrequencyFollowsTheActiveTuning) {
  EXPECT_EQ(KeyToFrequency(48), 440.0f);
  // Above rate / 4 the result is exactly rate / 4.
  EXPECT_EQ(KeyToFrequency(48 + 12 * 5), 12000.0f);
  EXPECT_EQ(KeyToFrequency(INT_MAX), 12000.0f);
  EXPECT_EQ(KeyToFrequency(INT_MIN), 0.0f);
  RateQuarter = 24000.0f;
  EXPECT_EQ(KeyToFrequency(48 + 12 * 5), 14080.0f);
}

TEST_F(NotesTest, KeyFrequenciesAtTheTuningEdges) {
  for (int32_t n : {2, 64}) {
    for (float ref : {220.0f, 880.0f}) {
      TuningSetNoteCount(ActiveTuning, n);
      TuningSetReferencePitch(ActiveTuning, ref);
      const float top = ActiveTuning.AbsoluteRatios[n - 1];
      EXPECT_EQ(KeyToFrequency(0), ref / 16.0f);
      EXPECT_EQ(KeyToFrequency(4 * n), ref);
      EXPECT_EQ(KeyToFrequency(-1), ref / 32.0f * top);
      EXPECT_EQ(KeyToFrequency(4 * n + 1), ref * ActiveTuning.AbsoluteRatios[1]);
      // The highest key below the cap, and the first one above it: 220 x 2^5
      // and 880 x 2^3 are both 7040 Hz.
      const int32_t base = (ref == 220.0f ? 9 : 7) * n;
      EXPECT_EQ(KeyToFrequency(base), 7040.0f);
      int32_t i = n - 1;
      while (7040.0f * ActiveTuning.AbsoluteRatios[i] > 12000.0f) --i;
      EXPECT_EQ(KeyToFrequency(base + i), 7040.0f * ActiveTuning.AbsoluteRatios[i]);
      EXPECT_EQ(KeyToFrequency(base + i + 1), 12000.0f);
      EXPECT_EQ(KeyToFrequency(INT_MAX), 12000.0f);
      EXPECT_EQ(KeyToFrequency(INT_MIN), 0.0f);
    }
  }
}

TEST_F(NotesTest, KeyNoteOnFillsAHeldKeyAndAVoice) {
  kb().Stamp.Store(1);
  const int32_t h = KeyNoteOn(48, 0.0f, 0);
  ASSERT_EQ(h, 0);
  const HeldKey& e = kb().HeldKeys[0];
  EXPECT_EQ(e.Key.Load(), 48u);
  EXPECT_EQ(e.Stamp.Load(), 1u);
  ASSERT_EQ(e.Voice.Load(), 0);
  EXPECT_EQ(kb().Voices[0].Frequency.Load(), 440.0f);
  EXPECT_EQ(kb().Voices[0].Velocity.Load(), 1.0f);  // velocity 0 plays at full
  EXPECT_EQ(kb().Pending.Load(), kPendingRebuild);

  EXPECT_EQ(KeyNoteSlide(h, 60, 0.5f), 0);
  EXPECT_EQ(kb().Voices[0].Frequency.Load(), 880.0f);
  EXPECT_EQ(kb().Voices[0].Velocity.Load(), 0.5f);
  EXPECT_EQ(e.Key.Load(), 60u);

  EXPECT_EQ(KeyNoteOff(-1, 48, 0), 0);  // no longer held under 48
  EXPECT_EQ(KeyNoteOff(-1, 60, 0), -1);
  EXPECT_EQ(e.Voice.Load(), -1);
  EXPECT_EQ(kb().Voices[0].State.Load(), kVoiceReleased);
  EXPECT_EQ(KeyNoteOff(0, 60, 0), 0);  // entry without a voice
  EXPECT_EQ(KeyNoteSlide(0, 50, 1.0f), 0);
  EXPECT_EQ(e.Key.Load(), 60u);  // a keyboard entry without a voice keeps its key
  EXPECT_EQ(KeyNoteOff(-1, 77, 0), 0);
  EXPECT_EQ(KeyNoteOff(10, 77, 0), 0);
  EXPECT_EQ(KeyNoteSlide(10, 77, 1.0f), 0);
  EXPECT_EQ(KeyNoteSlide(-1, 77, 1.0f), 0);
}

TEST_F(NotesTest, NoVoiceLeftLeavesHeldKeysAndOffsetAlone) {
  // Released voices keep their slots until the keyboard frees them.
  for (int32_t i = 0; i < kVoicesUsed; ++i) {
    const int32_t h = KeyNoteOn(40 + i, 1.0f, 1);
    ASSERT_GE(h, 0);
    ASSERT_EQ(KeyNoteOff(h, 40 + i, 1), -1);
  }
  const int32_t h = KeyNoteOn(30, 1.0f, 1);  // one key held, its voice the 32nd? no: none left
  EXPECT_EQ(h, -1);
  for (const HeldKey& e : kb().HeldKeys) EXPECT_EQ(e.Voice.Load(), -1);
  EXPECT_EQ(kb().KeyOffset.Load(), 36);
  for (int32_t v = 0; v < kVoicesUsed; ++v) EXPECT_EQ(kb().Voices[v].Frequency.Load(), KeyToFrequency(40 + v));
}

TEST_F(NotesTest, OctaveBoardNotes) {
  const int32_t h = OctaveNoteOn(12, 0.7f);
  ASSERT_EQ(h, 0);
  KeyboardState& ob = *OctaveBoardStates[0].Load();
  EXPECT_EQ(ob.Voices[0].Frequency.Load(), 1.0f);
  EXPECT_EQ(ob.Voices[0].Velocity.Load(), 0.7f);
  EXPECT_EQ(OctaveNoteSlide(h, 11, 0.6f), 0);
  EXPECT_EQ(ob.Voices[0].Frequency.Load(), 2.0f);
  EXPECT_EQ(OctaveNoteOff(-1, 11), -1);
  EXPECT_EQ(OctaveNoteOff(-1, 11), 0);
  // An octave-board entry takes the new key even without a voice.
  EXPECT_EQ(OctaveNoteSlide(h, 5, 0.6f), 0);
  EXPECT_EQ(ob.HeldKeys[h].Key.Load(), 5u);
  EXPECT_EQ(KeyboardStates[0].Load()->VoicesOn.Load(), 0);
  CurrentOctaveBoardIndex.Store(-1);
  EXPECT_EQ(OctaveNoteOn(12, 1.0f), -1);
}

TEST_F(NotesTest, MidiNoteToKey) {
  EXPECT_EQ(MidiNoteToKey(21), 0);
  EXPECT_EQ(MidiNoteToKey(60), 39);
  EXPECT_EQ(MidiNoteToKey(20), -1);
  MidiKeyMapping[0] = {1, -21};
  EXPECT_EQ(MidiNoteToKey(60), 51);
  TuningSetNoteCount(ActiveTuning, 19);
  EXPECT_EQ(MidiNoteToKey(60), 58);
}

TEST_F(NotesTest, ReleaseAllKeys) {
  KeyNoteOn(48, 1.0f, 1);
  KeyNoteOn(50, 1.0f, 16);
  OctaveNoteOn(3, 1.0f);
  PlaybackActive = -1;
  ReleaseAllKeys();
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    EXPECT_EQ(KeyboardStates[i].Load()->Pending.Load(), kPendingReset);
    EXPECT_EQ(OctaveBoardStates[i].Load()->Pending.Load(), kPendingReset);
  }
  EXPECT_EQ(kb().Voices[0].State.Load(), kVoiceOn);  // the render callback resets it
  PlaybackActive = 0;
  ReleaseAllKeys();
  for (KeyboardState* s : {KeyboardStates[0].Load(), KeyboardStates[15].Load(), OctaveBoardStates[0].Load()}) {
    EXPECT_EQ(s->Pending.Load(), 0);
    EXPECT_EQ(s->VoicesOn.Load(), 0);
    EXPECT_EQ(s->Voices[0].State.Load(), kVoiceFree);
    EXPECT_EQ(s->HeldKeys[0].Voice.Load(), -1);
  }
  // A press kept across the render's reset ends nothing of the note a later
  // press started in its entry.
  HeldNote kept = KeyNoteOnHeld(48, 1.0f);
  PlaybackActive = -1;
  ReleaseAllKeys();
  VoiceListRebuild(kb(), KeyboardKeyLocks[0]);
  HeldNote later = KeyNoteOnHeld(50, 1.0f);
  ASSERT_EQ(later.entry, kept.entry);
  EXPECT_EQ(NoteOffHeld(kept, LockedNote::kRelease), 0);
  EXPECT_EQ(NoteOffHeld(later, LockedNote::kRelease), -1);
  // Nor a press kept across a load into its keyboard: the held key a locked
  // keyboard's file brings into its entry is the file's.
  HeldNote pressed = KeyNoteOnHeld(52, 1.0f);
  const int32_t entry = pressed.entry;
  ASSERT_GE(entry, 0);
  KeyboardState file;
  KeyboardStateCopyOut(file, kb());
  {
    platform::MutexGuard v(KeyboardVoiceLocks[0]);
    platform::MutexGuard k(KeyboardKeyLocks[0]);
    KeyboardStateCopyIn(kb(), file);
  }
  EXPECT_EQ(NoteOffHeld(pressed, LockedNote::kRelease), 0);
  EXPECT_GE(kb().HeldKeys[entry].Voice.Load(), 0);
}

// Two threads play and release overlapping keys on one keyboard while a third
// plays the render callback: rebuilds the list, reads the voices unlocked and
// frees released voices; a fourth stops the keyboard now and then. Under the
// voices lock every held key must name its own sounding voice and the count of
// busy slots must match VoicesOn.
TEST_F(NotesTest, ConcurrentNotesWhileTheVoiceListIsRebuilt) {
  PlaybackActive = -1;
  KeyboardState& s = kb();
  platform::Mutex* voices = KeyboardVoiceLocks[0];
  platform::Mutex* keys = KeyboardKeyLocks[0];
  std::atomic<bool> stop{false};
  std::atomic<int32_t> faults{0};
  std::atomic<int32_t> started{0};

  auto player = [&](uint32_t seed) {
    std::mt19937 rng(seed);
    int32_t held[4] = {-1, -1, -1, -1};
    int32_t heldKey[4] = {};
    for (int32_t i = 0; i < 4000; ++i) {
      const int32_t j = static_cast<int32_t>(rng() % 4);
      const int32_t key = 40 + static_cast<int32_t>(rng() % 12);
      switch (rng() % 4) {
        case 0:
        case 1:
          if (held[j] < 0) {
            held[j] = KeyNoteOn(key, 0.5f, 1);
            heldKey[j] = key;
            if (held[j] >= 0) started.fetch_add(1);
          }
          break;
        case 2:
          if (held[j] >= 0) KeyNoteSlide(held[j], key, 0.25f);  // on-screen keyboard 0
          break;
        default:
          KeyNoteOff(held[j] >= 0 ? held[j] : -1, heldKey[j], 1);
          held[j] = -1;
          break;
      }
    }
    for (int32_t j = 0; j < 4; ++j) KeyNoteOff(held[j], heldKey[j], 1);
  };

  std::thread render([&] {
    while (!stop.load()) {
      if (s.Pending.Load() != 0) {
        platform::MutexGuard v(voices);
        {
          platform::MutexGuard k(keys);
          int32_t busy = 0;
          for (int32_t i = 0; i < kVoicesUsed; ++i) busy += s.Voices[i].State.Load() != kVoiceFree;
          if (busy != s.VoicesOn.Load()) faults.fetch_add(1);
          bool used[kVoicesUsed] = {};
          for (const HeldKey& e : s.HeldKeys) {
            const int32_t voice = e.Voice.Load();
            if (voice < 0) continue;
            if (voice >= kVoicesUsed || used[voice] || s.Voices[voice].State.Load() != kVoiceOn)
              faults.fetch_add(1);
            else
              used[voice] = true;
          }
        }
        VoiceListRebuild(s, keys);
      }
      // What a process function reads, without the lock.
      float sum = 0.0f;
      for (int32_t i = 0; i < s.ActiveCount.Load(); ++i) {
        const VoiceSlot& v = s.Voices[s.ActiveList[i].Load()];
        sum += v.Velocity.Load() * v.Frequency.Load();
      }
      if (!(sum >= 0.0f)) faults.fetch_add(1);
      KillReleasedVoices(s, voices);
    }
  });
  std::thread stopper([&] {
    for (int32_t i = 0; i < 50 && !stop.load(); ++i) {
      ReleaseAllKeys();
      platform::SleepMs(1);
    }
  });
  std::thread a(player, 1u);
  std::thread b(player, 2u);
  a.join();
  b.join();
  stopper.join();
  // Let the render side free everything that was released (the bound only
  // catches a hang: a busy machine may take its time).
  const double end = platform::HighResClock() + 30.0;
  while (s.VoicesOn.Load() > 0 && platform::HighResClock() < end) platform::SleepMs(1);
  stop = true;
  render.join();

  EXPECT_EQ(faults.load(), 0);
  // How many notes find a free voice depends on how fast the render side frees
  // released ones on a loaded machine; some must.
  EXPECT_GT(started.load(), 0);
  for (const HeldKey& e : s.HeldKeys) EXPECT_EQ(e.Voice.Load(), -1);
  EXPECT_EQ(s.VoicesOn.Load(), 0);
  for (int32_t i = 0; i < kVoicesUsed; ++i) EXPECT_EQ(s.Voices[i].State.Load(), kVoiceFree) << i;
}

// A removal's swap stores the two bank entries one after the other: between
// them the moving state is in neither, and a release's unlocked look misses
// it. The release then finds it under every voices lock and ends its note.
// The hook completes the move between the look and that lock.
TEST_F(NotesTest, AReleaseWhoseLookMissesAMovingStateEndsItsNote) {
  static Shared<KeyboardState*>* bank;
  static KeyboardState* moving;
  static int32_t misses;
  CurrentKeyboardIndex.Store(2);
  CurrentOctaveBoardIndex.Store(2);
  for (const bool board : {false, true}) {
    SCOPED_TRACE(board ? "octave board" : "keyboard");
    bank = board ? OctaveBoardStates : KeyboardStates;
    HeldNote note = board ? OctaveNoteOnHeld(5, 1.0f) : KeyNoteOnHeld(48, 1.0f);
    ASSERT_EQ(note.state, bank[2].Load());
    moving = note.state;
    const int32_t entry = note.entry;
    bank[2].Store(bank[3].Load());  // the swap of entries 2 and 3, half made
    misses = 0;
    HeldNoteLookMissed.store(+[] {
      ++misses;
      bank[3].Store(moving);
    });
    EXPECT_EQ(NoteOffHeld(note, LockedNote::kRelease), -1);
    HeldNoteLookMissed.store(nullptr);
    EXPECT_EQ(misses, 1);
    EXPECT_EQ(moving->HeldKeys[entry].Voice.Load(), -1);
    for (platform::Mutex* const* locks : {KeyboardVoiceLocks, OctaveBoardVoiceLocks})
      for (int32_t k = 0; k < kKeyboardBankSize; ++k) {
        if (!platform::MutexTryLock(locks[k])) ADD_FAILURE() << "still held: " << k;
        else platform::MutexUnlock(locks[k]);
      }
  }
}

// Removing a module renumbers the others and swaps their keyboard states under
// both voices locks; notes arriving meanwhile must land in a whole state, and a
// kept note (entry 2, swapped with 3) ends at its release wherever its state went.
TEST_F(NotesTest, NotesWhileKeyboardStatesAreSwapped) {
  std::atomic<bool> stop{false};
  std::atomic<int32_t> lost{0};
  CurrentKeyboardIndex.Store(2);
  auto player = [](int32_t instance) {
    for (int32_t i = 0; i < 3000; ++i) {
      const int32_t key = 40 + i % 7;
      const int32_t h = KeyNoteOn(key, 0.5f, instance);
      if (i % 3 == 0) KeyNoteOff(h, key, instance);
      KeyNoteOff(-1, key, instance);
    }
  };
  std::thread render([&] {
    while (!stop.load()) {
      for (int32_t k = 0; k < 4; ++k) {
        platform::MutexGuard v(KeyboardVoiceLocks[k]);
        KeyboardState* state = KeyboardStates[k].Load();
        if (state->Pending.Load() != 0) VoiceListRebuild(*state, KeyboardKeyLocks[k]);
      }
      for (int32_t k = 0; k < 4; ++k) {
        KeyboardState* state;
        {
          platform::MutexGuard v(KeyboardVoiceLocks[k]);
          state = KeyboardStates[k].Load();
        }
        // As the render does: under the lock of whichever entry holds it now.
        KillReleasedVoices(*state, KeyboardStates, KeyboardVoiceLocks, k);
      }
    }
  });
  std::thread swapper([&] {
    for (int32_t i = 0; i < 300 && !stop.load(); ++i) {
      for (int32_t k = 0; k < 4; k += 2) {
        platform::MutexGuard a(KeyboardVoiceLocks[k]);
        platform::MutexGuard b(KeyboardVoiceLocks[k + 1]);
        KeyboardStates[k + 1].Store(KeyboardStates[k].Exchange(KeyboardStates[k + 1].Load()));
      }
    }
  });
  std::thread p1(player, 1);
  std::thread p2(player, 2);
  std::thread p3([&] {
    for (int32_t i = 0; i < 3000; ++i) {
      HeldNote note = KeyNoteOnHeld(60 + i % 5, 0.5f);
      if (note.state && NoteOffHeld(note, LockedNote::kRelease) != -1) lost.fetch_add(1);
    }
  });
  p1.join();
  p2.join();
  p3.join();
  CurrentKeyboardIndex.Store(0);
  EXPECT_EQ(lost.load(), 0);
  swapper.join();
  stop = true;
  render.join();
  // A swap between a note's on and its off sends the off to the other state,
  // as a load would: the key stays held where it started. Releasing every key
  // once more must leave both states clean.
  for (int32_t instance = 1; instance <= 2; ++instance) {
    for (int32_t key = 40; key < 47; ++key) {
      while (KeyNoteOff(-1, key, instance) != 0) {
      }
    }
  }
  for (int32_t k = 0; k < 4; ++k) {
    if (KeyboardStates[k].Load()->Pending.Load() != 0) VoiceListRebuild(*KeyboardStates[k].Load(), KeyboardKeyLocks[k]);
    KillReleasedVoices(*KeyboardStates[k].Load(), KeyboardVoiceLocks[k]);
  }
  for (int32_t k = 0; k < 4; ++k) {
    for (const HeldKey& e : KeyboardStates[k].Load()->HeldKeys) EXPECT_EQ(e.Voice.Load(), -1);
    for (int32_t v = 0; v < kVoicesUsed; ++v) EXPECT_NE(KeyboardStates[k].Load()->Voices[v].State.Load(), kVoiceOn);
  }
}

TEST(PortTable, RowsFollowTheModulesParameters) {
  ModuleRecord* m = ModuleRecordNew();
  ModuleRecord* other = ModuleRecordNew();
  ModuleRecord* value = ModuleRecordNew();
  ASSERT_TRUE(m && other && value);
  m->Role = kRoleLive;
  other->Role = kRoleLive;
  value->Role = kRoleLivePortValue;
  m->PortCount = 2;
  m->ParamCount = 4;
  const char* names[4] = {"In", "Amplitude", "Max keys (polyphonic)", "Feedback seed"};
  for (int32_t p = 0; p < 4; ++p) {
    QUARLE_BASICS::DynZStringAssign(m->Params[p].LongName, names[p]);
    m->Params[p].Value.Store(0.5f * p);
    m->Params[p].Scale = 10.0f;
  }
  m->Params[3].NoValueEditor = -1;
  m->Params[1].ChannelCountExempt = -1;
  m->PortSources[0].Store(other);  // cabled
  m->PortSources[1].Store(value);  // reads its value module
  m->PortSources[2].Store(m);      // linked to itself
  m->PortSources[3].Store(nullptr);
  CopyPortTable(m);
  ASSERT_EQ(PortListCount.load(), 4);
  EXPECT_EQ(PortListRows[0].ReadsValueModule, 0);
  EXPECT_EQ(PortListRows[1].ReadsValueModule, -1);
  EXPECT_EQ(PortListRows[2].ReadsValueModule, 0);
  EXPECT_EQ(PortListRows[3].ReadsValueModule, -1);
  EXPECT_EQ(PortListRows[1].IsInputPort, -1);
  EXPECT_EQ(PortListRows[2].IsInputPort, 0);
  EXPECT_EQ(PortListRows[3].NoValueEditor, -1);
  EXPECT_EQ(PortListRows[0].NoValueEditor, 0);
  EXPECT_EQ(PortListRows[1].ChannelCountExempt, -1);
  EXPECT_EQ(PortListRows[3].Value, 15.0f);
  EXPECT_STREQ(PortListRows[2].LongName.text, "Max keys (polyphonic)");

  // Renamed parameters get their new names; a null module changes nothing.
  QUARLE_BASICS::DynZStringAssign(m->Params[2].LongName, "Keys");
  CopyPortTable(m);
  EXPECT_STREQ(PortListRows[2].LongName.text, "Keys");
  CopyPortTable(nullptr);
  EXPECT_EQ(PortListCount.load(), 4);
  EXPECT_STREQ(PortListRows[0].LongName.text, "In");

  // A count beyond the parameter table is held to it.
  m->ParamCount = 500;
  CopyPortTable(m);
  EXPECT_EQ(PortListCount.load(), kPortListRows);
  m->ParamCount = -3;
  CopyPortTable(m);
  EXPECT_EQ(PortListCount.load(), 0);
  for (ModuleRecord* r : {m, other, value}) {
    for (Shared<ModuleRecord*>& s : r->PortSources) s.Store(nullptr);
    ModuleRecordDelete(r);
  }
}

// The video thread draws the rows while the interface refills them for another
// module: every row it reads is whole (one module's name and value), and under
// the sanitizers nothing it reads is freed or written meanwhile.
TEST(PortTable, RowsReadWhileRefilledAreWhole) {
  ModuleRecord* a = ModuleRecordNew();
  ModuleRecord* b = ModuleRecordNew();
  ASSERT_TRUE(a && b);
  for (ModuleRecord* m : {a, b}) m->ParamCount = 3;
  for (int32_t p = 0; p < 3; ++p) {
    QUARLE_BASICS::DynZStringAssign(a->Params[p].LongName, "first module port");
    QUARLE_BASICS::DynZStringAssign(b->Params[p].LongName, "second");
    a->Params[p].Value.Store(1.0f);
    b->Params[p].Value.Store(2.0f);
    a->Params[p].Scale = b->Params[p].Scale = 1.0f;
  }
  std::atomic<bool> stop{false};
  std::atomic<int32_t> torn{0};
  std::thread video([&] {
    while (!stop.load()) {
      for (int32_t item = 0; item < 3; ++item) {
        PortListRowCopy r;
        if (!ReadPortListRow(item, r)) continue;
        const bool whole = (r.LongName == "first module port" && r.Value == 1.0f) ||
                           (r.LongName == "second" && r.Value == 2.0f);
        if (!whole) torn.fetch_add(1);
      }
    }
  });
  for (int32_t round = 0; round < 2000; ++round) CopyPortTable(round % 2 ? a : b);
  stop = true;
  video.join();
  EXPECT_EQ(torn.load(), 0);
  PortListRowCopy r;
  EXPECT_FALSE(ReadPortListRow(3, r));
  EXPECT_FALSE(ReadPortListRow(-1, r));
  ModuleRecordDelete(a);
  ModuleRecordDelete(b);
}

TEST(ParamControl, ShowsTheNumberTheEditModeSelects) {
  ModuleRecord* m = ModuleRecordNew();
  ModuleRecord* pvm = ModuleRecordNew();
  ASSERT_TRUE(m && pvm);
  m->ParamCount = 2;
  m->PortValueModules[1] = pvm;  // owned by m from here on
  pvm->Outputs[0][0].Level = 0.25f;
  pvm->Outputs[1][0].Level = 0.75f;
  ModuleParam& p = m->Params[1];
  p.Scale = 2.0f;
  p.RangeLow.Store(0.5f);
  p.RangeHigh.Store(3.0f);
  p.Step.Store(0.125f);
  p.Value.Store(9.0f);
  m->SelectedParam.Store(1);
  m->EditChannel.Store(1);
  p.WriteBothChannels = 0;
  const int32_t savedMode = ParamEditMode.Load();

  ParamEditMode.Store(0);
  RefreshParamControl(m);
  EXPECT_EQ(p.Value.Load(), 0.75f);  // the edited channel's published value
  EXPECT_EQ(p.Number.Base.value, 1.5f);
  p.WriteBothChannels = -1;
  RefreshParamControl(m);
  EXPECT_EQ(p.Value.Load(), 0.25f);
  EXPECT_EQ(p.Number.Base.value, 0.5f);
  ParamEditMode.Store(1);
  RefreshParamControl(m);
  EXPECT_EQ(p.Number.Base.value, 1.0f);
  ParamEditMode.Store(2);
  RefreshParamControl(m);
  EXPECT_EQ(p.Number.Base.value, 6.0f);
  ParamEditMode.Store(3);
  RefreshParamControl(m);
  EXPECT_EQ(p.Number.Base.value, 0.25f);
  EXPECT_EQ(p.Value.Load(), 0.25f);

  // Nothing selected, a selection beyond the table, or no module: nothing happens.
  p.Number.Base.value = 42.0f;
  m->SelectedParam.Store(-1);
  RefreshParamControl(m);
  m->SelectedParam.Store(40);
  RefreshParamControl(m);
  RefreshParamControl(nullptr);
  EXPECT_EQ(p.Number.Base.value, 42.0f);
  ParamEditMode.Store(savedMode);
  ModuleRecordDelete(m);
}

}  // namespace
}  // namespace Tarvelo
