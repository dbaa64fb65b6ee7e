// A hint that a large block about to be written should be backed by large
// pages where the kernel offers them: writing tens of megabytes into fresh
// memory then takes one page fault per 2 MiB instead of one per 4 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillmesh {

// Asks for large pages over the whole 2 MiB pages inside [data, data + size);
// nothing changes where the hint is not honoured, and blocks under 4 MiB are
// left alone.
inline void ask_for_large_pages(void* data, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kLarge = std::size_t{2} << 20;
    if (size < 2 * kLarge) {
        return;
    }
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kLarge - 1) & ~(kLarge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kLarge - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)data;
    (void)size;
#endif
}

// Room for `n` values in `v`, large pages asked for over it: for a vector
// about to be filled with millions of values. Only what is written is
// backed by memory.
template <class Vector>
void reserve_large(Vector& v, std::size_t n) {
    v.reserve(n);
    ask_for_large_pages(v.data(), v.capacity() * sizeof(typename Vector::value_type));
}

}  // namespace quillmesh
