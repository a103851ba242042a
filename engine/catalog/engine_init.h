// Engine start-up and shutdown: the engine's locks, rate constants, tables,
// keyboard states, MIDI maps, module lists and the module-type catalog.
#pragma once
#include <cstdint>

#include "platform/threads.h"

namespace Tarvelo {

// one thread: start-up
extern int64_t EngineReady;   // -1 once init has run
extern int64_t EngineClosed;  // -1 once close has run

// one thread: start-up (made and destroyed; the lock itself is shared)
extern platform::Mutex* ScopeLock;  // guards the scope's block ring and the power history
constexpr int32_t kSpectrumWorkBytes = 32768;
constexpr int32_t kScopeSampleWindowBytes = 131072;
constexpr int32_t kPowerHistoryFloats = 600;
// The blocks are made by init and freed by close (what they hold is the
// scope draw's, and the ring's the holder of ScopeLock).
// one thread: start-up
extern uint8_t* SpectrumWorkBuffer;
extern uint8_t* ScopeSampleWindow;
extern float* PowerHistoryRing;
// The power display's own history block, allocated by it with new[]; close
// frees it when set.
// one thread: video (close runs after the video thread stopped)
extern float* PowerDisplayHistory;

// Builds the engine for a sample rate: 0, -26 when a lock cannot be created,
// -21 when an allocation fails (everything made so far is freed again). Does
// nothing while the engine is up; after close it may run again.
int32_t init(float sampleRate);
// Frees what init made. Runs after the audio thread has stopped; a second call
// does nothing.
void close();

}  // namespace Tarvelo
