// Windows-1252, the system's text encoding, against Unicode at the edges (file
// names, the terminal, fonts, the clipboard).
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Code point of a Windows-1252 byte; the five bytes the code page leaves
// undefined map to 0.
uint32_t Cp1252ToUnicode(unsigned char c);
// Windows-1252 byte of a code point, or -1 when the code page has none. The five
// undefined bytes pass through as the C1 controls of the same value.
int32_t UnicodeToCp1252(uint32_t cp);
void AppendUtf8(std::string& out, uint32_t cp);
// The code point of the UTF-8 sequence at byte i, advancing i past it. False,
// with i moved one byte on, for a byte that starts no valid sequence (an
// overlong form included: it would smuggle in separators and terminators).
bool NextUtf8(const std::string& text, size_t& i, uint32_t& cp);
// A UTF-8 text to be shown (not a path: see platform/paths.h): each
// character the code page lacks, and each malformed byte, becomes '?'.
std::string TextFromUtf8(const std::string& utf8);

}  // namespace platform
