// State the second half of the interface groups shares with the draws and
// handlers: the key windows' sizes, the keyboard key colours, the box colours
// of the module templates and the tuning editor's three value records.
#pragma once
#include <cstdint>
#include <string>

#include "basics/shared_word.h"
#include "engine/params.h"
#include "visuals/controls.h"

namespace Tarvelo {

// Octave-board and keyboard windows, set by every build.
// The octave board's keys shown: written by the interface thread only (the
// build, LayOutOctaveBoard), read by its event handler. The board's draw
// (video thread) reads the layout whole (OctaveBoardLayoutWord below).
extern QUARLE_BASICS::Shared<int32_t> OctaveBoardVisibleKeys;  // keys of BB
// Set by the build (once, before the video thread starts); the keyboard's
// draw and handler read KeyboardVisibleKeys.
// one thread: start-up
extern int32_t OctaveBoardTop;          // y of BB inside BBGROUP
extern int32_t KeyboardVisibleKeys;     // keys of KB
extern int32_t KeyboardLeft;            // x of KB inside KBGROUP

// One {hue, saturation, value} per keyboard key; KeyboardVisibleKeys entries,
// each {1, 1, 1} after a build; null until the first build (or when it could
// not be had: then KeyboardVisibleKeys is 0, so no draw indexes it).
// one thread: value
struct KeyColour {
  float Hue;
  float Saturation;
  float Value;
};
// one thread: start-up, the build makes the array; its entries are the keyboard draw's (video)
extern KeyColour* KeyboardKeyColours;

// Fits the board's keys to its height in the number base set (TimeBaseIndex):
// OctaveBoardVisibleKeys, OctaveKeyHeight and every octave board's first key
// (its Octave word: the middle keys of the base's range). The interface thread
// calls it whenever the base, the board's height or the states change; the
// draw only reads what it sets.
void LayOutOctaveBoard(int32_t boardHeight);
void LayOutOctaveBoard();  // the built board's height

// The layout the board's draw takes, whole: the key height, the key count and
// the number base they were fitted to. The two words above are stored one
// after the other, so a draw reading them between the stores would pair one
// layout's rows with another's count (taller rows than fit, below the board).
// LayOutOctaveBoard (interface) stores the packed word after them; the draw
// (video thread) reads only it.
struct OctaveBoardLayout {
  // one thread: interface, the draw reads the packed word only
  int32_t KeyHeight = 0;
  int32_t Keys = 0;
  int32_t BaseIndex = 0;
};
extern QUARLE_BASICS::Shared<uint64_t> OctaveBoardLayoutWord;
uint64_t PackOctaveBoardLayout(const OctaveBoardLayout& layout);
OctaveBoardLayout OctaveBoardLayoutNow();  // one load of the word
void FreeKeyboardKeyColours();

// Largest key count of the octave-board layouts (number base 2): BB gets one
// text layer per key of it.
constexpr int32_t kOctaveBoardMaxKeys = 22;

// The video driver selector's caption, "Driver: 2) DirectX": the build and
// every later step or reset write the same (message is the "Driver" text's).
std::string DriverCaption(uint32_t message, int32_t option);

// Box colour word of a module template by ModuleCategory (0..7).
extern const uint32_t CategoryColours[8];
// Body colours of a box of that colour word: the fill (alpha 0xAA, channels x
// 0.33) and the bottom band's end (opaque, channels x 0.5).
uint32_t ModuleBodyFill(uint32_t colour);
uint32_t ModuleBodyShade(uint32_t colour);

// The caption offset word of a module box: -(7u + 1) for a type without input
// ports, else 0; DrawModuleBox adds it to the box height when it centres the
// caption. It lives in the text field, so clones of the template keep it.
inline int32_t& ModuleBoxCaptionOffset(QUARLE_VISUALS::ControlRecord* box) {
  return box->Text.FitCount;
}

// The tuning editor's value records (reference frequency; key ratio to the first
// key; key ratio to the previous key). Made once, on the first build, and kept
// for the whole run; the value editors of the window point at them (their
// draws read them, under the record's lock or whole).
// one thread: start-up, never assigned whole after the start: each word of a ParamValue says whose it is
extern ParamValue ReferenceFrequencyValue;
extern ParamValue AbsoluteKeyValue;
extern ParamValue RelativeKeyValue;

// The logo beside the program, and the About window's two link texts.
constexpr const char* kLogoFileName = "TarveloSoft.png";
extern const char* const ProductWebAddress;  // shown without its scheme
extern const char* const AuthorCreditLine;
// The first character of BuildBits, a blank, the second, "-bit" spaced out.
std::string AboutWordSizeLine();
// "v" + version, " Beta" for a beta release, and the build date as (yyyy/mm/dd).
std::string AboutVersionLine();

// The captions of the settings windows' rows, as the select handlers write them.
std::string VideoInfoLine();                 // "GDI, 1280 x 720 @ 32-bit"
std::string ZoomCaption(float zoom);         // "Zoom: 1.2x"
std::string StreamFormatLine();              // "32-bit Stereo @ 48 kHz"
std::string DeviceCaption(int32_t item, const std::string& name);  // "1) [No Device]"
std::string NumberBaseCaption(int32_t index);  // "Base: 2"

}  // namespace Tarvelo
