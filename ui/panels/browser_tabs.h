// The browser pane's tabs and its file browser. The tabs show one view each:
// messages, files, module libraries, sample library, MIDI page, and the
// session (the file browser on the current synth file's folder, synth files
// only). The file browser lists the process's current folder (BrowserListing)
// in FILES; up, home, refresh and the drive strip BDRV change and reread it.
#pragma once
#include <cstdint>

namespace Tarvelo {

// Browser tab tags.
enum BrowserTabTag : int32_t {
  kTabMessages = 0,
  kTabFiles = 1,
  kTabModules = 2,
  kTabSamples = 3,
  kTabMidi = 4,
  kTabSession = 5,
};

int32_t OnBrowserTab(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFileList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnBrowserUp(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnBrowserHome(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnBrowserRefresh(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnBrowserDrives(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// The current folder listed again with the mask unchanged; FILES loses its
// selection, hover and scroll position and is redrawn.
void RefreshFileList();

// The drag accumulator back to 0 (tests).
void ResetBrowserTabStatics();

}  // namespace Tarvelo
