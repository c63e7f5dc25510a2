// Text forms of the OPC UA client: endpoint URLs and NodeIds.
#include "ua_text.h"

#include <gtest/gtest.h>

namespace ostrand::ua {
namespace {

TEST(UaText, EndpointUrls) {
    const struct {
        const char* text;
        const char* host;
        uint16_t port;
        const char* path;
        const char* formatted;
    } good[] = {
        {"opc.tcp://127.0.0.1:4840", "127.0.0.1", 4840, "", "opc.tcp://127.0.0.1:4840"},
        {"opc.tcp://plant-7", "plant-7", 4840, "", "opc.tcp://plant-7:4840"},
        {"OPC.TCP://Host.example:48400/UA/Server", "Host.example", 48400, "/UA/Server",
         "opc.tcp://Host.example:48400/UA/Server"},
        {"opc.tcp://[::1]:4841/x", "::1", 4841, "/x", "opc.tcp://[::1]:4841/x"},
        {"opc.tcp://[fe80::1:2]", "fe80::1:2", 4840, "", "opc.tcp://[fe80::1:2]:4840"},
        {"opc.tcp://h:65535/", "h", 65535, "/", "opc.tcp://h:65535/"},
        {"opc.tcp://h:1", "h", 1, "", "opc.tcp://h:1"},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        const auto url = parse_endpoint_url(c.text);
        ASSERT_TRUE(url.has_value());
        EXPECT_EQ(url->host, c.host);
        EXPECT_EQ(url->port, c.port);
        EXPECT_EQ(url->path, c.path);
        EXPECT_EQ(format_endpoint_url(*url), c.formatted);
        EXPECT_EQ(format_endpoint_url(*parse_endpoint_url(c.formatted)), c.formatted);
    }
    for (const char* bad : {"http://h:4840", "opc.tcp:/h", "opc.tcp://", "opc.tcp://:4840", "opc.tcp://h:",
                            "opc.tcp://h:0", "opc.tcp://h:65536", "opc.tcp://h:04840", "opc.tcp://h:+80",
                            "opc.tcp://h:80x", "opc.tcp://user@h", "opc.tcp://h h", "opc.tcp://h/a b",
                            "opc.tcp://h\n", "opc.tcp://[::1", "opc.tcp://[::1]x", "opc.tcp://[::1]:",
                            "opc.tcp://[not-v6]", "opc.tcp://[127.0.0.1]", "opc.tcp://::1:4840"})
        EXPECT_FALSE(parse_endpoint_url(bad)) << bad;
    // The longest URL a Hello can carry.
    EXPECT_TRUE(parse_endpoint_url("opc.tcp://h/" + std::string(4096 - 12, 'p')));
    EXPECT_FALSE(parse_endpoint_url("opc.tcp://h/" + std::string(4096 - 11, 'p')));
}

} // namespace
} // namespace ostrand::ua
