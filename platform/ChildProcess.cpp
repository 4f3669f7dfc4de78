#include "platform/ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/Pipe.h"
#include "platform/Poll.h"
#include "platform/Process.h"

namespace platform {

namespace {

ChildExit decodeStatus(int status) {
    if (WIFSIGNALED(status)) {
        return {.exitCode = -1, .signal = WTERMSIG(status)};
    }
    return {.exitCode = WEXITSTATUS(status), .signal = 0};
}

// pidfd_open(2), close-on-exec; empty when the kernel cannot give one. Called through
// syscall(2): the C library's header for it lacks C linkage in this release.
Fd openPidfd(int pid) { return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

// waitpid without waiting. True when pid is gone: reaped now, or no child of ours any more.
bool reapIfEnded(int pid) {
    for (;;) {
        int status;
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid) {
            return true;
        }
        if (reaped == 0) {
            return false;
        }
        if (errno != EINTR) {
            return true;
        }
    }
}

// Reaps the children whose owners were destroyed before the children ended. One thread
// waits on a pidfd per child (never on "any child": other owners wait for theirs) and on a
// wake event through which new children are handed over.
class Reaper {
public:
    static Reaper& instance() {
        static Reaper reaper;
        return reaper;
    }

    void adopt(int pid) {
        {
            std::lock_guard lock(mutex_);
            handedOver_.push_back(pid);
            if (!wake_.valid()) {
                // Without a wake event there is no thread: sweep at every hand-over instead.
                std::erase_if(handedOver_, reapIfEnded);
                return;
            }
        }
        wake_.signal();
    }

private:
    Reaper() : wake_(WakeEvent::open().value) {
        if (wake_.valid()) {
            thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        }
    }

    ~Reaper() {
        thread_.request_stop();
        wake_.signal();
    }

    struct Watched {
        int pid;
        Fd pidfd;
    };

    void run(const std::stop_token& stop) {
        std::vector<Watched> watched;
        std::vector<int> unwatched;  // no pidfd could be opened: swept at every wake-up
        std::vector<PollEntry> entries;
        while (!stop.stop_requested()) {
            entries.assign(1, {.fd = wake_.fd(), .wanted = kPollReadable});
            for (const Watched& child : watched) {
                entries.push_back({.fd = child.pidfd.get(), .wanted = kPollReadable});
            }
            if (!pollDescriptors(entries, kWaitForever).ok()) {
                return;  // only with the process out of memory
            }
            for (std::size_t i = watched.size(); i-- > 0;) {
                if (entries[i + 1].ready != 0 && reapIfEnded(watched[i].pid)) {
                    watched.erase(watched.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            wake_.drain();
            std::vector<int> arrived;
            {
                std::lock_guard lock(mutex_);
                arrived.swap(handedOver_);
            }
            for (const int pid : arrived) {
                Fd pidfd = openPidfd(pid);
                if (pidfd) {
                    watched.push_back({.pid = pid, .pidfd = std::move(pidfd)});
                } else {
                    unwatched.push_back(pid);
                }
            }
            std::erase_if(unwatched, reapIfEnded);
            // A child that ended before its pidfd was opened has a readable pidfd: the
            // next wait returns at once and reaps it.
        }
    }

    // Guards handedOver_ only; no other lock is taken under it.
    std::mutex mutex_;
    std::vector<int> handedOver_;
    WakeEvent wake_;
    std::jthread thread_;  // last: it stops and is joined before the members it uses go
};

// What the child does between its fork and its exec, prepared by the parent. A process
// with other threads may be forked in the middle of any of their work, and a lock one of
// them held stays locked in the child for ever: the child makes system calls only, and
// allocates nothing.
struct ChildSteps {
    struct Stream {
        ChildStream::Kind kind = ChildStream::Kind::Inherit;
        int fd = -1;
    };
    std::array<Stream, 3> streams;  // standard input, output and error
    const char* workingDirectory = nullptr;
    Session session = Session::Inherit;
    ProcessGroup group = ProcessGroup::Inherit;
    // The descriptor limits the process was started with, when it has raised its own.
    std::optional<struct rlimit> descriptorLimits;
    const char* path = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    // The write end of the close-on-exec pipe through which a failed step's errno reaches
    // the parent; an exec that succeeds closes it unwritten.
    int failurePipe = -1;
};

std::optional<struct rlimit> childDescriptorLimits() {
    const auto starting = startingDescriptorLimits();
    if (!starting) {
        return std::nullopt;
    }
    const auto asLimit = [](std::uint64_t value) {
        return value == std::numeric_limits<std::uint64_t>::max() ? RLIM_INFINITY
                                                                  : static_cast<rlim_t>(value);
    };
    return rlimit{.rlim_cur = asLimit(starting->soft), .rlim_max = asLimit(starting->hard)};
}

// 0, or the errno of the step that failed. A descriptor that is its own target keeps its
// number but loses close-on-exec, as a copy would.
int arrangeStream(const ChildSteps::Stream& stream, int target) {
    switch (stream.kind) {
        case ChildStream::Kind::Inherit: return 0;
        case ChildStream::Kind::Null: {
            const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
            if (fd < 0) {
                return errno;
            }
            if (fd == target) {
                return ::fcntl(fd, F_SETFD, 0) == 0 ? 0 : errno;
            }
            const int copied = ::dup2(fd, target);
            ::close(fd);
            return copied < 0 ? errno : 0;
        }
        case ChildStream::Kind::Descriptor:
            if (stream.fd == target) {
                return ::fcntl(target, F_SETFD, 0) == 0 ? 0 : errno;
            }
            return ::dup2(stream.fd, target) < 0 ? errno : 0;
    }
    return EINVAL;
}

// 0, or the errno of the first step that failed; an exec that succeeds does not return.
int runChildSteps(const ChildSteps& steps) {
    // Our handlers are no child's: every signal to its default. The parent blocked every
    // signal around the fork, so that none runs one of our handlers here first.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            (void)::sigaction(signal, &byDefault, nullptr);
        }
    }
    if (steps.session == Session::New) {
        if (::setsid() < 0) {
            return errno;  // a session leader leads its group already
        }
    } else if (steps.group == ProcessGroup::New && ::setpgid(0, 0) != 0) {
        return errno;
    }
    if (steps.descriptorLimits && ::setrlimit(RLIMIT_NOFILE, &*steps.descriptorLimits) != 0) {
        return errno;
    }
    for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
        if (const int error = arrangeStream(steps.streams[static_cast<std::size_t>(target)], target);
            error != 0) {
            return error;
        }
    }
    if (steps.workingDirectory != nullptr && ::chdir(steps.workingDirectory) != 0) {
        return errno;
    }
    // Descriptors opened without close-on-exec (by a library, say) stay ours; the failure
    // pipe stays open until the exec.
    (void)::syscall(SYS_close_range, STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    (void)::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
    ::execve(steps.path, steps.argv, steps.envp);
    return errno;
}

[[noreturn]] void runChild(const ChildSteps& steps) noexcept {
    const int error = runChildSteps(steps);
    (void)!::write(steps.failurePipe, &error, sizeof error);
    ::_exit(127);
}

// The errno a child reported through the failure pipe; 0 when the pipe closed unwritten: the
// exec succeeded.
int childFailure(const Fd& failureReadEnd) {
    int error = 0;
    std::size_t got = 0;
    while (got < sizeof error) {
        const IoResult read = readSome(
            failureReadEnd, std::span(reinterpret_cast<char*>(&error) + got, sizeof error - got));
        if (!read.ok() || read.bytes == 0) {
            break;
        }
        got += read.bytes;
    }
    return got == sizeof error ? error : 0;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

bool isExecutableFile(const std::string& path) {
    const auto status = fileStatus(path);
    return status.ok() && status.value.isRegular && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

SysResult<std::string> findProgram(std::string_view name) {
    if (name.empty()) {
        return {.error = ENOENT};
    }
    if (name.find('/') != std::string_view::npos) {
        return {.value = std::string(name)};
    }
    std::string searchPath = environmentValue("PATH");
    if (searchPath.empty()) {
        searchPath = "/bin:/usr/bin";
    }
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(searchPath.find(':', begin), searchPath.size());
        std::string directory = searchPath.substr(begin, end - begin);
        std::string candidate = (directory.empty() ? "." : directory) + "/";
        candidate += name;
        if (isExecutableFile(candidate)) {
            return {.value = candidate};
        }
        if (end == searchPath.size()) {
            return {.error = ENOENT};
        }
        begin = end + 1;
    }
}

ChildProcess::~ChildProcess() { release(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

void ChildProcess::release() noexcept {
    const int pid = std::exchange(pid_, -1);
    if (pid > 0 && !reapIfEnded(pid)) {
        try {
            Reaper::instance().adopt(pid);
        } catch (...) {
            // Out of memory: the child is left to be reaped when this process ends.
        }
    }
}

SysResult<ChildProcess> ChildProcess::spawn(const SpawnOptions& options) {
    const auto path = findProgram(options.program);
    if (!path.ok()) {
        return {.error = path.error};
    }
    std::vector<std::string> argumentTexts{options.program};
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentTexts = options.environment;
    const std::vector<char*> argv = pointersTo(argumentTexts);
    const std::vector<char*> envp = pointersTo(environmentTexts);
    auto failure = openPipe();
    if (!failure.ok()) {
        return {.error = failure.error};
    }

    ChildSteps steps;
    const ChildStream* streams[] = {&options.input, &options.output, &options.error};
    for (std::size_t i = 0; i < steps.streams.size(); ++i) {
        steps.streams[i] = {.kind = streams[i]->kind(), .fd = streams[i]->fd()};
    }
    if (!options.workingDirectory.empty()) {
        steps.workingDirectory = options.workingDirectory.c_str();
    }
    steps.session = options.session;
    steps.group = options.group;
    steps.descriptorLimits = childDescriptorLimits();
    steps.path = path.value.c_str();
    steps.argv = argv.data();
    steps.envp = envp.data();
    steps.failurePipe = failure.value.writeEnd.get();

    // Forked, not spawned: a spawn cannot give the child other descriptor limits than ours.
    sigset_t allSignals;
    sigset_t before;
    sigfillset(&allSignals);
    (void)::pthread_sigmask(SIG_SETMASK, &allSignals, &before);
    const pid_t pid = ::fork();
    if (pid == 0) {
        runChild(steps);
    }
    const int forkError = pid < 0 ? errno : 0;
    (void)::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        return {.error = forkError};
    }
    failure.value.writeEnd.reset();
    ChildProcess child(pid);
    if (const int error = childFailure(failure.value.readEnd); error != 0) {
        (void)child.wait();
        return {.error = error};
    }
    return {.value = std::move(child)};
}

SysResult<ChildExit> ChildProcess::wait() {
    const auto reaped = waitWith(0);
    return {.value = reaped.value.value_or(ChildExit{}), .error = reaped.error};
}

SysResult<std::optional<ChildExit>> ChildProcess::tryWait() { return waitWith(WNOHANG); }

SysResult<std::optional<ChildExit>> ChildProcess::waitFor(std::chrono::milliseconds limit,
                                                          const WakeEvent* stop) {
    // Without an exit event the wait looks again this often.
    constexpr std::chrono::milliseconds kLookAgain{10};
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const Fd ended = exitEvent();
    for (;;) {
        if (pid_ <= 0) {
            return {.error = ECHILD};
        }
        if (hasEnded()) {
            return tryWait();
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return {.value = std::nullopt};
        }
        PollEntry entries[] = {
            {.fd = ended.get(), .wanted = kPollReadable},
            {.fd = stop != nullptr ? stop->fd() : -1, .wanted = kPollReadable},
        };
        const auto ready = pollDescriptors(entries, ended ? left : std::min(left, kLookAgain));
        if (!ready.ok()) {
            return {.error = ready.error};
        }
        if (entries[1].ready != 0) {
            return {.value = std::nullopt};
        }
    }
}

SysStatus ChildProcess::kill() {
    if (pid_ <= 0) {
        return {.error = ESRCH};
    }
    return {.error = ::kill(pid_, SIGKILL) == 0 ? 0 : errno};
}

SysStatus ChildProcess::killGroup() {
    if (pid_ <= 0) {
        return {.error = ESRCH};
    }
    return {.error = ::kill(-pid_, SIGKILL) == 0 ? 0 : errno};
}

Fd ChildProcess::exitEvent() const { return pid_ > 0 ? openPidfd(pid_) : Fd(); }

bool ChildProcess::hasEnded() const {
    if (pid_ <= 0) {
        return false;
    }
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
            return info.si_pid == pid_;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

SysResult<std::optional<ChildExit>> ChildProcess::waitWith(int options) {
    if (pid_ <= 0) {
        return {.error = ECHILD};
    }
    for (;;) {
        int status;
        const pid_t reaped = ::waitpid(pid_, &status, options);
        if (reaped == pid_) {
            pid_ = -1;
            return {.value = decodeStatus(status)};
        }
        if (reaped == 0) {
            return {.value = std::nullopt};
        }
        if (errno != EINTR) {
            const int error = errno;
            pid_ = -1;  // ECHILD: it is not ours to reap any more
            return {.error = error};
        }
    }
}

}  // namespace platform
