#include "scanner/PlacedHeap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

namespace {

constexpr int kEntries = 300;
constexpr int kErased = 120;
constexpr int kKeyRange = 50;  // small: many equal keys

struct Item {
    int key = 0;
    std::size_t place = kNotInHeap;
};
using Heap = PlacedHeap<Item, int, &Item::key, &Item::place>;

// Entries of random keys, all pushed, some erased from wherever they sit.
class PlacedHeapTest : public ::testing::Test {
protected:
    PlacedHeapTest() {
        std::mt19937 random(7);
        for (int i = 0; i < kEntries; ++i)
            items_.push_back({std::uniform_int_distribution<int>(0, kKeyRange)(random)});
        for (Item& item : items_)
            heap_.push(item);
        std::vector<Item*> order;
        for (Item& item : items_)
            order.push_back(&item);
        std::shuffle(order.begin(), order.end(), random);
        for (int i = 0; i < kErased; ++i)
            heap_.erase(*order[size_t(i)]);
    }

    std::vector<int> keptKeys() const {
        std::vector<int> keys;
        for (const Item& item : items_)
            if (Heap::holds(item))
                keys.push_back(item.key);
        std::sort(keys.begin(), keys.end());
        return keys;
    }

    std::deque<Item> items_;
    Heap heap_;
};

TEST_F(PlacedHeapTest, EntriesLeaveTheTopInKeyOrderAfterOthersLeftFromTheMiddle) {
    const std::vector<int> expected = keptKeys();
    std::vector<int> popped;
    while (!heap_.empty()) {
        popped.push_back(heap_.top().key);
        heap_.erase(heap_.top());
    }
    EXPECT_EQ(popped, expected);
}

TEST_F(PlacedHeapTest, AVisitUpToALimitMeetsEveryEntryAtOrBelowItAndNoOther) {
    const int limit = kKeyRange / 3;
    std::vector<int> visited;
    heap_.visitUpTo(limit, [&](const Item& item) { visited.push_back(item.key); });
    std::sort(visited.begin(), visited.end());
    std::vector<int> expected = keptKeys();
    expected.erase(std::upper_bound(expected.begin(), expected.end(), limit), expected.end());
    EXPECT_EQ(visited, expected);
}

}  // namespace
