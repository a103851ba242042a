#include "audio/backend.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/threads.h"

namespace QUARLE_AUDIO {

ALCboolean AudioBackend::IsExtensionPresent(ALCdevice* device, const ALCchar* name) {
  return alcIsExtensionPresent(device, name);
}
const ALCchar* AudioBackend::GetString(ALCdevice* device, ALCenum param) {
  return alcGetString(device, param);
}
void AudioBackend::GetIntegerv(ALCdevice* device, ALCenum param, ALCsizei size, ALCint* values) {
  alcGetIntegerv(device, param, size, values);
}
ALCdevice* AudioBackend::OpenDevice(const ALCchar* name) { return alcOpenDevice(name); }
ALCboolean AudioBackend::CloseDevice(ALCdevice* device) { return alcCloseDevice(device); }

namespace {
// OpenAL Soft's wave writer (the sound card's stand-in of tests and
// benchmarks, chosen by its configuration) writes over its file from the start
// after a resume, so it is never paused. Every device of it is named like any
// other: its configuration tells.
bool WaveWriterConfigured() {
  static const bool wave = [] {
    if (const char* drivers = std::getenv("ALSOFT_DRIVERS"); drivers && std::strstr(drivers, "wave"))
      return true;
    const char* conf = std::getenv("ALSOFT_CONF");
    std::ifstream in(conf ? conf : "");
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find_first_not_of(" \t");
      if (at != std::string::npos && line.compare(at, 7, "drivers") == 0 &&
          line.find("wave", at) != std::string::npos)
        return true;
    }
    return false;
  }();
  return wave;
}

// The extension's procedure of that name for the device; null without it.
void* PauseProcedure(ALCdevice* device, const char* name) {
  if (!device || WaveWriterConfigured() || !alcIsExtensionPresent(device, "ALC_SOFT_pause_device"))
    return nullptr;
  return alcGetProcAddress(device, name);
}
}  // namespace

bool AudioBackend::PauseDevice(ALCdevice* device) {
  auto pause = reinterpret_cast<void (*)(ALCdevice*)>(PauseProcedure(device, "alcDevicePauseSOFT"));
  if (!pause) return false;
  pause(device);
  return true;
}

bool AudioBackend::ResumeDevice(ALCdevice* device) {
  auto resume = reinterpret_cast<void (*)(ALCdevice*)>(PauseProcedure(device, "alcDeviceResumeSOFT"));
  if (!resume) return false;
  resume(device);
  return true;
}
ALCcontext* AudioBackend::CreateContext(ALCdevice* device, const ALCint* attributes) {
  return alcCreateContext(device, attributes);
}
ALCboolean AudioBackend::MakeContextCurrent(ALCcontext* context) {
  return alcMakeContextCurrent(context);
}
void AudioBackend::DestroyContext(ALCcontext* context) { alcDestroyContext(context); }
ALCenum AudioBackend::GetAlcError(ALCdevice* device) { return alcGetError(device); }

ALCdevice* AudioBackend::CaptureOpenDevice(const ALCchar* name, ALCuint rate, ALCenum format,
                                           ALCsizei frames) {
  return alcCaptureOpenDevice(name, rate, format, frames);
}
ALCboolean AudioBackend::CaptureCloseDevice(ALCdevice* device) {
  return alcCaptureCloseDevice(device);
}
void AudioBackend::CaptureStart(ALCdevice* device) { alcCaptureStart(device); }
void AudioBackend::CaptureStop(ALCdevice* device) { alcCaptureStop(device); }
void AudioBackend::CaptureSamples(ALCdevice* device, ALCvoid* buffer, ALCsizei frames) {
  alcCaptureSamples(device, buffer, frames);
}

ALenum AudioBackend::GetError() { return alGetError(); }
ALenum AudioBackend::GetEnumValue(const ALchar* name) { return alGetEnumValue(name); }
void AudioBackend::GenBuffers(ALsizei n, ALuint* names) { alGenBuffers(n, names); }
void AudioBackend::DeleteBuffers(ALsizei n, const ALuint* names) { alDeleteBuffers(n, names); }
void AudioBackend::GenSources(ALsizei n, ALuint* names) { alGenSources(n, names); }
void AudioBackend::DeleteSources(ALsizei n, const ALuint* names) { alDeleteSources(n, names); }
void AudioBackend::Sourcef(ALuint source, ALenum param, ALfloat value) {
  alSourcef(source, param, value);
}
void AudioBackend::Sourcei(ALuint source, ALenum param, ALint value) {
  alSourcei(source, param, value);
}
void AudioBackend::GetSourcei(ALuint source, ALenum param, ALint* value) {
  alGetSourcei(source, param, value);
}
void AudioBackend::SourcePlay(ALuint source) { alSourcePlay(source); }
void AudioBackend::SourceStop(ALuint source) { alSourceStop(source); }
void AudioBackend::BufferData(ALuint buffer, ALenum format, const ALvoid* data, ALsizei size,
                              ALsizei rate) {
  alBufferData(buffer, format, data, size, rate);
}
void AudioBackend::SourceQueueBuffers(ALuint source, ALsizei n, const ALuint* names) {
  alSourceQueueBuffers(source, n, names);
}
void AudioBackend::SourceUnqueueBuffers(ALuint source, ALsizei n, ALuint* names) {
  alSourceUnqueueBuffers(source, n, names);
}

namespace {
AudioBackend g_realBackend;
std::atomic<AudioBackend*> g_backend{&g_realBackend};
std::atomic<AudioClockFn> g_clock{&platform::HighResClock};
}  // namespace

AudioBackend& Backend() { return *g_backend.load(std::memory_order_acquire); }

void SetAudioBackend(AudioBackend* backend) {
  g_backend.store(backend ? backend : &g_realBackend, std::memory_order_release);
}

double AudioNow() { return g_clock.load(std::memory_order_relaxed)(); }

bool AudioClockIsReal() { return g_clock.load(std::memory_order_relaxed) == &platform::HighResClock; }

void SetAudioClock(AudioClockFn clock) {
  g_clock.store(clock ? clock : &platform::HighResClock, std::memory_order_relaxed);
}

void FaultInjectingBackend::LoseDevice(const std::string& name) {
  {
    std::lock_guard<std::mutex> hold(nameLock_);
    lostName_ = name;
  }
  lost_.store(true);
}

void FaultInjectingBackend::RestoreDevice() { lost_.store(false); }

const ALCchar* FaultInjectingBackend::GetString(ALCdevice* device, ALCenum param) {
  const ALCchar* list = AudioBackend::GetString(device, param);
  bool isList = device == nullptr &&
                (param == ALC_ALL_DEVICES_SPECIFIER || param == ALC_DEVICE_SPECIFIER ||
                 param == ALC_CAPTURE_DEVICE_SPECIFIER);
  bool isDefault = device == nullptr && (param == ALC_DEFAULT_ALL_DEVICES_SPECIFIER ||
                                         param == ALC_DEFAULT_DEVICE_SPECIFIER ||
                                         param == ALC_CAPTURE_DEFAULT_DEVICE_SPECIFIER);
  if (!list || !lost_.load() || (!isList && !isDefault)) return list;
  std::string lost;
  {
    std::lock_guard<std::mutex> hold(nameLock_);
    lost = lostName_;
  }
  if (isDefault) return lost == list ? "" : list;
  // The lists are names separated by one zero byte and ended by two.
  filtered_.clear();
  for (const char* p = list; *p; p += std::strlen(p) + 1) {
    if (lost == p) continue;
    filtered_.append(p);
    filtered_.push_back('\0');
  }
  filtered_.push_back('\0');
  return filtered_.c_str();
}

void FaultInjectingBackend::GetIntegerv(ALCdevice* device, ALCenum param, ALCsizei size,
                                        ALCint* values) {
  if (param == ALC_CONNECTED && lost_.load() && values && size >= 1) {
    values[0] = ALC_FALSE;
    return;
  }
  AudioBackend::GetIntegerv(device, param, size, values);
}

void FaultInjectingBackend::GetSourcei(ALuint source, ALenum param, ALint* value) {
  if (param == AL_SOURCE_STATE && value) {
    if (lost_.load()) {
      // A disconnected device stops its sources, as the driver does.
      AudioBackend::SourceStop(source);
      *value = AL_STOPPED;
      return;
    }
    int32_t n = underruns_.load();
    while (n > 0) {
      if (underruns_.compare_exchange_weak(n, n - 1)) {
        *value = AL_STOPPED;
        return;
      }
    }
  }
  AudioBackend::GetSourcei(source, param, value);
}

}  // namespace QUARLE_AUDIO
