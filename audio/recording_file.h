// The take files: a recording's WAV header, made with the file, its sizes
// rewritten as the disk keeps the data, and whole again at the take's end.
// The writer writes the data through the file's stream; every header write
// after the first goes through a descriptor of the take's own (pwrite), which
// leaves the stream where the data goes on, and lets the end's wait close a
// take whose writer the disk holds.
#pragma once
#include <cstdint>
#include <string>

#include "audio/wav.h"

namespace QUARLE_AUDIO::rec {

// The header from "RIFF" to the data chunk's size, from sb's current values.
// Its length depends only on the text, so a rewrite covers exactly the bytes
// written at the start.
std::string Header(SoundBuffer* sb);
// The header's sizes (RIFF, fact, data) for dataBytes of data, written on fd
// (the header being headBytes long). 0, or the negated errno.
int32_t PutSizes(int fd, int64_t headBytes, uint32_t blockAlign, uint32_t dataBytes);
// A whole header written on fd at its start. 0, or the negated errno.
int32_t PutHeader(int fd, const std::string& header);
// The data bytes a file of length bytes holds in whole frames after a head
// of headBytes (at most what 32-bit sizes that count twice can name).
uint32_t WholeFramesHeld(int64_t length, int64_t headBytes, uint32_t blockAlign);
// A failed write or sync's code: a full disk, a read-only file system and a
// refused right named, else rc.
int32_t WriteFailure(int32_t rc, int err);

}  // namespace QUARLE_AUDIO::rec
