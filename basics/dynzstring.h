// Texts owned by records and the head of growable, locked arrays.
#pragma once
#include <cstdint>
#include <string>

#include "platform/threads.h"

namespace QUARLE_BASICS {

using platform::Mutex;

// A zero-terminated Windows-1252 text in one heap buffer; null reads as "".
// one thread: value
struct DynZString {
  char* text = nullptr;
};

void DynZStringInit(DynZString& s);
void DynZStringFree(DynZString& s);
void DynZStringAssign(DynZString& s, const char* text);
void DynZStringAssign(DynZString& s, const std::string& text);
void DynZStringAssignFrom(DynZString& s, const DynZString& other);
std::string DynZStringGet(const DynZString& s);
int32_t DynZStringLen(const DynZString& s);

// Head of a growable array: entries in use, slots allocated, and the lock that
// guards growth and appends. Arrays start at 16 slots and double when full.
// one thread: holder of lock, count and capacity
struct ArrayHeader {
  int32_t count = 0;
  int32_t capacity = 0;
  Mutex* lock = nullptr;  // one thread: maker (the lock itself)
};

constexpr int32_t kArrayInitialCapacity = 16;

void ArrayHeaderInit(ArrayHeader& h);  // count 0, capacity 0, a new lock
void ArrayHeaderFree(ArrayHeader& h);  // destroys the lock
void IntPairCopy(ArrayHeader& dst, const ArrayHeader& src);  // keeps dst's lock

}  // namespace QUARLE_BASICS
