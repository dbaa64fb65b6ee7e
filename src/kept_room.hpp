// Room a thread keeps between queries: the lists a query of a few
// microseconds fills are kept, emptied, from one query to the next instead of
// being allocated each time, but no more than kKeptBytes of any one list.
#pragma once

#include <cstddef>
#include <utility>

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

// A list that one call owns outright from start to end, lent from the room
// its thread keeps. Any code a call runs (a finalizer, a signal handler) may
// call in again on the same thread: the nested call finds the thread's room
// already taken and fills a list of its own, so nothing it does can touch
// the outer call's entries. When a lease ends, however the call ends, the
// list is emptied, trimmed (give_back_room) and kept for the next call if it
// is the larger room.
template <class List>
class Lease {
public:
    Lease() : list_(std::exchange(kept(), List())) {}
    ~Lease() {
        list_.clear();
        give_back_room(list_);
        if (list_.capacity() > kept().capacity()) {
            kept() = std::move(list_);
        }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    List& operator*() { return list_; }
    List* operator->() { return &list_; }

private:
    static List& kept() {
        thread_local List room;
        return room;
    }
    List list_;
};

}  // namespace quillmesh
