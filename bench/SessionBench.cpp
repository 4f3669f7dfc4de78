// What a new game session costs: the time to make its page context (the page read into its
// document, the session identifier stamped in, the hooks set), and the memory one live
// session holds, counted by this program's own operator new: the bytes asked for and the
// number of allocations (each costs the allocator 8 to 16 bytes more).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/KrHTMLKontextN.h"
#include "app/KrNuxelApplication2.h"
#include "app/KrPageCache.h"
#include "document/html/KrHTML_Document2.h"
#include "game/BuiltInFiles.h"
#include "game/KrHTMLKontext_GameWidget.h"
#include "game/KrHTMLKontext_Game_Get.h"
#include "game/KrHTMLKontext_Game_Post.h"
#include "game/KrSpielApp.h"
#include "http/KrXHeader.h"
#include "http/KrXResponseHeader.h"
#include "jobs/KrJob.h"
#include "storage/KrPersistentAppStorage.h"

namespace {

// Every allocation carries its size in front of it, so that the live bytes can be counted.
constexpr std::size_t kHeader = alignof(std::max_align_t);
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> allocations{0};

void* allocate(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    liveBytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
    allocations.fetch_add(1, std::memory_order_relaxed);
    return static_cast<char*>(block) + kHeader;
}

void release(void* pointer) {
    if (pointer == nullptr) {
        return;
    }
    void* block = static_cast<char*>(pointer) - kHeader;
    liveBytes.fetch_sub(static_cast<std::int64_t>(*static_cast<std::size_t*>(block)),
                        std::memory_order_relaxed);
    std::free(block);
}

// The game's application with its built-in files, never started.
struct Game {
    Game() { kr::initStorage(storage); }

    KrPersistentAppStorage storage;
    KrSpielApp application{&storage, "bench", {}, {{"startpath", "."}}};
    KrSettingsMap settings{{{"startpath", "."}}};
};

Game& game() {
    static Game made;
    return made;
}

template <class Page>
std::unique_ptr<Page> newPage(int number) {
    const std::string id = "nuxelid" + std::to_string(100000000000000000 + number);
    return std::make_unique<Page>(&game().application, id, true, &game().settings);
}

// The memory 1000 live sessions hold, per session.
template <class Page>
void BM_SessionMemory(benchmark::State& state) {
    constexpr int kSessions = 1000;
    for (auto _ : state) {
        newPage<Page>(0);  // whatever is made once, on first use, is not a session's
        const std::int64_t heapBefore = liveBytes.load();
        const std::int64_t allocationsBefore = allocations.load();
        std::vector<std::unique_ptr<Page>> sessions;
        sessions.reserve(kSessions);
        for (int number = 1; number <= kSessions; ++number) {
            sessions.push_back(newPage<Page>(number));
        }
        state.counters["heap_per_session"] = double(liveBytes.load() - heapBefore) / kSessions;
        state.counters["allocations_per_session"] =
            double(allocations.load() - allocationsBefore) / kSessions;
    }
}
BENCHMARK(BM_SessionMemory<KrHTMLKontext_Game_Get>)->Name("BM_SessionMemory/get")->Iterations(1);
BENCHMARK(BM_SessionMemory<KrHTMLKontext_Game_Post>)->Name("BM_SessionMemory/post")->Iterations(1);
BENCHMARK(BM_SessionMemory<KrHTMLKontext_GameWidget>)
    ->Name("BM_SessionMemory/widget")
    ->Iterations(1);

// A context made and deleted: what a new session costs once the registry is full and
// every new one evicts the oldest.
template <class Page>
void BM_NewSession(benchmark::State& state) {
    int number = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(newPage<Page>(++number));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewSession<KrHTMLKontext_Game_Get>)->Name("BM_NewSession/get");
BENCHMARK(BM_NewSession<KrHTMLKontext_Game_Post>)->Name("BM_NewSession/post");
BENCHMARK(BM_NewSession<KrHTMLKontext_GameWidget>)->Name("BM_NewSession/widget");

// A new session as the server makes it: registered (at the cap, evicting the least
// recently used one), then its first request answered with the page.
void BM_NewSessionAndItsPage(benchmark::State& state) {
    auto request = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, 3u);
    request->setMessageKind(KrXHeader::kRequest);
    request->input().write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (request->readMessage([](KrXHeader&) { return true; }) != KrXHeader::kComplete) {
        state.SkipWithError("the request does not parse");
        return;
    }
    for (auto _ : state) {
        KrHTMLKontextN* context = game().application.createContext("nuxelid");
        const auto answer = request->createAnswer();
        context->handleRequest(*request, *answer, "&new");
        benchmark::DoNotOptimize(answer->body().str());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewSessionAndItsPage);

// A new session at the cap: the least recently used session's page, made long ago and no
// longer in the cache, is deleted, and a new copy of the page is made.
void BM_ReplaceTheOldestPage(benchmark::State& state) {
    constexpr std::size_t kLive = KrNuxelApplication2::kDefaultSessionLimit;
    KrPageCache cache;
    const std::string text = game().storage.builtInFiles().at("spiele.html").contentString();
    std::vector<std::unique_ptr<KrHTML_Document2>> live;
    for (std::size_t i = 0; i < kLive; ++i) {
        live.push_back(cache.document(text));
    }
    std::size_t oldest = 0;
    for (auto _ : state) {
        live[oldest].reset();
        live[oldest] = cache.document(text);
        oldest = (oldest + 1) % kLive;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReplaceTheOldestPage);

// What every click answers with: the session's page written.
void BM_RenderPage(benchmark::State& state) {
    const std::unique_ptr<KrHTMLKontext_Game_Get> page = newPage<KrHTMLKontext_Game_Get>(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(page->render());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenderPage);

// How a click finds the cell it changes.
void BM_FindCellById(benchmark::State& state) {
    const std::unique_ptr<KrHTMLKontext_Game_Get> page = newPage<KrHTMLKontext_Game_Get>(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(page->document()->findFirstChildWithAttribute("id", "i33"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindCellById);

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* pointer) noexcept { release(pointer); }
void operator delete[](void* pointer) noexcept { release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { release(pointer); }
