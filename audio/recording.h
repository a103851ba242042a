// The output recording: a 16-bit stereo WAV file kept open while the audio
// thread streams into it, created with a provisional header and finished by
// rewriting that header in place with the final sizes. The audio thread only
// copies its samples into a ring; the writer thread, tarvelo-rec, creates the
// file, writes and syncs it and ends it, so a slow disk never stalls the sound.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "basics/queues.h"

namespace QUARLE_AUDIO {

// sb is built with SoundBufferInitFormat (2, 16, rate); its samples are unused,
// its dataSize counts 4 bytes per 16-bit value written (the data chunk's size
// is dataSize / 2). Returns the open file's number (positive), positioned at
// the first data byte, or a negative code (-23 no free file, or the negated
// open error). Its name is kept by the disk only once its folder is synced
// (the writer's sync thread does that beside its writes).
int32_t CreateRecordingWav(const std::string& fileName, SoundBuffer* sb);

// The writer. Starts its thread and its sync thread (tarvelo-rec and
// tarvelo-recsync), and makes its ring at the first start (ringValues 16-bit
// values, rate the stream's); while they run, a call only says so. The writer
// never waits for a sync: the sync thread makes them beside its writes, and a
// header names only data a finished sync kept. It writes at most 20 s of
// sound ahead of what the disk confirmed, so a take ends "too slow" only when
// the disk confirms the bytes more slowly than the sound comes over that and
// the ring's whole length. Call it where a thread may be made (the audio
// thread's start does). False when the threads could not be made, or when the writer an
// end left held by the disk still runs.
bool RecordingWriterStart(uint32_t rate, uint32_t ringValues);
// What the end's wait shows: a value.
// one thread: value
struct RecordingEndProgress {
  double secondsLeft;   // time left at the pace the disk is confirming now; < 0 while not known
  double soundLeft;     // seconds of sound written or held but not yet confirmed by the disk
  bool confirming;      // the disk confirmed bytes within the last few seconds
};
// Ends the writer once the audio thread has ended (no take or log line is
// taken from here): it writes all it holds and ends every take (data synced,
// closing header, synced, closed; an end that fails is said with the file's
// name), and both threads are joined. A disk that confirms nothing for
// idleSeconds ends the wait: each take is closed with a header naming what
// its file holds, and each one short of its sound or not confirmed by the
// disk is said (level 2).
// shown is called on the waiting thread at least every 100 ms while the wait lasts (and once
// at its start); when it returns false the wait is cut short at once (a second quit signal):
// every take is closed with a header naming what its file holds, even when the writer is held
// in a write (the waiting thread then writes the headers on descriptors of its own), and the
// ones short or unconfirmed are said as in a give-up.
// 0: everything reached the disk; 1: the wait ended so (a give-up or a cut
// short); -1: the writer is held in a write the disk never finished: it was
// not joined, so nothing it uses may be freed and no file closed (a later
// call waits for it again).
int32_t RecordingWriterStop(double idleSeconds, bool (*shown)(const RecordingEndProgress&));
// The file names (as shown to the user) of the takes the last RecordingWriterStop could not
// confirm whole (a give-up or a cut-short); empty after a whole end.
std::vector<std::string> RecordingEndUnconfirmed();

// The rest of this block is the audio thread's (one producer): none waits,
// allocates or touches the disk.
// Hands a new recording over, stem being a heap text (or null: "REC_" and a
// time stamp), which changes owner; label is the interface's number of the
// take, which the writer's stop report carries (arg2). The writer names it,
// creates it in the data folder's AUDIO folder and says "Now recording ..."
// or why not. Returns the take's number (above 0), or -kErrWriterBusy when
// the writer still holds too many recordings and ends, -kErrThreadCreate
// when it does not run: the stem is freed and a log line says the recording
// was not handed over.
int32_t RecordingHandOver(char* stem, uint32_t label);
// Copies count values of the take into the ring. 0; 1 when the writer ended
// the take (a failed create or write: it has reported it); -kErrDiskTooSlow
// when the ring is full: nothing is copied and the caller ends the take.
int32_t RecordingAppend(int32_t take, const int16_t* values, int32_t count);
// Ends the take after the values appended so far.
void RecordingEnd();
// A log line of the audio thread (its only caller) for the writer to write,
// as the log file is a disk too: LangText(message, text) with {$} = value.
// Lines beyond the ring's room are dropped; while no writer runs each goes to
// queue 0 (kAudioLogLine) for the interface to say (ReportAudioLogLine).
void RecordingLogLine(uint32_t message, const char* text, int64_t value, int32_t level);
// The same with ErrorText(error) after the text (a null text: the error's alone).
void RecordingLogError(uint32_t message, const char* text, int32_t error, int32_t level);

// Says a log line the audio thread posted on queue 0 (kAudioLogLine) because
// no writer ran; for the interface's handler.
void ReportAudioLogLine(const QUARLE_BASICS::CommandMessage& msg);

// The stop report of a take (205, kAudioRecordStop, on queue 0): it names the
// take by the interface's number (arg2), says whether it ever began (arg3
// kRecordNotStarted when not) and carries the error that ended it (arg4).
void RecordingStopReport(int32_t error, uint32_t label, bool begun);

// Waits up to seconds until the writer has written, synced and closed every
// recording handed over (and written every log line): true when so.
bool RecordingWriterSettle(double seconds);

}  // namespace QUARLE_AUDIO
