#include <gtest/gtest.h>

#include <string>

#include "foundation/Strings.h"
#include "http/KrXServerHeader.h"

namespace {

TEST(ServerDescription, SettingsFallBackWhenMissing) {
    auto description = kr::makeJob<KrXServerHeader>(true, 3);
    description->setParameter("tcp_port", "0");
    EXPECT_EQ(description->setting("tcp_port", "2098"), "0");
    EXPECT_EQ(description->setting("tcp_address", "127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(description->descriptionId(), description->id());
    EXPECT_EQ(description->serverProtocol(), 3u);
    EXPECT_TRUE(description->serverRole());
    EXPECT_EQ(description->methodCode(), KrXHeader::kMethodPost);
    EXPECT_FALSE(kr::makeJob<KrXServerHeader>(false, 9)->serverRole());
}

TEST(ServerDescription, AcceptsTheFourServerTypesExactly) {
    const std::pair<KrServerDescription::Attributes, bool> cases[] = {
        {{{"type", "HTTP"}}, true},     {{{"type", "HTTPS"}}, true},
        {{{"type", "NUXEL"}}, true},    {{{"type", "DirectSocket"}}, true},
        {{{"type", "http"}}, false},    {{{"type", "NUXELS"}}, false},
        {{{"hoststring", "h"}}, false}, {{{"type", "none"}}, false},
    };
    auto description = kr::makeJob<KrXServerHeader>(true, 3);
    for (const auto& [attributes, accepted] : cases) {
        EXPECT_EQ(description->acceptsConnection(attributes), accepted)
            << kr::valueOrDefault(attributes, "type", "(no type)");
    }
}

}  // namespace
