// The twelve periodic wave shapes of the Oscillator. Each computes one sample
// from a voice's phase and the Oscillator's port values and advances the phase
// by one frame; they share the prologue (wrap, factor and offset, duty gate,
// advance) and differ only in the formula that maps the cycle position to a
// value.
#pragma once
#include <cstdint>

namespace Tarvelo {

// (phase in and out, amplitude, step = normalized frequency, offset, factor, duty).
float WaveSine(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveTriangle(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveSquare(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveSawtooth(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveInvertedSine(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveCycloid(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveCubicSine(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveWhiteNoise(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveParabola(float* phase, float amplitude, float step, float offset, float factor, float duty);
float WaveInvertedParabola(float* phase, float amplitude, float step, float offset, float factor,
                           float duty);
float WaveAsymmetricParabola(float* phase, float amplitude, float step, float offset, float factor,
                             float duty);
float WaveExperimental(float* phase, float amplitude, float step, float offset, float factor, float duty);

// Puts the twelve functions into WaveShapeTable rows 0 to 11 (the names are
// set by the engine start-up).
void InstallWaveShapes();

}  // namespace Tarvelo
