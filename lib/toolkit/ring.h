// Rings of a capacity given at construction: the newest `capacity` items,
// oldest first. `Ring` is for one thread and overwrites its oldest item when
// full; `HandOffRing` passes items from one producer thread to one consumer
// thread and refuses an item when full, so that neither ever waits.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

template <typename T> class Ring {
public:
    explicit Ring(size_t capacity) : items(capacity) {}

    size_t capacity() const { return items.size(); }
    size_t size() const { return count; }
    bool empty() const { return count == 0; }

    // Keeps `item` as the newest; a full ring loses its oldest. A ring of
    // capacity 0 keeps nothing.
    void push(const T &item)
    {
        if (items.empty())
            return;
        items[(first + count) % items.size()] = item;
        if (count < items.size())
            ++count;
        else
            first = (first + 1) % items.size();
    }

    // The i-th oldest item: 0 the oldest, size() - 1 the newest.
    const T &operator[](size_t i) const { return items[(first + i) % items.size()]; }

    void clear()
    {
        first = 0;
        count = 0;
    }

private:
    std::vector<T> items;
    size_t first = 0; // where the oldest item is
    size_t count = 0;
};

template <typename T> class HandOffRing {
public:
    explicit HandOffRing(size_t capacity) : items(capacity) {}

    // The producer's side: false, and nothing kept, when the ring is full.
    bool put(const T &item)
    {
        uint64_t h = head.load(std::memory_order_relaxed);
        if (h - tail.load(std::memory_order_acquire) >= items.size())
            return false;
        items[h % items.size()] = item;
        head.store(h + 1, std::memory_order_release);
        return true;
    }

    // The consumer's side: the oldest item not yet taken, or false when
    // there is none.
    bool take(T &item)
    {
        uint64_t t = tail.load(std::memory_order_relaxed);
        if (t == head.load(std::memory_order_acquire))
            return false;
        item = items[t % items.size()];
        tail.store(t + 1, std::memory_order_release);
        return true;
    }

private:
    std::vector<T> items;
    std::atomic<uint64_t> head{0}; // items put in, by the producer
    std::atomic<uint64_t> tail{0}; // items taken out, by the consumer
};
