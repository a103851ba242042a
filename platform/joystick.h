// Joysticks and gamepads of our Linux layer, on SDL2's joystick API: a query by
// id (0 to 15) that gives the button word and eight axes.
//
// Headless (platform/screen.h) no device is touched: tests plug in simulated
// joysticks with JoystickSimulate.
#pragma once
#include <cstdint>

namespace platform {

constexpr int32_t kJoystickIds = 16;
constexpr int32_t kJoystickAxisCount = 8;
// The value of an axis the device does not have.
constexpr float kJoystickNoAxis = -1000.0f;

// Reads joystick `id`: the button word (bit n = button n + 1 down) and the
// eight axes in -1..1 (kJoystickNoAxis for axes the device lacks). False, with
// buttons 0 and every axis kJoystickNoAxis, when no joystick answers at that id.
bool JoystickRead(int32_t id, uint32_t& buttons, float axes[kJoystickAxisCount]);

// Simulated joysticks (headless): plugs joystick `id` in with that state, or
// pulls it out when present is false. Ids outside 0..15 are ignored.
void JoystickSimulate(int32_t id, bool present, uint32_t buttons,
                      const float axes[kJoystickAxisCount]);
// Every simulated joystick pulled out.
void JoystickSimulateReset();
// Reads of simulated joysticks so far (tests check the polling rate with it).
int64_t JoystickSimulatedReads();

// Closes the devices opened by reads.
void JoystickCloseAll();

}  // namespace platform
