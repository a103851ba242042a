#include "basics/messages.h"

#include <cstdlib>
#include <cstring>

#include "basics/errors.h"

namespace QUARLE_BASICS {

std::atomic<MessageHookFn> MessageHook{nullptr};
LanguageTableRecord LanguageTable;
char LanguageCodes[4][3] = {"EN", "FR", "ES", "XX"};

namespace {

constexpr uint32_t kMaxTableCount = 10000;

uint32_t TableSlots() {
  return LanguageTable.firstCount > LanguageTable.fullCount ? LanguageTable.firstCount
                                                            : LanguageTable.fullCount;
}

// A text in its own zero-filled buffer of twice its length plus one byte.
char* NewEntryText(const char* text) {
  size_t len = std::strlen(text);
  char* buffer = static_cast<char*>(std::calloc(2 * len + 1, 1));
  if (buffer) std::memcpy(buffer, text, len);
  return buffer;
}

void FreeEntries() {
  if (!LanguageTable.entries) return;
  uint32_t slots = TableSlots();
  for (uint32_t i = 0; i < slots; ++i) std::free(LanguageTable.entries[i]);
  std::free(LanguageTable.entries);
  LanguageTable.entries = nullptr;
}

}  // namespace

void Report(const std::string& text, int32_t level) {
  MessageHookFn hook = MessageHook;
  if (hook) hook(text, level);
}

int32_t LanguageTableCreate(uint32_t firstCount) {
  if (firstCount < 1 || firstCount > kMaxTableCount) return -kErrBadParameter;
  FreeEntries();
  LanguageTable.fullCount = 0;
  LanguageTable.firstCount = 0;
  auto** entries = static_cast<char**>(std::calloc(firstCount, sizeof(char*)));
  if (!entries) return -kErrAllocation;
  LanguageTable.entries = entries;
  LanguageTable.firstCount = firstCount;
  return 0;
}

int32_t LanguageTableGrow(uint32_t fullCount) {
  if (!LanguageTable.entries) return -1;
  if (fullCount <= LanguageTable.firstCount || fullCount > kMaxTableCount) return -kErrBadParameter;
  uint32_t oldSlots = TableSlots();
  if (fullCount < oldSlots) return -kErrBadParameter;
  auto** entries = static_cast<char**>(std::calloc(fullCount, sizeof(char*)));
  if (!entries) return -kErrAllocation;
  for (uint32_t i = 0; i < oldSlots; ++i) {
    char* old = LanguageTable.entries[i];
    if (!old) continue;
    // A text whose new buffer cannot be had stays unset: its default shows.
    if (i < LanguageTable.firstCount) entries[i] = NewEntryText(old);
    std::free(old);
    LanguageTable.entries[i] = nullptr;
  }
  std::free(LanguageTable.entries);
  LanguageTable.entries = entries;
  LanguageTable.fullCount = fullCount;
  return 0;
}

int32_t LanguageTableSet(uint32_t n, const char* text) {
  if (!LanguageTable.entries) return -1;
  if (n >= TableSlots()) return -kErrBadParameter;
  char* buffer = NewEntryText(text ? text : "");
  std::free(LanguageTable.entries[n]);
  LanguageTable.entries[n] = buffer;
  return buffer ? 0 : -kErrAllocation;
}

void LanguageTableFree() {
  FreeEntries();
  LanguageTable.firstCount = 0;
  LanguageTable.fullCount = 0;
}

void LanguageTableRelease() { FreeEntries(); }

std::string LangText(uint32_t n, const char* englishDefault) {
  // The count is tested before the array is read, so this is safe before the
  // table exists and for numbers beyond either stage.
  uint32_t covering = n < kLanguageTableFirstCount ? LanguageTable.firstCount : LanguageTable.fullCount;
  char** entries = LanguageTable.entries;
  if (entries && covering > n && entries[n]) return std::string(entries[n]);
  return std::string(englishDefault ? englishDefault : "");
}

std::string InsertArg(const std::string& templ, const std::string& value) {
  size_t p = templ.find("{$}");
  if (p == std::string::npos) return templ + value;
  std::string out;
  out.reserve(templ.size() + value.size());
  out.append(templ, 0, p);
  out.append(value);
  out.append(templ, p + 3, std::string::npos);
  return out;
}

}  // namespace QUARLE_BASICS
