// Runs of one-byte integers, the common case of the byte format's lists: a
// value 0..250 is its own byte, so a run of them is a plain byte copy either
// way, widened on reading and narrowed on writing.
//
// Each step has a portable form and, where the core is compiled with SSE2
// (x86-64) and not with QUILLMESH_SIMD_NONE, a vector form; the codec calls
// the chosen one (small_run / write_small), and the tests hold the two to
// the same answers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if !defined(QUILLMESH_SIMD_NONE) && defined(__SSE2__)
#define QUILLMESH_VARINT_SSE2 1
#include <emmintrin.h>
#endif

namespace quillmesh::varint_runs {

constexpr std::uint8_t kMaxSingleByte = 250;

// The sixteen bytes at p (all readable) widened into out[0, 16), and the
// number of them before the first one above 250 (16 when there is none):
// that many one-byte values start at p.
inline std::size_t small_run_portable(const std::uint8_t* p, std::uint16_t* out) {
    std::size_t run = 16;
    for (std::size_t i = 0; i < 16; ++i) {
        out[i] = p[i];
        if (p[i] > kMaxSingleByte && run == 16) {
            run = i;
        }
    }
    return run;
}

// Whether the eight counts at in[0, 8) are all at most 250, and if so their
// bytes written at out[0, 8).
inline bool write_small_portable(const std::uint16_t* in, std::uint8_t* out) {
    std::uint16_t any = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        any |= static_cast<std::uint16_t>(in[i] > kMaxSingleByte);
    }
    if (any != 0) {
        return false;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(in[i]);
    }
    return true;
}

#if defined(QUILLMESH_VARINT_SSE2)
inline std::size_t small_run_sse2(const std::uint8_t* p, std::uint16_t* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
    // b > 250 exactly when max(b, 251) == b.
    const __m128i big = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(static_cast<char>(kMaxSingleByte + 1))), v);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(big));
    return static_cast<std::size_t>(std::countr_zero(mask | 0x10000u));
}

inline bool write_small_sse2(const std::uint16_t* in, std::uint8_t* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    // Every count at most 250 exactly when none is left after taking 250.
    const __m128i over = _mm_subs_epu16(v, _mm_set1_epi16(kMaxSingleByte));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, _mm_setzero_si128())) != 0xFFFF) {
        return false;
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
    return true;
}
#endif

inline std::size_t small_run(const std::uint8_t* p, std::uint16_t* out) {
#if defined(QUILLMESH_VARINT_SSE2)
    return small_run_sse2(p, out);
#else
    return small_run_portable(p, out);
#endif
}

inline bool write_small(const std::uint16_t* in, std::uint8_t* out) {
#if defined(QUILLMESH_VARINT_SSE2)
    return write_small_sse2(in, out);
#else
    return write_small_portable(in, out);
#endif
}

}  // namespace quillmesh::varint_runs
