#include "engine/catalog/catalog.h"
#include "engine/catalog/types.h"

namespace Tarvelo {

// Block d defines type kDefinitionOrder[d].
const TypeBlock kTypeBlocks[kModuleTypeCount] = {
    DefineCapture,
    DefineSample,
    DefineOscillator,
    DefineSineWave,
    DefineRandomizer,
    DefineKeyboard,
    DefineOctaveBoard,
    DefineSequencer,
    DefineAdsr,
    DefineStepSequencer,
    DefineMapper,
    DefineMelodyGenerator,
    DefinePitchBend,
    DefineHarmonic,
    DefineVoiceSelector,
    DefineVoiceMixer,
    DefineMultiplexer,
    DefineGate,
    DefineLogicSwitch,
    DefineAddition,
    DefineDifference,
    DefineProduct,
    DefineInverter,
    DefineAbsolute,
    DefineDerivative,
    DefineRectifier,
    DefineLevel,
    DefineClipper,
    DefineMixer,
    DefineMobileAverage,
    DefineEnvelopeFollower,
    DefineDelay,
    DefineEcho,
    DefineFilter,
    DefineConvolutiveFilter,
    DefineDistortion,
    DefineConvolutiveVocoder,
    DefineSoftLimiter,
    DefineWaveFolder,
    DefineCompressor,
    DefineMergeStereo,
    DefineJoinStereo,
    DefineBalance,
};

}  // namespace Tarvelo
