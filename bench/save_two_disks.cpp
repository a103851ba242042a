// What a disk that stops writing does to saves elsewhere, and how long an act
// on a file waits while saves of it keep coming: hands saves to the saver as
// the interface does and prints when each outcome and the act are told.
//
//   bench_save_two_disks disks STICK OTHER
//     a 400-kB save into STICK (a disk whose writes stopped), then 0.5 s later
//     a 1-MB save into OTHER (another disk): `told NAME rc=.. at=..s` for each
//     told within 30 s, then the stop (idle 2 s): `stop rc=..`.
//   bench_save_two_disks act FOLDER
//     a 2-MB save of FOLDER/auto.tarvelo every 2 s for 40 s (an auto-save on a
//     disk slower than it), an act on the file asked at 3 s:
//     `act at=..s` when it ran (or `act never`), then the stop.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/paths.h"
#include "platform/saver.h"

namespace {

double Now() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Hand(const std::string& folder, const std::string& name, size_t bytes) {
  platform::SaveRequest r;
  r.Target = platform::FromOsPath(folder) + "\\" + name;
  r.Bytes = std::string(bytes, 'n');
  r.Done = [name](int32_t rc) { std::printf("told %s rc=%d at=%.1fs\n", name.c_str(), rc, Now()); };
  platform::SaveInBackground(std::move(r));
}

void Pump(double until) {
  while (Now() < until) {
    platform::SaverTakeOutcomes();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s disks STICK OTHER | act FOLDER\n", argv[0]);
    return 2;
  }
  Now();
  platform::SaverStart();
  if (std::strcmp(argv[1], "disks") == 0 && argc >= 4) {
    Hand(argv[2], "Small.tarvelo", 400000);
    Pump(0.5);
    Hand(argv[3], "Synth.tarvelo", 1000000);
    Pump(30.0);
  } else if (std::strcmp(argv[1], "act") == 0) {
    double actAt = -1;
    bool asked = false;
    for (double next = 0; Now() < 40.0;) {
      if (Now() >= next) {
        Hand(argv[2], "auto.tarvelo", 2000000);
        next += 2.0;
      }
      if (!asked && Now() >= 3.0) {
        asked = true;
        platform::SaverWhenDone(platform::FromOsPath(argv[2]) + "\\auto.tarvelo", [&actAt] { actAt = Now(); });
      }
      platform::SaverTakeOutcomes();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (actAt >= 0)
      std::printf("act at=%.1fs\n", actAt);
    else
      std::printf("act never (40 s)\n");
  }
  std::fflush(stdout);
  const int32_t rc = platform::SaverStop(2.0, nullptr);
  std::printf("stop rc=%d at=%.1fs\n", rc, Now());
  std::fflush(stdout);
  std::_Exit(0);
}
