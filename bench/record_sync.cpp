// What keeping an output recording on the disk costs the audio thread, and
// what a power cut leaves of it. Records 16-bit stereo at 48 kHz into
// FOLDER/AUDIO as the audio thread does: a 12 ms stream buffer every 12 ms of
// real time, each handed to the recording's writer (RecordingAppend), whose
// time is what the audio thread spends per buffer on the recording. Prints
// that time's mean, 99th percentile and maximum, the passes longer than a
// buffer, and each second how much was handed over and how much the file
// holds (a power-cut script copies the disk meanwhile: bench/power_cut.sh).
// At the end: whether the recording is whole (its header names exactly what
// the file holds) and, when the disk could not keep up, that it ended early.
//
//   bench_record_sync FOLDER SECONDS [--load] [--stall-sync MS] [--stall-write MS] [--quit]
//                     [--saves EVERY:BYTES]
//
// --saves hands the saver a save of FOLDER/session.tarvelo (BYTES bytes) every
// EVERY seconds of the take, as the auto-save and Ctrl+S do; the quit waits
// for the saver too. Each second's line also says where the writer thread
// waits in the kernel (its wchan), so a writer held in a write shows apart
// from one that keeps the sound in the ring by its own rule.
//
// Each second's line also says what the block device under FOLDER wrote in
// that second (its kernel count; none on tmpfs). --quit ends as the program's
// quit does: the end's wait (RecordingWriterStop, 10 s idle) with each status
// line it says and when, what it returned and the takes it named.
//
// --load keeps a large write-back under way beside it: another thread writes
// 4 MB blocks to FOLDER/load.bin (at most 256 MB, then from its start again).
// --stall-sync and --stall-write make a disk that stalls: every sync, and
// every flush of a regular file (each write of the recording), takes MS
// milliseconds longer, whoever makes it.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

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
#include "audio/thread.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "platform/files.h"
#include "platform/disk_pace.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "platform/threads.h"

namespace {

std::atomic<bool> g_stop{false};
std::atomic<int> g_stallSyncMs{0};
std::atomic<int> g_stallWriteMs{0};
double g_start = 0.0;

void Stall(const std::atomic<int>& ms) {
  if (const int n = ms.load(std::memory_order_relaxed); n > 0) ::usleep(useconds_t(n) * 1000u);
}

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

int64_t FileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : 0;
}

// Where a thread of ours waits in the kernel ("-" when it runs).
std::string Waits(const char* thread = "tarvelo-rec") {
  std::string found = "?";
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string task = std::string("/proc/self/task/") + e->d_name;
      char name[32] = {};
      if (FILE* f = std::fopen((task + "/comm").c_str(), "r")) {
        if (!std::fgets(name, sizeof name, f)) name[0] = 0;
        std::fclose(f);
      }
      if (std::strncmp(name, thread, std::strlen(thread)) != 0 || name[std::strlen(thread)] != '\n') continue;
      char wchan[64] = {};
      if (FILE* f = std::fopen((task + "/wchan").c_str(), "r")) {
        if (!std::fgets(wchan, sizeof wchan, f)) wchan[0] = 0;
        std::fclose(f);
      }
      found = wchan[0] && std::strcmp(wchan, "0") != 0 ? wchan : "-";
    }
    ::closedir(d);
  }
  return found;
}

uint32_t U32At(const std::vector<unsigned char>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

}  // namespace

// The stalling disk: taken before the C library's.
extern "C" int fsync(int fd) {
  Stall(g_stallSyncMs);
  return int(::syscall(SYS_fsync, fd));
}
extern "C" int fdatasync(int fd) {
  Stall(g_stallSyncMs);
  return int(::syscall(SYS_fdatasync, fd));
}
extern "C" int fflush(FILE* f) {
  using Flush = int (*)(FILE*);
  static const Flush real = reinterpret_cast<Flush>(::dlsym(RTLD_NEXT, "fflush"));
  struct stat st;
  if (f && f != stdout && ::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode)) Stall(g_stallWriteMs);
  return real(f);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s FOLDER SECONDS [--load] [--stall-sync MS] [--stall-write MS]\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const double seconds = std::atof(argv[2]);
  bool load = false, quit = false;
  double saveEvery = 0.0;
  int64_t saveBytes = 0;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--load") == 0) load = true;
    if (std::strcmp(argv[i], "--quit") == 0) quit = true;
    if (std::strcmp(argv[i], "--stall-sync") == 0 && i + 1 < argc) g_stallSyncMs = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--stall-write") == 0 && i + 1 < argc) g_stallWriteMs = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--saves") == 0 && i + 1 < argc) {
      saveEvery = std::atof(argv[++i]);
      if (const char* colon = std::strchr(argv[i], ':')) saveBytes = std::atoll(colon + 1);
    }
  }
  std::thread loader;
  if (load) loader = std::thread(WriteBack, folder + "/load.bin");

  ::mkdir((folder + "/AUDIO").c_str(), 0755);
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, platform::FromOsPath(folder));
  constexpr uint32_t kRate = 48000;
  constexpr int32_t kValues = 2 * 576;  // 12 ms at 48 kHz
  if (!QUARLE_AUDIO::RecordingWriterStart(kRate, 2 * kRate * 10)) {  // the program's 10 s ring
    std::fprintf(stderr, "cannot start the recording's writer\n");
    return 1;
  }
  const std::string path = folder + "/AUDIO/REC_bench.wav";
  const int32_t take = QUARLE_AUDIO::RecordingHandOver(strdup("REC_bench"), 1);
  if (take <= 0) {
    std::fprintf(stderr, "cannot hand the recording over: %d\n", take);
    return 1;
  }
  if (saveEvery > 0.0) platform::SaverStart();
  double nextSave = saveEvery;
  int32_t saves = 0;
  std::vector<int16_t> buffer(kValues);
  std::vector<double> times;
  const int64_t buffers = static_cast<int64_t>(seconds * 1000.0 / 12.0);
  times.reserve(static_cast<size_t>(buffers));
  timespec due;
  clock_gettime(CLOCK_MONOTONIC, &due);
  const double start = platform::HighResClock();
  g_start = start;
  const uint64_t device = platform::DeviceOfPath(folder.c_str());
  int64_t deviceBytes = platform::KernelWrittenBytes(device);
  int64_t lastSecond = 0, appended = 0;
  int32_t ended = 0;
  for (int64_t k = 0; k < buffers; ++k) {
    for (int32_t i = 0; i < kValues; ++i)
      buffer[size_t(i)] = static_cast<int16_t>(8000.0 * std::sin(0.0576 * double(k * kValues + i)));
    const double t0 = platform::HighResClock();
    ended = QUARLE_AUDIO::RecordingAppend(take, buffer.data(), kValues);
    if (ended == 0) appended += kValues;
    const double t1 = platform::HighResClock();
    times.push_back(t1 - t0);
    if (ended != 0) {
      std::printf("the recording ended at buffer %lld: %s\n", static_cast<long long>(k),
                  ended < 0 ? QUARLE_BASICS::ErrorText(ended).c_str() : "the writer ended it");
      break;
    }
    const int64_t second = static_cast<int64_t>(t1 - start);
    if (second != lastSecond) {
      lastSecond = second;
      const int64_t now = platform::KernelWrittenBytes(device);
      std::printf("t=%llds appended=%.3fs written=%.3fs device=%.0fkB/s writer=%s saves=%d/%d\n",
                  static_cast<long long>(second), double(appended * 2) / 192000.0,
                  double(std::max<int64_t>(FileSize(path) - 88, 0)) / 192000.0,
                  now >= 0 && deviceBytes >= 0 ? double(now - deviceBytes) / 1000.0 : -1.0, Waits().c_str(),
                  platform::SaverPending(), saves);
      if (saveEvery > 0.0 && double(second) >= nextSave) {
        nextSave += saveEvery;
        platform::SaveRequest r;
        r.Target = platform::FromOsPath(folder + "/session.tarvelo");
        r.Bytes = std::string(size_t(saveBytes), char('a' + saves % 26));
        ++saves;
        platform::SaveInBackground(std::move(r));
      }
      platform::SaverTakeOutcomes();
      deviceBytes = now;
      std::fflush(stdout);
    }
    due.tv_nsec += 12000000;
    if (due.tv_nsec >= 1000000000) {
      due.tv_nsec -= 1000000000;
      due.tv_sec += 1;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
  }
  QUARLE_AUDIO::RecordingEnd();
  const double endAt = platform::HighResClock();
  bool settled = true;
  if (quit) {
    // The program's quit: the end's wait, its status lines as the user reads them.
    QUARLE_BASICS::MessageHook = [](const std::string& text, int32_t level) {
      std::printf("%6.1fs [%d] %s\n", platform::HighResClock() - g_start, level, text.c_str());
      std::fflush(stdout);
    };
    const int32_t r = QUARLE_AUDIO::RecordingWriterStop(10.0, [](const QUARLE_AUDIO::RecordingEndProgress& p) {
      // Each second: what the count stands on, and where the sync thread waits.
      static double said = 0.0;
      if (const double now = platform::HighResClock(); now - said >= 1.0) {
        said = now;
        std::printf("%6.1fs count %.1f s, unconfirmed %.1f s of sound, sync thread in %s\n", now - g_start,
                    p.secondsLeft, p.soundLeft, Waits("tarvelo-recsync").c_str());
      }
      QUARLE_AUDIO::SayWritingLeft(p);
      return true;
    });
    std::printf("the end's wait returned %d after %.1fs; takes named not whole: %zu\n", r,
                platform::HighResClock() - endAt, QUARLE_AUDIO::RecordingEndUnconfirmed().size());
    if (saveEvery > 0.0) {
      const double at = platform::HighResClock();
      const int32_t rs = platform::SaverStop(10.0, [](int32_t left) {
        static int32_t said = -1;
        if (left != said) std::printf("%6.1fs saves left %d\n", platform::HighResClock() - g_start, left);
        said = left;
        return true;
      });
      std::printf("the saver's wait returned %d after %.1fs\n", rs, platform::HighResClock() - at);
    }
  } else {
    settled = QUARLE_AUDIO::RecordingWriterSettle(600.0);
  }
  const double settleTime = platform::HighResClock() - endAt;
  g_stop.store(true);
  if (loader.joinable()) loader.join();
  std::sort(times.begin(), times.end());
  if (!times.empty()) {
    const double sum = std::accumulate(times.begin(), times.end(), 0.0);
    std::printf("buffers=%zu mean=%.1fus p99=%.1fus max=%.1fus over4ms=%zu over12ms=%zu\n", times.size(),
                1e6 * sum / double(times.size()), 1e6 * times[times.size() * 99 / 100], 1e6 * times.back(),
                size_t(times.end() - std::upper_bound(times.begin(), times.end(), 0.004)),
                size_t(times.end() - std::upper_bound(times.begin(), times.end(), 0.012)));
  }
  // Whole: the header names exactly the data the file holds, all that was handed over.
  std::vector<unsigned char> head(88, 0);
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    head.resize(std::fread(head.data(), 1, 88, f));
    std::fclose(f);
  }
  const int64_t size = FileSize(path);
  const bool whole = head.size() == 88 && int64_t(U32At(head, 84)) + 88 == size &&
                     int64_t(U32At(head, 4)) + 8 == size && int64_t(U32At(head, 84)) == appended * 2;
  std::printf("recording: handed over %.3fs, file holds %.3fs, header names %.3fs, %s%s; writer done %.2fs after the end%s\n",
              double(appended * 2) / 192000.0, double(std::max<int64_t>(size - 88, 0)) / 192000.0,
              head.size() == 88 ? double(U32At(head, 84)) / 192000.0 : 0.0, whole ? "whole" : "NOT WHOLE",
              ended < 0 ? ", ended early (the disk too slow)" : "", settleTime, settled ? "" : " (not settled)");
  return whole ? 0 : 1;
}
