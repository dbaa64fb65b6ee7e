// Room a thread keeps between queries: the lists a query of a few
// microseconds fills are kept, emptied, from one query to the next instead of
// being allocated each time, but no more than kKeptBytes of any one list.
#pragma once

#include <cstddef>
#include <memory>

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

// One list as a room of its own (for RoomLease below): handed back empty.
template <class List>
struct ListRoom {
    List list;
    void trim() {
        list.clear();
        give_back_room(list);
    }
};

// Lends, for one call, the room of kind T that this thread keeps between
// calls, or room of its own when the thread's is already lent: a call nested
// inside another on the same thread (from a signal handler or a finalizer
// that queries again) never shares the outer call's room. `Tag` tells
// apart leases of the same T for different uses. The room is handed back
// through T::trim() (it keeps at most kKeptBytes per list).
template <class T, class Tag = T>
class RoomLease {
public:
    RoomLease() : room_(&kept()) {
        if (room_->busy) {
            own_ = std::make_unique<Kept>();
            room_ = own_.get();
        }
        room_->busy = true;
    }
    ~RoomLease() {
        room_->value.trim();
        room_->busy = false;
    }
    RoomLease(const RoomLease&) = delete;
    RoomLease& operator=(const RoomLease&) = delete;

    T& operator*() const { return room_->value; }
    T* operator->() const { return &room_->value; }

private:
    struct Kept {
        T value;
        bool busy = false;
    };
    static Kept& kept() {
        thread_local Kept room;
        return room;
    }
    Kept* room_;
    std::unique_ptr<Kept> own_;
};

}  // namespace quillmesh
