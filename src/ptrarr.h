// Growable array of untyped pointers. The array never owns its elements.
#ifndef QUORIX_PTRARR_H
#define QUORIX_PTRARR_H

#include <cstddef>

constexpr std::size_t PTRARR_INITIAL_CAPACITY = 16;

// An all-zero ptrarr is a valid empty array: ptrarr_add() may start from it,
// and ptrarr_deinit() accepts it.
struct ptrarr {
    void **items;
    std::size_t count;
    std::size_t capacity;
};

// Zero the array, then allocate PTRARR_INITIAL_CAPACITY slots.
// Returns 0, or -1 when the allocation fails (the array is then all zero).
[[nodiscard]] int ptrarr_init(ptrarr *arr);

// Free the slot array. The fields keep their values; elements are not freed.
void ptrarr_deinit(ptrarr *arr);

// Append p, doubling the capacity (16 from empty) when full.
// Returns 0, or -1 when growing fails (the array is then unchanged).
[[nodiscard]] int ptrarr_add(ptrarr *arr, void *p);

// Remove the element at index; the last element moves into its slot.
// Returns 0, or -1 when index is out of range.
[[nodiscard]] int ptrarr_remove(ptrarr *arr, std::size_t index);

#endif
