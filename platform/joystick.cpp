#include "platform/joystick.h"

#include <mutex>

#include "platform/screen.h"
#include "platform/sdl.h"

namespace platform {

namespace {

// one thread: holder of g_lock
struct Simulated {
  bool present = false;
  uint32_t buttons = 0;
  float axes[kJoystickAxisCount] = {};
};

std::mutex g_lock;
Simulated g_sim[kJoystickIds];
// one thread: holder of g_lock
int64_t g_simReads = 0;

#if TARVELO_HAVE_SDL
// one thread: holder of g_lock
SDL_Joystick* g_open[kJoystickIds] = {};
bool g_started = false;

bool StartJoysticks() {
  if (!g_started) g_started = SDL_InitSubSystem(SDL_INIT_JOYSTICK) == 0;
  return g_started;
}

void CloseLocked(int32_t id) {
  if (g_open[id]) SDL_JoystickClose(g_open[id]);
  g_open[id] = nullptr;
}

bool ReadDevice(int32_t id, uint32_t& buttons, float* axes) {
  if (!StartJoysticks()) return false;
  SDL_JoystickUpdate();
  if (g_open[id] && !SDL_JoystickGetAttached(g_open[id])) CloseLocked(id);
  if (!g_open[id]) {
    if (id >= SDL_NumJoysticks()) return false;
    g_open[id] = SDL_JoystickOpen(id);
    if (!g_open[id]) return false;
    SDL_JoystickUpdate();
  }
  SDL_Joystick* j = g_open[id];
  const int nb = SDL_JoystickNumButtons(j);
  for (int b = 0; b < nb && b < 32; ++b)
    if (SDL_JoystickGetButton(j, b)) buttons |= 1u << b;
  const int na = SDL_JoystickNumAxes(j);
  for (int a = 0; a < kJoystickAxisCount && a < na; ++a) {
    float v = static_cast<float>(SDL_JoystickGetAxis(j, a)) / 32767.0f;
    axes[a] = v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v);
  }
  return true;
}
#endif

}  // namespace

bool JoystickRead(int32_t id, uint32_t& buttons, float axes[kJoystickAxisCount]) {
  buttons = 0;
  for (int32_t a = 0; a < kJoystickAxisCount; ++a) axes[a] = kJoystickNoAxis;
  if (id < 0 || id >= kJoystickIds) return false;
  std::lock_guard<std::mutex> g(g_lock);
  if (ScreenHeadless()) {
    ++g_simReads;
    const Simulated& s = g_sim[id];
    if (!s.present) return false;
    buttons = s.buttons;
    for (int32_t a = 0; a < kJoystickAxisCount; ++a) axes[a] = s.axes[a];
    return true;
  }
#if TARVELO_HAVE_SDL
  if (ReadDevice(id, buttons, axes)) return true;
  buttons = 0;
  for (int32_t a = 0; a < kJoystickAxisCount; ++a) axes[a] = kJoystickNoAxis;
#endif
  return false;
}

void JoystickSimulate(int32_t id, bool present, uint32_t buttons,
                      const float axes[kJoystickAxisCount]) {
  if (id < 0 || id >= kJoystickIds) return;
  std::lock_guard<std::mutex> g(g_lock);
  Simulated& s = g_sim[id];
  s.present = present;
  s.buttons = buttons;
  for (int32_t a = 0; a < kJoystickAxisCount; ++a) s.axes[a] = axes ? axes[a] : 0.0f;
}

void JoystickSimulateReset() {
  std::lock_guard<std::mutex> g(g_lock);
  for (Simulated& s : g_sim) s = Simulated{};
  g_simReads = 0;
}

int64_t JoystickSimulatedReads() {
  std::lock_guard<std::mutex> g(g_lock);
  return g_simReads;
}

void JoystickCloseAll() {
  std::lock_guard<std::mutex> g(g_lock);
#if TARVELO_HAVE_SDL
  for (int32_t id = 0; id < kJoystickIds; ++id) CloseLocked(id);
  if (g_started) SDL_QuitSubSystem(SDL_INIT_JOYSTICK);
  g_started = false;
#endif
}

}  // namespace platform
