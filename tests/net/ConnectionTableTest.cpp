#include "net/ConnectionTable.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/KrSocketIPvx.h"
#include "net/KrTransceiverConnection.h"
#include "platform/Clock.h"

namespace {

using kr::ConnectionTable;

constexpr std::int64_t kSecond = 1'000'000'000;  // ns

// A connection outside any hub, due timeoutSeconds from now.
std::shared_ptr<KrTransceiverConnection> connection(std::uint64_t timeoutSeconds = 115) {
    return kr::makeJob<KrTransceiverConnection>(
        nullptr, "nobody", "second", KrTransceiverConnection::PeerMap{},
        KrTransceiverConnection::ExpiryCallback{}, timeoutSeconds * 1'000'000);
}

constexpr std::size_t kRoomy = 100;

ConnectionTable::Token add(ConnectionTable& table,
                           const std::shared_ptr<KrTransceiverConnection>& served) {
    return table.add(std::make_shared<KrSocketIPvx>(), served).token;
}

// The ids of the connections in the order given.
std::vector<std::string> idsOf(const std::vector<std::shared_ptr<KrTransceiverConnection>>& due) {
    std::vector<std::string> ids;
    for (const auto& connection : due) {
        ids.push_back(connection->id());
    }
    return ids;
}

TEST(ConnectionTable, AConnectionIsFoundByIdAndTokenUntilItIsTakenOut) {
    ConnectionTable table(kRoomy);
    const auto served = connection();
    const auto socket = std::make_shared<KrSocketIPvx>();
    const auto admission = table.add(socket, served);
    ASSERT_NE(admission.token, ConnectionTable::kNoToken);
    EXPECT_FALSE(admission.madeRoom.connection);
    EXPECT_EQ(table.entry(admission.token).connection, served);
    EXPECT_EQ(table.entry(admission.token).socket, socket);
    EXPECT_EQ(table.find(served->id()), served);
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(add(table, served), ConnectionTable::kNoToken) << "an id served already";

    const auto taken = table.take(served->id());
    EXPECT_EQ(taken.connection, served);
    EXPECT_EQ(taken.socket, socket);
    EXPECT_FALSE(table.entry(admission.token).connection);
    EXPECT_EQ(table.find(served->id()), nullptr) << "the look-up this thread remembers is stale";
    EXPECT_EQ(table.size(), 0u);
    EXPECT_FALSE(table.take(served->id()).connection);
    EXPECT_NE(add(table, connection()), admission.token) << "a token is never given twice";
}

TEST(ConnectionTable, ALookUpRemembersOnlyWhatItsOwnTableHoldsNow) {
    ConnectionTable first(kRoomy);
    ConnectionTable second(kRoomy);
    const auto served = connection();
    ASSERT_NE(add(first, served), ConnectionTable::kNoToken);
    EXPECT_EQ(first.find(served->id()), served);
    EXPECT_EQ(second.find(served->id()), nullptr) << "served by the other table";
    EXPECT_EQ(first.find(served->id()), served);
    EXPECT_EQ(first.find("unknown"), nullptr);
    first.unlist(served->id());
    EXPECT_EQ(first.find(served->id()), nullptr);
}

TEST(ConnectionTable, AfterCloseNoConnectionIsServedAndTheServedOnesStayFoundUntilDropped) {
    ConnectionTable table(kRoomy);
    const auto served = connection();
    const auto token = add(table, served);
    const auto entries = table.close();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].connection, served);
    EXPECT_FALSE(table.entry(token).connection);
    EXPECT_EQ(add(table, connection()), ConnectionTable::kNoToken);
    EXPECT_EQ(table.find(served->id()), served);
    EXPECT_FALSE(table.take(served->id()).connection) << "its socket is no longer served";

    const auto dropped = table.dropAll();
    EXPECT_EQ(dropped.size(), 1u);
    EXPECT_EQ(table.find(served->id()), nullptr);
    EXPECT_EQ(table.size(), 0u);
}

TEST(ConnectionTable, AtTheLimitTheConnectionCutFirstMakesRoom) {
    enum Taken { kTakesFirst, kTakesSecond, kTakesNone };
    const struct {
        const char* name;
        // Prepares the two connections served, the first filed first.
        std::function<void(ConnectionTable&, KrTransceiverConnection& first,
                           KrTransceiverConnection& second)>
            prepare;
        Taken taken;
    } cases[] = {
        {"both idle: the one idle longest", [](auto&, auto&, auto&) {}, kTakesFirst},
        {"a head still coming, due before the idle time",
         [](ConnectionTable& table, auto&, KrTransceiverConnection& second) {
             second.setRequestDeadline(platform::steadyNanoseconds() + 30 * kSecond);
             table.fileEarlierDeadline(second);
         },
         kTakesSecond},
        {"a request in progress stays",
         [](auto&, KrTransceiverConnection& first, auto&) { first.setRequestInProgress(true); },
         kTakesSecond},
        {"an answer waiting for the peer stays",
         [](auto&, KrTransceiverConnection& first, auto&) {
             std::size_t queued = 0;
             first.queueOutput("answer", 6, queued);
         },
         kTakesSecond},
        {"an outgoing connection stays",
         [](auto&, KrTransceiverConnection& first, auto&) { first.markOutgoing(); }, kTakesSecond},
        {"none may go",
         [](auto&, KrTransceiverConnection& first, KrTransceiverConnection& second) {
             first.setRequestInProgress(true);
             second.markOutgoing();
         },
         kTakesNone},
    };
    for (const auto& c : cases) {
        ConnectionTable table(2);
        const auto first = connection();
        const auto second = connection();
        ASSERT_NE(add(table, first), ConnectionTable::kNoToken) << c.name;
        ASSERT_NE(add(table, second), ConnectionTable::kNoToken) << c.name;
        c.prepare(table, *first, *second);

        const auto newcomer = connection();
        const auto admission = table.add(std::make_shared<KrSocketIPvx>(), newcomer);
        const auto& expected = c.taken == kTakesFirst ? first : second;
        if (c.taken == kTakesNone) {
            EXPECT_EQ(admission.token, ConnectionTable::kNoToken) << c.name;
            EXPECT_FALSE(admission.madeRoom.connection) << c.name;
            EXPECT_EQ(table.find(newcomer->id()), nullptr) << c.name;
            EXPECT_EQ(table.size(), 2u) << c.name;
            continue;
        }
        EXPECT_NE(admission.token, ConnectionTable::kNoToken) << c.name;
        EXPECT_TRUE(admission.atLimit) << c.name;
        EXPECT_EQ(admission.madeRoom.connection, expected) << c.name;
        EXPECT_EQ(table.find(expected->id()), nullptr) << c.name;
        EXPECT_EQ(table.find(newcomer->id()), newcomer) << c.name;
        EXPECT_EQ(table.size(), 2u) << c.name;
    }
}

// A file a connection sends holds a descriptor as its socket does: together they may not
// pass the limit, so that peers cannot bring the process to its descriptor limit by asking
// for files and reading them slowly.
TEST(ConnectionTable, TheFilesConnectionsSendCountTowardTheLimit) {
    ConnectionTable table(3);
    const auto reader = connection();
    const auto idle = connection();
    ASSERT_NE(add(table, reader), ConnectionTable::kNoToken);
    ASSERT_NE(add(table, idle), ConnectionTable::kNoToken);
    reader->setRequestInProgress(true);  // it asks for the files

    ConnectionTable::Claim file = table.reserveDescriptor();
    EXPECT_TRUE(file.descriptor);
    EXPECT_FALSE(file.atLimit);
    EXPECT_EQ(table.descriptorsHeld(), 3u);

    // At the limit a newcomer takes the place of the idle connection...
    const auto newcomer = connection();
    const auto admission = table.add(std::make_shared<KrSocketIPvx>(), newcomer);
    EXPECT_NE(admission.token, ConnectionTable::kNoToken);
    EXPECT_EQ(admission.madeRoom.connection, idle);
    EXPECT_EQ(table.descriptorsHeld(), 3u) << "the idle one's descriptor went to the newcomer";

    // ... and so does a second file, of the newcomer, which waits for nothing yet.
    ConnectionTable::Claim second = table.reserveDescriptor();
    EXPECT_TRUE(second.descriptor);
    EXPECT_TRUE(second.atLimit);
    EXPECT_EQ(second.madeRoom.connection, newcomer);

    // With every connection busy there is no room: neither a file nor a connection.
    ConnectionTable::Claim third = table.reserveDescriptor();
    EXPECT_FALSE(third.descriptor);
    EXPECT_TRUE(third.atLimit);
    EXPECT_FALSE(third.madeRoom.connection);
    const auto refused = table.add(std::make_shared<KrSocketIPvx>(), connection());
    EXPECT_EQ(refused.token, ConnectionTable::kNoToken);
    EXPECT_TRUE(refused.atLimit);

    // A file that is closed gives its place back.
    second.descriptor.release();
    EXPECT_EQ(table.descriptorsHeld(), 2u);
    EXPECT_NE(add(table, connection()), ConnectionTable::kNoToken);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.descriptorsHeld(), 3u);
}

// Deadlines are looked at through the time given to due, not by waiting for them.
TEST(ConnectionTable, OnlyConnectionsFiledUnderAPassedDeadlineAreDue) {
    ConnectionTable table(kRoomy);
    const std::int64_t start = platform::steadyNanoseconds();
    const auto soon = connection(1);
    const auto late = connection(100);
    add(table, soon);
    const auto lateToken = add(table, late);
    EXPECT_TRUE(table.due(start).empty());
    EXPECT_EQ(idsOf(table.due(start + 2 * kSecond)), std::vector{soon->id()});
    EXPECT_EQ(idsOf(table.due(start + 200 * kSecond)), (std::vector{soon->id(), late->id()}));

    // A request deadline counts once it is filed; one that moves later is not filed.
    late->setRequestDeadline(start + kSecond + kSecond / 2);
    EXPECT_EQ(table.due(start + 2 * kSecond).size(), 1u);
    table.fileEarlierDeadline(*late);
    EXPECT_EQ(idsOf(table.due(start + 2 * kSecond)), (std::vector{soon->id(), late->id()}));
    late->setRequestDeadline(start + 50 * kSecond);
    table.fileEarlierDeadline(*late);
    EXPECT_EQ(table.due(start + 2 * kSecond).size(), 2u);
    // Housekeeping files a connection that was not idle anew, under its deadline now.
    table.refile(*late);
    EXPECT_EQ(idsOf(table.due(start + 2 * kSecond)), std::vector{soon->id()});

    // An expired connection is asked no more and found no more, but keeps its socket until
    // it is taken out.
    table.unlist(late->id());
    EXPECT_EQ(table.find(late->id()), nullptr);
    EXPECT_EQ(idsOf(table.due(start + 200 * kSecond)), std::vector{soon->id()});
    EXPECT_EQ(table.entry(lateToken).connection, late);
    EXPECT_EQ(table.take(late->id()).connection, late);
    table.refile(*late);
    EXPECT_EQ(table.due(start + 200 * kSecond).size(), 1u) << "only filed connections refile";
}

}  // namespace
