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

}  // namespace quillmesh
