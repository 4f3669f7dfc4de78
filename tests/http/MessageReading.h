#pragma once

#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "http/KrXHeader.h"

namespace httptest {

inline std::shared_ptr<KrXHeader> newRequest(std::uint32_t protocol = 3) {
    auto message = kr::makeJob<KrXHeader>(KrXHeader::kMethodPost, false, protocol);
    message->setMessageKind(KrXHeader::kRequest);
    return message;
}

// Cuts wire into pieces the way buffers arrive from a socket: random lengths from 1 byte
// up, the same for the same seed. Seed 0 gives the whole text in one piece.
inline std::vector<std::string> randomChunks(std::string_view wire, unsigned seed) {
    std::vector<std::string> chunks;
    if (seed == 0) {
        chunks.emplace_back(wire);
        return chunks;
    }
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> length(1, 17);
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t n = std::min(length(random), wire.size() - at);
        chunks.emplace_back(wire.substr(at, n));
        at += n;
    }
    return chunks;
}

// The seeds every chunked test runs with: whole, and several random cuts.
inline constexpr unsigned kSeeds[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

// One message as a server layer ends it.
struct Outcome {
    int result = KrXHeader::kNeedMore;
    std::shared_ptr<KrXHeader> message;
    int headCallbacks = 0;
};

// Reads chunks as a server layer does: each is appended to the message being read, and the
// bytes after a complete message start the next one. Stops at a refused message. The last
// outcome is the message still being read (kNeedMore) unless the bytes ended with a
// message.
inline std::vector<Outcome> readStream(const std::vector<std::string>& chunks,
                                       bool acceptHeads = true, std::uint32_t protocol = 3) {
    std::vector<Outcome> outcomes;
    outcomes.push_back({KrXHeader::kNeedMore, newRequest(protocol), 0});
    auto callback = [&](KrXHeader&) {
        ++outcomes.back().headCallbacks;
        return acceptHeads;
    };
    for (const std::string& chunk : chunks) {
        outcomes.back().message->input().write(chunk);
        for (;;) {
            Outcome& current = outcomes.back();
            current.result = current.message->readMessage(callback);
            if (current.result == KrXHeader::kRefused) {
                return outcomes;
            }
            if (current.result != KrXHeader::kComplete) {
                break;
            }
            auto rest = current.message->takePipelinedBytes();
            auto next = newRequest(protocol);
            if (rest != nullptr) {
                next->setBody(std::move(rest));
            }
            outcomes.push_back({KrXHeader::kNeedMore, next, 0});
            if (!next->hasBody()) {
                break;
            }
        }
    }
    if (outcomes.size() > 1 && outcomes.back().result == KrXHeader::kNeedMore &&
        !outcomes.back().message->hasBody()) {
        outcomes.pop_back();
    }
    return outcomes;
}

inline std::string parameter(const KrXHeader& message, const std::string& name) {
    std::string value;
    return message.getParameter(name, value) ? value : "<absent>";
}

}  // namespace httptest
