#include "visuals/fonts.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace QUARLE_VISUALS {

FontRecord TextFont;
FontRecord IconFont;
int32_t* IconAdvances = nullptr;
platform::Mutex* MT_FONT = nullptr;

namespace {

// one thread: start-up, the font engine's
FT_Library g_library = nullptr;
int32_t g_engineError = 0;
std::recursive_mutex g_faceLock;
std::atomic<int> g_failAllocations{0};

// Opens the face at the program's folder + path unless it is open; -35 with the
// fatal report when it cannot be opened.
int32_t OpenFace(FontRecord& font, const std::string& path) {
  if (font.Face) return 0;
  FT_Face face = nullptr;
  FT_Error err = 1;
  // Read through the one path edge; the face keeps the bytes until it is done.
  auto* bytes = new (std::nothrow) std::vector<unsigned char>;
  if (g_library && bytes && platform::FileReadWhole(platform::ProgramFolder() + path, *bytes) == 0) {
    FaceGuard guard;
    err = FT_New_Memory_Face(g_library, bytes->data(), static_cast<FT_Long>(bytes->size()), 0, &face);
    if (!err && face) {
      face->generic.data = bytes;
      face->generic.finalizer = [](void* object) {
        delete static_cast<std::vector<unsigned char>*>(static_cast<FT_Face>(object)->generic.data);
      };
      bytes = nullptr;
    }
  }
  delete bytes;
  if (err || !face) {
    QUARLE_BASICS::Report(QUARLE_BASICS::LangText(101, "I could not find/load: ") + path,
                          QUARLE_BASICS::kLevelFatal);
    return -kErrFontLoad;
  }
  font.Face = face;
  return 0;
}

void CloseFace(FontRecord& font) {
  if (font.Face) {
    FaceGuard guard;
    FT_Done_Face(font.Face);
  }
  font.Face = nullptr;
}

}  // namespace

int32_t* FontAllocTable(size_t entries) {
  int pending = g_failAllocations.load();
  while (pending > 0) {
    if (g_failAllocations.compare_exchange_weak(pending, pending - 1)) return nullptr;
  }
  return new (std::nothrow) int32_t[entries]();
}

void FailNextFontAllocations(int n) { g_failAllocations.store(n < 0 ? 0 : n); }

void FaceLock() { g_faceLock.lock(); }
void FaceUnlock() { g_faceLock.unlock(); }

int32_t FontEngineStart() {
  if (!g_library) {
    FT_Library lib = nullptr;
    const FT_Error err = FT_Init_FreeType(&lib);
    g_engineError = static_cast<int32_t>(err);
    if (err || !lib) return -kErrFontEngine;
    g_library = lib;
  }
  if (!TextFont.Widths) {
    TextFont.Widths = new (std::nothrow) int32_t*[kFontSizeCount]();
    if (!TextFont.Widths) return -QUARLE_BASICS::kErrAllocation;
  }
  return 0;
}

void FontEngineStop() {
  {
    platform::MutexGuard g(MT_FONT);
    if (TextFont.Widths) {
      for (int32_t i = 0; i < kFontSizeCount; ++i) delete[] TextFont.Widths[i];
      delete[] TextFont.Widths;
      TextFont.Widths = nullptr;
    }
  }
  delete[] IconAdvances;
  IconAdvances = nullptr;
  CloseFace(TextFont);
  CloseFace(IconFont);
  IconFont.IconSize = 0;
  if (g_library) FT_Done_FreeType(g_library);
  g_library = nullptr;
}

int32_t FontEngineError() { return g_engineError; }
bool FontEngineRunning() { return g_library != nullptr; }

int32_t LoadFonts(const std::string& textFontPath, const std::string& iconFontPath) {
  int32_t r = OpenFace(TextFont, textFontPath);
  if (r) return r;
  if (!IconFont.Face) {
    r = OpenFace(IconFont, iconFontPath);
    if (r) return r;
    delete[] IconAdvances;
    IconAdvances = FontAllocTable(kIconAdvanceCount);
    if (!IconAdvances) return -QUARLE_BASICS::kErrAllocation;
  } else if (!IconAdvances) {
    // A face kept from an earlier call whose table could not be made.
    IconAdvances = FontAllocTable(kIconAdvanceCount);
    if (!IconAdvances) return -QUARLE_BASICS::kErrAllocation;
  }
  return 0;
}

}  // namespace QUARLE_VISUALS
