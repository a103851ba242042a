// The per-type blocks of the catalog, one function per module type.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

int32_t DefineCapture(ModuleRecord& t);  // type 0
int32_t DefineSample(ModuleRecord& t);  // type 1
int32_t DefineOscillator(ModuleRecord& t);  // type 2
int32_t DefineSineWave(ModuleRecord& t);  // type 35
int32_t DefineRandomizer(ModuleRecord& t);  // type 32
int32_t DefineKeyboard(ModuleRecord& t);  // type 3
int32_t DefineOctaveBoard(ModuleRecord& t);  // type 4
int32_t DefineSequencer(ModuleRecord& t);  // type 5
int32_t DefineAdsr(ModuleRecord& t);  // type 9
int32_t DefineStepSequencer(ModuleRecord& t);  // type 29
int32_t DefineMapper(ModuleRecord& t);  // type 40
int32_t DefineMelodyGenerator(ModuleRecord& t);  // type 30
int32_t DefinePitchBend(ModuleRecord& t);  // type 8
int32_t DefineHarmonic(ModuleRecord& t);  // type 6
int32_t DefineVoiceSelector(ModuleRecord& t);  // type 7
int32_t DefineVoiceMixer(ModuleRecord& t);  // type 26
int32_t DefineMultiplexer(ModuleRecord& t);  // type 25
int32_t DefineGate(ModuleRecord& t);  // type 34
int32_t DefineLogicSwitch(ModuleRecord& t);  // type 10
int32_t DefineAddition(ModuleRecord& t);  // type 33
int32_t DefineDifference(ModuleRecord& t);  // type 11
int32_t DefineProduct(ModuleRecord& t);  // type 12
int32_t DefineInverter(ModuleRecord& t);  // type 24
int32_t DefineAbsolute(ModuleRecord& t);  // type 37
int32_t DefineDerivative(ModuleRecord& t);  // type 36
int32_t DefineRectifier(ModuleRecord& t);  // type 41
int32_t DefineLevel(ModuleRecord& t);  // type 13
int32_t DefineClipper(ModuleRecord& t);  // type 38
int32_t DefineMixer(ModuleRecord& t);  // type 18
int32_t DefineMobileAverage(ModuleRecord& t);  // type 42
int32_t DefineEnvelopeFollower(ModuleRecord& t);  // type 14
int32_t DefineDelay(ModuleRecord& t);  // type 15
int32_t DefineEcho(ModuleRecord& t);  // type 16
int32_t DefineFilter(ModuleRecord& t);  // type 22
int32_t DefineConvolutiveFilter(ModuleRecord& t);  // type 17
int32_t DefineDistortion(ModuleRecord& t);  // type 23
int32_t DefineConvolutiveVocoder(ModuleRecord& t);  // type 27
int32_t DefineSoftLimiter(ModuleRecord& t);  // type 39
int32_t DefineWaveFolder(ModuleRecord& t);  // type 28
int32_t DefineCompressor(ModuleRecord& t);  // type 31
int32_t DefineMergeStereo(ModuleRecord& t);  // type 20
int32_t DefineJoinStereo(ModuleRecord& t);  // type 19
int32_t DefineBalance(ModuleRecord& t);  // type 21

}  // namespace Tarvelo
