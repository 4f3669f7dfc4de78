#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Fd.h"
#include "platform/SysResult.h"

// Child processes: forked and executed directly, never through a shell, each with an
// environment of its own and the descriptor limits the process was started with; always
// reaped.
namespace platform {

class WakeEvent;

// Where one of a child's standard streams goes.
class ChildStream {
public:
    // The parent's own stream.
    static ChildStream inherit() { return ChildStream(Kind::Inherit, -1); }
    // /dev/null, for reading and writing.
    static ChildStream null() { return ChildStream(Kind::Null, -1); }
    // A copy of fd (one end of a pipe, say); the caller keeps fd and closes it.
    static ChildStream to(const Fd& fd) { return ChildStream(Kind::Descriptor, fd.get()); }

    enum class Kind { Inherit, Null, Descriptor };
    Kind kind() const { return kind_; }
    int fd() const { return fd_; }

private:
    ChildStream(Kind kind, int fd) : kind_(kind), fd_(fd) {}

    Kind kind_;
    int fd_;
};

enum class Session { Inherit, New };
enum class ProcessGroup { Inherit, New };

struct SpawnOptions {
    // A path (it holds a "/"), or a name looked up on PATH (findProgram). It is also the
    // child's argv[0].
    std::string program;
    // The arguments after argv[0], each passed as it is.
    std::vector<std::string> arguments;
    // The child's whole environment, "NAME=value" entries. Built per child: nothing here
    // reads or changes the process environment.
    std::vector<std::string> environment;
    ChildStream input = ChildStream::inherit();
    ChildStream output = ChildStream::inherit();
    ChildStream error = ChildStream::inherit();
    // New: the child leads a session of its own (setsid), away from our terminal. A new
    // session is a new process group as well.
    Session session = Session::Inherit;
    // New: the child leads a process group of its own (setpgid), so that killGroup reaches
    // it and every process it starts that stays in the group.
    ProcessGroup group = ProcessGroup::Inherit;
    // The child's working directory; empty: the parent's.
    std::string workingDirectory;
};

// How a child ended: its exit code, or the signal that ended it.
struct ChildExit {
    int exitCode = -1;  // -1 when a signal ended it
    int signal = 0;     // 0 when it exited
};

// The full path of the executable file name on the search path (PATH of the process
// environment, "/bin:/usr/bin" when unset); a name holding "/" comes back as it is. ENOENT
// when there is none.
SysResult<std::string> findProgram(std::string_view name);

// Owner of one child process. The child gets its three standard streams as the options
// say and no other descriptor of ours; signal dispositions and mask start at their
// defaults (an ignored SIGPIPE is not passed on).
//
// A child is always reaped: by wait(), by a tryWait() that saw it end, or, when the owner
// is destroyed first, by a background reaper thread. The destructor never blocks.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    // fork(2) and execve(2). The error is that of the step that failed, as the child saw it:
    // ENOENT for a program that does not exist, EACCES for one that may not be run, and so
    // on. The child starts with the descriptor limits the process had before it raised its
    // own (raiseDescriptorLimit), so that it finds what it would have found started alone.
    static SysResult<ChildProcess> spawn(const SpawnOptions& options);

    // The child's process id; -1 when there is no child or it has been reaped.
    int pid() const { return pid_; }

    // waitpid(2) until the child ends, EINTR retried; reaps it.
    SysResult<ChildExit> wait();

    // waitpid(2) without waiting: no value while the child still runs; reaps an ended one.
    SysResult<std::optional<ChildExit>> tryWait();

    // Waits up to limit for the child to end and reaps it when it has; a stop event (when
    // given) that becomes readable ends the wait early. No value while the child still runs.
    SysResult<std::optional<ChildExit>> waitFor(std::chrono::milliseconds limit,
                                                const WakeEvent* stop = nullptr);

    // kill(2) with SIGKILL, for a child that will not end by itself; it is still reaped
    // as usual. ESRCH when there is no child.
    SysStatus kill();

    // kill(2) with SIGKILL to the process group the child leads (ProcessGroup::New or
    // Session::New): the child and what it started and left in the group. The child is
    // still reaped as usual; until then its group cannot go to another process. ESRCH when
    // there is no child.
    SysStatus killGroup();

    // A descriptor that becomes readable once the child has ended (pidfd_open(2)), for a
    // wait that must also watch other descriptors; the child is still reaped by wait() or
    // tryWait(). Not valid without a child, or when the kernel cannot give one.
    Fd exitEvent() const;

    // True once the child has ended, without reaping it (waitid(2) with WNOWAIT): its
    // process id, and the group it leads, stay its own until it is reaped. False without a
    // child.
    bool hasEnded() const;

private:
    explicit ChildProcess(int pid) : pid_(pid) {}

    // waitpid(2) with options (0 or WNOHANG), EINTR retried.
    SysResult<std::optional<ChildExit>> waitWith(int options);

    // Hands a child that has not been reaped to the background reaper.
    void release() noexcept;

    int pid_ = -1;
};

}  // namespace platform
