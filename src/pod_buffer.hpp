// A growable array of plain values held in malloc'd memory, for the few
// lists of an index that run to millions of entries.
//
// Growing and shrinking never copy a large block: one of its own mapping
// (large_pages.hpp) grows by remapping its pages and shrinks in place, so a
// list assembled with generous room can be cut to size for free; a small one
// goes through realloc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "large_pages.hpp"

namespace quillmesh {

template <class T>
class PodBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "values are moved as bytes");

public:
    PodBuffer() = default;
    PodBuffer(const PodBuffer& other) { append(other.begin(), other.end()); }
    PodBuffer(PodBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    PodBuffer& operator=(const PodBuffer& other) {
        if (this != &other) {
            PodBuffer copy(other);
            swap(copy);
        }
        return *this;
    }
    PodBuffer& operator=(PodBuffer&& other) noexcept {
        PodBuffer moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~PodBuffer() { large_block::deallocate(data_, capacity_ * sizeof(T)); }

    void swap(PodBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }
    void pop_back() { --size_; }

    void reserve(std::size_t n) {
        if (n > capacity_) {
            reallocate(n);
        }
    }
    // New values are zero.
    void resize(std::size_t n) {
        reserve(n);
        if (n > size_) {
            std::memset(static_cast<void*>(data_ + size_), 0, (n - size_) * sizeof(T));
        }
        size_ = n;
    }
    void push_back(T v) {
        if (size_ == capacity_) {
            reallocate(std::max<std::size_t>(16, 2 * capacity_));
        }
        data_[size_++] = v;
    }
    template <class It>
    void append(It first, It last) {
        const auto n = static_cast<std::size_t>(std::distance(first, last));
        if (size_ + n > capacity_) {
            reallocate(std::max(size_ + n, 2 * capacity_));
        }
        std::copy(first, last, data_ + size_);
        size_ += n;
    }
    // Room for n values past the end, growing as append() does; what is
    // written there becomes part of the buffer by keep().
    T* spare(std::size_t n) {
        if (capacity_ - size_ < n) {
            reallocate(std::max(size_ + n, 2 * capacity_));
        }
        return data_ + size_;
    }
    // The first k values of the last spare() room, k at most its size.
    void keep(std::size_t k) { size_ += k; }
    void shrink_to_fit() {
        if (capacity_ > size_) {
            reallocate(size_);
        }
    }

private:
    void reallocate(std::size_t n) {
        if (n == 0) {
            large_block::deallocate(data_, capacity_ * sizeof(T));
            data_ = nullptr;
            capacity_ = 0;
            return;
        }
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        void* const p = large_block::reallocate(data_, capacity_ * sizeof(T), n * sizeof(T),
                                                std::min(size_, n) * sizeof(T));
        data_ = static_cast<T*>(p);
        capacity_ = n;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quillmesh
