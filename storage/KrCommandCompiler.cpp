#include "storage/KrCommandCompiler.h"

#include <locale>
#include <sstream>

namespace {

constexpr std::string_view kAnimationCommand = "linearanimation(";
constexpr std::size_t kAnimationArguments = 7;

// The standard unsigned conversion in base 10 for a 32-bit count: leading white space is
// skipped, a sign is accepted (a minus negates modulo 2^32), the digits that follow are
// read and anything after them is ignored. No digits, or a value above 2^32 - 1, fails.
std::optional<std::uint32_t> toUnsigned32(std::string_view text) {
    std::size_t position = text.find_first_not_of(" \t\n\v\f\r");
    if (position == std::string_view::npos) {
        return std::nullopt;
    }
    bool negative = false;
    if (text[position] == '+' || text[position] == '-') {
        negative = text[position] == '-';
        ++position;
    }
    std::uint64_t value = 0;
    bool anyDigit = false;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
        value = value * 10 + static_cast<std::uint64_t>(text[position] - '0');
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
        anyDigit = true;
    }
    if (!anyDigit) {
        return std::nullopt;
    }
    const auto result = static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

// One stop of a keyframes block, the percentage in the stream's default floating-point
// format (at most six significant digits, no trailing zeros: the ends read "0" and "100").
void writeStop(std::ostream& out, double percent, std::string_view declaration) {
    out << percent << "% {\n  " << declaration << "\n}\n";
}

// The position after `expected` when the text holds it at `position`.
std::optional<std::size_t> matchText(std::string_view text, std::size_t position,
                                     std::string_view expected) {
    if (position < text.size() && text.substr(position).starts_with(expected)) {
        return position + expected.size();
    }
    return std::nullopt;
}

}  // namespace

KrCommandCompiler::KrCommandCompiler()
    : blanks_(" \t\n"),
      separator_(","),
      openParenthesis_("("),
      closeParenthesis_(")"),
      quotes_("\"'"),
      identifierStart_("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_"),
      identifierCharacters_(identifierStart_ + "1234567890"),
      commandMarker_("!") {}

std::string KrCommandCompiler::compile(std::string_view text) const {
    try {
        TokenList tokens;
        std::optional<std::size_t> position = matchMarker(text, 0);
        if (position) {
            const std::size_t nameStart = skipBlanks(text, *position);
            position = readName(text, nameStart);
            if (position) {
                tokens.emplace_back(text.substr(nameStart, *position - nameStart));
            }
        }
        if (position) {
            std::size_t next = skipBlanks(text, *position);
            const std::string separators = separator_ + closeParenthesis_;
            while (next < text.size()) {
                const std::size_t start = skipBlanks(text, next);
                const std::size_t end = text.find_first_of(separators, start);
                if (end == std::string_view::npos) {
                    break;  // an argument without its separator is dropped
                }
                tokens.emplace_back(text.substr(start, end - start));
                if (matchClose(text, end)) {
                    break;
                }
                next = *matchComma(text, end);
            }
        }
        return generate(tokens);
    } catch (...) {
        return std::string(kErrorOutput);
    }
}

std::string KrCommandCompiler::generate(const TokenList& tokens) const {
    try {
        return generateAnimation(tokens);
    } catch (...) {
        return std::string(kErrorOutput);
    }
}

std::string KrCommandCompiler::generateAnimation(const TokenList& tokens) const {
    if (tokens.empty() || tokens[0] != kAnimationCommand ||
        tokens.size() < 1 + kAnimationArguments) {
        return std::string(kErrorOutput);
    }
    const std::string selector = cleanArgument(tokens[1]);
    const std::string value2 = cleanArgument(tokens[2]);
    const std::string value3 = cleanArgument(tokens[3]);
    const std::optional<std::uint32_t> steps = toUnsigned32(tokens[4]);
    const std::string declarationA = cleanArgument(tokens[5]);
    const std::string declarationB = cleanArgument(tokens[6]);
    const std::optional<std::uint32_t> offset = toUnsigned32(tokens[7]);
    if (!steps || !offset || *steps > kMaxSteps) {
        return std::string(kErrorOutput);
    }
    if (*steps < 2) {
        return {};
    }

    const bool hasPrefix = !selector.empty() && (selector[0] == '.' || selector[0] == '#');
    const std::string base = hasPrefix ? selector.substr(1) : selector;

    std::ostringstream out;
    out.imbue(std::locale::classic());
    for (std::uint32_t i = 0; i < *steps; ++i) {
        out << selector << i << " {\n";
        out << "  -webkit-animation: " << base << i << ' ' << value2 << ' ' << value3 << ";\n";
        out << "  animation: " << base << i << ' ' << value2 << ' ' << value3 << ";\n";
        out << "}\n\n";
        const std::string name = base + std::to_string(i);
        writeKeyframes(out, "-webkit-keyframes", name, *steps, i, declarationA, declarationB,
                       static_cast<double>(*offset));
        writeKeyframes(out, "keyframes", name, *steps, i, declarationA, declarationB,
                       static_cast<double>(*offset));
    }
    return out.str();
}

void KrCommandCompiler::writeKeyframes(std::ostream& out, std::string_view keyword,
                                       std::string_view name, std::uint32_t n, std::uint32_t i,
                                       std::string_view declarationA, std::string_view declarationB,
                                       double offset) const {
    const double share = 100.0 / static_cast<double>(n);
    const double start = static_cast<double>(i) * share;
    out << '@' << keyword << ' ' << name << " {\n";
    if (i == 0) {
        writeStop(out, 0.0, declarationA);
        writeStop(out, share - offset, declarationA);
        writeStop(out, share, declarationB);
        writeStop(out, 100.0 - offset, declarationB);
        writeStop(out, 100.0, declarationA);
    } else if (i + 1 < n) {
        const double end = static_cast<double>(i + 1) * share;
        writeStop(out, 0.0, declarationB);
        writeStop(out, start - offset, declarationB);
        writeStop(out, start, declarationA);
        writeStop(out, end - offset, declarationA);
        writeStop(out, end, declarationB);
        writeStop(out, 100.0, declarationB);
    } else {
        writeStop(out, 0.0, declarationB);
        writeStop(out, start - offset, declarationB);
        writeStop(out, start, declarationA);
        writeStop(out, 100.0 - offset, declarationA);
        writeStop(out, 100.0, declarationB);
    }
    out << "}\n\n";
}

std::string KrCommandCompiler::cleanArgument(std::string_view argument) const {
    if (!argument.empty() && quotes_.find(argument.front()) != std::string::npos &&
        quotes_.find(argument.back()) != std::string::npos) {
        // A lone quote character is both first and last: it cleans to the empty text.
        return argument.size() >= 2 ? std::string(argument.substr(1, argument.size() - 2))
                                    : std::string();
    }
    return std::string(argument);
}

std::optional<std::size_t> KrCommandCompiler::matchMarker(std::string_view text,
                                                          std::size_t position) const {
    return matchText(text, position, commandMarker_);
}

std::optional<std::size_t> KrCommandCompiler::readName(std::string_view text,
                                                       std::size_t position) const {
    if (position >= text.size() || identifierStart_.find(text[position]) == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t end = text.find_first_not_of(identifierCharacters_, position);
    return end == std::string_view::npos ? std::nullopt : matchText(text, end, openParenthesis_);
}

std::optional<std::size_t> KrCommandCompiler::matchClose(std::string_view text,
                                                         std::size_t position) const {
    return matchText(text, position, closeParenthesis_);
}

std::optional<std::size_t> KrCommandCompiler::matchComma(std::string_view text,
                                                         std::size_t position) const {
    return matchText(text, position, separator_);
}

std::size_t KrCommandCompiler::skipBlanks(std::string_view text, std::size_t position) const {
    const std::size_t found = text.find_first_not_of(blanks_, position);
    return found == std::string_view::npos ? text.size() : found;
}
