#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/KrResourceRecord.h"
#include "storage/KrCommandCompiler.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

constexpr std::string_view kError = "/* error */\n";

class Templates : public ::testing::Test {
protected:
    std::string expand(std::string text, const std::string& project = "") const {
        storage_.expandTemplate(text, project);
        return text;
    }

    KrPersistentAppStorage storage_;
};

TEST_F(Templates, ReplacesKeysByTheirVariables) {
    storage_.setTemplateVariable("X", "1.28.1");
    storage_.setTemplateVariable("body:background-color", "#F0F0F0");
    const std::pair<std::string, std::string> cases[] = {
        {"a[[X]]b", "a1.28.1b"},
        {"[[X]][[X]]", "1.28.11.28.1"},
        {"body { background: [[body:background-color]]; }", "body { background: #F0F0F0; }"},
        {"no keys at all", "no keys at all"},
        {"", ""},
        {"[[Y]]", ""},           // unset
        {"<[[]]>", "<>"},        // empty key
        {"[[x]]", ""},           // names are matched with their case
        {"[[ X ]]", ""},         // and untrimmed
        {"[[a[[X]]", ""},        // the key is "a[[X": the first "]]" closes it
        {"[X]] ]]", "[X]] ]]"},  // closing markers alone stay
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(expand(text), expected) << "text '" << text << "'";
    }
}

TEST_F(Templates, ReplacementsAreExpandedAgain) {
    storage_.setTemplateVariable("A", "[[B]]");
    storage_.setTemplateVariable("B", "x");
    storage_.setTemplateVariable("C", "<[[A]]|[[B]]>");
    EXPECT_EQ(expand("[[A]]"), "x");
    EXPECT_EQ(expand("[[C]]!"), "<x|x>!");

    // A value may complete a key with the text after it.
    storage_.setTemplateVariable("OPEN", "[[B");
    EXPECT_EQ(expand("[[OPEN]]]]"), "x");
}

TEST_F(Templates, AnUnterminatedKeyEndsTheExpansion) {
    storage_.setTemplateVariable("X", "1");
    EXPECT_EQ(expand("[[X]] and [[X"), "1 and [[X");
    EXPECT_EQ(expand("[[X and [[X]]"), "");  // the key runs up to the first "]]"
    EXPECT_EQ(expand("[[X]] [[Y [[X]]"), "1 ");
    EXPECT_EQ(expand("[[X]] [["), "1 [[");
}

TEST_F(Templates, SettingReplacesAndErasingRemoves) {
    storage_.setTemplateVariable("V", "one");
    storage_.setTemplateVariable("V", "two");
    EXPECT_EQ(expand("[[V]]"), "two");
    storage_.eraseTemplateVariable("V");
    EXPECT_EQ(expand("[[V]]"), "");
    storage_.eraseTemplateVariable("never-set");
    EXPECT_EQ(expand("[[V]]"), "");
}

TEST_F(Templates, AProjectThatIsNotLoadedLeavesTheTemplateVariables) {
    storage_.setTemplateVariable("X", "global");
    EXPECT_EQ(expand("[[X]]", "no-such-project"), "global");
    EXPECT_EQ(expand("[[X]]", "no-such-project"), "global");
}

TEST_F(Templates, ASelfReferenceStopsAfterTheBoundAndLeavesTheRest) {
    storage_.setTemplateVariable("SELF", "x[[SELF]]");
    storage_.setTemplateVariable("X", "1");
    const std::string expanded = expand("[[SELF]] [[X]]");
    const std::size_t bound = KrPersistentAppStorage::kMaxTemplateSubstitutions;
    EXPECT_EQ(expanded, std::string(bound, 'x') + "[[SELF]] [[X]]");

    // Through others, and a value that grows on every round.
    storage_.setTemplateVariable("PING", "[[PONG]]");
    storage_.setTemplateVariable("PONG", "[[PING]]");
    EXPECT_EQ(expand("[[PING]]"), "[[PING]]");
    storage_.setTemplateVariable("TWICE", "[[TWICE]][[TWICE]]");
    EXPECT_EQ(expand("[[TWICE]]").size(), (bound + 1) * std::string("[[TWICE]]").size());
}

TEST_F(Templates, CommandsAreReplacedByTheCompilersOutput) {
    const std::string twoBoxes =
        "!linearanimation(.box, 2s, infinite, 2, opacity:1;, "
        "opacity:0;, 5)";
    const std::string expanded = expand("<style>\n[[" + twoBoxes + "]]</style>");
    EXPECT_EQ(expanded, "<style>\n" + KrCommandCompiler().compile(twoBoxes) + "</style>");
    EXPECT_TRUE(
        expanded.starts_with("<style>\n.box0 {\n  -webkit-animation: box0 2s infinite;\n"
                             "  animation: box0 2s infinite;\n}\n\n"
                             "@-webkit-keyframes box0 {\n0% {\n  opacity:1;\n}\n"
                             "45% {\n  opacity:1;\n}\n50% {\n  opacity:0;\n}\n"))
        << expanded;

    const std::string threeHeaders =
        "!linearanimation('#hdr', 1s, linear, 3, color:red, "
        "color:blue, 0)";
    const std::string three = expand("[[" + threeHeaders + "]]");
    EXPECT_EQ(three, KrCommandCompiler().compile(threeHeaders));
    EXPECT_NE(three.find("#hdr2 {\n"), std::string::npos);
    EXPECT_NE(three.find("@keyframes hdr1 {\n0% {\n  color:blue\n}\n33.3333% {\n  color:blue\n}\n"
                         "33.3333% {\n  color:red\n}\n66.6667% {\n  color:red\n}\n"),
              std::string::npos);
}

TEST_F(Templates, CommandsThatFailBecomeTheErrorComment) {
    const std::string error(kError);
    const std::pair<std::string, std::string> cases[] = {
        {"a[[!foo(1)]]b", "a" + error + "b"},
        {"[[!linearanimation(.box)]]", error},
        {"[[!linearanimation (.b,1s,x,2,a,b,0)]]", error},
        {"[[!linearanimation(.b,1s,x,10001,a,b,0)]]", error},
        {"[[!linearanimation(.b,1s,x,4294967296,a,b,0)]]", error},
        {"[[!linearanimation(.b,1s,x,-1,a,b,0)]]", error},
        {"[[!linearanimation(.b,1s,x,1,a,b,0)]]", ""},
        {"[[!]]", error},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(expand(text), expected) << "text '" << text << "'";
    }
}

TEST(BuiltInFiles, TheTableIsACopyThatASecondCallReplaces) {
    KrPersistentAppStorage storage;
    KrPersistentAppStorage::BuiltInFiles first{
        {"spiele.css", KrResourceRecord("spiele.css", 3, "body {}", false)},
        {"leer.png", KrResourceRecord("leer.png", 4, "AAEC", true)},
    };
    storage.setBuiltInFiles(first);
    first.clear();
    EXPECT_EQ(storage.builtInFiles().size(), 2u);
    EXPECT_EQ(storage.builtInFileKind("spiele.css"), 3u);
    EXPECT_EQ(storage.builtInFileKind("leer.png"), 4u);
    EXPECT_EQ(storage.builtInFiles().at("leer.png").contentString(), std::string("\0\1\2", 3));

    storage.setBuiltInFiles(
        {{"spiele.html", KrResourceRecord("spiele.html", 1, "<html/>", false)}});
    EXPECT_EQ(storage.builtInFiles().size(), 1u);
    EXPECT_EQ(storage.builtInFileKind("spiele.css"), 0u);
    EXPECT_EQ(storage.builtInFileKind("spiele.html"), 1u);
}

TEST(BuiltInFiles, LookingUpAMissingNameAddsNothing) {
    KrPersistentAppStorage storage;
    storage.setBuiltInFiles({{"a", KrResourceRecord("a", 1, "x", false)}});
    EXPECT_EQ(storage.builtInFileKind("missing"), 0u);
    EXPECT_EQ(storage.builtInFileKind(""), 0u);
    EXPECT_EQ(storage.builtInFiles().size(), 1u);
    EXPECT_EQ(storage.builtInFiles().count("missing"), 0u);
}

// Request threads read the tables and expand pages at the same time; under
// ThreadSanitizer any write to a shared map on a lookup shows up here.
TEST(TemplatesConcurrently, ManyThreadsExpandAndLookUpAtOnce) {
    KrPersistentAppStorage storage;
    storage.setBuiltInFiles({{"spiele.css", KrResourceRecord("spiele.css", 3, "x", false)}});
    storage.setTemplateVariable("NUXELFRAMEWORK", "1.28.1");
    storage.setTemplateVariable("ALIAS", "[[NUXELFRAMEWORK]]");

    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<int> mismatches(kThreads, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&storage, &mismatches, t] {
                for (int round = 0; round < kRounds; ++round) {
                    std::string page = "v[[ALIAS]] [[missing" + std::to_string(round) +
                                       "]][[!linearanimation(.b,1s,x,2,a,b,0)]]";
                    storage.expandTemplate(page, "project" + std::to_string(round));
                    const bool pageOk = page.starts_with("v1.28.1 .b0 {");
                    const bool kindsOk = storage.builtInFileKind("spiele.css") == 3 &&
                                         storage.builtInFileKind("nope" + std::to_string(t)) == 0;
                    if (!pageOk || !kindsOk) {
                        ++mismatches[t];
                    }
                }
            });
        }
    }
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
    EXPECT_EQ(storage.builtInFiles().size(), 1u);
}

}  // namespace
