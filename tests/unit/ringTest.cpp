// The rings: the newest items oldest first, and a hand-off that refuses
// (lpfscope counts a sample as dropped) rather than overwrite.
#include "ring.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(ring, keepsTheNewestOldestFirst)
{
    const struct {
        size_t capacity;
        int pushed;
        std::vector<int> kept;
    } cases[] = {{0, 3, {}}, {3, 2, {0, 1}}, {3, 3, {0, 1, 2}}, {3, 7, {4, 5, 6}}};
    for (const auto &c : cases) {
        Ring<int> ring(c.capacity);
        for (int i = 0; i < c.pushed; ++i)
            ring.push(i);
        std::vector<int> kept;
        for (size_t i = 0; i < ring.size(); ++i)
            kept.push_back(ring[i]);
        EXPECT_EQ(kept, c.kept) << c.capacity << " " << c.pushed;
    }
}

TEST(ring, handOffRefusesWhenFull)
{
    HandOffRing<int> ring(3);
    std::vector<bool> put;
    put.reserve(5);
    for (int i = 0; i < 5; ++i)
        put.push_back(ring.put(i));
    EXPECT_EQ(put, (std::vector<bool>{true, true, true, false, false}));
    int item = -1;
    std::vector<int> taken;
    while (ring.take(item))
        taken.push_back(item);
    EXPECT_EQ(taken, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(ring.put(7) && ring.take(item) && item == 7 && !ring.take(item));
}

} // namespace
