// Text forms of the OPC UA client: endpoint URLs and NodeIds.
#include "ua/encoding/text.h"

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

TEST(UaText, NodeIdRoundTrips) {
    const std::string token("\xd3\x37\x81\x9d\x14\x3e\xdb\x77\x70\x61\xf0\x09\x2a\xc6\xce\x6d", 16);
    Guid guid;
    guid.data1 = 0x5f86492f;
    guid.data2 = 0x16b4;
    guid.data3 = 0x7eae;
    guid.data4 = {0xa1, 0xa0, 0x44, 0x63, 0xc7, 0x51, 0x48, 0xe4};
    const struct {
        const char* text;
        NodeId id;
        const char* uri;       // nsu= form
        const char* formatted; // the short form written back
    } cases[] = {
        {"i=2258", NodeId::numeric_id(0, 2258), nullptr, "i=2258"},
        {"ns=0;i=85", NodeId::numeric_id(0, 85), nullptr, "i=85"},
        {"i=0", NodeId::numeric_id(0, 0), nullptr, "i=0"},
        {"ns=65535;i=4294967295", NodeId::numeric_id(65535, 4294967295u), nullptr, "ns=65535;i=4294967295"},
        {"ns=1;s=Channel1.Device1.Speed", NodeId::string_id(1, "Channel1.Device1.Speed"), nullptr,
         "ns=1;s=Channel1.Device1.Speed"},
        {"ns=2;s=a;b=c", NodeId::string_id(2, "a;b=c"), nullptr, "ns=2;s=a;b=c"},
        {"s=Dr\xc3\xbc" "ck", NodeId::string_id(0, "Dr\xc3\xbc" "ck"), nullptr, "s=Dr\xc3\xbc" "ck"},
        {"ns=1;g=5f86492f-16b4-7eae-a1a0-4463c75148e4", NodeId::guid_id(1, guid), nullptr,
         "ns=1;g=5F86492F-16B4-7EAE-A1A0-4463C75148E4"},
        {"b=0zeBnRQ+23dwYfAJKsbObQ==", NodeId::opaque_id(0, token), nullptr, "b=0zeBnRQ+23dwYfAJKsbObQ=="},
        {"ns=3;b=/w==", NodeId::opaque_id(3, "\xff"), nullptr, "ns=3;b=/w=="},
        {"b=YWI=", NodeId::opaque_id(0, "ab"), nullptr, "b=YWI="},
        {"nsu=urn:opcua-peer:server;s=Channel1.Device1.Speed", NodeId::string_id(0, "Channel1.Device1.Speed"),
         "urn:opcua-peer:server", "nsu=urn:opcua-peer:server;s=Channel1.Device1.Speed"},
        {"nsu=http://x/y;i=7", NodeId::numeric_id(0, 7), "http://x/y", "nsu=http://x/y;i=7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = parse_node_id(c.text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->node_id, c.id);
        EXPECT_EQ(parsed->namespace_uri, c.uri ? String(c.uri) : String());
        EXPECT_EQ(format_node_id(*parsed), c.formatted);
        if (!c.uri) {
            EXPECT_EQ(format_node_id(c.id), c.formatted);
        }
        EXPECT_EQ(parse_node_id(c.formatted)->node_id, c.id);
    }
}

TEST(UaText, MalformedNodeIdsAreRefused) {
    for (const char* bad : {"", "i=", "s=", "g=", "b=", "x=1", "I=5", "i", "2258", "ns=1", "ns=1;", "ns=;i=1",
                            "ns=x;i=1", "ns=65536;i=1", "ns=-1;i=1", "ns=01;i=1", "ns=1;ns=2;i=1",
                            "ns=1;nsu=u;i=1", "nsu=;i=1", "nsu=u", "i=-1", "i=+1", "i= 1", "i=1 ", "i=01",
                            "i=4294967296", "i=1x", "g=5f86492f-16b4-7eae-a1a0-4463c75148e",
                            "g=5f86492f16b47eaea1a04463c75148e4", "g={5f86492f-16b4-7eae-a1a0-4463c75148e4}",
                            "g=5f86492f-16b4-7eae-a1a0-4463c75148eg",
                            "g=5f86492f-16b47-eae-a1a0-4463c75148e4",
                            "b=AAA", "b=A===", "b====", "b=AB==", "b=AAB=", "b=A*==", "b=AA==AA==", "b=AA=A"})
        EXPECT_FALSE(parse_node_id(bad)) << bad;
}

} // namespace
} // namespace ostrand::ua
