// The program's message table: the English default of every message number,
// the two stages in which start-up fills the table, and the language-pack step.
// Lookups go through QUARLE_BASICS::LangText (basics/messages.h).
#pragma once
#include <cstdint>

#include "basics/messages.h"

namespace Tarvelo {

// 740 numbers; 0..115 are filled by the first stage, 116..739 by the second.
constexpr uint32_t kMessageCount = QUARLE_BASICS::kLanguageTableCount;
constexpr uint32_t kMessageFirstCount = QUARLE_BASICS::kLanguageTableFirstCount;

extern const char* const kMessageDefaults[kMessageCount];

// The English default of message n; "" for a number beyond the table.
const char* MessageDefault(uint32_t n);

// First stage: a table of 116 entries holding the defaults of messages 0..115.
// 0, or the table's own error when it cannot be made (-21); a text that cannot
// be stored stays unset and its number shows the call site's default.
int32_t MessageTableFirstStage();

// Second stage: the table grows to 740 entries, keeping the texts of 0..115,
// and takes the defaults of 116..639. 0; -1 when the first stage never ran;
// -21 when the larger table cannot be made (the first stage stays in force).
int32_t MessageTableSecondStage();

// The language-pack step right after the second stage: language 0 is the
// built-in English and loads nothing. Any other index loads its pack; when that
// fails, language becomes 0 and the failure is reported at the error level
// ("Could not find or load the selected language. ..."). Texts the pack
// replaced before failing stay. Gives LoadLanguagePack's result (0 for English).
int32_t ApplyLanguagePack(int32_t& language);

}  // namespace Tarvelo
