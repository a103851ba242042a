#include "audio/meters.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "basics/queues.h"
#include "platform/threads.h"

namespace QUARLE_AUDIO {

using namespace QUARLE_BASICS;

// Silence until the first report: a zero level would read as full scale.
LevelMeter OutputMeters[2] = {{kMeterFloorDb, 0.0f, 0.0f}, {kMeterFloorDb, 0.0f, 0.0f}};
LevelMeter InputMeters[2] = {{kMeterFloorDb, 0.0f, 0.0f}, {kMeterFloorDb, 0.0f, 0.0f}};

namespace {

void Convert(LevelMeter& m, float k) {
  m.minimum = m.minimum * k;
  m.maximum = m.maximum * k;
  if (m.level > 0.0f)
    m.level = 8.685889f * std::log(std::sqrt(k * m.level));
  else
    m.level = kMeterFloorDb;
  if (m.level < kMeterFloorDb) m.level = kMeterFloorDb;
  if (m.minimum < -1.0f) m.minimum = -1.0f;
  if (m.maximum > 1.0f) m.maximum = 1.0f;
}

void Zero(LevelMeter& m) { m.level = m.minimum = m.maximum = 0.0f; }

// one thread: audio, the render's; a report's receivers only release its block
float g_meterBlocks[kMeterReportBlocks][6];
std::atomic<uint32_t> g_nextMeterBlock{0};

}  // namespace

void UpdateOutputMeters(LevelMeter* left, LevelMeter* right, int32_t n) {
  if (n < 1 || !left || !right) return;
  // n counts the floats of both channels while each meter summed one channel:
  // measure over frames, as the input side does, or every reading is 3 dB low.
  int32_t frames = static_cast<int32_t>(std::nearbyint(n / 2.0));
  if (frames < 1) frames = 1;
  const float k = 1.0f / float(frames);
  Convert(*left, k);
  Convert(*right, k);

  float* values = g_meterBlocks[g_nextMeterBlock.fetch_add(1) % kMeterReportBlocks];
  {
    values[0] = left->minimum;
    values[1] = left->maximum;
    values[2] = left->level;
    values[3] = right->minimum;
    values[4] = right->maximum;
    values[5] = right->level;
    CommandMessage msg{};
    msg.type = kReportMeterValues;
    msg.arg1 = static_cast<uint32_t>(AudioCommandQueue);
    msg.timeStamp = platform::HighResClock();
    msg.word2 = reinterpret_cast<uint64_t>(values);
    PostCommand(msg, MainCommandQueue, -1);
  }
  {
    platform::MutexGuard lock(MT_AUDIO);
    LevelMeterAssign(OutputMeters[0], *left);
    LevelMeterAssign(OutputMeters[1], *right);
  }
  Zero(*left);
  Zero(*right);
}

void ReleaseReportBlock(uint32_t type, uint64_t word2) {
  if (type == kReportMeterValues || word2 == 0) return;
  if (type == kReportCaptureBlock || type == 208)
    std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(word2)));
}

void UpdateInputMeters(LevelMeter* left, LevelMeter* right, int32_t n, int64_t stereo) {
  if (n < 1 || !left || !right) return;
  if (stereo == -1) n = static_cast<int32_t>(std::nearbyint(n / 2.0));
  if (n < 1) n = 1;
  const float k = 1.0f / float(n);
  Convert(*left, k);
  if (stereo != 0)
    Convert(*right, k);
  else
    LevelMeterAssign(*right, *left);
  {
    platform::MutexGuard lock(MT_AUDIO);
    LevelMeterAssign(InputMeters[0], *left);
    LevelMeterAssign(InputMeters[1], *right);
  }
  Zero(*left);
  Zero(*right);
}

void DefaultRenderCallback(float** buffer, int32_t start, int32_t count) {
  // one thread: audio
  static int32_t produced = 0;
  static LevelMeter meters[2] = {};
  if (!buffer || !*buffer || count <= 0) return;
  float* out = *buffer;
  for (int32_t i = start; i < start + count; ++i) out[i] = 0.0f;
  produced += count;
  if (produced >= StreamLength) {
    UpdateOutputMeters(&meters[0], &meters[1], produced);
    produced = 0;
  }
}

void DefaultCaptureCallback(float** buffer, int32_t count, int64_t* resync) {
  if (count <= 0 || !buffer || !*buffer) return;
  if (resync) *resync = 0;
  const float* in = *buffer;
  float* copy = static_cast<float*>(std::malloc(size_t(count) * sizeof(float)));
  LevelMeter meters[2] = {};
  for (int32_t i = 0; i + 1 < count; i += 2) {
    float l = in[i], r = in[i + 1];
    if (copy) {
      copy[i] = l;
      copy[i + 1] = r;
    }
    LevelMeterFeed(meters[0], l);
    LevelMeterFeed(meters[1], r);
  }
  if (copy && (count & 1)) copy[count - 1] = in[count - 1];
  UpdateInputMeters(&meters[0], &meters[1], count, -1);
  if (!copy) return;
  CommandMessage msg{};
  msg.type = kReportCaptureBlock;
  msg.single1 = float(count);
  msg.single2 = 2.0f;
  msg.timeStamp = platform::HighResClock();
  msg.word2 = reinterpret_cast<uint64_t>(copy);
  if (PostCommand(msg, MainCommandQueue, -1) != 0) std::free(copy);
}

}  // namespace QUARLE_AUDIO
