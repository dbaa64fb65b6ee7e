#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "prefix/label_search.hpp"

namespace quillmesh::walk {
namespace {

// The labels of one node, padded as the derived index pads them, at a given
// misalignment: each case is looked up for every label it holds and for
// those it lacks (U+0000, code points past one byte whose low byte is there).
struct LookupCase {
    const char* name;
    std::vector<std::uint8_t> labels;
};

std::vector<std::uint32_t> wants_for(const std::vector<std::uint8_t>& labels) {
    std::vector<std::uint32_t> wants{0, 0x100, 0x161, 0xFF, 0x1F600, 0xFFFFFFFFu, 'z' + 1};
    for (std::uint8_t b : labels) {
        wants.push_back(b);
        wants.push_back(0x100u + b);
    }
    return wants;
}

std::vector<std::uint8_t> run(std::size_t n, std::uint8_t from) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<std::uint8_t>(from + i));
    }
    return out;
}

TEST(LabelSearch, EveryVariantAgreesWithThePortableLoop) {
    std::mt19937 rng(1612);
    std::vector<LookupCase> cases = {
        {"no labels", {}},
        {"one label", {'a'}},
        {"a zero label among others", {0, 'a', 'b'}},
        {"byte 0xFF", {0xFF, 0xFE}},
        {"fifteen", run(15, 'a')},
        {"sixteen", run(16, 'a')},
        {"seventeen", run(17, 'a')},
        {"thirty-two", run(32, 'A')},
        {"sixty-three", run(63, 0x40)},
        {"sixty-four", run(64, 0x40)},
        {"sixty-five", run(65, 0x40)},
        {"two hundred", run(200, 0x30)},
    };
    for (int r = 0; r < 40; ++r) {
        std::vector<std::uint8_t> labels = run(256, 0);
        std::shuffle(labels.begin(), labels.end(), rng);
        labels.resize(rng() % 90);
        cases.push_back({"random distinct", labels});
    }
    for (const LookupCase& c : cases) {
        for (std::size_t skew = 0; skew < 3; ++skew) {
            // Padding as the index keeps it, filled with what a search must
            // not report: copies of the labels themselves.
            std::vector<std::uint8_t> room(skew + c.labels.size() + 16 + 64, 0);
            std::copy(c.labels.begin(), c.labels.end(), room.begin() + static_cast<std::ptrdiff_t>(skew));
            for (std::size_t k = 0; k < 16 && !c.labels.empty(); ++k) {
                room[skew + c.labels.size() + k] = c.labels[k % c.labels.size()];
            }
            const std::uint8_t* at = room.data() + skew;
            const std::size_t n = c.labels.size();
            for (std::uint32_t want : wants_for(c.labels)) {
                const std::size_t expected = find_label_scalar(at, 0, n, want);
                EXPECT_EQ(find_label(at, 0, n, want), expected) << c.name << " want " << want;
                std::size_t truth = n;
                for (std::size_t k = 0; k < n; ++k) {
                    if (byte_label(want) && c.labels[k] == want) {
                        truth = k;
                        break;
                    }
                }
                EXPECT_EQ(expected, truth) << c.name << " want " << want;
                // Sub-ranges, as a node's edges lie inside everyone's.
                if (n > 2) {
                    EXPECT_EQ(find_label(at, 1, n - 1, want), find_label_scalar(at, 1, n - 1, want))
                        << c.name << " inner range, want " << want;
                }
                for (std::size_t width : {std::size_t{0}, std::min<std::size_t>(n, 16), std::min<std::size_t>(n, 64)}) {
                    EXPECT_EQ(label_mask(at, width, want), label_mask_scalar(at, width, want))
                        << c.name << " width " << width << " want " << want << " (" << label_search_variant() << ")";
                }
            }
        }
    }
}

}  // namespace
}  // namespace quillmesh::walk
