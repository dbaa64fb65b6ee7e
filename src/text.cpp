#include "text.hpp"

#include <cstdint>

namespace quillmesh {

std::u32string decode_utf8(std::string_view text) {
    std::u32string out;
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
    return out;
}

std::size_t count_code_points(std::string_view text) {
    std::size_t n = 0;
    for (unsigned char b : text) {
        n += (b & 0xC0) != 0x80;
    }
    return n;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace quillmesh
