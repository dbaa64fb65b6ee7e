// The edit-distance walk on a trie of a large English word list (lower-cased,
// deduplicated: the vocabulary of `make bench`), with seeded queries of the
// same mix: a quarter exact words, a quarter one random edit, a quarter two,
// a quarter absent words of random letters.
//
//   build/<dir>/bench_matcher --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// Time per iteration is the mean time of one query (the queries are cycled).
// Counters: edges/query is the number of edges the plain walk examines per
// query (labelled children of entered nodes), rows/query the steps this walk
// takes (rows computed, and nodes passed below spent ones), matches/query the
// results, median_us the median over the queries of each query's
// best-of-three time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "prefix/matcher.hpp"
#include "prefix/walk.hpp"
#include "text.hpp"
#include "word_trie.hpp"

namespace {

using namespace quillmesh;

constexpr std::size_t kQueries = 2000;

struct Corpus {
    std::vector<std::u32string> words;
    SearchIndex trie{Trie{}};
    std::vector<std::string> queries;
};

std::u32string edit(const std::u32string& word, std::mt19937& rng) {
    std::u32string q = word;
    const char32_t letter = U'a' + static_cast<char32_t>(rng() % 26);
    const unsigned kind = q.size() > 1 ? rng() % 3 : rng() % 2;
    if (kind == 0) {
        q.insert(q.begin() + static_cast<std::ptrdiff_t>(rng() % (q.size() + 1)), letter);
    } else if (kind == 1) {
        q[rng() % q.size()] = letter;
    } else {
        q.erase(q.begin() + static_cast<std::ptrdiff_t>(rng() % q.size()));
    }
    return q;
}

const Corpus& corpus() {
    static const Corpus c = [] {
        Corpus c;
        c.words = bench::load_words();
        c.trie = SearchIndex(bench::build_breadth_first(c.words));
        std::mt19937 rng(20261208);
        for (std::size_t i = 0; i < kQueries; ++i) {
            const std::u32string& w = c.words[rng() % c.words.size()];
            switch (i % 4) {
                case 0: c.queries.push_back(encode_utf8(w)); break;
                case 1: c.queries.push_back(encode_utf8(edit(w, rng))); break;
                case 2: c.queries.push_back(encode_utf8(edit(edit(w, rng), rng))); break;
                default: {
                    std::u32string q;
                    for (std::size_t k = 0; k < std::max<std::size_t>(3, w.size()); ++k) {
                        q.push_back(U'a' + static_cast<char32_t>(rng() % 26));
                    }
                    c.queries.push_back(encode_utf8(q));  // almost surely absent
                }
            }
        }
        return c;
    }();
    return c;
}

// The node reporter with the walk's statistics hook switched on.
struct CountingReporter : walk::NodeReporter {
    std::size_t edges = 0;
    std::size_t rows = 0;
    void on_edges(std::size_t count) { edges += count; }
    void on_step() { ++rows; }
};

void set_counters(benchmark::State& state, std::uint32_t max_dist, bool terms) {
    const Corpus& c = corpus();
    std::size_t edges = 0;
    std::size_t rows = 0;
    std::size_t matches = 0;
    std::vector<double> times;
    for (const std::string& q : c.queries) {
        // Edges as the plain walk examines them; steps as this walk takes them.
        std::vector<NodeMatch> out;
        CountingReporter plain{{out, terms}};
        walk::Recorder<CountingReporter> recorder(c.trie.trie(), plain, std::nullopt, {});
        walk::walk_checked(c.trie.trie(), decode_utf8(q), max_dist, recorder);
        edges += plain.edges;
        out.clear();
        CountingReporter counting{{out, terms}};
        walk::walk_index(c.trie, decode_utf8(q), max_dist, std::nullopt, counting);
        rows += counting.rows;
        matches += out.size();
        double best = 1e300;
        for (int rep = 0; rep < 3; ++rep) {
            const auto t0 = std::chrono::steady_clock::now();
            if (terms) {
                benchmark::DoNotOptimize(fuzzy_match(c.trie, q, max_dist, std::nullopt));
            } else {
                benchmark::DoNotOptimize(fuzzy_match_nodes(c.trie, q, max_dist, false, std::nullopt));
            }
            const auto t1 = std::chrono::steady_clock::now();
            best = std::min(best, std::chrono::duration<double, std::micro>(t1 - t0).count());
        }
        times.push_back(best);
    }
    double warm = 0;
    for (double t : times) {
        warm += t;
    }
    std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2), times.end());
    const double n = static_cast<double>(c.queries.size());
    state.counters["edges/query"] = static_cast<double>(edges) / n;
    state.counters["rows/query"] = static_cast<double>(rows) / n;
    state.counters["matches/query"] = static_cast<double>(matches) / n;
    state.counters["median_us"] = times[times.size() / 2];
    state.counters["warm_mean_us"] = warm / n;
    state.counters["nodes"] = static_cast<double>(c.trie.trie().node_count());
}

void BM_FuzzyMatch(benchmark::State& state) {
    const Corpus& c = corpus();
    const auto max_dist = static_cast<std::uint32_t>(state.range(0));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fuzzy_match(c.trie, c.queries[i], max_dist, std::nullopt));
        i = i + 1 == c.queries.size() ? 0 : i + 1;
    }
    set_counters(state, max_dist, true);
}
BENCHMARK(BM_FuzzyMatch)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
// Each query 32 times in a row before the next: the nodes it reads stay in
// cache, so this is the walk's own cost (a query run once pays for misses).
void BM_FuzzyMatchWarm(benchmark::State& state) {
    const Corpus& c = corpus();
    const auto max_dist = static_cast<std::uint32_t>(state.range(0));
    std::size_t i = 0;
    std::size_t repeat = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fuzzy_match(c.trie, c.queries[i], max_dist, std::nullopt));
        if (++repeat == 32) {
            repeat = 0;
            i = i + 1 == c.queries.size() ? 0 : i + 1;
        }
    }
}
BENCHMARK(BM_FuzzyMatchWarm)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_FuzzyMatchNodesWithPrefixes(benchmark::State& state) {
    const Corpus& c = corpus();
    const auto max_dist = static_cast<std::uint32_t>(state.range(0));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fuzzy_match_nodes(c.trie, c.queries[i], max_dist, false, std::nullopt));
        i = i + 1 == c.queries.size() ? 0 : i + 1;
    }
    set_counters(state, max_dist, false);
}
BENCHMARK(BM_FuzzyMatchNodesWithPrefixes)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
