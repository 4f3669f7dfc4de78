#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Markup.h"
#include "document/xml/KrWidgetManager_base.h"
#include "document/xml/KrXMLGenericElement.h"
#include "document/xml/KrXMLLeafNodes.h"
#include "document/xml/NodeArena.h"

namespace {

using kr::NodeArena;

std::unique_ptr<KrXMLGenericElement> element(const char* name) {
    return std::make_unique<KrXMLGenericElement>(name, true);
}

// <r k="v"><a>one</a><b><c>two</c></b><d /></r>, made on the heap.
std::unique_ptr<KrXMLGenericElement> sampleTree() {
    auto root = element("r");
    root->setAttribute("k", "v");
    kr::appendChild(*root, element("a"))->addChild(std::make_unique<KrXMLGenericText>("one"));
    KrXMLGenericElement* b = kr::appendChild(*root, element("b"));
    kr::appendChild(*b, element("c"))->addChild(std::make_unique<KrXMLGenericText>("two"));
    root->addChild(element("d"));
    return root;
}

std::unique_ptr<KrXMLComplexElement> copyOf(const KrXMLComplexElement& original) {
    std::unique_ptr<KrXMLComplexElement> copy = original.copyTree();
    EXPECT_NE(copy, nullptr);
    return copy;
}

KrXMLComplexElement* childNamed(KrXMLComplexElement& parent, const std::string& name) {
    KrXMLComplexElement::ElementList found;
    parent.findChildren(name, found, -1);
    return found.empty() ? nullptr : found.front();
}

// Where a node taken out of a copied tree goes while the tree is deleted.
struct Holder {
    const char* what;
    // Takes the node; null when the holder is the node itself.
    std::function<std::unique_ptr<KrXMLComplexElement>(std::unique_ptr<KrXMLComplexElement>)> take;
    // The arena blocks the holder keeps alive besides the copied tree's.
    std::size_t ownBlocks;
};

const Holder kHolders[] = {
    {"held alone", [](auto node) { return node; }, 0},
    {"in a tree made on the heap",
     [](auto node) {
         std::unique_ptr<KrXMLComplexElement> tree = element("heap");
         tree->addChild(std::move(node));
         return tree;
     },
     0},
    {"in another copied tree",
     [](auto node) {
         std::unique_ptr<KrXMLComplexElement> tree = copyOf(*element("other"));
         tree->addChild(std::move(node));
         return tree;
     },
     1},
};

TEST(NodeArena, ANodeTakenOutOfACopiedTreeLivesOnAfterTheTree) {
    const std::unique_ptr<KrXMLGenericElement> original = sampleTree();
    const struct {
        const char* name;
        const char* markup;
    } kTaken[] = {
        {"a", "<a>one</a>"},             // a child of the top, with a text
        {"b", "<b>\n<c>two</c>\n</b>"},  // a node with children of its own
        {"c", "<c>two</c>"},             // a node further down
        {"d", "<d />"},                  // a node without children
    };
    for (const auto& taken : kTaken) {
        for (const Holder& holder : kHolders) {
            SCOPED_TRACE(std::string(taken.name) + " " + holder.what);
            const std::size_t before = NodeArena::blocksAlive();
            std::unique_ptr<KrXMLComplexElement> copy = copyOf(*original);
            KrXMLComplexElement* node = childNamed(*copy, taken.name);
            ASSERT_NE(node, nullptr);
            std::unique_ptr<KrXMLComplexElement> held =
                holder.take(node->parent()->removeChild(node));
            EXPECT_EQ(NodeArena::blocksAlive(), before + 1 + holder.ownBlocks);

            copy.reset();
            // The copy's block stays for the node taken out of it.
            EXPECT_EQ(NodeArena::blocksAlive(), before + 1 + holder.ownBlocks);
            EXPECT_EQ(markupOf(*node), taken.markup);
            node->addChild(std::make_unique<KrXMLGenericText>("+"));
            EXPECT_NE(markupOf(*held).find("+"), std::string::npos);

            held.reset();
            EXPECT_EQ(NodeArena::blocksAlive(), before);
        }
    }
}

TEST(NodeArena, ACopiedTreeChangesLikeAnyOtherAndGoesWithAllItsBlocks) {
    const std::size_t before = NodeArena::blocksAlive();
    {
        const std::unique_ptr<KrXMLComplexElement> copy = copyOf(*sampleTree());
        KrXMLComplexElement* b = childNamed(*copy, "b");
        // More children than the copy made room for: the list leaves the block.
        for (int i = 0; i < 100; ++i) {
            b->addChild(element("n"));
        }
        b->prependChild(element("first"));
        EXPECT_TRUE(b->replaceChild(childNamed(*b, "c"), element("c2")));
        EXPECT_TRUE(copy->wrapChild(childNamed(*copy, "a"), element("wrap")));
        childNamed(*copy, "d")->addChild(element("e"));
        const std::string markup = markupOf(*copy);
        const std::string start = "<r k=\"v\">\n<wrap>\n<a>one</a>\n</wrap>\n<b>\n<first />";
        EXPECT_EQ(markup.substr(0, start.size()), start);
        EXPECT_NE(markup.find("<c2 />"), std::string::npos);
        EXPECT_EQ(markup.find("<c>"), std::string::npos);
        copy->deleteChildren();
        EXPECT_EQ(markupOf(*copy), "<r k=\"v\" />");
    }
    EXPECT_EQ(NodeArena::blocksAlive(), before);
}

// A caller that copies one tree many times measures it once and plans each copy with that;
// a plan that falls short, or is far too big, still makes the same copy.
TEST(NodeArena, ACopyPlannedForItsFootprintTakesOneBlockAndAnyPlanMakesTheSameCopy) {
    const std::unique_ptr<KrXMLGenericElement> original = sampleTree();
    const std::string markup = markupOf(*original);
    const std::size_t footprint = original->copyFootprint();
    for (const std::size_t plan : {footprint, std::size_t{0}, footprint / 2, 10 * footprint}) {
        SCOPED_TRACE(plan);
        const std::size_t before = NodeArena::blocksAlive();
        std::unique_ptr<KrXMLComplexElement> copy = original->copyTree(plan);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(markupOf(*copy), markup);
        if (plan >= footprint) {
            EXPECT_EQ(NodeArena::blocksAlive(), before + 1);
        }
        copy.reset();
        EXPECT_EQ(NodeArena::blocksAlive(), before);
    }
}

// Copies itself like any node class, but its copy constructor throws once the tree has
// made other copies in the arena.
class RefusesToCopy : public KrXMLGenericElement {
public:
    RefusesToCopy() : KrXMLGenericElement("refuses", true) {}
    RefusesToCopy(const RefusesToCopy& other) : KrXMLGenericElement(other) {
        throw std::runtime_error("no copy");
    }

protected:
    std::unique_ptr<KrXMLComplexElement> cloneNode(NodeArena& arena) const override {
        return std::unique_ptr<KrXMLComplexElement>(new (arena) RefusesToCopy(*this));
    }
    std::size_t nodeSize() const override { return sizeof(RefusesToCopy); }
};

TEST(NodeArena, ACopyThatThrowsLeavesNoBlockBehind) {
    std::unique_ptr<KrXMLGenericElement> original = sampleTree();
    childNamed(*original, "c")->addChild(std::make_unique<RefusesToCopy>());
    original->addChild(element("after"));
    const std::size_t before = NodeArena::blocksAlive();
    EXPECT_THROW(original->copyTree(), std::runtime_error);
    EXPECT_EQ(NodeArena::blocksAlive(), before);
}

// Tells when an element goes by deleting a tree it was given: a deletion inside another.
struct DeletesATree : KrWidgetManager_base {
    void elementDestroyed(const KrXMLComplexElement* /*element*/) override { tree.reset(); }
    std::unique_ptr<KrXMLComplexElement> tree;
};

TEST(NodeArena, ATreeDeletedWhileAnotherIsDeletedGoesWithItsBlock) {
    const std::unique_ptr<KrXMLGenericElement> original = sampleTree();
    const std::size_t before = NodeArena::blocksAlive();
    DeletesATree user;
    user.tree = copyOf(*original);
    std::unique_ptr<KrXMLComplexElement> copy = copyOf(*original);
    childNamed(*copy, "b")->setUserData(&user);
    copy.reset();
    EXPECT_EQ(user.tree, nullptr);
    EXPECT_EQ(NodeArena::blocksAlive(), before);
}

// The arena alone: pieces of various sizes, in arenas planned for none, for some and for
// more than they get, given back in any order, before or after their arena ends.
TEST(NodeArena, PiecesNeverOverlapAndTheirBlocksGoWithTheLastOfThem) {
    constexpr std::size_t kPieces = 2000;
    std::mt19937 random(15);
    std::vector<std::size_t> sizes(kPieces);
    std::size_t planned = 0;
    for (std::size_t& size : sizes) {
        size = 1 + random() % 300;
        planned += NodeArena::footprint(size);
    }
    for (const std::size_t plan : {std::size_t{0}, planned / 3, planned, 2 * planned}) {
        for (const bool arenaFirst : {true, false}) {
            SCOPED_TRACE(std::to_string(plan) + (arenaFirst ? " arena first" : " pieces first"));
            const std::size_t before = NodeArena::blocksAlive();
            std::vector<unsigned char*> pieces;
            {
                NodeArena arena(plan);
                for (std::size_t i = 0; i < kPieces; ++i) {
                    auto* piece = static_cast<unsigned char*>(arena.allocate(sizes[i]));
                    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(piece) % NodeArena::kAlignment, 0u);
                    std::memset(piece, static_cast<int>(i % 251), sizes[i]);
                    pieces.push_back(piece);
                }
                if (plan == planned) {
                    EXPECT_EQ(NodeArena::blocksAlive(), before + 1);
                }
                std::shuffle(pieces.begin(), pieces.end(), random);
                if (!arenaFirst) {
                    for (std::size_t i = pieces.size() / 2; i < pieces.size(); ++i) {
                        NodeArena::release(pieces[i]);
                    }
                    pieces.resize(pieces.size() / 2);
                }
            }
            EXPECT_GT(NodeArena::blocksAlive(), before);
            std::sort(pieces.begin(), pieces.end());
            for (unsigned char* piece : pieces) {
                NodeArena::release(piece);
            }
            EXPECT_EQ(NodeArena::blocksAlive(), before);
        }
    }
}

TEST(NodeArena, PiecesHoldTheirBytesUntilGivenBack) {
    NodeArena arena(0);
    std::vector<std::pair<unsigned char*, std::size_t>> pieces;
    for (std::size_t size = 1; size < 600; size += 7) {
        auto* piece = static_cast<unsigned char*>(arena.allocate(size));
        std::memset(piece, static_cast<int>(size % 256), size);
        pieces.emplace_back(piece, size);
    }
    for (const auto& [piece, size] : pieces) {
        EXPECT_TRUE(std::all_of(piece, piece + size, [size = size](unsigned char c) {
            return c == size % 256;
        })) << size;
        NodeArena::release(piece);
    }
}

// The nodes of one copy deleted on several threads at once, while the copy itself goes on
// yet another: the block goes once, after the last of them.
TEST(NodeArena, NodesOfOneCopyGoOnSeveralThreadsAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kNodesPerThread = 50;
    auto original = element("r");
    for (int i = 0; i < kThreads * kNodesPerThread; ++i) {
        kr::appendChild(*original, element("n"))
            ->addChild(std::make_unique<KrXMLGenericText>("text " + std::to_string(i)));
    }
    const std::size_t before = NodeArena::blocksAlive();
    for (int round = 0; round < 20; ++round) {
        std::unique_ptr<KrXMLComplexElement> copy = copyOf(*original);
        std::vector<std::vector<std::unique_ptr<KrXMLComplexElement>>> handedOut(kThreads);
        KrXMLComplexElement::ElementList children;
        copy->children(children);
        for (std::size_t i = 0; i < children.size() / 2; ++i) {
            handedOut[i % kThreads].push_back(copy->removeChild(children[i]));
        }
        std::vector<std::jthread> threads;
        for (auto& nodes : handedOut) {
            threads.emplace_back([&nodes] { nodes.clear(); });
        }
        copy.reset();
    }
    EXPECT_EQ(NodeArena::blocksAlive(), before);
}

}  // namespace
