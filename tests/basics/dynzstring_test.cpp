#include "basics/dynzstring.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace QUARLE_BASICS;

TEST(DynZString, NullHolderReadsEmpty) {
  DynZString s;
  EXPECT_EQ(DynZStringGet(s), "");
  EXPECT_EQ(DynZStringLen(s), 0);
  DynZString copy;
  DynZStringAssignFrom(copy, s);
  ASSERT_NE(copy.text, nullptr);
  EXPECT_EQ(DynZStringLen(copy), 0);
  DynZStringFree(copy);
  EXPECT_EQ(copy.text, nullptr);
  DynZStringFree(copy);  // a second free is harmless
}

TEST(DynZString, InitHoldsOneByteAndAssignReplaces) {
  DynZString s;
  DynZStringInit(s);
  ASSERT_NE(s.text, nullptr);
  EXPECT_EQ(s.text[0], '\0');
  DynZStringAssign(s, "caf\xE9");
  EXPECT_EQ(DynZStringGet(s), "caf\xE9");
  EXPECT_EQ(DynZStringLen(s), 4);
  DynZStringAssign(s, static_cast<const char*>(nullptr));
  EXPECT_EQ(DynZStringGet(s), "");
  DynZStringFree(s);
}

TEST(DynZString, AssignFromItselfAndFromItsOwnTail) {
  DynZString s;
  DynZStringInit(s);
  DynZStringAssign(s, "Sample 12");
  DynZStringAssign(s, s.text);
  EXPECT_EQ(DynZStringGet(s), "Sample 12");
  DynZStringAssignFrom(s, s);
  EXPECT_EQ(DynZStringGet(s), "Sample 12");
  DynZStringAssign(s, s.text + 7);  // reads from the buffer being replaced
  EXPECT_EQ(DynZStringGet(s), "12");
  DynZStringFree(s);
}

TEST(DynZString, CopiesNeverSharePointers) {
  DynZString a, b;
  DynZStringInit(a);
  DynZStringInit(b);
  DynZStringAssign(a, std::string("abc"));
  DynZStringAssignFrom(b, a);
  EXPECT_NE(a.text, b.text);
  DynZStringFree(a);
  EXPECT_EQ(DynZStringGet(b), "abc");
  DynZStringFree(b);
}

TEST(ArrayHeader, CopyKeepsOwnLockAndFreeTwiceIsHarmless) {
  ArrayHeader a, b;
  ArrayHeaderInit(a);
  ArrayHeaderInit(b);
  a.count = 5;
  Mutex* bLock = b.lock;
  IntPairCopy(b, a);
  EXPECT_EQ(b.count, 5);
  EXPECT_EQ(b.lock, bLock);
  ArrayHeaderFree(a);
  ArrayHeaderFree(a);
  ArrayHeaderFree(b);
}

TEST(ArrayHeader, LockCreationFailureLeavesNoLock) {
  platform::FailNextMutexCreations(1);
  ArrayHeader h;
  ArrayHeaderInit(h);
  EXPECT_EQ(h.lock, nullptr);
  ArrayHeaderFree(h);
}
