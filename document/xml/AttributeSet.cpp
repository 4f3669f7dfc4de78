#include "document/xml/AttributeSet.h"

#include <algorithm>

namespace kr {

namespace {

// Up to this many entries a set grows by one at a time.
constexpr std::size_t kGrowByOne = 8;

}  // namespace

struct AttributeSet::Block {
    std::atomic<std::uint32_t> sharers{1};
    // Cleared for good when an object of the set is handed out.
    bool shareable = true;
    // Never counted, never changed, never freed (keepForever).
    bool lasting = false;
    std::vector<Entry> entries;

    std::vector<Entry>::iterator lowerBound(std::string_view name) {
        return std::lower_bound(
            entries.begin(), entries.end(), name,
            [](const Entry& entry, std::string_view key) { return entry.name.view() < key; });
    }

    Block* deepCopy() const {
        auto* copy = new Block;
        // A set is copied to be changed: room for one more saves the change a reallocation.
        copy->entries.reserve(entries.size() + 1);
        for (const Entry& entry : entries) {
            copy->entries.push_back(
                Entry{entry.name, entry.object ? entry.object->clone() : nullptr});
        }
        return copy;
    }
};

AttributeSet::AttributeSet(const AttributeSet& other) {
    Block* const shared = other.block_;
    if (shared == nullptr) {
        return;
    }
    if (shared->lasting) {
        block_ = shared;
    } else if (shared->shareable) {
        // The caller already sees the set: taking a further share needs no ordering.
        shared->sharers.fetch_add(1, std::memory_order_relaxed);
        block_ = shared;
    } else {
        block_ = shared->deepCopy();
    }
}

AttributeSet::~AttributeSet() {
    // The last sharer must see every other sharer's reads done before it frees the set.
    if (block_ != nullptr && !block_->lasting &&
        block_->sharers.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete block_;
    }
}

void AttributeSet::keepForever() { own().lasting = true; }

const AttributeSet::Entry* AttributeSet::begin() const {
    return block_ != nullptr ? block_->entries.data() : nullptr;
}

const AttributeSet::Entry* AttributeSet::end() const {
    return block_ != nullptr ? block_->entries.data() + block_->entries.size() : nullptr;
}

const AttributeSet::Entry* AttributeSet::find(std::string_view name) const {
    if (block_ == nullptr) {
        return nullptr;
    }
    const auto found = block_->lowerBound(name);
    return found != block_->entries.end() && found->name.view() == name ? &*found : nullptr;
}

AttributeSet::Block& AttributeSet::own() {
    if (block_ == nullptr) {
        block_ = new Block;
    } else if (block_->lasting || block_->sharers.load(std::memory_order_acquire) != 1) {
        // Others hold it too: this element gets a copy of its own, and the others keep theirs.
        Block* const copy = block_->deepCopy();
        AttributeSet released;
        released.block_ = block_;
        block_ = copy;
    }
    return *block_;
}

KrXMLComplexAttribute2* AttributeSet::forChange(std::string_view name) {
    if (find(name) == nullptr) {
        return nullptr;
    }
    Block& set = own();
    return set.lowerBound(name)->object.get();
}

KrXMLComplexAttribute2* AttributeSet::handedOut(std::string_view name) {
    if (find(name) == nullptr) {
        return nullptr;
    }
    Block& set = own();
    set.shareable = false;
    return set.lowerBound(name)->object.get();
}

KrXMLComplexAttribute2* AttributeSet::assign(std::string_view name,
                                             std::unique_ptr<KrXMLComplexAttribute2> object) {
    Block& set = own();
    KrXMLComplexAttribute2* const stored = object.get();
    auto place = set.lowerBound(name);
    if (place != set.entries.end() && place->name.view() == name) {
        place->object = std::move(object);
        return stored;
    }
    if (set.entries.size() == set.entries.capacity()) {
        // Sets are small and mostly stay as made: they grow by one, and double only once
        // they hold many.
        const std::size_t size = set.entries.size();
        const std::size_t at = static_cast<std::size_t>(place - set.entries.begin());
        set.entries.reserve(size < kGrowByOne ? size + 1 : 2 * size);
        place = set.entries.begin() + static_cast<std::ptrdiff_t>(at);
    }
    set.entries.insert(place, Entry{kr::SharedText::name(name), std::move(object)});
    return stored;
}

bool AttributeSet::erase(std::string_view name) {
    if (find(name) == nullptr) {
        return false;
    }
    Block& set = own();
    set.entries.erase(set.lowerBound(name));
    return true;
}

}  // namespace kr
