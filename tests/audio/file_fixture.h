// What the file tests of this folder share: a temporary folder per test, the
// local clock fixed at a moment, and little-endian reads of the bytes written.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "basics/timetext.h"

namespace audiotest {

using Bytes = std::vector<uint8_t>;

inline uint32_t ReadU32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
inline uint16_t ReadU16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
inline std::string ReadText(const Bytes& b, size_t at, size_t n = 4) {
  return std::string(b.begin() + long(at), b.begin() + long(at + n));
}
// The file's first `most` bytes (all of it by default), read in one go: tests
// poll growing files with it, and a byte at a time costs seconds under the
// sanitizers.
inline Bytes Load(const std::string& path, size_t most = SIZE_MAX) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0);
  Bytes b(size > 0 ? std::min(size_t(size), most) : 0);
  in.read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()));
  b.resize(size_t(in.gcount()));
  return b;
}

// What keeps the bytes from being a whole RIFF/WAVE file, "" when nothing:
// the RIFF size is the length - 8, every chunk fits, one of odd size is
// followed by its pad byte (0), and the chunks end with the file. `list`
// gets the LIST chunk's body, when there is one.
inline std::string RiffFaults(const Bytes& b, std::string* list = nullptr) {
  if (b.size() < 12 || ReadText(b, 0) != "RIFF" || ReadText(b, 8) != "WAVE") return "no RIFF/WAVE head";
  if (ReadU32(b, 4) != b.size() - 8) return "RIFF size " + std::to_string(ReadU32(b, 4)) + " for a file of " + std::to_string(b.size());
  bool data = false;
  for (size_t at = 12; at < b.size();) {
    if (b.size() - at < 8) return "a part chunk head at " + std::to_string(at);
    const std::string id = ReadText(b, at);
    const uint64_t size = ReadU32(b, at + 4);
    if (at + 8 + size > b.size()) return id + " at " + std::to_string(at) + " runs past the end";
    if (id == "LIST" && list) *list = ReadText(b, at + 8, size);
    data = data || id == "data";
    at += 8 + size;
    if (size % 2 == 0) continue;
    if (at >= b.size() || b[at] != 0) return id + " of odd size without its pad byte";
    ++at;
  }
  return data ? "" : "no data chunk";
}

// The moment the fixed clock reads.
inline QUARLE_BASICS::LocalDateTime g_fixedMoment;
inline QUARLE_BASICS::LocalDateTime FixedClock() { return g_fixedMoment; }

class TempFolderTest : public ::testing::Test {
 protected:
  // A fresh folder /tmp/<prefix>XXXXXX, and the local clock stopped at a moment.
  void StartIn(const std::string& prefix, int32_t year, int32_t month, int32_t day, int32_t hour,
               int32_t minute, int32_t second) {
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    g_fixedMoment = {year, month, day, hour, minute, second};
    QUARLE_BASICS::SetLocalClock(FixedClock);
  }
  void TearDown() override {
    QUARLE_BASICS::SetLocalClock(nullptr);
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

}  // namespace audiotest
