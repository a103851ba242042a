// Copy and paste of the one-line text fields: plain 8-bit (Windows-1252) text
// exchanged with the system clipboard, converted to and from Unicode at the edge.
#pragma once
#include <cstdint>
#include <string>

namespace QUARLE_VISUALS {

// The clipboard's text as a typed text (platform::TypedText): a character the
// code page lacks takes its escape form, controls are left out. "" when the
// clipboard holds no text.
std::string GetClipboardText();
// Puts the text (up to its first zero byte) on the clipboard, each escape form
// as the character it stands for (platform::OutgoingText). Always 0: a refused
// clipboard is not reported.
int32_t SetClipboardText(const std::string& text);

}  // namespace QUARLE_VISUALS
