#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "document/css/KrCSSRule.h"
#include "document/html/KrHTML_Document2.h"
#include "game/BuiltInFiles.h"
#include "reader/MarkupReader.h"
#include "storage/KrPersistentAppStorage.h"

// The built-in files as the application meets them: stored by the storage initialiser,
// template-expanded, and read as HTML the way a page context loads its page.
namespace {

using GenericList = KrXMLGenericElement::GenericList;

struct Page {
    const char* file;
    const char* scheme;
};
constexpr Page kPages[] = {
    {"spiele.html", "GET"}, {"spiele_post.html", "POST"}, {"spiele_widget.html", "Widget"}};
constexpr const char* kCells[] = {"11", "12", "13", "21", "22", "23", "31", "32", "33"};

std::string markup(const KrXMLComplexElement& element) {
    std::ostringstream out;
    element.write(out);
    return out.str();
}

class GamePagesTest : public testing::Test {
protected:
    void SetUp() override { kr::initStorage(storage_); }

    std::string expanded(const std::string& name) {
        std::string text = storage_.builtInFiles().at(name).contentString();
        storage_.expandTemplate(text, "");
        return text;
    }

    // The page read as the page context reads it; a parse error fails the test.
    std::unique_ptr<KrHTML_Document2> read(const std::string& text) {
        auto document = std::make_unique<KrHTML_Document2>();
        EXPECT_TRUE(kr::readHTMLString(text, *document));
        GenericList errors;
        document->findGenericChildren("pre", errors, -1);
        for (const KrXMLGenericElement* error : errors) {
            ADD_FAILURE() << "read error: " << markup(*error);
        }
        return document;
    }

    static KrXMLGenericElement& byId(KrHTML_Document2& document, const std::string& id) {
        KrXMLGenericElement* found = document.findFirstChildWithAttribute("id", id);
        if (found == nullptr) {
            throw std::runtime_error("no element with id " + id);
        }
        return *found;
    }

    KrPersistentAppStorage storage_;
};

TEST_F(GamePagesTest, InitialiserStoresTheEightFilesAndTheSevenVariables) {
    const auto& files = storage_.builtInFiles();
    ASSERT_EQ(files.size(), 8u);
    const std::pair<const char*, std::uint64_t> binaries[] = {
        {"leer.png", 197}, {"kreuz.png", 407}, {"kreis.png", 385}, {"favicon.ico", 21238}};
    for (const auto& [name, size] : binaries) {
        ASSERT_TRUE(files.count(name)) << name;
        EXPECT_EQ(files.at(name).contentString().size(), size) << name;
    }
    EXPECT_EQ(storage_.builtInFileKind("spiele.css"), 3u);
    EXPECT_EQ(storage_.builtInFileKind("favicon.ico"), 6u);

    for (const kr::TemplateVariable& variable : kr::kTemplateVariables) {
        std::string text = "[[" + std::string(variable.name) + "]]";
        storage_.expandTemplate(text, "");
        EXPECT_EQ(text, variable.value) << variable.name;
    }
}

TEST_F(GamePagesTest, ExpandedStyleSheetGivesTheBodyItsBackgroundColour) {
    const std::string css = expanded("spiele.css");
    EXPECT_EQ(css.find("[["), std::string::npos);

    // Read as a style sheet, the body rule holds the colour as a declaration of its own.
    auto document = read("<html><head><style>" + css + "</style></head></html>");
    GenericList styles;
    document->findGenericChildren("style", styles, -1);
    ASSERT_EQ(styles.size(), 1u);
    KrXMLComplexElement::ElementList nodes;
    styles[0]->children(nodes);
    std::vector<std::string> bodyRules;
    for (const KrXMLComplexElement* node : nodes) {
        if (dynamic_cast<const KrCSSRule*>(node) != nullptr &&
            markup(*node).rfind("body", 0) == 0) {
            bodyRules.push_back(markup(*node));
        }
    }
    ASSERT_EQ(bodyRules.size(), 1u);
    EXPECT_NE(bodyRules[0].find("background-color: #F0F0F0;"), std::string::npos) << bodyRules[0];
}

TEST_F(GamePagesTest, EveryPageReadsAndNamesTheFrameworkVersion) {
    for (const Page& page : kPages) {
        SCOPED_TRACE(page.file);
        const std::string text = expanded(page.file);
        EXPECT_EQ(text.find("[["), std::string::npos);

        auto document = read(text);
        const std::string written = document->toMarkupString();
        EXPECT_NE(written.find(std::string("<title>Online-Game (") + page.scheme +
                               ") - Framework NuxelFrame</title>"),
                  std::string::npos);
        EXPECT_NE(written.find(std::string("<p>A very simple example programmed using the "
                                           "NuxelFrame&nbsp;1.28.1 framework (") +
                               page.scheme + ").</p>"),
                  std::string::npos);
    }
}

TEST_F(GamePagesTest, CellsAreEmptyImagesOnTheBoard) {
    for (const Page& page : kPages) {
        SCOPED_TRACE(page.file);
        auto document = read(expanded(page.file));
        const bool get = std::string(page.scheme) == "GET";
        for (const char* cell : kCells) {
            SCOPED_TRACE(cell);
            KrXMLGenericElement& image = byId(*document, std::string("i") + cell);
            EXPECT_EQ(image.name(), "img");
            EXPECT_EQ(image.getAttribute("src", "-"), "leer.png");
            EXPECT_EQ(image.getAttribute("width", "-"), "50");
            EXPECT_EQ(image.getAttribute("height", "-"), "50");
            if (get) {
                // The page's own script sends the click.
                EXPECT_EQ(image.getAttribute("onclick", "-"),
                          std::string("Spielkommando('f") + cell + "')");
            } else {
                // The context finds the cell by name to make it a command or a widget.
                EXPECT_EQ(document->findFirstChildWithAttribute("name", std::string("f") + cell),
                          &image);
                EXPECT_FALSE(image.hasAttribute("onclick"));
            }
        }
        // image, cell, row, board
        const KrXMLComplexElement* board = byId(*document, "i11").parent()->parent()->parent();
        ASSERT_EQ(board->name(), "table");
        const auto& table = dynamic_cast<const KrXMLGenericElement&>(*board);
        EXPECT_EQ(table.getAttribute("border", "-"), "2");
        EXPECT_EQ(table.getAttribute("cellpadding", "-"), "3");
        EXPECT_EQ(table.getAttribute("frame", "-"), "box");
        EXPECT_EQ(table.getAttribute("align", "-"), get ? "center" : "-");
    }
}

// GET replaces the link inside the heading, POST fills the link with the result text, and
// the Widget page sets the text of the link's u element.
TEST_F(GamePagesTest, RestartHeadingHoldsTheRestartLink) {
    struct Case {
        const char* file;
        const char* headingOnclick;
        const char* linkName;  // the link's own attribute: empty while unset
        const char* linkHref;
        bool textHasId;
    };
    const Case cases[] = {
        {"spiele.html", "Spielkommando('NeuStarten')", "", "#", false},
        {"spiele_post.html", "-", "NeuStarten", "#", false},
        {"spiele_widget.html", "-", "NeuStarten", "#NeuStarten", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto document = read(expanded(c.file));
        KrXMLGenericElement& heading = byId(*document, "restart");
        KrXMLGenericElement& link = byId(*document, "NeuStarten");
        EXPECT_EQ(heading.getAttribute("onclick", "-"), c.headingOnclick);
        EXPECT_EQ(link.parent(), &heading);
        EXPECT_EQ(link.name(), "a");
        EXPECT_EQ(link.getAttribute("name", "-"), c.linkName);
        EXPECT_EQ(link.getAttribute("href", "-"), c.linkHref);
        EXPECT_NE(markup(link).find(">Restart Game</u>"), std::string::npos) << markup(link);
        if (c.textHasId) {
            KrXMLGenericElement& text = byId(*document, "NeuStartenTxt");
            EXPECT_EQ(text.name(), "u");
            EXPECT_EQ(text.parent(), &link);
        }
    }
}

TEST_F(GamePagesTest, SchemeLinksLeadToTheOtherTwoSchemes) {
    struct Link {
        const char* name;
        const char* href;
        const char* onclick;
        const char* text;
    };
    struct Case {
        const char* file;
        std::vector<Link> links;
    };
    const Case cases[] = {
        {"spiele.html",
         {{"playpost", "#playpost", "Spielkommando('playpost')", "POST"},
          {"playwidget", "#playwidget", "Spielkommando('playwidget')", "Widget"}}},
        {"spiele_post.html", {{"playget", "#", "-", "GET"}, {"playwidget", "#", "-", "Widget"}}},
        {"spiele_widget.html",
         {{"playget", "#playget", "-", "GET"}, {"playpost", "#playpost", "-", "POST"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto document = read(expanded(c.file));
        for (const Link& expected : c.links) {
            SCOPED_TRACE(expected.name);
            KrXMLGenericElement* link =
                document->findFirstChildWithAttribute("name", expected.name);
            ASSERT_NE(link, nullptr);
            EXPECT_EQ(link->name(), "a");
            EXPECT_EQ(link->getAttribute("id", "-"), expected.name);
            EXPECT_EQ(link->getAttribute("href", "-"), expected.href);
            EXPECT_EQ(link->getAttribute("onclick", "-"), expected.onclick);
            EXPECT_NE(markup(*link).find(std::string(">") + expected.text + "</a>"),
                      std::string::npos);
        }
    }
}

TEST_F(GamePagesTest, OnlyTheGetPageHasAScript) {
    for (const Page& page : kPages) {
        SCOPED_TRACE(page.file);
        auto document = read(expanded(page.file));
        GenericList scripts;
        document->findGenericChildren("script", scripts, -1);
        if (std::string(page.scheme) == "GET") {
            ASSERT_EQ(scripts.size(), 1u);
            EXPECT_NE(
                markup(*scripts[0]).find("window.location.href = URI + '?nuxelid=' + nuxelid"),
                std::string::npos);
        } else {
            EXPECT_TRUE(scripts.empty());
        }
    }
}

}  // namespace
