// Encoder and decoder of the serialized Trie.
//
// Integers are variable-length: 0..250 is one byte, larger values a marker
// byte (251: u16, 252: u32, 253: u64, 254: u128, 255: reserved) followed by
// the value little-endian. The encoder always writes the shortest form; the
// decoder accepts longer ones. Sequences are an element count followed by the
// elements; characters are raw UTF-8; options and booleans are one plain byte.
//
// Decoding never trusts a declared count for allocation: room is reserved for
// at most as many elements as the remaining bytes could hold (every element
// takes at least one byte, an identifier sixteen), so a huge count on a short
// input costs nothing and ends in UnexpectedEnd on the first missing element.
#include "prefix/codec.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "failures.hpp"
#include "large_pages.hpp"
#include "prefix/varint_runs.hpp"
#include "text.hpp"

namespace quillmesh {

namespace {

constexpr std::uint8_t kMarkerU16 = 251;
constexpr std::uint8_t kMarkerU32 = 252;
constexpr std::uint8_t kMarkerU64 = 253;
constexpr std::uint8_t kMarkerU128 = 254;
constexpr std::uint8_t kMaxSingleByte = 250;

// ---------------------------------------------------------------- encoding

std::size_t varint_size(std::uint64_t v) {
    return v <= kMaxSingleByte ? 1 : v <= 0xFFFF ? 3 : v <= 0xFFFFFFFF ? 5 : 9;
}

// UTF-8 width of a scalar value. A Trie holds only scalar values (the builder
// and the decoder both guarantee it); anything else is an internal fault, and
// writing it would produce bytes that can never be read back.
std::size_t char_size(char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        throw std::logic_error("label is not a Unicode scalar value: " +
                               std::to_string(static_cast<std::uint32_t>(c)));
    }
    return utf8_width(c);
}

// Written without branches so that the loop vectorises: a u32 takes 1 byte,
// 2 more past 250 and 2 more again past 0xFFFF.
template <class List>
std::size_t u32_seq_size(const List& values) {
    std::size_t extra = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint32_t v = values[i];
        extra += static_cast<std::size_t>(v > kMaxSingleByte) + static_cast<std::size_t>(v > 0xFFFFu);
    }
    return varint_size(values.size()) + values.size() + 2 * extra;
}

std::size_t payload_size(const PayloadView* p) {
    if (p == nullptr) {
        return 1;
    }
    return 1 + varint_size(p->total_count) + u32_seq_size(p->video_ids) + u32_seq_size(p->video_counts);
}

template <class T>
void store_le(std::uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (std::size_t i = 0; i < sizeof v; ++i) {
            p[i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    }
}

// One value as a marker byte and four value bytes, the position then moved
// by the value's true width: no branch on the width, which varies
// unpredictably in identifier lists. The bytes beyond the width are
// overwritten by what follows; they lie inside the room that
// encoded_size_bound() counts for the value (5 bytes).
std::uint8_t* put_u32(std::uint8_t* p, std::uint32_t v) {
    const bool wide = v > kMaxSingleByte;
    const bool wider = v > 0xFFFFu;
    p[0] = wider ? kMarkerU32 : wide ? kMarkerU16 : static_cast<std::uint8_t>(v);
    store_le(p + 1, v);
    return p + 1 + 2 * static_cast<std::size_t>(wide) + 2 * static_cast<std::size_t>(wider);
}

// Writes at a position that only moves forward: into room known to be large
// enough (encode_into, kSink false: no check at all), or into a buffer handed
// to a sink whenever what comes next might not fit (encode_to). Callers say
// how much may come next with ensure().
template <bool kSink>
class Writer {
public:
    explicit Writer(std::uint8_t* out) requires(!kSink) : p_(out), start_(out) {}
    Writer(std::uint8_t* buffer, std::size_t size, ByteSink& sink) requires(kSink)
        : p_(buffer), start_(buffer), limit_(buffer + size), sink_(&sink) {}

    void ensure(std::size_t n) {
        if constexpr (kSink) {
            if (static_cast<std::size_t>(limit_ - p_) < n) {
                flush();
            }
        }
    }
    void flush() {
        if (kSink && p_ != start_) {
            sink_->write(start_, static_cast<std::size_t>(p_ - start_));
            flushed_ += static_cast<std::size_t>(p_ - start_);
            p_ = start_;
        }
    }
    // Bytes written so far (those handed to the sink included).
    std::size_t written() const { return flushed_ + static_cast<std::size_t>(p_ - start_); }

    void byte(std::uint8_t b) { *p_++ = b; }

    void varint(std::uint64_t v) {
        ensure(9);
        if (v <= 0xFFFFFFFF) {
            p_ = put_u32(p_, static_cast<std::uint32_t>(v));
        } else {
            byte(kMarkerU64);
            store_le(p_, v);
            p_ += 8;
        }
    }

    // Values go in blocks, with room for the widest form of each ensured once
    // per block.
    static constexpr std::size_t kBlock = 4096;
    static constexpr std::size_t kBufferSize = 1 << 20;  // holds any block
    template <class List>
    void u32_seq(const List& values) {
        varint(values.size());
        u32_values(values);
    }

    // A payload: tag, total and the two lists. A list holds fewer than 2^32
    // entries (PayloadTable), so its length is a u32 too.
    void payload(const PayloadView& p) {
        ensure(1 + 2 * 5);
        byte(1);
        p_ = put_u32(p_, p.total_count);
        p_ = put_u32(p_, static_cast<std::uint32_t>(p.video_ids.size()));
        u32_values(p.video_ids);
        ensure(5);
        p_ = put_u32(p_, static_cast<std::uint32_t>(p.video_counts.size()));
        const std::span<const std::uint16_t> narrow = p.video_counts.narrow();
        if (narrow.size() == p.video_counts.size()) {
            u32_values(narrow);
        } else {
            u32_values(p.video_counts);
        }
    }

    // Labels, a block at a time: ASCII is one byte, the rest UTF-8.
    void characters(std::span<const char32_t> labels) {
        for (std::size_t begin = 0; begin < labels.size(); begin += kBlock) {
            const std::size_t end = std::min(labels.size(), begin + kBlock);
            ensure(4 * (end - begin));
            std::uint8_t* p = p_;
            for (std::size_t i = begin; i < end; ++i) {
                const char32_t c = labels[i];
                if (c < 0x80) {
                    *p++ = static_cast<std::uint8_t>(c);
                } else {
                    char_size(c);  // refuses a value that is not a scalar value
                    p += write_utf8(c, p);
                }
            }
            p_ = p;
        }
    }

    // Booleans: anything non-zero is true, and the byte written is always 00
    // or 01 so that it reads back.
    void booleans(std::span<const std::uint8_t> flags) {
        for (std::size_t begin = 0; begin < flags.size(); begin += kBlock) {
            const std::size_t end = std::min(flags.size(), begin + kBlock);
            ensure(end - begin);
            std::uint8_t* p = p_;
            for (std::size_t i = begin; i < end; ++i) {
                p[i - begin] = flags[i] != 0 ? 1 : 0;
            }
            p_ = p + (end - begin);
        }
    }

    void raw(const std::uint8_t* data, std::size_t n) {
        ensure(n);
        std::memcpy(p_, data, n);
        p_ += n;
    }

    // Into room known to be large enough: where the next byte goes, and
    // bytes written there by the caller.
    std::uint8_t* at() requires(!kSink) { return p_; }
    void move_to(std::uint8_t* p) requires(!kSink) { p_ = p; }

private:
    template <class List>
    void u32_values(const List& values) {
        for (std::size_t begin = 0; begin < values.size(); begin += kBlock) {
            const std::size_t end = std::min(values.size(), begin + kBlock);
            ensure(5 * (end - begin));
            std::uint8_t* p = p_;
            for (std::size_t i = begin; i < end; ++i) {
                p = put_u32(p, values[i]);
            }
            p_ = p;
        }
    }

    std::uint8_t* p_;
    std::uint8_t* start_;
    std::uint8_t* limit_ = nullptr;
    ByteSink* sink_ = nullptr;
    std::size_t flushed_ = 0;
};

// ---------------------------------------------------------------- decoding

[[noreturn]] void unexpected_end(std::size_t additional) {
    throw DecodeError("UnexpectedEnd { additional: " + std::to_string(additional) + " }");
}

[[noreturn]] void invalid_integer_type(const char* expected, const char* found) {
    throw DecodeError(std::string("InvalidIntegerType { expected: ") + expected + ", found: " + found + " }");
}

[[noreturn]] void unexpected_variant(const char* type_name, std::uint64_t found) {
    throw DecodeError(std::string("UnexpectedVariant { type_name: \"") + type_name +
                      "\", allowed: Range { min: 0, max: 1 }, found: " + std::to_string(found) + " }");
}

[[noreturn]] void invalid_char(const std::array<std::uint8_t, 4>& bytes) {
    throw DecodeError("InvalidCharEncoding([" + std::to_string(bytes[0]) + ", " + std::to_string(bytes[1]) + ", " +
                      std::to_string(bytes[2]) + ", " + std::to_string(bytes[3]) + "])");
}

// UTF-8 width announced by a first byte; 0 for a byte that cannot start one
// (a continuation byte, an always-overlong C0/C1, or F5..FF beyond U+10FFFF).
std::size_t utf8_width_of_first(std::uint8_t b) {
    if (b <= 0x7F) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

std::uint64_t byteswap64(std::uint64_t x) {
    std::uint64_t y = 0;
    for (int i = 0; i < 8; ++i) {
        y = (y << 8) | ((x >> (8 * i)) & 0xFF);
    }
    return y;
}

// Whether any of the eight bytes of x is 251 or more (a marker, or the
// reserved 255): b >= 251 exactly when its high bit is set and its low seven
// bits plus 5 carry into bit 7, which no byte passes on to the next.
bool has_marker_byte(std::uint64_t x) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    constexpr std::uint64_t kFive = 0x0505050505050505ull;
    return (((x & kLow7) + kFive) & x & kHigh) != 0;
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    if constexpr (std::endian::native != std::endian::little) {
        x = byteswap64(x);
    }
    return x;
}

std::uint32_t load32(const std::uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t x;
        std::memcpy(&x, p, sizeof x);
        return x;
    } else {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    }
}

// One bit per byte of x, bit i for byte i, from the bytes' high bits (the
// other bits of `high` zero): the eight bits gathered by one multiplication,
// whose partial products never overlap.
unsigned byte_mask(std::uint64_t high) {
    return static_cast<unsigned>(((high >> 7) * 0x0102040810204080ull) >> 56);
}

// Identifier lists mix one-byte values and 251-forms unpredictably, and read
// value by value each value's first byte must be read before the next one
// can be found. Eight bytes are parsed at once instead: which of them are
// 251 or more fixes where every value starts, as long as each value starting
// there is a one-byte value or a 251-form, and a table over those 256 masks
// holds the parse (the table-driven parse of Plaisance, Kurz & Lemire 2015,
// "Vectorized VByte Decoding", on this format's markers).
//
// The windows lie at fixed steps of eight bytes, and a table row also says
// where the first value of the next window starts (0, 1 or 2 bytes into it,
// when a 251-form starts at byte 6 or 7): the only thing one window's parse
// waits for is that offset, so the windows' loads and masks do not wait on
// one another.
struct Window {
    std::uint8_t count = 0;   // values that start inside the eight bytes
    std::uint8_t wide = 0;    // bit i: value i is a 251-form
    std::uint8_t starts = 0;  // bit s: a value starts at byte s
    std::uint8_t next = 0;    // where the next window's first value starts
    // Value i starts at start[i]; the one after them at start[count]
    // (8 + next); entries past that repeat it, so that every load of a
    // window's eight values stays within sixteen bytes of it.
    std::array<std::uint8_t, 9> start{};
};

constexpr std::size_t kMaxCarry = 2;  // a 251-form at byte 7 ends 2 bytes into the next window

constexpr std::array<std::array<Window, 256>, kMaxCarry + 1> make_windows() {
    std::array<std::array<Window, 256>, kMaxCarry + 1> table{};
    for (unsigned carry = 0; carry <= kMaxCarry; ++carry) {
        for (unsigned mask = 0; mask < 256; ++mask) {
            Window w;
            unsigned s = carry;
            while (s < 8) {
                const unsigned width = (mask >> s) & 1u ? 3 : 1;
                w.start[w.count] = static_cast<std::uint8_t>(s);
                w.starts = static_cast<std::uint8_t>(w.starts | 1u << s);
                if (width == 3) {
                    w.wide = static_cast<std::uint8_t>(w.wide | 1u << w.count);
                }
                ++w.count;
                s += width;
            }
            w.next = static_cast<std::uint8_t>(s - 8);
            for (unsigned i = w.count; i < w.start.size(); ++i) {
                w.start[i] = static_cast<std::uint8_t>(s);
            }
            table[carry][mask] = w;
        }
    }
    return table;
}

constexpr std::array<std::array<Window, 256>, kMaxCarry + 1> kWindows = make_windows();

// Whether the n bytes at a and at b are equal (a short run, compared eight
// bytes at a time in line rather than by a library call).
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    for (; n >= 8; n -= 8, a += 8, b += 8) {
        if (load64(a) != load64(b)) {
            return false;
        }
    }
    for (; n > 0; --n, ++a, ++b) {
        if (*a != *b) {
            return false;
        }
    }
    return true;
}

class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, std::size_t at)
        : p_(bytes.data() + at), start_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    std::size_t position() const { return static_cast<std::size_t>(p_ - start_); }

    std::uint8_t byte() {
        if (p_ == end_) {
            unexpected_end(1);
        }
        return *p_++;
    }

    // An unsigned 32-bit value: markers beyond 252 are type errors before
    // anything after them is read. While eight bytes remain, the three
    // common forms are read from one load without a branch on the form
    // (which varies unpredictably in identifier lists); the rest, and every
    // fault, take the checked path.
    std::uint32_t u32() {
        if (remaining() >= 8) {
            std::uint64_t x;
            std::memcpy(&x, p_, sizeof x);
            if constexpr (std::endian::native != std::endian::little) {
                x = byteswap64(x);
            }
            const auto first = static_cast<std::uint32_t>(x & 0xFF);
            if (first <= kMarkerU32) {
                const bool u16 = first == kMarkerU16;
                const bool u32 = first == kMarkerU32;
                const auto v16 = static_cast<std::uint32_t>((x >> 8) & 0xFFFF);
                const auto v32 = static_cast<std::uint32_t>(x >> 8);
                p_ += 1 + 2 * static_cast<std::size_t>(u16) + 4 * static_cast<std::size_t>(u32);
                return u32 ? v32 : u16 ? v16 : first;
            }
        }
        return u32_checked();
    }

    std::uint32_t u32_checked() {
        const std::uint8_t first = byte();
        if (first <= kMaxSingleByte) return first;
        switch (first) {
            case kMarkerU16: return static_cast<std::uint32_t>(little_endian(2));
            case kMarkerU32: return static_cast<std::uint32_t>(little_endian(4));
            case kMarkerU64: invalid_integer_type("U32", "U64");
            case kMarkerU128: invalid_integer_type("U32", "U128");
            default: invalid_integer_type("U32", "Reserved");
        }
    }

    // `n` unsigned 32-bit values into out[0, n), as n calls of u32() would
    // read them, with the position held in a register throughout. While
    // eight bytes remain, eight one-byte values in a row (most counts) are
    // taken at once.
    void u32_values(std::uint32_t* out, std::size_t n) {
        const std::uint8_t* p = p_;
        std::size_t k = 0;
        if (remaining() >= 8) {
            const std::uint8_t* const last = end_ - 8;
            while (k < n && p <= last) {
                std::uint64_t x;
                std::memcpy(&x, p, sizeof x);
                if constexpr (std::endian::native != std::endian::little) {
                    x = byteswap64(x);
                }
                if (n - k >= 8 && !has_marker_byte(x)) {
                    for (std::size_t i = 0; i < 8; ++i) {
                        out[k + i] = static_cast<std::uint32_t>((x >> (8 * i)) & 0xFF);
                    }
                    p += 8;
                    k += 8;
                    continue;
                }
                const auto first = static_cast<std::uint32_t>(x & 0xFF);
                if (first > kMarkerU32) {
                    break;
                }
                const bool u16 = first == kMarkerU16;
                const bool u32 = first == kMarkerU32;
                const auto v16 = static_cast<std::uint32_t>((x >> 8) & 0xFFFF);
                const auto v32 = static_cast<std::uint32_t>(x >> 8);
                p += 1 + 2 * static_cast<std::size_t>(u16) + 4 * static_cast<std::size_t>(u32);
                out[k++] = u32 ? v32 : u16 ? v16 : first;
            }
        }
        p_ = p;
        for (; k < n; ++k) {
            out[k] = u32_checked();
        }
    }

    // `n` identifiers into out[0, n), as n calls of u32() would read them;
    // `out` has room for PayloadTable::kRoomSpare more, which the window
    // parse writes over (eight values are formed per window, whatever it
    // holds). While sixteen bytes remain, eight at a time (kWindows); a
    // 252-form alone; the rest, and every fault, value by value.
    //
    // Returns whether each of them is in its shortest form (a 251-form above
    // 250, a 252-form above 0xFFFF), found from the window's bytes: a
    // 251-form at byte s is too long when byte s + 2 is 0 and byte s + 1 at
    // most 250.
    bool ids(std::uint32_t* out, std::size_t n) {
        constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
        constexpr std::uint64_t kHigh = 0x8080808080808080ull;
        constexpr std::uint64_t kFive = 0x0505050505050505ull;  // b >= 251: b's low seven bits + 5 carry
        constexpr std::uint64_t kFour = 0x0404040404040404ull;  // b >= 252
        const std::uint8_t* p = p_;
        std::size_t k = 0;
        unsigned too_long = 0;
        while (k < n && end_ - p >= 16) {
            // Windows at p, p + 8, ...: the first value of the window at
            // `base` starts `carry` bytes into it.
            const std::uint8_t* base = p;
            unsigned carry = 0;
            for (;;) {
                const std::uint64_t x = load64(base);
                const std::uint64_t marker_bytes = ((x & kLow7) + kFive) & x & kHigh;
                const unsigned marks = byte_mask(marker_bytes);
                const unsigned wider = byte_mask(((x & kLow7) + kFour) & x & kHigh);
                const Window& w = kWindows[carry][marks];
                for (std::size_t i = 0; i < 8; ++i) {
                    const std::uint32_t y = load32(base + w.start[i]);
                    out[k + i] = (w.wide >> i) & 1u ? (y >> 8) & 0xFFFFu : y & 0xFFu;
                }
                std::size_t take = w.count;
                bool stop = false;
                const unsigned beyond = wider & w.starts;  // values of other forms, or faults
                if (beyond != 0) {
                    take = 0;
                    while (((beyond >> w.start[take]) & 1u) == 0) {
                        ++take;
                    }
                    stop = true;
                }
                if (take >= n - k) {
                    take = n - k;
                    stop = true;
                }
                // Marker bytes followed by a byte of at most 250 and a zero
                // (byte s of `second` is byte s + 1 of the window, of `third`
                // byte s + 2, either of them possibly in the next window):
                // 251-forms too long if they start a value taken.
                const std::uint64_t after = load64(base + 8);
                const std::uint64_t second = (x >> 8) | (after << 56);
                const std::uint64_t third = (x >> 16) | (after << 48);
                const std::uint64_t suspect =
                    marker_bytes & ~((((third & kLow7) + kLow7) | third) | (((second & kLow7) + kFive) & second));
                if (suspect != 0) {
                    too_long |= byte_mask(suspect) & w.starts & ((1u << w.start[take]) - 1);
                }
                k += take;
                if (stop) {
                    p = base + w.start[take];
                    break;
                }
                base += 8;
                carry = w.next;
                if (end_ - base < 16) {
                    p = base + carry;
                    break;
                }
            }
            // A value of another form stopped the windows: a 252-form is read
            // here, anything else value by value below.
            if (k == n || end_ - p < 16 || *p != kMarkerU32) {
                break;
            }
            out[k] = load32(p + 1);
            too_long |= static_cast<unsigned>(out[k] <= 0xFFFFu);
            ++k;
            p += 5;
        }
        p_ = p;
        for (; k < n; ++k) {
            const std::uint8_t* const before = p_;
            out[k] = u32();
            too_long |= static_cast<unsigned>(static_cast<std::size_t>(p_ - before) != varint_size(out[k]));
        }
        return too_long == 0;
    }

    // Counts into out[0, n) while each is written in a form of at most 16
    // bits (one byte, or a 251-form), returning how many; the next, if any,
    // is left unread. `out` has room for PayloadTable::kRoomSpare more.
    // Clears `shortest` when one of them is a 251-form of a value below 251.
    std::size_t small_counts(std::uint16_t* out, std::size_t n, bool& shortest) {
        const std::uint8_t* p = p_;
        std::size_t k = 0;
        bool too_long = false;
        while (k < n && end_ - p >= 16) {
            const std::size_t run = varint_runs::small_run(p, out + k);
            if (run > 0) {
                const std::size_t take = std::min(run, n - k);
                k += take;
                p += take;
            } else if (*p == kMarkerU16) {
                out[k] = static_cast<std::uint16_t>(p[1] | p[2] << 8);
                too_long = too_long || out[k] <= kMaxSingleByte;
                ++k;
                p += 3;
            } else {
                break;
            }
        }
        while (k < n && p != end_) {
            if (*p <= kMaxSingleByte) {
                out[k++] = *p++;
            } else if (*p == kMarkerU16 && end_ - p >= 3) {
                out[k] = static_cast<std::uint16_t>(p[1] | p[2] << 8);
                too_long = too_long || out[k] <= kMaxSingleByte;
                ++k;
                p += 3;
            } else {
                break;
            }
        }
        p_ = p;
        shortest = shortest && !too_long;
        return k;
    }

    // A sequence length: read as a 64-bit value, then refused when it does
    // not fit 32 bits.
    std::uint32_t length() {
        const std::uint8_t first = byte();
        std::uint64_t v = first;
        if (first > kMaxSingleByte) {
            switch (first) {
                case kMarkerU16: v = little_endian(2); break;
                case kMarkerU32: v = little_endian(4); break;
                case kMarkerU64: v = little_endian(8); break;
                case kMarkerU128: invalid_integer_type("U64", "U128");
                default: invalid_integer_type("U64", "Reserved");
            }
        }
        if (v > 0xFFFFFFFF) {
            throw DecodeError("OutsideUsizeRange(" + std::to_string(v) + ")");
        }
        return static_cast<std::uint32_t>(v);
    }

    char32_t character() {
        if (p_ != end_ && *p_ < 0x80) {
            return *p_++;
        }
        std::array<std::uint8_t, 4> b{};
        b[0] = byte();
        const std::size_t width = utf8_width_of_first(b[0]);
        if (width == 0) {
            invalid_char(b);
        }
        if (width == 1) {
            return b[0];
        }
        if (remaining() < width - 1) {
            unexpected_end(width - 1 - remaining());
        }
        // The error carries every byte of the announced width, so all of
        // them are read before any is checked.
        bool continuations = true;
        for (std::size_t i = 1; i < width; ++i) {
            b[i] = *p_++;
            continuations = continuations && is_continuation(b[i]);
        }
        if (!continuations) {
            invalid_char(b);
        }
        // The first byte already excludes C0/C1 and F5..FF; what is left is
        // the second byte's range after E0 (overlong), ED (surrogates), F0
        // (overlong) and F4 (above U+10FFFF).
        const std::uint8_t second = b[1];
        if ((b[0] == 0xE0 && second < 0xA0) || (b[0] == 0xED && second > 0x9F) || (b[0] == 0xF0 && second < 0x90) ||
            (b[0] == 0xF4 && second > 0x8F)) {
            invalid_char(b);
        }
        switch (width) {
            case 2: return static_cast<char32_t>(((b[0] & 0x1Fu) << 6) | (b[1] & 0x3Fu));
            case 3: return static_cast<char32_t>(((b[0] & 0x0Fu) << 12) | ((b[1] & 0x3Fu) << 6) | (b[2] & 0x3Fu));
            default:
                return static_cast<char32_t>(((b[0] & 0x07u) << 18) | ((b[1] & 0x3Fu) << 12) |
                                             ((b[2] & 0x3Fu) << 6) | (b[3] & 0x3Fu));
        }
    }

    Uuid uuid() {
        Uuid u;
        if (remaining() < u.size()) {
            unexpected_end(u.size() - remaining());
        }
        std::memcpy(u.data(), p_, u.size());
        p_ += u.size();
        return u;
    }

    std::uint8_t boolean() {
        const std::uint8_t b = byte();
        if (b > 1) {
            throw DecodeError("InvalidBooleanValue(" + std::to_string(b) + ")");
        }
        return b;
    }

    IdMode id_mode() {
        const std::uint32_t v = u32();
        if (v > 1) {
            unexpected_variant("IdMode", v);
        }
        return static_cast<IdMode>(v);
    }

    // The payloads field, straight into the table's flat arrays. Its lists
    // grow as elements arrive (no room is reserved from a declared length)
    // and the spare capacity is released once the field is complete.
    //
    // A node with a single child usually carries that child's payload (an
    // index built here has a chain of such nodes under every branch), so the
    // later of the two slots shares the earlier one's record when they are
    // equal, as in the index that was encoded. The edges are only a hint
    // here: whatever they say, every slot reads back as stored.
    PayloadTable payload_table(std::span<const std::uint32_t> node_shifts,
                               std::span<const std::uint32_t> child_transitions) {
        const std::uint32_t n = length();
        const std::size_t room = std::min<std::size_t>(n, remaining());
        PayloadTable table;
        table.reserve(room);
        // Every list entry takes at least one byte of what remains, so half
        // of it bounds the ids or the counts of a typical index; room the
        // lists never reach costs only address space (no page is touched)
        // and spares copying them as they grow.
        table.reserve_entries(remaining() / 2, remaining() / 2);
        constexpr std::uint32_t kNone = 0xFFFFFFFF;
        LargeVector<std::uint32_t> partner(room, kNone);
        for (std::size_t p = 0; p < node_shifts.size(); ++p) {
            const std::size_t start = node_shifts[p];
            const std::size_t end = p + 1 < node_shifts.size() ? node_shifts[p + 1] : child_transitions.size();
            if (end <= start || end - start != 1 || start >= child_transitions.size()) {
                continue;
            }
            const std::size_t c = child_transitions[start];
            const std::size_t later = std::max(p, c);
            if (c != p && later < room && partner[later] == kNone) {
                partner[later] = static_cast<std::uint32_t>(std::min(p, c));
            }
        }
        // Where each slot's bytes begin, relative to the first slot's, while
        // they lie within 4 GiB of it: a slot whose bytes repeat its
        // partner's exactly holds the same payload, so it shares the record
        // without its lists being read or compared (bytes that differ, as
        // longer integer forms may, take the reading path below).
        const std::uint8_t* const first_slot = p_;
        const bool offsets_fit = remaining() <= 0xFFFFFFFFu;
        LargeVector<std::uint32_t> starts;
        if (offsets_fit) {
            starts.reserve(room + 1);
        }
        // Whether every slot so far is written in the shortest forms, as the
        // encoder writes: while it holds, bytes that differ from the
        // partner's spell another payload, and the values need no comparing.
        bool shortest = true;
        for (std::uint32_t i = 0; i < n; ++i) {
            if (offsets_fit && i <= room) {
                starts.push_back(static_cast<std::uint32_t>(p_ - first_slot));
            }
            if (offsets_fit && i < room && partner[i] != kNone) {
                const std::uint32_t j = partner[i];
                const std::uint8_t* same = first_slot + starts[j];
                const std::size_t length = starts[j + 1] - starts[j];
                if (*same == 1 && remaining() >= length && same_bytes(p_, same, length)) {
                    table.push_same_as(j);
                    p_ += length;
                    continue;
                }
            }
            const std::uint8_t* const slot_begin = p_;
            const std::uint8_t tag = byte();
            if (tag == 0) {
                table.push_absent();
                continue;
            }
            if (tag != 1) {
                unexpected_variant("core::option::Option<quillmesh::payload::Payload>", tag);
            }
            // The lists are read straight into the table, each into room
            // for no more entries than the remaining input could hold; a
            // list longer than that fails on its first missing entry.
            const std::uint32_t total = u32();
            table.open(total);
            const std::uint32_t n_ids = length();
            const std::size_t id_room = std::min<std::size_t>(n_ids, remaining());
            std::uint32_t* const id_list = table.id_room(id_room);
            const std::uint8_t* const ids_begin = p_;
            bool lists_shortest = ids(id_list, id_room);
            const std::uint8_t* const ids_end = p_;
            table.keep_ids(id_room);
            if (id_room < n_ids) {
                u32_checked();  // throws: the input is used up
            }
            const std::uint32_t n_counts = length();
            const std::size_t count_room = std::min<std::size_t>(n_counts, remaining());
            std::uint16_t* const count_list = table.count_room(count_room);
            const std::uint8_t* const counts_begin = p_;
            const std::size_t small = small_counts(count_list, count_room, lists_shortest);
            const std::uint8_t* const counts_end = p_;
            table.keep_counts(small);
            std::size_t large_bytes = 0;
            for (std::size_t k = small; k < count_room; ++k) {
                const std::uint32_t v = u32();
                large_bytes += varint_size(v);
                table.append_count(v);
            }
            if (count_room < n_counts) {
                u32_checked();  // throws: the input is used up
            }
            table.close();
            if (shortest) {
                // The lists' own bytes are what they are when each of their
                // values is in its shortest form; the rest is sized here.
                const std::size_t least = 1 + varint_size(total) + varint_size(n_ids) +
                                          static_cast<std::size_t>(ids_end - ids_begin) + varint_size(n_counts) +
                                          static_cast<std::size_t>(counts_end - counts_begin) + large_bytes;
                shortest = lists_shortest && least == static_cast<std::size_t>(p_ - slot_begin);
            }
            // Bytes that differ may still spell the same payload (a longer
            // integer form than needed): the values decide, most often at
            // the totals.
            if (!shortest && i < room && partner[i] != kNone) {
                table.share_last_if_same_as(partner[i]);
            }
        }
        table.shrink_to_fit();
        return table;
    }

    // A length, then that many elements read by `read_one`. Room is reserved
    // only for what the remaining input could hold, so the vector never grows
    // while reading: a count beyond that capacity fails with UnexpectedEnd
    // before the capacity is exceeded.
    template <class T, class ReadOne>
    std::vector<T> sequence(std::size_t min_element_bytes, ReadOne read_one) {
        const std::uint32_t n = length();
        std::vector<T> out;
        reserve_large(out, std::min<std::size_t>(n, remaining() / min_element_bytes));
        for (std::uint32_t i = 0; i < n; ++i) {
            out.push_back(read_one());
        }
        return out;
    }

    // A sequence of identifiers: the whole ones the input holds are copied at
    // once, and the first missing one fails as reading it alone would.
    std::vector<Uuid> uuids() {
        const std::uint32_t n = length();
        const std::size_t whole = std::min<std::size_t>(n, remaining() / sizeof(Uuid));
        std::vector<Uuid> out(whole);
        if (whole > 0) {
            std::memcpy(out.data(), p_, whole * sizeof(Uuid));
            p_ += whole * sizeof(Uuid);
        }
        if (whole < n) {
            uuid();  // throws UnexpectedEnd for what the first missing one lacks
        }
        return out;
    }

    // A sequence of booleans: the bytes the input holds are checked, then
    // copied at once; the first one above 1 fails before a missing one.
    std::vector<std::uint8_t> booleans(std::size_t& elements_at) {
        const std::uint32_t n = length();
        elements_at = position();
        const std::size_t held = std::min<std::size_t>(n, remaining());
        const std::uint8_t* bad = std::find_if(p_, p_ + held, [](std::uint8_t b) { return b > 1; });
        if (bad != p_ + held) {
            p_ = bad;
            boolean();  // throws InvalidBooleanValue
        }
        std::vector<std::uint8_t> out;
        reserve_large(out, held);
        out.assign(p_, p_ + held);
        p_ += held;
        if (held < n) {
            unexpected_end(1);
        }
        return out;
    }

    // A sequence of unsigned 32-bit values, read a block at a time into room
    // reserved for no more values than the remaining input could hold: once
    // that many are read the input is used up, and a longer count fails on
    // the next value as reading it alone would.
    std::vector<std::uint32_t> u32_seq() {
        const std::uint32_t n = length();
        std::vector<std::uint32_t> out;
        reserve_large(out, std::min<std::size_t>(n, remaining()));
        constexpr std::size_t kBlock = 4096;
        while (out.size() < n) {
            const std::size_t done = out.size();
            const std::size_t step = std::min({n - done, kBlock, out.capacity() - done});
            if (step == 0) {
                u32_checked();  // throws: the input is used up
            }
            out.resize(done + step);
            u32_values(out.data() + done, step);
        }
        return out;
    }

private:
    // `width` bytes of a fixed-width value after its marker; the missing
    // count is what the whole item lacks.
    std::uint64_t little_endian(std::size_t width) {
        if (remaining() < width) {
            unexpected_end(width - remaining());
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i) {
            v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
        }
        p_ += width;
        return v;
    }

    const std::uint8_t* p_;
    const std::uint8_t* start_;
    const std::uint8_t* end_;
};

}  // namespace

std::size_t encoded_size(const Trie& trie) {
    std::size_t n = u32_seq_size(trie.node_shifts);
    n += varint_size(trie.child_labels.size());
    for (char32_t c : trie.child_labels) {
        n += char_size(c);
    }
    n += u32_seq_size(trie.child_transitions);
    n += varint_size(trie.payloads.size());
    trie.payloads.for_each_slot([&](std::size_t, std::size_t, const PayloadView* p) { n += payload_size(p); });
    n += varint_size(trie.video_uuids.size()) + trie.video_uuids.size() * sizeof(Uuid);
    n += u32_seq_size(trie.video_int_ids);
    n += varint_size(static_cast<std::uint32_t>(trie.id_mode));
    n += varint_size(trie.is_terminal.size()) + trie.is_terminal.size();
    return n;
}

std::size_t encoded_size_bound(const Trie& trie) {
    // Every integer takes at most 5 bytes (a length at most 9), a label 4.
    constexpr std::size_t kLength = 9;
    constexpr std::size_t kU32 = 5;
    std::size_t n = kLength + kU32 * trie.node_shifts.size();
    n += kLength + 4 * trie.child_labels.size();
    n += kLength + kU32 * trie.child_transitions.size();
    // A slot takes a tag, a total and two lengths besides its entries.
    n += kLength + trie.payloads.size() * (1 + kU32 + 2 * kLength) + kU32 * trie.payloads.slot_entries();
    n += kLength + trie.video_uuids.size() * sizeof(Uuid);
    n += kLength + kU32 * trie.video_int_ids.size();
    n += kU32;
    n += kLength + trie.is_terminal.size();
    return n;
}

namespace {

// Lists into room known to be large enough, the position kept in a
// register: identifiers value by value, counts below 2^16 eight at a time
// where eight one-byte values follow.
template <class T>
std::uint8_t* put_u32s(std::uint8_t* p, const T* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        p = put_u32(p, values[i]);
    }
    return p;
}

std::uint8_t* put_counts(std::uint8_t* p, const std::uint16_t* counts, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        if (varint_runs::write_small(counts + i, p)) {
            p += 8;
        } else {
            p = put_u32s(p, counts + i, 8);
        }
    }
    return put_u32s(p, counts + i, n - i);
}

std::uint8_t* put_absent(std::uint8_t* p) {
    *p = 0;
    return p + 1;
}

std::uint8_t* put_payload(std::uint8_t* p, const PayloadView& v) {
    *p++ = 1;
    p = put_u32(p, v.total_count);
    p = put_u32(p, static_cast<std::uint32_t>(v.video_ids.size()));
    p = put_u32s(p, v.video_ids.data(), v.video_ids.size());
    p = put_u32(p, static_cast<std::uint32_t>(v.video_counts.size()));
    const std::span<const std::uint16_t> narrow = v.video_counts.narrow();
    if (narrow.size() == v.video_counts.size()) {
        return put_counts(p, narrow.data(), narrow.size());
    }
    for (const std::uint32_t c : v.video_counts) {
        p = put_u32(p, c);
    }
    return p;
}

// The payloads into room that holds them all (encode_into). Every slot
// that shares a record writes the bytes the record's first slot wrote, and
// those still lie in the output: they are copied from there instead of
// encoded from the lists again (about a third of a propagated word index's
// payload bytes). Where each record was first written is noted in a table of
// one entry per record, and a bit per record says whether it has been;
// offsets are 32-bit, so a record first written beyond 4 GiB of output is
// encoded at every slot.
//
// Meant for a table stored in slot order, where a record's first slot is
// mostly the one that owns it, so that the owning slots read the lists in
// record order: their lists are asked for kFar owning slots ahead. A sharing
// slot's record was mostly first written hundreds of thousands of slots
// before, its note and bytes long out of cache: the note is asked for kFar
// sharing slots ahead, and read kNear sharing slots ahead to ask for the
// bytes. Any table gets its own bytes, whichever slot of a record comes
// first.
void write_payloads_into(Writer<false>& w, const PayloadTable& table) {
    struct Written {
        std::uint32_t from;
        std::uint32_t size;
    };
    constexpr std::size_t kFar = 16;
    constexpr std::size_t kNear = 8;
    const std::size_t records = table.records();
    // A block of its own (written before it is read), in large pages.
    const LargeBytes block = large_bytes(records * sizeof(Written));
    Written* const notes = reinterpret_cast<Written*>(block.get());
    std::vector<std::uint64_t> noted((records + 63) / 64, 0);
    const auto is_noted = [&](std::size_t r) { return (noted[r / 64] >> (r % 64)) & 1u; };
    std::uint8_t* const base = w.at() - w.written();
    const std::size_t sharing = table.sharing_slots();
    std::size_t owning_met = 0;
    std::size_t sharing_met = 0;
    std::uint8_t* p = w.at();
    table.for_each_slot_record([&](std::size_t, std::size_t r, bool present, bool shared) {
        if (shared) {
            if (sharing_met + kFar < sharing) {
                __builtin_prefetch(notes + table.sharing_record(sharing_met + kFar));
            }
            if (sharing_met + kNear < sharing) {
                const std::size_t later = table.sharing_record(sharing_met + kNear);
                if (is_noted(later)) {
                    const Written seen = notes[later];
                    __builtin_prefetch(base + seen.from);
                    __builtin_prefetch(base + seen.from + seen.size - 1);
                }
            }
            ++sharing_met;
        } else {
            ++owning_met;
        }
        if (owning_met + kFar < records) {
            table.ask_lists_of_record(table.owned_record(owning_met + kFar), 2);
        }
        if (!present) {
            p = put_absent(p);
            return;
        }
        if (is_noted(r)) {
            const Written seen = notes[r];
            std::memcpy(p, base + seen.from, seen.size);
            p += seen.size;
            return;
        }
        std::uint8_t* const begin = p;
        p = put_payload(p, table.record_at(r));
        const auto from = static_cast<std::size_t>(begin - base);
        const auto size = static_cast<std::size_t>(p - begin);
        if (from + size <= 0xFFFFFFFFu) {
            notes[r] = Written{static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(size)};
            noted[r / 64] |= std::uint64_t{1} << (r % 64);
        }
    });
    w.move_to(p);
}

// The eight fields, written once for both kinds of output.
template <bool kSink>
void write_trie(Writer<kSink>& w, const Trie& trie) {
    w.u32_seq(trie.node_shifts);
    w.varint(trie.child_labels.size());
    w.characters(trie.child_labels);
    w.u32_seq(trie.child_transitions);
    w.varint(trie.payloads.size());
    if constexpr (!kSink) {
        // A table stored last first encodes every slot: its records' first
        // slots read their lists out of record order, and on a built word
        // index copying was measured slower than encoding every slot.
        if (!trie.payloads.stored_reversed()) {
            write_payloads_into(w, trie.payloads);
        } else {
            std::uint8_t* p = w.at();
            trie.payloads.for_each_slot([&](std::size_t, std::size_t, const PayloadView* v) {
                p = v == nullptr ? put_absent(p) : put_payload(p, *v);
            });
            w.move_to(p);
        }
    } else {
        trie.payloads.for_each_slot([&](std::size_t, std::size_t, const PayloadView* p) {
            if (p == nullptr) {
                w.ensure(1);
                w.byte(0);
            } else {
                w.payload(*p);
            }
        });
    }
    w.varint(trie.video_uuids.size());
    // The identifiers are one run of bytes, copied a block at a time (a
    // block fits the sink's buffer).
    const auto* ids = reinterpret_cast<const std::uint8_t*>(trie.video_uuids.data());
    const std::size_t id_bytes = trie.video_uuids.size() * sizeof(Uuid);
    constexpr std::size_t kIdBlock = Writer<kSink>::kBlock * sizeof(Uuid);
    for (std::size_t at = 0; at < id_bytes; at += kIdBlock) {
        w.raw(ids + at, std::min(id_bytes - at, kIdBlock));
    }
    w.u32_seq(trie.video_int_ids);
    w.varint(static_cast<std::uint32_t>(trie.id_mode));
    w.varint(trie.is_terminal.size());
    w.booleans(trie.is_terminal);
}

}  // namespace

std::size_t encode_into(const Trie& trie, std::uint8_t* out) {
    Writer<false> w(out);
    write_trie(w, trie);
    return w.written();
}

std::size_t encode_to(const Trie& trie, ByteSink& sink) {
    std::vector<std::uint8_t> buffer(Writer<true>::kBufferSize);
    Writer<true> w(buffer.data(), buffer.size(), sink);
    write_trie(w, trie);
    w.flush();
    return w.written();
}

std::vector<std::uint8_t> encode(const Trie& trie) {
    std::vector<std::uint8_t> out(encoded_size_bound(trie));
    const std::size_t size = encode_into(trie, out.data());
    if (size != encoded_size(trie)) {
        throw std::logic_error("the encoder wrote a different size than it measured");
    }
    out.resize(size);
    return out;
}

std::size_t decode_head(std::span<const std::uint8_t> bytes, Trie& trie) {
    Reader r(bytes, 0);
    trie.node_shifts = r.u32_seq();
    trie.child_labels = r.sequence<char32_t>(1, [&] { return r.character(); });
    trie.child_transitions = r.u32_seq();
    return r.position();
}

std::size_t decode_rest(std::span<const std::uint8_t> bytes, std::size_t at, std::span<const std::uint32_t> node_shifts,
                        std::span<const std::uint32_t> child_transitions, Trie& rest) {
    Reader r(bytes, at);
    rest.payloads = r.payload_table(node_shifts, child_transitions);
    rest.video_uuids = r.uuids();
    rest.video_int_ids = r.u32_seq();
    rest.id_mode = r.id_mode();
    std::size_t flags_at = 0;
    rest.is_terminal = r.booleans(flags_at);
    return flags_at;
}

Trie decode(std::span<const std::uint8_t> bytes) {
    Trie trie;
    const std::size_t at = decode_head(bytes, trie);
    decode_rest(bytes, at, trie.node_shifts, trie.child_transitions, trie);
    return trie;
}

}  // namespace quillmesh
