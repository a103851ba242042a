// Pictures of the interface (the logo, backgrounds, button art) loaded from any
// file format FreeImage reads into the program's 32-bit images.
#pragma once
#include <cstdint>
#include <string>

#include "platform/images.h"
#include "visuals/visuals.h"

namespace QUARLE_VISUALS {

constexpr int32_t kImageFormatDetect = -1;

// No picture is drawn larger than the largest screen the program opens. A file
// declaring more (a damaged or replaced one) is refused before it is decoded:
// decoding takes memory in proportion to the size declared, not to the bytes.
constexpr int32_t kPictureMaxWidth = kMaxScreenWidth;
constexpr int32_t kPictureMaxHeight = kMaxScreenHeight;

// Loads the picture at `path` (a system path) into a new image stored in
// *image on success only; the caller owns it (platform::ImageDestroy).
// format: a FreeImage format number, or -1 to detect it from the content and
// then from the file name. scale: the image's sides become round(side x scale)
// when both come out above 1 (Catmull-Rom resampling); otherwise, and for a
// scale of 1, the size read from the file stays.
// Gives 0; -19 for an empty path, a null out pointer or a scale of 0; -28 when
// the format is unknown or the picture cannot become 32 bits; -18 when nothing
// could be loaded (a missing or damaged file); -21 when the image cannot be
// made (too large, or no memory).
int32_t LoadImageFile(const std::string& path, platform::Image** image, int32_t format,
                      float scale);

}  // namespace QUARLE_VISUALS
