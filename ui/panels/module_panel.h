// The module panel's event callbacks: the transport and mode switches, rewind
// and feedback kickstart, the page tabs, the parameter page's buttons, channel
// selector and parameter list, the wave-shape list with its preview, and the
// keyboard's MIDI device list and channel selector. Each acts on the selected
// module (SelectedModule), records the user's change in the action history and
// asks for a rebuild of the processing order where the engine runs the module
// differently afterwards.
#pragma once
#include <cstdint>

namespace Tarvelo {

struct ModuleRecord;

// Colours of the panel's buttons.
constexpr uint32_t kLoopRunningColour = 0xFFC86400;
constexpr uint32_t kNoDomainColour = 0xFF0A2A4D;
constexpr uint32_t kDomainColours[3] = {0xFFC800AA, 0xFF0055AA, 0xFFE6C300};
// Rows of the fixed lists: wave shapes 0..10 ("Experimental" is not offered)
// and the keyboard's device list (row 0 no device, rows 1..16 the MIDI slots).
constexpr int32_t kOfferedWaveShapes = 11;
constexpr int32_t kKeyboardDeviceRows = 17;
constexpr int32_t kKeyboardChannelOptions = 17;

int32_t OnModuleSwitch(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnRewindClocks(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnFeedbackKickstart(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnModuleTab(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnGlobalValue(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnVoiceMapSource(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnInputDomain(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnSpatialChannel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnLinkSpatialChannels(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnParameterList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnWaveShapeList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnKeyboardDeviceList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnKeyboardChannel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnWavePreview(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// The drag accumulators of the panel's selectors and lists back to 0 (tests).
void ResetModulePanelStatics();

}  // namespace Tarvelo
