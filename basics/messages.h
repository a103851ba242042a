// The message table, its lookup, "{$}" filling, language packs and the message hook.
#pragma once
#include <atomic>
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
// Set by the start-up and the shutdown (also while other threads still
// report, after a display loss); Report loads it on every thread.
extern std::atomic<MessageHookFn> MessageHook;
// Calls MessageHook when set; a safe way to report from anywhere.
void Report(const std::string& text, int32_t level);

// one thread: start-up, filled and freed around the threads' life
struct LanguageTableRecord {
  char** entries = nullptr;  // entry n: own heap buffer (2 x length + 1 bytes) or null
  uint32_t firstCount = 0;   // LanguageTableFirstCount: 116 once the first stage exists
  uint32_t fullCount = 0;    // LanguageTableCount: 740 once the table has grown
};
// Filled and freed by the start-up and the shutdown; LangText reads it on
// every thread.
// one thread: start-up, read-only between
extern LanguageTableRecord LanguageTable;

constexpr uint32_t kLanguageTableFirstCount = 116;
constexpr uint32_t kLanguageTableCount = 740;

// The array always holds max(firstCount, fullCount) entries.
// First stage: a zeroed array of firstCount entries (firstCount set). 0, -19 for
// a count outside 1..10000, -21 when the array cannot be allocated.
int32_t LanguageTableCreate(uint32_t firstCount);
// Second stage: a zeroed array of fullCount entries takes over the first-stage
// texts (each moved into a new buffer of 2 x length + 1 bytes); fullCount is set
// only once the new array exists. 0, -1 without a table, -19 for a count not
// above firstCount or above 10000, -21 when the array cannot be allocated.
int32_t LanguageTableGrow(uint32_t fullCount);
// Stores text as entry n (replacing the old one) in a buffer of 2 x length + 1
// bytes. 0, -1 without a table, -19 when n is not below the table size, -21 when
// the buffer cannot be allocated (the entry is then unset).
int32_t LanguageTableSet(uint32_t n, const char* text);
// Frees every text and the array; both counts become 0.
void LanguageTableFree();
// What the foundation's shutdown does: frees every text and the array; the two
// counts keep their values.
void LanguageTableRelease();

std::string LangText(uint32_t n, const char* englishDefault);
std::string InsertArg(const std::string& templ, const std::string& value);

extern char LanguageCodes[4][3];  // "EN", "FR", "ES", "XX"; one thread: start-up, read-only after
// Reads code + "_LANGPACK.txt" and code + "_LANGPACK_EXT.txt" from the program's
// folder over the table. 0 on success; -19, -1, -23, -24 or the open's own
// (positive) failure code otherwise: any non-zero result is a failure, and
// leaves every text as it was.
int32_t LoadLanguagePack(uint32_t language);

}  // namespace QUARLE_BASICS
