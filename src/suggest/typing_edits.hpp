// How a typed term differs from a stored one, measured two ways in one pass
// of the edit-distance table:
// - the edit distance with unit costs: Levenshtein's, or with transpositions
//   the optimal string alignment distance (an adjacent swap is one edit, and
//   no letter is edited twice; Damerau 1964, restricted as by Lowrance and
//   Wagner 1975);
// - the cost of the cheapest way to type the stored term as the typed one,
//   each edit priced by what it edits (a doubled letter dropped, a vowel for
//   a vowel, a neighbouring key, a letter group that sounds alike): the
//   channel half of a noisy-channel corrector (Kernighan, Church and Gale
//   1990; letter groups as in Brill and Moore 2000). Costs are negative log
//   probabilities, so lower is likelier.
// The prices are the caller's (quillmesh/typing_model.py documents them and
// where they come from); which edit belongs to which price is decided here.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillmesh {

// The price of each kind of edit, in the order the package passes them.
struct EditCosts {
    double substitute = 1;           // any other letter for a letter
    double substitute_vowel = 1;     // a vowel for a vowel (y counts as one)
    double substitute_sound = 1;     // a letter or group that sounds alike
    double substitute_near_key = 1;  // a neighbouring key on a QWERTY keyboard
    double insert = 1;               // a letter typed that does not belong
    double insert_double = 1;        // ... that repeats the letter beside it
    double insert_near_key = 1;      // ... on a key next to the letter beside it
    double remove = 1;               // a letter left out
    double remove_double = 1;        // ... one of a doubled letter
    double remove_vowel = 1;         // ... a vowel
    double transpose = 1;            // two neighbouring letters swapped
    double first_letter = 0;         // added to any edit of the first letter
};
inline constexpr std::size_t edit_cost_kinds = 12;

struct TypingEdits {
    std::uint32_t distance;  // unit-cost edits
    double cost;             // the cheapest priced way
};

// Scores many stored terms against one typed term; keeps its rows between
// terms (three rows of the typed term's length plus one).
class TypingEditScorer {
public:
    TypingEditScorer(std::u32string_view typo, const EditCosts& costs, bool transpositions);
    TypingEdits score(std::u32string_view word);

private:
    std::u32string_view typo_;
    EditCosts costs_;
    bool transpositions_;
    std::vector<double> insert_cost_;           // per position of the typo
    std::vector<std::uint32_t> typo_groups_;    // letter groups ending at each position
    std::vector<double> cost_rows_[3];
    std::vector<std::uint32_t> distance_rows_[3];
};

}  // namespace quillmesh
