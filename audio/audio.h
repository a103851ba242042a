// The audio library's set-up and shutdown, its shared state, and the device
// layer: device lists, the automatic choice, opening and closing the playback
// and capture devices, starting and stopping them, reclaiming played buffers.
// After start-up only the audio thread (audio/thread.h) calls the device layer.
#pragma once
#include <atomic>
#include <cstdint>

#include "audio/backend.h"
#include "basics/dynzstring.h"
#include "basics/queues.h"
#include "platform/loop_meter.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using QUARLE_BASICS::ArrayHeader;
using QUARLE_BASICS::CommandMessage;
using QUARLE_BASICS::DynZString;
using platform::Mutex;
// The audio thread's queue number lives with the other queue numbers.
using QUARLE_BASICS::AudioCommandQueue;

// Fills floats start .. start + count - 1 of *buffer, left at even and right at
// odd indexes; start and count are even, start + count <= StreamLength. Runs on
// the audio thread; *buffer is replaced whenever the buffer length changes.
using RenderCallbackFn = void (*)(float** buffer, int32_t start, int32_t count);
// Takes count = 2 x SamplesPerMs interleaved stereo floats of *buffer; reads
// and clears the resync flag word (-1 after every start of playback or capture).
using CaptureCallbackFn = void (*)(float** buffer, int32_t count, int64_t* resync);

constexpr int32_t kDeviceListSize = 64;
constexpr int32_t kChannelLayoutCount = 12;
constexpr int32_t kChannelLayoutTextSize = 16;  // characters, without the terminator
constexpr uint32_t kBaseStreamRate = 48000;
constexpr ALenum kFormatStereoFloat32 = 0x10011;  // AL_FORMAT_STEREO_FLOAT32

// Codes of the audio thread's commands and of the reports it posts on queue 0.
enum AudioCode : uint32_t {
  kAudioQuit = 2,               // command: leave the loop; report: ended on an error
  kAudioPlaybackOn = 200,       // command; report: playback started
  kAudioPlaybackOff = 201,      // command; report: playback stopped
  kAudioCaptureOn = 202,        // command; report: capture started
  kAudioCaptureOff = 203,       // command; report: capture stopped
  kAudioRecordStart = 204,      // command: word2 = malloc'ed file stem or 0, arg2 = the take's number
  kAudioRecordStop = 205,       // command; report: take arg2 failed (arg4 = error, arg3 kRecordNotStarted)
  kAudioBufferLength = 206,     // command: single1 = ms; report: settled (single1 = floats)
  kAudioCaptureBlock = 207,     // report of the default capture callback
  kAudioStreamBuffer = 208,     // report: word2 = malloc'ed copy of StreamLength floats
  kAudioMeters = 209,           // report of the output meters
  kAudioPlaybackDevice = 210,   // command: single1 = playback list index
  kAudioCaptureDevice = 211,    // command: single1 = capture list index
  kAudioOutputGain = 212,       // command: single1 = gain
  kAudioOverload = 213,         // report: the render load reached 1.0
  kAudioLogLine = 214,          // report: a log line of the audio thread while no writer runs
};

// A stop report's arg3: the take never began (its start was refused or its
// file could not be made), so no recording was started; 0: a take that ran.
constexpr uint32_t kRecordNotStarted = 1;

// Hz: 48000 x k; set by the audio thread, read by the load read-out.
extern std::atomic<uint32_t> StreamRate;

// Flags are 64-bit words: -1 true, 0 false. Set by init and StartAudioThread
// (and CloseAudio), on the interface before the audio thread starts or after
// it stopped; the audio thread reads them.
// one thread: start-up, read-only between
extern int64_t AudioInitialised;
extern int32_t SamplesPerMs;       // frames per capture block, at least 48
extern int32_t CaptureFrames;      // capture ring of the device, 10 x SamplesPerMs
extern float CapturePollPeriod;    // s
extern RenderCallbackFn RenderCallback;
extern CaptureCallbackFn CaptureCallback;
extern char ChannelLayoutNames[kChannelLayoutCount][kChannelLayoutTextSize + 1];
extern int64_t EnumerateAllDevices;

// one thread: audio, set by StartAudioThread before the thread starts
extern int32_t StreamLength;       // floats of one stream buffer (stereo interleaved)
// The audio thread's command fetch, made by init before it starts.
extern CommandMessage* AudioFetchBuffer;  // one thread: audio
extern ArrayHeader AudioFetchHeader;  // one thread: audio
extern int64_t FloatFormatAvailable;  // one thread: audio
extern float OutputGain;            // taken from the gain command; one thread: audio

// Guards the device lists, counts, selections, selected names, the open flags,
// DeviceListChanged, AutoConnect, UseDefaultDevice and the level meters.
// one thread: start-up, made by init, destroyed by CloseAudio
extern Mutex* MT_AUDIO;

// The audio thread writes these under MT_AUDIO (the start-up before it
// starts) and reads its own writes without; the interface reads them, and
// writes AutoConnect and UseDefaultDevice, under it.
// one thread: holder of MT_AUDIO
// Entry 0 is "[No Device]"; entries 1 .. count - 1 are device names.
extern DynZString PlaybackDeviceList[kDeviceListSize];
extern DynZString CaptureDeviceList[kDeviceListSize];
extern int32_t PlaybackDeviceCount;
extern int32_t CaptureDeviceCount;
extern int32_t PlaybackSelected;   // 0: none
extern int32_t CaptureSelected;
// Main fills these from the settings before init.
extern DynZString PlaybackSelectedName;  // one thread: holder of MT_AUDIO
extern DynZString CaptureSelectedName;  // one thread: holder of MT_AUDIO
extern int64_t AutoConnect;  // one thread: holder of MT_AUDIO
extern int64_t UseDefaultDevice;  // one thread: holder of MT_AUDIO
extern int64_t PlaybackOpen;  // one thread: holder of MT_AUDIO
extern int64_t CaptureOpen;  // one thread: holder of MT_AUDIO
// Set when a list, count or selection changed; the interface clears it under MT_AUDIO.
extern int64_t DeviceListChanged;  // one thread: holder of MT_AUDIO
// Read by the interface without a lock.
extern std::atomic<float> AudioLoad;            // render time per second of audio
extern std::atomic<int32_t> AudioPassesPerSecond;
// The audio loop's passes and rests; a wait for work in the loop is wrapped in
// a platform::LoopRest on it. Audio thread only, but for its test hook.
// one thread: audio
extern platform::LoopMeter AudioLoopMeter;

// 0; -1 when already initialised; -26 when the lock cannot be made. Null
// callbacks install the silent defaults; samplesPerMs below 48 counts as 48.
int32_t init(RenderCallbackFn render, CaptureCallbackFn capture, int32_t samplesPerMs);
// After the audio thread has ended: frees the lock and the fetch buffer; the
// library may then be initialised again.
void CloseAudio();

// Re-read a device list and find the selected name again. -1 when the open
// flag changed (the device was lost; message 85 or 86), else 0.
// A null device skips the connection check (playback only; capture devices
// have none).
int64_t RefreshPlaybackDevices(ALCdevice* device);
int64_t RefreshCaptureDevices(ALCdevice* device);
// With nothing selected and AutoConnect set, choose a device and post command
// 210 (211) to the audio thread. Return 0.
int32_t SelectDefaultPlaybackDevice();
int32_t SelectDefaultCaptureDevice();

void OpenPlaybackDevice(ALCdevice** device, ALCcontext** context, ALuint* source,
                        ALuint* buffers, int64_t* freeFlags, int64_t* playing);
void ClosePlaybackDevice(ALCdevice** device, ALCcontext** context, ALuint* source,
                         ALuint* buffers, int64_t* freeFlags, int64_t* playing);
void OpenCaptureDevice(ALCdevice** captureDevice, int64_t* capturing);
void CloseCaptureDevice(ALCdevice** captureDevice, int64_t* capturing);

// Return the time mark of the start, 0.0 when nothing started. Without
// report, no report 200 (201) is posted: a restart after an underrun is no
// change of hands.
double StartPlayback(ALuint source, int64_t* playing, bool report = true);
void StopPlayback(ALuint source, int64_t* playing, bool report = true);
double StartCapture(ALCdevice** captureDevice, int64_t* capturing);
void StopCapture(ALCdevice** captureDevice, int64_t* capturing);

// Unqueues every processed buffer; returns the lowest free index 0..2, or -1.
int32_t UnqueueProcessedBuffer(ALuint source, ALuint* buffers, int64_t* freeFlags);

// Posts a report with only the type and the time stamp set to queue 0.
void PostAudioReport(uint32_t type, double timeStamp);

// The module graph changes hands at reports 200 and 201: the interface owns it
// from a stop report on, and hands it over again when it takes a start report.
// Those reports are numbered (second u32 argument, from 1). A program whose
// interface calls PlaybackReportTaken with the number of every report 200 and
// 201 it took sets PlaybackHandOver; the audio thread then calls the render
// callback only once the last such report it posted has been taken (the last
// being a start), and streams silence meanwhile. A stop is reported only after
// the last render call.
extern std::atomic<bool> PlaybackHandOver;
void PlaybackReportTaken(uint32_t number);
// The number of the last report 200 or 201 posted.
uint32_t LastPlaybackReport();
// True while the render callback may be called.
bool RenderHandedOver();
// Test seam: the next playback pass counts as overloaded.
extern std::atomic<bool> ForceOverload;

}  // namespace QUARLE_AUDIO
