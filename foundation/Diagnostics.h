#pragma once

#include <atomic>
#include <iostream>
#include <sstream>
#include <string>

namespace kr {

namespace detail {
inline std::atomic<bool> diagnosticsShown{true};
}  // namespace detail

// Diagnostic lines (outLine, errLine) are shown unless a program switches them off: one that
// feeds the system masses of odd input on purpose, as a fuzz target does, would otherwise
// spend its time printing. The lines themselves never change.
inline void showDiagnostics(bool shown) { detail::diagnosticsShown.store(shown); }
inline bool diagnosticsShown() { return detail::diagnosticsShown.load(); }

// Diagnostic lines go to standard output or standard error whole: the parts are joined
// first and written with one call, so lines of different threads never interleave.
template <class... Parts>
std::string joinParts(const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts);
    return line.str();
}

template <class... Parts>
void printLine(std::ostream& out, const Parts&... parts) {
    std::string line = joinParts(parts...);
    line += '\n';
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

template <class... Parts>
void outLine(const Parts&... parts) {
    if (diagnosticsShown()) {
        printLine(std::cout, parts...);
    }
}

template <class... Parts>
void errLine(const Parts&... parts) {
    if (diagnosticsShown()) {
        printLine(std::cerr, parts...);
    }
}

}  // namespace kr
