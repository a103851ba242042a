#include "basics/shared_word.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

using QUARLE_BASICS::CopyShared;
using QUARLE_BASICS::Shared;

namespace {

struct Record {
  int32_t plain;
  Shared<float> word;
  Shared<int64_t> words[3];
};

// `a = b` and `T a(b)` of a word, or of a record holding one, do not compile;
// the records stay trivially copyable where files store them whole.
template <class T>
constexpr bool kPlainCopyCompiles = requires(T& a, const T& b) { a = b; } || std::is_copy_constructible_v<T>;

static_assert(!kPlainCopyCompiles<Shared<float>> && !kPlainCopyCompiles<Shared<void*>>);
static_assert(!kPlainCopyCompiles<Record> && std::is_trivially_copyable_v<Record>);
static_assert(std::is_move_constructible_v<Record>, "a record made by value still returns");

}  // namespace

TEST(CopyShared, CopiesWordsArraysAndRecordsWhole) {
  Shared<float> a{1.5f}, b{-2.0f};
  CopyShared(a, b);
  EXPECT_EQ(a.Load(), -2.0f);
  CopyShared(a, a);
  EXPECT_EQ(a.Load(), -2.0f);

  Record src{7, Shared<float>(0.25f), {Shared<int64_t>(1), Shared<int64_t>(-1), Shared<int64_t>(1LL << 40)}};
  Record dst{};
  CopyShared(dst.words, src.words);
  EXPECT_EQ(dst.plain, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(dst.words[i].Load(), src.words[i].Load()) << i;
  Record whole{};
  CopyShared(whole, src);
  EXPECT_EQ(whole.plain, 7);
  EXPECT_EQ(whole.word.Load(), 0.25f);
  EXPECT_EQ(whole.words[2].Load(), 1LL << 40);
}
