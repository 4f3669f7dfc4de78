#include "frontend/console/console.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "app/KrAppViewportBase.h"
#include "app/KrNuxelApplication2.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

using Log = std::vector<std::string>;

// An application that opens no listener and logs what its host asks of it.
class LoggedApplication : public KrNuxelApplication2 {
public:
    LoggedApplication(KrPersistentAppStorage* storage, Log& log)
        : KrNuxelApplication2(storage, {}, {}), log_(log) {}
    ~LoggedApplication() override { log_.push_back("delete application"); }

    void init() override { log_.push_back("init"); }
    void start() override { log_.push_back("start"); }
    void stop() override { log_.push_back("stop"); }

private:
    Log& log_;
};

class ConsoleFrontEnd : public testing::Test {
protected:
    ConsoleFrontEnd() { freshHost(); }

    // A new host and an empty log, for one more run.
    void freshHost() {
        log_.clear();
        host_ = std::make_unique<KrAppViewportBase>(
            "XGridlo", "Gridlo",
            [this](KrAppViewportBase* host, bool windowed) {
                log_.push_back(std::string("factory ") + (windowed ? "windowed" : "console"));
                return std::make_unique<LoggedApplication>(host->storage(), log_);
            },
            [](KrPersistentAppStorage&) {});
    }

    // The entry point's sequence with the input as standard input; what is left unread.
    std::string runWith(std::istream& input) {
        KrNuxelCLAppAddOn frontEnd(host_.get(), 2, arguments_, input);
        frontEnd.beforeRun();
        frontEnd.run();
        frontEnd.afterRun();
        log_.push_back("loop ended");
        host_.reset();
        std::string rest;
        for (std::string line; std::getline(input, line);) {
            rest += line + "\n";
        }
        return rest;
    }

    std::string runWith(const std::string& text) {
        std::istringstream input(text);
        return runWith(input);
    }

    char program_[7] = "Gridlo";
    char option_[3] = "-x";
    char* arguments_[3] = {program_, option_, nullptr};
    Log log_;
    std::unique_ptr<KrAppViewportBase> host_;
};

TEST_F(ConsoleFrontEnd, RunsTheHostForTheConsoleThenReadsUntilQuitThenStopsIt) {
    EXPECT_EQ(runWith("quit\n"), "");
    EXPECT_EQ(log_, (Log{"factory console", "init", "start", "stop", "loop ended",
                         "delete application"}));
}

TEST_F(ConsoleFrontEnd, HandsTheHostTheProgramsArguments) {
    KrNuxelCLAppAddOn frontEnd(host_.get(), 2, arguments_);
    EXPECT_EQ(host_->argumentCount(), 2);
    EXPECT_EQ(host_->argumentVector(), arguments_);
}

TEST_F(ConsoleFrontEnd, OnlyTheExactLineQuitEndsTheLoop) {
    // Each line is followed by "quit": what ends the loop is the first line that is exactly
    // "quit", and the rest stays unread.
    const std::string notQuit[] = {"",      "hello",  "Quit",     "QUIT", " quit",
                                   "quit ", "quit\r", "quitquit", "qui"};
    for (const std::string& line : notQuit) {
        SCOPED_TRACE(line);
        freshHost();
        EXPECT_EQ(runWith(line + "\nquit\nleft\n"), "left\n");
        EXPECT_EQ(log_, (Log{"factory console", "init", "start", "stop", "loop ended",
                             "delete application"}));
    }
}

// Nobody can type "quit" into an input that has ended: the program ends as if they had.
TEST_F(ConsoleFrontEnd, TheEndOfTheInputEndsTheLoopLikeQuit) {
    for (const std::string text : {"", "a line\n", "a last line without an end"}) {
        SCOPED_TRACE(text);
        freshHost();
        EXPECT_EQ(runWith(text), "");
        EXPECT_EQ(log_, (Log{"factory console", "init", "start", "stop", "loop ended",
                             "delete application"}));
    }
}

// A stream buffer whose reads fail, as standard input does on a read error.
class FailingBuffer : public std::streambuf {
protected:
    int_type underflow() override { throw std::ios_base::failure("read error"); }
};

TEST_F(ConsoleFrontEnd, AnInputThatFailsEndsTheLoop) {
    FailingBuffer buffer;
    std::istream input(&buffer);
    runWith(input);
    EXPECT_EQ(log_, (Log{"factory console", "init", "start", "stop", "loop ended",
                         "delete application"}));
}

}  // namespace
