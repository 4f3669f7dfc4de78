#include "reader/KrDTD.h"

#include "document/css/css.h"
#include "document/html/KrHTML_Doctype2.h"
#include "document/html/KrHTML_text2.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"
#include "reader/KrDTDElementReadCSS.h"

std::string KrDTD::addReader(std::unique_ptr<KrDTDElementRead> reader) {
    if (!reader) {
        return {};
    }
    std::string readerName = reader->name();
    if (!readers.try_emplace(readerName, std::move(reader)).second) {
        // try_emplace left the reader here: free it before the exception leaves.
        reader.reset();
        throw KrException("name can't be twice", 2101, "src");
    }
    return readerName;
}

std::string KrDTD::addElementCreator(std::string_view readerName, ElementFactory factory) {
    elementFactories.insert_or_assign(std::string(readerName), std::move(factory));
    return std::string(readerName);
}

std::string KrDTD::addContainer(std::string_view readerName) {
    containers.emplace(readerName);
    return std::string(readerName);
}

std::string KrDTD::addContentModel(std::string_view parentName, NameSet readerNames) {
    contentModels.insert_or_assign(std::string(parentName), std::move(readerNames));
    return std::string(parentName);
}

namespace {

using Factory = KrDTD::ElementFactory;

// A factory that makes a node of the class from the token text.
template <class Node>
Factory holding() {
    return [](const std::string& text, KrDTD&) { return std::make_unique<Node>(text); };
}

// A factory for a node class that takes no text.
template <class Node>
Factory plain() {
    return [](const std::string&, KrDTD&) { return std::make_unique<Node>(); };
}

Factory htmlElement() {
    return [](const std::string& tag, KrDTD& dtd) { return kr::createElementForTag(tag, dtd); };
}

Factory genericElement() {
    return [](const std::string& tag, KrDTD&) {
        return std::make_unique<KrXMLGenericElement>(tag, true);
    };
}

Factory cssProperty() {
    return [](const std::string& text, KrDTD&) {
        return std::make_unique<KrCSSProperty>(text, false);
    };
}

// Registers the reader with its factory, and as a container when it is one.
enum class Opens { nothing, parent };

void add(KrDTD& dtd, std::unique_ptr<KrDTDElementRead> reader, Factory factory,
         Opens opens = Opens::nothing) {
    const std::string readerName = dtd.addReader(std::move(reader));
    dtd.addElementCreator(readerName, std::move(factory));
    if (opens == Opens::parent) {
        dtd.addContainer(readerName);
    }
}

KrDTD& named(std::map<std::string, KrDTD, std::less<>>& table, const char* name) {
    KrDTD& dtd = table[name];
    dtd.name = name;
    return dtd;
}

// "xml", "html" and "xmlhtml" share their readers and differ in the nodes they make.
void addMarkupReaders(KrDTD& dtd, Factory element, Factory text) {
    add(dtd, std::make_unique<KrDTDElementRead_Comment>(), holding<KrXML_Comment2>());
    add(dtd, std::make_unique<KrDTDElementRead_Element>(), std::move(element), Opens::parent);
    add(dtd, std::make_unique<KrDTDElementRead_ProcInst>(), holding<KrXML_ProcInst2>());
    add(dtd, std::make_unique<KrDTDElementRead_Text>(), std::move(text));
    add(dtd, std::make_unique<KrDTDElementRead_WhitespaceText>(),
        holding<KrXMLGenericWhitespace>());
}

// Closers never reach their factory; it is registered all the same.
Factory closer() {
    return [](const std::string&, KrDTD&) { return std::unique_ptr<KrXMLComplexElement>(); };
}

}  // namespace

namespace kr {

void addStandardGrammars(std::map<std::string, KrDTD, std::less<>>& table) {
    KrDTD& xml = named(table, "xml");
    addMarkupReaders(xml, genericElement(), holding<KrXMLGenericText>());

    KrDTD& html = named(table, "html");
    registerElementCreators(html);
    add(html, std::make_unique<KrDTDElementRead_Doctype>(), holding<KrHTML_Doctype2>());
    addMarkupReaders(html, htmlElement(), holding<KrHTML_text2>());

    KrDTD& xmlhtml = named(table, "xmlhtml");
    registerElementCreators(xmlhtml);
    addMarkupReaders(xmlhtml, htmlElement(), holding<KrXMLGenericText>());

    KrDTD& css = named(table, "css");
    add(css, std::make_unique<KrDTDElementRead_WhitespaceCSS>(), holding<KrXMLGenericWhitespace>());
    add(css, std::make_unique<KrDTDElementRead_WhitespaceCSSHTMLComment>(),
        plain<KrCSSHTMLComment>(), Opens::parent);
    add(css, std::make_unique<KrDTDElementRead_WhitespaceCSSHTMLCommentCloser>(), closer());
    add(css, std::make_unique<KrDTDElementRead_CloserCSS>(), closer());
    add(css, std::make_unique<KrDTDElementRead_CommentCSS>(), holding<KrXMLGenericText>());
    add(css, std::make_unique<KrDTDElementRead_MediaQueryCSS>(), holding<KrCSSMediaQuery>(),
        Opens::parent);
    add(css, std::make_unique<KrDTDElementRead_RuleCSS>(), holding<KrCSSRule>(), Opens::parent);
    add(css, std::make_unique<KrDTDElementRead_PropertyCSS>(), cssProperty());
    // Here for the end tag of the style element; an opening tag makes a childless element.
    add(css, std::make_unique<KrDTDElementRead_Element>(), htmlElement());

    KrDTD& cssRule = named(table, "cssRule");
    add(cssRule, std::make_unique<KrDTDElementRead_WhitespaceCSS>(),
        holding<KrXMLGenericWhitespace>());
    add(cssRule, std::make_unique<KrDTDElementRead_CloserCSS>(), closer());
    add(cssRule, std::make_unique<KrDTDElementRead_CommentCSS>(), holding<KrXMLGenericText>());
    add(cssRule, std::make_unique<KrDTDElementRead_PropertyCSS>(), cssProperty());
}

}  // namespace kr
