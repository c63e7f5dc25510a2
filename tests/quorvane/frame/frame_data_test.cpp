// The settings file, the enable rules and the command line.
#include "frame/config/command_line.h"
#include "frame/config/commands.h"
#include "frame/config/file_io.h"
#include "frame/config/port_settings_store.h"

#include "config_fixtures.h"
#include "failing_disk.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvane {
namespace {

PortTable DefaultPorts() {
    PortTable ports{};
    ApplyPortDefaults(ports);
    return ports;
}

TEST(SettingsFile, Com4EntryAtOffset63InLittleEndian) {
    PortTable ports = DefaultPorts();
    ports[3] = {0, test::Settings(19200, 8, 2, 2, 0x01020304, 0, 10, 5)};
    ports[3].settings.spare2[1] = 0xAB;

    const std::string bytes = EncodeSettingsFile(ports);
    ASSERT_EQ(bytes.size(), 189u);
    const std::vector<uint8_t> expected{0,    0x00, 0x4B, 0, 0, 8, 2, 2, 0, 0x04, 0x03,
                                        0x02, 0x01, 0,    0, 0, 0, 10, 5, 0, 0xAB};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 63, bytes.begin() + 84), expected);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 1); // COM1 stays RTU
    EXPECT_EQ(static_cast<uint8_t>(bytes[1]), 0x80); // 9600 = 0x2580
    EXPECT_EQ(static_cast<uint8_t>(bytes[2]), 0x25);

    PortTable back{};
    EXPECT_EQ(DecodeSettingsFile(bytes, back), 9);
    EXPECT_EQ(EncodeSettingsFile(back), bytes);
}

TEST(SettingsFile, ShortFilesKeepWhatTheyDoNotHoldWhole) {
    PortTable source = DefaultPorts();
    for (auto& p : source) p.settings.rtsLeadDelay = 9;
    const std::string full = EncodeSettingsFile(source);
    for (size_t length : {size_t{0}, size_t{20}, size_t{21}, size_t{100}, size_t{188}, size_t{189}, size_t{500}}) {
        PortTable ports{};
        int whole = DecodeSettingsFile(std::string_view(full).substr(0, std::min(length, full.size())), ports);
        EXPECT_EQ(whole, static_cast<int>(std::min<size_t>(length / 21, 9))) << length;
        for (int i = 0; i < 9; ++i) {
            EXPECT_EQ(ports[i].settings.rtsLeadDelay, i < whole ? 9 : 0) << length << " port " << i + 1;
        }
    }
}

TEST(SettingsFile, StartUpKeepsOnlyTheRtsDelaysOfTheFile) {
    PortTable stored = DefaultPorts();
    stored[1] = {0, test::Settings(38400, 8, 2, 0, 0, 0, 10, 5)};
    const test::ScratchDir dir("settings");
    const std::string path = (dir / "velmarc.cfg").string();
    ASSERT_TRUE(StoreSettingsFile(path, stored));
    EXPECT_EQ(std::filesystem::file_size(path), 189u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file left";

    PortTable ports{};
    ASSERT_TRUE(LoadSettingsFile(path, ports));
    ApplyPortDefaults(ports);
    EXPECT_EQ(ports[1].protocol, 1);
    EXPECT_EQ(ports[1].settings, test::Settings(9600, 8, 1, 0, 0, 0, 10, 5));

    PortTable untouched = DefaultPorts();
    EXPECT_FALSE(LoadSettingsFile((dir / "missing.cfg").string(), untouched));
    EXPECT_FALSE(StoreSettingsFile((dir / "no-such-dir" / "velmarc.cfg").string(), stored));
}

// Save and the settings file replace their file through ReplaceFile.
TEST(ReplaceFile, AFailingDiskLeavesThePreviousFileWhole) {
    using test::FailingDisk;
    const test::ScratchDir dir("replace");
    const std::string path = (dir / "saved.csv").string();
    const std::string before = "previous contents\r\n";
    const std::string after(100000, 'n'); // more than one write's worth
    struct Case {
        const char* what;
        size_t writeRoom;
        bool fsyncFails;
    } const cases[] = {
        {"the disk is full", 0, false},
        {"the disk fills up half way", 70000, false},
        {"the flush to disk fails", SIZE_MAX, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::WriteFile(path, before);
        FailingDisk::Reset(c.writeRoom, 0, c.fsyncFails);
        EXPECT_FALSE(ReplaceFile(path, after, FailingDisk::Calls()));
        EXPECT_EQ(test::ReadFile(path), before);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no new file left over";
    }

    // A good disk: the new contents, flushed (file and folder), with the
    // permissions the operator gave the old file.
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    FailingDisk::Reset(SIZE_MAX, 0, false);
    ASSERT_TRUE(ReplaceFile(path, after, FailingDisk::Calls()));
    EXPECT_EQ(test::ReadFile(path), after);
    EXPECT_EQ(FailingDisk::fsyncCalls, 2);
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// Links around the file: one planted where a fixed temporary name would be
// is never written through, and a file that is a link is replaced where it
// points, the link kept.
TEST(ReplaceFile, WritesWhereLinksPointAndNeverThroughAPlantedOne) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        const char* link;   // made in the folder (relative target), "" for none
        const char* target; // what it points to
        const char* saved;  // the name saved to
        const char* lands;  // where the new contents must be
    } const cases[] = {
        {"a link planted at the old temporary name", "saved.csv.new", "victim", "saved.csv", "saved.csv"},
        {"the file is a link", "saved.csv", "real/saved.csv", "saved.csv", "real/saved.csv"},
        {"a link to a link", "saved.csv", "hop", "saved.csv", "real/saved.csv"},
        {"a link to a file not made yet", "saved.csv", "real/later.csv", "saved.csv", "real/later.csv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ScratchDir dir("links");
        fs::create_directories(dir / "real");
        test::WriteFile(dir / "victim", "victim");
        test::WriteFile(dir / "real/saved.csv", "old");
        fs::create_symlink("real/saved.csv", dir / "hop");
        fs::create_symlink(c.target, dir / c.link);
        ASSERT_TRUE(ReplaceFile((dir / c.saved).string(), "new"));
        EXPECT_EQ(test::ReadFile(dir / c.lands), "new");
        EXPECT_EQ(test::ReadFile(dir / "victim"), "victim");
        EXPECT_TRUE(fs::is_symlink(dir / c.link)) << "the link stays a link";
        const auto names = std::distance(fs::directory_iterator(dir.Path()), {});
        EXPECT_EQ(names, std::string(c.lands) == "saved.csv" ? 5 : 4) << "no temporary file left";
    }
}

// Two processes saving the same file at once: every read in between, and
// the end, finds one save whole, never a mix.
TEST(ReplaceFile, ConcurrentSavesEachLandWhole) {
    const test::ScratchDir dir("concurrent");
    const std::string path = (dir / "velmarc.cfg").string();
    const std::string contents[2] = {std::string(100000, 'a'), std::string(89000, 'b')};
    test::WriteFile(path, contents[0]);
    pid_t savers[2];
    for (int i = 0; i < 2; ++i) {
        savers[i] = ::fork();
        ASSERT_GE(savers[i], 0);
        if (savers[i] == 0) {
            bool ok = true;
            for (int round = 0; round < 500 && ok; ++round) ok = ReplaceFile(path, contents[i]);
            ::_exit(ok ? 0 : 1);
        }
    }
    int reads = 0, torn = 0, running = 2;
    std::string bytes;
    while (running > 0) {
        ASSERT_EQ(ReadWholeFile(path, bytes), ReadOutcome::Whole);
        ++reads;
        if (bytes != contents[0] && bytes != contents[1]) ++torn;
        running = 0;
        for (pid_t& saver : savers) {
            int status = 0;
            if (saver > 0 && ::waitpid(saver, &status, WNOHANG) == saver) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save failed";
                saver = 0;
            }
            running += saver > 0;
        }
    }
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    ASSERT_EQ(ReadWholeFile(path, bytes), ReadOutcome::Whole);
    EXPECT_TRUE(bytes == contents[0] || bytes == contents[1]);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no temporary file left";
}

TEST(ReadWholeFile, AFailedReadIsNoShorterFile) {
    using test::FailingDisk;
    const test::ScratchDir dir("read");
    const std::string path = (dir / "big.csv").string();
    test::WriteFile(path, std::string(200000, 'x'));
    std::string bytes;
    FailingDisk::Reset(0, 70000, false);
    EXPECT_EQ(ReadWholeFile(path, bytes, FailingDisk::Calls()), ReadOutcome::ReadError);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(ReadWholeFile(path, bytes), ReadOutcome::Whole);
    EXPECT_EQ(bytes.size(), 200000u);

    // Nothing to read from: a folder, a missing file, a FIFO (without hanging).
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& other : {dir.Path().string(), (dir / "missing").string(), fifo})
        EXPECT_EQ(ReadWholeFile(other, bytes), ReadOutcome::Unopened) << other;
}

TEST(SettingsFile, LiesBesideTheExecutable) {
    const std::string path = DefaultSettingsPath();
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(path, (self.parent_path() / "velmarc.cfg").string());
}

// The enable rules over connection state, open groups, the selection and
// every link slot.
TEST(EnableRules, FollowConnectionGroupsSelectionAndSlots) {
    struct Case {
        bool connected, groups, selected;
        std::vector<uint16_t> enabled, grayed;
    } cases[] = {
        {false, false, false,
         {kCmdServerConnect, kCmdRestore, kCmdExit, kCmdSave, kCmdHelpTopics, kCmdAbout, kCmdPrintSetup},
         {kCmdServerDisconnect, kCmdServerStatus, kCmdGroupAdd, kCmdGroupRemove, kCmdPrint, kCmdItemAdd}},
        {true, false, false,
         {kCmdServerDisconnect, kCmdServerStatus, kCmdGroupAdd},
         {kCmdServerConnect, kCmdGroupRemove, kCmdItemWrite}},
        {true, true, false,
         {kCmdServerStatus, kCmdGroupAdd, kCmdGroupRemove, kCmdItemAdd, kCmdPrint, kCmdPrintPreview},
         {kCmdServerConnect, kCmdServerDisconnect, kCmdItemRemove, kCmdItemWrite}},
        {true, true, true, {kCmdItemAdd, kCmdItemRemove, kCmdItemWrite}, {kCmdServerDisconnect}},
        // A selection left over from a closed window enables nothing.
        {true, false, true, {kCmdGroupAdd}, {kCmdItemAdd, kCmdItemRemove, kCmdItemWrite}},
    };
    for (const Case& c : cases) {
        FrameState state;
        state.connected = c.connected;
        state.groupsOpen = c.groups;
        state.itemSelected = c.selected;
        SCOPED_TRACE(testing::Message() << c.connected << c.groups << c.selected);
        for (uint16_t id : c.enabled) EXPECT_TRUE(IsCommandEnabled(id, state)) << id;
        for (uint16_t id : c.grayed) EXPECT_FALSE(IsCommandEnabled(id, state)) << id;
    }
    EXPECT_FALSE(IsCommandEnabled(12345, FrameState{}));

    for (int open = 0; open <= 10; ++open) { // 0 to 8: COM1 to COM9, 9: TCP, 10: none
        FrameState state;
        if (open < 9) state.serialSlots[open] = 100 + open;
        if (open == 9) state.tcpSlot = PELLACOR_TCP_HANDLE;
        for (int port = 1; port <= 9; ++port) {
            const bool isOpen = open == port - 1;
            EXPECT_EQ(IsCommandEnabled(kCmdConnectCom1 + port - 1, state), !isOpen) << open << " COM" << port;
            EXPECT_EQ(IsCommandEnabled(kCmdDisconnectCom1 + port - 1, state), isOpen) << open << " COM" << port;
        }
        EXPECT_EQ(IsCommandEnabled(kCmdConnectTcp, state), open != 9);
        EXPECT_EQ(IsCommandEnabled(kCmdDisconnectTcp, state), open == 9);
    }
}

TEST(CommandTable, EntriesAreUniqueAndPlacedInTheirMenus) {
    std::vector<uint16_t> ids;
    for (const CommandEntry& c : CommandTable()) {
        ids.push_back(c.id);
        EXPECT_NE(c.menus, 0) << c.id;
        if (c.rule == EnableRule::SerialClosed || c.rule == EnableRule::SerialOpen) {
            EXPECT_GE(c.port, 1);
            EXPECT_LE(c.port, 9);
        }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

TEST(CommandLine, OptionsThenTheFileName) {
    struct Case {
        std::vector<std::string> args;
        bool headless;
        int tcpPort;
        std::string file;
        size_t comCount;
    } cases[] = {
        {{}, false, 0, "", 0},
        {{"demo.csv"}, false, 0, "demo.csv", 0},
        {{"--headless", "--tcp-port", "1502", "my", "setup.csv"}, true, 1502, "my setup.csv", 0},
        {{"--tcp-port=1502", "--", "--headless"}, false, 1502, "--headless", 0},
        {{"\"C:\\a b.csv\""}, false, 0, "\"C:\\a b.csv\"", 0},
        {{"--com", "1=/dev/pts/3", "--com=9=/dev/ttyUSB0", "f"}, false, 0, "f", 2},
        {{"file", "--headless"}, false, 0, "file --headless", 0},
        {{"-"}, false, 0, "-", 0},
    };
    auto joined = [](const std::vector<std::string>& args) {
        std::string all;
        for (const auto& a : args) all += a + " ";
        return all;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(joined(c.args));
        CommandLineResult r = ParseCommandLine(c.args);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.options.headless, c.headless);
        EXPECT_EQ(r.options.tcpPort, c.tcpPort);
        EXPECT_EQ(r.options.configFile, c.file);
        EXPECT_EQ(r.options.comDevices.size(), c.comCount);
    }
    // Refused with a message of one line.
    const std::vector<std::vector<std::string>> refused{
        {"--tcp-port"},       {"--tcp-port", "0"}, {"--tcp-port", "65536"}, {"--tcp-port", "15x"},
        {"--com", "10=/dev/x"}, {"--com", "1="},   {"--com", "/dev/x"},     {"--compact"},
        {"-x", "f"},          {"--bad\nline"},     {"--tcp-port", "1\r\n"},
        {"--state-dir"},      {"--state-dir="},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(joined(args));
        CommandLineResult r = ParseCommandLine(args);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
        EXPECT_EQ(r.error.find('\n'), std::string::npos);
    }
    struct ComCase {
        std::string arg;
        std::string device;
        uint32_t options;
    };
    const uint32_t t35 = PELLACOR_PORT_END_AFTER_3_5_CHARACTERS, rs485 = PELLACOR_PORT_KERNEL_RS485;
    const ComCase coms[] = {
        {"3=/dev/pts/7", "/dev/pts/7", 0},
        {"3=/dev/ttyUSB0,t35", "/dev/ttyUSB0", t35},
        {"3=/dev/ttyUSB0,rs485,t35", "/dev/ttyUSB0", t35 | rs485},
        {"3=/dev/ttyUSB0,T35", "/dev/ttyUSB0,T35", 0},
    };
    for (const ComCase& c : coms) {
        SCOPED_TRACE(c.arg);
        CommandLineResult com = ParseCommandLine({"--com", c.arg});
        ASSERT_TRUE(com.ok);
        EXPECT_EQ(com.options.comDevices[0], std::make_pair(3, c.device));
        const uint32_t options = com.options.comOptions.empty() ? 0 : com.options.comOptions[0].second;
        EXPECT_EQ(options, c.options);
    }
    EXPECT_FALSE(ParseCommandLine({"--com", "3=,t35"}).ok);
    EXPECT_TRUE(ParseCommandLine({"--help"}).options.help);
    EXPECT_EQ(ParseCommandLine({"--state-dir", "/var/lib/quorvane", "f"}).options.stateDir, "/var/lib/quorvane");
    EXPECT_EQ(ParseCommandLine({"--state-dir=/srv/q"}).options.stateDir, "/srv/q");
}

TEST(CommandLine, BindAddressAndAllowedNetworks) {
    struct Case {
        std::vector<std::string> args;
        std::string error; // start of the error; "" when accepted
    } cases[] = {
        {{"--bind", "127.0.0.1"}, ""},
        {{"--bind=::"}, ""},
        {{"--bind", "::1", "--allow", "127.0.0.0/8", "--allow=fd00::/8", "--allow", "10.0.0.7"}, ""},
        {{"--allow", "0.0.0.0/0"}, ""},
        {{"--bind", "localhost"}, "--bind: 'localhost' is not a numeric IPv4 or IPv6 address"},
        {{"--bind", "127.0.0.1/8"}, "--bind: '127.0.0.1/8'"},
        {{"--bind"}, "--bind needs an address"},
        {{"--allow"}, "--allow needs a network"},
        {{"--allow", "10.1.2.3/8"}, "--allow: '10.1.2.3/8' is not a network ADDRESS[/PREFIX]"},
        {{"--allow", "10.0.0.0/33"}, "--allow: '10.0.0.0/33'"},
        {{"--allow", "fd00::1/8"}, "--allow: 'fd00::1/8'"},
        {{"--allow", "10.0.0.0/"}, "--allow: '10.0.0.0/'"},
        {{"--allow", "10.0.0.0/+8"}, "--allow: '10.0.0.0/+8'"},
        {{"--allow", "10.0.0.0/0008"}, "--allow: '10.0.0.0/0008'"},
        {{"--allow", "10.0.0"}, "--allow: '10.0.0'"},
        {{"--allow", "10.0.0.0/8\n"}, "--allow: '10.0.0.0/8\\x0a'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const CommandLineResult r = ParseCommandLine(c.args);
        EXPECT_EQ(r.ok, c.error.empty()) << r.error;
        if (!r.ok) {
            EXPECT_EQ(r.error.substr(0, c.error.size()), c.error);
            EXPECT_EQ(r.error.find('\n'), std::string::npos);
        }
    }
    const CommandLineResult r = ParseCommandLine({"--bind", "::1", "--allow", "127.0.0.0/8", "--allow=fd00::/8"});
    EXPECT_EQ(r.options.bindAddress, "::1");
    EXPECT_EQ(r.options.allowedNetworks, (std::vector<std::string>{"127.0.0.0/8", "fd00::/8"}));
}

TEST(CommandLine, MetricsAddressBrowseAndCheck) {
    struct Case {
        std::vector<std::string> args;
        std::string error;      // start of the error; "" when accepted
        std::string address;    // when accepted
        int port = 0;
    } cases[] = {
        {{"--metrics", "9100"}, "", "127.0.0.1", 9100},
        {{"--metrics=0.0.0.0:9100"}, "", "0.0.0.0", 9100},
        {{"--metrics", "[::1]:65535"}, "", "::1", 65535},
        {{"--metrics", "::1:9100"}, "--metrics: '::1:9100'", "", 0},
        {{"--metrics", "localhost:9100"}, "--metrics: 'localhost:9100'", "", 0},
        {{"--metrics", "[127.0.0.1]:9100"}, "--metrics: '[127.0.0.1]:9100'", "", 0},
        {{"--metrics", "127.0.0.1:"}, "--metrics: '127.0.0.1:'", "", 0},
        {{"--metrics", ":9100"}, "--metrics: ':9100'", "", 0},
        {{"--metrics", "0"}, "--metrics: '0'", "", 0},
        {{"--metrics", "65536"}, "--metrics: '65536'", "", 0},
        {{"--metrics"}, "--metrics needs [ADDRESS:]PORT", "", 0},
        {{"--depth", "0"}, "--depth needs", "", 0},
        {{"--timeout", "x"}, "--timeout needs", "", 0},
        {{"--browse", "opc.tcp://a:4840", "--check", "f.csv"}, "--browse and --check", "", 0},
        {{"--check", "f.csv", "g.csv"}, "--check takes its file", "", 0},
        {{"--check"}, "--check needs", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const CommandLineResult r = ParseCommandLine(c.args);
        EXPECT_EQ(r.ok, c.error.empty()) << r.error;
        if (!r.ok) EXPECT_EQ(r.error.substr(0, c.error.size()), c.error);
        else EXPECT_EQ(r.options.metricsAddress + ":" + std::to_string(r.options.metricsPort),
                       c.address + ":" + std::to_string(c.port));
    }
    EXPECT_EQ(ParseCommandLine({}).options.metricsPort, 0); // off unless asked
    const CommandLineResult browse = ParseCommandLine({"--browse", "opc.tcp://plc:4840", "--depth=2", "Static"});
    EXPECT_EQ(browse.options.browseUrl, "opc.tcp://plc:4840");
    EXPECT_EQ(browse.options.browseDepth, 2);
    EXPECT_EQ(browse.options.configFile, "Static"); // the starting node
}

} // namespace
} // namespace quorvane
