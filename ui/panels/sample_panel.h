// The module panel's sample page (the Sample module): the buttons SSET, SSAV
// and SDEL act on the row selected in WLIST (the synth's samples in memory),
// and REC, bound here while a Sample module is shown, records the module's
// input into a new sample in memory.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

struct ModuleRecord;
struct WaveLibraryEntry;

// REC while recording is asked to stop: this colour until the stop is done.
constexpr uint32_t kRecordPendingColour = 0xFFC86400;

int32_t OnSampleRecord(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSampleSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSampleSave(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSampleUnload(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// REC shows the module's record switch and, while its stop is pending, the
// pending colour; published.
void ShowRecordState(int32_t recId, const ModuleRecord* m);

// Why REC cannot start a take on m, or "" when it can: the render callback
// writes every take (a Sample's, a Sequencer's, a Melody Generator's), so a
// take starts only while the output plays and m is in the processing order.
std::string TakeCannotStart(const ModuleRecord* m);
// A start REC cannot make: the status line says why and REC shows the module
// as it is; nothing is made (an entry no frame writes would stay busy). true
// when refused. Every recorder asks this before it makes its entry.
bool RefuseTakeStart(int32_t recId, const ModuleRecord* m);

// A stop clicked on a take the page saw running: asks its end (RecordDone),
// which the render serves and clears. True when the request stands; false
// when the take ended on its own since the page read the switch.
bool AskTakeEnd(ModuleRecord* m);

// Before a library entry is freed: every live module holding it (and every
// catalog template) lets it go, at once when the module is not being
// processed, else through the engine command. With stopPlay a processed
// Sequencer holding it is stopped first and its output waited for. Returns
// once the posted commands have run (or the mailbox wait gave up), so the
// entry can be freed.
void DetachEntryEverywhere(const WaveLibraryEntry* e, bool stopPlay);

// The file list is read again and the saved file selected in it, when the
// browser shows the file list.
void ShowSavedFileInBrowser(const char* fileName);

}  // namespace Tarvelo
