#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kr {

// The memory of document nodes and of their child lists.
//
// A node made on its own (new, make_unique) gets memory of its own from the heap. A tree
// copied from another (copyTree) is laid out in an arena instead: one block, filled in the
// order the copy is made, so that making the copy is one allocation and deleting it walks
// that block front to back instead of freeing hundreds of scattered pieces; a copy of a
// built-in page is made for every new session and deleted when the session goes.
//
// Every piece of either kind carries one word in front of it that says where it came from,
// so that one release() gives any piece back: a node removed from a copied tree and handed
// out is owned and deleted like any other (see KrXMLComplexElement's operator delete). A
// block counts the pieces made in it that are still alive, plus a hold of the arena while
// it fills it; the last to go frees the block. The count is atomic: a node handed out of a
// copied tree may be deleted on another thread than the rest of its tree. Counting every
// piece on its own would cost an atomic step per node made and per node deleted, so the
// arena counts what it makes and settles when it leaves the block, and a tree being deleted
// settles the pieces of each block at once (ReleaseBatch).
class NodeArena {
    struct Block;

public:
    // While one lives on a thread, the pieces released on that thread are counted here and
    // settled with their block when a piece of another block comes and at the end. Deleting
    // a tree opens one; one opened while another lives on the thread leaves the counting to
    // the outer one.
    class ReleaseBatch {
    public:
        ReleaseBatch();
        ReleaseBatch(const ReleaseBatch&) = delete;
        ReleaseBatch& operator=(const ReleaseBatch&) = delete;
        ~ReleaseBatch();

    private:
        friend class NodeArena;

        void add(NodeArena::Block* block);
        void settle();

        bool outermost_;
        NodeArena::Block* block_ = nullptr;
        std::uint32_t pieces_ = 0;
    };

    // The largest block; a bigger request is given memory of its own.
    static constexpr std::size_t kMaxBlockBytes = std::size_t{1} << 30;

    // An arena whose first block holds that many bytes of pieces, each as footprint()
    // measures it: a copy that knows what it will make needs only one block.
    explicit NodeArena(std::size_t bytes);
    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;
    // Gives up the arena's own hold on its blocks: each goes when the last piece in it goes.
    ~NodeArena();

    // What a piece of that size takes in an arena, the word in front included.
    static constexpr std::size_t footprint(std::size_t bytes) {
        return kHeaderBytes + (bytes + kAlignment - 1) / kAlignment * kAlignment;
    }

    // Memory for one piece of that size in the arena; when the block is full, in a new one.
    void* allocate(std::size_t bytes);
    // Memory for one piece of its own on the heap.
    static void* allocateAlone(std::size_t bytes);
    // Gives a piece back to where it came from, from whichever thread.
    static void release(void* piece) noexcept;
    // The blocks of all arenas that are not yet freed: what shows that a block goes with
    // its last piece and not before.
    static std::size_t blocksAlive();

    // Pieces are aligned for every node class, and a node class that needed more would not
    // compile (KrXMLComplexElement deletes the aligned operator new).
    static constexpr std::size_t kAlignment = alignof(void*);

private:
    // The word in front of every piece: its distance from the start of its block (0 for a
    // piece of its own, which no piece of a block has, since the block's count stands
    // there), and its size.
    struct Header {
        std::uint32_t offset;
        std::uint32_t bytes;
    };
    static constexpr std::size_t kHeaderBytes = sizeof(Header);
    static_assert(kHeaderBytes % kAlignment == 0);

    // What the arena holds of a block while it fills it: more than the pieces it can make.
    // The pieces made are counted by the arena and given back from this hold when it leaves
    // the block, so that the count never reaches zero while the arena is in it.
    static constexpr std::uint32_t kArenaHold = std::uint32_t{1} << 31;

    struct Block {
        // The pieces alive in the block, plus kArenaHold less the pieces made in it while an
        // arena fills it.
        std::atomic<std::uint32_t> holds{kArenaHold};
        std::uint32_t bytes = 0;  // the size of the block, this header included
    };
    static_assert(sizeof(Block) % kAlignment == 0);
    static_assert(kMaxBlockBytes / (kHeaderBytes + kAlignment) < kArenaHold);

    static void dropHolds(Block* block, std::uint32_t holds) noexcept;
    void leaveBlock() noexcept;
    void startBlock(std::size_t bytes);

    Block* block_ = nullptr;
    // The pieces made in the block so far.
    std::uint32_t made_ = 0;
    std::byte* next_ = nullptr;
    std::byte* end_ = nullptr;
    // What the arena was asked to hold and has not yet given out: the size of a block that
    // must follow a full one.
    std::size_t planned_;
};

}  // namespace kr
