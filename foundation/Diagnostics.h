#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace kr {

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
    printLine(std::cout, parts...);
}

template <class... Parts>
void errLine(const Parts&... parts) {
    printLine(std::cerr, parts...);
}

}  // namespace kr
