// Draw callbacks of the five library lists, on the list scheme of
// ui/views/list_views.h: the module catalog (REFM), the created modules (LIBM),
// the sample library (SAM), the samples in memory (WLIST) and the FIR filter
// files (FLIST); and the duration text of the sample and melody lists.
#pragma once
#include <cstdint>
#include <string>

#include "visuals/controls.h"

namespace Tarvelo {

using QUARLE_VISUALS::RenderRecord;

// Marker colour per module category 0..7 (0: none); the interface build keeps
// the table, which the module boxes share.
extern const uint32_t CategoryColours[8];
// Short channel-layout tags by channel count 0..11 ("N/A", "M", "S", ...).
extern const char ChannelLayoutTags[12][4];

// Seconds rounded to two decimals with exactly two after the point and "s":
// 1.0 -> "1.00s", 1.5 -> "1.50s", 12.34 -> "12.34s".
std::string FormatSeconds(float seconds);
// The file name without the text from its last "." on; whole without a ".".
std::string FileStem(const std::string& name);

// (snapshot, control id) -> 0.
int32_t DrawModuleCatalogList(RenderRecord* snap, int32_t id);  // REFM
int32_t DrawCreatedModuleList(RenderRecord* snap, int32_t id);  // LIBM
int32_t DrawSampleLibraryList(RenderRecord* snap, int32_t id);  // SAM
// Whether what the created-module rows show changed since the last ask (the
// list's live watch). Video thread only.
bool CreatedModuleListHasNews();
int32_t DrawSampleMemoryList(RenderRecord* snap, int32_t id);   // WLIST
int32_t DrawFilterList(RenderRecord* snap, int32_t id);         // FLIST
// The item counts of LIBM, SAM, WLIST and FLIST, read under their lists' locks.
int32_t CreatedModuleCount();
int32_t SampleLibraryCount();
int32_t SampleMemoryCount();
int32_t FilterListCount();

}  // namespace Tarvelo
