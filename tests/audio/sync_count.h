// The process's fsync and fdatasync calls, whoever makes them (our code or a
// library): this test program defines both, counts each by the name of the
// thread that calls it, keeps what a regular file's first 88 bytes and length
// were at the call (what the sync makes the disk keep), and then syncs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace synccount {

struct FileAtSync {
  int64_t length = 0;      // bytes, at the call
  uint32_t riffSize = 0;   // the header's sizes then
  uint32_t factFrames = 0;
  uint32_t dataSize = 0;   // the data chunk's, at byte 84 (a header without text)
  std::string thread;
};

void Reset();
// Syncs made by threads of this name since the last Reset.
int32_t On(const std::string& threadName);
int32_t All();
// The syncs of regular files of at least 88 bytes, in order.
std::vector<FileAtSync> Files();

}  // namespace synccount
