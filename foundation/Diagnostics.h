#pragma once

#include <atomic>
#include <cstddef>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

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

namespace detail {
// Writes the lines held back by outLineSoon, then line (which ends with its line end).
void writeOut(const std::string& line);
}  // namespace detail

template <class... Parts>
void outLine(const Parts&... parts) {
    if (diagnosticsShown()) {
        std::string line = joinParts(parts...);
        line += '\n';
        detail::writeOut(line);
    }
}

// Lines on standard output that may wait a little, so that many go out in one write: the
// access log, a line for every request. Such a line is held back until the next outLine
// (which writes it first, so the order of lines stays), a call of flushOutLines, or until
// kHeldBackBytes are held back; the threads that write them call flushOutLines when they
// run out of work, and the hub's housekeeping once a second, so none waits long.
inline constexpr std::size_t kHeldBackBytes = 16 * 1024;
void outLineSoon(std::string_view line);
// Writes the lines held back, if any; cheap when there are none.
void flushOutLines();

template <class... Parts>
void errLine(const Parts&... parts) {
    if (diagnosticsShown()) {
        printLine(std::cerr, parts...);
    }
}

}  // namespace kr
