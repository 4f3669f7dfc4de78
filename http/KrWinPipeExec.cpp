#include "http/KrWinPipeExec.h"

#include <array>
#include <string_view>
#include <thread>

#include "foundation/Diagnostics.h"
#include "foundation/KrStringBuf.h"
#include "platform/Environment.h"

namespace {

// The request variables that the CGI runner may set. A child must see only its own
// request's values, never a leftover of the server's environment.
constexpr std::string_view kCgiNames[] = {
    "REDIRECT_STATUS", "SCRIPT_FILENAME", "REQUEST_METHOD",
    "QUERY_STRING",    "CONTENT_TYPE",    "CONTENT_LENGTH",
};

bool isCgiName(std::string_view name, const KrWinPipeExec::Variables& variables) {
    if (name.starts_with("HTTP_") || variables.contains(std::string(name))) {
        return true;
    }
    for (const std::string_view cgiName : kCgiNames) {
        if (name == cgiName) {
            return true;
        }
    }
    return false;
}

platform::Pipe openPipeOrSay(const char* failure) {
    auto pipe = platform::openPipe();
    if (!pipe.ok()) {
        kr::outLine(failure);
    }
    return std::move(pipe.value);
}

}  // namespace

KrWinPipeExec::KrWinPipeExec(std::string command)
    : command_(std::move(command)),
      input_(openPipeOrSay("ERROR Stdin CreatePipe")),
      output_(openPipeOrSay("ERROR StdoutRd CreatePipe")) {}

KrWinPipeExec::~KrWinPipeExec() = default;

bool KrWinPipeExec::run(const std::string& command, const Variables& variables, KrStringBuf& input,
                        KrStringBuf& output) {
    KrWinPipeExec exec(command);
    (void)exec.launch(variables, input, output);
    return true;
}

std::vector<std::string> KrWinPipeExec::childEnvironment(const std::vector<std::string>& server,
                                                         const Variables& variables) {
    std::vector<std::string> environment;
    for (const std::string& entry : server) {
        const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
        if (!isCgiName(name, variables)) {
            environment.push_back(entry);
        }
    }
    for (const auto& [name, value] : variables) {
        if (!name.empty() && name.find('=') == std::string::npos) {
            environment.push_back(name + "=" + value);
        }
    }
    return environment;
}

bool KrWinPipeExec::launch(const Variables& variables, KrStringBuf& input, KrStringBuf& output) {
    platform::SpawnOptions options;
    options.program = command_;
    options.environment = childEnvironment(platform::environmentSnapshot(), variables);
    options.input = platform::ChildStream::to(input_.readEnd);
    options.output = platform::ChildStream::to(output_.writeEnd);
    options.error = platform::ChildStream::to(output_.writeEnd);
    auto child = platform::ChildProcess::spawn(options);
    // Our copies of the child's ends go at once: the output ends when the child (and
    // whatever it started) closes it, and writing fails instead of hanging once the child
    // is gone.
    input_.readEnd.reset();
    output_.writeEnd.reset();
    if (!child.ok()) {
        kr::outLine("Error on CreateProcess");
        return false;
    }
    child_ = std::move(child.value);

    // The input goes in from its own thread while this one reads, so that neither side
    // waits on a full pipe whatever the sizes.
    std::string body;
    input.copyUnread(body);
    std::size_t written = 0;
    {
        std::jthread writer([this, &body, &written] {
            (void)platform::writeAll(input_.writeEnd, body, written);
            input_.writeEnd.reset();
        });
        while (readOutput(output)) {
        }
        // Nothing more is read, also after a read error: a child still writing gets EPIPE
        // instead of waiting for us while the writer waits for the child.
        output_.readEnd.reset();
    }
    input.pubseekoff(static_cast<std::streamoff>(written), std::ios_base::cur, std::ios_base::in);
    waitForExit();
    return true;
}

bool KrWinPipeExec::readOutput(KrStringBuf& output) {
    std::array<char, kReadChunk> buffer;
    const auto result = platform::readSome(output_.readEnd, buffer);
    if (!result.ok() || result.bytes == 0) {
        return false;
    }
    output.write(std::string_view(buffer.data(), result.bytes));
    return true;
}

void KrWinPipeExec::waitForExit() { (void)child_.wait(); }
