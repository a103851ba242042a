#include "ui/panels/browser_tabs.h"

#include <cmath>
#include <string>

#include "app/startup.h"
#include "app/state/module_page.h"
#include "app/state/settings.h"
#include "basics/listings.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "engine/modulelist.h"
#include "platform/paths.h"
#include "ui/build/frame.h"
#include "ui/panels/libraries.h"
#include "ui/panels/panel_common.h"
#include "ui/views/list_views.h"
#include "visuals/control_table.h"
#include "visuals/controls.h"
#include "visuals/visuals.h"

namespace Tarvelo {

namespace V = QUARLE_VISUALS;
using QUARLE_BASICS::LangText;

namespace {

// one thread: interface
int32_t FilesAccumulator = 0;
// The listing on view was entered by a click on a folder row: the second
// click of a double-click there lands on the new listing, where that row
// number chooses nothing the user saw.
// one thread: interface
bool EnteredByClick = false;

// The list buttons follow LSORDER in this order.
enum ListButtonOffset : int32_t { kRename = 1, kCopy = 2, kDelete = 3, kSave = 4, kLoad = 5 };

void SetDisabledWord(int32_t id, bool disabled) {
  ControlRecord* c = PanelCtl(id);
  if (!c) return;
  V::SetDisabled(&c->State, disabled ? -1 : 0);
  V::ControlPublishState(c);
}

void SelectCurrentDrive(ControlRecord* drives, int64_t redraw) {
  if (!drives) return;
  drives->Text.Selected = QUARLE_BASICS::CurrentDriveIndex(Drives);
  if (redraw) drives->Text.Changed = -1;
  V::ControlPublish(drives, redraw);
}

}  // namespace

void ResetBrowserTabStatics() {
  FilesAccumulator = 0;
  EnteredByClick = false;
}

void RefreshFileList() {
  EnteredByClick = false;
  QUARLE_BASICS::ListFolder(BrowserListing, "", "", 0, 0);
  if (ControlRecord* files = SlotCtl(kUiFILES)) {
    files->Text.Selected = -1;
    files->Text.Mark = -1;
    files->Text.FirstVisible = 0;
    files->Text.Changed = -1;
    V::ControlPublish(files, -1);
  }
}

int32_t OnBrowserTab(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventPress)) return 0;
  const ControlRecord* tab = PanelCtl(id);
  const int32_t first = SlotId(kUiTABMSG);
  if (!tab || first <= 0) return 0;
  const int32_t tag = static_cast<int32_t>(tab->Tag);
  if (tag < kTabMessages || tag > kTabSession) return 0;

  for (int32_t k = 0; k < kTabSession; ++k) SetOnWord(first + k, k == tag ? -1 : 0);
  // The session tab lies above the panel, apart from the others.
  SetOnWord(SlotId(kUiTABSES), tag == kTabSession ? -1 : 0);

  SetVisibleWord(SlotId(kUiMSGB), tag == kTabMessages ? -1 : 0);
  SetVisibleWord(SlotId(kUiFB), tag == kTabFiles || tag == kTabSession ? -1 : 0);
  SetVisibleWord(SlotId(kUiLIB_MODULES), tag == kTabModules ? -1 : 0);
  SetVisibleWord(SlotId(kUiLIB_SAMPLES), tag == kTabSamples ? -1 : 0);
  SetVisibleWord(SlotId(kUiMCC), tag == kTabMidi ? -1 : 0);

  const int32_t order = SlotId(kUiLSORDER);
  if (order > 0) {
    const bool named = tag == kTabFiles || tag == kTabSamples || tag == kTabSession;
    SetDisabledWord(order + kRename, !named);
    SetDisabledWord(order + kCopy, !named);
    SetDisabledWord(order + kDelete, tag == kTabMessages);  // no message can be deleted
    SetDisabledWord(order + kSave, false);
    SetDisabledWord(order + kLoad, tag == kTabMessages || tag == kTabMidi);
  }
  ShowListOrderOf(PanelActiveBrowserList());

  if (tag == kTabFiles) {
    QUARLE_BASICS::ListFolder(BrowserListing, "", "*.*", 0, 0);
    PublishWhole(SlotId(kUiFILES), -1);
  } else if (tag == kTabSession) {
    // The session folder becomes current, and only synth files (and folders) show.
    QUARLE_BASICS::ListFolder(BrowserListing, SessionFolder, ".tarvelo", 0, 0);
    PublishWhole(SlotId(kUiFILES), -1);
    PanelSelectBrowserFile(SessionFile);
  }
  BrowserTab = tag;
  return 0;
}

int32_t OnFileList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t) {
  PressedLook(id, bits);
  // The main thread is the listing's only writer, so its count is read without the lock.
  const int32_t count = QUARLE_BASICS::DirListCount(BrowserListing);
  const uint32_t b = ListProcedure(bits, x, y, id, count, FilesAccumulator);
  ControlRecord* files = PanelCtl(id);
  if (!files || !(b & V::kEventClick)) return 0;
  const bool entered = EnteredByClick;
  EnteredByClick = false;
  if (entered && (bits & (V::kEventClick | V::kEventDragRelease)) && V::Pointer.doublePress != 0) {
    files->Text.Selected = -1;
    return 0;
  }
  const int32_t row = files->Text.Selected;
  if (row < 0 || row >= count) return 0;
  const auto i = static_cast<uint32_t>(row);
  if ((QUARLE_BASICS::DirListAttr(BrowserListing, i) & 16u) == 0) return 0;
  // A folder that went away leaves the current folder; it is listed again all the same.
  platform::ChangeFolder(QUARLE_BASICS::DirListName(BrowserListing, i));
  RefreshFileList();
  EnteredByClick = (bits & (V::kEventClick | V::kEventDragRelease)) != 0;
  return 0;
}

int32_t OnBrowserUp(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  platform::ChangeFolder("..");
  RefreshFileList();
  return 0;
}

int32_t OnBrowserHome(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  platform::ChangeFolder(QUARLE_BASICS::DynZStringGet(QUARLE_BASICS::HomeFolder));
  RefreshFileList();
  SelectCurrentDrive(SlotCtl(kUiBDRV), 0);
  return 0;
}

int32_t OnBrowserRefresh(uint32_t bits, int32_t, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  if (!(bits & V::kEventClick)) return 0;
  RefreshFileList();
  // The drives are probed again; the current folder stays.
  QUARLE_BASICS::InitDrivesAndHome(Drives);
  SelectCurrentDrive(SlotCtl(kUiBDRV), -1);
  return 0;
}

int32_t OnBrowserDrives(uint32_t bits, int32_t x, int32_t, int32_t id, int32_t) {
  PressedLook(id, bits);
  ControlRecord* c = PanelCtl(id);
  if (!c) return 0;
  if (bits != V::kEventHover && bits != V::kEventPress && bits != V::kEventClick) {
    c->Text.Mark = -1;
    return 0;
  }
  std::string tip = LangText(237, "Available drives. Click to open.");
  const int32_t driveCount = Drives ? Drives->count.load() : 0;
  const int32_t lx = x - V::ControlX(c);
  const int32_t inner = V::ControlW(c) - 2 * V::BorderWidth;
  if (driveCount > 0 && lx >= 1 && lx < inner) {
    const double cell = static_cast<double>(inner) / driveCount;
    int32_t n = 1 + static_cast<int32_t>(std::floor(lx / cell));
    if (n > driveCount) n = driveCount;
    if (n < 0) n = 0;
    const std::string drive = QUARLE_BASICS::DriveText(Drives, static_cast<uint8_t>(n));
    if (bits == V::kEventHover) {
      c->Text.Mark = n;
      tip = QUARLE_BASICS::InsertArg(LangText(238, "Drive #{$}: "), std::to_string(n)) + drive;
    } else if (bits == V::kEventClick) {
      c->Text.Selected = n;
      // A drive that cannot be entered: the drives are probed again and the
      // folder that was current (else home, else the program's) stays.
      if (!platform::ChangeFolder(drive)) {
        QUARLE_BASICS::InitDrivesAndHome(Drives);
        c->Text.Selected = QUARLE_BASICS::CurrentDriveIndex(Drives);
        c->Text.Changed = -1;
      }
      RefreshFileList();
    }
  } else {
    c->Text.Mark = -1;
  }
  QUARLE_BASICS::DynZStringAssign(c->Tooltip, tip);
  return 0;
}

}  // namespace Tarvelo
