// Draws the About window's logo, TarveloSoft.png: 720 x 144 pixels with alpha,
// a mark (a rounded square crossed by one cycle of a wave, the wave's two
// halves in the interface's blue and amber) and the product name set in the
// text face beside it.
//
//     make_logo <text face .ttf> <out .png>
#include <FreeImage.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int32_t kW = 720;
constexpr int32_t kH = 144;

struct Rgba {
  float r = 0, g = 0, b = 0, a = 0;
};

// Straight-alpha canvas, composited "over".
struct Canvas {
  std::vector<Rgba> px = std::vector<Rgba>(kW * kH);
  void Over(int32_t x, int32_t y, float r, float g, float b, float coverage) {
    if (x < 0 || y < 0 || x >= kW || y >= kH || coverage <= 0.0f) return;
    Rgba& d = px[static_cast<size_t>(y * kW + x)];
    const float a = std::min(coverage, 1.0f);
    const float out = a + d.a * (1.0f - a);
    if (out <= 0.0f) return;
    d.r = (r * a + d.r * d.a * (1.0f - a)) / out;
    d.g = (g * a + d.g * d.a * (1.0f - a)) / out;
    d.b = (b * a + d.b * d.a * (1.0f - a)) / out;
    d.a = out;
  }
};

// Part of the pixel (x, y) inside a shape, by 4 x 4 samples.
template <typename Inside>
float Coverage(int32_t x, int32_t y, Inside inside) {
  int32_t n = 0;
  for (int32_t j = 0; j < 4; ++j)
    for (int32_t i = 0; i < 4; ++i) n += inside(x + (i + 0.5f) / 4.0f, y + (j + 0.5f) / 4.0f) ? 1 : 0;
  return n / 16.0f;
}

void DrawMark(Canvas& c) {
  const float x0 = 12, y0 = 12, s = 120, r = 26;  // the rounded square
  auto square = [&](float x, float y) {
    const float dx = std::max({x0 + r - x, 0.0f, x - (x0 + s - r)});
    const float dy = std::max({y0 + r - y, 0.0f, y - (y0 + s - r)});
    return x >= x0 && x <= x0 + s && y >= y0 && y <= y0 + s && dx * dx + dy * dy <= r * r;
  };
  // One cycle of a sine across the square, 11 pixels thick.
  auto wave = [&](float x, float y, bool firstHalf) {
    const float t = (x - (x0 + 14)) / (s - 28);
    if (t < 0.0f || t > 1.0f || (t < 0.5f) != firstHalf) return false;
    const float centre = y0 + s / 2 - 34.0f * std::sin(2.0f * static_cast<float>(M_PI) * t);
    const float slope = 34.0f * 2.0f * static_cast<float>(M_PI) / (s - 28) * std::cos(2.0f * static_cast<float>(M_PI) * t);
    return std::fabs(y - centre) <= 5.5f * std::sqrt(1.0f + slope * slope);
  };
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < 150; ++x) {
      // A dark face with a lighter rim.
      const float rim = Coverage(x, y, square);
      const float face = Coverage(x, y, [&](float px, float py) {
        return square(px, py) && square(px - 4, py - 4) && square(px + 4, py + 4);
      });
      c.Over(x, y, 0.85f, 0.88f, 0.95f, rim);
      c.Over(x, y, 0.04f, 0.16f, 0.30f, face);
      c.Over(x, y, 0.09f, 0.36f, 0.69f, Coverage(x, y, [&](float px, float py) { return wave(px, py, true); }));
      c.Over(x, y, 0.78f, 0.59f, 0.0f, Coverage(x, y, [&](float px, float py) { return wave(px, py, false); }));
    }
}

// Sets text with the face at `size` pixels, its baseline at `baseline`.
int32_t DrawText(Canvas& c, FT_Face face, const std::string& text, int32_t x, int32_t baseline, int32_t size,
                 float r, float g, float b) {
  if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(size))) return -1;
  for (unsigned char ch : text) {
    if (FT_Load_Char(face, ch, FT_LOAD_RENDER)) return -1;
    const FT_GlyphSlot slot = face->glyph;
    for (uint32_t row = 0; row < slot->bitmap.rows; ++row)
      for (uint32_t col = 0; col < slot->bitmap.width; ++col) {
        const float a = slot->bitmap.buffer[row * static_cast<uint32_t>(slot->bitmap.pitch) + col] / 255.0f;
        c.Over(x + slot->bitmap_left + static_cast<int32_t>(col), baseline - slot->bitmap_top + static_cast<int32_t>(row),
               r, g, b, a);
      }
    x += static_cast<int32_t>(slot->advance.x >> 6);
  }
  return x;
}

bool Save(const Canvas& c, const char* path) {
  FIBITMAP* dib = FreeImage_Allocate(kW, kH, 32, FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK);
  if (!dib) return false;
  for (int32_t y = 0; y < kH; ++y) {
    BYTE* line = FreeImage_GetScanLine(dib, kH - 1 - y);  // FreeImage keeps rows bottom-up
    for (int32_t x = 0; x < kW; ++x) {
      const Rgba& p = c.px[static_cast<size_t>(y * kW + x)];
      auto byte = [](float v) { return static_cast<BYTE>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
      line[4 * x + FI_RGBA_RED] = byte(p.r);
      line[4 * x + FI_RGBA_GREEN] = byte(p.g);
      line[4 * x + FI_RGBA_BLUE] = byte(p.b);
      line[4 * x + FI_RGBA_ALPHA] = byte(p.a);
    }
  }
  const bool ok = FreeImage_Save(FIF_PNG, dib, path, 0) != 0;
  FreeImage_Unload(dib);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_logo <text face .ttf> <out .png>\n");
    return 2;
  }
  FT_Library lib = nullptr;
  FT_Face face = nullptr;
  if (FT_Init_FreeType(&lib) || FT_New_Face(lib, argv[1], 0, &face)) {
    std::fprintf(stderr, "make_logo: cannot open the face %s\n", argv[1]);
    return 1;
  }
  Canvas canvas;
  DrawMark(canvas);
  const int32_t end = DrawText(canvas, face, "Tarvelo", 168, 100, 112, 1.0f, 1.0f, 1.0f);
  const int32_t tagEnd = end < 0 ? -1 : DrawText(canvas, face, "MODULAR SYNTHESIZER", 172, 132, 24, 0.78f, 0.59f, 0.0f);
  FT_Done_Face(face);
  FT_Done_FreeType(lib);
  if (end < 0 || tagEnd < 0 || end > kW || tagEnd > kW) {
    std::fprintf(stderr, "make_logo: the text does not fit\n");
    return 1;
  }
  FreeImage_Initialise(FALSE);
  const bool ok = Save(canvas, argv[2]);
  FreeImage_DeInitialise();
  if (!ok) {
    std::fprintf(stderr, "make_logo: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
