#include "game/ProgramEntry.h"

#include <exception>

#include "foundation/Diagnostics.h"
#include "platform/Process.h"

namespace kr {

namespace {

constexpr int kFailed = 1;

}  // namespace

int runProgram(const std::function<int()>& body) {
    platform::ignoreBrokenPipeSignal();
    platform::lineBufferStandardOutput();
    // Before the first hub makes its connection limit from the descriptor limit. A limit
    // that cannot be raised leaves the one the program was started with, which serves too.
    (void)platform::raiseDescriptorLimit();
    try {
        return body();
    } catch (const std::exception& e) {
        errLine(e.what());
    } catch (...) {
        errLine("an exception without a text ended the program");
    }
    return kFailed;
}

}  // namespace kr
