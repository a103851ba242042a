#include "platform/clipboard.h"

#include <mutex>

#include "platform/screen.h"
#include "platform/sdl.h"

namespace platform {

namespace {

// The headless clipboard, and the lock every clipboard call holds.
struct Clipboard {
  std::mutex lock;
  // one thread: holder of lock
  std::string local;
};
Clipboard g_clipboard;

#if TARVELO_HAVE_SDL
// The clipboard needs SDL's video subsystem even before (or without) a window.
// It is started once and kept: on X11 the process must stay alive as the owner
// of what it copied.
bool VideoReady() {
  // one thread: holder of g_clipboard.lock
  static bool started = false;
  if (!started) started = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;  // counted by SDL
  return started;
}
#endif

}  // namespace

std::string ClipboardGetUtf8() {
  std::lock_guard<std::mutex> g(g_clipboard.lock);
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    std::lock_guard<std::recursive_mutex> sdl(SdlVideoLock());
    if (!VideoReady() || !SDL_HasClipboardText()) return "";
    char* text = SDL_GetClipboardText();
    if (!text) return "";
    std::string out(text);
    SDL_free(text);
    return out;
  }
#endif
  return g_clipboard.local;
}

bool ClipboardSetUtf8(const std::string& text) {
  std::lock_guard<std::mutex> g(g_clipboard.lock);
  const std::string cut(text.c_str());
#if TARVELO_HAVE_SDL
  if (!ScreenHeadless()) {
    std::lock_guard<std::recursive_mutex> sdl(SdlVideoLock());
    if (!VideoReady()) return false;
    const bool set = SDL_SetClipboardText(cut.c_str()) == 0;
    // On X11, SDL leaves its claim of the clipboard unsent until its next
    // request that waits for an answer: sent later, the claim would take the
    // clipboard back from a program that copied in between. A read sends it now.
    if (set) SDL_HasClipboardText();
    return set;
  }
#endif
  g_clipboard.local = cut;
  return true;
}

}  // namespace platform
