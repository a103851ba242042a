// Installation of the synth plane's editing and drawing, the video and audio
// settings windows and the tuning editor into the interface's callback slots
// (ui/build/callbacks.h), and of the plane's answer to a module's removal into
// the engine's box hooks. The program calls it before the interface is built.
#pragma once

namespace Tarvelo {

void InstallViewCallbacksC();

}  // namespace Tarvelo
