#include "prefix/tsv_row.hpp"

namespace quillmesh {

namespace {

// A run of 1 to 10 ASCII digits worth at most 4294967295; leading zeros are
// fine. Longer runs are left to the full reader.
bool read_u32(std::string_view text, std::uint32_t& out) {
    std::size_t i = 0;
    while (i + 1 < text.size() && text[i] == '0') {
        ++i;
    }
    if (text.empty() || text.size() - i > 10) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) {
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool read_uuid(std::string_view text, Uuid& out) {
    const bool grouped = text.size() == 36;
    if (!grouped && text.size() != 32) {
        return false;
    }
    std::size_t at = 0;
    for (std::size_t b = 0; b < 16; ++b) {
        if (grouped && (at == 8 || at == 13 || at == 18 || at == 23)) {
            if (text[at] != '-') {
                return false;
            }
            ++at;
        }
        const int hi = hex_value(text[at]);
        const int lo = hex_value(text[at + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[b] = static_cast<std::uint8_t>(hi << 4 | lo);
        at += 2;
    }
    return true;
}

}  // namespace

bool is_utf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        std::size_t width;
        unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            width = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            width = 3;
            low = b == 0xE0 ? 0xA0 : 0x80;
            high = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            width = 4;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) < width || p[1] < low || p[1] > high) {
            return false;
        }
        for (std::size_t i = 2; i < width; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
        }
        p += width;
    }
    return true;
}

bool read_tsv_row(std::string_view line, TsvRow& out) {
    const std::size_t tab1 = line.find('\t');
    if (tab1 == std::string_view::npos) {
        return false;
    }
    const std::size_t tab2 = line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos || line.find('\t', tab2 + 1) != std::string_view::npos) {
        return false;
    }
    const std::string_view term = line.substr(0, tab1);
    const std::string_view video = line.substr(tab1 + 1, tab2 - tab1 - 1);
    const std::string_view count = line.substr(tab2 + 1);
    if (term.empty() || term.find('\0') != std::string_view::npos || !is_utf8(term)) {
        return false;
    }
    if (!read_u32(count, out.count)) {
        return false;
    }
    // Digits alone are a number, whatever their length (32 digits are not
    // read as a UUID).
    if (!video.empty() && video.find_first_not_of("0123456789") == std::string_view::npos) {
        if (!read_u32(video, out.video.number)) {
            return false;
        }
        out.video.kind = IdKind::Int32;
    } else if (read_uuid(video, out.video.uuid)) {
        out.video.kind = IdKind::Uuid;
    } else {
        return false;
    }
    out.term = term;
    return true;
}

}  // namespace quillmesh
