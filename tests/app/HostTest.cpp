#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/KrAppViewportBase.h"
#include "app/KrNuxelApplication2.h"
#include "foundation/Diagnostics.h"
#include "foundation/KrException.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

using Log = std::shared_ptr<std::vector<std::string>>;

// An application that logs its life; its destructor still reads the storage.
class LoggedApplication : public KrNuxelApplication2 {
public:
    LoggedApplication(KrPersistentAppStorage* storage, Log log)
        : KrNuxelApplication2(storage, {}, {}), log_(std::move(log)) {}
    ~LoggedApplication() override {
        log_->push_back("delete application, storage holds " +
                        std::to_string(storage()->builtInFiles().size()) + " file");
    }
    void init() override { log_->push_back("init"); }
    void start() override { log_->push_back("start"); }
    void stop() override { log_->push_back("stop"); }

private:
    Log log_;
};

class Host : public ::testing::Test {
protected:
    KrAppViewportBase::ApplicationFactory factory() {
        return [log = log_](KrAppViewportBase* host, bool windowed) {
            log->push_back(std::string("factory ") + (windowed ? "windowed" : "console"));
            kr::outLine("factory output");
            return std::make_unique<LoggedApplication>(host->storage(), log);
        };
    }

    KrAppViewportBase::StorageInitialiser initialiser() {
        return [log = log_](KrPersistentAppStorage& storage) {
            log->push_back("initialise storage");
            storage.setBuiltInFiles(
                {{"spiele.css", KrResourceRecord("spiele.css", 3, "x", false)}});
        };
    }

    std::unique_ptr<KrAppViewportBase> newHost() {
        return std::make_unique<KrAppViewportBase>("XGridlo", "Gridlo", factory(), initialiser());
    }

    Log log_ = std::make_shared<std::vector<std::string>>();
};

TEST_F(Host, TheStorageIsFilledBeforeTheConstructorReturns) {
    auto host = newHost();
    EXPECT_EQ(*log_, std::vector<std::string>{"initialise storage"});
    EXPECT_TRUE(host->storage()->builtInFiles().contains("spiele.css"));
    EXPECT_EQ(host->application(), nullptr);
}

TEST_F(Host, RunMakesInitialisesAndStartsTheApplication) {
    auto host = newHost();
    testing::internal::CaptureStdout();
    host->run(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "factory output\ngoing to run app\n");
    host->stop();
    host.reset();
    EXPECT_EQ(*log_,
              (std::vector<std::string>{"initialise storage", "factory console", "init", "start",
                                        "stop", "delete application, storage holds 1 file"}));
}

TEST_F(Host, TheWindowedFlagReachesTheFactory) {
    auto host = newHost();
    testing::internal::CaptureStdout();
    host->run(true);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ((*log_)[1], "factory windowed");
}

TEST_F(Host, NamesTheProgramOfEachFrontEnd) {
    auto host = newHost();
    EXPECT_EQ(host->appName(true), "XGridlo");
    EXPECT_EQ(host->appName(false), "Gridlo");
}

TEST_F(Host, KeepsTheFrontEndsArguments) {
    auto host = newHost();
    char program[] = "Gridlo";
    char* arguments[] = {program, nullptr};
    host->setArguments(1, arguments);
    EXPECT_EQ(host->argumentCount(), 1);
    EXPECT_EQ(host->argumentVector(), arguments);
}

TEST_F(Host, AFactoryThatGivesNoApplicationFails) {
    KrAppViewportBase host(
        "XGridlo", "Gridlo", [](KrAppViewportBase*, bool) { return nullptr; }, initialiser());
    try {
        host.run(false);
        FAIL() << "no exception";
    } catch (const KrException& e) {
        EXPECT_STREQ(e.what(), "Can't create the app.");
    }
}

TEST_F(Host, AnEmptyStorageInitialiserFails) {
    EXPECT_THROW(KrAppViewportBase("XGridlo", "Gridlo", factory(), nullptr),
                 std::bad_function_call);
}

TEST_F(Host, AHostThatNeverRanDeletesOnlyTheStorage) {
    newHost().reset();
    EXPECT_EQ(*log_, std::vector<std::string>{"initialise storage"});
}

TEST_F(Host, StopBeforeRunDoesNothing) {
    auto host = newHost();
    host->stop();
    EXPECT_EQ(*log_, std::vector<std::string>{"initialise storage"});
}

}  // namespace
