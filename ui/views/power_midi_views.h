// Two small live read-outs: the output power history strip (PPDISP), one
// pixel column per meter report spreading out from a centre line, and the MIDI
// input monitor (MIDIIN_DATA), the last received message as one text line.
// Both run on the video thread.
#pragma once
#include <cstdint>

#include "engine/globals.h"
#include "visuals/controls.h"

namespace Tarvelo {

// The history the strip draws: entries of six floats (left low, left high,
// left dB, right low, right high, right dB), kept in the engine's
// PowerDisplayHistory block. Video thread only.
// one thread: video, the power strip's draw
extern int32_t PowerHistoryLength;      // floats, 6 x entries
extern int32_t PowerHistoryWriteIndex;  // a multiple of 6 below the length

// Replaces the history by a zeroed one of `length` floats (plus one spare),
// every entry's two dB slots at -140, the write index at 0. A length below 0
// counts as 0; when the memory cannot be had the history is left empty.
void ResetPowerHistory(int32_t length);

int32_t DrawPowerHistory(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawMidiInputMonitor(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
// Whether the power strip may look different: a device streams or reports
// wait, and the strip or those reports hold something other than one repeated
// entry; or the stream just stopped. Video thread only.
bool PowerHistoryHasNews();
// Whether the monitor has a MIDI message not shown yet, or was switched on or
// off. Video thread only.
bool MidiMonitorHasNews();
// For the meters and the power history: they move while a device streams and
// fall back once when it stops. Each user takes its own Tag, so that each keeps
// its own memory of the last state. Video thread only.
template <int Tag>
bool AudioStreamNews() {
  // one thread: video, the frame watch's
  static bool last = true;
  const bool streaming = PlaybackActive.load() != 0 || CaptureActive.load() != 0;
  const bool news = streaming || last;
  last = streaming;
  return news;
}

}  // namespace Tarvelo
