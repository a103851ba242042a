// What the saver does on a slow or busy disk, and what the quit's wait for it
// leaves: hands saves to the saver as the interface does, then stops it as the
// quit does, and prints how long the wait took, what it returned, which files
// are in place whole and what work files are left beside them.
//
//   bench_save_slow_disk FOLDER [--idle S] [--keep] SAVE...
//     SAVE is NAME:BYTES (a save of FOLDER/NAME holding BYTES bytes), handed
//     over in order; NAME:BYTES@BACKUP also copies the file there first, as a
//     synth's save does; --old NAME:BYTES puts a file there first (synced).
//   bench_save_slow_disk FOLDER --repeat NAME:BYTES:EVERY:SECONDS
//     the same file handed over every EVERY seconds for SECONDS (an auto-save
//     on a disk slower than it), then the stop: the saves queued, the process's
//     memory, and how many were written.
//
// Each line of its own: `stop rc=.. after=..s`, then `file NAME in-place|old|missing`
// and `left NAME` for each work file left. The device's written bytes are read
// from the kernel (-1 on a disk without a count).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/disk_pace.h"
#include "platform/paths.h"
#include "platform/saver.h"
#include "platform/threads.h"

namespace {

struct Save {
  std::string name, backup;
  int64_t bytes = 0;
};

int64_t RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  return -1;
}

int64_t DeviceBytes(const std::string& folder) {
  return platform::KernelWrittenBytes(platform::DeviceOfPath(folder.c_str()));
}

// The save's bytes: its length in a byte that tells saves apart.
std::string Bytes(int64_t n, char fill) { return std::string(size_t(n), fill); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "bench_save_slow_disk FOLDER [--idle S] SAVE... | --repeat NAME:BYTES:EVERY:SECONDS\n");
    return 2;
  }
  const std::string folder = argv[1];
  double idle = 10.0;
  std::vector<Save> saves;
  std::string repeat;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--idle" && i + 1 < argc) {
      idle = std::atof(argv[++i]);
    } else if (a == "--repeat" && i + 1 < argc) {
      repeat = argv[++i];
    } else if (a == "--old" && i + 1 < argc) {
      const std::string old = argv[++i];
      const size_t colon = old.find(':');
      const std::string path = folder + "/" + old.substr(0, colon);
      std::ofstream(path, std::ios::binary) << std::string(size_t(std::atoll(old.c_str() + colon + 1)), 'o');
      // This disk only: another may be slow too.
      const int fd = ::open(path.c_str(), O_RDONLY);
      if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
      }
    } else {
      Save s;
      const size_t colon = a.find(':');
      const size_t at = a.find('@');
      s.name = a.substr(0, colon);
      s.bytes = std::atoll(a.c_str() + colon + 1);
      if (at != std::string::npos) s.backup = a.substr(at + 1);
      saves.push_back(s);
    }
  }
  const std::string sys = platform::FromOsPath(folder);
  if (!platform::SaverStart()) return 1;
  const int64_t device0 = DeviceBytes(folder);
  const double t0 = platform::HighResClock();
  int32_t told = 0, toldOk = 0;
  auto done = [&](int32_t rc) {
    ++told;
    toldOk += rc == 0;
  };
  if (!repeat.empty()) {
    char name[256] = {};
    long long bytes = 0;
    double every = 1, seconds = 10;
    if (std::sscanf(repeat.c_str(), "%255[^:]:%lld:%lf:%lf", name, &bytes, &every, &seconds) != 4) return 2;
    const int64_t rss0 = RssKb();
    int32_t handed = 0, mostQueued = 0;
    for (double next = t0; platform::HighResClock() - t0 < seconds; next += every) {
      while (platform::HighResClock() < next) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      platform::SaveRequest r;
      r.Target = sys + "\\" + name;
      r.Bytes = Bytes(bytes, char('a' + handed % 26));
      r.Done = done;
      platform::SaveInBackground(std::move(r));
      ++handed;
      platform::SaverTakeOutcomes();
      mostQueued = std::max(mostQueued, platform::SaverPending());
      std::printf("t=%.1fs handed=%d pending=%d rss=%lldkB\n", platform::HighResClock() - t0, handed,
                  platform::SaverPending(), (long long)RssKb());
      std::fflush(stdout);
    }
    std::printf("repeat handed=%d most-pending=%d rss-before=%lldkB rss-after=%lldkB\n", handed, mostQueued,
                (long long)rss0, (long long)RssKb());
  } else {
    char fill = 'A';
    for (const Save& s : saves) {
      platform::SaveRequest r;
      r.Target = sys + "\\" + s.name;
      r.Bytes = Bytes(s.bytes, fill++);
      if (!s.backup.empty()) r.Backup = sys + "\\" + s.backup;
      r.Done = done;
      platform::SaveInBackground(std::move(r));
    }
  }
  const double s0 = platform::HighResClock();
  const int64_t deviceAtStop = DeviceBytes(folder);
  const int32_t rc = platform::SaverStop(idle, nullptr);
  const double s1 = platform::HighResClock();
  const int64_t device1 = DeviceBytes(folder);
  platform::SaverTakeOutcomes();
  std::printf("stop rc=%d after=%.1fs (handed over to stop %.1fs) told=%d ok=%d device-written=%.1fMB (%.1fMB during the wait)\n",
              rc, s1 - s0, s0 - t0, told, toldOk, device0 < 0 ? -1.0 : double(device1 - device0) / 1e6,
              device0 < 0 ? -1.0 : double(device1 - deviceAtStop) / 1e6);
  char fill = 'A';
  for (const Save& s : saves) {
    const std::string path = folder + "/" + s.name;
    struct stat st;
    const char* state = "missing";
    if (::stat(path.c_str(), &st) == 0) {
      state = "old";
      if (st.st_size == s.bytes) {
        std::ifstream in(path, std::ios::binary);
        char c = 0;
        in.get(c);
        if (c == fill) state = "in-place";
      }
    }
    std::printf("file %s %s\n", s.name.c_str(), state);
    ++fill;
  }
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string n = e.path().filename().string();
    if (platform::IsWorkFile(platform::FromOsPath(folder), platform::FromOsPath(n)))
      std::printf("left %s\n", n.c_str());
  }
  std::fflush(stdout);
  // A saver still held in a sync: no static destructors under it.
  std::_Exit(rc == 0 ? 0 : 3);
}
