// The disk's pace: the kernel's written-bytes count of the device under a
// file, and the pace measured from samples of a count.
#include "platform/disk_pace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

TEST(DiskPace, MeasuresTheLastWindowAndWhenTheCountLastMoved) {
  platform::DiskPace pace(10.0);
  EXPECT_LT(pace.BytesPerSecond(0.0), 0.0);
  // 100 kB/s for 20 s, then nothing for 5 s: the window holds the last 10 s.
  for (int i = 0; i <= 200; ++i) pace.Sample(i * 0.1, uint64_t(i) * 10000);
  EXPECT_NEAR(pace.BytesPerSecond(5.0), 100000.0, 1.0);
  EXPECT_DOUBLE_EQ(pace.LastMoved(), 20.0);
  for (int i = 201; i <= 250; ++i) pace.Sample(i * 0.1, 2000000);
  EXPECT_NEAR(pace.BytesPerSecond(5.0), 50000.0, 1500.0);  // half the window wrote
  EXPECT_DOUBLE_EQ(pace.LastMoved(), 20.0);
  EXPECT_NEAR(pace.Span(), 10.0, 0.11);
  // Too short a span is no measure; a count that goes back starts anew.
  pace.Sample(25.1, 5);
  EXPECT_LT(pace.BytesPerSecond(0.5), 0.0);
  EXPECT_EQ(pace.Count(), 5u);
}

TEST(DiskPace, TheKernelCountsTheDeviceUnderAFileOrSaysItHasNone) {
  EXPECT_EQ(platform::KernelWrittenBytes(0), -1);
  // /proc lies on no block device.
  EXPECT_EQ(platform::KernelWrittenBytes(platform::DeviceOfPath("/proc/self")), -1);
  char tmpl[] = "/tmp/disk_pace_XXXXXX";
  const int fd = ::mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  const std::string bytes(1 << 16, 'x');
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  std::vector<int64_t> pieces;
  const int64_t back =
      platform::WriteBackInPieces(fd, 0, int64_t(bytes.size()), 16384, [&](int64_t n) { pieces.push_back(n); });
  const int64_t count = platform::KernelWrittenBytes(platform::DeviceOf(fd));
  ::close(fd);
  ::unlink(tmpl);
  // Where /tmp is a block device's, its count is a whole number of sectors.
  if (count >= 0) {
    EXPECT_EQ(count % 512, 0);
  }
  if (back > 0) {
    EXPECT_EQ(pieces, (std::vector<int64_t>{16384, 16384, 16384, 16384}));
  }
}

}  // namespace
