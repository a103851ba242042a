// The library views of the browser pane and the module panel's list of samples
// in memory: the module catalog REFM and the created modules LIBM behind the
// tabs LIBT1/LIBT2, the sample library SAM with its channel selector SLIBC,
// and WLIST (the synth's samples). The rows are drawn from the live lists; the
// callbacks keep only hover, selection and scrolling, and check a selection
// against its list again on every click.
#pragma once
#include <cstdint>

namespace Tarvelo {

struct WaveLibraryList;

// What the last press in REFM or LIBM offers to the synth plane: after a press
// in REFM the ModuleType of the hovered row, after a press in LIBM the hovered
// row (a ModuleList index); -1 when the press hit no row. The plane resets it
// to -1 after a drop created a module. Defined with the synth plane, which
// reads it (ui/views/synth_plane.h).
// one thread: interface, the library lists' drag and the plane's drop
extern int32_t DragModuleIndex;

// SLIBC's captions by item: 0 "Mono", 1 "L", 2 "R", 3 "Stereo".
constexpr int32_t kSampleChannelChoices = 4;

int32_t OnLibraryTab(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnModuleCatalogList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnCreatedModuleList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSampleChannels(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSampleLibraryList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSampleList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// The caption of an SLIBC item (wrapped into 0..3).
const char* SampleChannelCaption(int32_t item);

// The list-order switch LSORDER shows the order of the list now on view: item
// 0 when that list is reversed, 1 in normal order; its text field published.
void ShowListOrderOf(int32_t listId);

// A press on one of two tabs (slots firstTab and the one after, the tab with
// Tag 1 the second) turns it on and the other off, shows its list (slot
// firstList or the one after, hiding the other) and that list's order.
void ShowTabPage(int32_t id, uint32_t bits, int32_t firstTabSlot, int32_t firstListSlot);

// The count of a library list, read under its lock.
int32_t LibraryCount(const WaveLibraryList& list);
// Takes entry i out of a library list under its lock (later entries move down
// one place and take their new list index) and destroys it, once the engine
// has let go of it (ReleaseUnloadedEntry); false for an index outside the
// list. Detach the entry from every module first.
bool RemoveLibraryListEntry(WaveLibraryList& list, int32_t i);

// The drag accumulators back to 0 and DragModuleIndex to -1 (tests).
void ResetLibraryStatics();

}  // namespace Tarvelo
