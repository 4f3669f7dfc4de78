#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>

#include "Markup.h"
#include "document/xml/KrXMLGenericElement.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "document/xml/KrXML_Document2.h"

namespace {

using Node = std::unique_ptr<KrXMLComplexElement>;

Node generic(const char* name, bool block = false) {
    return std::make_unique<KrXMLGenericElement>(name, block);
}

Node with(Node parent, std::initializer_list<std::function<Node()>> children) {
    for (const auto& make : children) {
        parent->addChild(make());
    }
    return parent;
}

Node text(const char* t) { return std::make_unique<KrXMLGenericText>(t); }

// A generic element that also writes something around its children.
class Framed : public KrXMLGenericElement {
public:
    Framed() : KrXMLGenericElement("f", true) {}

protected:
    void beforeWrite(std::ostream& out) const override { out << "[bw]"; }
    void beforeChildren(std::ostream& out) const override { out << "[bc]"; }
    void afterChildren(std::ostream& out) const override { out << "[ac]"; }
};

struct WriteCase {
    const char* what;
    std::function<Node()> tree;
    const char* markup;
};

TEST(Writer, WritesTreesExactly) {
    const WriteCase cases[] = {
        {"empty generic element", [] { return generic("a"); }, "<a />"},
        {"attributes in name order",
         [] {
             auto e = std::make_unique<KrXMLGenericElement>("a", false);
             e->setAttribute("id", "x");
             e->setAttribute("class", "y");
             return Node(std::move(e));
         },
         "<a class=\"y\" id=\"x\" />"},
        {"values are not escaped",
         [] {
             auto e = std::make_unique<KrXMLGenericElement>("a", false);
             e->setAttribute("t", "say \"<hi>\" & go");
             return Node(std::move(e));
         },
         "<a t=\"say \"<hi>\" & go\" />"},
        {"byte-wise name order",
         [] {
             auto e = std::make_unique<KrXMLGenericElement>("a", false);
             e->setAttribute("b", "1");
             e->setAttribute("B", "2");
             e->setAttribute("\xC3\xA9", "3");
             e->setAttribute("_", "4");
             return Node(std::move(e));
         },
         "<a B=\"2\" _=\"4\" b=\"1\" \xC3\xA9=\"3\" />"},
        {"inline children",
         [] {
             return with(generic("p"), {[] { return text("a"); }, [] { return generic("b"); }});
         },
         "<p>a<b /></p>"},
        {"two block children",
         [] {
             return with(generic("d", true),
                         {[] { return generic("x", true); }, [] { return generic("y", true); }});
         },
         "<d>\n<x />\n<y />\n</d>"},
        {"text then block child",
         [] {
             return with(generic("d", true),
                         {[] { return text("t"); }, [] { return generic("x", true); }});
         },
         "<d>t<x />\n</d>"},
        {"block child then text",
         [] {
             return with(generic("d", true),
                         {[] { return generic("x", true); }, [] { return text("t"); }});
         },
         "<d>\n<x />t</d>"},
        {"nested blocks",
         [] {
             return with(generic("a", true), {[] {
                             return with(generic("b", true), {[] { return generic("c", true); }});
                         }});
         },
         "<a>\n<b>\n<c />\n</b>\n</a>"},
        {"hooks around the children",
         [] { return with(std::make_unique<Framed>(), {[] { return text("t"); }}); },
         "[bw]<f>[bc]t[ac]</f>"},
        {"hooks skipped in the short form", [] { return Node(std::make_unique<Framed>()); },
         "[bw]<f />"},
        {"complex element", [] { return std::make_unique<KrXMLComplexElement>("c", false, false); },
         "<c></c>"},
        {"complex self-closing",
         [] { return std::make_unique<KrXMLComplexElement>("c", false, true); }, "<c />"},
        {"complex leaf", [] { return std::make_unique<KrXMLComplexElement>("c", true, false); },
         "<c />"},
        {"complex element has no block rule",
         [] {
             return with(std::make_unique<KrXMLComplexElement>("c", false, true),
                         {[] { return generic("x", true); }});
         },
         "<c><x /></c>"},
        {"comment", [] { return Node(std::make_unique<KrXML_Comment2>("x")); }, "<!--x-->"},
        {"processing instruction", [] { return Node(std::make_unique<KrXML_ProcInst2>("x")); },
         "<?x?>"},
        {"whitespace", [] { return Node(std::make_unique<KrXMLGenericWhitespace>(" \n\t")); },
         " \n\t"},
        {"text node ignores its children",
         [] { return with(text("t"), {[] { return generic("lost"); }}); }, "t"},
        {"document with a declaration and an element",
         [] {
             return with(std::make_unique<KrXML_Document2>(),
                         {[] {
                              return Node(std::make_unique<KrXML_Declaration2>(
                                  "xml version=\"1.0\" encoding=\"UTF-8\""));
                          },
                          [] { return generic("config", true); }});
         },
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><config />"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(markupOf(*c.tree()), c.markup) << c.what;
    }
}

// A stream buffer that takes at most a few bytes, as a full disk or a closed pipe would.
class ShortBuffer : public std::streambuf {
public:
    explicit ShortBuffer(std::size_t room) : room_(room) {}
    std::string taken;

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()) || taken.size() == room_) {
            return traits_type::eof();
        }
        taken.push_back(traits_type::to_char_type(c));
        return c;
    }

private:
    std::size_t room_;
};

// The writer puts its pieces straight into the stream's buffer; the stream must still say
// when they did not all arrive, and a stream that has failed must get nothing more.
TEST(Writer, AStreamThatFailedGetsNothingAndOneThatTakesTooLittleGoesBad) {
    const Node tree = with(generic("p", true), {[] { return text("some text"); }});
    const std::string markup = markupOf(*tree);

    std::ostringstream failed;
    failed.setstate(std::ios_base::failbit);
    tree->write(failed);
    EXPECT_EQ(failed.str(), "");

    ShortBuffer buffer(5);
    std::ostream out(&buffer);
    tree->write(out);
    EXPECT_TRUE(out.bad());
    EXPECT_EQ(buffer.taken, markup.substr(0, 5));
}

TEST(Writer, LeafNodesAreNotBlocksAndKeepTheirNames) {
    const std::pair<Node, const char*> nodes[] = {
        {text("t"), "xmltext"},
        {std::make_unique<KrXMLGenericWhitespace>(" "), "xmlwhitespace"},
        {std::make_unique<KrXML_Comment2>("c"), "comment"},
        {std::make_unique<KrXML_ProcInst2>("p"), "procinst"},
        {std::make_unique<KrXML_Declaration2>("d"), "procinst"},
        {std::make_unique<KrXML_Document2>(), "xmldocument"},
    };
    for (const auto& [node, name] : nodes) {
        EXPECT_EQ(node->name(), name);
        EXPECT_FALSE(node->isBlock()) << name;
        EXPECT_FALSE(node->isLeaf()) << name;
    }
}

}  // namespace
