// Room a thread keeps between queries: the lists a query of a few
// microseconds fills are kept, emptied, from one query to the next instead of
// being allocated each time, but no more than kKeptBytes of any one list.
#pragma once

#include <cstddef>

namespace quillmesh {

inline constexpr std::size_t kKeptBytes = std::size_t{64} << 10;

// Gives `list`'s room back when it holds more than kKeptBytes (after a query
// that needed it); a list of any standard kind with capacity().
template <class List>
void give_back_room(List& list) {
    if (list.capacity() * sizeof(typename List::value_type) > kKeptBytes) {
        List().swap(list);
    }
}

}  // namespace quillmesh
