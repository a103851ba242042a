#include "visuals/images.h"

#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
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

// A number of a wireless bitmap's header: seven bits a byte, the high bit
// saying another follows. False past the end or beyond 32 bits.
bool WbmpNumber(const std::vector<unsigned char>& b, size_t& at, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 5 && at < b.size(); ++i) {
    const unsigned char c = b[at++];
    value = (value << 7) | (c & 0x7F);
    if (!(c & 0x80)) return value <= 0xFFFFFFFFu;
  }
  return false;
}

uint32_t Le16(const std::vector<unsigned char>& b, size_t at) {
  return b[at] | (uint32_t{b[at + 1]} << 8);
}

// The size a file of a format whose reader cannot stop after the header
// declares, read here from the bytes; false when it cannot be told.
bool DeclaredSizeOf(FREE_IMAGE_FORMAT fif, const std::vector<unsigned char>& b, uint64_t& w,
                    uint64_t& h) {
  if (fif == FIF_WBMP) {
    size_t at = 0;
    uint64_t type = 0;
    if (!WbmpNumber(b, at, type) || at >= b.size()) return false;
    const unsigned char fixed = b[at++];
    if (fixed & 0x80) {  // extension headers: passed over as the reader does
      for (unsigned char c = 0x80; c & 0x80 && at < b.size();) c = b[at++];
    }
    return WbmpNumber(b, at, w) && WbmpNumber(b, at, h);
  }
  if (fif == FIF_GIF) {
    // The logical screen, and the first frame, which the reader makes.
    if (b.size() < 13) return false;
    w = Le16(b, 6);
    h = Le16(b, 8);
    size_t at = 13;
    if (b[10] & 0x80) at += size_t{3} << ((b[10] & 7) + 1);
    while (at < b.size()) {
      if (b[at] == 0x2C) {
        if (at + 9 > b.size()) return false;
        w = std::max<uint64_t>(w, Le16(b, at + 5));
        h = std::max<uint64_t>(h, Le16(b, at + 7));
        return true;
      }
      if (b[at] != 0x21 || at + 2 >= b.size()) return false;
      at += 2;  // an extension's blocks up to the empty one
      while (at < b.size() && b[at] != 0) at += size_t{b[at]} + 1;
      ++at;
    }
    return false;
  }
  if (fif == FIF_KOALA) {
    w = 320;
    h = 200;
    return true;
  }
  return false;
}

// The picture's size as its header declares it, read without decoding the
// pixels; false when it cannot be told (the memory is put back at its start).
bool DeclaredSize(FREE_IMAGE_FORMAT fif, FIMEMORY* memory, const std::vector<unsigned char>& bytes,
                  uint64_t& w, uint64_t& h) {
  w = h = 0;
  if (!FreeImage_FIFSupportsNoPixels(fif)) return DeclaredSizeOf(fif, bytes, w, h);
  Bitmap header(FreeImage_LoadFromMemory(fif, memory, FIF_LOAD_NOPIXELS));
  FreeImage_SeekMemory(memory, 0, SEEK_SET);
  if (!header.dib) return false;
  w = FreeImage_GetWidth(header.dib);
  h = FreeImage_GetHeight(header.dib);
  return true;
}

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

  uint64_t declaredW = 0, declaredH = 0;
  if (!DeclaredSize(fif, memory.m, bytes, declaredW, declaredH)) {
    // A header that cannot be read is a damaged file, as one that cannot be
    // decoded; a format that tells its size only by decoding is not decoded.
    if (FreeImage_FIFSupportsNoPixels(fif)) return -kErrUnknown;
    Report(InsertArg(LangText(717, "The picture {$} is not loaded: its size cannot be read before it is decoded."),
                     path),
           kLevelError);
    return -kErrIncompatibleFile;
  }
  if (declaredW > kPictureMaxWidth || declaredH > kPictureMaxHeight) {
    std::string text = LangText(716, "The picture {$} is not loaded: it declares {$} x {$} pixels, more than the {$} x {$} the program draws at most.");
    for (const std::string& arg : {path, std::to_string(declaredW), std::to_string(declaredH),
                                   std::to_string(kPictureMaxWidth), std::to_string(kPictureMaxHeight)})
      text = InsertArg(text, arg);
    Report(text, kLevelError);
    return -kErrIncompatibleFile;
  }

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
