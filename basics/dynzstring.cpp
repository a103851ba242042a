#include "basics/dynzstring.h"

#include <cstdlib>
#include <cstring>

namespace QUARLE_BASICS {

void DynZStringInit(DynZString& s) {
  s.text = nullptr;
  DynZStringAssign(s, "");
}

void DynZStringFree(DynZString& s) {
  if (s.text) std::free(s.text);
  s.text = nullptr;
}

static void AssignBytes(DynZString& s, const char* text, size_t len) {
  // The new buffer is installed before the old one is freed, so a holder may be
  // assigned a text that points into its own buffer.
  char* buffer = static_cast<char*>(std::calloc(len + 1, 1));
  if (buffer && len) std::memcpy(buffer, text, len);
  char* old = s.text;
  s.text = buffer;  // null after a failed allocation: reads as ""
  if (old) std::free(old);
}

void DynZStringAssign(DynZString& s, const char* text) {
  if (!text) text = "";
  AssignBytes(s, text, std::strlen(text));
}

void DynZStringAssign(DynZString& s, const std::string& text) {
  // Stop at an embedded terminator like every reader of the held text will.
  AssignBytes(s, text.c_str(), std::strlen(text.c_str()));
}

void DynZStringAssignFrom(DynZString& s, const DynZString& other) {
  DynZStringAssign(s, other.text ? other.text : "");
}

std::string DynZStringGet(const DynZString& s) { return s.text ? std::string(s.text) : std::string(); }

int32_t DynZStringLen(const DynZString& s) {
  return s.text ? static_cast<int32_t>(std::strlen(s.text)) : 0;
}

void ArrayHeaderInit(ArrayHeader& h) {
  h.count = 0;
  h.capacity = 0;
  h.lock = platform::MutexCreate();
}

void ArrayHeaderFree(ArrayHeader& h) {
  if (h.lock) platform::MutexDestroy(h.lock);
  h.lock = nullptr;
}

void IntPairCopy(ArrayHeader& dst, const ArrayHeader& src) {
  dst.count = src.count;
  dst.capacity = src.capacity;
}

}  // namespace QUARLE_BASICS
