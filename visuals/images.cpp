#include "visuals/images.h"

#include <FreeImage.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "basics/errors.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace QUARLE_VISUALS {

namespace {

std::once_flag g_freeImageStarted;

// Owns a FreeImage bitmap for the length of a load.
// one thread: value
struct Bitmap {
  FIBITMAP* dib = nullptr;
  explicit Bitmap(FIBITMAP* d) : dib(d) {}
  ~Bitmap() {
    if (dib) FreeImage_Unload(dib);
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  void Reset(FIBITMAP* d) {
    if (dib) FreeImage_Unload(dib);
    dib = d;
  }
};

// Owns a FreeImage view of bytes in memory for the length of a load.
// one thread: value
struct Memory {
  FIMEMORY* m = nullptr;
  explicit Memory(FIMEMORY* memory) : m(memory) {}
  ~Memory() {
    if (m) FreeImage_CloseMemory(m);
  }
  Memory(const Memory&) = delete;
  Memory& operator=(const Memory&) = delete;
};

}  // namespace

int32_t LoadImageFile(const std::string& path, platform::Image** image, int32_t format,
                      float scale) {
  using namespace QUARLE_BASICS;
  if (path.empty() || !image || scale == 0.0f) return -kErrBadParameter;
  // The shared library starts itself; a statically linked one needs this (it
  // counts its starts, so both together do no harm).
  std::call_once(g_freeImageStarted, [] { FreeImage_Initialise(FALSE); });
  // Read through the one path edge; the library decodes the bytes.
  std::vector<unsigned char> bytes;
  const bool read = platform::FileReadWhole(path, bytes) == 0 && !bytes.empty() && bytes.size() <= 0xFFFFFFFFu;
  Memory memory(read ? FreeImage_OpenMemory(bytes.data(), static_cast<DWORD>(bytes.size())) : nullptr);

  FREE_IMAGE_FORMAT fif = static_cast<FREE_IMAGE_FORMAT>(format);
  if (format == kImageFormatDetect) {
    fif = memory.m ? FreeImage_GetFileTypeFromMemory(memory.m, 0) : FIF_UNKNOWN;
    if (fif == FIF_UNKNOWN) fif = FreeImage_GetFIFFromFilename(path.c_str());
    if (fif == FIF_UNKNOWN) return -kErrIncompatibleFile;
  }
  if (!FreeImage_FIFSupportsReading(fif)) return -kErrIncompatibleFile;
  if (!memory.m) return -kErrUnknown;

  Bitmap loaded(FreeImage_LoadFromMemory(fif, memory.m, fif == FIF_JPEG ? JPEG_ACCURATE : 0));
  if (!loaded.dib || !FreeImage_HasPixels(loaded.dib)) return -kErrUnknown;
  // FreeImage keeps rows bottom-up; ours are top-down.
  FreeImage_FlipVertical(loaded.dib);

  int64_t width = FreeImage_GetWidth(loaded.dib);
  int64_t height = FreeImage_GetHeight(loaded.dib);
  if (scale != 1.0f) {
    const float w = std::nearbyint(static_cast<float>(width) * scale);
    const float h = std::nearbyint(static_cast<float>(height) * scale);
    if (w > 1.0f && h > 1.0f) {
      if (w > platform::kImageMaxSide || h > platform::kImageMaxSide) return -kErrAllocation;
      FIBITMAP* scaled = FreeImage_Rescale(loaded.dib, static_cast<int>(w), static_cast<int>(h),
                                           FILTER_CATMULLROM);
      if (!scaled) return -kErrAllocation;
      loaded.Reset(scaled);
      width = FreeImage_GetWidth(loaded.dib);
      height = FreeImage_GetHeight(loaded.dib);
    }
  }
  if (width < 1 || height < 1 || width > platform::kImageMaxSide ||
      height > platform::kImageMaxSide)
    return -kErrAllocation;

  Bitmap converted(FreeImage_ConvertTo32Bits(loaded.dib));
  if (!converted.dib) return -kErrIncompatibleFile;
  platform::Image* out =
      platform::ImageCreate(static_cast<int32_t>(width), static_cast<int32_t>(height), 0);
  if (!out) return -kErrAllocation;
  // 32-bit FreeImage pixels are blue, green, red, alpha bytes: our 0xAARRGGBB.
  const BYTE* bits = FreeImage_GetBits(converted.dib);
  const int64_t pitch = FreeImage_GetPitch(converted.dib);
  for (int64_t y = 0; y < height; ++y)
    std::memcpy(reinterpret_cast<uint8_t*>(out->pixels) + y * out->pitch, bits + y * pitch,
                static_cast<size_t>(width) * 4);
  *image = out;
  return 0;
}

}  // namespace QUARLE_VISUALS
