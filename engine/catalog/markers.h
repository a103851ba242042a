// The scope's four 3 x 3 marker images, made once the graphics window is open.
#pragma once
#include "platform/images.h"

namespace Tarvelo {

// one thread: start-up (a scope draw makes them itself only where start-up
// did not: headless tests)
extern platform::Image* ScopeMarkerRed;
extern platform::Image* ScopeMarkerBlue;
extern platform::Image* ScopeMarkerGreen;
extern platform::Image* ScopeMarkerMagenta;

// Makes the four images (a second call replaces them); an image that cannot be
// made stays null and the scope draws without it.
void CreateMarkerImages();
// Destroys those that exist: green, magenta, red, blue.
void DestroyMarkerImages();

}  // namespace Tarvelo
