// The configuration file: reader primitives, the restore order and its
// failure handling, and the writer's exact bytes.
#include "frame/config/config_file.h"

#include "config_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace quorvane {
namespace {

std::vector<std::string> ReadAllLines(std::string_view file) {
    std::vector<std::string> lines;
    size_t pos = 0;
    std::string line;
    while (ReadConfigLine(file, pos, line)) lines.push_back(line);
    EXPECT_EQ(pos, file.size());
    return lines;
}

TEST(ReadConfigLine, EachPairOfLineEndsEndsOneLine) {
    struct Case {
        std::string file;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\n\rb\n\r", {"a", "b"}},
        {"a\r\rb", {"a", "b"}},
        {"a\n\nb\n", {"a", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"a\n\n\nb", {"a", "", "b"}},
        {"\r\n[MODBUS]\r\n", {"", "[MODBUS]"}},
        {"last line without end", {"last line without end"}},
        {"", {}},
        {"x\r", {"x"}},
    };
    for (const Case& c : cases) EXPECT_EQ(ReadAllLines(c.file), c.lines) << c.file;
}

TEST(ReadConfigLine, LinesOf200CharactersStopAllReading) {
    const std::string longest(199, 'x');
    EXPECT_EQ(ReadAllLines(longest + "\r\nnext\r\n"), (std::vector<std::string>{longest, "next"}));
    EXPECT_EQ(ReadAllLines(longest), (std::vector<std::string>{longest}));

    const std::string tooLong(200, 'y');
    std::string file = "first\r\n" + tooLong + "\r\nnever\r\n";
    size_t pos = 0;
    std::string line;
    ASSERT_TRUE(ReadConfigLine(file, pos, line));
    EXPECT_FALSE(ReadConfigLine(file, pos, line));
    EXPECT_EQ(pos, file.size());
    EXPECT_FALSE(ReadConfigLine(file, pos, line));
}

TEST(FindSection, MatchesTheHeaderAsAPrefixFromTheStart) {
    const std::string file = "[GROUP2]\r\nb\r\n[GROUP1] trailing\r\na\r\n[group3]\r\n[GROUP10]\r\n";
    EXPECT_EQ(FindSection(file, "[GROUP1]"), file.find("a\r\n"));
    EXPECT_EQ(FindSection(file, "[GROUP2]"), file.find("b\r\n"));
    EXPECT_FALSE(FindSection(file, "[GROUP3]").has_value());
    EXPECT_EQ(FindSection(file, "[GROUP10]"), file.size());
}

TEST(GetField, SplitsAtCommasAndKeepsBlanks) {
    struct Case {
        std::string line;
        int n;
        std::string field;
    } cases[] = {
        {"a,b,c", 1, "a"},    {"a,b,c", 3, "c"},         {"a,b,c", 4, ""},
        {"a,,c", 2, ""},      {" x , y", 1, " x "},      {" x , y", 2, " y"},
        {"CONNECT TCP, 502", 2, " 502"}, {"", 1, ""},    {"a,b", 0, ""},
        {"a,b\rc,d", 2, "b"}, {"a,b\rc,d", 3, ""},       {"a,", 2, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(GetField(c.line, c.n), c.field) << c.line << " #" << c.n;
}

TEST(NumberScanning, BehavesLikeTheScanningConversions) {
    struct IntCase {
        std::string text;
        std::optional<int32_t> value;
    } ints[] = {
        {"12", 12},       {"  12abc", 12},  {"+7", 7},        {"-3", -3},       {"\t40001", 40001},
        {"abc", {}},      {"", {}},         {"- 3", {}},      {"+", {}},        {"x1", {}},
        {"99999999999", INT32_MAX},         {"-99999999999", INT32_MIN},        {"0009", 9},
    };
    for (const IntCase& c : ints) EXPECT_EQ(ScanInt(c.text), c.value) << c.text;

    struct FloatCase {
        std::string text;
        std::optional<float> value;
    } floats[] = {
        {"0.126", 0.126f}, {" -1.5e2x", -150.0f}, {".5", 0.5f},   {"100.00", 100.0f}, {"+2", 2.0f},
        {"abc", {}},       {"", {}},              {"--1", {}},    {"1e-999", 0.0f},
    };
    for (const FloatCase& c : floats) EXPECT_EQ(ScanFloat(c.text), c.value) << c.text;
    EXPECT_TRUE(std::isinf(*ScanFloat("1e999")));

    EXPECT_EQ(ScanCommPort("COMM3"), 3);
    EXPECT_EQ(ScanCommPort("COMM 12x"), 12);
    EXPECT_EQ(ScanCommPort("COM1"), std::nullopt);
    EXPECT_EQ(ScanCommPort("comm1"), std::nullopt);
    EXPECT_EQ(ScanScaledRange("SCALED0-4095"), std::make_pair(0, 4095));
    EXPECT_EQ(ScanScaledRange("SCALED0--25536"), std::make_pair(0, -25536));
    EXPECT_EQ(ScanScaledRange("SCALED-5-10 rest"), std::make_pair(-5, 10));
    EXPECT_EQ(ScanScaledRange("SCALED5-"), std::nullopt);
    EXPECT_EQ(ScanScaledRange("SCALED5 -6"), std::nullopt);
    EXPECT_EQ(ScanScaledRange("SCALED"), std::nullopt);
}

TEST(ParseItemLine, ReferencesKeywordsAndRejections) {
    struct Case {
        std::string line;
        int32_t pointType;
        uint16_t address;
        uint16_t dataType;
    } cases[] = {
        {"A,1,40001,SHORT", PT_HOLDING_REGISTER, 1, DT_SHORT},
        {"A,1,40002,FLOAT", PT_HOLDING_REGISTER, 2, DT_FLOAT},
        {"A,1,00010,BOOL", PT_COIL_STATUS, 10, DT_BOOL},
        {"A,1,10007,UNSIGNED", PT_INPUT_STATUS, 7, DT_BOOL},
        {"A,1,10007", PT_INPUT_STATUS, 7, DT_BOOL},
        {"A,1,30005,DATE", PT_INPUT_REGISTER, 5, DT_DATE},
        {"A,1,30005,UNSIGNED", PT_INPUT_REGISTER, 5, DT_UNSIGNED},
        {"A,1,30005,BOOL", PT_INPUT_REGISTER, 5, DT_BOOL},
        {"A,1,20000,SHORT", PT_INPUT_REGISTER, static_cast<uint16_t>(20000 - 30000), DT_SHORT},
        {"A,1,49999,SHORT", PT_HOLDING_REGISTER, 9999, DT_SHORT},
    };
    for (const Case& c : cases) {
        ItemLine item;
        ASSERT_TRUE(ParseItemLine(c.line, item)) << c.line;
        EXPECT_EQ(item.mapping.pointType, c.pointType) << c.line;
        EXPECT_EQ(item.mapping.address, c.address) << c.line;
        EXPECT_EQ(item.mapping.dataType, c.dataType) << c.line;
    }
    for (const char* line : {"A,1,40001,short", "A,1,40001,SHORT ", "A,1,40001,", "A,x,40001,SHORT", "A,,40001,SHORT",
                             "A,1,,SHORT", "A,1", "A,1,40001,SCALED0-100,1.0", "A,1,40001,SCALED0-100,,2.0",
                             "A,1,40001,SCALED0,1,2"}) {
        ItemLine item;
        EXPECT_FALSE(ParseItemLine(line, item)) << line;
    }
}

// Five-digit references read as they always have; six digits are the type
// digit and an address 1..65535. What the reader accepts, the writer gives
// back in the form it was read (the old wrap-arounds aside), and rejects
// are told apart from other bad lines.
TEST(ParseItemLine, FiveAndSixDigitReferencesReadAndWrittenBack) {
    struct Case {
        const char* reference;
        int32_t pointType;
        uint16_t address;
        const char* writtenBack;
    } cases[] = {
        {"40001", PT_HOLDING_REGISTER, 1, "40001"},
        {"49999", PT_HOLDING_REGISTER, 9999, "49999"},
        {"00010", PT_COIL_STATUS, 10, "00010"},
        {"10007", PT_INPUT_STATUS, 7, "10007"},
        {"30005", PT_INPUT_REGISTER, 5, "30005"},
        {"5", PT_COIL_STATUS, 5, "00005"},
        {"59999", PT_HOLDING_REGISTER, 19999, "419999"},  // five digits past 49999, as before
        {"400001", PT_HOLDING_REGISTER, 1, "40001"},      // the fault: it used to land on 32321
        {"412345", PT_HOLDING_REGISTER, 12345, "412345"}, // and this one on 44665
        {"465535", PT_HOLDING_REGISTER, 65535, "465535"},
        {"310000", PT_INPUT_REGISTER, 10000, "310000"},
        {"165535", PT_INPUT_STATUS, 65535, "165535"},
        {"012345", PT_COIL_STATUS, 12345, "012345"}, // six digits with the coil's leading 0
        {"040001", PT_COIL_STATUS, 40001, "040001"},
        {" 412345 rest", PT_HOLDING_REGISTER, 12345, "412345"},
    };
    for (const Case& c : cases) {
        const std::string line = std::string("A,1,") + c.reference + ",UNSIGNED";
        ItemLine item;
        bool badReference = true;
        ASSERT_TRUE(ParseItemLine(line, item, &badReference)) << line;
        EXPECT_FALSE(badReference) << line;
        EXPECT_EQ(item.mapping.pointType, c.pointType) << line;
        EXPECT_EQ(item.mapping.address, c.address) << line;
        const std::string written = FormatItemLine("A", item.mapping);
        EXPECT_EQ(GetField(written, 3), c.writtenBack) << line;
        ItemLine again;
        ASSERT_TRUE(ParseItemLine(written, again)) << written;
        EXPECT_EQ(again.mapping.pointType, c.pointType) << written;
        EXPECT_EQ(again.mapping.address, c.address) << written;
    }
    for (const char* reference : {"400000", "465536", "499999", "212345", "512345", "912345", "4000001", "-40001",
                                  "+40001"}) {
        const std::string line = std::string("A,1,") + reference + ",SHORT";
        ItemLine item;
        bool badReference = false;
        EXPECT_FALSE(ParseItemLine(line, item, &badReference)) << line;
        EXPECT_TRUE(badReference) << line;
    }
    for (const char* line : {"A,1,,SHORT", "A,1,x,SHORT", "A,x,412345,SHORT"}) {
        ItemLine item;
        bool badReference = true;
        EXPECT_FALSE(ParseItemLine(line, item, &badReference)) << line;
        EXPECT_FALSE(badReference) << line; // no number at all is no reference question
    }
}

TEST(ParseItemLine, KeepsTheIdAndTheDefaultsOfANewItem) {
    ItemLine item;
    ASSERT_TRUE(ParseItemLine(" Tank 1.Level ,258,40001,SHORT", item));
    EXPECT_EQ(item.itemId, " Tank 1.Level ");
    EXPECT_EQ(item.mapping.slaveId, 2); // low 8 bits
    PointMapping defaults;
    defaults.slaveId = 2;
    defaults.pointType = PT_HOLDING_REGISTER;
    defaults.address = 1;
    defaults.dataType = DT_SHORT;
    EXPECT_EQ(item.mapping, defaults);

    ItemLine scaled;
    ASSERT_TRUE(ParseItemLine("L,2,30005,SCALED0--25536,0.13,-5.5", scaled));
    EXPECT_EQ(scaled.mapping.dataType, DT_SCALED);
    EXPECT_EQ(scaled.mapping.registerLow, 0.0f);
    EXPECT_EQ(scaled.mapping.registerHigh, -25536.0f);
    EXPECT_EQ(scaled.mapping.dataLow, 0.13f);
    EXPECT_EQ(scaled.mapping.dataHigh, -5.5f);
}

// A serial link line as text, so that tables and call records read alike.
std::string Describe(const LinkLine& l) {
    return "serial COM" + std::to_string(l.port) + " p" + std::to_string(l.protocol) + " " +
           std::to_string(l.baudRate) + " " + std::to_string(l.dataBits) + " s" + std::to_string(l.stopBits) +
           " par" + std::to_string(l.parity) + " cts" + std::to_string(l.ctsFlow) + " dsr" +
           std::to_string(l.dsrFlow) + (l.endAfter35 ? " t35" : "");
}

TEST(ParseLinkLine, FieldsAndTheirFallbacks) {
    const std::pair<std::string, std::string> cases[] = {
        {"CONNECT RTU,COMM1,9600,8,1,NONE,,", "serial COM1 p1 9600 8 s0 par0 cts0 dsr0"},
        {"CONNECT ASCII,COMM2,19200,7,2,EVEN,RTS,DTR", "serial COM2 p0 19200 7 s2 par2 cts1 dsr1"},
        {"CONNECT RTU,COMM3,4800,8,1.5,ODD", "serial COM3 p1 4800 8 s1 par1 cts0 dsr0"},
        {"CONNECT RTU,COM5,x,y,3,odd,rts,dtr", "serial COM1 p1 9600 8 s1 par0 cts0 dsr0"},
        {"CONNECT RTU,COM1", "serial COM1 p1 9600 8 s0 par0 cts0 dsr0"},
        {"CONNECT RTU,COMM12,9600,8,1,NONE,,", "serial COM12 p1 9600 8 s0 par0 cts0 dsr0"},
        {"CONNECT RTU,COMM1,9600,8,1,NONE,,,T35", "serial COM1 p1 9600 8 s0 par0 cts0 dsr0 t35"},
        {"CONNECT RTU,COMM1,9600,8,1,NONE,RTS,DTR,T35", "serial COM1 p1 9600 8 s0 par0 cts1 dsr1 t35"},
        {"CONNECT RTU,COMM1,9600,8,1,NONE,,,t35", "serial COM1 p1 9600 8 s0 par0 cts0 dsr0"},
        {"CONNECT RTU,COMM1,9600,8,1,NONE,,,T35 ", "serial COM1 p1 9600 8 s0 par0 cts0 dsr0"},
        {"CONNECT RTU,COMM1,9600,8,1,NONE,,T35", "serial COM1 p1 9600 8 s0 par0 cts0 dsr0"},
        {"CONNECT ASCII,COMM2,9600,7,1,EVEN,,,T35", "serial COM2 p0 9600 7 s0 par2 cts0 dsr0"},
        {"CONNECT TCP, 502", "tcp"},
        {"CONNECT TCP", "tcp"},
        {"CONNECT TCP ,502", "end"},
        {"connect rtu,COMM1", "end"},
        {"[SERVER]", "end"},
        {"", "end"},
    };
    for (const auto& [line, expected] : cases) {
        LinkLine link;
        const LinkLineKind kind = ParseLinkLine(line, link);
        EXPECT_EQ(kind == LinkLineKind::Serial ? Describe(link) : kind == LinkLineKind::Tcp ? "tcp" : "end", expected)
            << line;
    }
}

TEST(ParseGroupLine, RateFallsBackTo1000AndDeadbandTo0) {
    GroupLine g = ParseGroupLine("Line1,500,2.5");
    EXPECT_EQ(g.name, "Line1");
    EXPECT_EQ(g.updateRate, 500);
    EXPECT_EQ(g.deadband, 2.5f);
    g = ParseGroupLine("Line2,fast,none");
    EXPECT_EQ(g.updateRate, 1000);
    EXPECT_EQ(g.deadband, 0.0f);
}

// Records every call of the restore, in order, as text.
class RecordingTarget : public RestoreTarget {
public:
    bool connectSucceeds = true;
    std::vector<std::string> groupsThatFail;
    std::vector<std::string> calls;

    void CloseAllGroups() override {
        calls.push_back("close groups");
        openGroups_.clear();
    }
    void Disconnect() override {
        calls.push_back("disconnect");
        connected_ = false;
    }
    void OpenSerialLink(const LinkLine& l) override { calls.push_back(Describe(l)); }
    void OpenTcpLink() override { calls.push_back("tcp"); }
    void ConnectFromConfiguration(const std::string& machine, const std::string& server) override {
        calls.push_back("connect '" + machine + "' '" + server + "'");
        connected_ = connectSucceeds;
    }
    bool IsConnected() const override { return connected_; }
    void AddGroupFromConfiguration(const GroupLine& g) override {
        calls.push_back("group " + g.name + " " + std::to_string(g.updateRate));
        if (std::ranges::find(groupsThatFail, g.name) == groupsThatFail.end()) openGroups_.push_back(g.name);
    }
    void AddItemFromConfiguration(const std::string& group, const ItemLine& item) override {
        const bool open = std::ranges::find(openGroups_, group) != openGroups_.end();
        calls.push_back(open ? "item " + item.itemId + " -> " + group : "discard " + item.itemId);
    }
    void SkipLine(const std::string& message) override { calls.push_back(message); }

private:
    bool connected_ = false;
    std::vector<std::string> openGroups_;
};

using test::kWorkedExample;

std::vector<std::string> Restore(const std::string& file, RecordingTarget target = {}) {
    RestoreConfiguration(file, target);
    return target.calls;
}

// Every restore first closes the groups and disconnects, then follows the
// sections in file order, skipping what it cannot use.
TEST(RestoreConfiguration, FollowsTheFileAndSkipsWhatItCannotUse) {
    auto with = [](std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"close groups", "disconnect"});
        return rest;
    };
    struct Case {
        const char* what;
        std::string file;
        std::vector<std::string> calls;
        bool connectSucceeds = true;
        std::vector<std::string> groupsThatFail = {};
    } cases[] = {
        {"the worked example", kWorkedExample,
         with({"serial COM1 p1 9600 8 s0 par0 cts0 dsr0", "serial COM2 p0 19200 7 s2 par2 cts1 dsr1", "tcp",
               "connect '' 'Demo.Server.1'", "group Line1 1000", "item Channel1.Device1.Speed -> Line1",
               "item Channel1.Device1.Temp -> Line1", "item Channel1.Device1.Run -> Line1",
               "item Channel1.Device1.Level -> Line1"})},
        {"no [MODBUS] section opens no link",
         "CONNECT TCP, 502\n[SERVER]\nm\ns\n", with({"connect 'm' 's'"})},
        {"no [SERVER] section reads no group",
         "[MODBUS]\n[GROUP1]\nG,100,0\nA,1,40001,SHORT\n", with({})},
        {"a server section of one line connects nowhere; items find no group",
         "[GROUP1]\nG,100,0\nA,1,40001,SHORT\n[SERVER]\nLOCAL MACHINE\n", with({"discard A"})},
        {"a failed connection creates no group",
         "[SERVER]\nm\ns\n[GROUP1]\nG,100,0\nA,1,40001,SHORT\n",
         with({"connect 'm' 's'", "discard A"}), false},
        {"a failed group discards its items, the next group is read",
         "[SERVER]\nm\ns\n[GROUP1]\nBad,100,0\nA,1,40001,SHORT\n[GROUP2]\nGood,100,0\nB,1,1,BOOL\n",
         with({"connect 'm' 's'", "group Bad 100", "discard A", "group Good 100", "item B -> Good"}), true, {"Bad"}},
        {"an unrecognised first field ends the Modbus section",
         "[MODBUS]\nCONNECT RTU,COMM1\nOPEN COM2\nCONNECT RTU,COMM3\n",
         with({"serial COM1 p1 9600 8 s0 par0 cts0 dsr0"})},
        {"CONNECT TCP ends the Modbus section",
         "[MODBUS]\nCONNECT TCP, 502\nCONNECT RTU,COMM3\n", with({"tcp"})},
        {"an empty line ends the Modbus section",
         "[MODBUS]\r\n\r\nCONNECT RTU,COMM3\r\n", with({})},
        {"ports outside 1 to 9 are skipped",
         "[MODBUS]\nCONNECT RTU,COMM0\nCONNECT RTU,COMM10\nCONNECT RTU,COMM-1\nCONNECT RTU,COMM9\n",
         with({"serial COM9 p1 9600 8 s0 par0 cts0 dsr0"})},
        {"COM1 and COM5 instead of COMMn both open COM1",
         "[MODBUS]\nCONNECT RTU,COM1,9600\nCONNECT RTU,COM5,9600\n",
         with({"serial COM1 p1 9600 8 s0 par0 cts0 dsr0", "serial COM1 p1 9600 8 s0 par0 cts0 dsr0"})},
        {"bad item lines are skipped, the next is read",
         "[SERVER]\nm\ns\n[GROUP1]\nG,100,0\nA,x,40001,SHORT\nB,1,40001,short\nC,1,40001,SCALED0-9,1\n\nD,1,40001,SHORT\n",
         with({"connect 'm' 's'", "group G 100", "item D -> G"})},
        {"a missing group number ends the group search",
         "[SERVER]\nm\ns\n[GROUP1]\nG1,100,0\n[GROUP3]\nG3,100,0\n",
         with({"connect 'm' 's'", "group G1 100"})},
        {"a group section at the end of the file ends the group search",
         "[SERVER]\nm\ns\n[GROUP2]\nG2,100,0\n[GROUP1]\nG1,100,0\nA,1,40001,SHORT\n",
         with({"connect 'm' 's'", "group G1 100", "item A -> G1"})},
        {"two groups of one name: items of both go to the first",
         "[SERVER]\nm\ns\n[GROUP1]\nG,100,0\nA,1,40001,SHORT\n[GROUP2]\nG,200,0\nB,1,40002,SHORT\n",
         with({"connect 'm' 's'", "group G 100", "item A -> G", "group G 200", "item B -> G"})},
        {"a line of 200 characters hides every later section",
         "[MODBUS]\nCONNECT TCP, 502\n" + std::string(200, 'x') + "\n[SERVER]\nm\ns\n", with({"tcp"})},
        {"a group header on the last line without its line",
         "[SERVER]\nm\ns\n[GROUP1]", with({"connect 'm' 's'"})},
        {"a last line without CR or LF is read",
         "[SERVER]\nm\ns\n[GROUP1]\nG,100,0\nA,1,40001,SHORT",
         with({"connect 'm' 's'", "group G 100", "item A -> G"})},
        {"sections in any order",
         "[GROUP1]\nG,100,0\n[SERVER]\nm\ns\n[MODBUS]\nCONNECT TCP, 502\n",
         with({"tcp", "connect 'm' 's'", "group G 100"})},
    };
    for (const Case& c : cases) {
        RecordingTarget target;
        target.connectSucceeds = c.connectSucceeds;
        target.groupsThatFail = c.groupsThatFail;
        EXPECT_EQ(Restore(c.file, target), c.calls) << c.what;
    }
}

SaveSnapshot ModbusAndServer() {
    SaveSnapshot s;
    SerialLinkSnapshot com1{1, 1, test::kWorkedCom1};
    com1.settings.rtsLeadDelay = 7; // not written
    s.serialLinks = {com1, {2, 0, test::kWorkedCom2}};
    s.tcpOpen = true;
    s.connected = true;
    s.server = "Demo.Server.1";
    return s;
}

TEST(WriteConfiguration, ModbusAndServerSectionsOfTheWorkedExample) {
    const std::string expected(kWorkedExample, std::string_view(kWorkedExample).find("\r\n[GROUP1]"));
    SaveOutput out = WriteConfiguration(ModbusAndServer());
    EXPECT_EQ(out.bytes, expected);
    EXPECT_TRUE(out.leftOut.empty());
    EXPECT_EQ(DescribeLeftOut(out.leftOut), "");
}

TEST(WriteConfiguration, ModbusSectionAlwaysServerAndGroupsOnlyWhenConnected) {
    int groupWrites = 0;
    SaveSnapshot s = ModbusAndServer();
    s.writeGroups = [&](std::string& out, std::vector<std::string>&) {
        ++groupWrites;
        out += "<groups>";
    };
    s.serialLinks.clear();
    s.tcpOpen = false;
    s.connected = false;
    EXPECT_EQ(WriteConfiguration(s).bytes, "\r\n[MODBUS]\r\n");
    EXPECT_EQ(groupWrites, 0);
    s.connected = true;
    s.machine = "plc-host";
    EXPECT_EQ(WriteConfiguration(s).bytes, "\r\n[MODBUS]\r\n\r\n[SERVER]\r\nplc-host\r\nDemo.Server.1\r\n<groups>");
    EXPECT_EQ(groupWrites, 1);
}

TEST(WriteConfiguration, LinkLinesRestoreToTheSameSettings) {
    struct Case {
        SerialLinkSnapshot link;
        const char* line;
        const char* parsed;
    };
    // Any protocol but 1 is ASCII; DSR flow is bit 0 only; only RTU lines
    // carry the 3.5-character end, and only when it is set.
    const Case cases[] = {
        {{4, 7, test::Settings(115200, 8, 1, 1, 0, 2)}, "CONNECT ASCII,COMM4,115200,8,1.5,ODD,,DTR",
         "serial COM4 p0 115200 8 s1 par1 cts0 dsr1"},
        {{2, 1, test::Settings(19200, 8, 2, 0, 1, 0), true}, "CONNECT RTU,COMM2,19200,8,1,EVEN,RTS,,T35",
         "serial COM2 p1 19200 8 s0 par2 cts1 dsr0 t35"},
        {{3, 0, test::Settings(9600, 7, 0, 0, 0, 0), true}, "CONNECT ASCII,COMM3,9600,7,1,NONE,,",
         "serial COM3 p0 9600 7 s0 par0 cts0 dsr0"},
    };
    for (const Case& c : cases) {
        std::string text = FormatLinkLine(c.link);
        EXPECT_EQ(text, std::string(c.line) + "\r\n");
        text.resize(text.size() - 2);
        LinkLine parsed;
        ASSERT_EQ(ParseLinkLine(text, parsed), LinkLineKind::Serial);
        EXPECT_EQ(Describe(parsed), c.parsed);
    }
}

TEST(WriteConfiguration, LeavesOutWhatCouldNotBeReadBackAndSaysSo) {
    SaveSnapshot s = ModbusAndServer();
    s.writeGroups = [](std::string&, std::vector<std::string>& leftOut) { leftOut.push_back(std::string(190, 'i')); };
    SaveOutput fine = WriteConfiguration(s);
    ASSERT_EQ(fine.leftOut.size(), 1u);
    const std::string message = DescribeLeftOut(fine.leftOut);
    EXPECT_NE(message.find(std::string(40, 'i') + "..."), std::string::npos);
    EXPECT_LT(message.size(), 120u);
    EXPECT_EQ(message.find('\n'), std::string::npos);

    s.server = std::string(200, 's');
    SaveOutput tooLong = WriteConfiguration(s);
    EXPECT_EQ(tooLong.bytes.find("[SERVER]"), std::string::npos);
    EXPECT_EQ(tooLong.leftOut.size(), 1u);
    s.server = std::string(199, 's');
    RecordingTarget target;
    RestoreConfiguration(WriteConfiguration(s).bytes, target);
    EXPECT_EQ(target.calls.back(), "connect '' '" + std::string(199, 's') + "'");
}

} // namespace
// A line whose reference is none is skipped with a message that names it;
// the lines around it are restored.
TEST(RestoreConfiguration, NamesTheLineOfABadReference) {
    const std::string file = std::string(kWorkedExample) + "Bad.Tag,1,700001,SHORT\r\nGood.Tag,1,412345,SHORT\r\n";
    const std::vector<std::string> calls = Restore(file);
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 2],
              "Line 17 skipped, 700001 is no Modbus reference (five digits, or six with an address 1 to 65535): "
              "Bad.Tag,1,700001,SHORT");
    EXPECT_EQ(calls.back(), "item Good.Tag -> Line1");
}

} // namespace quorvane
