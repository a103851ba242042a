// The seam between the audio library and OpenAL Soft, and the clock the audio
// thread paces itself by. Production code uses the real driver and the
// high-resolution clock; tests swap in a fault injector for what a real driver
// cannot produce on demand (a lost device, an underrun at a chosen moment) and
// a clock they can move forward.
#pragma once
#include <AL/al.h>
#include <AL/alc.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace QUARLE_AUDIO {

#ifndef ALC_CONNECTED
#define ALC_CONNECTED 0x313  // ALC_EXT_disconnect
#endif

// One-to-one with the OpenAL calls the library makes; the defaults call them.
class AudioBackend {
 public:
  virtual ~AudioBackend() = default;

  // Devices and contexts.
  virtual ALCboolean IsExtensionPresent(ALCdevice* device, const ALCchar* name);
  virtual const ALCchar* GetString(ALCdevice* device, ALCenum param);
  virtual void GetIntegerv(ALCdevice* device, ALCenum param, ALCsizei size, ALCint* values);
  virtual ALCdevice* OpenDevice(const ALCchar* name);
  virtual ALCboolean CloseDevice(ALCdevice* device);
  virtual ALCcontext* CreateContext(ALCdevice* device, const ALCint* attributes);
  virtual ALCboolean MakeContextCurrent(ALCcontext* context);
  virtual void DestroyContext(ALCcontext* context);
  virtual ALCenum GetAlcError(ALCdevice* device);
  // ALC_SOFT_pause_device: a paused device's mixer rests until it is resumed.
  // False where the driver lacks the extension (nothing happens then).
  virtual bool PauseDevice(ALCdevice* device);
  virtual bool ResumeDevice(ALCdevice* device);

  // Capture.
  virtual ALCdevice* CaptureOpenDevice(const ALCchar* name, ALCuint rate, ALCenum format,
                                       ALCsizei frames);
  virtual ALCboolean CaptureCloseDevice(ALCdevice* device);
  virtual void CaptureStart(ALCdevice* device);
  virtual void CaptureStop(ALCdevice* device);
  virtual void CaptureSamples(ALCdevice* device, ALCvoid* buffer, ALCsizei frames);

  // Sources and buffers of the current context.
  virtual ALenum GetError();
  virtual ALenum GetEnumValue(const ALchar* name);
  virtual void GenBuffers(ALsizei n, ALuint* names);
  virtual void DeleteBuffers(ALsizei n, const ALuint* names);
  virtual void GenSources(ALsizei n, ALuint* names);
  virtual void DeleteSources(ALsizei n, const ALuint* names);
  virtual void Sourcef(ALuint source, ALenum param, ALfloat value);
  virtual void Sourcei(ALuint source, ALenum param, ALint value);
  virtual void GetSourcei(ALuint source, ALenum param, ALint* value);
  virtual void SourcePlay(ALuint source);
  virtual void SourceStop(ALuint source);
  virtual void BufferData(ALuint buffer, ALenum format, const ALvoid* data, ALsizei size,
                          ALsizei rate);
  virtual void SourceQueueBuffers(ALuint source, ALsizei n, const ALuint* names);
  virtual void SourceUnqueueBuffers(ALuint source, ALsizei n, ALuint* names);
};

// The backend in use; never null.
AudioBackend& Backend();
// Installs a backend (the caller keeps ownership); null restores the real driver.
// Only while no audio thread runs.
void SetAudioBackend(AudioBackend* backend);

// Seconds of a monotonic clock with sub-millisecond resolution.
using AudioClockFn = double (*)();
double AudioNow();
// null restores the high-resolution clock. Only while no audio thread runs.
void SetAudioClock(AudioClockFn clock);
// Whether AudioNow is the real clock (no test clock set).
bool AudioClockIsReal();

// A real OpenAL backend with faults on demand. Every call goes to the driver
// except where a fault is armed:
// - ForceUnderruns(n): the next n source-state queries of the playback pass
//   read AL_STOPPED, as when the source ran out of queued buffers;
// - LoseDevice(name): that device vanishes from both device lists, the open
//   playback device reads as disconnected and its source as AL_STOPPED, until
//   RestoreDevice().
// The knobs may be turned from any thread while the audio thread runs.
class FaultInjectingBackend : public AudioBackend {
 public:
  void ForceUnderruns(int32_t n) { underruns_.store(n); }
  int32_t PendingUnderruns() const { return underruns_.load(); }
  void LoseDevice(const std::string& name);
  void RestoreDevice();
  bool DeviceLost() const { return lost_.load(); }

  const ALCchar* GetString(ALCdevice* device, ALCenum param) override;
  void GetIntegerv(ALCdevice* device, ALCenum param, ALCsizei size, ALCint* values) override;
  void GetSourcei(ALuint source, ALenum param, ALint* value) override;

 private:
  std::atomic<int32_t> underruns_{0};
  std::atomic<bool> lost_{false};
  std::mutex nameLock_;
  // one thread: holder of nameLock_
  std::string lostName_;  // under nameLock_
  std::string filtered_;  // the last list handed out without the lost name
};

}  // namespace QUARLE_AUDIO
