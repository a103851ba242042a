// The tuning file (".tng"): one tuning, binary and little-endian, without magic
// or version: reference pitch (f32), keys per octave N (i32), N key records
// (relative ratio f32, absolute ratio f32, name length i32, the name's bytes),
// then optionally the pattern count P (i32), P masks (u64) and P name fields of
// 33 bytes. The caller holds the MT_TUNINGS lock of the tuning.
#pragma once
#include <cstdint>
#include <string>

#include "engine/tuning.h"

namespace Tarvelo {

// Writes the tuning to its folder and file name (an empty folder becomes the
// current one). The file is written beside the target under a temporary name
// and put in its place only once every byte is written, so a failed save leaves
// the old file whole. 0 (the modified flag is cleared), or -19 for no keys or no
// file name, -23 when no file number is free, the negated failure code of the
// open, or -20 when a write or the replacement fails (the tuning stays marked
// modified).
int32_t SaveTuning(Tuning& tuning);
// What SaveTuning writes and where, built in memory for a save made elsewhere
// (the interface hands it to its saver): 0, or SaveTuning's refusals before
// the write (the folder defaults as there). The modified flag is left alone.
int32_t TuningFileBytes(Tuning& tuning, std::string& target, std::string& bytes);
// A save's result as SaveTuning gives it, from the file sequence's.
int32_t TuningSaveResult(int32_t rc);

// Reads folder + "\" + fileName (extension included) into the tuning through its
// setters, so every clamp of the tuning applies. The whole file is checked
// before anything changes: 0, or -19 when there is no file or it is 27 bytes or
// shorter, -61 for a folder at the name, the negated failure code of the open
// (-60 for a named pipe or a device), -28 when the file ends inside
// a key record or a name, or holds fewer patterns than it announces; -21 when a
// name cannot be held in memory. On failure the tuning is untouched.
int32_t LoadTuning(Tuning& tuning, const std::string& folder, const std::string& fileName);

}  // namespace Tarvelo
