// The message table, its lookup, "{$}" filling, language packs and the message hook.
#pragma once
#include <cstdint>
#include <string>

namespace QUARLE_BASICS {

enum MessageLevel : int32_t {
  kLevelInfo = 0,
  kLevelWarning = 1,
  kLevelError = 2,
  kLevelCritical = 3,
  kLevelFatal = 4,
};

// Every part reports through this one procedure (text, level).
using MessageHookFn = void (*)(const std::string& text, int32_t level);
extern MessageHookFn MessageHook;
// Calls MessageHook when set; a safe way to report from anywhere.
void Report(const std::string& text, int32_t level);

struct LanguageTableRecord {
  char** entries = nullptr;  // entry n: own heap buffer (2 x length + 1 bytes) or null
  uint32_t firstCount = 0;   // LanguageTableFirstCount: 116 once the first stage exists
  uint32_t fullCount = 0;    // LanguageTableCount: 608 once the table has grown
};
extern LanguageTableRecord LanguageTable;

constexpr uint32_t kLanguageTableFirstCount = 116;
constexpr uint32_t kLanguageTableCount = 608;

// Stores text as entry n (replacing the old one); n must be below the table size.
void LanguageTableSet(uint32_t n, const char* text);
// Frees every text and the array; both counts become 0.
void LanguageTableFree();

std::string LangText(uint32_t n, const char* englishDefault);
std::string InsertArg(const std::string& templ, const std::string& value);

extern char LanguageCodes[4][3];  // "EN", "FR", "ES", "XX"
int32_t LoadLanguagePack(uint32_t language);

}  // namespace QUARLE_BASICS
