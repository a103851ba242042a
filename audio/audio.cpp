#include "audio/audio.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/meters.h"
#include "basics/errors.h"
#include "basics/messages.h"

namespace QUARLE_AUDIO {

using QUARLE_BASICS::ErrorText;
using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;
using platform::MutexGuard;

int64_t AudioInitialised = 0;
std::atomic<uint32_t> StreamRate{kBaseStreamRate};
int32_t SamplesPerMs = 48;
int32_t CaptureFrames = 480;
float CapturePollPeriod = 0.0f;
int32_t StreamLength = 0;
RenderCallbackFn RenderCallback = nullptr;
CaptureCallbackFn CaptureCallback = nullptr;
Mutex* MT_AUDIO = nullptr;
CommandMessage* AudioFetchBuffer = nullptr;
ArrayHeader AudioFetchHeader;
// The English words until init reads them from the message table.
char ChannelLayoutNames[kChannelLayoutCount][kChannelLayoutTextSize + 1] = {
    "N/A",          "Mono",       "Stereo",    "Stereo 2.1", "Quadraphonic", "Surround 5",
    "Surround 5.1", "Surround 6", "Surround 7", "Surround 7.1", "Surround 9", "Surround 9.1"};
DynZString PlaybackDeviceList[kDeviceListSize];
DynZString CaptureDeviceList[kDeviceListSize];
int32_t PlaybackDeviceCount = 0;
int32_t CaptureDeviceCount = 0;
int32_t PlaybackSelected = 0;
int32_t CaptureSelected = 0;
DynZString PlaybackSelectedName;
DynZString CaptureSelectedName;
int64_t AutoConnect = 0;
int64_t UseDefaultDevice = 0;
int64_t EnumerateAllDevices = 0;
int64_t FloatFormatAvailable = 0;
int64_t PlaybackOpen = 0;
int64_t CaptureOpen = 0;
int64_t DeviceListChanged = 0;
float OutputGain = 0.5f;
std::atomic<float> AudioLoad{0.0f};
std::atomic<int32_t> AudioPassesPerSecond{0};
platform::LoopMeter AudioLoopMeter;

namespace {

constexpr int32_t kMainQueue = 0;
// The highest stream rate is 8 x 48000 Hz; larger blocks would only overflow.
constexpr int32_t kMaxSamplesPerMs = 384;

void SetLayoutName(int32_t index, const std::string& text) {
  std::strncpy(ChannelLayoutNames[index], text.c_str(), kChannelLayoutTextSize);
  ChannelLayoutNames[index][kChannelLayoutTextSize] = '\0';
}

void FillChannelLayoutNames() {
  std::string stereo = LangText(70, "Stereo");
  std::string surround = LangText(72, "Surround");
  SetLayoutName(0, LangText(68, "N/A"));
  SetLayoutName(1, LangText(69, "Mono"));
  SetLayoutName(2, stereo);
  SetLayoutName(3, stereo + " 2.1");
  SetLayoutName(4, LangText(71, "Quadraphonic"));
  SetLayoutName(5, surround + " 5");
  SetLayoutName(6, surround + " 5.1");
  SetLayoutName(7, surround + " 6");
  SetLayoutName(8, surround + " 7");
  SetLayoutName(9, surround + " 7.1");
  SetLayoutName(10, surround + " 9");
  SetLayoutName(11, surround + " 9.1");
}

// The device lists of OpenAL: names separated by one zero byte, ended by two.
// Stores them from entry 1 on and returns the new count (entry 0 included).
int32_t StoreDeviceNames(DynZString* list, const char* names) {
  int32_t count = 1;
  for (const char* p = names; p && *p && count < kDeviceListSize; p += std::strlen(p) + 1) {
    QUARLE_BASICS::DynZStringAssign(list[count], p);
    ++count;
  }
  return count;
}

int32_t FindName(const DynZString* list, int32_t count, const std::string& name) {
  for (int32_t i = 0; i < count; ++i) {
    if (QUARLE_BASICS::DynZStringGet(list[i]) == name) return i;
  }
  return -1;
}

// one thread: value
struct DeviceSide {
  DynZString* list;
  int32_t* count;
  int32_t* selected;
  DynZString* selectedName;
  int64_t* open;
};

DeviceSide PlaybackSide() {
  return {PlaybackDeviceList, &PlaybackDeviceCount, &PlaybackSelected, &PlaybackSelectedName,
          &PlaybackOpen};
}
DeviceSide CaptureSide() {
  return {CaptureDeviceList, &CaptureDeviceCount, &CaptureSelected, &CaptureSelectedName,
          &CaptureOpen};
}

// Steps shared by both refreshes once the list text is known; under MT_AUDIO.
void RefreshListLocked(const DeviceSide& side, const char* names) {
  int32_t count = StoreDeviceNames(side.list, names);
  if (count != *side.count) DeviceListChanged = -1;
  *side.count = count;
  int32_t found = FindName(side.list, count, QUARLE_BASICS::DynZStringGet(*side.selectedName));
  if (found >= 0) {
    if (found != *side.selected) DeviceListChanged = -1;
    *side.selected = found;
  } else {
    *side.selected = 0;
    QUARLE_BASICS::DynZStringAssignFrom(*side.selectedName, side.list[0]);
    *side.open = 0;
    DeviceListChanged = -1;
  }
}

// Makes the selection a valid index (a command may carry any number) and takes
// its name; under MT_AUDIO.
void CheckSelectionLocked(const DeviceSide& side) {
  if (*side.selected >= *side.count || *side.selected < 0) {
    *side.selected = 0;
    DeviceListChanged = -1;
  }
  QUARLE_BASICS::DynZStringAssignFrom(*side.selectedName, side.list[*side.selected]);
}

void ForgetSelectionLocked(const DeviceSide& side) {
  *side.selected = 0;
  QUARLE_BASICS::DynZStringAssignFrom(*side.selectedName, side.list[0]);
  DeviceListChanged = -1;
}

void SelectDefault(const DeviceSide& side, ALCenum defaultParam, uint32_t command) {
  int32_t chosen;
  {
    // The settings page sets AutoConnect under the lock meanwhile.
    MutexGuard hold(MT_AUDIO);
    if (*side.selected != 0 || AutoConnect == 0) return;
    if (UseDefaultDevice != 0) {
      const char* def = Backend().GetString(nullptr, defaultParam);
      if (def && *def) {
        for (int32_t i = 1; i < *side.count; ++i) {
          if (QUARLE_BASICS::DynZStringGet(side.list[i]) == def) {
            *side.selected = i;
            break;
          }
        }
      }
    } else if (*side.count >= 2) {
      *side.selected = 1;
    }
    QUARLE_BASICS::DynZStringAssignFrom(*side.selectedName, side.list[*side.selected]);
    chosen = *side.selected;
  }
  if (chosen > 0) {
    CommandMessage msg{};
    msg.type = command;
    msg.single1 = static_cast<float>(chosen);
    msg.timeStamp = AudioNow();
    QUARLE_BASICS::PostCommand(msg, AudioCommandQueue, -1);
    MutexGuard hold(MT_AUDIO);
    DeviceListChanged = -1;
  }
}

}  // namespace

std::atomic<bool> PlaybackHandOver{false};
std::atomic<bool> ForceOverload{false};
namespace {
std::atomic<uint32_t> g_playbackReportsPosted{0};
std::atomic<uint32_t> g_playbackReportsTaken{0};
}  // namespace

void PlaybackReportTaken(uint32_t number) { g_playbackReportsTaken.store(number); }
uint32_t LastPlaybackReport() { return g_playbackReportsPosted.load(); }

bool RenderHandedOver() {
  return !PlaybackHandOver.load() || g_playbackReportsTaken.load() == g_playbackReportsPosted.load();
}

void PostAudioReport(uint32_t type, double timeStamp) {
  CommandMessage msg{};
  // Numbered before it can be taken.
  if (type == kAudioPlaybackOn || type == kAudioPlaybackOff) msg.arg2 = g_playbackReportsPosted.fetch_add(1) + 1;
  msg.type = type;
  msg.timeStamp = timeStamp;
  QUARLE_BASICS::PostCommand(msg, kMainQueue, -1);
}

int32_t init(RenderCallbackFn render, CaptureCallbackFn capture, int32_t samplesPerMs) {
  if (AudioInitialised != 0) return -1;
  StreamRate = kBaseStreamRate;
  if (samplesPerMs < 48) samplesPerMs = 48;
  if (samplesPerMs > kMaxSamplesPerMs) samplesPerMs = kMaxSamplesPerMs;
  SamplesPerMs = samplesPerMs;
  CaptureFrames = 10 * samplesPerMs;
  CaptureCallback = capture ? capture : &DefaultCaptureCallback;
  RenderCallback = render ? render : &DefaultRenderCallback;

  MT_AUDIO = platform::MutexCreate();
  if (!MT_AUDIO) return -QUARLE_BASICS::kErrMutexCreate;

  std::free(AudioFetchBuffer);
  AudioFetchBuffer = static_cast<CommandMessage*>(
      std::calloc(QUARLE_BASICS::kArrayInitialCapacity, sizeof(CommandMessage)));
  QUARLE_BASICS::ArrayHeaderInit(AudioFetchHeader);
  AudioFetchHeader.count = 0;
  AudioFetchHeader.capacity = AudioFetchBuffer ? QUARLE_BASICS::kArrayInitialCapacity : 0;

  if (AudioCommandQueue == -1) QUARLE_BASICS::CreateCommandQueue(AudioCommandQueue);

  FillChannelLayoutNames();
  EnumerateAllDevices = Backend().IsExtensionPresent(nullptr, "ALC_ENUMERATE_ALL_EXT") ? -1 : 0;
  std::string none = LangText(73, "[No Device]");
  QUARLE_BASICS::DynZStringAssign(PlaybackDeviceList[0], none);
  QUARLE_BASICS::DynZStringAssign(CaptureDeviceList[0], none);
  RefreshPlaybackDevices(nullptr);
  RefreshCaptureDevices(nullptr);
  AudioInitialised = -1;
  return 0;
}

void CloseAudio() {
  if (MT_AUDIO) {
    platform::MutexDestroy(MT_AUDIO);
    MT_AUDIO = nullptr;
  }
  if (AudioFetchBuffer) {
    std::free(AudioFetchBuffer);
    AudioFetchBuffer = nullptr;
    QUARLE_BASICS::ArrayHeaderFree(AudioFetchHeader);
    AudioFetchHeader.count = 0;
    AudioFetchHeader.capacity = 0;
  }
  // Without its lock and fetch buffer the library is no longer usable: a later
  // init must build them again instead of reporting "already initialised".
  AudioInitialised = 0;
}

int64_t RefreshPlaybackDevices(ALCdevice* device) {
  int64_t wasOpen = PlaybackOpen;
  if (device && PlaybackOpen != 0) {
    ALCint connected = ALC_TRUE;  // a driver without the query keeps the device
    Backend().GetIntegerv(device, ALC_CONNECTED, 1, &connected);
    MutexGuard hold(MT_AUDIO);
    PlaybackOpen = connected != 0 ? -1 : 0;
  }
  const char* names = Backend().GetString(
      nullptr, EnumerateAllDevices != 0 ? ALC_ALL_DEVICES_SPECIFIER : ALC_DEVICE_SPECIFIER);
  int64_t nowOpen;
  {
    MutexGuard hold(MT_AUDIO);
    RefreshListLocked(PlaybackSide(), names);
    nowOpen = PlaybackOpen;
  }
  if (nowOpen != wasOpen) {
    Report(LangText(85, "Current playback device is disconnected."), 1);
    return -1;
  }
  return 0;
}

int64_t RefreshCaptureDevices(ALCdevice* device) {
  (void)device;  // capture devices have no connection query
  int64_t wasOpen = CaptureOpen;
  const char* names = Backend().GetString(nullptr, ALC_CAPTURE_DEVICE_SPECIFIER);
  int64_t nowOpen;
  {
    MutexGuard hold(MT_AUDIO);
    RefreshListLocked(CaptureSide(), names);
    nowOpen = CaptureOpen;
  }
  if (nowOpen != wasOpen) {
    Report(LangText(86, "Current capture device is disconnected."), 1);
    return -1;
  }
  return 0;
}

int32_t SelectDefaultPlaybackDevice() {
  SelectDefault(PlaybackSide(), ALC_DEFAULT_ALL_DEVICES_SPECIFIER, kAudioPlaybackDevice);
  return 0;
}

int32_t SelectDefaultCaptureDevice() {
  SelectDefault(CaptureSide(), ALC_CAPTURE_DEFAULT_DEVICE_SPECIFIER, kAudioCaptureDevice);
  return 0;
}

void OpenPlaybackDevice(ALCdevice** device, ALCcontext** context, ALuint* source,
                        ALuint* buffers, int64_t* freeFlags, int64_t* playing) {
  ClosePlaybackDevice(device, context, source, buffers, freeFlags, playing);
  AudioBackend& al = Backend();
  std::string message;
  int32_t level = 0;
  {
    MutexGuard hold(MT_AUDIO);
    CheckSelectionLocked(PlaybackSide());
    if (PlaybackSelected < 1) {
      message = LangText(89, "Playback device is closed.");
    } else {
      std::string name = QUARLE_BASICS::DynZStringGet(PlaybackSelectedName);
      *device = al.OpenDevice(name.c_str());
      if (*device) {
        *context = al.CreateContext(*device, nullptr);
        if (!*context) {
          // A device without a context cannot play: count it as not opened.
          al.CloseDevice(*device);
          *device = nullptr;
        }
      }
      if (*device) {
        al.MakeContextCurrent(*context);
        al.GenBuffers(3, buffers);
        al.GenSources(1, source);
        PlaybackOpen = -1;
        message = name + LangText(87, " is now opened for audio streaming.");
      } else {
        message = LangText(88, "The playback device could not be opened.");
        level = 1;
        ForgetSelectionLocked(PlaybackSide());
      }
    }
  }
  if (!message.empty()) Report(message, level);
  if (*source != 0) {
    al.GetError();
    al.Sourcef(*source, AL_GAIN, OutputGain);
  }
}

void ClosePlaybackDevice(ALCdevice** device, ALCcontext** context, ALuint* source,
                         ALuint* buffers, int64_t* freeFlags, int64_t* playing) {
  AudioBackend& al = Backend();
  if (*playing != 0) StopPlayback(*source, playing);
  if (*source != 0) al.Sourcei(*source, AL_BUFFER, 0);
  for (int i = 0; i < 3; ++i) freeFlags[i] = -1;
  AudioLoad.store(0.0f);
  if (*source != 0) {
    al.DeleteSources(1, source);
    *source = 0;
  }
  if (buffers[0] != 0 || buffers[1] != 0 || buffers[2] != 0) {
    al.DeleteBuffers(3, buffers);
    buffers[0] = buffers[1] = buffers[2] = 0;
  }
  if (*context) {
    al.MakeContextCurrent(nullptr);
    al.DestroyContext(*context);
    *context = nullptr;
  }
  if (*device) {
    al.CloseDevice(*device);
    *device = nullptr;
  }
  MutexGuard hold(MT_AUDIO);
  PlaybackOpen = 0;
}

void OpenCaptureDevice(ALCdevice** captureDevice, int64_t* capturing) {
  CloseCaptureDevice(captureDevice, capturing);
  AudioBackend& al = Backend();
  std::string message;
  int32_t level = 0;
  {
    MutexGuard hold(MT_AUDIO);
    CheckSelectionLocked(CaptureSide());
    if (CaptureSelected < 1) {
      message = LangText(93, "Capture device is closed.");
    } else if (!al.IsExtensionPresent(*captureDevice, "ALC_EXT_CAPTURE")) {
      message = LangText(92, "Capture is not supported.");
    } else {
      std::string name = QUARLE_BASICS::DynZStringGet(CaptureSelectedName);
      if (FloatFormatAvailable != 0) {
        *captureDevice = al.CaptureOpenDevice(name.c_str(), StreamRate, kFormatStereoFloat32,
                                              CaptureFrames);
      }
      if (*captureDevice) {
        CaptureOpen = -1;
        message = name + LangText(90, " is now opened for audio capture.");
      } else {
        message = LangText(91, "No device could be opened for capture.");
        level = 1;
        ForgetSelectionLocked(CaptureSide());
      }
    }
  }
  if (!message.empty()) Report(message, level);
}

void CloseCaptureDevice(ALCdevice** captureDevice, int64_t* capturing) {
  if (*capturing != 0) StopCapture(captureDevice, capturing);
  if (*captureDevice) {
    // A capture device is released by its own call; the playback one would
    // refuse it and leave the device open.
    Backend().CaptureCloseDevice(*captureDevice);
    *captureDevice = nullptr;
  }
  MutexGuard hold(MT_AUDIO);
  CaptureOpen = 0;
}

double StartPlayback(ALuint source, int64_t* playing, bool report) {
  AudioBackend& al = Backend();
  ALint state = 0;
  al.GetSourcei(source, AL_SOURCE_STATE, &state);
  if (state == AL_PLAYING) return 0.0;
  double t = AudioNow();
  al.GetError();  // an older error must not fail this start
  al.SourcePlay(source);
  ALenum e = al.GetError();
  if (e != AL_NO_ERROR) {
    Report(LangText(94, "Unable to start playback: ") + ErrorText(e), 2);
    return 0.0;
  }
  *playing = -1;
  if (report) PostAudioReport(kAudioPlaybackOn, t);
  return t;
}

void StopPlayback(ALuint source, int64_t* playing, bool report) {
  AudioBackend& al = Backend();
  ALint state = 0;
  al.GetSourcei(source, AL_SOURCE_STATE, &state);
  if (state != AL_STOPPED) {
    al.GetError();
    al.SourceStop(source);
    ALenum e = al.GetError();
    if (e != AL_NO_ERROR) Report(LangText(95, "Error while stopping playback: ") + ErrorText(e), 2);
  }
  *playing = 0;
  if (report) PostAudioReport(kAudioPlaybackOff, AudioNow());
}

double StartCapture(ALCdevice** captureDevice, int64_t* capturing) {
  AudioBackend& al = Backend();
  al.GetAlcError(*captureDevice);
  al.CaptureStart(*captureDevice);
  ALCenum e = al.GetAlcError(*captureDevice);
  if (e != ALC_NO_ERROR) {
    Report(LangText(96, "Unable to start capture: ") + ErrorText(e), 2);
    return 0.0;
  }
  *capturing = -1;
  double t = AudioNow();
  PostAudioReport(kAudioCaptureOn, t);
  return t;
}

void StopCapture(ALCdevice** captureDevice, int64_t* capturing) {
  if (*captureDevice) {
    AudioBackend& al = Backend();
    al.GetAlcError(*captureDevice);
    al.CaptureStop(*captureDevice);
    ALCenum e = al.GetAlcError(*captureDevice);
    if (e != ALC_NO_ERROR) Report(LangText(97, "Error while stopping capture: ") + ErrorText(e), 2);
  }
  *capturing = 0;
  PostAudioReport(kAudioCaptureOff, AudioNow());
}

int32_t UnqueueProcessedBuffer(ALuint source, ALuint* buffers, int64_t* freeFlags) {
  AudioBackend& al = Backend();
  ALint n = 0;
  al.GetSourcei(source, AL_BUFFERS_PROCESSED, &n);
  al.GetError();
  if (n > 3) n = 3;  // only three buffers are ever queued
  for (ALint k = 0; k < n; ++k) {
    ALuint name = 0;
    al.SourceUnqueueBuffers(source, 1, &name);
    if (al.GetError() != AL_NO_ERROR) continue;
    for (int i = 0; i < 3; ++i) {
      if (buffers[i] == name) {
        freeFlags[i] = -1;
        break;
      }
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (freeFlags[i] == -1) return i;
  }
  return -1;
}

}  // namespace QUARLE_AUDIO
