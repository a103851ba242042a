// A word that more than one thread touches. Its only accessors are whole
// loads, stores and exchanges (and LoadSettled, a plain read that says where
// it is one), so a plain read or write of it does not compile: the compiler,
// not a lucky test run, finds the side of a word that was left plain. It has
// the word's size, alignment and layout and is trivially copyable, so records
// that hold it keep their layout and are stored in files as before. A plain
// copy does not compile either (`a = b` of two words, or of two records that
// hold one): a copy reads its source, so it is one more reader to account
// for. Copies go through CopyShared, whose callers copy at rest or under a
// frame hold that held. Where it is declared, say who writes it and who reads
// it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace QUARLE_BASICS {

template <class T>
class Shared {
  static_assert(std::is_trivially_copyable_v<T>, "a shared word is a plain word");

 public:
  Shared() = default;
  constexpr explicit Shared(T value) noexcept : word_(value) {}
  // No plain copy, of the word or of a record holding it: CopyShared. The
  // trivial moves are what keep the type, and records holding it, trivially
  // copyable (a type needs one eligible trivial copy or move); they take a
  // temporary (a record made or reset whole, `r = Record{}`), which no other
  // thread reads.
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  Shared(Shared&&) = default;
  Shared& operator=(Shared&&) = default;

  // Relaxed by default: the words carry values, not hand-overs. A hand-over
  // (data written, then a word that says it is there) passes an order.
  //
  // GCC treats every atomic builtin, relaxed ones too, as touching all memory,
  // so a relaxed load in a kernel would make it reload everything it keeps in
  // registers after it (the render calls its kernels once per sample). A
  // relaxed access is therefore one volatile access of the aligned word, a
  // single whole load or store on the targets built for; ThreadSanitizer
  // builds keep the atomic access so that it checks every side.
  T Load(std::memory_order order = std::memory_order_relaxed) const noexcept {
#if !defined(__SANITIZE_THREAD__)
    if (order == std::memory_order_relaxed) return *static_cast<const volatile T*>(&word_);
#endif
    return std::atomic_ref<T>(const_cast<T&>(word_)).load(order);
  }
  // A read where no other thread can store the word meanwhile: the render's
  // read of what only the render changes while it plays (links, voice
  // counts, trigger owners, Play and Record, values: the interface posts
  // those, or changes them at rest or under a frame hold). A plain read, which
  // the compiler merges and folds into what uses it. A store by another
  // thread meanwhile would be a race: ThreadSanitizer builds read plainly too
  // and report it, so they check the claim.
  T LoadSettled() const noexcept { return word_; }

  void Store(T value, std::memory_order order = std::memory_order_relaxed) noexcept {
#if !defined(__SANITIZE_THREAD__)
    if (order == std::memory_order_relaxed) {
      *static_cast<volatile T*>(&word_) = value;
      return;
    }
#endif
    std::atomic_ref<T>(word_).store(value, order);
  }
  T Exchange(T value, std::memory_order order = std::memory_order_relaxed) noexcept {
    return std::atomic_ref<T>(word_).exchange(value, order);
  }
  bool CompareExchange(T& expected, T desired,
                       std::memory_order order = std::memory_order_relaxed) noexcept {
    return std::atomic_ref<T>(word_).compare_exchange_strong(expected, desired, order);
  }
  T FetchAdd(T delta, std::memory_order order = std::memory_order_relaxed) noexcept
    requires std::is_integral_v<T>
  {
    return std::atomic_ref<T>(word_).fetch_add(delta, order);
  }
  T FetchOr(T bits, std::memory_order order = std::memory_order_relaxed) noexcept
    requires std::is_integral_v<T>
  {
    return std::atomic_ref<T>(word_).fetch_or(bits, order);
  }
  T FetchAnd(T bits, std::memory_order order = std::memory_order_relaxed) noexcept
    requires std::is_integral_v<T>
  {
    return std::atomic_ref<T>(word_).fetch_and(bits, order);
  }

 private:
  alignas(std::atomic_ref<T>::required_alignment) T word_;
};

// The one copy of shared words. A word: one whole load of the source, one
// whole store into the destination. An array of words: word by word. A record
// holding words: byte for byte, which reads every word of the source plainly,
// so the caller copies at rest (playback off, or a record no other thread
// reaches yet) or under a frame hold that held.
template <class T>
void CopyShared(Shared<T>& dst, const Shared<T>& src) noexcept {
  dst.Store(src.Load());
}
template <class T, std::size_t N>
void CopyShared(Shared<T> (&dst)[N], const Shared<T> (&src)[N]) noexcept {
  for (std::size_t i = 0; i < N; ++i) dst[i].Store(src[i].Load());
}
template <class R>
  requires(std::is_trivially_copyable_v<R> && !std::is_array_v<R>)
void CopyShared(R& dst, const R& src) noexcept {
  if (&dst != &src) std::memcpy(static_cast<void*>(&dst), &src, sizeof(R));
}

// The layout promise the records rely on.
static_assert(sizeof(Shared<int64_t>) == sizeof(int64_t) && alignof(Shared<int64_t>) == alignof(int64_t));
static_assert(sizeof(Shared<int32_t>) == sizeof(int32_t) && alignof(Shared<int32_t>) == alignof(int32_t));
static_assert(sizeof(Shared<float>) == sizeof(float) && alignof(Shared<float>) == alignof(float));
static_assert(sizeof(Shared<void*>) == sizeof(void*) && alignof(Shared<void*>) == alignof(void*));
static_assert(std::is_trivially_copyable_v<Shared<int64_t>> && std::is_standard_layout_v<Shared<int64_t>>);
// ... and the copy promise: no plain copy of a word or of a record holding one,
// while both stay trivially copyable.
namespace shared_word_check {
// one thread: maker, a type only checked, never made
struct Holder {
  int32_t plain;
  Shared<float> word;
};
}  // namespace shared_word_check
static_assert(!std::is_copy_assignable_v<Shared<float>> && !std::is_copy_constructible_v<Shared<float>>);
static_assert(!std::is_copy_assignable_v<shared_word_check::Holder> &&
              !std::is_copy_constructible_v<shared_word_check::Holder>);
static_assert(std::is_trivially_copyable_v<Shared<float>> &&
              std::is_trivially_copyable_v<shared_word_check::Holder>);
static_assert(std::atomic_ref<int64_t>::is_always_lock_free && std::atomic_ref<int32_t>::is_always_lock_free &&
              std::atomic_ref<float>::is_always_lock_free);

}  // namespace QUARLE_BASICS
