// The keyboard panel's drawing: the two group windows (KBGROUP, BBGROUP), the
// on-screen keyboard (KB: one key per note, named and coloured from the active
// tuning) and the octave board (BB: a column of keys captioned with the powers
// of the chosen number base). Both mark the keys that sound, the key under the
// pointer (the text field's Mark) and the key being played (its Selected).
//
// Written here (video thread): the hues of KeyboardKeyColours (also
// KeyHueTable), which only these draws read. The octave board's layout
// (its key height, key count and base as one word, OctaveBoardLayoutWord; the
// boards' first keys) is laid out by the interface (LayOutOctaveBoard) and
// only read here.
#pragma once
#include <cstdint>
#include <string>

#include "visuals/controls.h"

namespace Tarvelo {

constexpr uint32_t kKeyMarkFrame = 0xFFBEBEFF;
constexpr uint32_t kKeyRestFrame = 0xFF4B4B5A;

// A key colour at half brightness: red, green and blue halved (to nearest),
// alpha 255.
uint32_t DimKeyColour(uint32_t colour);
// Key i's colour from KeyboardKeyColours (white when the table lacks it).
uint32_t KeyboardKeyColour(int32_t key);

int32_t DrawKeyboardGroup(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawOctaveBoardGroup(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
int32_t DrawKeyboard(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
// Renders KB's key captions (note names, octave numbers under each octave's
// first note) and sets the key hues, for the key offset o and key width kw.
void DrawKeyboardKeys(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id, int32_t o, int32_t kw,
                      int32_t h);
int32_t DrawOctaveBoard(QUARLE_VISUALS::RenderRecord* snapshot, int32_t id);
// Whether the keys held on the shown keyboard (octave board) changed since the
// last call: they are played from MIDI and the melody players without a publish.
// Video thread only.
bool KeyboardHasNews();
bool OctaveBoardHasNews();

// The caption of an octave-board key with exponent e in the base: base^|e|,
// "1/" in front for e < 0, " x" after for e = 0.
std::string OctaveKeyCaption(int32_t base, int32_t e);

}  // namespace Tarvelo
