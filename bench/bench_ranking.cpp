// fuzzy_match_video on the index of a large English word list: every word a
// terminal carrying 1 to 8 videos drawn Zipf-like from 100,000 UUIDs, merged
// up the trie with video_top_n 32. Queries are seeded words with 0 to 2
// random edits. Besides the mean per query (Google Benchmark's own time), the
// counters report the median of the individually timed queries, in thread CPU
// time so that other processes on a busy machine do not inflate it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "prefix/matcher.hpp"
#include "ranking.hpp"
#include "text.hpp"

namespace {

using namespace quillmesh;

constexpr const char* kWordList = "/usr/share/dict/american-english-insane";
constexpr std::uint32_t kVideos = 100000;
constexpr std::uint32_t kTopN = 32;
constexpr std::size_t kQueries = 2000;

std::vector<std::u32string> read_words() {
    std::ifstream in(kWordList);
    if (!in) {
        std::cerr << "cannot read " << kWordList << "\n";
        std::exit(1);
    }
    std::vector<std::u32string> words;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            words.push_back(decode_utf8(line));
        }
    }
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    return words;
}

// Zipf-like video numbers: rank k drawn with weight 1/k, ranks scattered over
// the video numbers by a fixed permutation.
class ZipfVideos {
public:
    explicit ZipfVideos(std::mt19937_64& rng) : cdf_(kVideos), video_of_rank_(kVideos) {
        double sum = 0.0;
        for (std::uint32_t k = 0; k < kVideos; ++k) {
            sum += 1.0 / (k + 1);
            cdf_[k] = sum;
            video_of_rank_[k] = k;
        }
        std::shuffle(video_of_rank_.begin(), video_of_rank_.end(), rng);
    }
    std::uint32_t draw(std::mt19937_64& rng) const {
        const double u = std::uniform_real_distribution<double>(0.0, cdf_.back())(rng);
        const auto k = static_cast<std::size_t>(std::upper_bound(cdf_.begin(), cdf_.end(), u) - cdf_.begin());
        return video_of_rank_[std::min<std::size_t>(k, kVideos - 1)];
    }

private:
    std::vector<double> cdf_;
    std::vector<std::uint32_t> video_of_rank_;
};

// Builds the trie from the sorted words (children come out in label order),
// then lays it out breadth-first.
Trie build_trie(const std::vector<std::u32string>& words, std::mt19937_64& rng) {
    struct Node {
        char32_t label;
        bool terminal;
        std::vector<std::uint32_t> children;
    };
    std::vector<Node> tmp{{U'\0', false, {}}};
    std::vector<std::uint32_t> path{0};  // path[d]: node at depth d of the previous word
    const std::u32string* prev = nullptr;
    for (const std::u32string& w : words) {
        std::size_t common = 0;
        if (prev != nullptr) {
            while (common < w.size() && common < prev->size() && w[common] == (*prev)[common]) {
                ++common;
            }
        }
        path.resize(common + 1);
        for (std::size_t d = common; d < w.size(); ++d) {
            const auto id = static_cast<std::uint32_t>(tmp.size());
            tmp.push_back({w[d], false, {}});
            tmp[path.back()].children.push_back(id);
            path.push_back(id);
        }
        tmp[path.back()].terminal = true;
        prev = &w;
    }

    Trie t;
    const std::size_t n = tmp.size();
    std::vector<std::uint32_t> order;  // breadth-first: new index -> old index
    order.reserve(n);
    order.push_back(0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Node& node = tmp[order[i]];
        t.node_shifts.push_back(static_cast<std::uint32_t>(t.child_transitions.size()));
        for (std::uint32_t c : node.children) {
            t.child_transitions.push_back(static_cast<std::uint32_t>(order.size()));
            order.push_back(c);
        }
    }
    ZipfVideos zipf(rng);
    t.child_labels.resize(n);
    t.is_terminal.resize(n);
    t.payloads.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Node& node = tmp[order[i]];
        t.child_labels[i] = node.label;
        t.is_terminal[i] = node.terminal ? 1 : 0;
        if (!node.terminal) {
            t.payloads.push_absent();
            continue;
        }
        Payload p;
        const int videos = std::uniform_int_distribution<int>(1, 8)(rng);
        while (p.video_ids.size() < static_cast<std::size_t>(videos)) {
            const std::uint32_t v = zipf.draw(rng);
            if (std::find(p.video_ids.begin(), p.video_ids.end(), v) != p.video_ids.end()) {
                continue;
            }
            const auto count = std::uniform_int_distribution<std::uint32_t>(1, 50)(rng);
            p.video_ids.push_back(v);
            p.video_counts.push_back(count);
            p.total_count += count;
        }
        t.payloads.push(p);
    }
    t.id_mode = IdMode::Uuid;
    t.video_uuids.resize(kVideos);
    for (Uuid& u : t.video_uuids) {
        for (auto& b : u) {
            b = static_cast<std::uint8_t>(rng());
        }
    }
    t.propagate(kTopN);
    return t;
}

std::vector<std::string> make_queries(const std::vector<std::u32string>& words, std::mt19937_64& rng) {
    std::vector<std::string> out;
    const std::u32string letters = U"abcdefghijklmnopqrstuvwxyz";
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    for (std::size_t i = 0; i < kQueries; ++i) {
        std::u32string q = words[pick(words.size())];
        const std::size_t edits = pick(3);
        for (std::size_t e = 0; e < edits; ++e) {
            const std::size_t kind = q.empty() ? 0 : pick(3);
            if (kind == 0) {
                q.insert(q.begin() + static_cast<std::ptrdiff_t>(pick(q.size() + 1)), letters[pick(26)]);
            } else if (kind == 1) {
                q.erase(q.begin() + static_cast<std::ptrdiff_t>(pick(q.size())));
            } else {
                q[pick(q.size())] = letters[pick(26)];
            }
        }
        out.push_back(encode_utf8(q));
    }
    return out;
}

struct Fixture {
    SearchIndex trie{Trie{}};
    std::vector<std::string> queries;
};

const Fixture& fixture() {
    static const Fixture f = [] {
        std::mt19937_64 rng(20261208);
        const std::vector<std::u32string> words = read_words();
        Fixture out;
        out.trie = SearchIndex(build_trie(words, rng));
        out.queries = make_queries(words, rng);
        return out;
    }();
    return f;
}

double thread_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

void report_times(benchmark::State& state, std::vector<double>& times) {
    std::sort(times.begin(), times.end());
    if (!times.empty()) {
        state.counters["median_us"] = times[times.size() / 2];
        state.counters["p90_us"] = times[times.size() * 9 / 10];
    }
}

void run(benchmark::State& state, std::optional<bool> include_prefix_nodes) {
    const Fixture& f = fixture();
    std::vector<double> times;
    times.reserve(kQueries);
    std::size_t i = 0;
    std::size_t rows = 0;
    for (auto _ : state) {
        const std::string& q = f.queries[i];
        const double start = thread_cpu_us();
        auto result = fuzzy_match_video(f.trie, q, 1, std::nullopt, include_prefix_nodes, std::nullopt);
        times.push_back(thread_cpu_us() - start);
        benchmark::DoNotOptimize(result);
        rows += result.size();
        i = i + 1 == f.queries.size() ? 0 : i + 1;
    }
    report_times(state, times);
    state.counters["rows_per_query"] = static_cast<double>(rows) / static_cast<double>(state.iterations());
    state.counters["nodes"] = static_cast<double>(f.trie.trie().node_count());
}

void BM_FuzzyMatchVideo_Default(benchmark::State& state) { run(state, std::nullopt); }
void BM_FuzzyMatchVideo_PrefixNodes(benchmark::State& state) { run(state, true); }

// One pass over every query, so the median covers the whole seeded set.
BENCHMARK(BM_FuzzyMatchVideo_Default)->Iterations(kQueries)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FuzzyMatchVideo_PrefixNodes)->Iterations(kQueries)->Unit(benchmark::kMicrosecond);

// The scoring half alone, on node matches found beforehand (prefix nodes
// included), to separate the ranking's cost from the walk's.
void BM_RankNodeMatches(benchmark::State& state) {
    const Fixture& f = fixture();
    std::vector<std::vector<NodeMatch>> matches;
    std::vector<std::size_t> lengths;
    for (const std::string& q : f.queries) {
        matches.push_back(fuzzy_match_nodes(f.trie, q, 1, false, std::nullopt));
        lengths.push_back(count_code_points(q));
    }
    std::vector<double> times;
    times.reserve(kQueries);
    std::size_t i = 0;
    for (auto _ : state) {
        const double start = thread_cpu_us();
        auto result = rank_node_matches(f.trie.trie(), matches[i], lengths[i], std::nullopt, std::nullopt);
        times.push_back(thread_cpu_us() - start);
        benchmark::DoNotOptimize(result);
        i = i + 1 == f.queries.size() ? 0 : i + 1;
    }
    report_times(state, times);
}
BENCHMARK(BM_RankNodeMatches)->Iterations(kQueries)->Unit(benchmark::kMicrosecond);

// The node matches the ranking has to score, per query.
void BM_NodeMatchesPerQuery(benchmark::State& state) {
    const Fixture& f = fixture();
    const bool terminal_only = state.range(0) == 0;
    std::size_t i = 0;
    std::size_t matches = 0;
    for (auto _ : state) {
        auto m = fuzzy_match_nodes(f.trie, f.queries[i], 1, terminal_only, std::nullopt);
        matches += m.size();
        benchmark::DoNotOptimize(m);
        i = i + 1 == f.queries.size() ? 0 : i + 1;
    }
    state.counters["matches_per_query"] = static_cast<double>(matches) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_NodeMatchesPerQuery)->Arg(0)->Arg(1)->Iterations(kQueries)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
