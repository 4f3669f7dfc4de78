#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class KrXMLComplexElement;

namespace kr {

class NodeArena;

// The children of an element, in order, owned by the list. The handle is one pointer, and
// a list without children allocates nothing: most nodes of a page (texts, blanks, void
// elements) never have any. A list that has children keeps them in one block with its size
// and capacity in front; the block of a copied tree's list lies in the tree's arena.
class ChildList {
public:
    using Node = KrXMLComplexElement;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    ChildList() = default;
    ChildList(const ChildList&) = delete;
    ChildList& operator=(const ChildList&) = delete;
    ChildList(ChildList&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    ChildList& operator=(ChildList&& other) noexcept;
    // Deletes the children that are left, front to back.
    ~ChildList();

    std::size_t size() const { return block_ != nullptr ? block_->size : 0; }
    bool empty() const { return size() == 0; }
    Node* operator[](std::size_t index) const { return items()[index]; }
    Node* back() const { return items()[size() - 1]; }
    Node* const* begin() const { return items(); }
    Node* const* end() const { return items() + size(); }

    // The index of the child, npos when it is not in the list (or null).
    std::size_t find(const Node* child) const;
    // Makes room for that many children in all; in the arena when one is given.
    void reserve(std::size_t capacity, NodeArena* arena = nullptr);
    // The bytes of the block that holds that many children.
    static std::size_t blockBytes(std::size_t capacity) {
        return sizeof(Block) + capacity * sizeof(Node*);
    }
    // Puts the child before the one at the index (at the end for size()).
    void insert(std::size_t index, std::unique_ptr<Node> child);
    void append(std::unique_ptr<Node> child) { insert(size(), std::move(child)); }
    // Takes every child out of the list, last first, onto the end of the vector.
    void takeAllReversed(std::vector<std::unique_ptr<Node>>& into);
    // Takes the child at the index out of the list and hands it back.
    std::unique_ptr<Node> take(std::size_t index);
    // Puts the child in the place of the one at the index, which is handed back.
    std::unique_ptr<Node> replace(std::size_t index, std::unique_ptr<Node> child);

private:
    struct Block {
        std::uint32_t size;
        std::uint32_t capacity;
    };

    Node** items() const {
        return block_ != nullptr ? reinterpret_cast<Node**>(block_ + 1) : nullptr;
    }

    Block* block_ = nullptr;
};

}  // namespace kr
