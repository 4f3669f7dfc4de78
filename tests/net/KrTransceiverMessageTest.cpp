#include "net/KrTransceiverMessage.h"

#include <gtest/gtest.h>

#include "net/KrProtocol.h"

namespace {

class PlainMessage : public KrTransceiverMessage {
public:
    PlainMessage() : KrTransceiverMessage(kr::kProtocolSocket) {}
    std::string addressText() const override { return ""; }
    std::string targetHost() const override { return ""; }
    std::uint64_t targetPort() const override { return 0; }
};

TEST(KrTransceiverMessage, RouteEntriesBeyondTheEndReadAsEmpty) {
    KrJobInstance<PlainMessage> message;
    EXPECT_EQ(message.route(0), "");
    message.appendRoute("connection");
    message.appendRoute("server");
    EXPECT_EQ(message.route(0), "connection");
    EXPECT_EQ(message.route(1), "server");
    EXPECT_EQ(message.route(2), "");
    EXPECT_EQ(message.protocol(), kr::kProtocolSocket);
    EXPECT_EQ(message.messageKind(), KrTransceiverMessage::kUnrecognised);
}

TEST(ProtocolSchemeName, KnowsNoFile) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {3, "http"},   {4, "https"},  {5, "unknown"}, {6, "nuxel"},
        {7, "nuxels"}, {9, "socket"}, {0, "unknown"}, {8, "unknown"},
    };
    for (const auto& [protocol, name] : cases) {
        EXPECT_EQ(kr::protocolSchemeName(protocol), name) << protocol;
    }
}

}  // namespace
