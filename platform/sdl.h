// SDL where the build has it; TARVELO_HAVE_SDL says which. Without it every
// layer runs its headless branch.
#pragma once
#include <mutex>

#if __has_include(<SDL.h>)
#include <SDL.h>
#define TARVELO_HAVE_SDL 1
#else
#define TARVELO_HAVE_SDL 0
#endif

namespace platform {

// SDL's window, renderer, event pump and display queries are not safe from two
// threads at once (a resize handled by the pump while a frame is presented
// tears the renderer down under the present): every call into SDL's video
// subsystem is made holding this lock. It is the screen's own lock.
std::recursive_mutex& SdlVideoLock();

}  // namespace platform
