#include "ProgramRun.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "platform/Environment.h"
#include "platform/Pipe.h"

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::string_view kAddressRecord = "browser-address";

// Writes its one argument into the record beside its own directory, whole: a reader never
// sees half an address. It exits with the status GRIDLO_LAUNCHER_STATUS names (0 without
// one), as xdg-open exits with 3 when it finds no browser.
constexpr std::string_view kStubLauncher = R"(#!/bin/sh
record="$(dirname "$0")/../browser-address"
printf '%s' "$1" > "$record.part"
mv "$record.part" "$record"
exit "${GRIDLO_LAUNCHER_STATUS:-0}"
)";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

// ---- OutputCollector ----

OutputCollector::OutputCollector(platform::Fd readEnd)
    : readEnd_(std::move(readEnd)), thread_([this] { collect(); }) {}

OutputCollector::~OutputCollector() = default;

void OutputCollector::collect() {
    char buffer[4096];
    for (;;) {
        const platform::IoResult read = platform::readSome(readEnd_, buffer);
        std::lock_guard lock(mutex_);
        if (!read.ok() || read.bytes == 0) {
            ended_ = true;
            changed_.notify_all();
            return;
        }
        text_.append(buffer, read.bytes);
        changed_.notify_all();
    }
}

std::string OutputCollector::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

bool OutputCollector::waitFor(std::string_view part, std::chrono::seconds patience) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] {
        return ended_ || text_.find(part) != std::string::npos;
    }) && text_.find(part) != std::string::npos;
}

bool OutputCollector::waitForEnd(std::chrono::seconds patience) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [this] { return ended_; });
}

// ---- ProgramRun ----

ProgramRun::ProgramRun(Options options) {
    std::string pattern = (fs::temp_directory_path() / "gridlo-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        startError_ = "no temporary directory";
        return;
    }
    directory_ = pattern;
    fs::create_directories(directory_ / "bin");
    fs::create_directories(workingDirectory());
    writeStubLauncher();

    auto input = platform::openPipe();
    auto output = platform::openPipe();
    auto errors = platform::openPipe();
    if (!input || !output || !errors) {
        startError_ = "no pipes";
        return;
    }
    platform::SpawnOptions spawn;
    spawn.program = options.program;
    spawn.arguments = options.arguments;
    spawn.environment = environmentFor(options);
    spawn.input = platform::ChildStream::to(input.value.readEnd);
    spawn.output = platform::ChildStream::to(output.value.writeEnd);
    spawn.error = platform::ChildStream::to(errors.value.writeEnd);

    spawn.workingDirectory = workingDirectory().string();
    auto child = platform::ChildProcess::spawn(spawn);
    if (!child) {
        startError_ = options.program + " does not start: " + platform::errorText(child.error);
        return;
    }
    child_ = std::move(child.value);
    input_ = std::move(input.value.writeEnd);
    if (options.discardOutput) {
        output.value.readEnd.reset();
    } else {
        output_ = std::make_unique<OutputCollector>(std::move(output.value.readEnd));
    }
    errors_ = std::make_unique<OutputCollector>(std::move(errors.value.readEnd));
}

ProgramRun::~ProgramRun() {
    closeInput();
    if (child_.pid() > 0 && !waitForExit(10s)) {
        (void)child_.kill();
        (void)child_.wait();
    }
    // The collectors end with the program's streams.
    output_.reset();
    errors_.reset();
    if (!directory_.empty()) {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
}

void ProgramRun::writeStubLauncher() const {
    const fs::path stub = directory_ / "bin" / "xdg-open";
    std::ofstream(stub) << kStubLauncher;
    fs::permissions(stub, fs::perms::owner_all);
}

std::vector<std::string> ProgramRun::environmentFor(const Options& options) const {
    std::map<std::string, std::string> variables;
    for (const std::string& entry : platform::environmentSnapshot()) {
        const auto equals = entry.find('=');
        if (equals != std::string::npos) {
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
    }
    const std::string path = variables["PATH"];
    variables["PATH"] = (directory_ / "bin").string() + (path.empty() ? "" : ":" + path);
    for (const auto& [name, value] : options.environment) {
        if (value.empty()) {
            variables.erase(name);
        } else {
            variables[name] = value;
        }
    }
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) {
        environment.push_back(name + "=" + value);
    }
    return environment;
}

std::string ProgramRun::browserAddress() {
    const fs::path record = directory_ / kAddressRecord;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(record)) {
            return readFile(record);
        }
        if (waitForExit(0s)) {
            return {};
        }
        std::this_thread::sleep_for(10ms);
    }
    return {};
}

std::uint16_t ProgramRun::port() {
    const std::string address = browserAddress();
    const auto colon = address.rfind(':');
    if (colon == std::string::npos) {
        return 0;
    }
    return static_cast<std::uint16_t>(std::stoul(address.substr(colon + 1)));
}

bool ProgramRun::sendLine(std::string_view line) {
    if (!input_) {
        return false;
    }
    std::size_t written = 0;
    return platform::writeAll(input_, std::string(line) + "\n", written).ok();
}

void ProgramRun::closeInput() { input_.reset(); }

std::optional<platform::ChildExit> ProgramRun::waitForExit(std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!exit_ && child_.pid() > 0) {
        const auto ended = child_.tryWait();
        if (!ended.ok()) {
            break;
        }
        if (ended.value) {
            exit_ = ended.value;
            // What the program wrote just before it ended may still be on its way through
            // the pipes: once it has exited, its output and errors are complete.
            for (const auto* collector : {output_.get(), errors_.get()}) {
                if (collector != nullptr) {
                    (void)collector->waitForEnd();
                }
            }
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    return exit_;
}

std::string ProgramRun::output() const { return output_ ? output_->text() : std::string(); }

std::string ProgramRun::errors() const { return errors_ ? errors_->text() : std::string(); }

bool ProgramRun::waitForOutput(std::string_view part) const {
    return output_ != nullptr && output_->waitFor(part);
}

bool ProgramRun::waitForErrors(std::string_view part) const {
    return errors_ != nullptr && errors_->waitFor(part);
}

}  // namespace e2e
