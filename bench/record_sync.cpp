// What keeping an output recording on the disk costs the audio thread, and
// what a power cut leaves of it. Records 16-bit stereo at 48 kHz into a
// folder as the audio thread does: a 12 ms stream buffer every 12 ms of real
// time, each written with WriteRecordingSamples, whose time is what the audio
// thread spends per buffer on the recording. Prints that time's mean, 99th
// percentile and maximum, and each second how much was written (a power-cut
// script copies the disk meanwhile: bench/power_cut.sh).
//
//   bench_record_sync FOLDER SECONDS [--load]
//
// --load keeps a large write-back under way beside it: another thread writes
// 4 MB blocks to FOLDER/load.bin (at most 256 MB, then from its start again).
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "audio/recording.h"
#include "platform/files.h"
#include "platform/threads.h"

namespace {

std::atomic<bool> g_stop{false};

void WriteBack(const std::string& path) {
  std::vector<char> block(4 << 20, 'x');
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  size_t written = 0;
  while (!g_stop.load()) {
    if (std::fwrite(block.data(), 1, block.size(), f) != block.size()) break;
    std::fflush(f);
    written += block.size();
    if (written >= (256u << 20)) {
      std::rewind(f);
      written = 0;
    }
  }
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FOLDER SECONDS [--load]\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const double seconds = std::atof(argv[2]);
  const bool load = argc > 3 && std::strcmp(argv[3], "--load") == 0;
  std::thread loader;
  if (load) loader = std::thread(WriteBack, folder + "/load.bin");

  QUARLE_AUDIO::SoundBuffer sb;
  QUARLE_AUDIO::SoundBufferInitFormat(&sb, 2, 16, 48000);
  const int32_t f = QUARLE_AUDIO::CreateRecordingWav(folder + "/REC_bench.wav", &sb);
  if (f <= 0) {
    std::fprintf(stderr, "cannot create the recording: %d\n", f);
    return 1;
  }
  constexpr int32_t kValues = 2 * 576;  // 12 ms at 48 kHz
  std::vector<int16_t> buffer(kValues);
  std::vector<double> times;
  const int64_t buffers = static_cast<int64_t>(seconds * 1000.0 / 12.0);
  times.reserve(static_cast<size_t>(buffers));
  timespec due;
  clock_gettime(CLOCK_MONOTONIC, &due);
  const double start = platform::HighResClock();
  int64_t lastSecond = 0;
  for (int64_t k = 0; k < buffers; ++k) {
    for (int32_t i = 0; i < kValues; ++i)
      buffer[size_t(i)] = static_cast<int16_t>(8000.0 * std::sin(0.0576 * double(k * kValues + i)));
    const double t0 = platform::HighResClock();
    if (QUARLE_AUDIO::WriteRecordingSamples(f, &sb, buffer.data(), kValues) != 0) {
      std::fprintf(stderr, "write failed at buffer %lld\n", static_cast<long long>(k));
      break;
    }
    const double t1 = platform::HighResClock();
    times.push_back(t1 - t0);
    const int64_t second = static_cast<int64_t>(t1 - start);
    if (second != lastSecond) {
      lastSecond = second;
      std::printf("t=%llds written=%.3fs\n", static_cast<long long>(second),
                  double(sb.dataSize / 2) / 192000.0);
      std::fflush(stdout);
    }
    due.tv_nsec += 12000000;
    if (due.tv_nsec >= 1000000000) {
      due.tv_nsec -= 1000000000;
      due.tv_sec += 1;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
  }
  QUARLE_AUDIO::FinishRecordingWav(f, &sb);
  g_stop.store(true);
  if (loader.joinable()) loader.join();
  std::sort(times.begin(), times.end());
  if (!times.empty()) {
    const double sum = std::accumulate(times.begin(), times.end(), 0.0);
    std::printf("buffers=%zu mean=%.1fus p99=%.1fus max=%.1fus over4ms=%zu\n", times.size(),
                1e6 * sum / double(times.size()), 1e6 * times[times.size() * 99 / 100],
                1e6 * times.back(),
                size_t(times.end() - std::upper_bound(times.begin(), times.end(), 0.004)));
  }
  QUARLE_AUDIO::SoundBufferFree(&sb);
  return 0;
}
