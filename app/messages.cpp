#include "app/messages.h"

#include "basics/errors.h"

namespace Tarvelo {

using namespace QUARLE_BASICS;

const char* MessageDefault(uint32_t n) { return n < kMessageCount ? kMessageDefaults[n] : ""; }

int32_t MessageTableFirstStage() {
  int32_t rc = LanguageTableCreate(kMessageFirstCount);
  if (rc != 0) return rc;
  for (uint32_t n = 0; n < kMessageFirstCount; ++n) LanguageTableSet(n, kMessageDefaults[n]);
  return 0;
}

int32_t MessageTableSecondStage() {
  int32_t rc = LanguageTableGrow(kMessageCount);
  if (rc != 0) return rc;
  for (uint32_t n = kMessageFirstCount; n < kMessageCount; ++n) {
    LanguageTableSet(n, kMessageDefaults[n]);
  }
  return 0;
}

int32_t ApplyLanguagePack(int32_t& language) {
  if (language == 0) return 0;
  int32_t rc = LoadLanguagePack(static_cast<uint32_t>(language));
  // A pack file that exists but cannot be opened gives a positive code: that
  // is a failure too, not a silently half-applied language.
  if (rc != 0) {
    language = 0;
    Report("Could not find or load the selected language. Reverting to default (English). " +
               ErrorText(rc),
           kLevelError);
  }
  return rc;
}

}  // namespace Tarvelo
