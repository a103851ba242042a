// The audio thread: it alone talks to OpenAL after start-up, keeps three
// stream buffers queued on the playback source, calls the render callback until
// each buffer is full, feeds captured blocks to the capture callback, writes the
// output recording, lengthens the buffer after underruns until the stream
// settles, and watches both devices once a second. It is driven by commands on
// AudioCommandQueue and reports on queue 0 (codes in audio/audio.h).
#pragma once
#include <cstdint>
#include <string>
#include <thread>

#include "audio/recording.h"

namespace QUARLE_AUDIO {

// Fixes StreamRate (48000 x 1, 2, 4 or 8), CapturePollPeriod and StreamLength
// (ms clamped to 1..32) and starts the thread in standby (and the writer of
// its recordings, audio/recording.h, saying so when it cannot). 0; -1 when handle is
// already set; -29 when no thread could be made (handle stays null).
int32_t StartAudioThread(std::thread*& handle, int32_t rate, int32_t ms);
// Waits for the thread to end (post command 2 first) and releases the handle
// (none: nothing to wait for); then ends the recordings' writer, which writes
// every take whole unless the disk confirms nothing for 10 s. shown hears the
// wait's progress at least every 100 ms (null: SayWritingLeft alone); when it
// returns false the wait is cut short, every take named as its file holds.
// False when the writer is still held by the disk: nothing it uses may be
// freed, no file closed.
bool WaitAudioThread(std::thread*& handle, bool (*shown)(const RecordingEndProgress&) = nullptr);
// Says the wait's count (level 0) when its text changed, at most once a
// second after the first: the time left at the pace the disk confirms, or,
// while the disk confirms nothing, the sound that waits for it.
void SayWritingLeft(const RecordingEndProgress& progress);
// That text (empty when nothing is left), for a line that says more.
std::string WritingLeftText(const RecordingEndProgress& progress);

// The stream rate StartAudioThread derives from a configured rate.
uint32_t StreamRateFor(int32_t rate);
// Floats of a stream buffer of ms milliseconds (clamped to 1..32) at streamRate.
int32_t StreamLengthFor(uint32_t streamRate, int32_t ms);

// Sets StreamLength for ms milliseconds (above 32 counts as 32; 0 keeps the
// length, or makes it 1 ms when there is none) and replaces both buffers by
// zeroed ones of that length. -21 when they cannot be allocated: the old
// buffers and length stay.
int32_t SetStreamBuffers(float** buffer, int16_t** buffer16, uint32_t ms);
// Zeroes both buffers over StreamLength.
void ClearStreamBuffers(float** buffer, int16_t** buffer16);

}  // namespace QUARLE_AUDIO
