#pragma once

#include <cstddef>
#include <utility>
#include <vector>

// The place of an entry that is in no heap.
inline constexpr std::size_t kNotInHeap = std::size_t(-1);

// A binary min-heap of entries by one of their keys, each entry keeping its
// place in the heap: an entry leaves from anywhere in O(log n), and once the
// heap has grown nothing is allocated. One entry may sit in several heaps,
// one place member for each.
template <typename Entry, typename Key, Key Entry::*keyOf, std::size_t Entry::*place>
class PlacedHeap {
public:
    bool empty() const { return items_.empty(); }
    Entry& top() const { return *items_.front().entry; }
    static bool holds(const Entry& entry) { return entry.*place != kNotInHeap; }

    // The entry's key must stay as it is while the entry is in the heap.
    void push(Entry& entry) {
        items_.push_back({entry.*keyOf, &entry});
        siftUp(items_.size() - 1);
    }

    void erase(Entry& entry) {
        const std::size_t at = entry.*place;
        entry.*place = kNotInHeap;
        const Item last = items_.back();
        items_.pop_back();
        if (at == items_.size())
            return;
        put(at, last);
        siftUp(at);
        siftDown(last.entry->*place);
    }

    // Calls `visit` with every entry whose key is at most `limit`; the heap
    // order skips every subtree above it.
    template <typename Visit>
    void visitUpTo(const Key& limit, Visit visit) const {
        visitFrom(0, limit, visit);
    }

private:
    // The key beside the entry: sifting compares without reaching into the entries.
    struct Item {
        Key key;  // a copy of the entry's
        Entry* entry;
    };

    template <typename Visit>
    void visitFrom(std::size_t at, const Key& limit, Visit& visit) const {
        if (at >= items_.size() || limit < items_[at].key)
            return;
        visit(*items_[at].entry);
        visitFrom(2 * at + 1, limit, visit);
        visitFrom(2 * at + 2, limit, visit);
    }

    void siftUp(std::size_t at) {
        const Item moving = items_[at];
        while (at > 0) {
            const std::size_t parent = (at - 1) / 2;
            if (!(moving.key < items_[parent].key))
                break;
            put(at, items_[parent]);
            at = parent;
        }
        put(at, moving);
    }

    void siftDown(std::size_t at) {
        const Item moving = items_[at];
        for (;;) {
            std::size_t child = 2 * at + 1;
            if (child >= items_.size())
                break;
            if (child + 1 < items_.size() && items_[child + 1].key < items_[child].key)
                ++child;
            if (!(items_[child].key < moving.key))
                break;
            put(at, items_[child]);
            at = child;
        }
        put(at, moving);
    }

    void put(std::size_t at, const Item& item) {
        items_[at] = item;
        item.entry->*place = at;
    }

    std::vector<Item> items_;
};
