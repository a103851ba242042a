#include "visuals/list_range.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "visuals/control_table.h"

namespace QUARLE_VISUALS {

namespace {

// Registered while the interface is installed, before the loop runs; read by
// the interface thread only.
struct CountEntry {
  std::atomic<DrawCallbackFn> draw{nullptr};
  std::atomic<ListCountFn> count{nullptr};
};
constexpr int32_t kMaxCounts = 32;
CountEntry g_counts[kMaxCounts];
std::atomic<int32_t> g_countCount{0};

// The interface thread's: the list controls and the count each was last seen with.
// one thread: interface
struct ListControl {
  int32_t id = 0;
  bool seen = false;
  int32_t count = 0;
};
// one thread: interface
std::vector<ListControl> g_lists;

}  // namespace

void SetListCount(DrawCallbackFn fn, ListCountFn count) {
  if (!fn) return;
  const int32_t n = g_countCount.load();
  for (int32_t i = 0; i < n; ++i)
    if (g_counts[i].draw.load() == fn) {
      g_counts[i].count.store(count);
      return;
    }
  if (n >= kMaxCounts) return;
  g_counts[n].count.store(count);
  g_counts[n].draw.store(fn);
  g_countCount.store(n + 1);
}

ListCountFn ListCountOf(DrawCallbackFn fn) {
  if (!fn) return nullptr;
  const int32_t n = g_countCount.load();
  for (int32_t i = 0; i < n; ++i)
    if (g_counts[i].draw.load() == fn) return g_counts[i].count.load();
  return nullptr;
}

int32_t ListFirstInRange(int32_t first, int32_t count, int32_t rows) {
  if (first > count - rows) first = count - rows;
  return first < 0 ? 0 : first;
}

void NoteListControl(int32_t id) {
  if (id < 1) return;
  for (const ListControl& l : g_lists)
    if (l.id == id) return;
  g_lists.push_back(ListControl{id, false, 0});
}

void ForgetListControls() { g_lists.clear(); }

int32_t KeepListsInRange() {
  int32_t published = 0;
  for (ListControl& l : g_lists) {
    ControlRecord* c = ControlAt(l.id);
    if (!c || c->DeletePending.load() != 0) continue;
    const ListCountFn countOf = ListCountOf(c->DrawCallback.load());
    if (!countOf) continue;
    const int32_t count = std::max(countOf(), 0);
    TextField& f = c->Text;
    const int32_t first = ListFirstInRange(f.FirstVisible, count, std::max(f.VisibleRows, 1));
    const bool changed = l.seen && count != l.count;
    l.seen = true;
    l.count = count;
    if (!changed && first == f.FirstVisible) continue;
    f.FirstVisible = first;
    f.Changed = -1;
    UpdateControl(l.id, 0);
    ++published;
  }
  return published;
}

}  // namespace QUARLE_VISUALS
