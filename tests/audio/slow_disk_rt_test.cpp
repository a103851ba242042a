// A take on a real slow, busy disk: ext4 on a loop device whose writes the
// blkio throttle limits to 2 MB/s (ten times what a take needs) while a copy
// onto the same disk keeps its write-back queue full, as a user's USB stick
// meets it. Needs root, losetup, mkfs.ext4 and cgroup v1's blkio throttle:
// skipped otherwise. About a minute; run alone with --gtest_filter='SlowDisk*'.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/recording.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/program.h"
#include "basics/queues.h"
#include "file_fixture.h"
#include "openal_env.h"
#include "platform/threads.h"

namespace {

namespace fs = std::filesystem;
using namespace QUARLE_AUDIO;
using namespace audiotest;

constexpr const char* kThrottle = "/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device";

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, p)) out += line;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The stick: made in SetUp, taken down (limit lifted first, so what the copy
// left in memory goes at once) in TearDown.
class SlowDisk : public TempFolderTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || ::access(kThrottle, W_OK) != 0 || Shell("command -v losetup").empty() ||
        Shell("command -v mkfs.ext4").empty())
      GTEST_SKIP() << "needs root, losetup, mkfs.ext4 and the blkio throttle";
    StartIn("tarvelo_stick_", 2031, 12, 31, 23, 59, 58);
    if (HasFatalFailure()) return;
    if (QUARLE_BASICS::CommandQueueCount() == 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
    }
    image_ = dir_ + "/disk.img";
    mount_ = dir_ + "/stick";
    ASSERT_EQ(Shell("truncate -s 512M " + image_ + " && mkfs.ext4 -q -F " + image_ + " && echo ok"), "ok");
    loop_ = Shell("losetup -f --show " + image_);
    ASSERT_EQ(loop_.rfind("/dev/loop", 0), 0u) << loop_;
    fs::create_directory(mount_);
    ASSERT_EQ(::mount(loop_.c_str(), mount_.c_str(), "ext4", 0, nullptr), 0) << std::strerror(errno);
    mounted_ = true;
    struct stat st;
    ASSERT_EQ(::stat(loop_.c_str(), &st), 0);
    device_ = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    Limit(2000000);
  }
  void TearDown() override {
    StopCopy();
    if (!device_.empty()) Limit(0);
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
    if (!loop_.empty()) Shell("losetup -d " + loop_);
    TempFolderTest::TearDown();
  }
  void Limit(int64_t bytesPerSecond) {
    std::ofstream(kThrottle) << device_ << " " << bytesPerSecond << "\n";
  }
  // A file manager's copy: 8-MiB blocks of a 256-MiB file, rewritten, never
  // synced: a long write-back queued ahead of the take's bytes.
  void StartCopy() {
    copy_ = std::thread([this] {
      std::vector<char> block(8 << 20, 'c');
      FILE* f = std::fopen((mount_ + "/copy.bin").c_str(), "wb");
      if (!f) return;
      for (int32_t n = 0; !stop_.load(); n = (n + 1) % 32) {
        if (n == 0) std::rewind(f);
        if (std::fwrite(block.data(), 1, block.size(), f) != block.size()) break;
        std::fflush(f);
      }
      std::fclose(f);
    });
  }
  void StopCopy() {
    stop_ = true;
    if (copy_.joinable()) copy_.join();
  }

  std::string image_, mount_, loop_, device_;
  bool mounted_ = false;
  std::thread copy_;
  std::atomic<bool> stop_{false};
};

// A copy onto the stick ends no take: the take's bytes wait behind the copy's
// write-back longer than the 20 s the writer once held ahead of the disk's
// confirmations (and the 2 s ring), but the disk writes ten times faster than
// the sound comes. Once the copy is done (and the stick's limit lifted, so
// the test ends soon) the take ends whole.
TEST_F(SlowDisk, ACopyOntoTheStickEndsNoTakeAndTheEndWaitsForIt) {
  QUARLE_BASICS::DynZStringAssign(QUARLE_BASICS::HomeFolder, mount_);
  ASSERT_TRUE(fs::create_directory(mount_ + "/AUDIO"));
  RecordingWriter writer;  // the kernel's count of the loop device
  ASSERT_TRUE(writer.Start(48000, 2 * 48000 * 2));  // 2 s
  StartCopy();
  platform::SleepMs(5000);  // its write-back under way
  const int32_t take = writer.HandOver(strdup("busy"), 1);
  ASSERT_GT(take, 0);
  // 26 s of sound in real time, 12 ms a buffer, as the audio thread hands it over.
  constexpr int32_t kBuffers = 2167;
  std::vector<int16_t> buffer(1152, 7);
  int32_t rc = 0, buffers = 0;
  const double start = platform::HighResClock();
  for (; rc == 0 && buffers < kBuffers; ++buffers) {
    rc = writer.Append(take, buffer.data(), 1152);
    const double due = start + 0.012 * (buffers + 1);
    const double now = platform::HighResClock();
    if (due > now) platform::SleepMs(uint32_t((due - now) * 1000.0) + 1);
  }
  writer.End();
  EXPECT_EQ(rc, 0) << "ended after " << buffers * 0.012 << " s";
  Limit(0);
  StopCopy();
  EXPECT_EQ(writer.Stop(10.0, nullptr), 0);
  EXPECT_TRUE(writer.EndUnconfirmed().empty());
  const Bytes b = Load(mount_ + "/AUDIO/busy.wav");
  ASSERT_GE(b.size(), 88u);
  EXPECT_EQ(ReadU32(b, 84), uint32_t(b.size() - 88));
  if (rc == 0) {
    EXPECT_EQ(b.size(), 88u + uint32_t(kBuffers) * 2304u);
  }
}

}  // namespace
