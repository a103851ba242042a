// Decibel conversions, the radix-2 FFT of a block (one channel or both channels
// of an interleaved stereo block) and the dominant frequency of a spectrum.
#pragma once
#include <cstdint>

namespace QUARLE_BASICS {
struct Complex;  // basics/complex.h: f32 re, f32 im
}

namespace QUARLE_AUDIO {

using QUARLE_BASICS::Complex;

constexpr float kSilenceDb = -140.0f;

// 10 log10(re^2 + im^2); -140 for (0, 0), no floor for other small powers.
float PowerToDb(const Complex* c);
// 20 log10(x) for x >= 0; -140 for 0.
float AmplitudeToDb(float x);

// FFT of N = count + padZeros points (a power of two, at least 4; else -19 and
// nothing is written). channel 0 reads a mono block, 1 and 2 the left and right
// channel of an interleaved stereo block; the block starts at input[offset] and
// holds count frames, the padding reads as zeros. output gets N bins, bin 0
// divided by N (the block's mean), the others unscaled. -21 when the rotation
// table cannot be allocated.
int32_t SpectrumOfBlock(const float* input, Complex* output, int64_t offset, int64_t count,
                        int64_t padZeros, int32_t channel);

// Both channels of an interleaved stereo block of count frames at once:
// output[0..N-1] the left, output[N..2N-1] the right spectrum.
int32_t SpectrumAnalyse(const float* input, Complex* output, int64_t offset, int64_t count,
                        int64_t padZeros);

// The dominant frequency in Hz of an n-point spectrum: the strongest bin from
// bin start + 1 to start + n/2 - 1 (start = n * part / 2), refined with its two
// neighbours. 0 when there is no peak (silence) or no valid input.
float SpectrumPeakFrequency(const Complex* spectrum, int32_t n, float rate, int32_t part);

}  // namespace QUARLE_AUDIO
