#include "suggest/typing_edits.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace quillmesh {

namespace {

char32_t fold(char32_t c) { return c >= U'A' && c <= U'Z' ? c + (U'a' - U'A') : c; }

// Position of a folded ASCII letter in the alphabet, or -1.
int letter(char32_t c) {
    c = fold(c);
    return c >= U'a' && c <= U'z' ? static_cast<int>(c - U'a') : -1;
}

bool is_vowel(char32_t c) {
    switch (fold(c)) {
        case U'a': case U'e': case U'i': case U'o': case U'u': case U'y': return true;
        default: return false;
    }
}

// Row and column of each letter on a QWERTY keyboard; rows are staggered, each
// half a key to the right of the one above, so a key touches two keys of the
// row above (the same column and the one to its right) and two below.
struct KeyPlace {
    int row = -1;
    int column = 0;
};

constexpr std::array<std::u32string_view, 3> keyboard_rows = {U"qwertyuiop", U"asdfghjkl", U"zxcvbnm"};

KeyPlace key_place(char32_t c) {
    c = fold(c);
    for (int r = 0; r < 3; ++r) {
        const auto at = keyboard_rows[r].find(c);
        if (at != std::u32string_view::npos) return {r, static_cast<int>(at)};
    }
    return {};
}

bool near_keys(char32_t a, char32_t b) {
    const KeyPlace p = key_place(a), q = key_place(b);
    if (p.row < 0 || q.row < 0) return false;
    if (p.row == q.row) return p.column - q.column == 1 || q.column - p.column == 1;
    const KeyPlace& upper = p.row < q.row ? p : q;
    const KeyPlace& lower = p.row < q.row ? q : p;
    return lower.row - upper.row == 1 && (lower.column == upper.column || lower.column == upper.column - 1);
}

// Letters and groups that spell the same sound in English, either way round.
struct SoundPair {
    std::u32string_view a, b;
};
constexpr std::array<SoundPair, 6> sound_letters = {{
    {U"c", U"k"}, {U"c", U"s"}, {U"s", U"z"}, {U"g", U"j"}, {U"f", U"v"}, {U"t", U"d"},
}};
constexpr std::array<SoundPair, 9> sound_groups = {{
    {U"ph", U"f"}, {U"ck", U"k"}, {U"ck", U"c"}, {U"x", U"ks"}, {U"qu", U"kw"},
    {U"sc", U"s"}, {U"wh", U"w"}, {U"gh", U"g"}, {U"ch", U"sh"},
}};
// Each group pair oriented both ways: bit 2k is (a in the word, b typed),
// bit 2k+1 the reverse.
constexpr std::size_t oriented_groups = 2 * sound_groups.size();

std::u32string_view word_side(std::size_t bit) { return bit % 2 ? sound_groups[bit / 2].b : sound_groups[bit / 2].a; }
std::u32string_view typo_side(std::size_t bit) { return bit % 2 ? sound_groups[bit / 2].a : sound_groups[bit / 2].b; }

bool sound_alike(char32_t a, char32_t b) {
    a = fold(a);
    b = fold(b);
    for (const SoundPair& p : sound_letters) {
        if ((a == p.a[0] && b == p.b[0]) || (a == p.b[0] && b == p.a[0])) return true;
    }
    return false;
}

// The kinds of substitution, and the tables that answer per pair of letters
// what the rules above say (made once; the rules stay the one home).
enum class SubstitutionKind : std::uint8_t { other, vowel, sound, near_key };

struct LetterTables {
    std::array<SubstitutionKind, 26 * 26> substitution{};
    // Per letter, the oriented group pairs whose word (typo) side ends in it.
    std::array<std::uint32_t, 26> word_group_ends{}, typo_group_ends{};

    LetterTables() {
        for (char32_t a = U'a'; a <= U'z'; ++a) {
            for (char32_t b = U'a'; b <= U'z'; ++b) {
                SubstitutionKind kind = SubstitutionKind::other;
                if (is_vowel(a) && is_vowel(b)) kind = SubstitutionKind::vowel;
                else if (sound_alike(a, b)) kind = SubstitutionKind::sound;
                else if (near_keys(a, b)) kind = SubstitutionKind::near_key;
                substitution[(a - U'a') * 26 + (b - U'a')] = kind;
            }
        }
        for (std::size_t bit = 0; bit < oriented_groups; ++bit) {
            word_group_ends[static_cast<std::size_t>(letter(word_side(bit).back()))] |= 1u << bit;
            typo_group_ends[static_cast<std::size_t>(letter(typo_side(bit).back()))] |= 1u << bit;
        }
    }
};

const LetterTables& tables() {
    static const LetterTables made;
    return made;
}

// Whether `group` ends at position `end` of `text` (letters compared folded).
bool ends_with(std::u32string_view text, std::size_t end, std::u32string_view group) {
    if (end < group.size()) return false;
    for (std::size_t k = 0; k < group.size(); ++k) {
        if (fold(text[end - group.size() + k]) != group[k]) return false;
    }
    return true;
}

// The oriented group pairs whose side (word's or typo's) ends at `end`.
template <class Side>
std::uint32_t groups_ending(std::u32string_view text, std::size_t end, const std::array<std::uint32_t, 26>& ends,
                            Side side) {
    const int last = letter(text[end - 1]);
    std::uint32_t mask = 0;
    for (std::uint32_t maybe = last < 0 ? 0 : ends[static_cast<std::size_t>(last)]; maybe != 0; maybe &= maybe - 1) {
        const auto bit = static_cast<std::size_t>(__builtin_ctz(maybe));
        if (ends_with(text, end, side(bit))) mask |= 1u << bit;
    }
    return mask;
}

double substitution(char32_t a, char32_t b, const EditCosts& costs) {
    const int x = letter(a), y = letter(b);
    // A letter for its other case is one key too, with or without shift.
    if (fold(a) == fold(b)) return costs.substitute_near_key;
    if (x < 0 || y < 0) return is_vowel(a) && is_vowel(b) ? costs.substitute_vowel : costs.substitute;
    switch (tables().substitution[static_cast<std::size_t>(x * 26 + y)]) {
        case SubstitutionKind::vowel: return costs.substitute_vowel;
        case SubstitutionKind::sound: return costs.substitute_sound;
        case SubstitutionKind::near_key: return costs.substitute_near_key;
        case SubstitutionKind::other: break;
    }
    return costs.substitute;
}

bool doubled_at(std::u32string_view text, std::size_t k) {
    return (k > 0 && text[k - 1] == text[k]) || (k + 1 < text.size() && text[k + 1] == text[k]);
}

}  // namespace

TypingEditScorer::TypingEditScorer(std::u32string_view typo, const EditCosts& costs, bool transpositions)
    : typo_(typo), costs_(costs), transpositions_(transpositions), insert_cost_(typo.size()) {
    for (std::size_t j = 0; j < typo.size(); ++j) {
        const bool near = (j > 0 && near_keys(typo[j - 1], typo[j])) ||
                          (j + 1 < typo.size() && near_keys(typo[j + 1], typo[j]));
        insert_cost_[j] = doubled_at(typo, j) ? costs.insert_double : near ? costs.insert_near_key : costs.insert;
    }
    typo_groups_.resize(typo.size() + 1);
    for (std::size_t j = 1; j <= typo.size(); ++j) typo_groups_[j] = groups_ending(typo, j, tables().typo_group_ends, typo_side);
    for (auto& row : cost_rows_) row.resize(typo.size() + 1);
    for (auto& row : distance_rows_) row.resize(typo.size() + 1);
}

TypingEdits TypingEditScorer::score(std::u32string_view word) {
    const std::u32string_view typo = typo_;
    const std::size_t n = word.size(), m = typo.size();
    const EditCosts& c = costs_;
    double* cost0 = cost_rows_[0].data();
    std::uint32_t* dist0 = distance_rows_[0].data();
    cost0[0] = 0;
    dist0[0] = 0;
    for (std::size_t j = 1; j <= m; ++j) {
        cost0[j] = cost0[j - 1] + insert_cost_[j - 1] + (j == 1 ? c.first_letter : 0);
        dist0[j] = static_cast<std::uint32_t>(j);
    }
    for (std::size_t i = 1; i <= n; ++i) {
        double* cost = cost_rows_[i % 3].data();
        const double* up = cost_rows_[(i - 1) % 3].data();
        const double* up2 = cost_rows_[(i + 1) % 3].data();  // row i - 2, when i >= 2
        std::uint32_t* dist = distance_rows_[i % 3].data();
        const std::uint32_t* dup = distance_rows_[(i - 1) % 3].data();
        const std::uint32_t* dup2 = distance_rows_[(i + 1) % 3].data();
        const char32_t w = word[i - 1];
        const double remove = doubled_at(word, i - 1) ? c.remove_double : is_vowel(w) ? c.remove_vowel : c.remove;
        const std::uint32_t word_groups = groups_ending(word, i, tables().word_group_ends, word_side);
        const double first = i == 1 ? c.first_letter : 0;

        cost[0] = up[0] + remove + first;
        dist[0] = static_cast<std::uint32_t>(i);
        for (std::size_t j = 1; j <= m; ++j) {
            const char32_t t = typo[j - 1];
            const double edge = j == 1 ? first : 0;  // an edit at the start of both
            double best = up[j] + remove + edge;
            best = std::min(best, cost[j - 1] + insert_cost_[j - 1] + (i <= 1 && j == 1 ? c.first_letter : 0));
            best = std::min(best, up[j - 1] + (w == t ? 0 : substitution(w, t, c) + edge));
            std::uint32_t d = std::min({dup[j] + 1, dist[j - 1] + 1, dup[j - 1] + (w == t ? 0u : 1u)});
            if (transpositions_ && i >= 2 && j >= 2 && w == typo[j - 2] && word[i - 2] == t) {
                d = std::min(d, dup2[j - 2] + 1);
                if (w != t) best = std::min(best, up2[j - 2] + c.transpose + (i == 2 ? c.first_letter : 0));
            }
            for (std::uint32_t groups = word_groups & typo_groups_[j]; groups != 0; groups &= groups - 1) {
                const auto bit = static_cast<std::size_t>(__builtin_ctz(groups));
                const std::size_t back_i = word_side(bit).size(), back_j = typo_side(bit).size();
                const double* from = back_i == 1 ? up : up2;
                best = std::min(best, from[j - back_j] + c.substitute_sound);
            }
            cost[j] = best;
            dist[j] = d;
        }
    }
    return {distance_rows_[n % 3][m], cost_rows_[n % 3][m]};
}

}  // namespace quillmesh
