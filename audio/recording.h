// The output recording: a 16-bit stereo WAV file kept open while the audio
// thread streams into it, created with a provisional header and finished by
// rewriting that header in place with the final sizes.
#pragma once
#include <cstdint>
#include <string>

#include "audio/wav.h"

namespace QUARLE_AUDIO {

// sb is built with SoundBufferInitFormat (2, 16, rate); its samples are unused,
// its dataSize counts 4 bytes per 16-bit value written (the data chunk's size
// is dataSize / 2). Returns the open file's number (positive), positioned at
// the first data byte, or a negative code (-23 no free file, or the negated
// open error). The file and its folder are synced aside: the caller (the
// audio thread) waits for no disk.
int32_t CreateRecordingWav(const std::string& fileName, SoundBuffer* sb);

// Writes count 16-bit values at the file's current position; on success adds
// count x 4 to sb->dataSize. After the first block and each time the data
// passes a whole second, the header's sizes are rewritten to match it, so that
// a file whose recording never finished still reads, and the sync thread is
// asked to sync the file (platform::FileSyncAside), so that a power cut keeps
// it too. Returns 0 or the negated write error. On an error the caller
// finishes the file at once and stops recording.
int32_t WriteRecordingSamples(int32_t fileNumber, SoundBuffer* sb, const int16_t* values,
                              int32_t count);

// Rewrites the header with the final sizes and closes the file; returns 0.
// The sizes are those of the whole frames the file holds, which after a
// failed write may be more than was counted (the file is cut to them).
int32_t FinishRecordingWav(int32_t fileNumber, SoundBuffer* sb);

}  // namespace QUARLE_AUDIO
