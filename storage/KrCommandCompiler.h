#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

// Compiles a template command, the text of a "[[!...]]" key with its "!", into the text
// that replaces the key. The one command it knows,
//
//   !linearanimation(selector, value2, value3, N, declarationA, declarationB, d)
//
// writes CSS for N elements named selector0 ... selector(N-1): each is in state A during
// its own N-th of the animation cycle and in state B otherwise, switching d percent
// before each boundary. Anything else compiles to the error comment; nothing is thrown.
class KrCommandCompiler {
public:
    using TokenList = std::vector<std::string>;

    // More steps than this are refused: the output grows by three blocks per step, and a
    // template must not be able to make a page of unbounded size.
    static constexpr std::uint32_t kMaxSteps = 10000;

    static constexpr std::string_view kErrorOutput = "/* error */\n";

    KrCommandCompiler();
    virtual ~KrCommandCompiler() = default;

    // Tokenizes the command text and returns generate() of the tokens it could read.
    std::string compile(std::string_view text) const;

    // Runs the command: tokens[0] is its name with "(", then the raw arguments.
    std::string generate(const TokenList& tokens) const;

    // Writes one keyframes block of the animation `name` for step i of n.
    void writeKeyframes(std::ostream& out, std::string_view keyword, std::string_view name,
                        std::uint32_t n, std::uint32_t i, std::string_view declarationA,
                        std::string_view declarationB, double offset) const;

    // The argument without its first and last character when both are quote characters
    // (they need not be the same one); otherwise the argument unchanged.
    std::string cleanArgument(std::string_view argument) const;

    // Tokenizer steps: each returns the position after what it matched, or nothing.
    std::optional<std::size_t> matchMarker(std::string_view text, std::size_t position) const;
    // A name followed directly by "(" (the result is the position after the "(").
    std::optional<std::size_t> readName(std::string_view text, std::size_t position) const;
    std::optional<std::size_t> matchClose(std::string_view text, std::size_t position) const;
    std::optional<std::size_t> matchComma(std::string_view text, std::size_t position) const;

private:
    std::size_t skipBlanks(std::string_view text, std::size_t position) const;
    std::string generateAnimation(const TokenList& tokens) const;

    const std::string blanks_;
    const std::string separator_;
    const std::string openParenthesis_;
    const std::string closeParenthesis_;
    const std::string quotes_;
    const std::string identifierStart_;
    const std::string identifierCharacters_;
    const std::string commandMarker_;
};
