// libFuzzer target for queries on decoded indexes. The input is split into a
// query and index bytes:
//
//   byte 0   max_dist: 0..5 (flag bit 4 below: 65535, 65536 or 4294967295)
//   byte 1   flags: bits 0-1 include_prefix_nodes (0, 3 absent, 1 true,
//            2 false), bit 2 limit given, bit 3 min_score given, bit 4 huge
//            max_dist
//   byte 2   limit: below 0xF0 it is taken modulo 12, else 4294967295 - (0xFF - byte)
//   byte 3   min_score: an entry of kMinScores
//   byte 4   term length in bytes (modulo 64), followed by the term
//   rest     the index bytes, decoded as from_bytes does
//
// The term is made valid UTF-8 first (the interpreter never hands over
// anything else). Every call must either answer or throw IndexOutOfBounds (or
// QueryError, a documented refusal of a query); anything else aborts. The
// answers are checked as well: each term match's distance is the plain
// Levenshtein distance of its text, the node matcher agrees with the term
// matcher, a limit gives a prefix of the unlimited answer, ranked scores are
// in order and above the threshold, the ranking scored as the walk goes is
// that of the collected node matches, and the same call answers the same twice.
//
// An index restored from bytes can name the same child many times, so one
// query can be made to follow exponentially many paths. Inputs whose walk
// (counted beforehand over the edges, see walk_budget_exceeded) would exceed a
// fixed budget are skipped: that cost is the documented price of restoring an
// untrusted index, not a fault of the walk.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "failures.hpp"
#include "prefix/codec.hpp"
#include "prefix/matcher.hpp"
#include "prefix/walk.hpp"
#include "ranking.hpp"
#include "text.hpp"

using namespace quillmesh;

namespace {

constexpr std::size_t kHeader = 5;
constexpr std::uint64_t kWorkBudget = 50000;

const double kMinScores[16] = {
    0.01, 0.0, -1.0, 0.1, 0.5, 1.0, 2.0, std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::denorm_min(), 0.0625, 0.375, 0.5625, 1e-300, 0.05,
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_query: %s\n", what.c_str());
    std::abort();
}

struct Query {
    std::string term;
    std::uint32_t max_dist = 1;
    std::optional<std::uint32_t> limit;
    std::optional<bool> include_prefix_nodes;
    std::optional<double> min_score;
};

// What the interpreter would hand over: well-formed UTF-8 of scalar values.
std::string valid_utf8(std::string_view raw) {
    std::string out;
    for (char32_t c : decode_utf8(raw)) {
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::uint32_t levenshtein(const std::u32string& a, const std::u32string& b) {
    std::vector<std::uint32_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = static_cast<std::uint32_t>(j);
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::uint32_t diag = row[0];
        row[0] = static_cast<std::uint32_t>(i);
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::uint32_t up = row[j];
            row[j] = std::min({up + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1] ? 1u : 0u)});
            diag = up;
        }
    }
    return row[b.size()];
}

// An upper bound of the work one walk can do on this index, counted level by
// level over the paths from the root (a node reached along k paths counts k
// times, as the walk visits it k times), with the scoring of each reached
// node's payload. Reads that the walk would fail on end the count there.
bool walk_budget_exceeded(const Trie& trie, std::size_t term_length, std::uint32_t max_dist) {
    const std::size_t n_nodes = trie.child_labels.size();
    if (n_nodes == 0) {
        return false;
    }
    const std::uint64_t max_depth = term_length + std::min<std::uint32_t>(max_dist, 65535);
    std::vector<std::uint64_t> paths(n_nodes, 0), next(n_nodes, 0);
    std::vector<std::uint32_t> frontier{0}, reached;
    paths[0] = 1;
    std::uint64_t work = 0;
    for (std::uint64_t depth = 0; !frontier.empty(); ++depth) {
        reached.clear();
        for (std::uint32_t v : frontier) {
            const std::uint64_t k = paths[v];
            paths[v] = 0;
            work += k;
            if (v < trie.payloads.size() && trie.payloads.present(v)) {
                work += k * trie.payloads.video_ids(v).size();
            }
            if (work > kWorkBudget) {
                return true;
            }
            if (v >= trie.node_shifts.size()) {
                continue;
            }
            const EdgeRange r = trie.children(v);
            const std::size_t end = std::min<std::size_t>(r.end, trie.child_transitions.size());
            for (std::size_t e = r.start; e < end; ++e) {
                work += k;
                if (work > kWorkBudget) {
                    return true;
                }
                const std::uint32_t c = trie.child_transitions[e];
                if (depth >= max_depth || c >= n_nodes || trie.child_labels[c] == U'\0') {
                    continue;
                }
                if (next[c] == 0) {
                    reached.push_back(c);
                }
                next[c] = std::min<std::uint64_t>(next[c] + k, kWorkBudget + 1);
            }
        }
        std::swap(paths, next);
        std::swap(frontier, reached);
    }
    return false;
}

// Runs `call`; IndexOutOfBounds and QueryError end it as documented (their
// message is returned through `refusal`), anything else is a finding.
template <class Call>
auto answer(const char* name, Call&& call, std::string& refusal) -> std::optional<decltype(call())> {
    refusal.clear();
    try {
        return call();
    } catch (const IndexOutOfBounds& e) {
        refusal = std::string("panic: ") + e.what();
    } catch (const QueryError& e) {
        refusal = std::string("refused: ") + e.what();
    } catch (const std::exception& e) {
        fail(std::string(name) + " threw an unexpected exception: " + e.what());
    } catch (...) {
        fail(std::string(name) + " threw a non-standard exception");
    }
    return std::nullopt;
}

template <class T>
bool is_prefix(const std::vector<T>& shorter, const std::vector<T>& longer) {
    return shorter.size() <= longer.size() && std::equal(shorter.begin(), shorter.end(), longer.begin());
}

void check_term_matches(const Trie& trie, const Query& q, std::uint32_t bound) {
    std::string refusal, again_refusal;
    const auto matches = answer("fuzzy_match", [&] { return fuzzy_match(trie, q.term, q.max_dist, q.limit); },
                                refusal);
    const auto again = answer("fuzzy_match", [&] { return fuzzy_match(trie, q.term, q.max_dist, q.limit); },
                              again_refusal);
    if (matches != again || refusal != again_refusal) {
        fail("fuzzy_match answers differently to the same call");
    }
    // The node matcher with terminal_only makes the same reads in the same
    // order, so it fails (with the same message) or answers the same nodes.
    std::string node_refusal;
    const auto nodes = answer(
        "fuzzy_match_nodes",
        [&] { return fuzzy_match_nodes(trie, q.term, q.max_dist, true, q.limit); }, node_refusal);
    if (refusal != node_refusal) {
        fail("fuzzy_match and fuzzy_match_nodes(terminal_only) fail differently: '" + refusal + "' vs '" +
             node_refusal + "'");
    }
    if (!matches) {
        return;
    }
    if (q.limit && matches->size() > *q.limit) {
        fail("fuzzy_match returned more results than the limit");
    }
    if (nodes->size() != matches->size()) {
        fail("fuzzy_match and fuzzy_match_nodes(terminal_only) disagree on the number of matches");
    }
    const std::u32string query = decode_utf8(q.term);
    for (std::size_t i = 0; i < matches->size(); ++i) {
        const MatchResult& m = (*matches)[i];
        if (m.distance > bound) {
            fail("a term match lies beyond the bound");
        }
        if (levenshtein(decode_utf8(m.text), query) != m.distance) {
            fail("a term match's distance is not the Levenshtein distance of its text");
        }
        if (at(trie.is_terminal, m.node) == 0) {
            fail("fuzzy_match reported a node that is not terminal");
        }
        if ((*nodes)[i].node != m.node || (*nodes)[i].distance != m.distance) {
            fail("fuzzy_match and fuzzy_match_nodes(terminal_only) disagree on a match");
        }
    }
    if (q.limit) {
        std::string unlimited_refusal;
        const auto all = answer(
            "fuzzy_match", [&] { return fuzzy_match(trie, q.term, q.max_dist, std::nullopt); }, unlimited_refusal);
        if (all && !is_prefix(*matches, *all)) {
            fail("fuzzy_match with a limit is not a prefix of the unlimited answer");
        }
    }
}

void check_node_matches(const Trie& trie, const Query& q, std::uint32_t bound) {
    std::string refusal;
    const auto every = answer(
        "fuzzy_match_nodes", [&] { return fuzzy_match_nodes(trie, q.term, q.max_dist, false, std::nullopt); },
        refusal);
    const auto terminal = answer(
        "fuzzy_match_nodes", [&] { return fuzzy_match_nodes(trie, q.term, q.max_dist, true, std::nullopt); },
        refusal);
    const auto limited = answer(
        "fuzzy_match_nodes", [&] { return fuzzy_match_nodes(trie, q.term, q.max_dist, false, q.limit); }, refusal);
    if (every) {
        for (const NodeMatch& m : *every) {
            if (m.distance > bound) {
                fail("a node match lies beyond the bound");
            }
        }
        if (limited && !is_prefix(*limited, *every)) {
            fail("fuzzy_match_nodes with a limit is not a prefix of the unlimited answer");
        }
        if (!limited) {
            fail("fuzzy_match_nodes fails with a limit but answers without one");
        }
    }
    if (every && terminal) {
        // Terminal-only is the same walk with fewer nodes recorded.
        std::vector<NodeMatch> filtered;
        for (const NodeMatch& m : *every) {
            if (at(trie.is_terminal, m.node) != 0) {
                filtered.push_back(m);
            }
        }
        if (filtered != *terminal) {
            fail("terminal-only node matches are not the terminal nodes of all node matches");
        }
    }
}

void check_videos(const Trie& trie, const Query& q) {
    std::string refusal, again_refusal;
    const auto call = [&](std::optional<std::uint32_t> limit) {
        return fuzzy_match_video(trie, q.term, q.max_dist, limit, q.include_prefix_nodes, q.min_score);
    };
    const auto rows = answer("fuzzy_match_video", [&] { return call(q.limit); }, refusal);
    const auto again = answer("fuzzy_match_video", [&] { return call(q.limit); }, again_refusal);
    if (rows != again || refusal != again_refusal) {
        fail("fuzzy_match_video answers differently to the same call");
    }
    // Scored as the walk reports them, the node matches give what they give
    // when every one is collected first and the list scored afterwards,
    // failures included.
    std::string collected_refusal;
    const auto collected = answer(
        "rank_node_matches",
        [&] {
            if (trie.node_count() == 0) {
                return std::vector<VideoScore>{};
            }
            const bool prefix_nodes = q.include_prefix_nodes.value_or(false);
            std::vector<NodeMatch> m = fuzzy_match_nodes(trie, q.term, q.max_dist, !prefix_nodes, std::nullopt);
            if (!q.include_prefix_nodes && m.empty()) {
                m = fuzzy_match_nodes(trie, q.term, q.max_dist, false, std::nullopt);
            }
            return rank_node_matches(trie, m, count_code_points(q.term), q.limit, q.min_score);
        },
        collected_refusal);
    if (rows != collected || refusal != collected_refusal) {
        fail("fuzzy_match_video differs from ranking the collected node matches");
    }
    if (!rows) {
        return;
    }
    if (q.limit && rows->size() > *q.limit) {
        fail("fuzzy_match_video returned more rows than the limit");
    }
    const double threshold = q.min_score.value_or(kDefaultMinScore);
    if (std::isnan(threshold) && !rows->empty()) {
        fail("a NaN min_score kept a row");
    }
    for (std::size_t i = 0; i < rows->size(); ++i) {
        const VideoScore& r = (*rows)[i];
        if (std::isnan(r.score) || !(r.score >= threshold)) {
            fail("a ranked score is NaN or below the threshold");
        }
        if (i > 0 && (*rows)[i - 1].score < r.score) {
            fail("ranked scores are not in descending order");
        }
        const bool uuid_like = r.id_text.size() == 36;
        if (trie.id_mode == IdMode::Uuid ? !uuid_like : (r.id_text.empty() || r.id_text.size() > 10)) {
            fail("an identifier text has the wrong form for the index's id_mode");
        }
    }
    if (q.limit) {
        // Rows are dropped only after the cut, so a limit keeps a prefix.
        std::string unlimited_refusal;
        const auto all = answer("fuzzy_match_video", [&] { return call(std::nullopt); }, unlimited_refusal);
        if (all && !is_prefix(*rows, *all)) {
            fail("fuzzy_match_video with a limit is not a prefix of the unlimited answer");
        }
    }
}

// On an index that passes the check, every engine must give the records of
// the checked walk, in its order, with and without the limit.
// A refusal (the rows' cap) gives no answer; every engine must refuse alike.
template <class Reporter, class Out, class MakeReporter>
std::optional<Out> run_engine_on(walk::Engine engine, const SearchIndex& index, const std::u32string& q,
                                 std::uint32_t bound, std::optional<std::uint32_t> limit,
                                 MakeReporter make_reporter) {
    Out out;
    Reporter reporter = make_reporter(out);
    walk::Recorder<Reporter> recorder(index.trie(), reporter, limit, {});
    try {
        if (engine == walk::Engine::kChecked) {
            walk::walk_checked(index.trie(), q, bound, recorder);
        } else {
            walk::run_engine(engine, index, q, bound, recorder);
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return out;
}

void check_engines_agree(const Trie& trie, const Query& q) {
    const SearchIndex index{Trie(trie)};
    if (!index.derived().checked() || (q.limit && *q.limit == 0)) {
        return;
    }
    const std::u32string code_points = decode_utf8(q.term);
    const std::uint32_t bound = std::min(q.max_dist, walk::kMaxBound);
    // kScheme gives way to kBanded wherever it cannot serve (prefix nodes,
    // an index without the reversed terms, a bound or term it does not take).
    std::vector<walk::Engine> engines{walk::Engine::kBanded, walk::Engine::kScheme, walk::Engine::kDirect,
                                      walk::choose_engine(index.derived(), code_points.size(), bound),
                                      walk::choose_engine(index.derived(), code_points.size(), bound, true)};
    if (bound == 1 && walk::one_edit_applies(index.derived())) {
        engines.push_back(walk::Engine::kOneEdit);
    }
    const auto terms_into = [](std::vector<MatchResult>& out) { return walk::TermReporter{out}; };
    for (const std::optional<std::uint32_t> limit : {q.limit, std::optional<std::uint32_t>()}) {
        const auto terms = run_engine_on<walk::TermReporter, std::vector<MatchResult>>(
            walk::Engine::kChecked, index, code_points, bound, limit, terms_into);
        for (walk::Engine engine : engines) {
            if (run_engine_on<walk::TermReporter, std::vector<MatchResult>>(engine, index, code_points, bound,
                                                                           limit, terms_into) != terms) {
                fail("an engine's term matches differ from the checked walk's");
            }
        }
        for (const bool terminal_only : {true, false}) {
            const auto nodes_into = [terminal_only](std::vector<NodeMatch>& out) {
                return walk::NodeReporter{out, terminal_only};
            };
            const auto nodes = run_engine_on<walk::NodeReporter, std::vector<NodeMatch>>(
                walk::Engine::kChecked, index, code_points, bound, limit, nodes_into);
            for (walk::Engine engine : engines) {
                if (run_engine_on<walk::NodeReporter, std::vector<NodeMatch>>(engine, index, code_points, bound,
                                                                             limit, nodes_into) != nodes) {
                    fail("an engine's node matches differ from the checked walk's");
                }
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeader) {
        return 0;
    }
    Query q;
    const std::uint8_t flags = data[1];
    if (flags & 0x10) {
        static constexpr std::uint32_t kHuge[3] = {65535, 65536, 0xFFFFFFFFu};
        q.max_dist = kHuge[data[0] % 3];
    } else {
        q.max_dist = data[0] % 6;
    }
    switch (flags & 0x03) {
        case 1: q.include_prefix_nodes = true; break;
        case 2: q.include_prefix_nodes = false; break;
        default: break;
    }
    if (flags & 0x04) {
        q.limit = data[2] < 0xF0 ? data[2] % 12u : 0xFFFFFFFFu - (0xFFu - data[2]);
    }
    if (flags & 0x08) {
        q.min_score = kMinScores[data[3] % 16];
    }
    const std::size_t term_bytes = std::min<std::size_t>(data[4] % 64, size - kHeader);
    q.term = valid_utf8(std::string_view(reinterpret_cast<const char*>(data + kHeader), term_bytes));
    const std::span<const std::uint8_t> index_bytes(data + kHeader + term_bytes, size - kHeader - term_bytes);

    Trie trie;
    try {
        trie = decode(index_bytes);
    } catch (const DecodeError&) {
        return 0;
    }
    const std::size_t n = decode_utf8(q.term).size();
    if (walk_budget_exceeded(trie, n, q.max_dist)) {
        return 0;
    }
    const std::uint32_t bound = std::min<std::uint32_t>(q.max_dist, 65535);
    check_term_matches(trie, q, bound);
    check_node_matches(trie, q, bound);
    check_videos(trie, q);
    check_engines_agree(trie, q);
    return 0;
}
