// The round trip of a small message over loopback through the whole network layer: a
// client's bytes are accepted by the listener, read by the hub's receive job, announced to
// the server through the job registry, taken on the server's buffer job by a test layer,
// answered by a request handler through the hub, and written back by the send job.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "TransceiverTestSupport.h"

namespace {

using namespace nettest;

// Each iteration sends one message on each connection, then waits for every echo.
void BM_RoundTrip(benchmark::State& state) {
    const auto connections = static_cast<std::size_t>(state.range(0));
    HubFixture fixture;
    const std::uint16_t port = fixture.listen();
    if (port == 0) {
        state.SkipWithError("the listener did not start");
        return;
    }
    std::vector<std::unique_ptr<Client>> clients;
    for (std::size_t i = 0; i < connections; ++i) {
        clients.push_back(std::make_unique<Client>());
        if (!clients.back()->connect(port)) {
            state.SkipWithError("could not connect");
            return;
        }
    }
    const std::string message = "GET /f11 HTTP/1.1\r\n\r\n";
    for (auto _ : state) {
        for (auto& client : clients) {
            client->send(message);
        }
        for (auto& client : clients) {
            if (client->receive(message.size()).size() != message.size()) {
                state.SkipWithError("an echo did not come back");
                return;
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * connections));
}
BENCHMARK(BM_RoundTrip)->Arg(1)->Arg(8)->UseRealTime();

}  // namespace
