// The video settings window VS_WIN and the audio settings window
// W_AUDIO_SETTINGS: their selectors with the set and reset button beside each,
// and the ON/OFF switches (which also serve the auto-save switch SS_AS of the
// status bar and the MIDI-input display switch VS_FCT).
//
// A selector's option is only a proposal until its set button is clicked; the
// reset button puts back the value in use. Video changes and the language go to
// the system-message handler on queue 0, device and buffer changes to the audio
// thread's queue; switches, devices and the buffer are saved to Settings.txt at
// once.
//
// Main thread only. The device lists are read under the audio lock, which is
// never held while saving or posting.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// The common selector scheme, shared by every selector of the interface: the
// option is the control's selected item, 0..n-1, wrapping round; a drag steps
// at most once per event, one step per 25 pixels summed in `accumulator`; a
// click steps -1 left of the middle and +1 right of it (on the middle pixel it
// stays but still counts as a change); hover and press tell the draw which half
// is hovered (text field mark: 0 none, 1 left, 2 right). n is a single so that
// the zoom selector can wrap in single precision; below 1 it counts as 1.
// Returns true when the option counts as changed; *direction gets this event's
// step direction (-1 for a left click or a backward drag step, else +1).
bool SelectorScheme(uint32_t bits, int32_t x, int32_t id, float n, int32_t& accumulator,
                    int32_t* direction = nullptr);

// The zoom as the captions show it: 7 significant digits, no trailing zeros.
std::string ZoomText(float zoom);

// Event callbacks; each returns 0.
int32_t OnVideoDriverSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnVideoDriverSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnVideoDriverReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnResolutionSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMonitorSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnResolutionSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnResolutionReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnZoomSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnZoomSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnZoomReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnLanguageSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnLanguageSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnLanguageReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnOutputDeviceSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnOutputDeviceSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnOutputDeviceReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnPlaybackBufferSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnPlaybackBufferSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnPlaybackBufferReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnInputDeviceSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnInputDeviceSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnInputDeviceReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnToggleSwitch(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// Tests only: every selector's drag accumulator back to 0.
void ResetSelectorAccumulators();

}  // namespace Tarvelo
