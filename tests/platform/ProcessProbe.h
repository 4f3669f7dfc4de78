#pragma once

// Looking at processes from outside, through /proc: for tests that must show that a
// process a program started (and maybe lost track of) no longer runs.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace processprobe {

// True while the process exists, a zombie included.
inline bool processExists(int pid) {
    return pid > 0 && std::filesystem::exists("/proc/" + std::to_string(pid));
}

// Waits generously until the process is gone: ended and reaped.
inline bool waitUntilGone(int pid) {
    using namespace std::chrono_literals;
    for (auto waited = 0ms; waited < 60s && processExists(pid); waited += 10ms) {
        std::this_thread::sleep_for(10ms);
    }
    return !processExists(pid);
}

// True while the process runs: it exists and is no zombie. A process whose parent ended is
// reaped by whoever adopts it, which may take its time, so a zombie counts as ended.
inline bool processRuns(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    if (pid <= 0 || !std::getline(stat, all)) {
        return false;
    }
    // "pid (comm) state ...": the name may hold anything, the state follows its last ')'.
    const std::size_t afterName = all.rfind(')');
    return afterName != std::string::npos && all.substr(afterName + 2, 1) != "Z";
}

// Waits generously until the process no longer runs; true when it ended.
inline bool waitUntilEnded(int pid) {
    using namespace std::chrono_literals;
    for (auto waited = 0ms; waited < 60s && processRuns(pid); waited += 10ms) {
        std::this_thread::sleep_for(10ms);
    }
    return !processRuns(pid);
}

// The process ids a script wrote into a file, one a line ("echo $$ >> file").
inline std::vector<int> readPids(const std::string& path) {
    std::vector<int> pids;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            pids.push_back(std::stoi(line));
        }
    }
    return pids;
}

// Waits generously until the file holds count process ids; what it holds then.
inline std::vector<int> awaitPids(const std::string& path, std::size_t count) {
    using namespace std::chrono_literals;
    std::vector<int> pids = readPids(path);
    for (auto waited = 0ms; waited < 60s && pids.size() < count; waited += 10ms) {
        std::this_thread::sleep_for(10ms);
        pids = readPids(path);
    }
    return pids;
}

}  // namespace processprobe
