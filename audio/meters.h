// Stereo level meters of the output and the input, and the silent default
// callbacks installed when the audio library is given none.
#pragma once
#include <cstdint>

namespace QUARLE_AUDIO {

// One channel's meter. While a callback accumulates, level holds the sum of the
// squares, minimum the sum of the negative samples and maximum the sum of the
// others; after an update they hold the dB level of the RMS (at least -140) and
// the two means, limited to -1..0 and 0..1.
// one thread: value
struct LevelMeter {
  float level;
  float minimum;
  float maximum;
};

constexpr float kMeterFloorDb = -140.0f;
constexpr uint32_t kReportMeterValues = 209;  // payload: 6 floats from a fixed ring
constexpr uint32_t kReportCaptureBlock = 207; // payload: heap copy of the block

// Left then right; written under MT_AUDIO, read by the meters' draws under it.
// one thread: holder of MT_AUDIO
extern LevelMeter OutputMeters[2];
extern LevelMeter InputMeters[2];

void LevelMeterAssign(LevelMeter& dst, const LevelMeter& src);

// Meter reports are made inside the render callback, which must not allocate:
// their six values live in a fixed ring of kMeterReportBlocks blocks, valid until
// that many later reports have been made. Receivers release every report's
// block through ReleaseReportBlock, which frees the heap blocks of the other
// reports on the main queue (207 capture copy, 208 stream copy) and leaves ring blocks.
constexpr int32_t kMeterReportBlocks = 256;
void ReleaseReportBlock(uint32_t type, uint64_t word2);

// Feeding rule for every callback that measures: per stereo frame, for each
// channel's sample x: level += x * x; x < 0 ? minimum += x : maximum += x.
inline void LevelMeterFeed(LevelMeter& m, float x) {
  m.level += x * x;
  if (x < 0.0f) m.minimum += x; else m.maximum += x;
}

// n = floats accumulated (both channels), measured as n / 2 frames. Converts,
// posts report 209 on queue 0,
// copies into OutputMeters under MT_AUDIO and zeroes both meters. n < 1: no-op.
void UpdateOutputMeters(LevelMeter* left, LevelMeter* right, int32_t n);

// The same for the input, without a report. stereo = -1: n counts the floats of
// an interleaved block (measured over n / 2 frames); stereo = 0: right copies left.
void UpdateInputMeters(LevelMeter* left, LevelMeter* right, int32_t n, int64_t stereo);

// Silent defaults for the render and capture callbacks. The capture flag is a
// 64-bit flag word (-1 set, 0 clear).
void DefaultRenderCallback(float** buffer, int32_t start, int32_t count);
void DefaultCaptureCallback(float** buffer, int32_t count, int64_t* resync);

}  // namespace QUARLE_AUDIO
