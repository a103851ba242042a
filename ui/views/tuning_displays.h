// The tuning displays: the tuning editor's name label with its unsaved-changes
// note (TNGNAME), the bar of key steps (TNGSCLD), the key grid (TNGSCL), the
// scale-pattern switches (TNGSS), the editor's pattern list (SAM inside TNG)
// and the module panel's scale list (SCALELIST). Each reads the tuning under
// one MT_TUNINGS lock at a time: the editor's copy (0), or for the scale list
// the tuning in use (1).
#pragma once
#include <cstdint>
#include <string>

#include "visuals/controls.h"

namespace Tarvelo {

constexpr uint32_t kTuningGridBack = 0xFF32323C;
constexpr uint32_t kTuningStepsFill = 0xFF141419;
constexpr uint32_t kTuningHover = 0xFFC89600;
constexpr uint32_t kTuningSelected = 0xFF0000C8;
constexpr uint32_t kTuningSwitchOn = 0xFF175DB0;
constexpr uint32_t kTuningLine = 0xFF0A2A4D;  // switch off, outlines, separators, frames
constexpr uint32_t kTuningActiveFrame = 0xFFBEBEFF;

// The width of one key cell for a control w pixels wide and N keys: (w - 2B)
// / N in single precision, at least 2.
float TuningCellWidth(int32_t w, int32_t N);
// Pattern names are kept in fixed fields: the name with blanks trimmed at both ends.
std::string TrimmedPatternName(const char* field);
// The row's key mask as N digits (the highest key first, leading zeros kept).
std::string PatternMaskDigits(uint64_t mask, int32_t N);

// What the editor's name label, key steps, key grid and pattern switches
// draw of the edited tuning (its keys, ratios, names, patterns and the
// unsaved-changes mark), as one hash. Takes the edited tuning's lock.
uint64_t EditedTuningLook();
// The keys of tuning `which` (0 edited, 1 in use, 2 the engine's): their
// count, ratios and names, as one hash. Takes that tuning's lock.
uint64_t TuningKeysLook(int32_t which);
// The live watch of those displays: whether that changed since this Tag last
// asked. Each display takes its own Tag. Video thread only.
template <int Tag>
bool EditedTuningNews() {
  // one thread: video, the frame watch's
  static uint64_t shown = 0;
  const uint64_t look = EditedTuningLook();
  const bool news = look != shown;
  shown = look;
  return news;
}

// The pattern switches' watch: the edited tuning and the pattern they show.
bool ScalePatternSwitchesNews();

int32_t DrawTuningName(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawTuningKeySteps(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawTuningKeyGrid(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawScalePatternSwitches(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawScalePatternList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawScaleList(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
// Their item counts: the edited and the active tuning's scale patterns.
int32_t ScalePatternCount();
int32_t ScaleListCount();

}  // namespace Tarvelo
