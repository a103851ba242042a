// The program's end, on the main thread once the event loop has returned or the
// start-up gave up (the video thread is stopped by then): what the user would
// lose is saved, the audio thread stopped, the program's lists freed, the
// subsystems shut down in reverse order of their start, and the console counts
// down before the process ends with exit code 0.
#pragma once
#include <cstdint>

namespace Tarvelo {

// Steps 1 to 7: saves (only after a clean start), the start-up failure message
// with its pause, the audio thread's end, the memory, the subsystems, "END|FIN"
// in the log. The message hook is the text-console printer afterwards.
void RunShutdown();

// Step 8: "END|FIN - CLOSING TERMINAL IN:" and the countdown 2, 1, 0 on the
// text console, a second apart. The caller ends the process.
void ShutdownCountdown();

}  // namespace Tarvelo
