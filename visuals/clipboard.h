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
// What a paste gives: the clipboard's text as it is now (GetClipboardText), or,
// while it still holds this program's last copy, that copy as it was copied,
// its escape forms as written (a copied backslash form stays a form, not a
// folder separator). "" when the clipboard holds no text.
std::string PasteText();

}  // namespace QUARLE_VISUALS
