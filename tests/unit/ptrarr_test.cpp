#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "ptrarr.h"
#include "testsupport.h"

namespace {

// Distinct addresses to store; the array never looks behind them.
char cells[64];

std::vector<void *> contents(const ptrarr &arr)
{
    return std::vector<void *>(arr.items, arr.items + arr.count);
}

} // namespace

// Random adds and removes (the last element moves into the freed slot) next to
// a std::vector making the same moves. The capacity is 16 doubled as often as
// the largest count so far needs; the lookup of a pointer finds its first copy.
TEST(PtrarrTest, MatchesVectorModel)
{
    std::mt19937 rng(20240611);
    ptrarr arr{};
    std::vector<void *> model;
    std::size_t capacity = 0;
    for (int step = 0; step < 5000; step++) {
        SCOPED_TRACE("step " + std::to_string(step));
        std::size_t idx = rng() % (model.size() + 2);
        if (rng() % 100 < 55) {  // adds win slightly, so the array crosses several capacities
            ASSERT_EQ(ptrarr_add(&arr, &cells[idx % 64]), 0);
            model.push_back(&cells[idx % 64]);
            capacity = model.size() > capacity ? std::max<std::size_t>(16, capacity * 2) : capacity;
        } else {
            ASSERT_EQ(ptrarr_remove(&arr, idx), idx < model.size() ? 0 : -1);
            if (idx < model.size()) {
                model[idx] = model.back();
                model.pop_back();
            }
        }
        ASSERT_EQ(contents(arr), model);
        ASSERT_EQ(arr.capacity, capacity);
        void *probe = &cells[rng() % 64];
        auto it = std::find(model.begin(), model.end(), probe);
        ASSERT_EQ(ptrarr_index(&arr, probe),
                  it == model.end() ? PTRARR_NOT_FOUND : std::size_t(it - model.begin()));
    }
    EXPECT_EQ(ptrarr_remove(&arr, SIZE_MAX), -1);
    ptrarr_deinit(&arr);
}

TEST(PtrarrTest, FailedGrowthLeavesArrayUnchanged)
{
    for (std::size_t filled : {0, 16}) {
        SCOPED_TRACE(std::to_string(filled) + " elements");
        ptrarr arr{};
        for (std::size_t i = 0; i < filled; i++)
            ASSERT_EQ(ptrarr_add(&arr, &cells[i]), 0);
        const ptrarr before = arr;
        seam_fail_alloc(0);
        EXPECT_EQ(ptrarr_add(&arr, &cells[63]), -1);
        seam_fail_alloc(-1);
        EXPECT_TRUE(arr.items == before.items && arr.count == filled && arr.capacity == filled);
        for (std::size_t i = 0; i < filled; i++)
            EXPECT_EQ(arr.items[i], &cells[i]);
        ptrarr_deinit(&arr);
    }
}
