// The font engine (FreeType) and the interface's two faces: the text font, with
// a per-size table of character advances, and the icon font, whose glyphs at
// codes 1..121 are the interface's pictograms. Drawing and measuring text is in
// visuals/text.h.
#pragma once
#include <cstdint>
#include <string>

#include "platform/threads.h"
#include "visuals/glyphs.h"

namespace QUARLE_VISUALS {

// Font error codes, returned negated; ErrorText shows them after "FreeType - ".
enum FontError : int32_t {
  kErrFontEngine = 30,     // "Initialization Failure."
  kErrFontGeneric = 31,    // "Generic error."
  kErrFontPixelSize = 32,  // "issue with FT_Set_Pixel_Sizes."
  kErrFontLoadGlyph = 33,  // "issue with FT_Load_Glyph."
  kErrFontRender = 34,     // "issue with FT_Render_Glyph."
  kErrFontLoad = 35,       // "problem loading Font."
};

// Sizes that have an advance table: 8..100 pixels, index size - 8.
constexpr int32_t kFontMinSize = 8;
constexpr int32_t kFontMaxSize = 100;
constexpr int32_t kFontSizeCount = kFontMaxSize - kFontMinSize + 1;  // 93
constexpr int32_t kIconAdvanceCount = 122;

// A face and its second word. The text font's second word is Widths: 93 entries
// (one per size 8..100), each null or a table of 256 advances in pixels by
// character code, built on first use under MT_FONT. The icon font has no width
// table (so TextWidth never measures it); its second word is IconSize.
// one thread: start-up, a width table's entries are built under MT_FONT
struct FontRecord {
  FontFace Face = nullptr;
  int32_t** Widths = nullptr;
  int32_t IconSize = 0;  // the icon font's glyph size in pixels (IconSize)
};

// one thread: start-up, the faces, the width table's place and the icon size are set before the video thread starts; the width tables' entries are filled under MT_FONT
extern FontRecord TextFont;
extern FontRecord IconFont;
// Advances of the icon glyphs 1..121 at IconFont.IconSize (entry 0 unused),
// made zero-filled by LoadFonts with the icon face and filled by the display
// settings. Null until then.
// one thread: start-up, made by LoadFonts and filled by the display settings before the video thread starts
extern int32_t* IconAdvances;

// Guards the advance tables. The interface initialisation creates it and its
// shutdown destroys it (MutexCreate / MutexDestroy); while null the tables are
// used without a lock.
// one thread: start-up, made by the interface's initialisation, destroyed by its shutdown
extern platform::Mutex* MT_FONT;

// Starts FreeType and makes the text font's empty table of 93 advance tables.
// 0; -30 when FreeType does not start (FontEngineError then holds its code);
// -21 when the table cannot be allocated. A started engine is kept (0).
int32_t FontEngineStart();
// Frees every advance table, IconAdvances, closes both faces and stops FreeType.
void FontEngineStop();
// FreeType's error code of the last start (0 after a good one).
int32_t FontEngineError();
bool FontEngineRunning();

// Opens the faces that are not open yet: the program's folder followed by each
// path ("/FONTS/..."). A face that cannot be opened is reported at the fatal
// level ("I could not find/load: " + path) and gives -35; the icon face's
// IconAdvances table gives -21 when it cannot be allocated. 0 when both are open.
int32_t LoadFonts(const std::string& textFontPath, const std::string& iconFontPath);

// FreeType faces are not safe for two threads at once, and the video thread and
// the main thread both draw text: every use of a face (size, load, render,
// reading its glyph) happens under this lock. Recursive; taken after MT_FONT
// when both are held.
void FaceLock();
void FaceUnlock();
class FaceGuard {
 public:
  FaceGuard() { FaceLock(); }
  ~FaceGuard() { FaceUnlock(); }
  FaceGuard(const FaceGuard&) = delete;
  FaceGuard& operator=(const FaceGuard&) = delete;
};

// Test hook: the next n allocations of advance tables (and IconAdvances) fail.
void FailNextFontAllocations(int n);
// The font code's own allocation, failing on request of the hook above.
int32_t* FontAllocTable(size_t entries);

}  // namespace QUARLE_VISUALS
