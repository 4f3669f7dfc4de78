#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class KrHTMLKontextN;
class KrXMLGenericElement;

namespace kr {

// The elements of a game page that its moves change, found once per loaded document
// instead of by a search of the whole page on every click. Only for elements the game keeps
// as long as the document lives (the cell images, the "restart" heading, the restart link
// whose content the POST page replaces); what is remembered is dropped when the page loads
// its document again.
class PageElements {
public:
    // The page's first element whose "id" is id; null when it has none (a miss is not
    // remembered: the element may still come).
    KrXMLGenericElement* byId(KrHTMLKontextN& page, std::string_view id);

private:
    std::optional<std::uint64_t> pageLoad_;  // the loadPage count the entries belong to
    std::vector<std::pair<std::string, KrXMLGenericElement*>> found_;
};

}  // namespace kr
