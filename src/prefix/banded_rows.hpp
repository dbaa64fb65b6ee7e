// The rows of the Levenshtein table along the path a depth-first walk
// follows: the row strategy of the follower (depth_first.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "prefix/band.hpp"

namespace quillmesh::walk {

// The rows of the current path, kept in slots (one per frame of the walk's
// stack). Each slot holds a row of the band, then the length and the entries
// of the row's spent-label list (collect()). Storage grows with the number of
// slots the walk actually uses, never with the bound or the term length alone.
class BandedRows {
public:
    BandedRows(std::u32string_view query, std::uint32_t bound)
        : band_(query, bound),
          slot_size_(band_.stride() + 1 + band_.width()),
          max_rows_(band_.max_depth() + 1) {
        grow(std::min<std::size_t>(max_rows_, 64));
        band_.root(cells_.data());
        if (bound == 0) {
            collect(0, 0);
        }
    }

    // Computes, into slot + 1, the row of a child labelled `label` at depth + 1
    // from the row at depth held in `slot` (slot 0 holds the root's row).
    // Returns the row minimum (bound + 1 when nothing is within the bound);
    // last() then gives the distance to the whole query.
    std::uint32_t step(std::size_t slot, std::size_t depth, char32_t label) {
        if (depth + 1 <= band_.max_depth() && slot + 1 >= rows_) {
            grow(slot + 2);
        }
        return band_.step(cells_.data() + offsets_[slot], cells_.data() + offsets_[slot + 1], band_.geometry(depth),
                          label, last_);
    }

    // The cell (depth + 1, n) of the last step(): the distance between the
    // child's path and the whole query, or bound + 1 if that exceeds the bound.
    std::uint32_t last() const { return last_; }

    // The row in slot + 1 takes the place of the one in `slot`, which is no
    // longer needed (its node has no children left to try).
    void replace(std::size_t slot) { std::swap(offsets_[slot], offsets_[slot + 1]); }

    // For the row of depth `depth` in `slot`, whose minimum is the bound:
    // notes the labels a child needs to stay within the bound.
    void collect(std::size_t slot, std::size_t depth) {
        std::uint32_t* row = cells_.data() + offsets_[slot];
        row[band_.stride()] = static_cast<std::uint32_t>(band_.spent_labels(row, depth, row + band_.stride() + 1));
    }

    // Whether a child labelled `label` of the collected row in `slot` can be
    // within the bound at all.
    bool admits(std::size_t slot, char32_t label) const {
        const std::uint32_t* row = cells_.data() + offsets_[slot];
        return admitted(row + band_.stride() + 1, row[band_.stride()], label);
    }

private:
    // The rows along the path cost depth x band: a long term with a large
    // bound on a deep index could otherwise ask for gigabytes. Past the budget
    // the query is refused (ValueError) rather than left to exhaust memory.
    void grow(std::size_t needed) {
        const std::size_t budget_rows = std::max<std::size_t>(2, kRowBudgetBytes / (slot_size_ * sizeof(std::uint32_t)));
        if (needed > budget_rows) {
            refuse_rows(band_.n(), band_.bound());
        }
        const std::size_t rows = std::min({max_rows_, budget_rows, std::max(needed, 2 * rows_)});
        cells_.resize(rows * slot_size_);
        for (; rows_ < rows; ++rows_) {
            offsets_.push_back(rows_ * slot_size_);
        }
    }

    Band band_;
    std::size_t slot_size_;  // the row, the length of its list, the list
    std::size_t max_rows_;
    std::size_t rows_ = 0;
    std::vector<std::uint32_t> cells_;
    std::vector<std::size_t> offsets_;  // slot -> start of its row
    std::uint32_t last_ = 0;
};

}  // namespace quillmesh::walk
