// What a request of the game costs in the application, without the network: the dispatch's
// calls into the game's application (never started) on a storage filled by the game's
// initialiser, with a thousand other sessions alive as in a busy server. The request is
// parsed once beforehand; each iteration makes its answer and runs the session's hook.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "game/BuiltInFiles.h"
#include "game/KrSpielApp.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "jobs/KrJob.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

constexpr int kOtherSessions = 1000;

std::shared_ptr<KrXHeader> getRequest(const std::string& target) {
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 3u);
    request->setMessageKind(KrXHeader::kRequest);
    request->input().write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (request->readMessage([](KrXHeader&) { return true; }) != KrXHeader::kComplete) {
        return nullptr;
    }
    request->parseBody();
    return request;
}

// The game as the dispatch reaches it.
class Game {
public:
    Game() {
        kr::initStorage(storage_);
        for (int i = 0; i < kOtherSessions; ++i) {
            newSession();
        }
    }

    // A new session as the dispatch opens it: the context's answer to its first request.
    std::string newSession() {
        auto answer = root_->createAnswer();
        KrHTMLKontextN* context = application_.createContext("nuxelid");
        context->handleRequest(*root_, *answer, "&new");
        return context->sessionId();
    }

    // A request of a session as the dispatch hands it on; the answer's body size.
    std::int64_t dispatch(const std::string& session, KrXHeader& request,
                         const std::string& command = "") {
        auto answer = request.createAnswer();
        application_.dispatchToContext(session, request, *answer, command);
        return answer->body().unreadSize();
    }

    KrSpielApp& application() { return application_; }
    KrXHeader& root() { return *root_; }

private:
    KrPersistentAppStorage storage_;
    KrSpielApp application_{&storage_, "bench", {}, {{"startpath", "."}}};
    std::shared_ptr<KrXHeader> root_ = getRequest("/");
};

Game& game() {
    static Game instance;
    return instance;
}

void dispatchLoop(benchmark::State& state, const std::vector<std::string>& targets,
                  const std::string& session, const std::string& command = "") {
    std::vector<std::shared_ptr<KrXHeader>> requests;
    for (const std::string& target : targets) {
        requests.push_back(getRequest(target));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(game().dispatch(session, *requests[next], command));
        next = (next + 1) % requests.size();
    }
}

// Repeated clicks on one cell: after the ninth the game is a draw, so each click also puts
// the result text in again, as in the load run.
void BM_Click(benchmark::State& state) {
    const std::string session = game().newSession();
    dispatchLoop(state, {"/f11?nuxelid=" + session}, session);
}
BENCHMARK(BM_Click);

void BM_Restart(benchmark::State& state) {
    const std::string session = game().newSession();
    dispatchLoop(state, {"/NeuStarten?nuxelid=" + session}, session);
}
BENCHMARK(BM_Restart);

void BM_SchemeSwitch(benchmark::State& state) {
    const std::string session = game().newSession();
    dispatchLoop(state, {"/playpost?nuxelid=" + session, "/playget?nuxelid=" + session}, session);
}
BENCHMARK(BM_SchemeSwitch);

void BM_UpdatePoll(benchmark::State& state) {
    const std::string session = game().newSession();
    game().dispatch(session, *getRequest("/playpost?nuxelid=" + session));
    dispatchLoop(state,
                 {"/?nuxelid=" + session + "&nuxelcommand=feskoupdate&reference=board"},
                 session, "feskoupdate");
}
BENCHMARK(BM_UpdatePoll);

// With the registry at its cap, each new session also evicts the least recently used.
void BM_NewSession(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(game().newSession());
    }
}
BENCHMARK(BM_NewSession);

void BM_BuiltInImage(benchmark::State& state) {
    const auto request = getRequest("/kreuz.png");
    for (auto _ : state) {
        auto answer = request->createAnswer();
        if (game().application().hasBuiltInFile("kreuz.png")) {
            game().application().serveBuiltInFile("kreuz.png", *answer);
        }
        benchmark::DoNotOptimize(answer->body().unreadSize());
    }
}
BENCHMARK(BM_BuiltInImage);

}  // namespace
