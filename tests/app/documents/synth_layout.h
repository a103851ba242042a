// Where the sections of a synth file start, found by walking its bytes, and
// the little-endian words read and written in place: what the synth file
// tests look at inside saved files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/filerecord.h"
#include "engine/keyboard.h"

namespace Tarvelo {
namespace doc_test {

constexpr size_t kMagicEnd = 4 + 23;

inline int32_t I32At(const std::vector<unsigned char>& b, size_t at) {
  int32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
inline void PutI32(std::vector<unsigned char>& b, size_t at, int32_t v) { std::memcpy(b.data() + at, &v, 4); }
inline void PutF32(std::vector<unsigned char>& b, size_t at, float v) { std::memcpy(b.data() + at, &v, 4); }

struct Layout {
  size_t tuningFolder, gains, samples, filters, melodies, states, output, records, midi;
  int32_t recordCount;
};
inline Layout Walk(const std::vector<unsigned char>& b) {
  Layout l{};
  size_t at = kMagicEnd;
  l.tuningFolder = at;
  at += 4 + I32At(b, at);
  at += 4 + I32At(b, at);
  l.gains = at;
  at += 8;
  l.samples = at;
  for (int32_t n = I32At(b, at), i = (at += 4, 0); i < n; ++i) {
    at += 4;
    at += 4 + I32At(b, at);
    at += 4 + I32At(b, at);
  }
  l.filters = at;
  for (int32_t n = I32At(b, at), i = (at += 4, 0); i < n; ++i) {
    at += 4;
    at += 4 + I32At(b, at);
    at += 4 + I32At(b, at);
  }
  l.melodies = at;
  for (int32_t n = I32At(b, at), i = (at += 4, 0); i < n; ++i) {
    at += 4 + I32At(b, at);
    at += 4 + I32At(b, at);
  }
  l.states = at;
  at += 4 + 2 * 16 * sizeof(KeyboardState);
  l.output = at;
  l.recordCount = I32At(b, at + 4);
  l.records = at + 8;
  l.midi = l.records + static_cast<size_t>(l.recordCount) * kModuleFileRecordSize;
  return l;
}

// Record i of a file's records (modules first, then the master presets).
inline ModuleFileRecord RecordAt(const std::vector<unsigned char>& b, const Layout& l, int32_t i) {
  ModuleFileRecord r;
  std::memcpy(static_cast<void*>(&r), b.data() + l.records + static_cast<size_t>(i) * kModuleFileRecordSize, sizeof r);
  return r;
}

}  // namespace doc_test
}  // namespace Tarvelo
