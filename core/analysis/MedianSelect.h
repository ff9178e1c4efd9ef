#pragma once

// Introselect for the k-d trees' median splits: faster than nth_element on
// point records, whose keys are read through a projection. Internal to the
// analysis code.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <utility>

namespace kdpl::detail {

// Sorts the short range [lo, hi] on the key.
template <class T, class Key>
void insertionSort(T* p, size_t lo, size_t hi, Key key)
{
    for (size_t i = lo + 1; i <= hi; ++i) {
        const T v = p[i];
        const float k = key(v);
        size_t j = i;
        while (j > lo && k < key(p[j - 1])) {
            p[j] = p[j - 1];
            --j;
        }
        p[j] = v;
    }
}

template <class T, class Key>
inline void order3(T* p, size_t a, size_t b, size_t c, Key key)
{
    if (key(p[b]) < key(p[a]))
        std::swap(p[a], p[b]);
    if (key(p[c]) < key(p[a]))
        std::swap(p[a], p[c]);
    if (key(p[c]) < key(p[b]))
        std::swap(p[b], p[c]);
}

// Afterwards p[m] holds the element a full sort on the key would put there,
// with nothing larger before it and nothing smaller after it. Keys must not
// be NaN.
template <class T, class Key>
void selectMedian(T* p, size_t lo, size_t hi, size_t m, Key key)
{
    constexpr size_t SmallRange = 32;
    int depthBudget = 2 * static_cast<int>(std::bit_width(hi - lo + 1));
    while (hi - lo + 1 > SmallRange) {
        if (depthBudget-- == 0) {
            // Quickselect keeps drawing poor pivots; heap selection bounds the cost.
            std::partial_sort(p + lo, p + m + 1, p + hi + 1, [key](const T& a, const T& b) { return key(a) < key(b); });
            return;
        }
        const size_t n = hi - lo + 1;
        const size_t mid = lo + (hi - lo) / 2;
        if (n > 512) {
            // Ninther on large ranges: fewer partition passes over the points.
            const size_t step = n / 8;
            order3(p, lo + step, mid - step, hi - step, key);
            order3(p, mid - step / 2, mid, mid + step / 2, key);
            order3(p, lo + 2 * step, mid + step, hi - 2 * step, key);
            order3(p, mid - step, mid, mid + step, key);
        }
        // Median of three to the front as the pivot, the largest at the back
        // as the sentinel of the forward scan.
        order3(p, lo, mid, hi, key);
        std::swap(p[lo], p[mid]);
        const float pivot = key(p[lo]);

        // Hoare partition; stopping on equal keys keeps runs of duplicates balanced.
        size_t i = lo;
        size_t j = hi + 1;
        for (;;) {
            do
                ++i;
            while (key(p[i]) < pivot); // p[hi] >= pivot stops it
            do
                --j;
            while (pivot < key(p[j])); // p[lo] is the pivot itself, so j stops there
            if (i >= j)
                break;
            std::swap(p[i], p[j]);
        }
        std::swap(p[lo], p[j]);

        if (m == j)
            return;
        if (m < j)
            hi = j - 1;
        else
            lo = j + 1;
    }
    insertionSort(p, lo, hi, key);
}

} // namespace kdpl::detail
