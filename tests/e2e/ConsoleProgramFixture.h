#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "ProgramRun.h"

namespace e2e {

// The session identifier the page's head script sets; empty when there is none.
inline std::string sessionIdIn(const std::string& page) {
    const std::string marker = "nuxelid=\"";
    const auto start = page.find(marker);
    if (start == std::string::npos) {
        return {};
    }
    const auto end = page.find('"', start + marker.size());
    return page.substr(start + marker.size(), end - start - marker.size());
}

// A test of the console program, started as a user starts it, on the port it told the
// browser launcher.
class ConsoleProgramFixture : public testing::Test {
protected:
    // Starts the program with these options; fails the test when it does not start or
    // tells no address (call under ASSERT_NO_FATAL_FAILURE to stop there).
    void startProgram(ProgramRun::Options options = {}) {
        options.program = GRIDLO_CONSOLE_PROGRAM;
        run_ = std::make_unique<ProgramRun>(std::move(options));
        ASSERT_EQ(run_->startError(), "");
        port_ = run_->port();
        ASSERT_NE(port_, 0) << "no address reached the browser launcher\n" << run_->errors();
    }

    std::unique_ptr<ProgramRun> run_;
    std::uint16_t port_ = 0;
};

}  // namespace e2e
