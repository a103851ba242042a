// The output recording: a 16-bit stereo WAV file kept open while the audio
// thread streams into it, created with a provisional header and finished by
// rewriting that header in place with the final sizes. The audio thread only
// copies its samples into a ring; the writer thread, tarvelo-rec, creates the
// file, writes and syncs it and ends it, so a slow disk never stalls the sound.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "basics/queues.h"
#include "platform/disk_pace.h"

namespace QUARLE_AUDIO {

// sb is built with SoundBufferInitFormat (2, 16, rate); its samples are unused,
// its dataSize counts 4 bytes per 16-bit value written (the data chunk's size
// is dataSize / 2). Returns the open file's number (positive), positioned at
// the first data byte, or a negative code (-23 no free file, or the negated
// open error). Its name is kept by the disk only once its folder is synced
// (the writer's sync thread does that beside its writes).
int32_t CreateRecordingWav(const std::string& fileName, SoundBuffer* sb);

// What the end's wait shows: a value.
// one thread: value
struct RecordingEndProgress {
  double secondsLeft;   // time left at the pace the disk writes now; < 0 while not known, 0: nothing left
  double soundLeft;     // seconds of sound written or held but not yet confirmed by the disk
  bool confirming;      // the disk wrote (or confirmed) bytes within the last few seconds
  bool diskCounted = false;  // that pace is the disk's own count of bytes written, not our confirmations
  // The disk writes, but none of the takes' bytes for a long while: other
  // files' (a copy's write-back) go first.
  bool othersFirst = false;
};

namespace rec {
struct State;
}

// How a writer learns the disk's pace. A value.
// one thread: value
struct RecordingWriterOptions {
  // The written-bytes count of the device under a take's file (the kernel's
  // by default); a reader that says -1 leaves the writer to the disk's
  // confirmations of its own bytes.
  platform::WrittenBytesReader writtenBytes = platform::KernelWrittenBytes;
  // The disk's pace is judged over this long: enough to see through another
  // file's write-back (a copy onto the same stick) ahead of the takes' bytes.
  double paceSeconds = 30.0;
  // Bytes written but not yet confirmed at most (0: a sixteenth of the
  // memory, at most 256 MiB), whatever the disk's pace.
  uint64_t memoryBytes = 0;
};

// One writer of output recordings: its ring, its two threads (tarvelo-rec and
// tarvelo-recsync), its takes and what its end says. The program keeps one
// (ProgramRecordingWriter, behind the free functions below); a test makes its
// own, so a writer one test leaves held by its disk holds no other test.
// The methods mirror the free functions of the same names, documented there.
class RecordingWriter {
 public:
  explicit RecordingWriter(RecordingWriterOptions options = {});
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;
  // A writer still running ends as a cut-short end; what one held by its disk
  // (or whose sync thread an end left in a sync) uses goes once its threads
  // let it go.
  ~RecordingWriter();

  bool Start(uint32_t rate, uint32_t ringValues);
  int32_t Stop(double idleSeconds, bool (*shown)(const RecordingEndProgress&));
  std::vector<std::string> EndUnconfirmed();
  std::vector<std::string> TakesBeingWritten();
  bool Settle(double seconds);
  // The audio thread's.
  int32_t HandOver(char* stem, uint32_t label);
  int32_t Append(int32_t take, const int16_t* values, int32_t count);
  void End();
  void LogLine(uint32_t message, const char* text, int64_t value, int32_t level);
  void LogError(uint32_t message, const char* text, int32_t error, int32_t level);

 private:
  // one thread: maker; shared with its threads, so it goes with the last of them
  std::shared_ptr<rec::State> s_;
};

// The program's writer (the audio thread's), made at the first call and kept
// to the process's end.
RecordingWriter& ProgramRecordingWriter();
// The program writer's options, before it is made (a test program's disk
// stand-in gives it its own pace source); false once it is.
bool SetProgramRecordingWriterOptions(RecordingWriterOptions options);

// The program's writer. Starts its thread and its sync thread (tarvelo-rec and
// tarvelo-recsync), and makes its ring at the first start (ringValues 16-bit
// values, rate the stream's); while they run, a call only says so. The writer
// never waits for a sync: the sync thread makes them beside its writes, and a
// header names only data a finished sync kept. It writes as far ahead of
// what the disk confirmed as the disk's own pace allows (rec::Bound): where
// the device counts what it writes, a take ends "too slow" only when the disk
// wrote more slowly than the sound comes over the pace window, then 20 s of
// sound and the ring's whole length; elsewhere when it confirmed the bytes
// that slowly over those 20 s and the ring. Call it where a thread may be made (the audio
// thread's start does). False when the threads could not be made, or when the writer an
// end left held by the disk still runs.
bool RecordingWriterStart(uint32_t rate, uint32_t ringValues);
// Ends the writer once the audio thread has ended (no take or log line is
// taken from here): it writes all it holds and ends every take (data synced,
// closing header, synced, closed; an end that fails is said with the file's
// name), and both threads are joined. A disk that confirms nothing for
// idleSeconds ends the wait: each take is closed with a header naming what
// its file holds, and each one short of its sound or not confirmed by the
// disk is said (level 2). Where the disk's count is known the wait lasts
// while the disk writes (whoever's bytes), and gives up only once it has
// written nothing for idleSeconds; the count is the time left at that pace.
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
// The file names of the takes whose files the writer has made and not yet
// closed whole (those an end still waits for), in the order they began.
std::vector<std::string> RecordingTakesBeingWritten();

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
