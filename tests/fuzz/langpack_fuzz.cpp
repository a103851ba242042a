// A language pack of any bytes (the two files split at the first form feed):
// reading it never fails the program, and every text it leaves in force can be
// shown, with its "{$}" filled.
#include "fuzz_support.h"

#include <cstring>

#include "app/fixed_tables.h"
#include "app/messages.h"
#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/paths.h"

using namespace Tarvelo;

namespace {

void Defaults() {
  for (uint32_t n = 0; n < QUARLE_BASICS::kLanguageTableCount; ++n)
    QUARLE_BASICS::LanguageTableSet(n, MessageDefault(n));
}

// A pack as a translator starts it: the English texts by number.
std::string PackOf(uint32_t low, uint32_t high) {
  std::string text = "1\r\n";
  for (uint32_t n = low; n < high; ++n) {
    text += std::to_string(n) + "\r\n";
    const std::string t = MessageDefault(n);
    text += (t.find(',') != std::string::npos || t.find(' ') == 0 ? "\"" + t + "\"" : t) + "\r\n";
  }
  return text;
}

}  // namespace

void FuzzSetUp() {
  fuzz::Check(MessageTableFirstStage() == 0 && MessageTableSecondStage() == 0, "message table");
  SetLanguageAndLevelTables();
  platform::SetProgramFolderOverride(fuzz::Home());
}

void FuzzSeeds(const std::string& dir) {
  const std::string pack = PackOf(0, QUARLE_BASICS::kLanguageTableFirstCount) + "\f" +
                           PackOf(QUARLE_BASICS::kLanguageTableFirstCount, QUARLE_BASICS::kLanguageTableCount);
  fuzz::WriteFile(fuzz::Os("seed.txt"), reinterpret_cast<const uint8_t*>(pack.data()), pack.size());
  fuzz::KeepSeed(dir, "seed.txt", "english.txt");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const void* cut = std::memchr(data, '\f', size);
  const size_t first = cut ? static_cast<size_t>(static_cast<const uint8_t*>(cut) - data) : size;
  fuzz::WriteFile(fuzz::Os("FR_LANGPACK.txt"), data, first);
  fuzz::WriteFile(fuzz::Os("FR_LANGPACK_EXT.txt"), data + first + (cut ? 1 : 0), size - first - (cut ? 1 : 0));
  int32_t language = 1;
  ApplyLanguagePack(language);
  for (uint32_t n = 0; n < QUARLE_BASICS::kLanguageTableCount; ++n) {
    const std::string text = QUARLE_BASICS::LangText(n, MessageDefault(n));
    const std::string filled = QUARLE_BASICS::InsertArg(text, "{$}x");
    fuzz::Check(filled.size() <= text.size() + 4, "one placeholder filled");
  }
  for (int32_t code = -60; code <= 60; ++code) QUARLE_BASICS::ErrorText(code);
  Defaults();
  return 0;
}
