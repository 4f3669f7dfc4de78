#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kr {

// An immutable text that copies share: copying one costs a counter step, not the
// characters. Documents copied from one parsed page keep one copy of its names and texts
// this way. The count is atomic, since copies of one page live on different threads; the
// text itself never changes once made, so reading it needs no lock. An empty text holds
// nothing at all.
//
// Names (of elements, of grammars) come from a small set and are copied with every node:
// name() keeps each once for the life of the process, and copying or dropping such a text
// costs nothing at all: the handle itself says that its text is kept, so not even the
// text's memory is touched.
class SharedText {
public:
    // The most names kept, and the longest; other texts given to name() are counted like
    // any other, so that input full of odd names cannot make the set grow without limit.
    static constexpr std::size_t kMaxNames = 1024;
    static constexpr std::size_t kMaxNameLength = 64;

    SharedText() = default;
    explicit SharedText(std::string_view text);
    SharedText(const SharedText& other) noexcept : handle_(other.handle_) {
        if (Block* const block = counted()) {
            // A further reference needs no ordering: the caller already sees the block.
            block->references.fetch_add(1, std::memory_order_relaxed);
        }
    }
    SharedText(SharedText&& other) noexcept : handle_(other.handle_) { other.handle_ = 0; }
    SharedText& operator=(SharedText other) noexcept;
    ~SharedText() {
        if (Block* const block = counted()) {
            release(block);
        }
    }

    // The text as a name: the one kept for it.
    static SharedText name(std::string_view text);

    const std::string& str() const { return handle_ != 0 ? block()->text : none(); }
    std::string_view view() const { return str(); }
    bool empty() const { return handle_ == 0; }

private:
    struct Block {
        explicit Block(std::string_view characters) : text(characters) {}
        // Not used for a kept name.
        std::atomic<std::uint32_t> references{1};
        const std::string text;
    };
    class Names;

    // The handle's mark for a block kept for the life of the process: never counted, never
    // freed. Blocks are aligned, so the lowest bit of their address is free for it.
    static constexpr std::uintptr_t kKept = 1;
    static_assert(alignof(Block) > kKept);

    static const std::string& none();
    static void release(Block* block) noexcept;
    Block* block() const { return reinterpret_cast<Block*>(handle_ & ~kKept); }
    // A block that is counted, null for none or a kept one.
    Block* counted() const { return (handle_ & kKept) == 0 ? block() : nullptr; }

    // The block's address, with kKept for a kept one; 0 for no text.
    std::uintptr_t handle_ = 0;
};

}  // namespace kr
