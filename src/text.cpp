#include "text.hpp"

#include <cstdint>

namespace quillmesh {

std::u32string decode_utf8(std::string_view text) {
    std::u32string out;
    decode_utf8(text, out);
    return out;
}

void decode_utf8(std::string_view text, std::u32string& out) {
    out.clear();
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        std::uint8_t b = *p;
        char32_t c;
        std::size_t width;
        if (b < 0x80) {
            c = b;
            width = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            c = b & 0x1F;
            width = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            c = b & 0x0F;
            width = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            c = b & 0x07;
            width = 4;
        } else {
            out.push_back(U'\uFFFD');
            ++p;
            continue;
        }
        if (static_cast<std::size_t>(end - p) < width) {
            out.push_back(U'\uFFFD');
            ++p;
            continue;
        }
        bool ok = true;
        for (std::size_t i = 1; i < width; ++i) {
            std::uint8_t cont = p[i];
            if ((cont & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (cont & 0x3F);
        }
        if (!ok) {
            out.push_back(U'\uFFFD');
            ++p;
            continue;
        }
        out.push_back(c);
        p += width;
    }
}

std::size_t count_code_points(std::string_view text) {
    std::size_t n = 0;
    for (unsigned char b : text) {
        n += (b & 0xC0) != 0x80;
    }
    return n;
}

std::size_t write_utf8(char32_t c, unsigned char* out) {
    const auto v = static_cast<std::uint32_t>(c);
    if (v < 0x80) {
        out[0] = static_cast<unsigned char>(v);
        return 1;
    }
    if (v < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (v >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (v & 0x3F));
        return 2;
    }
    if (v < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (v >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (v & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (v >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((v >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((v >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (v & 0x3F));
    return 4;
}

void append_utf8(std::string& out, char32_t c) {
    unsigned char buf[4];
    out.append(reinterpret_cast<const char*>(buf), write_utf8(c, buf));
}

std::string encode_utf8(std::u32string_view text) {
    std::size_t bytes = 0;
    for (char32_t c : text) {
        bytes += utf8_width(c);
    }
    std::string out(bytes, '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    for (char32_t c : text) {
        p += write_utf8(c, p);
    }
    return out;
}

}  // namespace quillmesh
