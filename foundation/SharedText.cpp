#include "foundation/SharedText.h"

#include <utility>

namespace kr {

SharedText::SharedText(std::string_view text) : block_(text.empty() ? nullptr : new Block(text)) {}

SharedText::SharedText(const SharedText& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) {
        // Taking a further reference needs no ordering: the caller already sees the block.
        block_->references.fetch_add(1, std::memory_order_relaxed);
    }
}

SharedText& SharedText::operator=(SharedText other) noexcept {
    std::swap(block_, other.block_);
    return *this;
}

SharedText::~SharedText() {
    // The last owner must see every other owner's reads done before it frees the block.
    if (block_ != nullptr && block_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete block_;
    }
}

const std::string& SharedText::none() {
    static const std::string none;
    return none;
}

}  // namespace kr
