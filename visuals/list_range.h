// Lists whose items come and go under them. The first visible row is the
// interface thread's: when a list's item count falls below its scroll position
// it is brought back (the last item at the bottom of the view, or 0) there and
// published, and a list whose count changed at all is published with its rows
// to render again, so that the next frame draws a new message or action, or a
// deletion, whichever thread added or removed the item. The list draw clamps
// only its own copy meanwhile.
#pragma once
#include <cstdint>

#include "visuals/controls.h"

namespace QUARLE_VISUALS {

// The item count of the lists drawn by fn, read on the interface thread under
// the lock its writers hold.
using ListCountFn = int32_t (*)();
void SetListCount(DrawCallbackFn fn, ListCountFn count);
ListCountFn ListCountOf(DrawCallbackFn fn);

// The scroll position clamped to the items: at most count - rows, at least 0.
int32_t ListFirstInRange(int32_t first, int32_t count, int32_t rows);

// A control that shows a list (SetListRows notes it).
void NoteListControl(int32_t id);
// The control table is freed: its lists go with it.
void ForgetListControls();

// Interface thread, after its handlers have run (the event loop calls it once a
// pass): every noted list with a count function whose count changed since the
// last call, or whose first visible row lies past its items, gets its first
// visible row clamped and its redraw flag set, and is published. The number
// of lists published.
int32_t KeepListsInRange();

}  // namespace QUARLE_VISUALS
