// Walks a saved synth file's sections up to its keyboard states, for tests that
// look at what a save wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace synthfile {

struct Lists {
  int32_t names = 0;   // entries the session names (samples, filters, melodies)
  size_t statesAt = 0; // where the keyboard states start
};

template <typename Byte>
Lists WalkLists(const std::vector<Byte>& b) {
  const auto word = [&](size_t at) {
    int32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
  };
  Lists r;
  size_t at = 4 + 23;  // the magic
  at += 4 + word(at);  // tuning folder
  at += 4 + word(at);  // tuning file
  at += 8;             // gains
  for (int32_t list = 0; list < 3 && at < b.size(); ++list) {
    const int32_t n = word(at);
    at += 4;
    r.names += n;
    for (int32_t i = 0; i < n && at < b.size(); ++i) {
      if (list < 2) at += 4;
      at += 4 + word(at);
      at += 4 + word(at);
    }
  }
  r.statesAt = at + 4;
  return r;
}

}  // namespace synthfile
