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
// name() keeps each once for the life of the process, and copying such a text costs
// nothing at all.
class SharedText {
public:
    // The most names kept, and the longest; other texts given to name() are counted like
    // any other, so that input full of odd names cannot make the set grow without limit.
    static constexpr std::size_t kMaxNames = 1024;
    static constexpr std::size_t kMaxNameLength = 64;

    SharedText() = default;
    explicit SharedText(std::string_view text);
    SharedText(const SharedText& other) noexcept;
    SharedText(SharedText&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    SharedText& operator=(SharedText other) noexcept;
    ~SharedText();

    // The text as a name: the one kept for it.
    static SharedText name(std::string_view text);

    const std::string& str() const { return block_ != nullptr ? block_->text : none(); }
    std::string_view view() const { return str(); }
    bool empty() const { return block_ == nullptr; }

private:
    struct Block {
        Block(std::string_view characters, bool kept) : text(characters), lasting(kept) {}
        std::atomic<std::uint32_t> references{1};
        const std::string text;
        // Kept for the life of the process: never counted, never freed.
        const bool lasting;
    };
    class Names;

    static const std::string& none();

    Block* block_ = nullptr;
};

}  // namespace kr
