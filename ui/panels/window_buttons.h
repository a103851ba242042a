// The system bar's buttons (quit, minimise, move, the window tabs, the audio
// power switches and gain meters, output recording), the About window's two
// links and two status-bar buttons (visualization mode, plane reset).
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// Monitor (1..MonitorCount) to which the Move button last sent the window.
// one thread: interface
extern int32_t MoveMonitorIndex;
// The web pages of the About window's links (tag 0 the product, 1 the author).
extern const char* const AboutLinkAddresses[2];
// Highest gains the meters allow.
constexpr float kMaxInputGain = 2.0f;
constexpr float kMaxPlaybackGain = 1.0f;
constexpr float kMinGain = 1e-7f;

int32_t OnQuit(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMinimizeWindow(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnMoveWindow(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnWindowTab(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnAboutLink(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnAudioInputPower(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnAudioOutputPower(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnAudioInputMeter(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnAudioOutputMeter(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnRecordOutput(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnVisualizationMode(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnResetPlanePosition(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// A gain as the meters show it: 20 log10, floored at -140, to 2 decimals, "dB".
std::string GainCaption(float gain);

}  // namespace Tarvelo
