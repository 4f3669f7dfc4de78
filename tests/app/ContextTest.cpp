#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PageEnvironment.h"
#include "app/KrHTML_CommandFormN1.h"
#include "document/html/KrHTML_Document2.h"
#include "foundation/KrException.h"

namespace {

using apptest::kFreshPage;
using apptest::run;

// A page with the parts the context works on: a template key, a named clickable element,
// and a form that already carries a "nuxelid" field.
constexpr const char* kPage =
    "<!DOCTYPE html>\n"
    "<html><head><title>[[title]]</title></head>"
    "<body><img id=\"i11\" name=\"f11\" src=\"leer.png\" />"
    "<form action=\"go\"><input name=\"nuxelid\" value=\"old\" /></form>"
    "</body></html>\n";

class Context : public apptest::PageEnvironment {
protected:
    void SetUp() override { storage_.setTemplateVariable("title", "Tic Tac Toe"); }

    // A hook that records the command it was given and answers with text.
    KrPageHandler answering(std::string text) {
        return [this, text](KrXHeader&, KrXResponseHeader& response, const std::string& command) {
            commands_.push_back(command);
            response.writeAnswer(text);
        };
    }

    std::vector<std::string> commands_;
};

std::string thrownBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const KrException& e) {
        return e.what();
    }
    return "";
}

TEST_F(Context, RefusesToExistWithoutAnApplication) {
    EXPECT_EQ(thrownBy([&] { KrHTMLKontextN context(nullptr, kSession, true, "p", &settings_); }),
              "App must be defined, but is nullptr");
}

TEST_F(Context, RunsTheHookOfExactlyTheRequestPath) {
    auto context = newContext();
    context->setHook("/f11", answering("cell"));
    struct Case {
        const char* target;
        bool answered;
    } cases[] = {
        {"/f11", true},
        {"/f11?nuxelid=x&nuxelcommand=c", true},  // the query is not part of the path
        {"/f11/", false},
        {"/F11", false},
        {"/f1", false},
    };
    for (const Case& c : cases) {
        const auto exchange = run(*context, c.target, "cmd");
        EXPECT_EQ(exchange.status(), c.answered ? 200 : 500) << c.target;
        EXPECT_EQ(exchange.body(), c.answered ? "cell" : "") << c.target;
    }
    EXPECT_EQ(commands_, (std::vector<std::string>{"cmd", "cmd"}));
}

TEST_F(Context, ALaterHookForThePathReplacesTheEarlierOne) {
    auto context = newContext();
    context->setHook("/x", answering("first"));
    context->setHook("/x", answering("second"));
    EXPECT_EQ(run(*context, "/x").body(), "second");
}

TEST_F(Context, AHookMayReplaceItselfWhileItRuns) {
    auto context = newContext();
    KrHTMLKontextN* page = context.get();
    const std::string big(1000, 'x');  // state the running handler still reads afterwards
    context->setHook(
        "/x", [page, big, this](KrXHeader&, KrXResponseHeader& response, const std::string&) {
            page->setHook("/x", answering("replaced"));
            response.writeAnswer(big.substr(0, 3));
        });
    EXPECT_EQ(run(*context, "/x").body(), "xxx");
    EXPECT_EQ(run(*context, "/x").body(), "replaced");
}

// More hooks than a game page sets, set in no order and some of them twice, and a hook that
// sets many more while it runs: each path still runs its own latest hook and no other.
TEST_F(Context, ManyHooksSetInAnyOrderEachAnswerOnlyTheirOwnPath) {
    auto context = newContext();
    KrHTMLKontextN* page = context.get();
    std::vector<std::string> paths;
    for (int i = 0; i < 40; ++i) {
        paths.push_back("/p" + std::to_string((i * 17) % 40));
    }
    paths.insert(paths.end(), {"/p", "/p1/", "/a", "/z"});
    for (const std::string& path : paths) {
        context->setHook(path, answering("old " + path));
    }
    for (const std::string& path : paths) {
        if (path.size() % 2 == 0) {
            context->setHook(path, answering(path));
        }
    }
    const std::string kept(1000, 'k');  // state the running hook reads after it set the others
    context->setHook(
        "/grow", [page, kept, this](KrXHeader&, KrXResponseHeader& response, const std::string&) {
            for (int i = 0; i < 100; ++i) {
                page->setHook("/q" + std::to_string(i), answering("q" + std::to_string(i)));
            }
            response.writeAnswer(kept.substr(0, 4));
        });
    EXPECT_EQ(run(*context, "/grow").body(), "kkkk");
    for (const std::string& path : paths) {
        EXPECT_EQ(run(*context, path).body(), path.size() % 2 == 0 ? path : "old " + path);
    }
    EXPECT_EQ(run(*context, "/q99").body(), "q99");
    for (const char* unknown : {"/p40", "/p1/x", "/q", "/b"}) {
        EXPECT_EQ(run(*context, unknown).status(), 500) << unknown;
    }
}

TEST_F(Context, EveryContextServesTheUpdateChannelAndWidgetActions) {
    auto context = contextWithPage(kPage);
    EXPECT_TRUE(context->hasHook("/"));
    EXPECT_TRUE(context->hasHook("/nuxelwidget.handler"));
    // Any command on "/" but the update poll answers with the page.
    const auto page = run(*context, "/", "&new");
    EXPECT_EQ(page.status(), 200);
    EXPECT_EQ(page.body(), context->render());
    const auto widget = run(*context, "/nuxelwidget.handler");
    EXPECT_EQ(widget.status(), 200);
    EXPECT_EQ(widget.body().rfind("// NuxelWidget handler\n", 0), 0u);
}

TEST_F(Context, ABuiltInPageIsTemplateExpandedBeforeItIsRead) {
    auto context = contextWithPage(kPage);
    EXPECT_EQ(context->render(),
              "<!DOCTYPE html>\n"
              "<html>\n"
              "<head>\n"
              "<title>Tic Tac Toe</title>\n"
              "</head>\n"
              "<body>\n"
              "<img id=\"i11\" name=\"f11\" src=\"leer.png\" />\n"
              "<form action=\"go\" method=\"POST\">\n"
              "<input name=\"nuxelid\" value=\"old\" />\n"
              "</form>\n"
              "</body>\n"
              "</html>");
}

// Each context starts from a copy of the page read once: the pages of other sessions
// do not see its changes, and a page whose text changed is read anew.
TEST_F(Context, EveryContextChangesAPageOfItsOwn) {
    auto first = contextWithPage(kPage);
    auto second = newContext("nuxelid000000000000000043");
    ASSERT_TRUE(second->loadPage("page.html", storage_.builtInFiles()));
    const std::string page = second->render();
    first->stampSessionId(kSession);
    first->document()->findFirstChildWithAttribute("id", "i11")->setAttribute("src", "kreuz.png");
    EXPECT_NE(first->render(), page);
    EXPECT_EQ(second->render(), page);
    auto third = newContext();
    ASSERT_TRUE(third->loadPage("page.html", storage_.builtInFiles()));
    EXPECT_EQ(third->render(), page);
}

TEST_F(Context, AChangedTemplateValueOrBuiltInFileIsReadAnew) {
    auto before = contextWithPage(kPage);
    storage_.setTemplateVariable("title", "Noughts and Crosses");
    auto context = newContext();
    ASSERT_TRUE(context->loadPage("page.html", storage_.builtInFiles()));
    EXPECT_NE(context->render().find("<title>Noughts and Crosses</title>"), std::string::npos)
        << context->render();
    addBuiltInFile("page.html", "<html><body><p>replaced</p></body></html>");
    ASSERT_TRUE(context->loadPage("page.html", storage_.builtInFiles()));
    EXPECT_EQ(context->render(),
              "<!DOCTYPE html>\n<html>\n<body>\n<p>replaced</p>\n</body>\n</html>");
    EXPECT_NE(before->render().find("<title>Tic Tac Toe</title>"), std::string::npos);
}

TEST_F(Context, APageThatIsMissingLoadsAsAnEmptyPageAndFails) {
    auto context = contextWithPage(kPage);
    settings_.set("startpath", "/nonexistent-gridlo-directory");
    EXPECT_FALSE(context->loadPage("nothere.html", storage_.builtInFiles()));
    EXPECT_EQ(context->render(), kFreshPage);
    // A directory is not a page either.
    settings_.set("startpath", "/");
    EXPECT_FALSE(context->loadPage("tmp", storage_.builtInFiles()));
    EXPECT_EQ(context->render(), kFreshPage);
}

TEST_F(Context, RendersNothingBeforeAPageIsLoaded) {
    auto context = newContext();
    EXPECT_EQ(context->document(), nullptr);
    EXPECT_EQ(context->render(), "");
    EXPECT_EQ(context->body(), nullptr);
    EXPECT_EQ(context->head(), nullptr);
}

TEST_F(Context, BodyIsMadeWhenThePageHasNone) {
    addBuiltInFile("bare.html", "<!DOCTYPE html>\n<html><head></head></html>\n");
    auto context = newContext();
    ASSERT_TRUE(context->loadPage("bare.html", storage_.builtInFiles()));
    ASSERT_NE(context->body(), nullptr);
    EXPECT_EQ(context->body(), context->body());
    EXPECT_EQ(context->body()->name(), "body");
    EXPECT_EQ(context->head()->name(), "head");
}

// Pages on disk are read from "startpath" plus their name, as they are.
class DiskPage : public Context {
protected:
    void SetUp() override {
        Context::SetUp();
        char pattern[] = "/tmp/gridlo-app-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        std::filesystem::create_directory(directory_ / "pages");
        std::ofstream(directory_ / "pages" / "disk.html") << kPage;
        previous_ = std::filesystem::current_path();
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(directory_);
    }

    std::filesystem::path directory_;
    std::filesystem::path previous_;
};

TEST_F(DiskPage, IsReadFromStartpathWithoutTemplateExpansion) {
    for (const std::string& startPath :
         {(directory_ / "pages").string(), (directory_ / "pages").string() + "/"}) {
        settings_.set("startpath", startPath);
        auto context = newContext();
        ASSERT_TRUE(context->loadPage("disk.html", storage_.builtInFiles())) << startPath;
        EXPECT_NE(context->render().find("<title>[[title]]</title>"), std::string::npos);
    }
}

TEST_F(DiskPage, AnEmptyStartpathReadsFromTheCurrentDirectory) {
    std::filesystem::current_path(directory_ / "pages");
    auto context = newContext();
    ASSERT_TRUE(context->loadPage("disk.html", storage_.builtInFiles()));
    EXPECT_NE(context->render().find("leer.png"), std::string::npos);
    // Reading the setting entered it.
    EXPECT_TRUE(settings_.contains("startpath"));
    EXPECT_EQ(settings_.value("startpath", "unset"), "");
}

TEST_F(Context, StampingNeedsAPage) {
    auto context = newContext();
    EXPECT_EQ(thrownBy([&] { context->stampSessionId(kSession); }),
              "the document can't be a nullptr");
}

TEST_F(Context, StampingAPageWithoutFormsAddsOnlyTheHeadScript) {
    addBuiltInFile("plain.html",
                   "<!DOCTYPE html>\n<html><head></head><body><p>x</p></body></html>");
    auto context = newContext();
    ASSERT_TRUE(context->loadPage("plain.html", storage_.builtInFiles()));
    context->stampSessionId("nuxelid7");
    EXPECT_EQ(context->render(),
              "<!DOCTYPE html>\n"
              "<html>\n"
              "<head>\n"
              "<script type=\"text/javascript\">\n"
              "<!--\n"
              "\n"
              "nuxelid=\"nuxelid7\";\n"
              "//-->\n"
              "\n"
              "</script>\n"
              "</head>\n"
              "<body>\n"
              "<p>x</p>\n"
              "</body>\n"
              "</html>");
}

// The identifier stands in a string literal of the head script: escaped, a quote in it
// cannot end the literal.
TEST_F(Context, StampingEscapesTheIdentifierInTheHeadScript) {
    addBuiltInFile("plain.html",
                   "<!DOCTYPE html>\n<html><head></head><body><p>x</p></body></html>");
    auto context = newContext();
    ASSERT_TRUE(context->loadPage("plain.html", storage_.builtInFiles()));
    context->stampSessionId("id\";alert(1);\"");
    EXPECT_NE(context->render().find("nuxelid=\"id\\\";alert(1);\\\"\";\n"), std::string::npos)
        << context->render();
}

TEST_F(Context, StampingGivesEveryFormOneIdentifierAndOneGeometryField) {
    addBuiltInFile(
        "forms.html",
        "<!DOCTYPE html>\n<html><head></head><body>"
        "<form action=\"a\"><input name=\"nuxelid\" value=\"old\" /></form>"
        "<div><form action=\"b\"><input name=\"nuxelgeometry\" value=\"x\" /></form></div>"
        "</body></html>");
    auto context = newContext();
    ASSERT_TRUE(context->loadPage("forms.html", storage_.builtInFiles()));
    context->stampSessionId("nuxelid7");
    const std::string page = context->render();
    const std::string body = page.substr(page.find("<body>"));
    EXPECT_EQ(body,
              "<body>\n"
              "<form action=\"a\" method=\"POST\">\n"
              "<input name=\"nuxelid\" value=\"nuxelid7\" />\n"
              "<input name=\"nuxelgeometry\" type=\"hidden\" value=\"empty\" />\n"
              "</form>\n"
              "<div>\n"
              "<form action=\"b\" method=\"POST\">\n"
              "<input name=\"nuxelgeometry\" value=\"empty\" />\n"
              "<input name=\"nuxelid\" type=\"hidden\" value=\"nuxelid7\" />\n"
              "</form>\n"
              "</div>\n"
              "</body>\n"
              "</html>");
}

TEST_F(Context, CommandFormPostsTheSessionToItsAction) {
    const KrHTML_CommandFormN1 form("formcommand3", "f22", kSession, "f22");
    EXPECT_EQ(form.toMarkupString(),
              "<form action=\"f22\" id=\"formcommand3\" method=\"POST\">\n"
              "<input name=\"nuxelid\" type=\"hidden\" value=\"nuxelid000000000000000042\" />\n"
              "</form>");
}

TEST_F(Context, CommandElementsAreNumberedFromZeroAndAMissingNameUsesNoNumber) {
    addBuiltInFile(
        "cmd.html",
        "<!DOCTYPE html>\n<html><head></head><body>"
        "<img id=\"i11\" name=\"f11\" src=\"leer.png\" /><a id=\"r\" name=\"NeuStarten\">R</a>"
        "</body></html>");
    auto context = newContext();
    ASSERT_TRUE(context->loadPage("cmd.html", storage_.builtInFiles()));
    EXPECT_TRUE(context->makeCommandElement("f11", false));
    EXPECT_FALSE(context->makeCommandElement("nosuch", true));
    EXPECT_TRUE(context->makeCommandElement("NeuStarten", true));
    const std::string page = context->render();
    EXPECT_EQ(
        page.substr(page.find("<body>")),
        "<body>\n"
        "<img id=\"i11\" name=\"f11\" "
        "onclick=\"javascript:document.forms['formcommand0'].submit();\" src=\"leer.png\" />\n"
        "<a id=\"r\" name=\"NeuStarten\" "
        "onclick=\"javascript:document.forms['formcommand1'].submit();\">R</a>\n"
        "<form action=\"f11\" id=\"formcommand0\" method=\"POST\">\n"
        "<input name=\"nuxelid\" type=\"hidden\" value=\"nuxelid000000000000000042\" />\n"
        "</form>\n"
        "<form action=\"NeuStarten\" id=\"formcommand1\" method=\"POST\">\n"
        "<input name=\"nuxelid\" type=\"hidden\" value=\"nuxelid000000000000000042\" />\n"
        "</form>\n"
        "</body>\n"
        "</html>");
}

// Several commands made with one search of the page give the page that one command after
// the other gives, also for names the commands' own forms bear.
TEST_F(Context, CommandElementsMadeTogetherAreThoseMadeOneByOne) {
    struct Case {
        const char* what;
        const char* body;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases{
        {"in and out of order, missing, twice",
         "<img name=\"f11\" /><p><a name=\"r\">R</a></p><img name=\"f12\" />",
         {"f12", "nosuch", "r", "f11", "r"}},
        {"the first of two elements of a name", "<i name=\"x\">1</i><b name=\"x\">2</b>", {"x"}},
        {"the session field, first found in a form a command added",
         "<img name=\"f11\" />",
         {"nuxelid", "f11", "nuxelid"}},
        {"the session field of the page itself",
         "<input name=\"nuxelid\" /><img name=\"f11\" />",
         {"f11", "nuxelid"}},
    };
    for (const Case& c : cases) {
        addBuiltInFile("cmd.html", "<!DOCTYPE html>\n<html><head></head><body>" +
                                       std::string(c.body) + "</body></html>");
        auto together = newContext();
        auto oneByOne = newContext();
        ASSERT_TRUE(together->loadPage("cmd.html", storage_.builtInFiles()));
        ASSERT_TRUE(oneByOne->loadPage("cmd.html", storage_.builtInFiles()));
        together->makeCommandElements(c.names);
        for (const std::string& name : c.names) {
            oneByOne->makeCommandElement(name, false);
        }
        EXPECT_EQ(together->render(), oneByOne->render()) << c.what;
        // Both numbered on alike.
        EXPECT_EQ(together->makeCommandElement("f11", false),
                  oneByOne->makeCommandElement("f11", false));
        EXPECT_EQ(together->render(), oneByOne->render()) << c.what;
    }
}

TEST_F(Context, TheSessionIdentifierIsTheFirstOwnOneInKeyOrder) {
    auto anonymous = newContext("");
    EXPECT_EQ(anonymous->sessionId(), "");
    EXPECT_TRUE(anonymous->sessionIds().empty());
    anonymous->addSessionId("nuxelidb");
    anonymous->addSessionId("");
    anonymous->addSessionId("nuxelida");
    EXPECT_EQ(anonymous->sessionId(), "nuxelida");
    EXPECT_EQ(anonymous->sessionIds(),
              (KrHTMLKontextN::SessionIds{{"nuxelida", 0}, {"nuxelidb", 0}}));
    EXPECT_EQ(newContext()->sessionId(), kSession);
}

TEST_F(Context, UsesTheApplicationsScheduler) {
    EXPECT_EQ(&newContext()->scheduler(), &application_.scheduler());
}

}  // namespace
