#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "EveryKindOfNode.h"
#include "Markup.h"
#include "document/css/css.h"
#include "document/html/KrHTML_text2.h"
#include "document/html/KrJavaScriptHandler.h"
#include "document/html/KrStyleAttribute.h"
#include "document/html/html.h"
#include "document/xml/NodeArena.h"
#include "document/xml/xml.h"
#include "foundation/KrException.h"

namespace {

using ElementList = KrXMLComplexElement::ElementList;

// Both trees in pre-order, checking that they have the same shape and that every node of
// the copy is of its original's class and hangs under the copy of its original's parent.
void expectSameShape(const KrXMLComplexElement& original, const KrXMLComplexElement& copy) {
    std::vector<std::pair<const KrXMLComplexElement*, const KrXMLComplexElement*>> pending{
        {&original, &copy}};
    while (!pending.empty()) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        ASSERT_NE(from, to);
        EXPECT_EQ(typeid(*from), typeid(*to)) << from->name();
        EXPECT_EQ(from->name(), to->name());
        EXPECT_EQ(from->isLeaf(), to->isLeaf()) << from->name();
        EXPECT_EQ(from->isSelfClosing(), to->isSelfClosing()) << from->name();
        EXPECT_EQ(from->isBlock(), to->isBlock()) << from->name();
        ElementList fromChildren;
        ElementList toChildren;
        from->children(fromChildren);
        to->children(toChildren);
        ASSERT_EQ(fromChildren.size(), toChildren.size()) << from->name();
        for (std::size_t i = 0; i < fromChildren.size(); ++i) {
            EXPECT_EQ(toChildren[i]->parent(), to) << toChildren[i]->name();
            pending.emplace_back(fromChildren[i], toChildren[i]);
        }
    }
}

template <class Element>
std::unique_ptr<Element> copyOf(const Element& original) {
    std::unique_ptr<KrXMLComplexElement> copy = original.copyTree();
    EXPECT_NE(copy, nullptr);
    return std::unique_ptr<Element>(dynamic_cast<Element*>(copy.release()));
}

TEST(CopyTree, EveryNodeClassCopiesItselfAndTheCopyWritesTheSameBytes) {
    const std::unique_ptr<KrHTML_Document2> original = documenttest::everyKindOfNode();
    const std::unique_ptr<KrHTML_Document2> copy = copyOf(*original);
    ASSERT_NE(copy, nullptr);
    expectSameShape(*original, *copy);
    EXPECT_EQ(copy->parent(), nullptr);
    EXPECT_EQ(markupOf(*copy), markupOf(*original));
    EXPECT_EQ(copy->toJavaScript(), original->toJavaScript());
}

TEST(CopyTree, CopiesTheGrammarAndTheErrorButNoUserObject) {
    struct User : KrWidgetManager_base {
        void elementDestroyed(const KrXMLComplexElement* element) override {
            told.push_back(element);
        }
        std::vector<const KrXMLComplexElement*> told;
    } user;
    KrXMLGenericElement original("o", true);
    original.contentDTD("css");
    auto number = std::make_unique<KrXMLDoubleKrAttribute>();
    original.insertAttribute("n", std::move(number));
    original.setAttributeText("n=\"x\"");  // refused: records the error
    original.setUserData(&user);
    std::unique_ptr<KrXMLComplexElement> copy = original.copyTree();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->contentDTD(""), "css");
    EXPECT_TRUE(copy->hasError());
    EXPECT_EQ(copy->errorText(), "error catched while assigning attritutes");
    copy.reset();
    EXPECT_TRUE(user.told.empty());
}

// Refuses to copy itself: the copy would be a plain generic element.
class NoCopy : public KrXMLGenericElement {
public:
    NoCopy() : KrXMLGenericElement("nocopy", true) {}
};

TEST(CopyTree, ATreeWithANodeThatDoesNotCopyItselfIsNotCopied) {
    KrXMLGenericElement root("r", true);
    KrXMLGenericElement* middle =
        kr::appendChild(root, std::make_unique<KrXMLGenericElement>("m", true));
    middle->addChild(std::make_unique<NoCopy>());
    EXPECT_EQ(root.copyTree(), nullptr);
    EXPECT_EQ(NoCopy().copyTree(), nullptr);
}

TEST(CopyTree, ATreeOfAnyDepthCopiesWithoutExhaustingTheStack) {
    constexpr int kLevels = 1'000'000;
    auto root = std::make_unique<KrXMLGenericElement>("level", true);
    KrXMLComplexElement* innermost = root.get();
    for (int level = 1; level < kLevels; ++level) {
        innermost = innermost->addChild(std::make_unique<KrXMLGenericElement>("level", true));
    }
    innermost->addChild(std::make_unique<KrXMLGenericText>("deepest"));
    std::unique_ptr<KrXMLComplexElement> copy = root->copyTree();
    root.reset();
    ASSERT_NE(copy, nullptr);
    int levels = 1;
    KrXMLComplexElement* element = copy.get();
    while (KrXMLComplexElement* child = element->firstElementChild(true)) {
        EXPECT_EQ(child->parent(), element);
        element = child;
        ++levels;
    }
    EXPECT_EQ(levels, kLevels);
    EXPECT_EQ(markupOf(*element->firstElementChild(false)), "deepest");
}

// A change made on one side of a copy, as the page code makes it.
struct Change {
    const char* what;
    std::function<void(KrHTML_Document2&)> apply;
};

KrXMLGenericElement& byId(KrHTML_Document2& page, const char* id) {
    KrXMLGenericElement* found = page.findFirstChildWithAttribute("id", id);
    if (found == nullptr) {
        throw KrException(std::string("no element ") + id, 0, "test");
    }
    return *found;
}

const Change kChanges[] = {
    {"a typed attribute", [](auto& page) { byId(page, "d").setAttribute("class", "c"); }},
    {"a plain attribute", [](auto& page) { byId(page, "d").setAttribute("data-plain", "w"); }},
    {"a new attribute", [](auto& page) { byId(page, "d").setAttribute("onclick", "go()"); }},
    {"a removed attribute", [](auto& page) { byId(page, "d").removeAttribute("data-plain"); }},
    {"an attribute object",
     [](auto& page) { byId(page, "d").attribute("style")->setFromText("color: green"); }},
    {"a style declaration",
     [](auto& page) {
         auto* style = dynamic_cast<KrStyleAttribute*>(byId(page, "d").attribute("style"));
         ASSERT_NE(style, nullptr);
         style->property("color")->setValue("black");
     }},
    {"a text",
     [](auto& page) {
         KrXMLComplexElement::ElementList texts;
         byId(page, "d").findChildren("xmltext", texts, 1);
         ASSERT_FALSE(texts.empty());
         dynamic_cast<KrHTML_text2&>(*texts.front()).setText("changed");
     }},
    {"a new child", [](auto& page) { page.addDivToBody("new"); }},
    {"a removed child",
     [](auto& page) { byId(page, "h").parent()->removeChild(&byId(page, "h")); }},
};

TEST(CopyTree, AChangeOnEitherSideLeavesTheOtherAsItWas) {
    for (const Change& change : kChanges) {
        for (const bool onCopy : {true, false}) {
            const std::unique_ptr<KrHTML_Document2> original = documenttest::everyKindOfNode();
            const std::string before = markupOf(*original);
            const std::unique_ptr<KrHTML_Document2> copy = copyOf(*original);
            KrHTML_Document2& changed = onCopy ? *copy : *original;
            const KrHTML_Document2& untouched = onCopy ? *original : *copy;
            change.apply(changed);
            EXPECT_NE(markupOf(changed), before) << change.what << (onCopy ? " on the copy" : "");
            EXPECT_EQ(markupOf(untouched), before) << change.what << (onCopy ? " on the copy" : "");
        }
    }
}

TEST(CopyTree, AnAttributeObjectHandedOutBeforeTheCopyChangesOnlyItsOwnElement) {
    KrXMLGenericElement original("o", true);
    original.setAttribute("a", "1");
    KrXMLComplexAttribute2* held = original.attribute("a");
    const std::unique_ptr<KrXMLComplexElement> copy = original.copyTree();
    held->setFromText("2");
    EXPECT_EQ(markupOf(original), "<o a=\"2\" />");
    EXPECT_EQ(markupOf(*copy), "<o a=\"1\" />");
}

// What a live page goes through besides kChanges (and after them: "h" is gone, "new" is
// there): elements added, replaced, wrapped, emptied and deleted, texts replaced.
const Change kPageChanges[] = {
    {"a text replaced",
     [](auto& page) {
         byId(page, "d").replaceChildren(std::make_unique<KrHTML_text2>("replaced"));
     }},
    {"an element put in place of another by its attribute",
     [](auto& page) {
         auto progress = std::make_unique<KrHTML_progress2>();
         EXPECT_TRUE(page.putChildWithAttribute(std::move(progress), "id", "new"));
     }},
    {"an element put where none has the attribute",
     [](auto& page) {
         EXPECT_FALSE(
             page.putChildWithAttribute(std::make_unique<KrHTML_div2>("", false), "id", "put"));
     }},
    {"an element deleted by its attribute",
     [](auto& page) { page.deleteChildWithAttribute("id", "put"); }},
    {"a child replaced",
     [](auto& page) {
         KrXMLGenericElement& element = byId(page, "d");
         element.replaceChild(element.firstElementChild(false),
                              std::make_unique<KrHTML_text2>("first"));
     }},
    {"a child wrapped",
     [](auto& page) {
         KrXMLGenericElement& element = byId(page, "d");
         element.wrapChild(element.firstElementChild(false),
                           std::make_unique<KrHTML_div2>("", false));
     }},
    {"a child put in front", [](auto& page) { byId(page, "d").prependChild(page.copyTree()); }},
    {"the head emptied",
     [](auto& page) { page.documentHead(*page.documentRoot())->deleteChildren(); }},
};

// A copied page (whose nodes lie in an arena) and a page built node by node on the heap go
// through the same changes and write the same bytes after each.
TEST(CopyTree, ACopiedPageChangesExactlyLikeOneBuiltOnTheHeap) {
    const std::unique_ptr<KrHTML_Document2> heap = documenttest::everyKindOfNode();
    const std::unique_ptr<KrHTML_Document2> copied = copyOf(*documenttest::everyKindOfNode());
    ASSERT_EQ(markupOf(*copied), markupOf(*heap));
    std::vector<const Change*> changes;
    for (const Change& change : kChanges) {
        changes.push_back(&change);
    }
    for (const Change& change : kPageChanges) {
        changes.push_back(&change);
    }
    for (const Change* change : changes) {
        change->apply(*heap);
        change->apply(*copied);
        EXPECT_EQ(markupOf(*copied), markupOf(*heap)) << change->what;
    }
}

// Two copies of one page swap nodes, a node taken out of one lives on its own and another
// in a tree built on the heap; then the four owners go in every order. Whatever remains
// still writes what it wrote (under AddressSanitizer a block freed too early is a read of
// freed memory), and once all are gone no block is left.
TEST(CopyTree, NodesMovedBetweenCopiesLiveUntilTheirLastOwnerInEveryOrder) {
    const std::unique_ptr<KrHTML_Document2> original = documenttest::everyKindOfNode();
    std::array<int, 4> order{0, 1, 2, 3};
    do {
        const std::size_t before = kr::NodeArena::blocksAlive();
        std::array<std::unique_ptr<KrXMLComplexElement>, 4> owners;
        std::unique_ptr<KrHTML_Document2> first = copyOf(*original);
        std::unique_ptr<KrHTML_Document2> second = copyOf(*original);
        // From the first into the second, and back the other way.
        KrXMLGenericElement& moved = byId(*first, "d");
        second->addToBody(moved.parent()->removeChild(&moved));
        KrXMLGenericElement* body = second->documentBody(*second->documentRoot());
        second->addToHead(std::make_unique<KrHTML_div2>("", false))
            ->addChild(body->removeChild(body->firstElementChild(true)));
        KrXMLGenericElement* head = first->documentHead(*first->documentRoot());
        head->addChild(head->removeChild(head->firstElementChild(true)));
        // A copy of a copy, with an arena of its own, inside the first.
        first->addToBody(std::make_unique<KrHTML_div2>("", false))->addChild(second->copyTree());
        // One taken out alone, one into a tree of the heap.
        KrXMLGenericElement& alone = byId(*second, "d");
        owners[2] = alone.parent()->removeChild(&alone);
        KrXMLComplexElement::ElementList firstBody;
        first->documentBody(*first->documentRoot())->children(firstBody);
        KrXMLComplexElement* taken = firstBody.back();
        owners[3] = std::make_unique<KrHTML_div2>("", false);
        owners[3]->addChild(taken->parent()->removeChild(taken));
        owners[0] = std::move(first);
        owners[1] = std::move(second);

        std::array<std::string, 4> written;
        for (std::size_t i = 0; i < owners.size(); ++i) {
            written[i] = markupOf(*owners[i]);
        }
        for (const int going : order) {
            owners[going].reset();
            for (std::size_t i = 0; i < owners.size(); ++i) {
                if (owners[i] != nullptr) {
                    EXPECT_EQ(markupOf(*owners[i]), written[i]) << "owner " << i;
                }
            }
        }
        EXPECT_EQ(kr::NodeArena::blocksAlive(), before);
    } while (std::next_permutation(order.begin(), order.end()));
}

// Copies of one page are made and changed on several threads at once, as new sessions are.
TEST(CopyTree, OneTreeCopiesOnSeveralThreadsAtOnce) {
    const std::unique_ptr<const KrHTML_Document2> original = documenttest::everyKindOfNode();
    const std::string markup = markupOf(*original);
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<int> good(kThreads, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < kRounds; ++round) {
                    std::unique_ptr<KrHTML_Document2> copy = copyOf(*original);
                    const bool same = markupOf(*copy) == markup;
                    for (const Change& change : kChanges) {
                        change.apply(*copy);
                    }
                    good[t] += same ? 1 : 0;
                }
            });
        }
    }
    EXPECT_EQ(good, std::vector<int>(kThreads, kRounds));
    EXPECT_EQ(markupOf(*original), markup);
}

}  // namespace
