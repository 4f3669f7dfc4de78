#include "foundation/Strings.h"

#include <gtest/gtest.h>

#include <map>
#include <unordered_map>

namespace {

using Pieces = std::vector<std::string>;

struct SplitCase {
    std::string text;
    std::string delimiter;
    bool dropEmpty;
    Pieces expected;
};

TEST(SplitString, SplitsAtEveryDelimiter) {
    const SplitCase cases[] = {
        {"a,b,", ",", false, {"a", "b"}},
        {",a", ",", false, {"", "a"}},
        {",a", ",", true, {"a"}},
        {"a,,b", ",", false, {"a", "", "b"}},
        {"a,,b", ",", true, {"a", "b"}},
        {"", ",", false, {}},
        {"abc", "--", false, {"abc"}},
        {"a--b----c", "--", false, {"a", "b", "", "c"}},
        {"GET /x HTTP/1.1", " ", true, {"GET", "/x", "HTTP/1.1"}},
        {"\\a\\\\b\\", "\\", true, {"a", "b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kr::splitString(c.text, c.delimiter, c.dropEmpty), c.expected)
            << "text '" << c.text << "' at '" << c.delimiter << "'";
    }
}

TEST(SplitString, EmptyDelimiterGivesTheTextWholeInsteadOfLooping) {
    EXPECT_EQ(kr::splitString("abc", "", false), Pieces{"abc"});
    EXPECT_EQ(kr::splitString("abc", "", true), Pieces{"abc"});
    EXPECT_EQ(kr::splitString("", "", false), Pieces{});
}

TEST(Trim, RemovesCharactersOfTheSetAtEitherEnd) {
    EXPECT_EQ(kr::trim(" ;\n", " ;\n\t\r"), "");
    EXPECT_EQ(kr::trim("  a b  ", " "), "a b");
    EXPECT_EQ(kr::trimLeft("  a  ", " "), "a  ");
    EXPECT_EQ(kr::trimRight("line\r\n", "\r\n"), "line");
    EXPECT_EQ(kr::trim("", " "), "");
    EXPECT_EQ(kr::trim("abc", ""), "abc");
}

TEST(AsciiCase, ChangesOnlyAsciiLetters) {
    // Bytes above 127 stay as they are whatever the locale: "\xC4" is no letter here.
    EXPECT_EQ(kr::asciiLower("Content-Type: \xC4Z@[`{"), "content-type: \xC4z@[`{");
    EXPECT_EQ(kr::asciiUpper("get /a?b=\xE4z@[`{"), "GET /A?B=\xE4Z@[`{");
    EXPECT_EQ(kr::asciiLower(""), "");
}

TEST(PercentDecode, DecodesLikeTheBase16Conversion) {
    const std::pair<std::string, std::string> cases[] = {
        {"a%20b", "a b"},
        {"%4", std::string(1, '\x04')},
        {"%4g", std::string(1, '\x04')},
        {"%-1", std::string(1, '\xFF')},
        {"%zz", "%zz"},
        {"%", "%"},
        {"a%", "a%"},
        {"%2541", "%41"},
        {"%41%42", "AB"},
        {"100%", "100%"},
        {"%e4%F6", "\xE4\xF6"},
        {"%+", "%+"},
        {"%%41", "%A"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(kr::percentDecode(text), expected) << "text '" << text << "'";
    }
}

TEST(FormDecode, TurnsPlusIntoBlankBeforePercentDecoding) {
    EXPECT_EQ(kr::formDecode("a+b"), "a b");
    EXPECT_EQ(kr::formDecode("a%2Bb"), "a+b");
    EXPECT_EQ(kr::formDecode("%2B+%20"), "+  ");
    EXPECT_EQ(kr::percentDecode("a+b"), "a+b");
}

TEST(EscapeJavaScriptString, EscapesTheEightSpecialCharactersOnce) {
    EXPECT_EQ(kr::escapeJavaScriptString("a\n\"b"), "a\\n\\\"b");
    EXPECT_EQ(kr::escapeJavaScriptString("\b\t\n\f\r\"'\\"), "\\b\\t\\n\\f\\r\\\"\\'\\\\");
    EXPECT_EQ(kr::escapeJavaScriptString("\\n"), "\\\\n");
    EXPECT_EQ(kr::escapeJavaScriptString("plain \xC3\xA4"), "plain \xC3\xA4");
}

TEST(EscapedText, WritesControlBytesAndDelAsHexAndTheQuoteOnlyWhenAsked) {
    using namespace std::string_literals;
    struct Case {
        std::string text;
        std::string plain;   // a diagnostic line's part
        std::string quoted;  // an access-log field
    };
    const Case cases[] = {
        {"", "", ""},
        {"onclick i11 /f11?a=1&b=%41", "onclick i11 /f11?a=1&b=%41", "onclick i11 /f11?a=1&b=%41"},
        {"say \"hi\" \\ \xC3\xA4~", "say \"hi\" \\ \xC3\xA4~", "say \\x22hi\\x22 \\ \xC3\xA4~"},
        {"t\x1B[2J", "t\\x1B[2J", "t\\x1B[2J"},
        {"a\r\nforged line\x07", "a\\x0D\\x0Aforged line\\x07", "a\\x0D\\x0Aforged line\\x07"},
        {"\0\x01\x1F\x20\x7E\x7F\x80\xFF"s, "\\x00\\x01\\x1F ~\\x7F\x80\xFF",
         "\\x00\\x01\\x1F ~\\x7F\x80\xFF"},
        {"\t", "\\x09", "\\x09"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kr::escapedText(c.text), c.plain) << c.text;
        std::string line = "line: ";
        kr::appendEscapedText(line, c.text, kr::QuoteEscaping::kEscape);
        EXPECT_EQ(line, "line: " + c.quoted) << c.text;
    }
}

TEST(ValueOrDefault, ReadsWithoutInserting) {
    std::map<std::string, std::string> settings{{"startpath", "."}};
    EXPECT_EQ(kr::valueOrDefault(settings, "startpath", "x"), ".");
    EXPECT_EQ(kr::valueOrDefault(settings, "missing", "fallback"), "fallback");
    EXPECT_EQ(settings.size(), 1u);

    const std::unordered_map<std::string, std::string> fields{{"host", "h"}};
    EXPECT_EQ(kr::valueOrDefault(fields, "host", ""), "h");
}

TEST(ReleaseNumber, Is96) { EXPECT_EQ(kr::releaseNumber(), "96"); }

}  // namespace
