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

// The text as a diagnostic line's part (plain) and appended to a line as an access-log field
// (quoted) are written so.
void expectEscaped(const std::string& text, const std::string& plain, const std::string& quoted,
                   const std::string& what) {
    EXPECT_EQ(kr::escapedText(text), plain) << what;
    std::string line = "line: ";
    kr::appendEscapedText(line, text, kr::QuoteEscaping::kEscape);
    EXPECT_EQ(line, "line: " + quoted) << what;
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
        {"\0\x01\x1F\x20\x7E\x7F\x80\xFF"s, "\\x00\\x01\\x1F ~\\x7F\\x80\\xFF",
         "\\x00\\x01\\x1F ~\\x7F\\x80\\xFF"},
        {"\t", "\\x09", "\\x09"},
        // A C1 control among text and quotes: escaped in both forms, the rest as before.
        {"\"a\xC2\x9B" "2J\"", "\"a\\xC2\\x9B" "2J\"", "\\x22a\\xC2\\x9B" "2J\\x22"},
    };
    for (const Case& c : cases) {
        expectEscaped(c.text, c.plain, c.quoted, c.text);
    }
}

// Escaped or not, a byte sequence is written the same in a diagnostic line and an access-log
// field (there is no quote among them): well-formed UTF-8 stays, but for the C1 controls;
// every byte of anything else is escaped.
TEST(EscapedText, KeepsWellFormedUtf8ButC1ControlsAndEscapesEveryOtherByte) {
    struct Case {
        const char* what;
        std::string text;
        std::string escaped;
    };
    const Case cases[] = {
        // Well-formed, unchanged: the first and last of each length, and text around them.
        {"U+00A0, the first after C1", "\xC2\xA0", "\xC2\xA0"},
        {"U+00E4", "B\xC3\xA4r", "B\xC3\xA4r"},
        {"U+07FF", "\xDF\xBF", "\xDF\xBF"},
        {"U+0800", "\xE0\xA0\x80", "\xE0\xA0\x80"},
        {"U+20AC", "\xE2\x82\xAC 5", "\xE2\x82\xAC 5"},
        {"U+D7FF, below the surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"U+E000, above the surrogates", "\xEE\x80\x80", "\xEE\x80\x80"},
        {"U+FFFF", "\xEF\xBF\xBF", "\xEF\xBF\xBF"},
        {"U+10000", "\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},
        {"an emoji", "ok \xF0\x9F\x98\x80!", "ok \xF0\x9F\x98\x80!"},
        {"U+10FFFF", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        // The C1 controls, both bytes.
        {"U+0080", "\xC2\x80", "\\xC2\\x80"},
        {"U+009B, CSI", "a\xC2\x9B" "2Jb", "a\\xC2\\x9B" "2Jb"},
        {"U+009F", "\xC2\x9F", "\\xC2\\x9F"},
        // Bytes that begin no sequence, and lone continuation bytes.
        {"raw CSI", "a\x9B" "2J", "a\\x9B" "2J"},
        {"lone continuations", "\x80\xBF", "\\x80\\xBF"},
        {"C0, C1, F5, FF", "\xC0\xC1\xF5\xFF", "\\xC0\\xC1\\xF5\\xFF"},
        // Overlong forms: NUL in two, three and four bytes, and "/" in two.
        {"overlong C0 80", "\xC0\x80", "\\xC0\\x80"},
        {"overlong C0 AF", "\xC0\xAF", "\\xC0\\xAF"},
        {"overlong E0 80 80", "\xE0\x80\x80", "\\xE0\\x80\\x80"},
        {"overlong E0 9F BF", "\xE0\x9F\xBF", "\\xE0\\x9F\\xBF"},
        {"overlong F0 80 80 80", "\xF0\x80\x80\x80", "\\xF0\\x80\\x80\\x80"},
        {"overlong F0 8F BF BF", "\xF0\x8F\xBF\xBF", "\\xF0\\x8F\\xBF\\xBF"},
        // Surrogates and code points beyond U+10FFFF.
        {"surrogate ED A0 80", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"surrogate ED BF BF", "\xED\xBF\xBF", "\\xED\\xBF\\xBF"},
        {"U+110000", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        // Broken sequences: the lead is escaped and what follows is judged afresh.
        {"second byte no continuation", "\xC3" "A", "\\xC3" "A"},
        {"third byte no continuation", "\xE2\x82" "A", "\\xE2\\x82" "A"},
        {"fourth byte a new lead", "\xF0\x9F\x98\xE2\x9C\x93", "\\xF0\\x9F\\x98\xE2\x9C\x93"},
        {"a lead after a lead", "\xC3\xC3\xA4", "\\xC3\xC3\xA4"},
        {"a control inside a sequence", "\xE2\x1B[", "\\xE2\\x1B["},
        // Cut short by the end of the text.
        {"two-byte form cut", "ab\xC3", "ab\\xC3"},
        {"three-byte form cut", "ab\xE2\x82", "ab\\xE2\\x82"},
        {"four-byte form cut", "ab\xF0\x9F\x98", "ab\\xF0\\x9F\\x98"},
    };
    for (const Case& c : cases) {
        expectEscaped(c.text, c.escaped, c.escaped, c.what);
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
