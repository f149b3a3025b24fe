// A bounded queue for exactly one producer thread and one consumer thread,
// without locks: head is written only by the producer, tail only by the
// consumer. It holds at most capacity - 1 items (one slot always stays free
// so that a full queue and an empty one can be told apart) and allocates
// nothing after construction beyond what T itself does.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace Quillmar {

template <typename T> class LocklessQueue_SPSC {
  public:
    explicit LocklessQueue_SPSC(uint16_t capacity)
        : _slots(new T[capacity ? capacity : 1]()), _capacity(capacity ? capacity : 1), _head(0),
          _tail(0) {}
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    // Producer side. False when the queue is full (the item is not taken).
    bool push(T item) {
        const uint16_t head = _head.load(std::memory_order_relaxed);
        const uint16_t next = _increment(head);
        if (next == _tail.load(std::memory_order_acquire))
            return false;
        _slots[next] = std::move(item);
        _head.store(next, std::memory_order_release);
        return true;
    }

    // Consumer side. False when the queue is empty.
    bool pop(T* out) {
        const uint16_t tail = _tail.load(std::memory_order_relaxed);
        if (tail == _head.load(std::memory_order_acquire))
            return false;
        const uint16_t next = _increment(tail);
        *out = std::move(_slots[next]);
        _slots[next] = T();
        _tail.store(next, std::memory_order_release);
        return true;
    }

    uint16_t capacity() const { return _capacity; }

    // The index after `index`, wrapping to 0 at the capacity.
    uint16_t _increment(uint16_t index) const {
        const uint32_t next = uint32_t(index) + 1;
        return next >= _capacity ? 0 : uint16_t(next);
    }

  private:
    std::unique_ptr<T[]> _slots;
    const uint16_t _capacity;
    std::atomic<uint16_t> _head; // slot written last (producer)
    std::atomic<uint16_t> _tail; // slot read last (consumer)
};

} // namespace Quillmar
