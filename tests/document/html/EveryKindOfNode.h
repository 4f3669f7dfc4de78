#pragma once

#include <memory>

#include "document/css/css.h"
#include "document/html/KrHTML_text2.h"
#include "document/html/KrJavaScriptHandler.h"
#include "document/html/html.h"
#include "document/xml/xml.h"

namespace documenttest {

// A page with a node of every class the reader makes and the system builds, attributes of
// every kind set, and one element of every tag the tag factory knows.
inline std::unique_ptr<KrHTML_Document2> everyKindOfNode() {
    auto page = std::make_unique<KrHTML_Document2>();
    KrXMLGenericElement* head = page->documentHead(*page->documentRoot());
    head->addChild(std::make_unique<KrHTML_title2>("T"));
    head->addChild(std::make_unique<KrHTML_script2>("", "var x = 1;"));
    head->addChild(std::make_unique<KrHTML_link2>("s.css"));
    auto* style = kr::appendChild(*head, std::make_unique<KrHTML_style2>());
    auto* comment = kr::appendChild(*style, std::make_unique<KrCSSHTMLComment>());
    comment->addChild(std::make_unique<KrXMLGenericWhitespace>("\n"));
    auto* media = kr::appendChild(*style, std::make_unique<KrCSSMediaQuery>("@media print"));
    auto* rule = kr::appendChild(*media, std::make_unique<KrCSSRule>("p"));
    rule->addChild(std::make_unique<KrCSSProperty>("color: red;", false));

    KrXMLGenericElement* body = page->documentBody(*page->documentRoot());
    auto* div = page->addDivToBody("d");
    div->setAttribute("style", "color: blue; margin: 0");
    div->setAttribute("data-plain", "v");
    div->appendText("text");
    div->addChild(std::make_unique<KrXMLGenericText>("generic text"));
    div->addChild(std::make_unique<KrXML_Comment2>(" c "));
    div->addChild(std::make_unique<KrXML_ProcInst2>("pi"));
    div->addChild(std::make_unique<KrXML_Declaration2>("xml version=\"1.0\""));
    div->addChild(std::make_unique<KrJavaScriptHandler>("alert(1);", true));
    div->addChild(std::make_unique<KrHTML_option2>("1", "one", true));
    div->addChild(std::make_unique<KrHTML_input2_hidden>("h", "v", "n"));
    auto* progress = kr::appendChild(*div, std::make_unique<KrHTML_progress2>());
    progress->setAttribute("value", "0.5");
    auto* bare = kr::appendChild(*div, std::make_unique<KrXMLGenericElement>("bare", true));
    bare->insertAttribute("flag", nullptr);
    auto* xml = kr::appendChild(*body, std::make_unique<KrXML_Document2>());
    xml->addChild(std::make_unique<KrXMLGenericElement>("top", true));

    KrHTMLTagTable table;
    kr::registerElementCreators(table);
    for (const auto& [tag, creator] : table.tagCreators) {
        body->addChild(creator(""));
    }
    return page;
}

}  // namespace documenttest
