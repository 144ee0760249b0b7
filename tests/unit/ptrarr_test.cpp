#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ptrarr.h"
#include "testsupport.h"

namespace {

// Distinct addresses to store; the array never looks behind them.
char cells[256];

std::vector<void *> contents(const ptrarr &arr)
{
    return std::vector<void *>(arr.items, arr.items + arr.count);
}

} // namespace

TEST(PtrarrTest, CapacityDoublesFromSixteen)
{
    // Capacity right after the n-th add to an all-zero array.
    const std::pair<std::size_t, std::size_t> checkpoints[] = {
        {1, 16}, {16, 16}, {17, 32}, {32, 32}, {33, 64}, {64, 64}, {65, 128}};
    ptrarr arr{};
    std::size_t added = 0;
    for (auto [adds, capacity] : checkpoints) {
        SCOPED_TRACE("after " + std::to_string(adds) + " adds");
        for (; added < adds; added++)
            ASSERT_EQ(ptrarr_add(&arr, &cells[added]), 0);
        EXPECT_EQ(arr.capacity, capacity);
        EXPECT_EQ(arr.count, adds);
    }
    ptrarr_deinit(&arr);
}

TEST(PtrarrTest, RemoveMovesLastIntoSlot)
{
    void *a = &cells[0], *b = &cells[1], *c = &cells[2];
    const std::tuple<std::size_t, int, std::vector<void *>> rows[] = {
        {0, 0, {c, b}}, {1, 0, {a, c}}, {2, 0, {a, b}}, {3, -1, {a, b, c}},
        {SIZE_MAX, -1, {a, b, c}}};
    for (const auto &[index, result, after] : rows) {
        SCOPED_TRACE("index " + std::to_string(index));
        ptrarr arr{};
        for (void *p : {a, b, c})
            ASSERT_EQ(ptrarr_add(&arr, p), 0);
        EXPECT_EQ(ptrarr_remove(&arr, index), result);
        EXPECT_EQ(contents(arr), after);
        ptrarr_deinit(&arr);
    }
}

// Random adds and removes next to a std::vector making the same moves; the
// lookup of a random pointer (often stored twice) must find the first copy.
TEST(PtrarrTest, MatchesVectorModel)
{
    std::mt19937 rng(20240611);
    ptrarr arr{};
    std::vector<void *> model;
    for (int step = 0; step < 5000; step++) {
        SCOPED_TRACE("step " + std::to_string(step));
        if (rng() % 100 < 55) {  // adds win slightly, so the array crosses several capacities
            void *p = &cells[rng() % 64];
            ASSERT_EQ(ptrarr_add(&arr, p), 0);
            model.push_back(p);
        } else {
            std::size_t idx = rng() % (model.size() + 2);
            ASSERT_EQ(ptrarr_remove(&arr, idx), idx < model.size() ? 0 : -1);
            if (idx < model.size()) {
                model[idx] = model.back();
                model.pop_back();
            }
        }
        ASSERT_EQ(contents(arr), model);
        void *probe = &cells[rng() % 64];
        auto it = std::find(model.begin(), model.end(), probe);
        ASSERT_EQ(ptrarr_index(&arr, probe),
                  it == model.end() ? SIZE_MAX : static_cast<std::size_t>(it - model.begin()));
    }
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
        const std::vector<void *> elements = contents(arr);
        seam_fail_alloc_from(0);
        int res = ptrarr_add(&arr, &cells[99]);
        seam_alloc_reset();
        EXPECT_EQ(res, -1);
        EXPECT_EQ(std::tie(arr.items, arr.count, arr.capacity),
                  std::tie(before.items, before.count, before.capacity));
        EXPECT_EQ(contents(arr), elements);
        ptrarr_deinit(&arr);
    }
}
