// Large blocks, and large pages for them where the kernel offers them:
// writing tens of megabytes into fresh memory then takes one page fault per
// 2 MiB instead of one per 4 KiB.
//
// A hint on a block from the C library (ask_for_large_pages) helps only over
// the whole 2 MiB pages inside it that nothing has touched yet; a block of a
// few megabytes often has none, and the library may hand out heap memory
// that is already in small pages. A block from large_block_allocate has its
// own mapping instead, 2 MiB aligned and asked for large pages from its start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
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

namespace large_block {

constexpr std::size_t kPage = std::size_t{2} << 20;

// Blocks of this many bytes or more get a mapping of their own (a smaller
// one would waste most of a large page).
constexpr std::size_t kOwnMapping = std::size_t{1} << 20;

// Under AddressSanitizer every block stays the C library's, whose bounds it
// checks.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLMESH_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUILLMESH_ADDRESS_SANITIZER 1
#endif

#if defined(__linux__) && defined(MADV_HUGEPAGE) && !defined(QUILLMESH_ADDRESS_SANITIZER)
#define QUILLMESH_OWN_MAPPINGS 1
constexpr bool kMapped = true;
#else
constexpr bool kMapped = false;
#endif

// Whether a block of `bytes` has a mapping of its own.
constexpr bool own_mapping(std::size_t bytes) { return kMapped && bytes >= kOwnMapping; }

// The page size of the system (4 KiB where it cannot be read).
inline std::size_t small_page() {
#if defined(QUILLMESH_OWN_MAPPINGS)
    static const std::size_t page = [] {
        const long p = sysconf(_SC_PAGESIZE);
        return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
    }();
    return page;
#else
    return 4096;
#endif
}

// The length of the mapping of a block of `bytes`. A large page is backed
// whole on its first write, and the kernel puts one only where a whole one
// fits inside the mapping. So the mapping ends at a large page when that
// adds at most a quarter of one to the block (each small page taken
// instead would cost a page fault, which is dear here), and at a small page
// otherwise, the rest of the last large page then staying in small pages:
// a block costs at most 512 KiB more than it touches. (The mapping stays one
// region with one hint, which a block grows by remapping.)
inline std::size_t mapping_length(std::size_t bytes) {
    const std::size_t large = (bytes + kPage - 1) & ~(kPage - 1);
    if (large - bytes <= kPage / 4) {
        return large;
    }
    return (bytes + small_page() - 1) & ~(small_page() - 1);
}

#if defined(QUILLMESH_OWN_MAPPINGS)
// A fresh mapping of `length` bytes (a multiple of small_page()) at a kPage
// boundary: one of kPage more is made and its ends are cut off.
inline void* map_aligned(std::size_t length) {
    void* const raw = mmap(nullptr, length + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kPage - 1) & ~(kPage - 1);
    if (aligned > start) {
        munmap(raw, aligned - start);
    }
    if (const std::uintptr_t tail = start + length + kPage - (aligned + length); tail > 0) {
        munmap(reinterpret_cast<void*>(aligned + length), tail);
    }
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}
#endif

// `bytes` of uninitialised memory, aligned for any value; throws
// std::bad_alloc. Freed by deallocate with the same size.
inline void* allocate(std::size_t bytes) {
#if defined(QUILLMESH_OWN_MAPPINGS)
    if (own_mapping(bytes)) {
        return map_aligned(mapping_length(bytes));
    }
#endif
    void* const p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

inline void deallocate(void* p, std::size_t bytes) {
    if (p == nullptr) {
        return;
    }
#if defined(QUILLMESH_OWN_MAPPINGS)
    if (own_mapping(bytes)) {
        munmap(p, mapping_length(bytes));
        return;
    }
#endif
    std::free(p);
}

// Block p of `bytes` made one of `new_bytes` (> 0) holding its first `live`
// bytes (live <= both sizes): a mapped block grows by remapping its pages
// and shrinks in place, never copying; a block of the C library's by
// realloc. Throws std::bad_alloc and leaves p as it was when there is no
// memory.
inline void* reallocate(void* p, std::size_t bytes, std::size_t new_bytes, std::size_t live) {
    if (p == nullptr) {
        return allocate(new_bytes);
    }
    const bool was_mapped = own_mapping(bytes);
    const bool mapped = own_mapping(new_bytes);
    if (!was_mapped && !mapped) {
        void* const q = std::realloc(p, new_bytes);
        if (q == nullptr) {
            throw std::bad_alloc();
        }
        return q;
    }
#if defined(QUILLMESH_OWN_MAPPINGS)
    if (was_mapped && mapped) {
        const std::size_t old_length = mapping_length(bytes);
        const std::size_t length = mapping_length(new_bytes);
        if (length < old_length) {
            munmap(static_cast<char*>(p) + length, old_length - length);
        } else if (length > old_length) {
            void* const q = mremap(p, old_length, length, MREMAP_MAYMOVE);
            if (q == MAP_FAILED) {
                throw std::bad_alloc();
            }
            madvise(static_cast<char*>(q) + old_length, length - old_length, MADV_HUGEPAGE);
            return q;
        }
        return p;
    }
#endif
    void* const q = allocate(new_bytes);
    std::memcpy(q, p, live);
    deallocate(p, bytes);
    return q;
}

}  // namespace large_block

// A standard allocator over large_block, for the vectors of the derived
// forms that run to megabytes.
template <class T>
struct LargeBlockAllocator {
    using value_type = T;
    LargeBlockAllocator() = default;
    template <class U>
    LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(large_block::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { large_block::deallocate(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const LargeBlockAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeBlockAllocator<T>>;

// An uninitialised block of `bytes` from large_block, freed as it goes: for
// scratch space that is written before it is read.
struct LargeBlockDeleter {
    std::size_t bytes = 0;
    void operator()(std::uint8_t* p) const noexcept { large_block::deallocate(p, bytes); }
};
using LargeBytes = std::unique_ptr<std::uint8_t[], LargeBlockDeleter>;
inline LargeBytes large_bytes(std::size_t bytes) {
    return LargeBytes(static_cast<std::uint8_t*>(large_block::allocate(bytes)), LargeBlockDeleter{bytes});
}

}  // namespace quillmesh
