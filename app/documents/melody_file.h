// The melody file (".mel"): a recorded melody of a Sequencer, little-endian:
// i32 24, the 24 bytes "TARVELO MELODY FILE V1.0", i32 N (the byte size of the
// melody record), then the record: a head of six f32 (w0 the event slots the
// record claims, w3 the Sequencer's rate value, w5 the length in seconds) and
// 16-byte events.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "app/state/wave_library.h"
#include "platform/saver.h"

namespace Tarvelo {

constexpr const char* kMelodyMagic = "TARVELO MELODY FILE V1.0";
constexpr int32_t kMelodyMagicLength = 24;
constexpr int32_t kMelodyHeadBytes = 24;
constexpr int32_t kMelodyEventBytes = 16;
constexpr int32_t kMelodyRecordedEvents = 12000;
// A recorded melody's record: 24 + 16 x 12,000.
constexpr int32_t kMelodyRecordBytes = kMelodyHeadBytes + kMelodyEventBytes * kMelodyRecordedEvents;

// Writes the entry to its folder\file. 0 (the entry is then saved), -19
// without an entry or with a record that has no data, or the file error (the
// previous file then stays as it was and the entry stays unsaved).
int32_t SaveMelody(WaveLibraryEntry* entry);
// The same, the file handed to the saver, as SaveWaveRecordThen.
int32_t SaveMelodyThen(WaveLibraryEntry* entry, platform::SaveOutcome outcome, std::function<void(int32_t)> done);
// Reads folder\file into a new MelodyLibrary entry: its index; the negated
// open error; -21 when the list or the record cannot grow; -28 when the file
// is no melody file of this version, is cut short, or its record holds less
// than its head or fewer event slots than its head claims. The list is
// unchanged on failure.
int32_t LoadMelody(const std::string& folder, const std::string& file);

}  // namespace Tarvelo
