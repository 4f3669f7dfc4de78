#include "http/KrWinPipeExec.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "foundation/Diagnostics.h"
#include "foundation/KrStringBuf.h"
#include "platform/Environment.h"
#include "platform/Poll.h"

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

KrWinPipeExec::Ending KrWinPipeExec::launch(const Variables& variables, KrStringBuf& input,
                                            KrStringBuf& output) {
    return launch(variables, input, output, Limits{});
}

KrWinPipeExec::Ending KrWinPipeExec::launch(const Variables& variables, KrStringBuf& input,
                                            KrStringBuf& output, const Limits& limits) {
    const Clock::time_point deadline = Clock::now() + limits.time;
    if (limits.stop.stop_requested()) {
        return Ending::kStopped;
    }
    platform::SpawnOptions options;
    options.program = command_;
    options.environment = childEnvironment(platform::environmentSnapshot(), variables);
    options.input = platform::ChildStream::to(input_.readEnd);
    options.output = platform::ChildStream::to(output_.writeEnd);
    options.error = platform::ChildStream::to(output_.writeEnd);
    options.group = platform::ProcessGroup::New;
    auto child = platform::ChildProcess::spawn(options);
    // Our copies of the child's ends go at once: the output ends when the child (and
    // whatever it started) closes it, and writing fails instead of hanging once the child
    // is gone.
    input_.readEnd.reset();
    output_.writeEnd.reset();
    if (!child.ok()) {
        kr::outLine("Error on CreateProcess");
        return Ending::kNotStarted;
    }
    child_ = std::move(child.value);

    std::size_t written = 0;
    const Ending ending = exchange(
        std::string_view(input.readPointer(), static_cast<std::size_t>(input.unreadSize())), output,
        deadline, limits.stop, written);
    input.pubseekoff(static_cast<std::streamoff>(written), std::ios_base::cur, std::ios_base::in);
    if (ending != Ending::kFinished) {
        // The child is not reaped yet, so its group is still its own to kill, also when the
        // child itself has ended and only what it started holds the output.
        (void)child_.killGroup();
    }
    input_.writeEnd.reset();
    output_.readEnd.reset();
    waitForExit();
    return ending;
}

KrWinPipeExec::Ending KrWinPipeExec::exchange(std::string_view input, KrStringBuf& output,
                                              Clock::time_point deadline,
                                              const std::stop_token& stop, std::size_t& written) {
    // Without an exit event or a wake event, the loop looks again this often.
    constexpr std::chrono::milliseconds kLookAgain{10};
    const auto wake = platform::WakeEvent::open();
    const std::stop_callback wakeOnStop(stop, [&wake] { wake.value.signal(); });
    const platform::Fd ended = child_.exitEvent();
    // Both directions on one thread: the input end must not block, so that neither side
    // waits on a full pipe whatever the sizes.
    (void)platform::setNonBlocking(input_.writeEnd);
    bool running = true;
    for (;;) {
        if (written == input.size()) {
            input_.writeEnd.reset();  // the child reads the end of its input
        }
        if (running && !ended.valid()) {
            running = !child_.hasEnded();
        }
        if (!running && !output_.readEnd.valid()) {
            return Ending::kFinished;
        }
        if (stop.stop_requested()) {
            return Ending::kStopped;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return Ending::kTimedOut;
        }
        platform::PollEntry entries[] = {
            {.fd = output_.readEnd.get(), .wanted = platform::kPollReadable},
            {.fd = input_.writeEnd.get(), .wanted = platform::kPollWritable},
            {.fd = running ? ended.get() : -1, .wanted = platform::kPollReadable},
            {.fd = wake.value.fd(), .wanted = platform::kPollReadable},
        };
        const bool looksAgain = !wake.value.valid() || (running && !ended.valid());
        if (!platform::pollDescriptors(entries, looksAgain ? std::min(left, kLookAgain) : left)
                 .ok()) {
            return Ending::kStopped;  // only with the process out of memory
        }
        if (entries[0].ready != 0 && !readOutput(output)) {
            output_.readEnd.reset();
        }
        if (entries[1].ready != 0) {
            const auto result = platform::writeSome(input_.writeEnd, input.substr(written));
            if (result.ok()) {
                written += result.bytes;
            } else {
                input_.writeEnd.reset();  // the child reads no more
            }
        }
        if (entries[2].ready != 0) {
            running = false;
        }
    }
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
