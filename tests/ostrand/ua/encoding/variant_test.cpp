// OPC UA values in the service's terms (no server): Variant -> VARIANT for
// every built-in type, write coercion to the node's type, quality from the
// severity bits, DataType -> built-in type, and the list file of endpoints
// (its lines and which endpoint each applies to).
#include "../../../support/config_home.h"
#include "../../../support/loopback.h"
#include "../../../support/temp_dir.h"
#include "../automation.h"
#include "ua/client/connection_settings.h"
#include "ua/client/discovery.h"
#include "ua/encoding/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>

namespace {

using namespace ostrand::ua;
using opc_test::real4;

constexpr int64_t kTicks2024 = 133486382450000000; // 2024-01-02 03:04:05 UTC in FILETIME units

struct ToVariantCase {
    const char* name;
    Variant in;
    bool ok;
    VARTYPE vt;
    std::function<void(const VARIANT&)> check;
};

TEST(UaVariant, EveryBuiltInTypeMapsToItsVariantType) {
    NodeId node = NodeId::string_id(1, "Channel1.Device1.Speed");
    QualifiedName qn{1, std::string("Speed")};
    LocalizedText lt{std::string("en"), std::string("Speed of belt")};
    ExtensionObject eo;
    eo.type_id = NodeId::numeric_id(0, 886);
    eo.encoding = ExtensionObject::Encoding::Binary;
    const ToVariantCase cases[] = {
        {"null", Variant{}, true, VT_EMPTY, nullptr},
        {"bool", Variant::scalar<kBoolean>(1), true, VT_BOOL, [](const VARIANT& v) { EXPECT_EQ(v.boolVal, -1); }},
        {"sbyte", Variant::scalar<kSByte>(-5), true, VT_I1, [](const VARIANT& v) { EXPECT_EQ(v.cVal, -5); }},
        {"byte", Variant::scalar<kByte>(200), true, VT_UI1, [](const VARIANT& v) { EXPECT_EQ(v.bVal, 200); }},
        {"uint16", Variant::scalar<kUInt16>(65535), true, VT_UI2, [](const VARIANT& v) { EXPECT_EQ(v.uiVal, 65535); }},
        {"uint32", Variant::scalar<kUInt32>(4000000000u), true, VT_UI4,
         [](const VARIANT& v) { EXPECT_EQ(v.ulVal, 4000000000u); }},
        {"int64", Variant::scalar<kInt64>(-(int64_t{1} << 40)), true, VT_I8,
         [](const VARIANT& v) { EXPECT_EQ(v.llVal, -(int64_t{1} << 40)); }},
        {"uint64 above 2^63", Variant::scalar<kUInt64>((uint64_t{1} << 63) + 5), true, VT_UI8,
         [](const VARIANT& v) { EXPECT_EQ(v.ullVal, (uint64_t{1} << 63) + 5); }},
        {"float NaN", Variant::scalar<kFloat>(std::numeric_limits<float>::quiet_NaN()), true, VT_R4,
         [](const VARIANT& v) { EXPECT_TRUE(std::isnan(v.fltVal)); }},
        {"string bytes as is", Variant::scalar<kString>(std::string("h\xC3\xA9llo")), true, VT_BSTR,
         [](const VARIANT& v) { EXPECT_STREQ(v.bstrVal, "h\xC3\xA9llo"); }},
        {"null string", Variant::scalar<kString>(std::nullopt), true, VT_BSTR,
         [](const VARIANT& v) { EXPECT_STREQ(v.bstrVal, ""); }},
        {"datetime", Variant::scalar<kDateTime>(kTicks2024), true, VT_DATE,
         [](const VARIANT& v) { EXPECT_EQ(date_to_filetime(v.date), kTicks2024); }},
        {"null datetime is 1601", Variant::scalar<kDateTime>(0), true, VT_DATE,
         [](const VARIANT& v) { EXPECT_DOUBLE_EQ(v.date, -109205.0); }},
        {"nodeid as text", Variant::scalar<kNodeId>(node), true, VT_BSTR,
         [](const VARIANT& v) { EXPECT_STREQ(v.bstrVal, "ns=1;s=Channel1.Device1.Speed"); }},
        {"qualified name", Variant::scalar<kQualifiedName>(qn), true, VT_BSTR,
         [](const VARIANT& v) { EXPECT_STREQ(v.bstrVal, "Speed"); }},
        {"localized text: its text", Variant::scalar<kLocalizedText>(lt), true, VT_BSTR,
         [](const VARIANT& v) { EXPECT_STREQ(v.bstrVal, "Speed of belt"); }},
        {"bytestring", Variant::scalar<kByteString>(std::string("\x01\xFF", 2)), true, VT_ARRAY | VT_UI1,
         [](const VARIANT& v) {
             ASSERT_EQ(v.parray->count, 2u);
             EXPECT_EQ(v.parray->elements[1].bVal, 0xFF);
         }},
        {"status code", Variant::scalar<kStatusCode>(0x80340000u), true, VT_UI4,
         [](const VARIANT& v) { EXPECT_EQ(v.ulVal, 0x80340000u); }},
        {"int16 matrix flattened", Variant::array_of<kInt16>({1, 2, 3, 4, 5, 6}, {2, 3}), true, VT_ARRAY | VT_I2,
         [](const VARIANT& v) {
             ASSERT_EQ(v.parray->count, 6u);
             EXPECT_EQ(v.parray->elements[5].vt, VT_I2);
             EXPECT_EQ(v.parray->elements[5].iVal, 6);
         }},
        {"nested variant: the inner value", Variant::scalar<kVariant>(Variant::scalar<kDouble>(2.5)), true, VT_R8,
         [](const VARIANT& v) { EXPECT_EQ(v.dblVal, 2.5); }},
        {"variant array of one type",
         Variant::array_of<kVariant>({Variant::scalar<kInt32>(1), Variant::scalar<kInt32>(2)}), true,
         VT_ARRAY | VT_I4, [](const VARIANT& v) { EXPECT_EQ(v.parray->elements[1].lVal, 2); }},
        {"variant array of mixed types",
         Variant::array_of<kVariant>({Variant::scalar<kInt32>(1), Variant::scalar<kDouble>(2)}), false, VT_EMPTY,
         nullptr},
        {"extension object", Variant::scalar<kExtensionObject>(eo), false, VT_EMPTY, nullptr},
        {"array over the element limit", Variant::array_of<kByte>(std::vector<uint8_t>(kMaxArrayElements + 1)),
         false, VT_EMPTY, nullptr},
    };
    for (const ToVariantCase& c : cases) {
        SCOPED_TRACE(c.name);
        VARIANT v;
        VariantInit(&v);
        EXPECT_EQ(to_variant(c.in, &v), c.ok);
        EXPECT_EQ(v.vt, c.vt);
        if (c.ok && c.check) c.check(v);
        VariantClear(&v);
    }
}

TEST(UaVariant, DateTimeAndVtDateAgreeAtWholeSeconds) {
    for (int64_t t : {kTicks2024, kTicks2024 + 10000000, int64_t{116444736000000000}}) {
        EXPECT_EQ(date_to_filetime(filetime_to_date(t)), t) << t;
    }
    EXPECT_DOUBLE_EQ(filetime_to_date(116444736000000000), 25569.0); // 1970-01-01 as an Automation date
    // Dates outside 1601..9999 (a server's extreme tick counts read back) saturate, never overflow.
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    for (int64_t t : {std::numeric_limits<int64_t>::min(), int64_t{-1}}) {
        EXPECT_EQ(date_to_filetime(filetime_to_date(t)), 0) << t;
    }
    EXPECT_EQ(date_to_filetime(filetime_to_date(kMax)), kMax);
    EXPECT_EQ(date_to_filetime(std::nan("")), 0);
    EXPECT_EQ(date_to_filetime(1e300), kMax);
}

TEST(UaVariant, QualityFollowsTheSeverityBitsOnly) {
    const std::pair<StatusCode, int32_t> cases[] = {
        {0x00000000, 192}, {0x00000480, 192} /* Good, info bits: DataValue, Overflow */,
        {0x40000000, 64},  {0x408F0000, 64},  {0x80340000, 0}, {0xC0000000, 0},
    };
    for (auto [st, quality] : cases) EXPECT_EQ(quality_of(st), quality) << std::hex << st;
}

TEST(UaVariant, WritesAreCoercedToTheNodeType) {
    VARIANT text = opc_test::text("abc");
    struct Case {
        const char* name;
        VARIANT in;
        uint8_t type;
        HRESULT hr;
        Variant out;
    };
    const Case cases[] = {
        {"R4 rounds half to even into Int16", real4(12.5f), kInt16, S_OK, Variant::scalar<kInt16>(12)},
        {"R4 13.5 into Int16", real4(13.5f), kInt16, S_OK, Variant::scalar<kInt16>(14)},
        {"Int16 overflow", real4(40000.f), kInt16, DISP_E_OVERFLOW, {}},
        {"negative into Byte", real4(-1.f), kByte, DISP_E_OVERFLOW, {}},
        {"UInt32", real4(4000.f), kUInt32, S_OK, Variant::scalar<kUInt32>(4000)},
        {"Double", real4(2.25f), kDouble, S_OK, Variant::scalar<kDouble>(2.25)},
        {"String", real4(1.5f), kString, S_OK, Variant::scalar<kString>(std::string("1.5"))},
        {"text into Int16", text, kInt16, DISP_E_TYPEMISMATCH, {}},
        {"ExtensionObject refused", real4(1.f), kExtensionObject, DISP_E_BADVARTYPE, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Variant out;
        EXPECT_EQ(to_ua(c.in, c.type, false, &out), c.hr);
        if (c.hr == S_OK) {
            EXPECT_EQ(out, c.out);
        }
    }
    // A DateTime node takes a VT_DATE and keeps it to 100 ns.
    const VARIANT date = opc_test::date(filetime_to_date(kTicks2024));
    Variant out;
    ASSERT_EQ(to_ua(date, kDateTime, false, &out), S_OK);
    EXPECT_EQ(out, Variant::scalar<kDateTime>(kTicks2024));
    // Arrays element by element.
    VARIANT array = opc_test::automation(VT_ARRAY | VT_R8);
    array.parray = SafeArrayCreateVector(VT_R8, 2);
    array.parray->elements[0].dblVal = 1.5;
    array.parray->elements[1].dblVal = 7;
    ASSERT_EQ(to_ua(array, kInt32, true, &out), S_OK);
    EXPECT_EQ(out, Variant::array_of<kInt32>({2, 7}));
    EXPECT_EQ(to_ua(array, kInt32, false, &out), DISP_E_TYPEMISMATCH);
    VariantClear(&array);
    VariantClear(&text);
}

TEST(UaVariant, DataTypesMapToBuiltInTypes) {
    const std::pair<NodeId, std::optional<uint8_t>> cases[] = {
        {NodeId::numeric_id(0, 4), kInt16},        {NodeId::numeric_id(0, 13), kDateTime},
        {NodeId::numeric_id(0, 290), kDouble},     {NodeId::numeric_id(0, 294), kDateTime},
        {NodeId::numeric_id(0, 289), kUInt32},     {NodeId::numeric_id(0, 29), kInt32},
        {NodeId::numeric_id(0, 24), std::nullopt}, {NodeId::numeric_id(0, 26), std::nullopt},
        {NodeId::numeric_id(2, 4), std::nullopt},  {NodeId::string_id(0, "Int16"), std::nullopt},
    };
    for (const auto& [type, builtin] : cases) EXPECT_EQ(builtin_of_data_type(type), builtin) << type.numeric;
}

TEST(UaServerList, LinesCommentsAndOptions) {
    const auto entries = parse_server_list(
        "# known endpoints\n"
        "opc.tcp://10.0.0.5:4840/plant   security=None  user=ops password-file=/p # trailing comment\r\n"
        "\n"
        "   opc.tcp://[fe80::1]:48010\n"
        "not-a-url opc.tcp://x:1\n"
        "opc.tcp://host:99999\n"
        "opc.tcp://h:4998/path#1 mode=SignAndEncrypt#not-a-comment\n"
        "opc.tcp://gw:4841 flag =novalue future-key=1=2\n",
        "/etc/ostrand/servers.conf");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].url, "opc.tcp://10.0.0.5:4840/plant");
    EXPECT_EQ(entries[0].options.at("security"), "None");
    EXPECT_EQ(entries[0].options.at("user"), "ops");
    EXPECT_EQ(entries[0].error, "");
    EXPECT_EQ(entries[1].url, "opc.tcp://[fe80::1]:48010");
    EXPECT_EQ(entries[2].url, "opc.tcp://h:4998/path#1");
    EXPECT_EQ(entries[2].error, "/etc/ostrand/servers.conf line 7: mode=SignAndEncrypt#not-a-comment: expected None, "
                                "Sign or SignAndEncrypt");
    EXPECT_EQ(entries[3].url, "opc.tcp://gw:4841");
    EXPECT_EQ(entries[3].error, "/etc/ostrand/servers.conf line 8: \"flag\" is not a key=value option");
    EXPECT_EQ(endpoint_key("OPC.TCP://Plant-A/"), endpoint_key("opc.tcp://plant-a:4840"));
    EXPECT_NE(endpoint_key("opc.tcp://plant-a/Path"), endpoint_key("opc.tcp://plant-a/path"));
}

// Which line of the list file applies to the URL connected to, and that a
// line in error keeps its endpoint unconnected (no server listens: a line
// that applies and asks for security fails at "cannot be asked for").
TEST(UaServerList, LinesApplyToTheirEndpointOrRefuseIt) {
    const uint16_t port = quorvane::test::FreeLoopbackPort();
    const std::string at = ":" + std::to_string(port);
    const std::string url = "opc.tcp://localhost" + at;
    enum Want { Plain, Applies, Error };
    struct Case {
        std::string lines;
        Want want;
        std::string words = {}; // in the refusal
    };
    const Case table[] = {
        {"opc.tcp://localhost" + at + " mode=SignAndEncrypt\n", Applies},
        {"opc.tcp://LOCALHOST" + at + " mode=SignAndEncrypt\n", Applies},
        {"OPC.TCP://LocalHost" + at + "/ mode=Sign\n", Applies},
        {"opc.tcp://localhost" + at + "/other mode=Sign\n", Plain},
        {"opc.tcp://127.0.0.1" + at + " mode=Sign\n", Plain},
        {"opc.tcp://localhost" + at + " mode=SignAndEncrypt # comment\n", Applies},
        {"#opc.tcp://localhost" + at + " mode=SignAndEncrypt\n", Plain},
        {"opc.tcp://localhost" + at + "#x mode=Sign\n", Plain},
        {"opc.tcp://LOCALHOST" + at + " mode=SignAndEncrypt colour=blue\n", Error, "line 1: unknown option colour"},
        {"\nopc.tcp://localhost" + at + " mode=Encrypt\n", Error, "line 2: mode=Encrypt"},
        {"opc.tcp://localhost" + at + " policy=Basic128Rsa15\n", Error, "line 1: policy=Basic128Rsa15"},
        {"opc.tcp://localhost" + at + " mode=\n", Error, "line 1: mode= needs a value"},
        {"opc.tcp://localhost" + at + " Sign\n", Error, "line 1: \"Sign\" is not a key=value option"},
        {"opc.tcp://localhost" + at + " mode=Sign mode=None\n", Error, "line 1: mode is given twice"},
        {"opc.tcp://localhost" + at + " user=op\n", Error, "line 1: user=op needs password-file"},
        {"opc.tcp://localhost" + at + " mode=Sign\nopc.tcp://Localhost" + at + "/ mode=None\n", Error,
         "line 2: the endpoint opc.tcp://Localhost" + at + "/ is listed twice (first on line 1)"},
        {"opc.tcp://localhost" + at + " policy=Aes256_Sha256_RsaPss\n", Applies},
        {"opc.tcp://localhost" + at + " policy=Aes128_Sha256_RsaOaep mode=Sign\n", Applies},
    };
    const quorvane::test::TempDir dir;
    std::filesystem::create_directories(dir.path / "ostrand");
    const quorvane::test::ConfigHome home(dir.path.string());
    for (const Case& c : table) {
        SCOPED_TRACE(c.lines);
        std::ofstream(dir.path / "ostrand/servers.conf", std::ios::trunc) << c.lines;
        UaSettings fast;
        fast.find_servers_connect = std::chrono::milliseconds(500);
        std::string message;
        const auto settings = settings_for(url, fast, &message);
        EXPECT_EQ(settings.has_value(), c.want == Plain) << message;
        if (c.want == Applies) {
            EXPECT_NE(message.find("cannot be asked for"), std::string::npos) << message;
        }
        if (c.want == Error) {
            EXPECT_NE(message.find((dir.path / "ostrand/servers.conf").string() + " " + c.words), std::string::npos)
                << message;
        }
    }
}

} // namespace
