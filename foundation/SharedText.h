#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kr {

// An immutable text that copies share: copying one costs a counter step, not the
// characters. Documents copied from one parsed page keep one copy of its names and texts
// this way. The count is atomic, since copies of one page live on different threads; the
// text itself never changes once made, so reading it needs no lock. An empty text holds
// nothing at all.
class SharedText {
public:
    SharedText() = default;
    explicit SharedText(std::string_view text);
    SharedText(const SharedText& other) noexcept;
    SharedText(SharedText&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    SharedText& operator=(SharedText other) noexcept;
    ~SharedText();

    const std::string& str() const { return block_ != nullptr ? block_->text : none(); }
    std::string_view view() const { return str(); }
    bool empty() const { return block_ == nullptr; }

private:
    struct Block {
        explicit Block(std::string_view characters) : text(characters) {}
        std::atomic<std::uint32_t> references{1};
        const std::string text;
    };

    static const std::string& none();

    Block* block_ = nullptr;
};

}  // namespace kr
