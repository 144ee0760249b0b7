#include "ptrarr.h"

#include <cstdint>
#include <cstdlib>

int ptrarr_init(ptrarr *arr)
{
    *arr = ptrarr{};
    void *slots = std::malloc(PTRARR_INITIAL_CAPACITY * sizeof(void *));
    if (slots == nullptr)
        return -1;
    arr->items = static_cast<void **>(slots);
    arr->capacity = PTRARR_INITIAL_CAPACITY;
    return 0;
}

void ptrarr_deinit(ptrarr *arr)
{
    std::free(arr->items);
}

int ptrarr_add(ptrarr *arr, void *p)
{
    if (arr->count == arr->capacity) {
        std::size_t cap = arr->count == 0 ? PTRARR_INITIAL_CAPACITY : arr->count * 2;
        if (cap < arr->count || cap > SIZE_MAX / sizeof(void *))
            return -1;
        void *slots = std::realloc(arr->items, cap * sizeof(void *));
        if (slots == nullptr)
            return -1;
        arr->items = static_cast<void **>(slots);
        arr->capacity = cap;
    }
    arr->items[arr->count++] = p;
    return 0;
}

int ptrarr_remove(ptrarr *arr, std::size_t index)
{
    if (index >= arr->count)
        return -1;
    arr->items[index] = arr->items[arr->count - 1];
    arr->count--;
    return 0;
}
