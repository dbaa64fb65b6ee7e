// The parameters of every fast-call method, each declared once: name,
// converter, default. The method bodies bind through these tables and the
// method table takes its doc texts from them.
#pragma once

#include "python/args.hpp"
#include "python/sequences.hpp"

namespace quillmesh::py::signatures {

inline constexpr Method kFromInternalDataV2{
    "PrefixSearch.from_internal_data_v2",
    Required<std::vector<std::uint32_t>>{"node_shifts", to_u32_vector},
    Required<std::vector<char32_t>>{"child_labels", to_label_vector},
    // Items are only held here; the tuples are opened once the lengths and
    // edges have been checked.
    Required<PyRef>{"payloads", to_item_tuple},
    Required<std::vector<std::uint32_t>>{"child_transitions", to_u32_vector},
    Required<ByteEntries>{"video_index", to_byte_entries},
    Required<std::uint32_t>{"video_top_n", to_u32},
};

inline constexpr Method kFromBytes{
    "PrefixSearch.from_bytes",
    Required<std::span<const std::uint8_t>>{"b", to_bytes_view},
};

inline constexpr Method kFuzzyMatch{
    "PrefixSearch.fuzzy_match",
    Required<std::string_view>{"term", to_utf8},
    Defaulted<std::uint32_t>{"max_dist", to_u32, 1},
    OrNone<std::uint32_t>{"limit", to_u32},
};

inline constexpr Method kFuzzyMatchVideo{
    "PrefixSearch.fuzzy_match_video",
    Required<std::string_view>{"term", to_utf8},
    Defaulted<std::uint32_t>{"max_dist", to_u32, 1},
    OrNone<std::uint32_t>{"limit", to_u32},
    OrNone<bool>{"include_prefix_nodes", to_bool},
    OrNone<double>{"min_score", to_double},
};

// to_bytes takes no arguments (METH_NOARGS): its doc text is written out.
inline constexpr const char kToBytesDoc[] = "to_bytes($self)\n--\n\n";

}  // namespace quillmesh::py::signatures
