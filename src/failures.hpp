// Failure types of the core. The core never talks to Python: it throws one of
// these, and the binding layer maps each to its Python exception in one place
// (python/errors.cpp).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillmesh {

// A read outside a trie sequence: the index is inconsistent (possible only for
// one restored from bytes). Surfaces as PanicException.
class IndexOutOfBounds : public std::exception {
public:
    IndexOutOfBounds(std::size_t len, std::size_t index);
    const char* what() const noexcept override { return message_.c_str(); }
    std::size_t len() const noexcept { return len_; }
    std::size_t index() const noexcept { return index_; }

private:
    std::size_t len_;
    std::size_t index_;
    std::string message_;
};

// The byte string is not a valid serialized index. `rendering` is the text
// that follows "decode error: ".
class DecodeError : public std::exception {
public:
    explicit DecodeError(std::string rendering) : rendering_(std::move(rendering)) {}
    const char* what() const noexcept override { return rendering_.c_str(); }
    const std::string& rendering() const noexcept { return rendering_; }

private:
    std::string rendering_;
};

// The caller's data was refused. `kind` picks the Python exception type.
class BuildError : public std::exception {
public:
    enum class Kind { Value, Type };
    BuildError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    Kind kind_;
    std::string message_;
};

// A restored index is inconsistent or not a tree (prefix/tree_check.hpp):
// `node` is the first offending node, `problem` what is wrong with it.
// Surfaces as ValueError "node {node}: {problem}".
class TreeFault : public std::exception {
public:
    TreeFault(std::size_t node, std::string problem);
    const char* what() const noexcept override { return message_.c_str(); }
    std::size_t node() const noexcept { return node_; }
    const std::string& problem() const noexcept { return problem_; }

private:
    std::size_t node_;
    std::string problem_;
    std::string message_;
};

// A query argument the core cannot honour (for example a term too long for the
// distance cells). Surfaces as ValueError.
class QueryError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The one checked accessor: every read of a trie sequence goes through it.
template <class Seq>
inline decltype(auto) at(const Seq& seq, std::size_t index) {
    if (index >= seq.size()) {
        throw IndexOutOfBounds(seq.size(), index);
    }
    return seq[index];
}

}  // namespace quillmesh
