#include "document/html/KrHTMLTagFactory.h"

#include <iterator>
#include <type_traits>

#include "document/html/KrHTMLTags.h"

namespace {

using Creation = std::unique_ptr<KrXMLComplexElement>;

template <class Tag>
Creation create() {
    return std::make_unique<Tag>();
}

// The tags whose classes take constructor arguments get empty or default ones.
template <>
Creation create<KrHTML_div2>() {
    return std::make_unique<KrHTML_div2>("", false);
}
template <>
Creation create<KrHTML_form2>() {
    return std::make_unique<KrHTML_form2>("", "POST");
}
template <>
Creation create<KrHTML_iframe2>() {
    return std::make_unique<KrHTML_iframe2>("", "", "", "");
}
template <>
Creation create<KrHTML_img2>() {
    return std::make_unique<KrHTML_img2>("", "", "");
}
template <>
Creation create<KrHTML_label2>() {
    return std::make_unique<KrHTML_label2>("", "");
}
template <>
Creation create<KrHTML_link2>() {
    return std::make_unique<KrHTML_link2>("");
}
template <>
Creation create<KrHTML_meta2>() {
    return std::make_unique<KrHTML_meta2>("");
}
template <>
Creation create<KrHTML_option2>() {
    return std::make_unique<KrHTML_option2>("", "", false);
}
template <>
Creation create<KrHTML_select2>() {
    return std::make_unique<KrHTML_select2>("", "");
}

struct TagRow {
    std::string_view tag;
    Creation (*create)();
    bool isVoid;
};

#define GRIDLO_TAG_ROW(tag, ...) \
    TagRow{#tag, &create<KrHTML_##tag##2>, std::is_base_of_v<KrHTML_ElementType2, KrHTML_##tag##2>},
constexpr TagRow kTags[] = {GRIDLO_HTML_TAGS(GRIDLO_TAG_ROW, GRIDLO_TAG_ROW)};
#undef GRIDLO_TAG_ROW

constexpr size_t voidCount() {
    size_t count = 0;
    for (const TagRow& row : kTags) {
        count += row.isVoid ? 1 : 0;
    }
    return count;
}
static_assert(std::size(kTags) == 115, "every tag with a class has a row");
static_assert(voidCount() == 16, "the void tags are the category-2 classes");

}  // namespace

namespace kr {

void registerElementCreators(KrHTMLTagTable& table) {
    for (const TagRow& row : kTags) {
        table.tagCreators.insert_or_assign(
            std::string(row.tag), [create = row.create](const std::string&) { return create(); });
        if (row.isVoid) {
            table.voidTags.emplace(row.tag);
        }
    }
}

std::unique_ptr<KrXMLGenericElement> createElementForTag(std::string_view tag,
                                                         const KrHTMLTagTable& table) {
    const auto found = table.tagCreators.find(tag);
    if (found != table.tagCreators.end() && found->second) {
        Creation made = found->second(std::string());
        if (auto* generic = dynamic_cast<KrXMLGenericElement*>(made.get())) {
            made.release();
            return std::unique_ptr<KrXMLGenericElement>(generic);
        }
    }
    return std::make_unique<KrXMLGenericElement>(tag, true);
}

}  // namespace kr
