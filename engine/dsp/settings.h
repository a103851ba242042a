// Reading a setting (a parameter that is not an input port) from inside a
// process function. A setting's value travels through its port value module
// like a port's does, so a setting can hold a different value per channel.
#pragma once
#include <cstdint>

#include "engine/dsp/contract.h"
#include "engine/module.h"

namespace Tarvelo {

// The value of setting p on channel ch: the level of its value module's
// voice-0 element at the channel that module publishes for ch. A module whose
// value module could not be made reads the parameter's own value.
inline float SettingRead(const ModuleRecord& m, int32_t p, int32_t ch) {
  const ModuleRecord* k = m.PortValueModules[p];
  if (k == nullptr) return m.Params[p].Value.LoadSettled();
  return k->Outputs[SourceChannel(*k, ch)][0].Level;
}

}  // namespace Tarvelo
