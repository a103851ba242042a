// The melody page of the module panel: the melodies in memory (MelodyLibrary)
// in MLIST with the buttons MSAV, MDEL and MSET, and the recording callbacks
// that the module page binds to REC while a Sequencer or a Melody Generator
// is shown. Recording takes two clicks: the first makes an empty, busy melody
// named by the time stamp and attaches it, the second starts the recording.
// Neither begins a take where nothing renders the module (RefuseTakeStart);
// a take that lost its renderer ends at the next click.
#pragma once
#include <cstdint>

namespace Tarvelo {

struct WaveLibraryEntry;

int32_t OnMelodyList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMelodySave(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMelodyUnload(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMelodySet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSequencerRecord(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMelodyGeneratorRecord(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// Appends a new empty melody to the MelodyLibrary: busy, unsaved, named by the
// time stamp in HomeFolder\MELODIES, with a zero-filled record of 192,024
// bytes. -21 when the library or the record cannot be had (the record's
// failure is reported with the given message number); *out gets the entry.
int32_t NewMelodyEntry(uint32_t failureMessage, WaveLibraryEntry** out);

// The drag accumulator back to 0 (tests).
void ResetMelodyPanelStatics();

}  // namespace Tarvelo
