// The method table as data: each method's parameters and doc text, declared
// once. The doc text is the signature line, "\n--\n\n", and nothing else, so
// CPython exposes __text_signature__ and no doc string.
#pragma once

#include "python/args.hpp"

namespace quillmesh::py::signatures {

inline constexpr Param kFromInternalDataV2Params[] = {
    {"node_shifts", true},       {"child_labels", true}, {"payloads", true},
    {"child_transitions", true}, {"video_index", true},  {"video_top_n", true},
};
inline constexpr Signature kFromInternalDataV2{"PrefixSearch.from_internal_data_v2", kFromInternalDataV2Params};
inline constexpr const char kFromInternalDataV2Doc[] =
    "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, "
    "video_top_n)\n--\n\n";

inline constexpr const char kToBytesDoc[] = "to_bytes($self)\n--\n\n";

inline constexpr Param kFromBytesParams[] = {{"b", true}};
inline constexpr Signature kFromBytes{"PrefixSearch.from_bytes", kFromBytesParams};
inline constexpr const char kFromBytesDoc[] = "from_bytes(b)\n--\n\n";

inline constexpr Param kFuzzyMatchParams[] = {{"term", true}, {"max_dist", false}, {"limit", false}};
inline constexpr Signature kFuzzyMatch{"PrefixSearch.fuzzy_match", kFuzzyMatchParams};
inline constexpr const char kFuzzyMatchDoc[] = "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n";

inline constexpr Param kFuzzyMatchVideoParams[] = {
    {"term", true}, {"max_dist", false}, {"limit", false}, {"include_prefix_nodes", false}, {"min_score", false},
};
inline constexpr Signature kFuzzyMatchVideo{"PrefixSearch.fuzzy_match_video", kFuzzyMatchVideoParams};
inline constexpr const char kFuzzyMatchVideoDoc[] =
    "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)\n--\n\n";

}  // namespace quillmesh::py::signatures
