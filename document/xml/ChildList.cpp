#include "document/xml/ChildList.h"

#include <algorithm>
#include <new>
#include <utility>

#include "document/xml/KrXMLComplexElement.h"
#include "document/xml/NodeArena.h"

namespace kr {

static_assert(sizeof(ChildList) == sizeof(void*), "a list is one pointer");

ChildList& ChildList::operator=(ChildList&& other) noexcept {
    ChildList doomed(std::move(*this));
    std::swap(block_, other.block_);
    return *this;
}

ChildList::~ChildList() {
    if (block_ == nullptr) {
        return;
    }
    for (Node* child : *this) {
        delete child;
    }
    NodeArena::release(block_);
}

std::size_t ChildList::find(const Node* child) const {
    if (child == nullptr) {
        return npos;
    }
    const auto found = std::find(begin(), end(), child);
    return found != end() ? static_cast<std::size_t>(found - begin()) : npos;
}

void ChildList::reserve(std::size_t capacity, NodeArena* arena) {
    if (capacity <= (block_ != nullptr ? block_->capacity : 0)) {
        return;
    }
    void* const memory = arena != nullptr ? arena->allocate(blockBytes(capacity))
                                          : NodeArena::allocateAlone(blockBytes(capacity));
    auto* grown = static_cast<Block*>(memory);
    grown->size = static_cast<std::uint32_t>(size());
    grown->capacity = static_cast<std::uint32_t>(capacity);
    if (block_ != nullptr) {
        std::copy(begin(), end(), reinterpret_cast<Node**>(grown + 1));
        NodeArena::release(block_);
    }
    block_ = grown;
}

void ChildList::insert(std::size_t index, std::unique_ptr<Node> child) {
    const std::size_t count = size();
    if (block_ == nullptr || count == block_->capacity) {
        // Doubling keeps appending cheap; a copied tree reserves its exact size instead.
        reserve(count == 0 ? 1 : 2 * count);
    }
    Node** slots = items();
    std::move_backward(slots + index, slots + count, slots + count + 1);
    slots[index] = child.release();
    ++block_->size;
}

void ChildList::takeAllReversed(std::vector<std::unique_ptr<Node>>& into) {
    // Room first: once a child is on the vector, nothing may throw before the list lets go.
    // The vector grows by doubling, as push_back would make it: a tree's deletion puts
    // every list on it in turn.
    if (into.capacity() - into.size() < size()) {
        into.reserve(std::max(2 * into.capacity(), into.size() + size()));
    }
    for (std::size_t i = size(); i > 0; --i) {
        into.emplace_back(items()[i - 1]);
    }
    if (block_ != nullptr) {
        block_->size = 0;
    }
}

std::unique_ptr<ChildList::Node> ChildList::take(std::size_t index) {
    Node** slots = items();
    std::unique_ptr<Node> taken(slots[index]);
    std::move(slots + index + 1, slots + size(), slots + index);
    --block_->size;
    return taken;
}

std::unique_ptr<ChildList::Node> ChildList::replace(std::size_t index,
                                                    std::unique_ptr<Node> child) {
    std::unique_ptr<Node> old(items()[index]);
    items()[index] = child.release();
    return old;
}

}  // namespace kr
