#include "audio/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "audio/audio.h"
#include "audio/recording.h"
#include "audio/wav.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/timetext.h"
#include "platform/disk_pace.h"
#include "platform/loop_meter.h"
#include "platform/paths.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using QUARLE_BASICS::LangText;
using QUARLE_BASICS::Report;

namespace {

constexpr int32_t kMainQueue = 0;
constexpr int32_t kMaxBufferMs = 32;
constexpr double kPlaybackPassPeriod = 0.0003;  // s
constexpr double kSettleTime = 10.0;            // s without an underrun
constexpr double kReportInterval = 1.0;         // s between repeats of a standing fault
// A pass that found nothing to do naps this long. A thread at real-time
// priority that never sleeps uses up the kernel's real-time budget and is then
// stopped for tens of milliseconds every second: the stream would underrun.
// The nap is well below the playback and capture polling periods.
constexpr double kIdleNap = 0.0001;  // s
// A disk that takes nothing this long (no byte written, no sync finished)
// ends the end's wait for the recordings' writer: the end's one limit.
constexpr double kRingSeconds = 10.0;  // s of sound the recording's ring holds

// Differences of the seconds timer: a wrap at midnight adds a day; what is
// still negative counts as no time.
double Elapsed(double now, double mark) {
  double d = now - mark;
  if (d < -1.0) d += 86400.0;
  return d < 0.0 ? 0.0 : d;
}

// A single from a command turned into an index or a count without undefined
// conversions: NaN gives 0, the rest is clamped to [low, high] and rounded to
// nearest.
int32_t RoundedSingle(float value, int32_t low, int32_t high) {
  if (std::isnan(value)) return 0;
  double v = std::nearbyint(static_cast<double>(value));
  if (v < low) return low;
  if (v > high) return high;
  return static_cast<int32_t>(v);
}

// The highest priority this user may give a thread: real-time FIFO where
// permitted, else the lowest nice value allowed; failures are quiet.
void RaiseToTimeCritical() {
  int top = sched_get_priority_max(SCHED_FIFO);
  struct rlimit limit;
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(top) > limit.rlim_cur && geteuid() != 0) {
    top = static_cast<int>(limit.rlim_cur);
  }
  if (top > 0) {
    struct sched_param param;
    std::memset(&param, 0, sizeof param);
    param.sched_priority = top;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
  }
  pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  int lowest = -20;
  if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur <= 40 && geteuid() != 0) {
    lowest = 20 - static_cast<int>(limit.rlim_cur);
  }
  for (int nice = lowest; nice < 0; ++nice) {
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0) return;
  }
}

int16_t ToSample16(float x) {
  // Rendered floats stay within +-1; anything beyond is held at the 16-bit ends.
  float v = std::nearbyint(x * 32767.0f);
  if (!(v >= -32768.0f)) v = std::isnan(v) ? 0.0f : -32768.0f;
  if (v > 32767.0f) v = 32767.0f;
  return static_cast<int16_t>(v);
}

// one thread: audio, the thread's own loop
class AudioThreadLoop {
 public:
  void Run();

 private:
  bool Start();
  void StartStream(bool keepUnderrunCount, bool report = true);
  // True when the command asks the thread to end.
  bool HandleCommand(CommandMessage& msg);
  void StartRecording(CommandMessage& msg);
  void StopRecording();
  // Tells the interface that the take it numbered label runs no more (its
  // record button goes off while it is the take it asked for last): arg4
  // holds the error that stopped or refused it, arg3 whether it ever began.
  // The output stopped unasked (error: why): a running take would record
  // nothing from here under a lit record button, so it ends and says why.
  void EndTakeWithOutput(int32_t error);
  void PlaybackPass();
  void Underrun(double now);
  void Overload();
  void CapturePass();
  void StreamPass();
  void BufferFull();
  void DelayAndIdle();
  // How long a pass that found nothing to do sleeps.
  double IdleNap() const;
  void WaitInStandby();
  void SecondTick();
  void Exit(bool afterFetchFailure);
  // Standing faults are reported at most once per kReportInterval.
  bool ReportDue(double& lastReport);

  // Playback objects.
  ALCdevice* device_ = nullptr;
  ALCcontext* context_ = nullptr;
  ALCdevice* pausedDevice_ = nullptr;  // the device the standby wait paused
  ALuint source_ = 0;
  ALuint buffers_[3] = {0, 0, 0};
  int64_t freeFlags_[3] = {-1, -1, -1};
  int64_t playing_ = 0;
  // Capture objects.
  ALCdevice* captureDevice_ = nullptr;
  int64_t capturing_ = 0;

  bool playbackWanted_ = false;
  bool captureWanted_ = false;
  bool stopCaptureRequested_ = false;
  bool waiting_ = false;
  int32_t filled_ = 0;
  // Bounded by the buffer length: more could never be rendered before the
  // buffer is full, and an unbounded count would overflow within seconds.
  int64_t pending_ = 0;
  int64_t rendered_ = 0;
  double loadTime_ = 0.0;
  int64_t loadCount_ = 0;
  bool settled_ = false;
  int32_t settledLength_ = 0;
  int32_t underrunCount_ = 0;
  bool recording_ = false;
  int32_t take_ = 0;  // the writer's number of the recording
  uint32_t takeLabel_ = 0;  // the interface's
  int64_t resync_ = 0;
  bool commandHandled_ = false;
  bool busy_ = false;  // this pass did something
  double playbackStart_ = 0.0;
  double lastPlaybackPass_ = 0.0;
  double lastCapturePass_ = 0.0;
  double loopMark_ = 0.0;
  double secondMark_ = 0.0;
  double lastUnderrun_ = 0.0;
  double lastBufferErrorReport_ = -1.0e300;
  bool activeInWindow_ = false;  // played or captured since the second mark

  float* captureBlock_ = nullptr;
  float* streamBuffer_ = nullptr;
  int16_t* streamBuffer16_ = nullptr;
};

bool AudioThreadLoop::ReportDue(double& lastReport) {
  double now = AudioNow();
  if (lastReport > -1.0e299 && Elapsed(now, lastReport) < kReportInterval) return false;
  lastReport = now;
  return true;
}

bool AudioThreadLoop::Start() {
  captureBlock_ =
      static_cast<float*>(std::calloc(static_cast<size_t>(2 * SamplesPerMs), sizeof(float)));
  if (!captureBlock_ || SetStreamBuffers(&streamBuffer_, &streamBuffer16_, 0) != 0) {
    RecordingLogError(0, nullptr, -QUARLE_BASICS::kErrAllocation, 3);
    return false;
  }

  RaiseToTimeCritical();

  RefreshPlaybackDevices(device_);
  RefreshCaptureDevices(captureDevice_);

  AudioBackend& al = Backend();
  FloatFormatAvailable = al.GetEnumValue("AL_FORMAT_STEREO_FLOAT32") != 0 ? -1 : 0;
  if (FloatFormatAvailable == 0) {
    RecordingLogLine(74, "32-bit stereo sound format unavailable!", -1, 1);
    if (al.GetEnumValue("AL_FORMAT_MONO_FLOAT32") == 0) {
      RecordingLogLine(75, "32-bit mono sound format unavailable!", -1, 1);
    }
  } else {
    if (PlaybackSelected < 1) {
      SelectDefaultPlaybackDevice();
    } else {
      OpenPlaybackDevice(&device_, &context_, &source_, buffers_, freeFlags_, &playing_);
    }
    if (CaptureSelected < 1) {
      SelectDefaultCaptureDevice();
    } else {
      OpenCaptureDevice(&captureDevice_, &capturing_);
    }
  }
  for (int i = 0; i < 3; ++i) freeFlags_[i] = -1;
  AudioLoopMeter.clock = AudioNow;
  platform::LoopMeterStart(AudioLoopMeter);
  activeInWindow_ = false;
  double now = AudioNow();
  playbackStart_ = lastPlaybackPass_ = lastCapturePass_ = now;
  loopMark_ = secondMark_ = lastUnderrun_ = now;
  return true;
}

void AudioThreadLoop::StartStream(bool keepUnderrunCount, bool report) {
  waiting_ = false;
  if (PlaybackOpen == -1) {
    AudioBackend& al = Backend();
    int32_t i = UnqueueProcessedBuffer(source_, buffers_, freeFlags_);
    if (i >= 0) {
      al.BufferData(buffers_[i], kFormatStereoFloat32, streamBuffer_,
                    static_cast<ALsizei>(StreamLength) * 4, static_cast<ALsizei>(StreamRate));
      al.SourceQueueBuffers(source_, 1, &buffers_[i]);
      freeFlags_[i] = 0;
    } else {
      waiting_ = true;
    }
  }
  double start = StartPlayback(source_, &playing_, report);
  // 0.0 means nothing started: pace from now rather than from a null mark.
  playbackStart_ = start != 0.0 ? start : AudioNow();
  pending_ = 0;
  rendered_ = 0;
  if (!keepUnderrunCount) underrunCount_ = 0;
  resync_ = -1;
  lastUnderrun_ = playbackStart_;
}

bool AudioThreadLoop::HandleCommand(CommandMessage& msg) {
  busy_ = true;
  AudioBackend& al = Backend();
  uint32_t code = msg.type & 0xFFu;
  switch (code) {
    case kAudioQuit:
      return true;
    case kAudioPlaybackOn:
      playbackWanted_ = true;
      if (PlaybackOpen == -1 && playing_ == 0) StartStream(false);
      break;
    case kAudioPlaybackOff:
      playbackWanted_ = false;
      if (playing_ != 0) StopPlayback(source_, &playing_);
      AudioLoad.store(0.0f);
      break;
    case kAudioCaptureOn:
      captureWanted_ = true;
      if (CaptureOpen == -1 && capturing_ == 0) {
        StartCapture(&captureDevice_, &capturing_);
        resync_ = -1;
      }
      break;
    case kAudioCaptureOff:
      captureWanted_ = false;
      if (capturing_ != 0) stopCaptureRequested_ = true;
      return false;  // does not excuse a delay
    case kAudioRecordStart:
      StartRecording(msg);
      break;
    case kAudioRecordStop:
      StopRecording();
      break;
    case kAudioBufferLength: {
      if (playing_ != 0) StopPlayback(source_, &playing_);
      SetStreamBuffers(&streamBuffer_, &streamBuffer16_,
                       static_cast<uint32_t>(RoundedSingle(msg.single1, 0, kMaxBufferMs)));
      filled_ = 0;
      settled_ = false;
      if (playbackWanted_ && PlaybackOpen != 0) StartStream(false);
      break;
    }
    case kAudioPlaybackDevice: {
      int32_t index = RoundedSingle(msg.single1, -1, kDeviceListSize);
      {
        platform::MutexGuard hold(MT_AUDIO);
        PlaybackSelected = index;
      }
      OpenPlaybackDevice(&device_, &context_, &source_, buffers_, freeFlags_, &playing_);
      if (settledLength_ >= 1 && settledLength_ != StreamLength) {
        int32_t keep = StreamLength;
        StreamLength = settledLength_;
        if (SetStreamBuffers(&streamBuffer_, &streamBuffer16_, 0) != 0) StreamLength = keep;
        filled_ = 0;
      }
      if (playbackWanted_ && PlaybackOpen != 0) StartStream(false);
      break;
    }
    case kAudioCaptureDevice: {
      int32_t index = RoundedSingle(msg.single1, -1, kDeviceListSize);
      {
        platform::MutexGuard hold(MT_AUDIO);
        CaptureSelected = index;
      }
      OpenCaptureDevice(&captureDevice_, &capturing_);
      if (captureWanted_ && CaptureOpen != 0) {
        StartCapture(&captureDevice_, &capturing_);
        resync_ = -1;
      }
      break;
    }
    case kAudioOutputGain:
      // A gain the driver would refuse is not kept for the next device either.
      if (std::isfinite(msg.single1) && msg.single1 >= 0.0f) {
        OutputGain = msg.single1;
        if (source_ != 0) {
          al.GetError();
          al.Sourcef(source_, AL_GAIN, OutputGain);
        }
      }
      return false;  // does not excuse a delay
    default:
      return false;
  }
  commandHandled_ = true;
  return false;
}

// The writer names and creates the file and says so; this thread only hands
// the stem over, and from then on copies samples.
void AudioThreadLoop::StartRecording(CommandMessage& msg) {
  char* text = reinterpret_cast<char*>(static_cast<uintptr_t>(msg.word2));
  msg.word2 = 0;
  if (recording_ && RecordingAppend(take_, nullptr, 0) == 1) {
    // The writer ended the take on its own and reported it, which the
    // interface may answer with a new take before this thread appends again.
    recording_ = false;
    RecordingEnd();
  }
  if (recording_) {
    std::free(text);  // the stem changed owner with the message
    return;
  }
  const int32_t take = RecordingHandOver(text, msg.arg2);
  if (take < 0) {
    // The interface turned its record button on when it asked: it must hear
    // that no recording was started.
    RecordingStopReport(take, msg.arg2, false);
    return;
  }
  take_ = take;
  takeLabel_ = msg.arg2;
  recording_ = true;
}

void AudioThreadLoop::EndTakeWithOutput(int32_t error) {
  if (!recording_) return;
  recording_ = false;
  RecordingEnd();
  RecordingStopReport(-error, takeLabel_, true);
}

void AudioThreadLoop::StopRecording() {
  if (!recording_) return;
  RecordingEnd();
  recording_ = false;
}

void AudioThreadLoop::PlaybackPass() {
  double now = AudioNow();
  if (playing_ == 0 || Elapsed(now, lastPlaybackPass_) <= kPlaybackPassPeriod) return;
  lastPlaybackPass_ = now;
  int64_t lost = 0;
  bool underrun = false;
  if (playing_ == -1) {
    AudioBackend& al = Backend();
    al.GetError();
    ALint state = 0;
    al.GetSourcei(source_, AL_SOURCE_STATE, &state);
    if (state != AL_PLAYING) {
      // Not reported yet: after an underrun the stream starts again and the
      // graph stays with this thread.
      StopPlayback(source_, &playing_, false);
      UnqueueProcessedBuffer(source_, buffers_, freeFlags_);
      lost = RefreshPlaybackDevices(device_);
      if (lost == -1) {
        PostAudioReport(kAudioPlaybackOff, AudioNow());
        ClosePlaybackDevice(&device_, &context_, &source_, buffers_, freeFlags_, &playing_);
        EndTakeWithOutput(QUARLE_BASICS::kErrOutputLost);
        SelectDefaultPlaybackDevice();
      } else {
        underrun = true;
      }
    }
  }
  if (lost != 0) return;
  if (ForceOverload.exchange(false) || AudioLoad.load() >= 1.0f) {
    Overload();
  } else if (underrun) {
    Underrun(now);
    if (playing_ == 0) {  // it did not start again
      PostAudioReport(kAudioPlaybackOff, AudioNow());
      EndTakeWithOutput(QUARLE_BASICS::kErrOutputNoRestart);
    }
  } else if (!settled_ && Elapsed(now, lastUnderrun_) > kSettleTime) {
    settled_ = true;
    CommandMessage msg{};
    msg.type = kAudioBufferLength;
    msg.single1 = static_cast<float>(StreamLength);
    msg.timeStamp = AudioNow();
    QUARLE_BASICS::PostCommand(msg, kMainQueue, -1);
    settledLength_ = StreamLength;
  }
}

// The stream stops before the overload is reported: the interface takes the
// graph back (and disconnects the output) only when no render call can follow.
// Play starts it again.
void AudioThreadLoop::Overload() {
  playbackWanted_ = false;
  if (playing_ != 0)
    StopPlayback(source_, &playing_);
  else
    PostAudioReport(kAudioPlaybackOff, AudioNow());  // stopped by an underrun, not yet told
  AudioLoad.store(0.0f);
  loadTime_ = 0.0;
  loadCount_ = 0;
  EndTakeWithOutput(QUARLE_BASICS::kErrOutputOverload);
  RecordingLogLine(80, "Playback: work overload!", -1, 1);
  PostAudioReport(kAudioOverload, AudioNow());
}

void AudioThreadLoop::Underrun(double now) {
  if (settled_) {
    // A settled stream forgives a lone underrun; repeated ones (each within
    // the settling time of the one before) warn, and a third unsettles it so
    // that it grows again.
    if (Elapsed(now, lastUnderrun_) > kSettleTime) underrunCount_ = 0;
    underrunCount_ += 1;
    lastUnderrun_ = now;
    if (underrunCount_ > 1) RecordingLogLine(79, "Playback: buffer overrun", -1, 1);
    if (underrunCount_ > 2) settled_ = false;
  }
  if (!settled_) {
    double ms = std::nearbyint(static_cast<double>(StreamLength) * 500.0 / StreamRate + 1.0);
    underrunCount_ = 0;
    lastUnderrun_ = now;
    SetStreamBuffers(&streamBuffer_, &streamBuffer16_,
                     static_cast<uint32_t>(std::min(ms, static_cast<double>(kMaxBufferMs))));
    filled_ = 0;
  }
  if (PlaybackOpen != 0) {
    if (settled_) {
      ClearStreamBuffers(&streamBuffer_, &streamBuffer16_);
      filled_ = 0;
    }
    StartStream(settled_, false);
  }
}

void AudioThreadLoop::CapturePass() {
  double now = AudioNow();
  if (capturing_ == 0 || Elapsed(now, lastCapturePass_) <= CapturePollPeriod) return;
  if (stopCaptureRequested_ || CaptureOpen == 0) {
    stopCaptureRequested_ = false;
    if (CaptureOpen == -1) {
      StopCapture(&captureDevice_, &capturing_);
    } else {
      CloseCaptureDevice(&captureDevice_, &capturing_);
    }
    return;
  }
  lastCapturePass_ = now;
  AudioBackend& al = Backend();
  ALCint available = 0;
  al.GetIntegerv(captureDevice_, ALC_CAPTURE_SAMPLES, 1, &available);
  if (available >= SamplesPerMs) {
    al.CaptureSamples(captureDevice_, captureBlock_, SamplesPerMs);
    CaptureCallback(&captureBlock_, 2 * SamplesPerMs, &resync_);
    busy_ = true;
  }
}

void AudioThreadLoop::StreamPass() {
  if (playing_ == 0) {
    waiting_ = false;
    return;
  }
  if (playing_ != -1) return;
  AudioBackend& al = Backend();
  if (waiting_) {
    int32_t i = UnqueueProcessedBuffer(source_, buffers_, freeFlags_);
    if (i != -1) {
      al.GetError();
      al.BufferData(buffers_[i], kFormatStereoFloat32, streamBuffer_,
                    static_cast<ALsizei>(StreamLength) * 4, static_cast<ALsizei>(StreamRate));
      ALenum e = al.GetError();
      if (e != AL_NO_ERROR) {
        // The buffer keeps waiting and the next pass retries; a standing
        // failure would otherwise be reported thousands of times a second.
        if (ReportDue(lastBufferErrorReport_)) {
          RecordingLogError(81, "Buffer filling error: ", static_cast<int32_t>(e), 2);
        }
      } else {
        al.SourceQueueBuffers(source_, 1, &buffers_[i]);
        e = al.GetError();
        if (e != AL_NO_ERROR) {
          if (ReportDue(lastBufferErrorReport_)) {
            RecordingLogError(82, "Buffer queueing error: ", static_cast<int32_t>(e), 2);
          }
        } else {
          freeFlags_[i] = 0;
          waiting_ = false;
          busy_ = true;
        }
      }
    }
  }
  if (waiting_) return;

  // The lead of StreamRate / 1000 seconds keeps pending above the room left,
  // so each call renders the buffer to its end.
  double t = Elapsed(AudioNow(), playbackStart_) + StreamRate / 1000.0;
  int64_t outstanding = static_cast<int64_t>(std::floor(2.0 * StreamRate * t)) - rendered_;
  if (outstanding < 0) outstanding = 0;
  pending_ = std::min<int64_t>(pending_ + 2 * (outstanding / 2), StreamLength);
  if (pending_ > 0) {
    int32_t count = static_cast<int32_t>(std::min<int64_t>(pending_, StreamLength - filled_));
    double t0 = AudioNow();
    if (RenderHandedOver())
      RenderCallback(&streamBuffer_, filled_, count);
    else  // the interface has not handed the graph over yet: silence
      std::memset(streamBuffer_ + filled_, 0, static_cast<size_t>(count) * sizeof(float));
    double duration = Elapsed(AudioNow(), t0);
    platform::LoopWork(AudioLoopMeter, duration);
    busy_ = true;
    filled_ += count;
    pending_ -= count;
    rendered_ += count;
    loadTime_ += duration;
    loadCount_ += count;
    if (loadCount_ >= static_cast<int64_t>(StreamRate)) {
      AudioLoad.store(static_cast<float>(loadTime_ / static_cast<double>(loadCount_) * 2.0 *
                                         StreamRate));
      loadTime_ = 0.0;
      loadCount_ = 0;
    }
  }
  if (filled_ >= StreamLength) BufferFull();
}

void AudioThreadLoop::BufferFull() {
  waiting_ = true;
  filled_ = 0;
  size_t bytes = static_cast<size_t>(StreamLength) * sizeof(float);
  float* copy = static_cast<float*>(std::malloc(bytes));
  for (int32_t k = 0; k < StreamLength; ++k) streamBuffer16_[k] = ToSample16(streamBuffer_[k]);
  if (copy) {
    std::memcpy(copy, streamBuffer_, bytes);
    CommandMessage msg{};
    msg.type = kAudioStreamBuffer;
    msg.arg1 = static_cast<uint32_t>(AudioCommandQueue);
    msg.single1 = static_cast<float>(StreamLength);
    msg.timeStamp = AudioNow();
    msg.word2 = reinterpret_cast<uintptr_t>(copy);
    if (QUARLE_BASICS::PostCommand(msg, kMainQueue, -1) != 0) std::free(copy);
  }
  if (recording_) {
    // A full ring means the disk fell behind by the ring's length: the take
    // ends whole with what came before, rather than the sound breaking.
    const int32_t e = RecordingAppend(take_, streamBuffer16_, StreamLength);
    if (e != 0) {
      // A take the writer ended itself (its create or a write failed) was
      // reported by it; its end still closes it in the writer's order.
      recording_ = false;
      RecordingEnd();
      if (e < 0) RecordingStopReport(e, takeLabel_, true);
    }
  }
}

void AudioThreadLoop::DelayAndIdle() {
  if (capturing_ != 0 || playing_ != 0) {
    double now = AudioNow();
    if (playing_ != 0) {
      double d = Elapsed(now, loopMark_);
      if (d > 0.8 * StreamLength / StreamRate && !commandHandled_) {
        // Written to the log by the recording's writer: the log file is a disk too.
        RecordingLogLine(83, "{$}ms delay in audio thread.", static_cast<int64_t>(std::floor(d * 1000.0)), 1);
      }
    }
    loopMark_ = now;
    commandHandled_ = false;
    if (!busy_) {
      platform::LoopRest rest(AudioLoopMeter);
      platform::SleepSeconds(IdleNap());
    }
  } else {
    {
      // A second of standby reads its passes per second of the whole second;
      // a second in which playback starts counts this rest as the playing loop does.
      platform::LoopRest rest(AudioLoopMeter);
      WaitInStandby();
    }
    loopMark_ = AudioNow();
  }
}

// Standby: nothing plays or records, so nothing is due before a command
// arrives but the once-a-second device check. The thread sleeps until then,
// and a command wakes it at once.
void AudioThreadLoop::WaitInStandby() {
  // A test clock runs at another pace than the wait's: nap as before.
  if (!QUARLE_AUDIO::AudioClockIsReal()) {
    platform::SleepMs(1);
    return;
  }
  // The device's own mixer rests meanwhile (it would mix silence).
  if (device_ && device_ != pausedDevice_ && Backend().PauseDevice(device_)) pausedDevice_ = device_;
  const double due = 1.0 - Elapsed(AudioNow(), secondMark_) + 0.001;
  if (QUARLE_BASICS::WaitForCommands(AudioCommandQueue, std::clamp(due, 0.001, 1.001)) > 0 &&
      pausedDevice_) {
    // A command may start the stream or close the device.
    if (pausedDevice_ == device_) Backend().ResumeDevice(device_);
    pausedDevice_ = nullptr;
  }
}

double AudioThreadLoop::IdleNap() const {
  // Playing only, with every buffer queued: nothing can be done before the
  // device has played one. A third of a buffer's time wakes the thread soon
  // enough to refill while two buffers still play, and spares the thousands of
  // wake-ups a second of polling.
  if (playing_ == -1 && capturing_ == 0 && waiting_ && StreamRate > 0) {
    const double buffer = static_cast<double>(StreamLength) / 2.0 / StreamRate;
    return std::max(kIdleNap, buffer / 3.0);
  }
  return kIdleNap;
}

void AudioThreadLoop::SecondTick() {
  platform::LoopPass(AudioLoopMeter);
  if (playing_ != 0 || capturing_ != 0) activeInWindow_ = true;
  double now = AudioNow();
  if (Elapsed(now, secondMark_) <= 1.0) return;
  if (RefreshPlaybackDevices(device_) != 0) {
    const bool wasPlaying = playing_ != 0;
    ClosePlaybackDevice(&device_, &context_, &source_, buffers_, freeFlags_, &playing_);
    if (wasPlaying) EndTakeWithOutput(QUARLE_BASICS::kErrOutputLost);
    SelectDefaultPlaybackDevice();
  }
  if (RefreshCaptureDevices(captureDevice_) != 0) {
    CloseCaptureDevice(&captureDevice_, &capturing_);
    SelectDefaultCaptureDevice();
  }
  Backend().GetError();
  // Playing or capturing, the loop sleeps where it once spun: its sleep counts
  // as the passes it makes when awake with nothing heavy to do. In standby a
  // rest counts nothing, so standby reads as standby.
  AudioPassesPerSecond.store(platform::LoopRate(
      AudioLoopMeter, activeInWindow_ ? platform::kRestAtMeasuredPace : platform::kRestCountsNothing));
  activeInWindow_ = false;
  secondMark_ = now;
}

void AudioThreadLoop::Exit(bool afterFetchFailure) {
  if (afterFetchFailure) {
    CommandMessage msg{};
    msg.type = kAudioQuit;
    msg.arg1 = static_cast<uint32_t>(AudioCommandQueue);
    msg.timeStamp = AudioNow();
    QUARLE_BASICS::PostCommand(msg, kMainQueue, -1);
  }
  StopRecording();
  ClosePlaybackDevice(&device_, &context_, &source_, buffers_, freeFlags_, &playing_);
  CloseCaptureDevice(&captureDevice_, &capturing_);
  std::free(captureBlock_);
  std::free(streamBuffer_);
  std::free(streamBuffer16_);
  captureBlock_ = nullptr;
  streamBuffer_ = nullptr;
  streamBuffer16_ = nullptr;
}

void AudioThreadLoop::Run() {
  if (!Start()) {
    Exit(true);
    return;
  }
  for (;;) {
    busy_ = false;
    if (QUARLE_BASICS::FetchCommands(AudioFetchBuffer, AudioFetchHeader, AudioCommandQueue) != 0) {
      RecordingLogLine(76, "Could not get audio commands!", -1, 3);
      Exit(true);
      return;
    }
    int32_t count = AudioFetchHeader.count;
    for (int32_t i = 0; i < count; ++i) {
      if (!HandleCommand(AudioFetchBuffer[i])) continue;
      // Leaving: file stems still carried by later commands change owner here.
      for (int32_t j = i + 1; j < count; ++j) {
        if ((AudioFetchBuffer[j].type & 0xFFu) == kAudioRecordStart) {
          std::free(reinterpret_cast<char*>(static_cast<uintptr_t>(AudioFetchBuffer[j].word2)));
          AudioFetchBuffer[j].word2 = 0;
        }
      }
      Exit(false);
      return;
    }
    PlaybackPass();
    CapturePass();
    StreamPass();
    DelayAndIdle();
    SecondTick();
  }
}

void AudioThread() {
  platform::ThreadSetName("tarvelo-audio");
  AudioThreadLoop* loop = new (std::nothrow) AudioThreadLoop();
  if (!loop) return;
  loop->Run();
  delete loop;
}

}  // namespace

uint32_t StreamRateFor(int32_t rate) {
  if (rate < static_cast<int32_t>(kBaseStreamRate)) rate = kBaseStreamRate;
  int32_t k = rate / static_cast<int32_t>(kBaseStreamRate);
  if (k < 1) k = 1;
  if ((k & (k - 1)) != 0) {
    double e = std::nearbyint(std::log2(static_cast<double>(k)));
    k = e >= 3.0 ? 8 : 1 << static_cast<int32_t>(e);
  }
  if (k > 8) k = 8;
  return kBaseStreamRate * static_cast<uint32_t>(k);
}

int32_t StreamLengthFor(uint32_t streamRate, int32_t ms) {
  if (ms < 1) ms = 1;
  if (ms > kMaxBufferMs) ms = kMaxBufferMs;
  int32_t perMs = static_cast<int32_t>(std::nearbyint(streamRate / 1000.0));
  return perMs * ms * 2;
}

int32_t StartAudioThread(std::thread*& handle, int32_t rate, int32_t ms) {
  if (handle) return -1;
  init(nullptr, nullptr, 0);  // -1 when Main has initialised the library already
  StreamRate = StreamRateFor(rate);
  CapturePollPeriod = static_cast<float>(SamplesPerMs) / (6.0f * static_cast<float>(StreamRate));
  StreamLength = StreamLengthFor(StreamRate, ms);
  // The thread that writes the recordings, and the audio thread's log lines
  // from its first pass on, is made here, not by the audio thread.
  if (!RecordingWriterStart(StreamRate, static_cast<uint32_t>(2.0 * StreamRate * kRingSeconds)))
    Report(LangText(621, "The writer of the recordings could not be started: no recording can be made"), 2);
  try {
    handle = new std::thread(AudioThread);
  } catch (const std::exception&) {
    handle = nullptr;
    return -QUARLE_BASICS::kErrThreadCreate;
  }
  Report(LangText(84, "Audio thread is started :: In standby. "), 0);
  return 0;
}

namespace {
// What the end's count said last, and when.
// one thread: interface, the program's end that waits for the writer
struct WritingLeftSaid {
  std::string text;
  double at = 0.0;
};
// one thread: interface, the program's end that waits for the writer
WritingLeftSaid g_writingLeftSaid;

bool SayWritingLeftOnly(const RecordingEndProgress& progress) {
  SayWritingLeft(progress);
  return true;
}
}  // namespace

std::string WritingLeftText(const RecordingEndProgress& p) {
  // Nothing left (nothing was recorded, or all is on the disk): nothing to say.
  if (p.secondsLeft == 0.0) return "";
  // A wait under way always has something left, if only a take's last sync.
  const auto whole = [](double s) {
    s = s >= 1.0 ? std::min(std::ceil(s), 1.0e9) : 1.0;  // NaN too
    return std::to_string(static_cast<int64_t>(s));
  };
  std::string text;
  if (p.othersFirst && p.soundLeft > 0.0)
    text = QUARLE_BASICS::InsertArg(
        LangText(643, "Writing the recordings to the disk: the disk writes other files first; {$} s of sound wait"),
        whole(p.soundLeft));
  else if (p.othersFirst)
    text = LangText(642, "Writing the recordings to the disk: their last step waits while the disk writes other files");
  else if (p.secondsLeft >= 0.0 || p.confirming)
    text = QUARLE_BASICS::InsertArg(LangText(626, "Writing the recordings to the disk: {$} s left"),
                                    whole(p.secondsLeft >= 0.0 ? p.secondsLeft : p.soundLeft));
  else if (p.diskCounted)
    text = QUARLE_BASICS::InsertArg(
        LangText(641, "Writing the recordings to the disk: the disk writes nothing; {$} s of sound wait for it"),
        whole(p.soundLeft));
  else
    text = QUARLE_BASICS::InsertArg(
        LangText(631, "Writing the recordings to the disk: the disk confirms nothing; {$} s of sound wait for it"),
        whole(p.soundLeft));
  return text;
}

void SayWritingLeft(const RecordingEndProgress& p) {
  const std::string text = WritingLeftText(p);
  if (text.empty()) return;
  const double now = platform::HighResClock();
  if (text == g_writingLeftSaid.text ||
      (!g_writingLeftSaid.text.empty() && now - g_writingLeftSaid.at < 1.0))
    return;
  g_writingLeftSaid.text = text;
  g_writingLeftSaid.at = now;
  Report(text, 0);
}

bool WaitAudioThread(std::thread*& handle, bool (*shown)(const RecordingEndProgress&)) {
  if (handle && handle->joinable()) handle->join();
  delete handle;
  handle = nullptr;
  g_writingLeftSaid.text.clear();
  // Every take handed over reaches the disk whole before the program goes on
  // to free what the writer uses; only a disk that confirms nothing for long,
  // or the caller, ends the wait (the writer says which takes are short).
  const int32_t r = RecordingWriterStop(platform::kEndIdleSeconds, shown ? shown : SayWritingLeftOnly);
  if (r < 0) {
    Report(LangText(613, "The last recording may not be on the disk yet: the disk has not confirmed it"), 2);
  }
  return r >= 0;
}

int32_t SetStreamBuffers(float** buffer, int16_t** buffer16, uint32_t ms) {
  int32_t length = StreamLength;
  if (ms > static_cast<uint32_t>(kMaxBufferMs)) ms = kMaxBufferMs;
  if (ms > 0) {
    length = static_cast<int32_t>(std::nearbyint(static_cast<double>(StreamRate) * ms * 2.0 / 1000.0));
  } else if (length <= 0) {
    length = static_cast<int32_t>(std::nearbyint(static_cast<double>(StreamRate) * 2.0 / 1000.0));
  }
  float* fresh = static_cast<float*>(std::calloc(static_cast<size_t>(length), sizeof(float)));
  int16_t* fresh16 = static_cast<int16_t*>(std::calloc(static_cast<size_t>(length), sizeof(int16_t)));
  if (!fresh || !fresh16) {
    std::free(fresh);
    std::free(fresh16);
    return -QUARLE_BASICS::kErrAllocation;
  }
  std::free(*buffer);
  std::free(*buffer16);
  *buffer = fresh;
  *buffer16 = fresh16;
  StreamLength = length;
  return 0;
}

void ClearStreamBuffers(float** buffer, int16_t** buffer16) {
  if (*buffer) std::memset(*buffer, 0, static_cast<size_t>(StreamLength) * sizeof(float));
  if (*buffer16) std::memset(*buffer16, 0, static_cast<size_t>(StreamLength) * sizeof(int16_t));
}

}  // namespace QUARLE_AUDIO
