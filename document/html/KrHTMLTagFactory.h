#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "document/xml/KrXMLComplexElement.h"
#include "document/xml/KrXMLGenericElement.h"

// The part of a markup grammar that knows HTML tags: a creator per tag and the set of void
// tags. The markup reader's grammar record (KrDTD) derives from it and adds its token
// readers and element factories; registerElementCreators fills this part of it.
struct KrHTMLTagTable {
    // Makes a new element for a tag; the argument is not read. The caller owns the result.
    using Creator = std::function<std::unique_ptr<KrXMLComplexElement>(const std::string&)>;

    std::map<std::string, Creator, std::less<>> tagCreators;
    std::set<std::string, std::less<>> voidTags;
};

namespace kr {

// Stores a creator for each of the 115 tags that have a class, replacing earlier ones, and
// adds the 16 void tags.
void registerElementCreators(KrHTMLTagTable& table);

// The element for a tag (exact, case-sensitive match): the tag's class when the table has
// a creator that makes a generic element, otherwise a plain block KrXMLGenericElement
// named by the tag.
std::unique_ptr<KrXMLGenericElement> createElementForTag(std::string_view tag,
                                                         const KrHTMLTagTable& table);

}  // namespace kr
