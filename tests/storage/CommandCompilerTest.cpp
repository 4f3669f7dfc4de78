#include "storage/KrCommandCompiler.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

constexpr std::string_view kError = "/* error */\n";

std::string compile(std::string_view text) { return KrCommandCompiler().compile(text); }

// Two boxes, opacity switched 5 percent before each half of the cycle.
constexpr std::string_view kTwoBoxes = R"(.box0 {
  -webkit-animation: box0 2s infinite;
  animation: box0 2s infinite;
}

@-webkit-keyframes box0 {
0% {
  opacity:1;
}
45% {
  opacity:1;
}
50% {
  opacity:0;
}
95% {
  opacity:0;
}
100% {
  opacity:1;
}
}

@keyframes box0 {
0% {
  opacity:1;
}
45% {
  opacity:1;
}
50% {
  opacity:0;
}
95% {
  opacity:0;
}
100% {
  opacity:1;
}
}

.box1 {
  -webkit-animation: box1 2s infinite;
  animation: box1 2s infinite;
}

@-webkit-keyframes box1 {
0% {
  opacity:0;
}
45% {
  opacity:0;
}
50% {
  opacity:1;
}
95% {
  opacity:1;
}
100% {
  opacity:0;
}
}

@keyframes box1 {
0% {
  opacity:0;
}
45% {
  opacity:0;
}
50% {
  opacity:1;
}
95% {
  opacity:1;
}
100% {
  opacity:0;
}
}

)";

// Three headers by id; thirds are written with six significant digits.
constexpr std::string_view kThreeHeaders = R"(#hdr0 {
  -webkit-animation: hdr0 1s linear;
  animation: hdr0 1s linear;
}

@-webkit-keyframes hdr0 {
0% {
  color:red
}
30.3333% {
  color:red
}
33.3333% {
  color:blue
}
97% {
  color:blue
}
100% {
  color:red
}
}

@keyframes hdr0 {
0% {
  color:red
}
30.3333% {
  color:red
}
33.3333% {
  color:blue
}
97% {
  color:blue
}
100% {
  color:red
}
}

#hdr1 {
  -webkit-animation: hdr1 1s linear;
  animation: hdr1 1s linear;
}

@-webkit-keyframes hdr1 {
0% {
  color:blue
}
30.3333% {
  color:blue
}
33.3333% {
  color:red
}
63.6667% {
  color:red
}
66.6667% {
  color:blue
}
100% {
  color:blue
}
}

@keyframes hdr1 {
0% {
  color:blue
}
30.3333% {
  color:blue
}
33.3333% {
  color:red
}
63.6667% {
  color:red
}
66.6667% {
  color:blue
}
100% {
  color:blue
}
}

#hdr2 {
  -webkit-animation: hdr2 1s linear;
  animation: hdr2 1s linear;
}

@-webkit-keyframes hdr2 {
0% {
  color:blue
}
63.6667% {
  color:blue
}
66.6667% {
  color:red
}
97% {
  color:red
}
100% {
  color:blue
}
}

@keyframes hdr2 {
0% {
  color:blue
}
63.6667% {
  color:blue
}
66.6667% {
  color:red
}
97% {
  color:red
}
100% {
  color:blue
}
}

)";

TEST(CommandCompiler, WritesTwoStepAnimationByteForByte) {
    EXPECT_EQ(compile("!linearanimation(.box, 2s, infinite, 2, opacity:1;, opacity:0;, 5)"),
              kTwoBoxes);
}

TEST(CommandCompiler, WritesThreeStepAnimationByteForByte) {
    EXPECT_EQ(compile("!linearanimation('#hdr',\"1s\",linear, 3 ,'color:red',\"color:blue',3)"),
              kThreeHeaders);
}

TEST(CommandCompiler, AcceptsTheSameCommandWrittenDifferently) {
    const std::string_view variants[] = {
        // quotes around every cleaned argument
        "!linearanimation('.box', '2s', \"infinite\", 2, 'opacity:1;', \"opacity:0;\", 5)",
        // blanks after the marker, around arguments and after the digits of N and d
        "! \t\nlinearanimation(\n.box,2s,infinite,2 ,opacity:1;,opacity:0;,5 )",
        // an extra argument and text after the closing parenthesis are ignored
        "!linearanimation(.box,2s,infinite,2,opacity:1;,opacity:0;,5,extra) and more",
        // the unsigned conversion takes a sign and leading white space
        "!linearanimation(.box,2s,infinite,+2,opacity:1;,opacity:0;,\t5)",
    };
    for (const auto variant : variants) {
        EXPECT_EQ(compile(variant), kTwoBoxes) << variant;
    }
}

TEST(CommandCompiler, NamesAnimationsAfterTheSelectorWithoutItsPrefix) {
    const struct {
        std::string_view selector;
        std::string_view rule;
        std::string_view keyframes;
    } cases[] = {
        {".box", ".box0 {\n  -webkit-animation: box0 a b;\n", "\n@keyframes box1 {\n"},
        {"#hdr", "#hdr0 {\n  -webkit-animation: hdr0 a b;\n", "\n@keyframes hdr1 {\n"},
        {"div", "div0 {\n  -webkit-animation: div0 a b;\n", "\n@keyframes div1 {\n"},
        {"'.q'", ".q0 {\n  -webkit-animation: q0 a b;\n", "\n@keyframes q1 {\n"},
        {"''", "0 {\n  -webkit-animation: 0 a b;\n", "\n@keyframes 1 {\n"},
        // Trailing blanks stay, so a quote followed by a blank is not removed.
        {"'.q' ", "'.q' 0 {\n  -webkit-animation: '.q' 0 a b;\n", "\n@keyframes '.q' 1 {\n"},
    };
    for (const auto& c : cases) {
        const std::string out =
            compile("!linearanimation(" + std::string(c.selector) + ",a,b,2,x,y,0)");
        EXPECT_TRUE(out.starts_with(c.rule)) << c.selector << "\n" << out;
        EXPECT_NE(out.find(c.keyframes), std::string::npos) << c.selector << "\n" << out;
    }
}

TEST(CommandCompiler, GivesNothingForFewerThanTwoSteps) {
    // A minus sign negates modulo 2^32, so "-4294967295" is a count of 1.
    for (const std::string_view steps : {"0", "1", " 1 ", "-0", "1px", "-4294967295"}) {
        EXPECT_EQ(compile("!linearanimation(.b,2s,x," + std::string(steps) + ",a,b,5)"), "")
            << steps;
    }
}

TEST(CommandCompiler, RefusesEverythingThatIsNotAWellFormedAnimation) {
    const std::string_view commands[] = {
        "",
        "!",
        "linearanimation(.b,2s,x,2,a,b,5)",    // no marker
        " !linearanimation(.b,2s,x,2,a,b,5)",  // the marker must come first
        "!foo(.b,2s,x,2,a,b,5)",
        "!LinearAnimation(.b,2s,x,2,a,b,5)",
        "!linearanimation2(.b,2s,x,2,a,b,5)",
        "!linearanimation (.b,2s,x,2,a,b,5)",  // the name must touch its "("
        "!linearanimation",                    // the name runs to the end
        "!1linearanimation(.b,2s,x,2,a,b,5)",
        "!linearanimation(",
        "!linearanimation(   ",
        "!linearanimation()",
        "!linearanimation(.b)",
        "!linearanimation(.b,2s,x,2,a,b)",   // six arguments
        "!linearanimation(.b,2s,x,2,a,b,5",  // the unfinished seventh is dropped
        "!linearanimation(.b,2s,x,2,a,b,",   // so is an empty one after a last comma
    };
    for (const auto command : commands) {
        EXPECT_EQ(compile(command), kError) << "'" << command << "'";
    }
}

TEST(CommandCompiler, RefusesStepCountsWithoutDigitsOrOutOfRange) {
    const std::string_view counts[] = {
        "",
        "x",
        "'2'",
        "\"2\"",
        " ",
        "-",
        "+",
        // More steps than a page should hold: the output would grow without bound.
        "10001",
        "4294967295",
        // A minus sign wraps to a huge count, which is refused like any other.
        "-1",
        "-9999",
        // Values that do not fit 32 bits.
        "4294967296",
        "-4294967296",
        "18446744073709551615",
        "99999999999999999999999",
    };
    for (const auto count : counts) {
        EXPECT_EQ(compile("!linearanimation(.b,2s,x," + std::string(count) + ",a,b,5)"), kError)
            << "'" << count << "'";
    }
}

TEST(CommandCompiler, RefusesOffsetsWithoutDigitsOrOutOfRange) {
    for (const std::string_view offset : {"", "x", "'5'", "-", "4294967296"}) {
        EXPECT_EQ(compile("!linearanimation(.b,2s,x,2,a,b," + std::string(offset) + ")"), kError)
            << "'" << offset << "'";
    }
    // A bad offset is an error even when there is nothing to write.
    EXPECT_EQ(compile("!linearanimation(.b,2s,x,1,a,b,x)"), kError);
}

TEST(CommandCompiler, AcceptsTheLargestStepCount) {
    const std::string out = compile("!linearanimation(.b,2s,x,10000,a,b,0)");
    ASSERT_NE(out, kError);
    EXPECT_TRUE(out.starts_with(".b0 {\n"));
    EXPECT_NE(out.find("\n.b9999 {\n"), std::string::npos);
    EXPECT_EQ(out.find(".b10000"), std::string::npos);
    EXPECT_TRUE(out.ends_with("99.99% {\n  a\n}\n100% {\n  a\n}\n100% {\n  b\n}\n}\n\n"))
        << out.substr(out.size() - 80);
}

std::string keyframes(std::uint32_t n, std::uint32_t i, double offset) {
    std::ostringstream out;
    KrCommandCompiler().writeKeyframes(out, "keyframes", "k", n, i, "A", "B", offset);
    return out.str();
}

TEST(CommandCompilerKeyframes, SwitchesExactlyAtTheBoundariesWithoutOffset) {
    EXPECT_EQ(keyframes(3, 1, 0),
              "@keyframes k {\n"
              "0% {\n  B\n}\n"
              "33.3333% {\n  B\n}\n"
              "33.3333% {\n  A\n}\n"
              "66.6667% {\n  A\n}\n"
              "66.6667% {\n  B\n}\n"
              "100% {\n  B\n}\n"
              "}\n\n");
    EXPECT_EQ(keyframes(8, 0, 0),
              "@keyframes k {\n"
              "0% {\n  A\n}\n"
              "12.5% {\n  A\n}\n"
              "12.5% {\n  B\n}\n"
              "100% {\n  B\n}\n"
              "100% {\n  A\n}\n"
              "}\n\n");
}

TEST(CommandCompilerKeyframes, WritesAnOffsetLargerThanTheShareWithItsSign) {
    EXPECT_EQ(keyframes(4, 3, 30),
              "@keyframes k {\n"
              "0% {\n  B\n}\n"
              "45% {\n  B\n}\n"
              "75% {\n  A\n}\n"
              "70% {\n  A\n}\n"
              "100% {\n  B\n}\n"
              "}\n\n");
    EXPECT_NE(keyframes(4, 0, 30).find("\n-5% {\n  A\n}\n"), std::string::npos);
}

TEST(CommandCompilerCleanArgument, RemovesAnyTwoEnclosingQuotes) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"'a'", "a"}, {"\"a\"", "a"}, {"'a\"", "a"}, {"\"a'", "a"},    {"''", ""},
        {"'", ""},    {"'a", "'a"},   {"a'", "a'"},  {"'a' ", "'a' "}, {" 'a'", " 'a'"},
        {"a", "a"},   {"", ""},       {"'''", "'"},
    };
    const KrCommandCompiler compiler;
    for (const auto& [argument, expected] : cases) {
        EXPECT_EQ(compiler.cleanArgument(argument), expected) << "'" << argument << "'";
    }
}

TEST(CommandCompilerTokens, CompileHandsTheRawArgumentsToGenerate) {
    const KrCommandCompiler compiler;
    // Leading blanks go, trailing blanks stay, an empty argument counts.
    EXPECT_EQ(compiler.compile("!linearanimation( .b , 2s,,2,\ta\t,b,5)"),
              compiler.generate({"linearanimation(", ".b ", "2s", "", "2", "a\t", "b", "5"}));
    // There is no quoting: a comma inside quotes still ends the argument.
    EXPECT_NE(compiler.compile("!linearanimation(.b,'1s,2s',2,a,b,5)")
                  .find("\n  animation: b0 '1s 2s';\n"),
              std::string::npos);
    EXPECT_EQ(compiler.generate({"linearanimation(", ".b", "2s", "x", "2", "a", "b"}), kError);
    EXPECT_EQ(compiler.generate({}), kError);
}

TEST(CommandCompilerTokens, StepsMatchOnlyWhatTheyExpect) {
    const KrCommandCompiler compiler;
    EXPECT_EQ(compiler.matchMarker("!x", 0), 1u);
    EXPECT_FALSE(compiler.matchMarker("x!", 0));
    EXPECT_FALSE(compiler.matchMarker("", 0));
    EXPECT_EQ(compiler.readName("ab_9(", 0), 5u);
    EXPECT_EQ(compiler.readName("!_(", 1), 3u);
    EXPECT_FALSE(compiler.readName("9a(", 0));
    EXPECT_FALSE(compiler.readName("ab-c(", 0));
    EXPECT_FALSE(compiler.readName("abc", 0));
    EXPECT_FALSE(compiler.readName("", 0));
    EXPECT_EQ(compiler.matchClose("a)", 1), 2u);
    EXPECT_FALSE(compiler.matchClose("a)", 0));
    EXPECT_FALSE(compiler.matchClose("a)", 2));
    EXPECT_EQ(compiler.matchComma(",", 0), 1u);
    EXPECT_FALSE(compiler.matchComma(")", 0));
    EXPECT_FALSE(compiler.matchComma("", 3));
}

}  // namespace
