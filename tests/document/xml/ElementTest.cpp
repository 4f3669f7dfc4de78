#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Markup.h"
#include "document/xml/KrWidgetManager_base.h"
#include "document/xml/KrXMLComplexAttribute2.h"
#include "document/xml/KrXMLGenericElement.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "foundation/KrException.h"

namespace {

using ElementList = KrXMLComplexElement::ElementList;
using GenericList = KrXMLGenericElement::GenericList;

std::unique_ptr<KrXMLGenericElement> element(const char* name) {
    return std::make_unique<KrXMLGenericElement>(name, false);
}

KrXMLGenericElement* add(KrXMLComplexElement& parent, const char* name) {
    return kr::appendChild(parent, element(name));
}

KrXMLGenericElement* addWith(KrXMLComplexElement& parent, const char* name, const char* attribute,
                             const char* value) {
    KrXMLGenericElement* added = add(parent, name);
    added->setAttribute(attribute, value);
    return added;
}

std::vector<std::string> namesOf(const ElementList& list) {
    std::vector<std::string> names;
    for (const auto* e : list) {
        names.push_back(e->name());
    }
    return names;
}

// The value of attribute "n" of each element, to tell same-named elements apart.
std::vector<std::string> tagsOf(const GenericList& list) {
    std::vector<std::string> tags;
    for (auto* e : list) {
        tags.push_back(e->getAttribute("n", e->name()));
    }
    return tags;
}

ElementList childrenOf(const KrXMLComplexElement& parent) {
    ElementList list;
    parent.children(list);
    return list;
}

// Refuses children named "bad" after they were linked, as the CSS nodes do.
class Picky : public KrXMLGenericElement {
public:
    Picky() : KrXMLGenericElement("picky", false) {}

protected:
    void checkChild(KrXMLComplexElement* child) override {
        if (child->name() == "bad") {
            throw KrException("refused", 1, "src");
        }
    }
};

class RecordingUser : public KrWidgetManager_base {
public:
    void elementDestroyed(const KrXMLComplexElement* element) override {
        destroyed.push_back(element);
    }
    std::vector<const KrXMLComplexElement*> destroyed;
};

TEST(AddChild, LinksTheChildAndReturnsIt) {
    KrXMLGenericElement root("r", false);
    auto child = element("c");
    KrXMLComplexElement* raw = child.get();
    EXPECT_EQ(root.addChild(std::move(child)), raw);
    EXPECT_EQ(raw->parent(), &root);
    EXPECT_EQ(root.addChild(nullptr), nullptr);
    EXPECT_EQ(childrenOf(root), ElementList{raw});
}

TEST(AddChild, LeafRefusesEveryChildBeforeTakingIt) {
    KrXMLComplexElement leaf("br", true, false);
    try {
        leaf.addChild(element("c"));  // freed by the refusal: ASan finds no leak
        FAIL() << "no throw";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "child elements not allowed for br");
    }
    EXPECT_THROW(leaf.addChild(nullptr), KrException);
    EXPECT_TRUE(childrenOf(leaf).empty());
    EXPECT_EQ(markupOf(leaf), "<br />");
}

TEST(AddChild, RefusedByCheckChildStaysLinked) {
    Picky picky;
    EXPECT_THROW(picky.addChild(element("bad")), KrException);
    EXPECT_EQ(markupOf(picky), "<picky><bad /></picky>");
}

TEST(PrependChild, PutsTheChildFirstEvenOnALeaf) {
    KrXMLComplexElement leaf("l", true, false);
    KrXMLComplexElement* first = leaf.prependChild(element("first"));
    EXPECT_EQ(first->parent(), &leaf);
    EXPECT_EQ(leaf.prependChild(nullptr), nullptr);
    EXPECT_EQ(namesOf(childrenOf(leaf)), std::vector<std::string>{"first"});

    KrXMLGenericElement root("r", false);
    add(root, "b");
    root.prependChild(element("a"));
    EXPECT_EQ(namesOf(childrenOf(root)), (std::vector<std::string>{"a", "b"}));
}

TEST(RemoveChild, HandsTheChildBackWithoutParent) {
    KrXMLGenericElement root("r", false);
    KrXMLGenericElement* a = add(root, "a");
    add(root, "b");
    std::unique_ptr<KrXMLComplexElement> taken = root.removeChild(a);
    ASSERT_EQ(taken.get(), a);
    EXPECT_EQ(taken->parent(), nullptr);
    EXPECT_EQ(namesOf(childrenOf(root)), std::vector<std::string>{"b"});
    EXPECT_EQ(root.removeChild(a), nullptr);
    EXPECT_EQ(root.removeChild(nullptr), nullptr);
}

TEST(ReplaceChildren, DeletesAllAndLeavesOnlyTheNewChild) {
    KrXMLGenericElement root("r", false);
    add(root, "a");
    add(root, "b");
    add(root, "c");
    root.replaceChildren(element("n"));
    EXPECT_EQ(markupOf(root), "<r><n /></r>");
    root.deleteChildren();
    EXPECT_EQ(markupOf(root), "<r />");
}

TEST(WrapChild, PutsTheWrapperInTheChildsPlace) {
    KrXMLGenericElement root("r", false);
    add(root, "a");
    KrXMLGenericElement* b = add(root, "b");
    add(root, "c");
    auto wrapper = element("w");
    KrXMLGenericElement* w = wrapper.get();
    add(*w, "first");
    EXPECT_TRUE(root.wrapChild(b, std::move(wrapper)));
    EXPECT_EQ(markupOf(root), "<r><a /><w><first /><b /></w><c /></r>");
    EXPECT_EQ(w->parent(), &root);
    EXPECT_EQ(b->parent(), w);
}

TEST(WrapChild, ChildNotHereOrNullWrapperChangesNothing) {
    KrXMLGenericElement root("r", false);
    KrXMLGenericElement* a = add(root, "a");
    KrXMLGenericElement other("o", false);
    EXPECT_FALSE(root.wrapChild(&other, element("w")));
    EXPECT_FALSE(root.wrapChild(a, nullptr));
    EXPECT_FALSE(root.wrapChild(nullptr, element("w")));
    EXPECT_EQ(markupOf(root), "<r><a /></r>");
    EXPECT_EQ(a->parent(), &root);
}

TEST(WrapChild, RefusedChildIsBackInItsPlaceAndOwnedOnce) {
    KrXMLGenericElement root("r", false);
    add(root, "a");
    KrXMLGenericElement* bad = add(root, "bad");
    add(root, "c");
    EXPECT_THROW(root.wrapChild(bad, std::make_unique<Picky>()), KrException);
    EXPECT_EQ(markupOf(root), "<r><a /><bad /><c /></r>");
    EXPECT_EQ(bad->parent(), &root);

    // A leaf wrapper refuses before the child moves.
    EXPECT_THROW(root.wrapChild(bad, std::make_unique<KrXMLComplexElement>("l", true, false)),
                 KrException);
    EXPECT_EQ(markupOf(root), "<r><a /><bad /><c /></r>");
}  // ASan: deleting root deletes "bad" exactly once

TEST(ReplaceChild, DeletesTheOldChildInPlace) {
    KrXMLGenericElement root("r", false);
    add(root, "a");
    KrXMLGenericElement* b = add(root, "b");
    add(root, "c");
    auto replacement = element("n");
    KrXMLGenericElement* n = replacement.get();
    EXPECT_TRUE(root.replaceChild(b, std::move(replacement)));
    EXPECT_EQ(markupOf(root), "<r><a /><n /><c /></r>");
    EXPECT_EQ(n->parent(), &root);
}

TEST(ReplaceChild, NullReplacementOrUnknownChildChangesNothing) {
    KrXMLGenericElement root("r", false);
    KrXMLGenericElement* a = add(root, "a");
    KrXMLGenericElement other("o", false);
    EXPECT_FALSE(root.replaceChild(a, nullptr));
    EXPECT_FALSE(root.replaceChild(&other, element("n")));
    EXPECT_EQ(markupOf(root), "<r><a /></r>");
}

TEST(ReplaceChildWithAttribute, ReplacesTheFirstMatchAtAnyDepth) {
    KrXMLGenericElement root("r", false);
    KrXMLGenericElement* holder = add(root, "holder");
    addWith(*holder, "old", "id", "x");
    addWith(root, "other", "id", "y");
    std::unique_ptr<KrXMLGenericElement> replacement = element("new");
    EXPECT_TRUE(root.replaceChildWithAttribute(replacement, "id", "x"));
    EXPECT_EQ(replacement, nullptr);
    EXPECT_EQ(markupOf(root), "<r><holder><new id=\"x\" /></holder><other id=\"y\" /></r>");

    std::unique_ptr<KrXMLGenericElement> unused = element("n");
    EXPECT_FALSE(root.replaceChildWithAttribute(unused, "id", "z"));
    EXPECT_NE(unused, nullptr);  // still the caller's

    std::unique_ptr<KrXMLGenericElement> none;
    EXPECT_FALSE(root.replaceChildWithAttribute(none, "id", "y"));
    EXPECT_EQ(markupOf(root), "<r><holder><new id=\"x\" /></holder><other id=\"y\" /></r>");
}

TEST(PutChildWithAttribute, ReplacesOrAppends) {
    KrXMLGenericElement root("r", false);
    addWith(root, "a", "id", "x");
    EXPECT_TRUE(root.putChildWithAttribute(element("b"), "id", "x"));
    EXPECT_FALSE(root.putChildWithAttribute(element("c"), "id", "y"));
    EXPECT_FALSE(root.putChildWithAttribute(nullptr, "id", "z"));
    EXPECT_EQ(markupOf(root), "<r><b id=\"x\" /><c id=\"y\" /></r>");
}

TEST(DeleteChildWithAttribute, DeletesOnlyTheFirstDirectMatch) {
    KrXMLGenericElement root("r", false);
    KrXMLGenericElement* a = addWith(root, "a", "k", "v");
    addWith(*a, "deep", "k", "w");
    addWith(root, "b", "k", "w");
    addWith(root, "c", "k", "w");
    root.deleteChildWithAttribute("k", "w");
    EXPECT_EQ(markupOf(root), "<r><a k=\"v\"><deep k=\"w\" /></a><c k=\"w\" /></r>");
    root.deleteChildWithAttribute("k", "none");
    EXPECT_EQ(namesOf(childrenOf(root)), (std::vector<std::string>{"a", "c"}));
}

TEST(FindFirstChildWithAttribute, TakesTheFirstMatchInPreOrder) {
    KrXMLGenericElement root("r", false);
    KrXMLGenericElement* a = add(root, "a");
    root.addChild(std::make_unique<KrXMLComplexElement>("plain", false, true));
    KrXMLGenericElement* deep = addWith(*a, "deep", "k", "v");
    addWith(root, "b", "k", "v");
    EXPECT_EQ(root.findFirstChildWithAttribute("k", "v"), deep);
    EXPECT_EQ(root.findFirstChildWithAttribute("k", "none"), nullptr);
    root.setAttribute("k", "v");
    EXPECT_EQ(root.findFirstChildWithAttribute("k", "v"), &root);
}

TEST(FindChildren, DepthLimitsTheSearch) {
    KrXMLGenericElement root("x", false);
    KrXMLGenericElement* a = add(root, "x");
    add(*a, "x");
    add(root, "y");

    const std::pair<int, size_t> cases[] = {{0, 1}, {1, 2}, {2, 3}, {-1, 3}};
    for (const auto& [depth, count] : cases) {
        ElementList found;
        root.findChildren("x", found, depth);
        EXPECT_EQ(found.size(), count) << "depth " << depth;
    }
    ElementList none;
    a->findChildren("y", none, 0);
    EXPECT_TRUE(none.empty());
}

TEST(FindChildren, WholeSubtreeComesInPreOrder) {
    KrXMLGenericElement root("r", false);
    root.setAttribute("n", "1");
    KrXMLGenericElement* a = addWith(root, "r", "n", "2");
    addWith(*a, "r", "n", "3");
    addWith(root, "r", "n", "4");
    GenericList found;
    root.findGenericChildren("r", found, -1);
    EXPECT_EQ(tagsOf(found), (std::vector<std::string>{"1", "2", "3", "4"}));
}

TEST(FindFirstWhere, TakesTheFirstMatchInPreOrderThisElementIncluded) {
    KrXMLGenericElement root("r", false);
    KrXMLGenericElement* a = add(root, "a");
    KrXMLGenericElement* a1 = addWith(*a, "x", "n", "a1");
    addWith(root, "x", "n", "b");
    int looked = 0;
    const auto named = [&looked](const char* name) {
        return [&looked, name](KrXMLComplexElement& node) {
            ++looked;
            return node.name() == name;
        };
    };
    EXPECT_EQ(root.findFirstWhere(named("r")), &root);
    EXPECT_EQ(looked, 1);
    looked = 0;
    EXPECT_EQ(root.findFirstWhere(named("x")), a1);
    EXPECT_EQ(looked, 3);  // r, a, a1: the search stops there
    EXPECT_EQ(root.findFirstWhere(named("none")), nullptr);
    EXPECT_EQ(a->findFirstWhere(named("x")), a1);
}

TEST(FindGenericChildren, KeepsOnlyGenericElements) {
    KrXMLGenericElement root("r", false);
    root.addChild(std::make_unique<KrXMLComplexElement>("x", false, true));
    add(root, "x");
    ElementList all;
    root.findChildren("x", all, 1);
    GenericList generic;
    root.findGenericChildren("x", generic, 1);
    EXPECT_EQ(all.size(), 2u);
    EXPECT_EQ(generic.size(), 1u);

    GenericList genericChildren;
    root.genericChildren(genericChildren);
    EXPECT_EQ(genericChildren.size(), 1u);
}

TEST(ElementChildren, SkipCommentsProcessingInstructionsAndOptionallyText) {
    KrXMLGenericElement root("r", false);
    root.addChild(std::make_unique<KrXML_Comment2>("c"));
    root.addChild(std::make_unique<KrXML_ProcInst2>("p"));
    root.addChild(std::make_unique<KrXMLGenericText>("t"));
    add(root, "a");
    root.addChild(std::make_unique<KrXML_Comment2>("c"));
    add(root, "b");

    EXPECT_EQ(root.firstElementChild(false)->name(), "xmltext");
    EXPECT_EQ(root.secondElementChild(false)->name(), "a");
    EXPECT_EQ(root.thirdElementChild(false)->name(), "b");
    EXPECT_EQ(root.firstElementChild(true)->name(), "a");
    EXPECT_EQ(root.secondElementChild(true)->name(), "b");
    EXPECT_EQ(root.thirdElementChild(true), nullptr);
}

TEST(Attributes, GetHasEqualsAndRemove) {
    KrXMLGenericElement e("e", false);
    e.setAttribute("id", "x");
    e.insertAttribute("bare", nullptr);
    EXPECT_EQ(e.getAttribute("id", "d"), "x");
    EXPECT_EQ(e.getAttribute("missing", "d"), "d");
    EXPECT_EQ(e.getAttribute("bare", "d"), "");
    EXPECT_TRUE(e.hasAttribute("bare"));
    EXPECT_FALSE(e.attributeEquals("bare", ""));
    EXPECT_TRUE(e.attributeEquals("id", "x"));
    EXPECT_FALSE(e.attributeEquals("id", "X"));
    EXPECT_EQ(markupOf(e), "<e bare id=\"x\" />");

    // setAttribute on an entry without object stores a plain attribute.
    e.setAttribute("bare", "v");
    EXPECT_EQ(e.getAttribute("bare", "d"), "v");

    EXPECT_TRUE(e.removeAttribute("id"));
    EXPECT_FALSE(e.removeAttribute("id"));
    EXPECT_FALSE(e.hasAttribute("id"));
}

TEST(Attributes, AttributeCreatesAnEmptyPlainAttributeWhenMissing) {
    KrXMLGenericElement e("e", false);
    KrXMLComplexAttribute2* made = e.attribute("new");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(e.attribute("new"), made);
    EXPECT_EQ(markupOf(e), "<e new=\"\" />");
}

class WithNumber : public KrXMLGenericElement {
public:
    WithNumber() : KrXMLGenericElement("e", false) { registerAttribute("max", max_); }
    KrXMLDoubleKrAttribute max_;
};

TEST(SetAttributeText, SetsTheQuotedValue) {
    const std::pair<const char*, const char*> cases[] = {
        {"id=\"main\"", "<e id=\"main\" />"},
        {"id='main'", "<e id=\"main\" />"},
        {"charset=\"utf-8\"", "<e charset=\"utf-8\" />"},
        {"id=\"\"", "<e id=\"\" />"},
        {"id=\"a=b\"", "<e id=\"a=b\" />"},
        {"novalue", "<e />"},
        {"", "<e />"},
        {"a=", "<e />"},    // too short for two quotes
        {"a=\"", "<e />"},  // too short for two quotes
    };
    for (const auto& [text, expected] : cases) {
        KrXMLGenericElement e("e", false);
        e.setAttributeText(text);
        EXPECT_EQ(markupOf(e), expected) << "from '" << text << "'";
        EXPECT_FALSE(e.hasError()) << text;
    }
}

TEST(SetAttributeText, RefusedValueChangesNothingAndIsRecorded) {
    WithNumber e;
    e.setAttributeText("max=\"3\"");
    EXPECT_EQ(markupOf(e), "<e max=\"3\" />");
    EXPECT_NO_THROW(e.setAttributeText("max=\"many\""));
    EXPECT_NO_THROW(e.setAttributeText("max=\"1e999\""));
    EXPECT_EQ(markupOf(e), "<e max=\"3\" />");
    EXPECT_TRUE(e.hasError());
    EXPECT_EQ(e.errorText(), "error catched while assigning attritutes");

    WithNumber fresh;
    fresh.setAttributeText("max=\"x\"");
    EXPECT_EQ(markupOf(fresh), "<e />");  // still unset, so still left out
}

TEST(UserObject, IsToldOnceWhenTheElementIsDestroyed) {
    RecordingUser user;
    auto root = element("r");
    KrXMLGenericElement* child = add(*root, "c");
    child->setUserData(&user);
    const KrXMLComplexElement* address = child;
    root->deleteChildren();
    EXPECT_EQ(user.destroyed, std::vector<const KrXMLComplexElement*>{address});

    KrXMLGenericElement* forgotten = add(*root, "c");
    forgotten->setUserData(&user);
    forgotten->setUserData(nullptr);
    root.reset();
    EXPECT_EQ(user.destroyed.size(), 1u);
}

TEST(UserObject, NodesOfADeletedTreeAreToldParentFirstChildrenInOrder) {
    RecordingUser user;
    auto root = element("r");
    KrXMLGenericElement* a = add(*root, "a");
    KrXMLGenericElement* a1 = add(*a, "a1");
    KrXMLGenericElement* a2 = add(*a, "a2");
    KrXMLGenericElement* a21 = add(*a2, "a21");
    KrXMLGenericElement* b = add(*root, "b");
    KrXMLGenericElement* b1 = add(*b, "b1");
    std::vector<const KrXMLComplexElement*> preOrder;
    for (KrXMLGenericElement* node : {root.get(), a, a1, a2, a21, b, b1}) {
        node->setUserData(&user);
        preOrder.push_back(node);
    }
    root.reset();
    EXPECT_EQ(user.destroyed, preOrder);
}

// One element per level: a tree of that depth at its narrowest.
std::unique_ptr<KrXMLGenericElement> chain(int levels) {
    auto root = element("level");
    KrXMLGenericElement* innermost = root.get();
    for (int level = 1; level < levels; ++level) {
        innermost = add(*innermost, "level");
    }
    return root;
}

TEST(Destruction, ATreeOfAnyDepthGoesWithoutExhaustingTheStack) {
    constexpr int kLevels = 1'000'000;
    struct Case {
        const char* how;
        void (*remove)(KrXMLGenericElement& root);
        const char* left;  // what the root writes afterwards
    };
    const Case cases[] = {
        {"deleteChildren", [](KrXMLGenericElement& root) { root.deleteChildren(); }, "<level />"},
        {"replaceChildren", [](KrXMLGenericElement& root) { root.replaceChildren(element("new")); },
         "<level><new /></level>"},
        {"replaceChild",
         [](KrXMLGenericElement& root) {
             root.replaceChild(root.firstElementChild(false), element("new"));
         },
         "<level><new /></level>"},
    };
    for (const auto& [how, remove, left] : cases) {
        std::unique_ptr<KrXMLGenericElement> root = chain(kLevels);
        remove(*root);
        EXPECT_EQ(markupOf(*root), left) << how;
    }
    chain(kLevels).reset();  // and the root of a deep tree deleted itself
}

TEST(ContentDTD, StoresANonEmptyName) {
    KrXMLGenericElement e("e", false);
    EXPECT_EQ(e.contentDTD(""), "");
    EXPECT_EQ(e.contentDTD("html"), "html");
    EXPECT_EQ(e.contentDTD(""), "html");
}

TEST(InnerText, WritesNothingForXmlNodes) {
    KrXMLGenericElement root("r", false);
    root.addChild(std::make_unique<KrXMLGenericText>("t"));
    std::ostringstream out;
    root.innerText(out);
    EXPECT_EQ(out.str(), "");
}

// A tree for the queries:
//   <html n="html"><body n="body1"><div n="d1" id="x"/><div n="d2" id="y" hidden/></body>
//   <body n="body2"><div n="d3" id="x" class="a]b"/></body><div n="d4" id="x"/></html>
class Query : public ::testing::Test {
protected:
    void SetUp() override {
        html_.setAttribute("n", "html");
        KrXMLGenericElement* body1 = addWith(html_, "body", "n", "body1");
        addWith(*body1, "div", "n", "d1")->setAttribute("id", "x");
        KrXMLGenericElement* d2 = addWith(*body1, "div", "n", "d2");
        d2->setAttribute("id", "y");
        d2->setAttribute("hidden", "true");
        KrXMLGenericElement* body2 = addWith(html_, "body", "n", "body2");
        KrXMLGenericElement* d3 = addWith(*body2, "div", "n", "d3");
        d3->setAttribute("id", "x");
        d3->setAttribute("class", "a]b");
        d3->setAttribute("q", "say \"hi\\\"");
        addWith(html_, "div", "n", "d4")->setAttribute("id", "x");
    }
    std::vector<std::string> query(const char* path) { return tagsOf(html_.query(path)); }

    KrXMLGenericElement html_{"html", false};
};

TEST_F(Query, SelectsByPathsAndFilters) {
    using Tags = std::vector<std::string>;
    const std::pair<const char*, Tags> cases[] = {
        {"", {}},
        {"html", {"html"}},
        {"body", {"body1", "body2"}},
        {"nothing", {}},
        {"html.body", {"body1", "body2"}},
        {"body.div", {"d1", "d2", "d3"}},
        {"div", {"d4"}},
        {"body.div[id=\"x\"]", {"d1", "d3"}},
        {"body.div[id=x]", {"d1", "d3"}},
        {"body.div[hidden]", {"d2"}},
        {"body[n=\"body2\"].div", {"d3"}},
        {"body[n=body1].div[id=\"y\"]", {"d2"}},
        {"body.div[class=\"a]b\"]", {}},         // "]" inside quotes is dropped: compares "ab"
        {"body.div[class=a\\]b]", {}},           // the backslash is dropped, so "]" ends the filter
        {"body.div[q=\"say \\\"hi\\\\\"]", {}},  // escaped quote dropped, escaped backslash kept
        {"body.div[=\"x\"]", {}},                // an empty attribute name selects nothing
        {"div[id=\"x\"", {"d4"}},                // a filter without "]" ends with the path
        {"body[n=body1].", {}},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(query(path), expected) << "path '" << path << "'";
    }
}

TEST_F(Query, BackslashInsideQuotesKeepsTheNextCharacter) {
    KrXMLGenericElement root("r", false);
    addWith(root, "d", "v", "a\\b");
    addWith(root, "d", "v", "a=b");
    addWith(root, "d", "v", "a]b");
    EXPECT_EQ(root.query("d[v=\"a\\\\b\"]").size(), 1u);
    EXPECT_EQ(root.query("d[v=\"a\\=b\"]").size(), 1u);
    EXPECT_EQ(root.query("d[v=\"a=b\"]").size(), 0u);  // "=" never stays unescaped
    EXPECT_EQ(root.query("d[v=\"a\\]b\"]").size(), 1u);
    EXPECT_EQ(root.query("d[v=\"a]b\"]").size(), 0u);  // nor does "]"
}

}  // namespace
