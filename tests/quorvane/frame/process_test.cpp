// The program as a service: quorvane --headless --tcp-port P FILE, read and
// written by libmodbus as an independent master on 127.0.0.1, stopped with
// SIGTERM. The program runs from a copy in a scratch folder, so that its
// velmarc.cfg lands there.
#include "../../support/loopback.h"
#include "program_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using quorvane::test::Eventually;
using quorvane::test::FreeLoopbackPort;
using quorvane::test::Master;
using quorvane::test::NotLogLines;
using quorvane::test::Program;
using quorvane::test::ReadFile;
using quorvane::test::ScratchDir;
using namespace std::chrono_literals;

TEST(Program, ServesTheDemoOverModbusTcpAndShutsDownOnSigterm) {
    const ScratchDir dir("process");
    // The demo, plus a group that shows Setpoints.Short a second time, so
    // that a master's write can be seen coming back from the OPC server.
    std::string config = ReadFile(fs::path(QV_SOURCE_DIR) / "examples" / "demo.csv");
    ASSERT_FALSE(config.empty());
    config += "\r\n[GROUP3]\r\nMirror,100,0.000000\r\nSetpoints.Short,1,40020,SHORT\r\n";
    quorvane::test::WriteFile(dir / "demo and mirror.csv", config);

    const uint16_t port = FreeLoopbackPort();
    Program program(dir.Path(), {"--headless", "--tcp-port", std::to_string(port), "--bind", "127.0.0.1", "--allow",
                                 "127.0.0.0/8", "demo", "and", "mirror.csv"});
    ASSERT_TRUE(program.Started());
    Master master(port);
    if (!Eventually([&] { return modbus_connect(*master) == 0; }, 15000ms)) {
        const auto status = program.Wait(0ms);
        FAIL() << "no Modbus/TCP server on port " << port << (status ? " (program ended)" : "")
               << "; stderr: " << program.Stderr();
    }

    // Channel1.Device1.Temp, a sine of 20 +- 10, as FLOAT low word first.
    uint16_t words[2] = {};
    EXPECT_TRUE(Eventually([&] {
        if (modbus_read_registers(*master, 1, 2, words) != 2) return false;
        const uint32_t bits = words[0] | (uint32_t{words[1]} << 16);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value >= 9.5f && value <= 30.5f && value != 0.0f;
    })) << words[0] << " " << words[1];
    // Channel1.Device1.Level scaled onto 0 to 4095 (input register 1).
    uint16_t level = 0;
    EXPECT_TRUE(Eventually([&] { return modbus_read_input_registers(*master, 0, 1, &level) == 1 && level > 0; }));
    EXPECT_LE(level, 4095);
    // Channel1.Device1.Run toggles every 2 s (coil 1).
    uint8_t seen[2] = {0, 0};
    EXPECT_TRUE(Eventually([&] {
        uint8_t bit = 0;
        if (modbus_read_bits(*master, 0, 1, &bit) == 1) seen[bit ? 1 : 0] = 1;
        return seen[0] && seen[1];
    }));

    // A master writes Setpoints.Short (40010); the value goes to the OPC
    // server within the refresh period and comes back on its mirror (40020).
    ASSERT_EQ(modbus_write_register(*master, 9, 1234), 1) << modbus_strerror(errno);
    uint16_t mirror = 0;
    EXPECT_TRUE(Eventually([&] { return modbus_read_registers(*master, 19, 1, &mirror) == 1 && mirror == 1234; }))
        << mirror;
    ASSERT_EQ(modbus_write_register(*master, 9, static_cast<uint16_t>(-42)), 1);
    EXPECT_TRUE(Eventually([&] {
        return modbus_read_registers(*master, 19, 1, &mirror) == 1 && mirror == static_cast<uint16_t>(-42);
    })) << mirror;
    modbus_close(*master);

    program.Signal(SIGTERM);
    const auto status = program.Wait(15000ms);
    ASSERT_TRUE(status.has_value()) << "still running 15 s after SIGTERM";
    EXPECT_EQ(*status, 0) << program.Stderr();
    // Only log lines, the restore's among them.
    EXPECT_EQ(NotLogLines(program.Stderr()), "");
    EXPECT_NE(program.Stderr().find("<5>configuration "), std::string::npos) << program.Stderr();
    EXPECT_EQ(fs::file_size(dir / "velmarc.cfg"), 189u);
}

TEST(Program, CommandLineErrorsAndAMissingFile) {
    const ScratchDir dir("process-cli");
    {
        Program unknown(dir.Path(), {"--verbose"});
        EXPECT_EQ(unknown.Wait(15000ms), 2);
        EXPECT_NE(unknown.Stderr().find("unknown option '--verbose'"), std::string::npos);
    }
    {
        Program network(dir.Path(), {"--allow", "10.1.2.3/8"});
        EXPECT_EQ(network.Wait(15000ms), 2);
        EXPECT_NE(network.Stderr().find("quorvane: --allow: '10.1.2.3/8' is not a network"), std::string::npos);
    }
    {
        Program help(dir.Path(), {"--help"});
        EXPECT_EQ(help.Wait(15000ms), 0);
        EXPECT_NE(help.Stdout().find("Usage: quorvane"), std::string::npos);
    }
    {
        // A quoted name is used with its quotes and cannot be opened; the
        // program keeps running without it until it is told to stop.
        Program quoted(dir.Path(), {"--headless", "--tcp-port", std::to_string(FreeLoopbackPort()), "\"setup.csv\""});
        EXPECT_TRUE(Eventually([&] { return quoted.Stderr().find("File Open Error") != std::string::npos; }));
        quoted.Signal(SIGINT);
        EXPECT_EQ(quoted.Wait(15000ms), 0);
    }
    {
        // A service keeps its state in the folder it is given, and a folder
        // that is not there stops the start (the settings would be lost).
        Program missing(dir.Path(), {"--headless", "--state-dir", (dir / "no-such-state").string()});
        EXPECT_EQ(missing.Wait(15000ms), 2);
        EXPECT_NE(missing.Stderr().find("--state-dir"), std::string::npos);
        fs::create_directory(dir / "state");
        quorvane::test::WriteFile(dir / "tcp.csv", "\r\n[MODBUS]\r\nCONNECT TCP, 502\r\n");
        const uint16_t port = FreeLoopbackPort();
        Program service(dir.Path(), {"--headless", "--tcp-port", std::to_string(port),
                                     "--state-dir=" + (dir / "state").string(), "tcp.csv"});
        Master master(port); // up once it serves
        EXPECT_TRUE(Eventually([&] { return modbus_connect(*master) == 0; }, 15000ms)) << service.Stderr();
        service.Signal(SIGTERM);
        EXPECT_EQ(service.Wait(15000ms), 0);
        EXPECT_EQ(fs::file_size(dir / "state" / "velmarc.cfg"), 189u);
    }
    EXPECT_EQ(fs::file_size(dir / "velmarc.cfg"), 189u);
}

#ifdef QV_WINDOWS_BUILT
// Windows where a display answers, headless with a notice where none does;
// either way the gateway serves and SIGTERM ends it in order.
TEST(Program, ChoosesWindowsOnlyWhereADisplayAnswers) {
    struct Case {
        std::vector<std::string> environment;
        bool windowed;
    } cases[] = {
        // Nothing listens on display 4242: Qt would abort there.
        {{"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY=:4242"}, false},
        {{"QT_QPA_PLATFORM=offscreen", "DISPLAY", "WAYLAND_DISPLAY"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.environment.back());
        const ScratchDir dir("process-display");
        const uint16_t port = FreeLoopbackPort();
        // Qt must not read its own options from the command line.
        fs::copy_file(fs::path(QV_SOURCE_DIR) / "examples" / "demo.csv", dir / "-platform x.csv");
        Program program(dir.Path(), {"--tcp-port", std::to_string(port), "--", "-platform", "x.csv"}, c.environment);
        ASSERT_TRUE(program.Started());
        Master master(port);
        ASSERT_TRUE(Eventually([&] { return modbus_connect(*master) == 0; }, 15000ms)) << program.Stderr();
        uint16_t level = 0;
        EXPECT_TRUE(Eventually([&] { return modbus_read_input_registers(*master, 0, 1, &level) == 1 && level > 0; }));
        modbus_close(*master);
        program.Signal(SIGTERM);
        const auto status = program.Wait(15000ms);
        ASSERT_TRUE(status.has_value()) << "still running 15 s after SIGTERM";
        EXPECT_EQ(*status, 0) << program.Stderr();
        const bool headlessNotice = program.Stderr().find("running headless") != std::string::npos;
        EXPECT_EQ(headlessNotice, !c.windowed) << program.Stderr();
        EXPECT_EQ(program.Stderr().find("File Open Error"), std::string::npos);
        EXPECT_EQ(fs::file_size(dir / "velmarc.cfg"), 189u);
    }
}
#endif

} // namespace
