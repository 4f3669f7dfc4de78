#pragma once

#include <functional>

// What both programs' entry points do around their work.
namespace kr {

// Runs a program's main work: first SIGPIPE is ignored (a closed standard output or a
// vanished peer is an error to handle, not the end of the process), standard output is
// made line-buffered and the soft descriptor limit is raised to the hard one (the programs
// it starts get the limits it was started with); then the body runs. Its result is the program's exit code; an
// exception that escapes it is printed on standard error and gives 1.
int runProgram(const std::function<int()>& body);

}  // namespace kr
