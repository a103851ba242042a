#include "visuals/visuals.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "basics/errors.h"
#include "platform/display.h"
#include "platform/display_link.h"
#include "visuals/control_table.h"

namespace QUARLE_VISUALS {

using QUARLE_BASICS::kErrAllocation;
using QUARLE_BASICS::kErrBadParameter;
using QUARLE_BASICS::kErrMutexCreate;

Mutex* MT_DRAW = nullptr;
Mutex* MT_HOVER = nullptr;
int64_t VisualsInitialised = 0;
int32_t* WindowList = nullptr;
int32_t WindowSlotCount = 0;
int32_t** FocusLists = nullptr;
int32_t* FocusListCounts = nullptr;
float ScreenModes[kMaxScreenModes][2] = {};
int32_t ScreenModeCount = 0;
int32_t ScreenModeIndex = -1;
int32_t ScreenSizePassedOver = 0;
int64_t ScreenWidth = 0;
int64_t ScreenHeight = 0;
int32_t BorderWidth = 3;
std::atomic<int32_t> FocusedControl{0};
std::atomic<uint32_t> FocusMode{0};
PointerState Pointer;
CommandMessage* GuiFetchBuffer = nullptr;
ArrayHeader GuiFetchHeader;
int32_t* UiIndex = nullptr;
int32_t* DialogEditIndex = nullptr;
void (*VideoThreadStopper)() = nullptr;

namespace {

void FreeWindowLists() {
  if (FocusLists) {
    for (int32_t i = 0; i < WindowSlotCount; ++i) std::free(FocusLists[i]);
  }
  std::free(FocusLists);
  std::free(FocusListCounts);
  std::free(WindowList);
  FocusLists = nullptr;
  FocusListCounts = nullptr;
  WindowList = nullptr;
  WindowSlotCount = 0;
}

int32_t MakeWindowLists(int32_t slots) {
  FreeWindowLists();
  const auto n = static_cast<size_t>(slots);
  WindowList = static_cast<int32_t*>(std::calloc(n, sizeof(int32_t)));
  FocusLists = static_cast<int32_t**>(std::calloc(n, sizeof(int32_t*)));
  FocusListCounts = static_cast<int32_t*>(std::calloc(n, sizeof(int32_t)));
  if (!WindowList || !FocusLists || !FocusListCounts) {
    FreeWindowLists();
    return -kErrAllocation;
  }
  WindowSlotCount = slots;
  return 0;
}

void EnsureLock(Mutex*& m) {
  if (!m) m = platform::MutexCreate();
}

// The modes offered: 32-bit, within 1280..4096 x 720..2160, in listing order.
void ListScreenModes() {
  ScreenModeCount = 0;
  for (const platform::DisplayMode& m : platform::DisplayModes()) {
    if (ScreenModeCount >= kMaxScreenModes) break;
    if (m.depth != 32) continue;
    const int32_t w = m.width;
    const int32_t h = m.height;
    if (w < kMinScreenWidth || w > kMaxScreenWidth || h < kMinScreenHeight ||
        h > kMaxScreenHeight)
      continue;
    ScreenModes[ScreenModeCount][0] = static_cast<float>(w);
    ScreenModes[ScreenModeCount][1] = static_cast<float>(h);
    ++ScreenModeCount;
  }
}

}  // namespace

int32_t init(int32_t windowSlots, int64_t& w, int64_t& h, int64_t monitors) {
  if (VisualsInitialised) return -1;

  // A failed earlier attempt may have made some of these; they are kept.
  EnsureLock(MT_FONT);
  EnsureLock(MT_HOVER);
  EnsureLock(MT_DRAW);
  if (!MT_FONT || !MT_HOVER || !MT_DRAW) return -kErrMutexCreate;

  if (windowSlots < 1) return -kErrBadParameter;
  if (const int32_t r = MakeWindowLists(windowSlots); r != 0) return r;

  if (const int32_t r = ControlTableCreate(); r != 0) return r;

  if (const int32_t r = FontEngineStart(); r != 0) return r;
  ScreenModeIndex = -1;

  ListScreenModes();

  if (monitors < 1) monitors = 1;
  const int64_t attached = platform::MonitorCount();
  if (monitors > attached) monitors = attached;

  int64_t dw = 0, dh = 0;
  if (!platform::DesktopSize(dw, dh)) return -kErrBadParameter;
  const auto aspect = static_cast<float>(static_cast<double>(dw) / static_cast<double>(dh));

  if (w == 0 && h > 0) {
    w = static_cast<int64_t>(std::nearbyint(static_cast<float>(h) * aspect));
  } else if (w > 0 && h == 0) {
    h = static_cast<int64_t>(std::nearbyint(static_cast<float>(w) / aspect));
  } else if (w == 0 && h == 0) {
    w = dw;
    h = dh;
  }
  if (w < kMinScreenWidth) w = kMinScreenWidth;
  if (h < kMinScreenHeight) h = kMinScreenHeight;
  if (w > dw) w = dw;
  if (h > dh) h = dh;

  for (int32_t i = ScreenModeCount - 1; i >= 0; --i) {
    if (ScreenModes[i][0] <= static_cast<float>(w) && ScreenModes[i][1] <= static_cast<float>(h)) {
      ScreenModeIndex = i;
      break;
    }
  }
  ScreenSizePassedOver = 0;
  if (ScreenModeIndex < 0) {
    // The wish was saved on another display, or before this one changed its
    // modes: the smallest mode stands in, when the desktop holds it.
    if (ScreenModeCount > 0 && ScreenModes[0][0] <= static_cast<float>(dw) &&
        ScreenModes[0][1] <= static_cast<float>(dh)) {
      ScreenModeIndex = 0;
      ScreenSizePassedOver = -1;
      w = static_cast<int64_t>(std::nearbyint(ScreenModes[0][0]));
      h = static_cast<int64_t>(std::nearbyint(ScreenModes[0][1]));
    } else {
      platform::SetDisplayFailure(
          platform::DisplayName() +
          (ScreenModeCount == 0 ? std::string(": no 32-bit display mode from 1280 x 720 to 4096 x 2160")
                                : ": no display mode fits its desktop of " + std::to_string(dw) + " x " +
                                      std::to_string(dh)));
      return -kErrBadParameter;
    }
  }

  ScreenWidth = static_cast<int64_t>(
      std::nearbyint(static_cast<double>(monitors) * ScreenModes[ScreenModeIndex][0]));
  ScreenHeight = static_cast<int64_t>(std::nearbyint(ScreenModes[ScreenModeIndex][1]));

  if (VisualsCommandQueue < 0) {
    int32_t queue = -1;
    if (const int32_t r = QUARLE_BASICS::CreateCommandQueue(queue); r != 0) return r;
    VisualsCommandQueue = queue;
  }

  platform::PointerPosition(Pointer.x, Pointer.y);
  VisualsInitialised = -1;
  return 0;
}

void VisualsShutdown() {
  if (VideoThreadStopper) VideoThreadStopper();

  std::free(GuiFetchBuffer);
  GuiFetchBuffer = nullptr;
  QUARLE_BASICS::ArrayHeaderFree(GuiFetchHeader);
  GuiFetchHeader.count = 0;
  GuiFetchHeader.capacity = 0;

  ControlTableFree();
  // The font tables go while MT_FONT still exists: their release takes it.
  FontEngineStop();

  std::free(UiIndex);
  UiIndex = nullptr;
  std::free(DialogEditIndex);
  DialogEditIndex = nullptr;
  FreeWindowLists();

  platform::MutexDestroy(MT_FONT);
  platform::MutexDestroy(MT_HOVER);
  platform::MutexDestroy(MT_DRAW);
  MT_FONT = nullptr;
  MT_HOVER = nullptr;
  MT_DRAW = nullptr;

  ScreenModeCount = 0;
  ScreenModeIndex = -1;
  ScreenSizePassedOver = 0;
  FocusedControl = 0;
  FocusMode = 0;
  VisualsInitialised = 0;
}

}  // namespace QUARLE_VISUALS
