#include "platform/images.h"

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "basics/messages.h"
#include "platform/screen.h"
#include "visuals/images.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVELO_ALLOCATION_HOOKS 1
// The sanitizers' runtime calls these on every allocation of the process.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, size_t), void (*free_hook)(const volatile void*));
#endif

namespace {

using platform::Image;

struct ImageHolder {
  Image* img;
  explicit ImageHolder(Image* i) : img(i) {}
  ~ImageHolder() { platform::ImageDestroy(img); }
  uint32_t at(int x, int y) const { return *platform::ImagePixel(img, x, y); }
};

TEST(PlatformImages, CreateRefusesBadSizesAndFills) {
  EXPECT_EQ(platform::ImageCreate(0, 5), nullptr);
  EXPECT_EQ(platform::ImageCreate(5, -1), nullptr);
  EXPECT_EQ(platform::ImageCreate(platform::kImageMaxSide + 1, 1), nullptr);
  ImageHolder a(platform::ImageCreate(3, 2, 0x11223344u));
  ASSERT_NE(a.img, nullptr);
  EXPECT_EQ(a.img->pitch, 12);
  EXPECT_EQ(a.at(2, 1), 0x11223344u);
  EXPECT_EQ(platform::ImagePixel(a.img, 3, 0), nullptr);
  EXPECT_EQ(platform::ImagePixel(a.img, 0, -1), nullptr);
}

TEST(PlatformImages, LinesAndBoxesAreClippedToTheTarget) {
  ImageHolder a(platform::ImageCreate(4, 4, 0));
  platform::DrawLine(a.img, -10, 1, 10, 1, 0xFFu);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(a.at(x, 1), 0xFFu);
  EXPECT_EQ(a.at(0, 0), 0u);
  platform::DrawLine(a.img, 0, 0, 3, 3, 0xAAu);  // the diagonal
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.at(i, i), 0xAAu);
  EXPECT_EQ(a.at(1, 0), 0u);
  platform::DrawLine(a.img, 2, -5, 2, 100, 0xBBu);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(a.at(2, y), 0xBBu);
  platform::DrawBox(a.img, -1, -1, 2, 2, 0xCCu);  // only (0, 0) lies inside
  EXPECT_EQ(a.at(0, 0), 0xCCu);
  EXPECT_EQ(a.at(1, 0), 0u);
  platform::DrawBox(a.img, 0, 0, 0, 4, 0xDDu);  // empty
  EXPECT_EQ(a.at(0, 3), 0u);
}

TEST(PlatformImages, CopiesBlendByMode) {
  ImageHolder src(platform::ImageCreate(2, 1, 0));
  *platform::ImagePixel(src.img, 0, 0) = 0x80FF0000u;  // red at half weight
  *platform::ImagePixel(src.img, 1, 0) = 0x000000FFu;  // fully transparent blue
  ImageHolder dst(platform::ImageCreate(2, 1, 0xFF0000FFu));

  platform::ImageCopy(src.img, 0, 0, 2, 1, dst.img, 0, 0);
  EXPECT_EQ(dst.at(0, 0), 0x80FF0000u);
  EXPECT_EQ(dst.at(1, 0), 0x000000FFu);

  platform::ImageFill(dst.img, 0xFF0000FFu);
  platform::ImageCopyAlpha(src.img, 0, 0, 2, 1, dst.img, 0, 0);
  // (255 x 128 + 0 x 127 + 127) / 255 = 128; blue (0 x 128 + 255 x 127 + 127) / 255 = 127.
  EXPECT_EQ(dst.at(0, 0), 0xFF80007Fu);
  EXPECT_EQ(dst.at(1, 0), 0xFF0000FFu);  // alpha 0 leaves the destination

  platform::ImageFill(dst.img, 0xFF000000u);
  *platform::ImagePixel(src.img, 0, 0) = 0xFFFF0000u;
  platform::ImageCopyBlend(src.img, 0, 0, 2, 1, dst.img, 0, 0, 51);  // a fifth
  EXPECT_EQ(dst.at(0, 0), 0xFF330000u);
  EXPECT_EQ(dst.at(1, 0), 0xFF000000u);  // transparent parts stay transparent

  platform::ImageCopyCustom(
      src.img, 0, 0, 2, 1, dst.img, 0, 0,
      [](uint32_t s, uint32_t d, int64_t p) { return (s ^ d) + static_cast<uint32_t>(p); }, 1);
  EXPECT_EQ(dst.at(0, 0), (0xFFFF0000u ^ 0xFF330000u) + 1);
}

// The alpha copy passes clear runs over and copies opaque pixels as they are:
// every pixel must still come out as the blend rule gives it, whatever the
// alpha and wherever the runs start and end.
TEST(PlatformImages, AlphaCopyKeepsTheBlendRuleForEveryPixel) {
  struct Pixel {
    uint32_t source, destination, expected;
  };
  const Pixel table[] = {
      {0x00FFFFFFu, 0x12345678u, 0x12345678u},  // clear: the destination stays, alpha too
      {0x00000000u, 0x00000000u, 0x00000000u},
      {0xFF102030u, 0x00ABCDEFu, 0xFF102030u},  // opaque: replaced
      {0xFF000000u, 0xFFFFFFFFu, 0xFF000000u},
      {0x01FFFFFFu, 0x00000000u, 0x01010101u},  // (255 + 127) / 255 = 1
      {0xFE000000u, 0xFFFFFFFFu, 0xFF010101u},  // (255 + 127) / 255 = 1; 254 + 1
      {0x80FF0000u, 0xFF0000FFu, 0xFF80007Fu},
      {0x7F00FF00u, 0x80FF00FFu, 0xBF807F80u},  // 127 + (128 x 128 + 127) / 255 = 191
  };
  for (const Pixel& p : table) {
    ImageHolder src(platform::ImageCreate(1, 1, p.source));
    ImageHolder dst(platform::ImageCreate(1, 1, p.destination));
    platform::ImageCopyAlpha(src.img, 0, 0, 1, 1, dst.img, 0, 0);
    EXPECT_EQ(dst.at(0, 0), p.expected) << std::hex << p.source << " over " << p.destination;
    EXPECT_EQ(platform::BlendOver(p.source, p.destination, p.source >> 24), p.expected);
  }

  // Every alpha over several destinations, in rows whose clear runs (0 to 19
  // pixels) fall across the copy's blocks of eight at every offset.
  constexpr int kWidth = 300;
  ImageHolder src(platform::ImageCreate(kWidth, 1, 0));
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int x = 0, run = 0; x < kWidth; ++run) {
    for (int k = 0; k < run % 20 && x < kWidth; ++k, ++x)
      *platform::ImagePixel(src.img, x, 0) = next() & 0x00FFFFFFu;
    if (x < kWidth)
      *platform::ImagePixel(src.img, x++, 0) = (next() & 0x00FFFFFFu) | ((run * 37u % 256u) << 24);
  }
  std::vector<uint32_t> alphas;
  for (uint32_t a = 0; a < 256; ++a) alphas.push_back((next() & 0x00FFFFFFu) | (a << 24));
  ImageHolder every(platform::ImageCreate(256, 1, 0));
  for (int a = 0; a < 256; ++a) *platform::ImagePixel(every.img, a, 0) = alphas[a];
  for (const uint32_t fill : {0x00000000u, 0xFF000000u, 0xFFFFFFFFu, 0x80336699u, 0x12FEDCBAu}) {
    for (const ImageHolder* row : {&src, &every}) {
      const int w = row->img->width;
      for (int offset = 0; offset < 9; ++offset) {
        ImageHolder dst(platform::ImageCreate(w, 1, fill));
        for (int x = 0; x < w; ++x) *platform::ImagePixel(dst.img, x, 0) ^= next() & 0x0F0F0F0Fu;
        std::vector<uint32_t> before(dst.img->pixels, dst.img->pixels + w);
        platform::ImageCopyAlpha(row->img, offset, 0, w - offset, 1, dst.img, 0, 0);
        for (int x = 0; x < w; ++x) {
          const uint32_t s = x + offset < w ? row->at(x + offset, 0) : 0;
          const uint32_t want =
              x + offset < w ? platform::BlendOver(s, before[x], s >> 24) : before[x];
          ASSERT_EQ(dst.at(x, 0), want) << "fill " << std::hex << fill << std::dec << " offset "
                                        << offset << " x " << x;
        }
      }
    }
  }
}

TEST(PlatformImages, CopiesCutAtBothEdges) {
  ImageHolder src(platform::ImageCreate(3, 3, 0));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) *platform::ImagePixel(src.img, x, y) = 0xFF000000u | (y * 3 + x);
  ImageHolder dst(platform::ImageCreate(2, 2, 0));
  platform::ImageCopy(src.img, 0, 0, 3, 3, dst.img, -1, -1);  // lands at source (1, 1)
  EXPECT_EQ(dst.at(0, 0), 0xFF000004u);
  EXPECT_EQ(dst.at(1, 1), 0xFF000008u);
  platform::ImageFill(dst.img, 0);
  platform::ImageCopy(src.img, -1, 2, 5, 5, dst.img, 0, 0);  // only row 2 of the source
  EXPECT_EQ(dst.at(0, 0), 0u);                              // source x -1 is outside
  EXPECT_EQ(dst.at(1, 0), 0xFF000006u);
  EXPECT_EQ(dst.at(1, 1), 0u);
  platform::ImageCopy(src.img, 0, 0, 3, 3, dst.img, 5, 5);  // wholly outside: nothing, no fault
  platform::ImageCopy(nullptr, 0, 0, 3, 3, dst.img, 0, 0);
}

TEST(PlatformImages, WorkPageIsANullTarget) {
  platform::ScreenClose();
  platform::DrawBox(nullptr, 0, 0, 10, 10, 1);  // no screen: nothing happens
  ASSERT_TRUE(platform::ScreenOpen(8, 4, 32, 2, 0, 0));
  platform::DrawBox(nullptr, 6, 2, 5, 5, 0xFF123456u);
  const uint32_t* page = platform::ScreenPointer();
  EXPECT_EQ(page[2 * 8 + 6], 0xFF123456u);
  EXPECT_EQ(page[3 * 8 + 7], 0xFF123456u);
  EXPECT_EQ(page[1 * 8 + 6], 0u);
  platform::Surface s;
  EXPECT_TRUE(platform::SurfaceOf(nullptr, s));
  EXPECT_EQ(s.pitch, 8);
  platform::ScreenClose();
  EXPECT_FALSE(platform::SurfaceOf(nullptr, s));
}

// Every routine that draws on the work page stays inside its clip rectangle,
// and draws there exactly what it draws without one.
TEST(PlatformImages, TheWorkPageClipCutsEveryRoutine) {
  struct Case {
    const char* name;
    void (*draw)(const platform::Image* src);
  };
  const Case cases[] = {
      {"box", [](const platform::Image*) { platform::DrawBox(nullptr, 1, 1, 14, 10, 0xFF00FF00u); }},
      {"slanted line",
       [](const platform::Image*) { platform::DrawLine(nullptr, 0, 0, 15, 11, 0xFFFF0000u); }},
      {"row", [](const platform::Image*) { platform::DrawLine(nullptr, 0, 5, 15, 5, 0xFF0000FFu); }},
      {"column",
       [](const platform::Image*) { platform::DrawLine(nullptr, 6, 0, 6, 11, 0xFF0000FFu); }},
      {"copy with alpha",
       [](const platform::Image* src) { platform::ImageCopyAlpha(src, 0, 0, 16, 12, nullptr, 0, 0); }},
  };
  platform::Image* src = platform::ImageCreate(16, 12, 0x80FF8000u);
  ASSERT_TRUE(platform::ScreenOpen(16, 12, 32, 2, 0, 0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t* page = platform::ScreenPointer();
    std::fill(page, page + 16 * 12, 0xFF101010u);
    c.draw(src);
    const std::vector<uint32_t> whole(page, page + 16 * 12);
    std::fill(page, page + 16 * 12, 0xFF101010u);
    {
      platform::WorkPageGuard guard;
      platform::SetWorkPageClip(4, 3, 5, 4);
      c.draw(src);
      platform::ClearWorkPageClip();
    }
    for (int32_t y = 0; y < 12; ++y) {
      for (int32_t x = 0; x < 16; ++x) {
        const bool inside = x >= 4 && x < 9 && y >= 3 && y < 7;
        EXPECT_EQ(page[y * 16 + x], inside ? whole[y * 16 + x] : 0xFF101010u) << x << "," << y;
      }
    }
    // Each row cut to its own columns as well: a run inside, one reaching past
    // the rectangle on both sides, an empty row, a single column; the clip
    // rectangle itself reaches above the page.
    const int32_t spans[] = {0, 16, 0, 16, 5, 8, 0, 16, 6, 6, 11, 12, 2, 20};
    std::fill(page, page + 16 * 12, 0xFF101010u);
    {
      platform::WorkPageGuard guard;
      platform::SetWorkPageClipRows(3, -2, 10, 7, spans);
      c.draw(src);
      platform::ClearWorkPageClip();
    }
    for (int32_t y = 0; y < 12; ++y) {
      for (int32_t x = 0; x < 16; ++x) {
        const int32_t r = y + 2;
        const bool inside = r < 7 && x >= std::max(3, spans[2 * r]) &&
                            x < std::min(13, spans[2 * r + 1]);
        EXPECT_EQ(page[y * 16 + x], inside ? whole[y * 16 + x] : 0xFF101010u)
            << "rows " << x << "," << y;
      }
    }
  }
  platform::ImageDestroy(src);
  platform::ScreenClose();
}

// Picture files written with FreeImage into a temporary folder.
class ImageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tarvelo_images_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // A w x h picture whose pixel (x, y), counted from the top, is colour(x, y).
  template <typename F>
  std::string Write(const std::string& name, FREE_IMAGE_FORMAT fif, int bpp, int w, int h,
                    F colour) {
    FIBITMAP* dib = FreeImage_Allocate(w, h, bpp);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint32_t c = colour(x, y);
        RGBQUAD q;
        q.rgbRed = (c >> 16) & 0xFF;
        q.rgbGreen = (c >> 8) & 0xFF;
        q.rgbBlue = c & 0xFF;
        q.rgbReserved = (c >> 24) & 0xFF;
        FreeImage_SetPixelColor(dib, x, h - 1 - y, &q);  // FreeImage rows run bottom-up
      }
    const std::string p = Path(name);
    EXPECT_TRUE(FreeImage_Save(fif, dib, p.c_str(), 0));
    FreeImage_Unload(dib);
    return p;
  }

  std::filesystem::path dir_;
};

uint32_t Quadrants(int x, int y) {
  static const uint32_t c[4] = {0xFFFF0000u, 0x8000FF00u, 0xFF0000FFu, 0x00FFFFFFu};
  return c[(y >= 2) * 2 + (x >= 2)];
}

TEST_F(ImageFileTest, PngLoadsTopDownWithAlpha) {
  const std::string p = Write("pic.png", FIF_PNG, 32, 4, 4, Quadrants);
  platform::Image* img = nullptr;
  ASSERT_EQ(QUARLE_VISUALS::LoadImageFile(p, &img, -1, 1.0f), 0);
  ImageHolder h(img);
  EXPECT_EQ(img->width, 4);
  EXPECT_EQ(img->height, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_EQ(h.at(x, y), Quadrants(x, y)) << x << "," << y;
}

TEST_F(ImageFileTest, BmpWithoutAlphaBecomesOpaque) {
  auto colour = [](int x, int y) { return 0xFF000000u | (x * 40) << 16 | (y * 50) << 8 | 7; };
  const std::string p = Write("pic.bmp", FIF_BMP, 24, 5, 3, colour);
  platform::Image* img = nullptr;
  ASSERT_EQ(QUARLE_VISUALS::LoadImageFile(p, &img, FIF_BMP, 1.0f), 0);
  ImageHolder h(img);
  ASSERT_EQ(img->width, 5);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(h.at(x, y), colour(x, y));
}

TEST_F(ImageFileTest, RescaleRoundsSidesAndKeepsOrientation) {
  auto bands = [](int, int y) { return y < 2 ? 0xFFFF0000u : 0xFF0000FFu; };
  const std::string p = Write("bands.png", FIF_PNG, 24, 3, 4, bands);
  platform::Image* img = nullptr;
  ASSERT_EQ(QUARLE_VISUALS::LoadImageFile(p, &img, -1, 2.5f), 0);
  {
    ImageHolder h(img);
    EXPECT_EQ(img->width, 8);   // 7.5 rounds to the even 8
    EXPECT_EQ(img->height, 10);
    EXPECT_EQ(h.at(0, 0), 0xFFFF0000u);  // red stays on top
    EXPECT_EQ(h.at(7, 9), 0xFF0000FFu);
  }
  img = nullptr;
  ASSERT_EQ(QUARLE_VISUALS::LoadImageFile(p, &img, -1, 0.5f), 0);
  {
    ImageHolder h(img);
    EXPECT_EQ(img->width, 2);  // 1.5 -> 2
    EXPECT_EQ(img->height, 2);
  }
  // Sides that would not be above 1 leave the size read from the file.
  for (float s : {0.001f, 0.3f, -2.0f}) {
    img = nullptr;
    ASSERT_EQ(QUARLE_VISUALS::LoadImageFile(p, &img, -1, s), 0) << s;
    ImageHolder h(img);
    EXPECT_EQ(img->width, 3);
    EXPECT_EQ(img->height, 4);
    EXPECT_EQ(h.at(2, 3), 0xFF0000FFu);
  }
  // A size no image can have is refused, not attempted.
  img = nullptr;
  EXPECT_EQ(QUARLE_VISUALS::LoadImageFile(p, &img, -1, 100000.0f), -21);
  EXPECT_EQ(img, nullptr);
}

TEST_F(ImageFileTest, FormatFromTheNameWhenTheContentSaysNothing) {
  // Wireless bitmaps carry no signature: only the name tells what they are.
  FIBITMAP* dib = FreeImage_Allocate(3, 2, 1);
  RGBQUAD* pal = FreeImage_GetPalette(dib);
  pal[0] = RGBQUAD{0, 0, 0, 0};
  pal[1] = RGBQUAD{255, 255, 255, 0};
  BYTE one = 1, zero = 0;
  for (unsigned y = 0; y < 2; ++y)
    for (unsigned x = 0; x < 3; ++x) FreeImage_SetPixelIndex(dib, x, y, &zero);
  FreeImage_SetPixelIndex(dib, 0, 1, &one);  // top-left (FreeImage's row 1 is the top)
  const std::string p = Path("mark.wbmp");
  ASSERT_TRUE(FreeImage_Save(FIF_WBMP, dib, p.c_str(), 0));
  FreeImage_Unload(dib);
  ASSERT_EQ(FreeImage_GetFileType(p.c_str(), 0), FIF_UNKNOWN);

  platform::Image* img = nullptr;
  ASSERT_EQ(QUARLE_VISUALS::LoadImageFile(p, &img, -1, 1.0f), 0);
  ImageHolder h(img);
  ASSERT_EQ(img->width, 3);
  ASSERT_EQ(img->height, 2);
  EXPECT_EQ(h.at(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(h.at(1, 0), 0xFF000000u);
  EXPECT_EQ(h.at(0, 1), 0xFF000000u);
  // The same bytes under a name that says nothing.
  const std::string bare = Path("mark_copy");
  std::filesystem::copy_file(p, bare);
  platform::Image* none = nullptr;
  EXPECT_EQ(QUARLE_VISUALS::LoadImageFile(bare, &none, -1, 1.0f), -28);
  EXPECT_EQ(none, nullptr);
}

TEST_F(ImageFileTest, BadInputGivesErrorsNotCrashes) {
  using QUARLE_VISUALS::LoadImageFile;
  platform::Image* img = nullptr;
  EXPECT_EQ(LoadImageFile("", &img, -1, 1.0f), -19);
  EXPECT_EQ(LoadImageFile(Path("x.png"), &img, -1, 0.0f), -19);
  EXPECT_EQ(LoadImageFile(Path("x.png"), nullptr, -1, 1.0f), -19);
  // A missing file with a known extension: nothing loads.
  EXPECT_EQ(LoadImageFile(Path("missing.png"), &img, -1, 1.0f), -18);
  // Unknown content and name.
  { std::ofstream(Path("notes.xyz")) << "plain words"; }
  EXPECT_EQ(LoadImageFile(Path("notes.xyz"), &img, -1, 1.0f), -28);
  // A PNG cut short after its header, and one whose body is garbage.
  const std::string good = Write("good.png", FIF_PNG, 24, 16, 16, Quadrants);
  std::string bytes;
  {
    std::ifstream in(good, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  { std::ofstream(Path("cut.png"), std::ios::binary) << bytes.substr(0, 40); }
  EXPECT_EQ(LoadImageFile(Path("cut.png"), &img, -1, 1.0f), -18);
  std::string garbage = bytes;
  for (size_t i = 33; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 37);
  { std::ofstream(Path("garbage.png"), std::ios::binary) << garbage; }
  EXPECT_EQ(LoadImageFile(Path("garbage.png"), &img, -1, 1.0f), -18);
  // A BMP whose header claims a huge picture.
  std::string bmp;
  {
    const std::string b = Write("small.bmp", FIF_BMP, 24, 2, 2, Quadrants);
    std::ifstream in(b, std::ios::binary);
    bmp.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(bmp.size(), 26u);
  bmp[18] = bmp[19] = bmp[20] = static_cast<char>(0xFF);
  bmp[21] = 0x7F;  // width 0x7FFFFFFF
  { std::ofstream(Path("huge.bmp"), std::ios::binary) << bmp; }
  EXPECT_LT(LoadImageFile(Path("huge.bmp"), &img, -1, 1.0f), 0);
  // An unknown format number.
  EXPECT_EQ(LoadImageFile(good, &img, 999, 1.0f), -28);
  EXPECT_EQ(img, nullptr);
}

// The largest single allocation made while `load` runs, where the sanitizer's
// allocator can tell (-1 where it cannot).
std::atomic<bool> g_watching{false};
std::atomic<size_t> g_largest{0};
template <typename Load>
int64_t LargestAllocationDuring(Load load) {
#ifdef TARVELO_ALLOCATION_HOOKS
  static const bool hooked = [] {
    __sanitizer_install_malloc_and_free_hooks(
        [](const volatile void*, size_t size) {
          if (!g_watching.load(std::memory_order_relaxed)) return;
          size_t seen = g_largest.load(std::memory_order_relaxed);
          while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
          }
        },
        [](const volatile void*) {});
    return true;
  }();
  (void)hooked;
  g_largest = 0;
  g_watching = true;
  load();
  g_watching = false;
  return static_cast<int64_t>(g_largest.load());
#else
  load();
  return -1;
#endif
}

void Be32(std::string& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out += static_cast<char>((v >> s) & 0xFF);
}
void Le(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
uint32_t Crc32(const std::string& bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}
void PngChunk(std::string& out, const char* type, const std::string& data) {
  Be32(out, static_cast<uint32_t>(data.size()));
  const std::string body = type + data;
  out += body;
  Be32(out, Crc32(body));
}

// A whole-looking PNG of 69 bytes declaring a w x h one-bit grey picture: its
// one row of data is all a decoder finds.
std::string TinyPng(uint32_t w, uint32_t h) {
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string ihdr;
  Be32(ihdr, w);
  Be32(ihdr, h);
  ihdr += std::string("\x01\x00\x00\x00\x00", 5);  // 1 bit, grey, deflate, no interlace
  PngChunk(png, "IHDR", ihdr);
  PngChunk(png, "IDAT", std::string("\x78\x9c\x63\x00\x00\x00\x01\x00\x01\x00\x00\x00", 12));
  PngChunk(png, "IEND", "");
  return png;
}

// A BMP of a few bytes declaring a w x h one-bit picture.
std::string TinyBmp(uint32_t w, uint32_t h) {
  std::string bmp = "BM";
  Le(bmp, 14 + 40 + 8 + 4, 4);
  Le(bmp, 0, 4);
  Le(bmp, 14 + 40 + 8, 4);
  Le(bmp, 40, 4);
  Le(bmp, w, 4);
  Le(bmp, h, 4);
  Le(bmp, 1, 2);   // planes
  Le(bmp, 1, 2);   // bits
  Le(bmp, 0, 4);   // no compression
  Le(bmp, 0, 4);
  Le(bmp, 2835, 4);
  Le(bmp, 2835, 4);
  Le(bmp, 2, 4);
  Le(bmp, 0, 4);
  Le(bmp, 0, 4);
  Le(bmp, 0xFFFFFF, 4);  // the palette: black, white
  Le(bmp, 0, 4);         // one row of pixels
  return bmp;
}

std::vector<std::string> g_reports;
void Keep(const std::string& text, int32_t level) {
  g_reports.push_back(std::to_string(level) + " " + text);
}

TEST_F(ImageFileTest, APictureDeclaringMoreThanTheProgramDrawsIsRefusedUndecoded) {
  using QUARLE_VISUALS::kPictureMaxHeight;
  using QUARLE_VISUALS::kPictureMaxWidth;
  using QUARLE_VISUALS::LoadImageFile;
  ASSERT_EQ(TinyPng(60000, 60000).size(), 69u);
  // Formats whose reader cannot stop after the header are read here.
  const std::string wbmp("\x00\x00\x83\xd4\x60\x83\xd4\x60\x00", 9);  // 60000 x 60000
  std::string gif = "GIF89a";
  Le(gif, 2, 2);
  Le(gif, 2, 2);
  gif += std::string("\x80\x00\x00" "\x00\x00\x00\xff\xff\xff", 9);  // two colours
  gif += std::string("\x21\xf9\x04\x00\x00\x00\x00\x00", 8);         // an extension
  gif += "\x2c";
  Le(gif, 0, 4);
  Le(gif, 30000, 2);  // the first frame, far larger than the screen it says
  Le(gif, 3, 2);
  gif += std::string("\x00\x02\x02\x44\x01\x00\x3b", 7);
  struct Case {
    const char* name;
    std::string bytes;
    int32_t format;
    const char* declared;  // "" for a picture that loads, "?" for one whose size is not told
  };
  const Case cases[] = {
      {"huge.png", TinyPng(60000, 60000), -1, "60000 x 60000"},
      {"logo.png", TinyPng(60000, 60000), FIF_PNG, "60000 x 60000"},  // as the About window asks
      {"wide.png", TinyPng(kPictureMaxWidth + 1, 1), -1, "4097 x 1"},
      {"tall.png", TinyPng(1, kPictureMaxHeight + 1), -1, "1 x 2161"},
      {"huge.bmp", TinyBmp(60000, 60000), -1, "60000 x 60000"},
      {"tall.bmp", TinyBmp(2, 40000), FIF_BMP, "2 x 40000"},
      {"huge.wbmp", wbmp, -1, "60000 x 60000"},
      {"wide.gif", gif, -1, "30000 x 3"},
      {"some.sgi", TinyBmp(2, 1), FIF_SGI, "?"},
      {"small.bmp", TinyBmp(2, 1), -1, ""},
  };
  QUARLE_BASICS::MessageHook = Keep;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_reports.clear();
    { std::ofstream(Path(c.name), std::ios::binary) << c.bytes; }
    platform::Image* img = nullptr;
    int32_t r = 0;
    const int64_t largest =
        LargestAllocationDuring([&] { r = LoadImageFile(Path(c.name), &img, c.format, 1.0f); });
    ImageHolder h(img);
    if (!*c.declared) {
      EXPECT_EQ(r, 0);
      ASSERT_NE(img, nullptr);
      EXPECT_EQ(img->width, 2);
      EXPECT_TRUE(g_reports.empty());
      continue;
    }
    EXPECT_EQ(r, -28);
    EXPECT_EQ(img, nullptr);
    // Nothing near the size declared was asked of the allocator.
    EXPECT_LT(largest, 1 << 20);
    ASSERT_EQ(g_reports.size(), 1u);
    const std::string what = std::string(c.declared) == "?"
        ? "its size cannot be read before it is decoded."
        : std::string("it declares ") + c.declared + " pixels, more than the 4096 x 2160 the program draws at most.";
    EXPECT_EQ(g_reports[0], "2 The picture " + Path(c.name) + " is not loaded: " + what);
  }
  QUARLE_BASICS::MessageHook = nullptr;
}

}  // namespace
