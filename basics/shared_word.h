// A word that more than one thread touches. Its only accessors are whole
// loads, stores and exchanges (and LoadSettled, a plain read that says where
// it is one), so a plain read or write of it does not compile: the compiler,
// not a lucky test run, finds the side of a word that was left plain. It has the word's size, alignment and layout and is
// trivially copyable, so records that hold it keep their layout, copy as
// before (copies are taken between frames, under the owner's hold) and are
// stored in files as before. Where it is declared, say who writes it and who
// reads it.
#pragma once
#include <atomic>
#include <cstdint>
#include <type_traits>

namespace QUARLE_BASICS {

template <class T>
class Shared {
  static_assert(std::is_trivially_copyable_v<T>, "a shared word is a plain word");

 public:
  Shared() = default;
  constexpr explicit Shared(T value) noexcept : word_(value) {}

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

// The layout promise the records rely on.
static_assert(sizeof(Shared<int64_t>) == sizeof(int64_t) && alignof(Shared<int64_t>) == alignof(int64_t));
static_assert(sizeof(Shared<int32_t>) == sizeof(int32_t) && alignof(Shared<int32_t>) == alignof(int32_t));
static_assert(sizeof(Shared<float>) == sizeof(float) && alignof(Shared<float>) == alignof(float));
static_assert(sizeof(Shared<void*>) == sizeof(void*) && alignof(Shared<void*>) == alignof(void*));
static_assert(std::is_trivially_copyable_v<Shared<int64_t>> && std::is_standard_layout_v<Shared<int64_t>>);
static_assert(std::atomic_ref<int64_t>::is_always_lock_free && std::atomic_ref<int32_t>::is_always_lock_free &&
              std::atomic_ref<float>::is_always_lock_free);

}  // namespace QUARLE_BASICS
