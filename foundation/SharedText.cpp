#include "foundation/SharedText.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace kr {

// The names kept, found by their text.
class SharedText::Names {
public:
    Block* find(std::string_view text) {
        std::lock_guard lock(mutex_);
        if (const auto found = blocks_.find(text); found != blocks_.end()) {
            return found->second;
        }
        if (blocks_.size() >= kMaxNames || text.size() > kMaxNameLength) {
            return nullptr;
        }
        auto* made = new Block(text);
        blocks_.emplace(made->text, made);
        return made;
    }

private:
    // Guards blocks_; no other lock is taken under it.
    std::mutex mutex_;
    // The keys are the blocks' own texts.
    std::unordered_map<std::string_view, Block*> blocks_;
};

SharedText::SharedText(std::string_view text)
    : handle_(text.empty() ? 0 : reinterpret_cast<std::uintptr_t>(new Block(text))) {}

SharedText& SharedText::operator=(SharedText other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
}

void SharedText::release(Block* block) noexcept {
    // The last owner must see every other owner's reads done before it frees the block.
    if (block->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete block;
    }
}

SharedText SharedText::name(std::string_view text) {
    // Made on first use and never destroyed: texts made from it may outlive every static
    // object, and what the set holds stays reachable.
    static Names* const names = new Names;
    SharedText shared;
    if (text.empty()) {
        return shared;
    }
    Block* const kept = names->find(text);
    if (kept == nullptr) {
        return SharedText(text);
    }
    shared.handle_ = reinterpret_cast<std::uintptr_t>(kept) | kKept;
    return shared;
}

const std::string& SharedText::none() {
    static const std::string none;
    return none;
}

}  // namespace kr
