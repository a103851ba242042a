// Images the interface build prepares once: the three radial glow sprites and
// their colour ramps (cables of the synth plane, the scope), and, after every
// control exists, what each control's draw callback expects: the arrows image
// and hint of the value selectors, the event mask of passive controls, the
// arrow-key flag of text fields and the gradient overlay layer.
#pragma once
#include <cstdint>
#include <string>

#include "platform/images.h"

namespace Tarvelo {

constexpr int32_t kGlowCount = 3;
// Index 0 magenta, 1 blue, 2 yellow; the same index picks a cable's colour.
extern const uint32_t GlowColours[kGlowCount];
// S x S sprites, S = 16 x UiUnit, transparent outside the glow; null before
// CreateGlowImages or when an image could not be made.
// one thread: start-up, made by the build (CreateGlowImages) before the video thread starts, freed after it stopped; the cable draws read them
extern platform::Image* GlowImages[kGlowCount];
// Ramps of GlowRampLength entries (8 x UiUnit + 1) from each glow colour down
// to transparent, for the draws that shade with them; null when not made.
// one thread: start-up, made with the glow images
extern uint32_t* GlowRamps[kGlowCount];
extern int32_t GlowRampLength;
// nearest(S / 2).
extern int32_t GlowRadius;  // one thread: start-up

// The overlay gradients: darkening towards the bottom, or towards the top for
// inverted ones (read-outs and dialog fields).
constexpr uint32_t kOverlayDark = 0xAA000000;

// Renders the three sprites and the ramps for the current UiUnit, replacing
// any previous ones. Reports nothing.
void CreateGlowImages();
// Frees the sprites and the ramps.
void FreeGlowImages();

// Walks the control table once (see above). 0, or the first negative code of
// adding a layer (-21 also when an image cannot be made) or of drawing an
// arrow glyph, at which it stops.
int32_t PrepareControlImages(const std::string& hintHorizontal, const std::string& hintVertical);

}  // namespace Tarvelo
