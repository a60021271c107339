#pragma once
// A bounded queue that several threads push to and one thread pops from, without locks:
// each slot carries a sequence number that says whose turn it is (push or pop). Pushing
// never waits; a full ring refuses.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace live {

template <typename T, std::size_t Capacity>
class NoticeRing {
  static_assert((Capacity & (Capacity - 1)) == 0, "capacity a power of two");

 public:
  NoticeRing() {
    for (std::size_t i = 0; i < Capacity; ++i) slots_[i].turn.store(i, std::memory_order_relaxed);
  }

  // Any thread. False when the ring is full.
  bool push(const T& value) {
    std::size_t at = tail_.load(std::memory_order_relaxed);
    for (;;) {
      Slot& slot = slots_[at & (Capacity - 1)];
      const std::size_t turn = slot.turn.load(std::memory_order_acquire);
      const auto lag = static_cast<std::ptrdiff_t>(turn) - static_cast<std::ptrdiff_t>(at);
      if (lag == 0) {
        if (tail_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
          slot.value = value;
          slot.turn.store(at + 1, std::memory_order_release);
          return true;
        }
      } else if (lag < 0) {
        return false;
      } else {
        at = tail_.load(std::memory_order_relaxed);
      }
    }
  }

  // The one consumer thread.
  bool pop(T& value) {
    Slot& slot = slots_[head_ & (Capacity - 1)];
    if (slot.turn.load(std::memory_order_acquire) != head_ + 1) return false;
    value = slot.value;
    slot.turn.store(head_ + Capacity, std::memory_order_release);
    ++head_;
    return true;
  }

 private:
  struct Slot {
    std::atomic<std::size_t> turn{0};
    T value{};
  };
  std::array<Slot, Capacity> slots_;
  alignas(64) std::atomic<std::size_t> tail_{0};
  alignas(64) std::size_t head_ = 0;
};

}  // namespace live
