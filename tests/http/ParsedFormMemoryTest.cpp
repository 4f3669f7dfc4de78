// What a parsed message costs in memory, counted by the allocation functions of this test
// program: while a thread counts, each allocation it makes is added at its usable size and
// each release taken off. A program of its own, so no other test runs with them.

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "MessageReading.h"
#include "http/KrXHeader.h"

namespace {

thread_local bool counting = false;
thread_local std::int64_t liveBytes = 0;
thread_local std::int64_t peakBytes = 0;

void* allocate(std::size_t size) {
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    if (counting) {
        liveBytes += static_cast<std::int64_t>(malloc_usable_size(memory));
        peakBytes = std::max(peakBytes, liveBytes);
    }
    return memory;
}

void release(void* memory) noexcept {
    if (memory != nullptr && counting) {
        liveBytes -= static_cast<std::int64_t>(malloc_usable_size(memory));
    }
    std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { release(memory); }

namespace {

// The most the thread held at once while it ran, and what it still held at the end, beyond
// what it held before.
struct Usage {
    std::int64_t peak = 0;
    std::int64_t kept = 0;
};

template <class Work>
Usage measure(Work work) {
    liveBytes = 0;
    peakBytes = 0;
    counting = true;
    work();
    counting = false;
    return {peakBytes, liveBytes};
}

std::string repeated(std::string_view unit, std::size_t times) {
    std::string text;
    text.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}

std::string numbered(std::size_t count, const std::string& before, const std::string& after) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += before + std::to_string(i) + after;
    }
    return text;
}

std::string post(const std::string& type, const std::string& body) {
    return "POST / HTTP/1.1\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kForm = "application/x-www-form-urlencoded";
const std::string kMultipart = "multipart/form-data; boundary=b";
constexpr std::size_t kLimit = KrXHeader::kMaxParameters;
constexpr std::size_t kMiB = 1 << 20;

// A message written whole into a new request, read and its body parsed: the usage of both.
struct Parsed {
    int read = KrXHeader::kNeedMore;
    int parsed = KrXHeader::kNeedMore;
    Usage usage;
};

Parsed readAndParse(const std::string& wire) {
    auto message = httptest::newRequest();
    message->input().write(wire);
    Parsed result;
    result.usage = measure([&] {
        result.read = message->readMessage([](KrXHeader&) { return true; });
        if (result.read == KrXHeader::kComplete) {
            result.parsed = message->parseBody();
        }
    });
    return result;
}

TEST(ParsedFormMemory, AMessageParsesToTwiceItsSizeAtMostPlusABoundedCostForItsParameters) {
    // A parameter costs a block of a few hundred bytes, and a part's head fields up to
    // 130 bytes each, however few bytes they took on the wire; there are at most
    // kMaxParameters parameters of at most kMaxPartHeadFields fields.
    constexpr std::int64_t kAllowance = kLimit * 2048;
    std::string manyFieldedParts;
    for (std::size_t part = 0; part < kLimit; ++part) {
        manyFieldedParts += "--b\r\n" +
                            numbered(KrXHeader::kMaxPartHeadFields,
                                     "Field-" + std::to_string(part) + "-", ": value\r\n") +
                            "\r\n\r\n";
    }
    const std::string cases[] = {
        "GET /?" + repeated("=&", kLimit) + " HTTP/1.1\r\n\r\n",
        "GET /?" + numbered(kLimit, "name", "=value&") + " HTTP/1.1\r\n\r\n",
        post(kForm, repeated("=&", kLimit)),
        post(kForm, repeated("a=b&", kLimit)),
        post(kForm, numbered(kLimit, "name", "=value&")),
        post(kForm, "v=" + std::string(4 * kMiB, 'x')),
        post(kForm, "v=" + repeated("%41", kMiB)),
        post(kForm, "v=" + repeated("+", 4 * kMiB)),
        post(kForm, numbered(kLimit, "n", "=" + std::string(8 * 1024, 'v') + "&")),
        post(kMultipart, repeated("--b\r\n\r\n\r\n", kLimit) + "--b--"),
        post(kMultipart, manyFieldedParts + "--b--"),
        post(kMultipart, "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n" +
                             std::string(4 * kMiB, 'x') + "\r\n--b--"),
        post(kMultipart, repeated("--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n" +
                                      std::string(8 * 1024, 'x') + "\r\n",
                                  kLimit) +
                             "--b--"),
    };
    for (const std::string& wire : cases) {
        const Parsed parsed = readAndParse(wire);
        const std::string label = wire.substr(0, 80);
        ASSERT_EQ(parsed.read, KrXHeader::kComplete) << label;
        ASSERT_EQ(parsed.parsed, KrXHeader::kComplete) << label;
        const std::int64_t bound = 2 * static_cast<std::int64_t>(wire.size()) + kAllowance;
        EXPECT_LE(parsed.usage.peak, bound) << label << " of " << wire.size() << " bytes";
        EXPECT_LE(parsed.usage.kept, bound) << label << " of " << wire.size() << " bytes";
    }
}

TEST(ParsedFormMemory, ABodyOverTheLimitsIsRefusedBeforeAnythingIsBuiltForIt) {
    std::string oneWideHead = "--b\r\n";
    for (std::size_t field = 0; field < 100'000; ++field) {
        oneWideHead += "F" + std::to_string(field) + ": v\r\n";
    }
    const std::string cases[] = {
        post(kForm, repeated("=&", 4 * kMiB)),  // 8 MiB
        post(kMultipart, repeated("--b", 2 * kMiB)),
        post(kMultipart, oneWideHead + "\r\n\r\n--b--"),
    };
    for (const std::string& wire : cases) {
        const Parsed parsed = readAndParse(wire);
        const std::string label = wire.substr(0, 80);
        EXPECT_EQ(parsed.read, KrXHeader::kRefused) << label;
        EXPECT_LE(parsed.usage.peak, 64 * 1024) << label;
    }
}

}  // namespace
