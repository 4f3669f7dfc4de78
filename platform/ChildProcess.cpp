#include "platform/ChildProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Environment.h"
#include "platform/FileSystem.h"
#include "platform/Poll.h"

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

// posix_spawn's attribute and file-action objects, destroyed when the spawn is done.
struct SpawnSetup {
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Arranges the child's streams, working directory, session and signal state as the
    // options say. Returns posix_spawn's error code for the first that cannot be arranged.
    int arrange(const SpawnOptions& options) {
        if (const int rc = addStream(options.input, STDIN_FILENO); rc != 0) {
            return rc;
        }
        if (const int rc = addStream(options.output, STDOUT_FILENO); rc != 0) {
            return rc;
        }
        if (const int rc = addStream(options.error, STDERR_FILENO); rc != 0) {
            return rc;
        }
        if (!options.workingDirectory.empty()) {
            const int rc =
                posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
            if (rc != 0) {
                return rc;
            }
        }
        // Descriptors opened without close-on-exec (by a library, say) stay ours.
        if (const int rc = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
            rc != 0) {
            return rc;
        }
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (options.session == Session::New) {
            flags |= POSIX_SPAWN_SETSID;  // a session leader leads its group already
        } else if (options.group == ProcessGroup::New) {
            flags |= POSIX_SPAWN_SETPGROUP;
            if (const int rc = posix_spawnattr_setpgroup(&attributes, 0); rc != 0) {
                return rc;
            }
        }
        if (const int rc = posix_spawnattr_setflags(&attributes, flags); rc != 0) {
            return rc;
        }
        sigset_t noSignals;
        sigemptyset(&noSignals);
        if (const int rc = posix_spawnattr_setsigmask(&attributes, &noSignals); rc != 0) {
            return rc;
        }
        sigset_t allSignals;
        sigfillset(&allSignals);
        return posix_spawnattr_setsigdefault(&attributes, &allSignals);
    }

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;

private:
    // Returns posix_spawn's error code for a stream that cannot be arranged.
    int addStream(const ChildStream& stream, int target) {
        switch (stream.kind()) {
            case ChildStream::Kind::Inherit: return 0;
            case ChildStream::Kind::Null:
                return posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
            case ChildStream::Kind::Descriptor:
                return posix_spawn_file_actions_adddup2(&actions, stream.fd(), target);
        }
        return EINVAL;
    }
};

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
    SpawnSetup setup;
    if (const int rc = setup.arrange(options); rc != 0) {
        return {.error = rc};
    }

    std::vector<std::string> argumentTexts{options.program};
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentTexts = options.environment;
    const std::vector<char*> argv = pointersTo(argumentTexts);
    const std::vector<char*> envp = pointersTo(environmentTexts);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.value.c_str(), &setup.actions, &setup.attributes,
                                 argv.data(), envp.data());
    if (rc != 0) {
        return {.error = rc};
    }
    return {.value = ChildProcess(pid)};
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
