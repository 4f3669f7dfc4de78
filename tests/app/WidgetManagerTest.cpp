#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "PageEnvironment.h"
#include "app/KrWidgetManager.h"
#include "document/html/KrHTMLTags.h"
#include "document/html/KrHTML_Document2.h"

namespace {

using apptest::run;

// Shaped like the game's widget page: cells, and a restart link holding its text.
constexpr const char* kWidgetPage =
    "<!DOCTYPE html>\n"
    "<html><head></head><body>"
    "<img id=\"i11\" src=\"leer.png\" /><img id=\"i12\" src=\"leer.png\" />"
    "<a id=\"NeuStarten\" href=\"#\"><span id=\"NeuStartenTxt\">Restart Game</span></a>"
    "</body></html>";

constexpr const char* kWidgetForm =
    "<form action=\"nuxelwidget.handler\" id=\"nuxelwidgetform\" method=\"post\" "
    "enctype=\"multipart/form-data\" onsubmit=\"return false\">\n"
    "  <input name=\"nuxelid\" type=\"hidden\" value=\"nuxelid000000000000000042\" />\n"
    "  <input id=\"nuxelactionfrm\" name=\"nuxelaction\" type=\"hidden\" value=\"none\" />\n"
    "  <input id=\"nuxelactionelementfrm\" name=\"nuxelactionelement\" type=\"hidden\" "
    "value=\"none\" />\n"
    "  <input id=\"nuxelactionparam1frm\" name=\"nuxelactionparam1\" type=\"hidden\" "
    "value=\"none\" />\n"
    "</form>\n";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

class WidgetManager : public apptest::PageEnvironment {
protected:
    void SetUp() override {
        context_ = contextWithPage(kWidgetPage);
        context_->stampSessionId(kSession);
    }

    KrWidgetManager& widgets() { return context_->widgetManager(); }

    // A handler that answers with a mark naming its element.
    static KrWidgetHandler marking(std::string mark) {
        return [mark](const std::string& elementId, KrXHeader&) {
            return mark + "(" + elementId + ");\n";
        };
    }

    std::string add(const std::string& elementId, const std::string& event,
                    KrWidgetHandler handler) {
        return widgets().addEventHandler(elementId, *context_, event, std::move(handler), {});
    }

    std::string action(const std::string& query) {
        return run(*context_, "/nuxelwidget.handler?" + query).body();
    }

    std::string element(const std::string& id) {
        std::ostringstream markup;
        context_->document()->findFirstChildWithAttribute("id", id)->write(markup);
        return markup.str();
    }

    std::unique_ptr<KrHTMLKontextN> context_;
};

TEST_F(WidgetManager, TheFirstHandlerInstallsTheWidgetScriptAndFormOnce) {
    EXPECT_EQ(add("i11", "onclick", marking("cell")),
              "document.getElementById(\"i11\").setAttribute(\"onclick\","
              "\"nuxelwidgethandler(this, 'onclick');\");\n");
    add("i12", "onclick", marking("cell"));
    const std::string page = context_->render();
    EXPECT_EQ(count(page, "id=\"nuxelwidget\""), 1u);
    EXPECT_EQ(count(page, kWidgetForm), 1u);
    // The script's text is a block of its own: a line feed goes before it.
    const std::size_t scriptStart = page.find("<!--\n\n", page.find("id=\"nuxelwidget\"")) + 6;
    const std::string script =
        page.substr(scriptStart, page.find("\n//-->", scriptStart) - scriptStart);
    EXPECT_EQ(script.size(), 1218u);
    EXPECT_EQ(script.rfind("\n\nfunction nuxelwidgethandlerP1(theobject, theaction, param1)", 0),
              0u);
    EXPECT_EQ(
        element("i11"),
        "<img id=\"i11\" onclick=\"nuxelwidgethandler(this, 'onclick');\" src=\"leer.png\" />");
}

TEST_F(WidgetManager, APageThatHasTheWidgetScriptGetsNoSecondOne) {
    addBuiltInFile("own.html",
                   "<!DOCTYPE html>\n<html><head><script id=\"nuxelwidget\">x</script></head>"
                   "<body><img id=\"i11\" src=\"leer.png\" /></body></html>");
    ASSERT_TRUE(context_->loadPage("own.html", storage_.builtInFiles()));
    add("i11", "onclick", marking("cell"));
    const std::string page = context_->render();
    EXPECT_EQ(count(page, "id=\"nuxelwidget\""), 1u);
    EXPECT_EQ(count(page, "nuxelwidgetform"), 0u);
}

TEST_F(WidgetManager, ASilentHandlerIsRegisteredButTheElementIsLeftAlone) {
    const std::string before = element("i11");
    EXPECT_EQ(widgets().addSilentEventHandler("i11", *context_, "onclick", marking("quiet"), {}),
              "");
    EXPECT_EQ(
        widgets().addEventHandler("i12", *context_, "onclick", marking("quiet"), {{"silent", ""}}),
        "");
    EXPECT_EQ(element("i11"), before);
    EXPECT_EQ(action("nuxelaction=onclick&nuxelactionelement=i11"),
              "// NuxelWidget handler\nquiet(i11);\n");
}

TEST_F(WidgetManager, NothingIsRegisteredWithoutAPageOrWithoutTheElement) {
    auto empty = newContext();
    EXPECT_EQ(empty->widgetManager().addEventHandler("i11", *empty, "onclick", marking("x"), {}),
              "");
    EXPECT_EQ(add("nosuch", "onclick", marking("x")), "");
    EXPECT_EQ(widgets().findWidget("nosuch").elementId, "nuxeldummy");
    EXPECT_EQ(widgets().findWidget("nosuch").element, nullptr);
}

TEST_F(WidgetManager, AnActionRunsTheHandlerOfItsElementAndEvent) {
    add("i11", "onclick", marking("cell"));
    add("i11", "ondblclick", marking("double"));
    testing::internal::CaptureStdout();
    const auto exchange = run(*context_, "/nuxelwidget.handler?nuxelid=" + std::string(kSession) +
                                             "&nuxelaction=ondblclick&nuxelactionelement=i11"
                                             "&nuxelactionparam1=7");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "content: ondblclick\ncontent1: i11\ncontent2: 7\n");
    EXPECT_EQ(exchange.status(), 200);
    EXPECT_EQ(exchange.body(), "// NuxelWidget handler\ndouble(i11);\n");
}

TEST_F(WidgetManager, AnActionsTextsReachStandardOutputWithTheirControlBytesEscaped) {
    add("i11", "onclick", marking("cell"));
    testing::internal::CaptureStdout();
    const auto exchange = run(*context_,
                              "/nuxelwidget.handler?nuxelaction=onclick%1b[2J"
                              "&nuxelactionelement=i11%0d%0aforged%07"
                              "&nuxelactionparam1=%7f%1b]0;title%07");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "content: onclick\\x1B[2J\n"
              "content1: i11\\x0D\\x0Aforged\\x07\n"
              "content2: \\x7F\\x1B]0;title\\x07\n");
    EXPECT_EQ(exchange.status(), 200);
}

TEST_F(WidgetManager, AnActionWithoutAHandlerIsAnsweredWithAComment) {
    add("i11", "onclick", marking("cell"));
    struct Case {
        const char* query;
        const char* comment;
    } cases[] = {
        {"nuxelaction=onclick&nuxelactionelement=i12",
         "// a handler for i12/onclick was not found.\n"},
        {"nuxelaction=onkey&nuxelactionelement=i11", "// a handler for i11/onkey was not found.\n"},
        {"x=1", "// a handler for nix/nix was not found.\n"},
        // Line ends from the request would end the comment and run the rest as code.
        {"nuxelaction=a%0D%0Aalert(1)&nuxelactionelement=b%0Ac",
         "// a handler for b c/a  alert(1) was not found.\n"},
        {"nuxelaction=a%E2%80%A8alert(1)&nuxelactionelement=b%E2%80%A9c",
         "// a handler for b c/a alert(1) was not found.\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(action(c.query), std::string("// NuxelWidget handler\n") + c.comment) << c.query;
    }
}

TEST_F(WidgetManager, ScriptsForAnElementThatIsNoWidgetAreEmptyAndChangeNothing) {
    add("i11", "onclick", marking("cell"));
    const std::string before = context_->render();
    EXPECT_EQ(widgets().setAttributeScript("NeuStartenTxt", "class", "x"), "");
    EXPECT_EQ(widgets().setTextScript("NeuStartenTxt", "X wins"), "");
    EXPECT_EQ(widgets().dropEventHandler("NeuStartenTxt", "onclick"), "");
    EXPECT_EQ(widgets().dropEventHandler("i11", "onkey"), "");
    EXPECT_EQ(context_->render(), before);
}

TEST_F(WidgetManager, WidgetScriptsChangeThePageAsTheyChangeTheBrowser) {
    add("i11", "onclick", marking("cell"));
    add("NeuStartenTxt", "nuxel", marking("cell"));
    EXPECT_EQ(widgets().setAttributeScript("i11", "src", "kreuz.png"),
              "document.getElementById(\"i11\").setAttribute(\"src\",\"kreuz.png\");\n");
    EXPECT_EQ(widgets().dropEventHandler("i11", "onclick"),
              "document.getElementById(\"i11\").setAttribute(\"onclick\",\"\");\n");
    EXPECT_EQ(element("i11"), "<img id=\"i11\" onclick=\"\" src=\"kreuz.png\" />");
    EXPECT_EQ(widgets().setTextScript("NeuStartenTxt", "X wins, Restart Game"),
              "document.getElementById(\"NeuStartenTxt\").innerHTML=\"X wins, Restart Game\";\n");
    EXPECT_EQ(element("NeuStartenTxt"),
              "<span id=\"NeuStartenTxt\" nuxel=\"nuxelwidgethandler(this, 'nuxel');\">X wins, "
              "Restart Game</span>");
    // A dropped event keeps its handler.
    EXPECT_EQ(action("nuxelaction=onclick&nuxelactionelement=i11"),
              "// NuxelWidget handler\ncell(i11);\n");
}

TEST_F(WidgetManager, TextsAreEscapedInsideTheStatementsStringLiterals) {
    add("i11", "onclick", marking("cell"));
    EXPECT_EQ(
        widgets().setAttributeScript("i11", "title", "say \"hi\"\n\\"),
        "document.getElementById(\"i11\").setAttribute(\"title\",\"say \\\"hi\\\"\\n\\\\\");\n");
    add("NeuStartenTxt", "onclick", marking("cell"));
    EXPECT_EQ(
        widgets().setTextScript("NeuStartenTxt", "<b class=\"w\">won</b>"),
        "document.getElementById(\"NeuStartenTxt\").innerHTML=\"<b class=\\\"w\\\">won</b>\";\n");
}

// Identifiers and event names are escaped as well: an id that holds a quote cannot end the
// statement's string literal and run the rest as code.
TEST_F(WidgetManager, IdentifiersAndEventNamesAreEscapedToo) {
    auto page = contextWithPage(
        "<!DOCTYPE html>\n<html><head></head><body><p id='a\"b'>x</p></body></html>");
    page->stampSessionId(kSession);
    KrWidgetManager& manager = page->widgetManager();
    EXPECT_EQ(manager.addEventHandler("a\"b", *page, "on\"x", marking("cell"), {}),
              "document.getElementById(\"a\\\"b\").setAttribute(\"on\\\"x\","
              "\"nuxelwidgethandler(this, 'on\\\"x');\");\n");
    EXPECT_EQ(manager.dropEventHandler("a\"b", "on\"x"),
              "document.getElementById(\"a\\\"b\").setAttribute(\"on\\\"x\",\"\");\n");
    EXPECT_EQ(manager.setTextScript("a\"b", "y"),
              "document.getElementById(\"a\\\"b\").innerHTML=\"y\";\n");
}

TEST_F(WidgetManager, ModalLocksStackAboveEachOther) {
    EXPECT_EQ(widgets().addModalLock("", std::make_unique<KrHTML_span2>(), *context_), "");
    EXPECT_EQ(widgets().addModalLock("m0", nullptr, *context_), "");
    EXPECT_EQ(widgets().addModalLock("m1", std::make_unique<KrHTML_span2>(), *context_),
              "{\n"
              "var newelem = document.createElement('div');\n"
              "newelem.setAttribute('id','modallock1000');\n"
              "newelem.setAttribute('style','background-color: green;height: 100%;left: 0;"
              "opacity: 0.8;position: fixed;top: 0;width: 100%;z-index: 1000;');\n"
              "newelem.innerHTML=\"\";\n"
              "document.body.appendChild(newelem);\n"
              " }{\n"
              "var newelem = document.createElement('div');\n"
              "newelem.setAttribute('id','modalenvelope1001');\n"
              "newelem.setAttribute('style','left: 50%;position: fixed;top: 50%;"
              "transform: translate(-50%, -50%);z-index: 1001;');\n"
              "newelem.innerHTML=\"<span></span>\";\n"
              "document.body.appendChild(newelem);\n"
              " }");
    const std::string second =
        widgets().addModalLock("m2", std::make_unique<KrHTML_span2>(), *context_);
    EXPECT_NE(second.find("'modallock1005'"), std::string::npos);
    EXPECT_NE(second.find("z-index: 1006;"), std::string::npos);
    const std::string page = context_->render();
    EXPECT_NE(page.find("<div id=\"modalenvelope1001\""), std::string::npos);
    EXPECT_NE(page.find("<div id=\"modallock1005\""), std::string::npos);
}

TEST_F(WidgetManager, RemovingAnElementTakesItOutOfTheBrowserAndThePage) {
    widgets().addModalLock("m1", std::make_unique<KrHTML_span2>(), *context_);
    testing::internal::CaptureStdout();
    const std::string script = widgets().removeElementScript("m1", *context_);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        script,
        "{\nvar elem = document.getElementById(\"m1\");\nelem.parentElement.removeChild(elem);\n}\n"
        "{\nvar elem = document.getElementById(\"modallock1000\");\n"
        "elem.parentElement.removeChild(elem);\n}\n"
        "{\nvar elem = document.getElementById(\"modalenvelope1001\");\n"
        "elem.parentElement.removeChild(elem);\n}\n");
    EXPECT_EQ(printed, "ret: " + script + "\n");
    EXPECT_EQ(widgets().findWidget("m1").element, nullptr);
    const std::string page = context_->render();
    EXPECT_EQ(page.find("modallock"), std::string::npos);
    EXPECT_EQ(page.find("modalenvelope"), std::string::npos);
    EXPECT_EQ(page.find("<span></span>"), std::string::npos);
    // The stack was popped: the next lock is the first again.
    EXPECT_NE(widgets()
                  .addModalLock("m3", std::make_unique<KrHTML_span2>(), *context_)
                  .find("'modallock1000'"),
              std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_EQ(widgets().removeElementScript("nosuch", *context_), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ret: \n");
}

TEST_F(WidgetManager, AWidgetWhoseElementIsDestroyedIsForgotten) {
    add("NeuStarten", "onclick", marking("restart"));
    add("NeuStartenTxt", "nuxel", marking("cell"));
    // Replacing the link's content destroys the text element.
    widgets().setTextScript("NeuStarten", "gone");
    EXPECT_EQ(widgets().findWidget("NeuStartenTxt").element, nullptr);
    EXPECT_EQ(action("nuxelaction=nuxel&nuxelactionelement=NeuStartenTxt"),
              "// NuxelWidget handler\n// a handler for NeuStartenTxt/nuxel was not found.\n");
    EXPECT_EQ(action("nuxelaction=onclick&nuxelactionelement=NeuStarten"),
              "// NuxelWidget handler\nrestart(NeuStarten);\n");
}

TEST_F(WidgetManager, ANewPageDocumentStartsAFreshSetOfWidgets) {
    add("i11", "onclick", marking("cell"));
    ASSERT_TRUE(context_->loadPage("page.html", storage_.builtInFiles()));
    EXPECT_EQ(widgets().findWidget("i11").element, nullptr);
    EXPECT_EQ(context_->render().find("nuxelwidget"), std::string::npos);
    add("i12", "onclick", marking("cell"));
    EXPECT_EQ(count(context_->render(), "id=\"nuxelwidgetform\""), 1u);
    EXPECT_EQ(action("nuxelaction=onclick&nuxelactionelement=i11"),
              "// NuxelWidget handler\n// a handler for i11/onclick was not found.\n");
}

TEST_F(WidgetManager, AHandlerMayRegisterItselfAgainWhileItRuns) {
    // As the game's restart handler arms the cells again, its own included.
    KrWidgetHandler rearm = [this](const std::string& elementId, KrXHeader&) {
        const std::string padding(500, 'p');
        std::string script = add(elementId, "onclick", marking("again"));
        return script + padding.substr(0, 1) + "\n";
    };
    add("i11", "onclick", rearm);
    EXPECT_EQ(action("nuxelaction=onclick&nuxelactionelement=i11"),
              "// NuxelWidget handler\n"
              "document.getElementById(\"i11\").setAttribute(\"onclick\","
              "\"nuxelwidgethandler(this, 'onclick');\");\np\n");
    EXPECT_EQ(action("nuxelaction=onclick&nuxelactionelement=i11"),
              "// NuxelWidget handler\nagain(i11);\n");
}

TEST_F(WidgetManager, AManagerThatGoesFirstLeavesNoElementPointingAtIt) {
    KrHTML_Document2* document = context_->document();
    ASSERT_NE(document, nullptr);
    const std::vector<KrXMLComplexElement*> watched = {
        document, document->findFirstChildWithAttribute("id", "i11"),
        document->findFirstChildWithAttribute("id", "i12")};
    {
        KrWidgetManager other;
        other.addEventHandler("i11", *context_, "onclick", marking("x"), {});
        other.addEventHandler("i12", *context_, "onclick", marking("x"), {});
        for (const KrXMLComplexElement* element : watched) {
            ASSERT_NE(element, nullptr);
            EXPECT_EQ(element->userData(), &other);
        }
    }
    // The page and its elements outlive the manager; destroying them must not reach it.
    for (const KrXMLComplexElement* element : watched) {
        EXPECT_EQ(element->userData(), nullptr) << element->name();
    }
    ASSERT_TRUE(context_->loadPage("page.html", storage_.builtInFiles()));
}

TEST_F(WidgetManager, ClearForgetsEveryWidget) {
    add("i11", "onclick", marking("cell"));
    add("i12", "onclick", marking("cell"));
    widgets().clear();
    EXPECT_EQ(widgets().findWidget("i11").element, nullptr);
    EXPECT_EQ(widgets().findWidget("i12").element, nullptr);
    EXPECT_EQ(widgets().findWidget("nuxeldummy").elementId, "nuxeldummy");
}

}  // namespace
