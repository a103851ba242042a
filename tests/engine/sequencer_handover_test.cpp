// The sequencer's recording hand-over between the audio and the interface
// thread. It lives with the engine's threaded tests, not the kernels' (which
// run on one thread), so the ThreadSanitizer pass runs it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/dsp/sequencer.h"
#include "engine/filerecord.h"
#include "platform/threads.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

using testing_synth::SynthTest;
using SequencerHandover = SynthTest;

// A recording that ends empty on the audio thread is not freed there: the
// melody library's lock may be held by the interface through file I/O. The
// audio thread finishes without waiting for it, hands the entry over once, and
// the interface thread frees it when woken.
TEST_F(SequencerHandover, AnEmptyRecordingIsFreedByTheInterfaceThread) {
  static std::atomic<int32_t> wakes{0};
  wakes = 0;
  WakeInterfaceForMelodies = [] {
    wakes.fetch_add(1);
    return true;
  };
  ModuleRecord* src = Source(1, 1);  // silent: nothing is recorded
  ModuleRecord* seq = Add(kTypeSequencer);
  Link(seq, kSeqFrequency, src);
  Link(seq, kSeqVelocity, src);
  WaveLibraryEntry* e = BlankMelody(3);
  AttachWaveToModule(seq, e, ~uint64_t{0});
  platform::MarkInterfaceThread();
  std::atomic<bool> finished{false};
  platform::MutexLock(MelodyLibrary.header.lock);  // the interface saving melodies
  std::thread audio([&] {
    for (int32_t f = 0; f < 100; ++f) Run(seq, 1, f & 1);  // recording silence
    FinishSequencerRecording(*seq);  // the record switch went off: nothing to keep
    finished = true;
  });
  // The bound only catches a hang: a busy machine may take its time.
  const double end = platform::HighResClock() + 30.0;
  while (!finished.load() && platform::HighResClock() < end) platform::SleepMs(1);
  const bool finishedWhileLocked = finished.load();
  platform::MutexUnlock(MelodyLibrary.header.lock);
  audio.join();
  EXPECT_TRUE(finishedWhileLocked);
  EXPECT_EQ(seq->SampleEntry.Load(), nullptr);
  ASSERT_EQ(MelodyLibrary.header.count, 1);  // still there, waiting
  EXPECT_EQ(wakes.load(), 1);
  TakeFinishedRecordings();
  EXPECT_EQ(MelodyLibrary.header.count, 0);
  TakeFinishedRecordings();  // nothing left: harmless
  platform::ForgetInterfaceThread();
  WakeInterfaceForMelodies = nullptr;
}

}  // namespace
}  // namespace Tarvelo
