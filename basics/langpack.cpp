#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "basics/queues.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace QUARLE_BASICS {

namespace {

// A text line is taken whole, so a comma inside an unquoted text stays part of
// it instead of cutting the text and shifting every later entry. Blanks before
// the text are skipped like before any input item; a text in double quotes loses
// its surrounding quotes (so quotes keep leading blanks).
std::string PackText(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i >= line.size() || line[i] != '"') return line.substr(i);
  size_t last = line.find_last_not_of(" \t");
  if (last > i && line[last] == '"') return line.substr(i + 1, last - i - 1);
  // No closing quote at the end: the quoted part alone, as an input item reads it.
  size_t close = line.find('"', i + 1);
  if (close == std::string::npos) return line.substr(i + 1);
  return line.substr(i + 1, close - i - 1);
}

// The index an index item names, or -1 when it names none in 0..limit-1.
int64_t PackIndex(const std::string& item, uint32_t limit) {
  double v = std::nearbyint(platform::ItemValue(item));
  if (!(v >= 0.0) || v >= static_cast<double>(limit)) return -1;
  return static_cast<int64_t>(v);
}

int32_t OpenPack(const std::string& path, int32_t& fileNumber) {
  fileNumber = 0;
  int32_t rc;
  {
    platform::MutexGuard guard(MT_FILES);
    fileNumber = platform::FreeFile();
    if (fileNumber == 0) return -kErrNoFreeFile;
    rc = platform::FileOpen(fileNumber, path, platform::kFileInput);
  }
  if (rc != 0) fileNumber = 0;
  return rc;
}

// The texts a pack sets, by number, in file order; applied only once both of
// its files were read.
using PackTexts = std::vector<std::pair<uint32_t, std::string>>;

// Reads index and text lines into entries low..high-1 while counter stays below
// limit. A file that ends early keeps what was read.
void ReadPack(int32_t file, uint32_t low, uint32_t high, uint32_t limit, uint32_t& counter, PackTexts& texts) {
  std::string item;
  if (platform::FileReadItem(file, item) != 0) return;  // the first line is not used
  while (counter < limit && !platform::FileEof(file)) {
    if (platform::FileReadItem(file, item) != 0) break;
    int64_t index = PackIndex(item, high);
    if (index >= static_cast<int64_t>(low)) {
      std::string line;
      if (platform::FileReadLine(file, line) != 0) break;
      texts.emplace_back(static_cast<uint32_t>(index), PackText(line));
    }
    counter += 1;
  }
}

std::string PackPath(uint32_t language, const char* suffix) {
  char code[4] = {};
  std::memcpy(code, LanguageCodes[language], 3);
  code[3] = '\0';
  return platform::ProgramFolder() + "\\" + code + suffix;
}

}  // namespace

int32_t LoadLanguagePack(uint32_t language) {
  const uint32_t first = LanguageTable.firstCount;
  const uint32_t full = LanguageTable.fullCount;
  if (first < 1 || first > 10000) return -kErrBadParameter;
  if (language > 3) return -kErrBadParameter;
  if (!LanguageTable.entries) return -1;

  std::string path = PackPath(language, "_LANGPACK.txt");
  if (!platform::FileExists(path)) return -kErrFileNotFound;
  int32_t file = 0;
  int32_t rc = OpenPack(path, file);
  if (rc != 0) return rc;
  uint32_t counter = 0;
  PackTexts texts;
  ReadPack(file, 0, first, first, counter, texts);
  platform::FileClose(file);

  // A pack without its second file is refused whole: the texts in force stay,
  // rather than a language half shown while the setting falls back to English.
  if (full >= 1 && full > first) {
    path = PackPath(language, "_LANGPACK_EXT.txt");
    if (!platform::FileExists(path)) return -kErrFileNotFound;
    rc = OpenPack(path, file);
    if (rc != 0) return rc;
    ReadPack(file, first, full, full, counter, texts);
    platform::FileClose(file);
  }
  for (const auto& [n, text] : texts) LanguageTableSet(n, text.c_str());
  return 0;
}

}  // namespace QUARLE_BASICS
