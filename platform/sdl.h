// SDL where the build has it; TARVELO_HAVE_SDL says which. Without it every
// layer runs its headless branch.
#pragma once

#if __has_include(<SDL.h>)
#include <SDL.h>
#define TARVELO_HAVE_SDL 1
#else
#define TARVELO_HAVE_SDL 0
#endif
