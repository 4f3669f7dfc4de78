#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "document/xml/KrXMLComplexAttribute2.h"
#include "foundation/SharedText.h"

namespace kr {

// The attributes of a generic element, ordered by name byte for byte; an entry may hold no
// object. The handle is one pointer, null while there are none.
//
// Copies of an element share one set until one of them changes it (copy on write), so the
// many copies of a parsed page hold its attributes once. A set whose object has been handed
// out to be changed in place (forChange) is never shared again: the object stays the
// element's own for as long as the caller may hold it. The count of sharers is atomic, since
// copies of one page live on different threads; a shared set is only read.
class AttributeSet {
public:
    struct Entry {
        kr::SharedText name;  // kept once for the process, as element names are
        std::unique_ptr<KrXMLComplexAttribute2> object;
    };

    AttributeSet() = default;
    // Shares the other's set, or copies it when it may not be shared.
    AttributeSet(const AttributeSet& other);
    AttributeSet(AttributeSet&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    AttributeSet& operator=(const AttributeSet&) = delete;
    ~AttributeSet();

    const Entry* begin() const;
    const Entry* end() const;
    // The entry of that name; null when there is none.
    const Entry* find(std::string_view name) const;

    // The object of that name, to be changed in place; null for an entry without object
    // and when the name is absent. Used where the object does not leave the element.
    KrXMLComplexAttribute2* forChange(std::string_view name);
    // The same, for an object that is handed out: the set stays the element's own.
    KrXMLComplexAttribute2* handedOut(std::string_view name);
    // Stores the object under the name, replacing an entry of that name, and returns it.
    KrXMLComplexAttribute2* assign(std::string_view name,
                                   std::unique_ptr<KrXMLComplexAttribute2> object);
    // Removes the entry; true when it was there.
    bool erase(std::string_view name);

    // Keeps the set for the life of the process, never changed: sharing it then costs
    // nothing. For a set that every element of a class starts with.
    void keepForever();

private:
    struct Block;

    // The set to change: a shared one is copied first.
    Block& own();

    Block* block_ = nullptr;
};

}  // namespace kr
