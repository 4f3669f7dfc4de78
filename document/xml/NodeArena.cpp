#include "document/xml/NodeArena.h"

#include <algorithm>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GRIDLO_NODE_ARENA_ASAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define GRIDLO_NODE_ARENA_ASAN 1
#endif

#ifdef GRIDLO_NODE_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kr {

namespace {

// The least a block holds that follows a full one: an arena asked for too little does not
// make a block per piece.
constexpr std::size_t kFollowingBlockBytes = 4096;

// A block's pieces are poisoned for AddressSanitizer while they are not given out, so that
// a node used after its deletion is caught in a block as it is on the heap.
void poison([[maybe_unused]] const void* memory, [[maybe_unused]] std::size_t bytes) {
#ifdef GRIDLO_NODE_ARENA_ASAN
    ASAN_POISON_MEMORY_REGION(memory, bytes);
#endif
}

void unpoison([[maybe_unused]] const void* memory, [[maybe_unused]] std::size_t bytes) {
#ifdef GRIDLO_NODE_ARENA_ASAN
    ASAN_UNPOISON_MEMORY_REGION(memory, bytes);
#endif
}

std::atomic<std::size_t> blocksMade{0};
std::atomic<std::size_t> blocksFreed{0};

// The batch that counts the pieces released on this thread; null while none lives.
thread_local NodeArena::ReleaseBatch* openBatch = nullptr;

}  // namespace

NodeArena::ReleaseBatch::ReleaseBatch() : outermost_(openBatch == nullptr) {
    if (outermost_) {
        openBatch = this;
    }
}

NodeArena::ReleaseBatch::~ReleaseBatch() {
    if (outermost_) {
        settle();
        openBatch = nullptr;
    }
}

void NodeArena::ReleaseBatch::add(NodeArena::Block* block) {
    if (block != block_) {
        settle();
        block_ = block;
    }
    ++pieces_;
}

void NodeArena::ReleaseBatch::settle() {
    if (pieces_ != 0) {
        dropHolds(block_, pieces_);
        pieces_ = 0;
    }
    block_ = nullptr;
}

std::size_t NodeArena::blocksAlive() {
    // Every block counted as freed was counted as made before: read in this order, the
    // difference never goes below zero.
    const std::size_t freed = blocksFreed.load(std::memory_order_acquire);
    return blocksMade.load(std::memory_order_acquire) - freed;
}

NodeArena::NodeArena(std::size_t bytes) : planned_(bytes) {}

NodeArena::~NodeArena() { leaveBlock(); }

void NodeArena::leaveBlock() noexcept {
    if (block_ != nullptr) {
        dropHolds(block_, kArenaHold - made_);
        block_ = nullptr;
        made_ = 0;
    }
}

void NodeArena::startBlock(std::size_t bytes) {
    const std::size_t size = std::min(sizeof(Block) + bytes, kMaxBlockBytes);
    auto* block = static_cast<Block*>(::operator new(size));
    new (block) Block;
    block->bytes = static_cast<std::uint32_t>(size);
    blocksMade.fetch_add(1, std::memory_order_relaxed);
    leaveBlock();
    block_ = block;
    next_ = reinterpret_cast<std::byte*>(block + 1);
    end_ = reinterpret_cast<std::byte*>(block) + size;
    poison(next_, static_cast<std::size_t>(end_ - next_));
}

void* NodeArena::allocate(std::size_t bytes) {
    const std::size_t needed = footprint(bytes);
    if (needed > kMaxBlockBytes - sizeof(Block)) {
        return allocateAlone(bytes);
    }
    if (block_ == nullptr) {
        startBlock(std::max(planned_, needed));
    } else if (static_cast<std::size_t>(end_ - next_) < needed) {
        // More than was planned: what is still planned, but room for more than this piece.
        startBlock(std::max({planned_, needed, kFollowingBlockBytes}));
    }
    std::byte* const piece = next_;
    next_ += needed;
    planned_ -= std::min(planned_, needed);
    unpoison(piece, needed);
    auto* header = reinterpret_cast<Header*>(piece);
    header->offset = static_cast<std::uint32_t>(piece - reinterpret_cast<std::byte*>(block_));
    header->bytes = static_cast<std::uint32_t>(bytes);
    ++made_;
    return header + 1;
}

void* NodeArena::allocateAlone(std::size_t bytes) {
    auto* header = static_cast<Header*>(::operator new(kHeaderBytes + bytes));
    header->offset = 0;
    header->bytes = static_cast<std::uint32_t>(std::min<std::size_t>(bytes, UINT32_MAX));
    return header + 1;
}

void NodeArena::release(void* piece) noexcept {
    if (piece == nullptr) {
        return;
    }
    Header* const header = static_cast<Header*>(piece) - 1;
    if (header->offset == 0) {
        ::operator delete(header);
        return;
    }
    auto* const block =
        reinterpret_cast<Block*>(reinterpret_cast<std::byte*>(header) - header->offset);
    poison(header, footprint(header->bytes));
    if (ReleaseBatch* const batch = openBatch) {
        batch->add(block);
    } else {
        dropHolds(block, 1);
    }
}

void NodeArena::dropHolds(Block* block, std::uint32_t holds) noexcept {
    // The last holder must see every other holder's use of the block done before it frees it.
    if (block->holds.fetch_sub(holds, std::memory_order_acq_rel) == holds) {
        unpoison(block, block->bytes);
        block->~Block();
        ::operator delete(block);
        blocksFreed.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace kr
