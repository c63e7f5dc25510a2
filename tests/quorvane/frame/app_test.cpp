// The application object with the real libraries: links on pseudo-terminals
// and on a loopback port, the simulation OPC server, Save and Restore of the
// configuration file, the messages of the commands, and the shutdown.
#include "frame/config/port_settings_store.h"
#include "frame/quorvane_app.h"

#include "../../support/loopback.h"
#include "config_fixtures.h"
#include "failing_disk.h"
#include "qt_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <modbus.h>

#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

using test::kWorkedExample;
using test::ReadFile;
using test::WaitUntil;
using test::WriteFile;

class RecordingMessages : public CMessageSink {
public:
    std::vector<std::string> texts;
    void ShowMessage(const std::string& text, MessageIcon) override { texts.push_back(text); }
};

// A pseudo-terminal standing for one COM port.
class FakePort {
public:
    explicit FakePort(int port) : port_(port) {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) SetPortDevice(port_, name);
    }
    ~FakePort() {
        SetPortDevice(port_, nullptr);
        if (master_ != -1) ::close(master_);
        if (slave_ != -1) ::close(slave_);
    }
    bool Ok() const { return master_ != -1; }

private:
    int port_;
    int master_ = -1;
    int slave_ = -1;
};

bool Accepts(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::QtApp();
        tcpPort_ = test::FreeLoopbackPort();
        ASSERT_NE(tcpPort_, 0);
        SetTCPServicePort(tcpPort_);
    }
    void TearDown() override {
        app_.reset();
        SetTCPServicePort(502);
    }
    CQuorvaneApp& StartApp(const std::string& configFile = "") {
        app_ = std::make_unique<CQuorvaneApp>(messages_, (dir_ / "velmarc.cfg").string());
        app_->Frame().SetTcpServicePort(tcpPort_);
        EXPECT_EQ(app_->Startup(configFile), 0);
        return *app_;
    }
    std::string Restore(const std::string& bytes) {
        const auto file = dir_ / "restore.csv";
        WriteFile(file, bytes);
        app_->RestoreFrom(file.string());
        return file.string();
    }

    const test::ScratchDir dir_{std::string("app-") + ::testing::UnitTest::GetInstance()->current_test_info()->name()};
    uint16_t tcpPort_ = 0;
    RecordingMessages messages_;
    std::unique_ptr<CQuorvaneApp> app_;
};

TEST_F(AppTest, SaveWritesTheWorkedExampleAndRestoringItGivesItBack) {
    FakePort com1(1), com2(2);
    ASSERT_TRUE(com1.Ok() && com2.Ok());
    CQuorvaneApp& app = StartApp();
    CommSetupFields f1 = app.Frame().CommSetupFor(1);
    f1.parity = 0;
    app.Frame().ConnectSerial(1, f1);
    CommSetupFields f2{19200, 7, 2, 2, 0, 2, 1, 1};
    app.Frame().ConnectSerial(2, f2);
    ASSERT_NE(app.Frame().SerialSlot(1), -1);
    ASSERT_NE(app.Frame().SerialSlot(2), -1);
    app.Frame().StartTcpServer();
    ASSERT_EQ(app.Frame().TcpSlot(), PELLACOR_TCP_HANDLE);

    app.ConnectCommand("", "Demo.Server.1");
    ASSERT_NE(app.Model().ServerHandle(), -1);
    ASSERT_NE(app.AddGroupCommand("Line1", 1000, 0.0f), -1);
    EXPECT_EQ(app.Frame().Log().Lines().back(), "IOPCServer->AddGroup()");
    auto map = [](uint8_t slave, int32_t type, uint16_t address, uint16_t dataType) {
        PointMapping m;
        m.slaveId = slave;
        m.pointType = type;
        m.address = address;
        m.dataType = dataType;
        return m;
    };
    PointMapping level = map(2, PT_INPUT_REGISTER, 5, DT_SCALED);
    level.registerHigh = 4095;
    ASSERT_EQ(app.Model().FindGroupView("Line1", "Channel1.Device1.Speed", map(1, PT_HOLDING_REGISTER, 1, DT_SHORT)), 1);
    ASSERT_EQ(app.Model().FindGroupView("Line1", "Channel1.Device1.Temp", map(1, PT_HOLDING_REGISTER, 2, DT_FLOAT)), 1);
    ASSERT_EQ(app.Model().FindGroupView("Line1", "Channel1.Device1.Run", map(1, PT_COIL_STATUS, 10, DT_BOOL)), 1);
    ASSERT_EQ(app.Model().FindGroupView("Line1", "Channel1.Device1.Level", level), 1);
    ASSERT_TRUE(app.Save((dir_ / "saved.csv").string()));
    EXPECT_EQ(ReadFile(dir_ / "saved.csv"), kWorkedExample);
    EXPECT_TRUE(messages_.texts.empty());

    // Restored over the running set-up, the file gives the same file back.
    Restore(kWorkedExample);
    ASSERT_TRUE(app.Save((dir_ / "again.csv").string()));
    EXPECT_EQ(ReadFile(dir_ / "again.csv"), kWorkedExample);
    auto groups = app.Model().Groups();
    ASSERT_EQ(groups->size(), 1u);
    EXPECT_EQ((*groups)[0]->Name(), "Line1");
    ASSERT_EQ((*groups)[0]->Count(), 4);
    ItemState restored;
    ASSERT_TRUE((*groups)[0]->ReadItem(3, &restored));
    EXPECT_EQ(restored.mapping, level);
}

TEST_F(AppTest, RestoreSetsLinkSettingsAndZeroesTheRtsDelaysOfTheLinksItOpens) {
    PortTable stored{};
    for (auto& p : stored) p.settings = test::Settings(38400, 7, 2, 2, 1, 1, 10, 5);
    ASSERT_TRUE(StoreSettingsFile((dir_ / "velmarc.cfg").string(), stored));
    FakePort com1(1), com2(2);
    ASSERT_TRUE(com1.Ok() && com2.Ok());
    WriteFile(dir_ / "start.csv", kWorkedExample);
    CQuorvaneApp& app = StartApp((dir_ / "start.csv").string());

    EXPECT_NE(app.Frame().SerialSlot(1), -1);
    EXPECT_NE(app.Frame().SerialSlot(2), -1);
    EXPECT_EQ(app.Frame().TcpSlot(), PELLACOR_TCP_HANDLE);
    EXPECT_TRUE(WaitUntil([&] { return Accepts(tcpPort_); }));
    EXPECT_EQ(app.Frame().GetPortSettings(2).protocol, 0);
    EXPECT_EQ(app.Frame().GetPortSettings(2).settings, test::kWorkedCom2); // RTS delays 0
    // Not named by the file: the start-up defaults with the stored RTS delays.
    EXPECT_EQ(app.Frame().GetPortSettings(3).settings, test::Settings(9600, 8, 1, 0, 0, 0, 10, 5));
    EXPECT_NE(app.Model().ServerHandle(), -1);
    EXPECT_EQ(app.Model().MachineName(), "");
    EXPECT_EQ(app.Model().ServerName(), "Demo.Server.1");
    EXPECT_EQ(app.Model().Groups()->size(), 1u);
    EXPECT_TRUE(messages_.texts.empty());
}

TEST_F(AppTest, RestoreReopensAnOpenSerialLinkAndKeepsTheRunningServer) {
    FakePort com1(1);
    ASSERT_TRUE(com1.Ok());
    CQuorvaneApp& app = StartApp();
    app.Frame().ConnectSerial(1, app.Frame().CommSetupFor(1));
    app.Frame().StartTcpServer();
    ASSERT_NE(app.Frame().SerialSlot(1), -1);
    ASSERT_TRUE(WaitUntil([&] { return Accepts(tcpPort_); }));

    // COM5 names a device that does not exist: its slot stays -1, silently,
    // and the line's settings stay stored.
    SetPortDevice(5, (dir_ / "no-such-tty").c_str());
    Restore("[MODBUS]\r\nCONNECT RTU,COMM1,19200,8,2,EVEN,,\r\nCONNECT ASCII,COMM5,4800,7,1,ODD,,\r\n"
            "CONNECT TCP, 502\r\n");
    SetPortDevice(5, nullptr);
    EXPECT_EQ(app.Frame().SerialSlot(5), -1);
    EXPECT_EQ(app.Frame().GetPortSettings(5).protocol, 0);
    EXPECT_EQ(app.Frame().GetPortSettings(5).settings.baudRate, 4800u);
    EXPECT_TRUE(messages_.texts.empty());
    EXPECT_NE(app.Frame().SerialSlot(1), -1);
    EXPECT_EQ(app.Frame().GetPortSettings(1).settings.baudRate, 19200u);
    EXPECT_EQ(app.Frame().TcpSlot(), PELLACOR_TCP_HANDLE);
    EXPECT_TRUE(Accepts(tcpPort_));

    // Both stay closable from their menu entries.
    EXPECT_TRUE(app.Execute(kCmdDisconnectCom1));
    EXPECT_TRUE(app.Execute(kCmdDisconnectTcp));
    EXPECT_EQ(app.Frame().SerialSlot(1), -1);
    EXPECT_FALSE(app.Execute(kCmdDisconnectTcp)); // grayed now
    EXPECT_TRUE(WaitUntil([&] { return !Accepts(tcpPort_); }));
    // A second start of the server after a stop serves again.
    EXPECT_TRUE(app.Execute(kCmdConnectTcp));
    EXPECT_EQ(app.Frame().TcpSlot(), PELLACOR_TCP_HANDLE);
    EXPECT_TRUE(WaitUntil([&] { return Accepts(tcpPort_); }));
}

TEST_F(AppTest, CommandsShowTheirMessagesAndFollowTheEnableRules) {
    CQuorvaneApp& app = StartApp();
    EXPECT_TRUE(app.IsEnabled(kCmdServerConnect));
    app.ConnectCommand("", "No.Such.Server");
    EXPECT_EQ(messages_.texts, std::vector<std::string>{"Connection Failure"});
    EXPECT_TRUE(app.IsEnabled(kCmdServerConnect));
    EXPECT_FALSE(app.IsEnabled(kCmdGroupAdd));
    EXPECT_FALSE(app.IsEnabled(kCmdServerStatus));
    EXPECT_EQ(app.Model().ServerName(), "No.Such.Server");

    app.ConnectCommand("", "Demo.Server.1");
    EXPECT_FALSE(app.IsEnabled(kCmdServerConnect));
    EXPECT_TRUE(app.IsEnabled(kCmdServerDisconnect));
    auto status = app.ServerStatusCommand();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->caption, " Demo.Server.1");
    EXPECT_EQ(status->state, "Running");
    EXPECT_FALSE(status->startTime.empty());

    ASSERT_NE(app.AddGroupCommand("G", 10, 0.0f), -1);
    EXPECT_FALSE(app.IsEnabled(kCmdServerDisconnect));
    EXPECT_TRUE(app.IsEnabled(kCmdGroupRemove));
    // The server revised the rate; the group carries the revised one.
    EXPECT_GE((*app.Model().Groups())[0]->UpdateRate(), 10);

    messages_.texts.clear();
    app.RestoreFrom(std::string(1, '"').append((dir_ / "quoted.csv").string()).append(1, '"'));
    app.RestoreFrom(dir_.Path().string()); // a folder is no configuration file
    EXPECT_FALSE(app.Save((dir_ / "no-such-folder" / "x.csv").string()));
    EXPECT_EQ(messages_.texts,
              (std::vector<std::string>{"File Open Error", "File Open Error", "File Creation Error"}));
    // A failed restore changed nothing.
    EXPECT_EQ(app.Model().Groups()->size(), 1u);
    EXPECT_NE(app.Model().ServerHandle(), -1);

    EXPECT_FALSE(app.Execute(kCmdServerDisconnect)); // never under an open group
    EXPECT_NE(app.Model().ServerHandle(), -1);
    app.Model().CloseAllGroups();
    EXPECT_TRUE(app.Execute(kCmdServerDisconnect));
    EXPECT_EQ(app.Model().ServerHandle(), -1);
    EXPECT_FALSE(app.ServerStatusCommand().has_value());
}

TEST_F(AppTest, SaveNamesWhatItLeftOut) {
    CQuorvaneApp& app = StartApp();
    const std::string longId = "Channel1.Device1.Speed" + std::string(190, 'x');
    Restore("[SERVER]\r\nLOCAL MACHINE\r\nDemo.Server.1\r\n[GROUP1]\r\nG,1000,0\r\nChannel1.Device1.Speed,1,40001,SHORT\r\n");
    ASSERT_EQ(app.Model().Groups()->size(), 1u);
    PointMapping mapping;
    ASSERT_EQ(app.Model().FindGroupView("G", longId, mapping), 1);
    ASSERT_TRUE(app.Save((dir_ / "saved.csv").string()));
    ASSERT_EQ(messages_.texts.size(), 1u);
    EXPECT_NE(messages_.texts[0].find("Channel1.Device1.Speedxxx"), std::string::npos);
    const std::string saved = ReadFile(dir_ / "saved.csv");
    EXPECT_NE(saved.find("Channel1.Device1.Speed,1,40001,SHORT\r\n"), std::string::npos);
    EXPECT_EQ(saved.find("xxxx"), std::string::npos);
}

TEST_F(AppTest, AFailingDiskNeitherLosesTheSavedFileNorRestoresPartOfOne) {
    using test::FailingDisk;
    CQuorvaneApp& app = StartApp();
    const std::string saved = Restore(kWorkedExample);
    ASSERT_EQ(app.Model().Groups()->size(), 1u);
    messages_.texts.clear();

    app.UseFileCalls(FailingDisk::Calls());
    FailingDisk::Reset(40, 0, false); // the disk fills up after 40 bytes
    EXPECT_FALSE(app.Save(saved));
    EXPECT_EQ(ReadFile(saved), kWorkedExample);
    // Told like an unreadable file, and nothing of the group is touched.
    FailingDisk::Reset(0, 50, false);
    app.RestoreFrom(saved);
    EXPECT_EQ(messages_.texts, (std::vector<std::string>{"File Creation Error", "File Open Error"}));
    EXPECT_EQ(app.Model().Groups()->size(), 1u);
    EXPECT_EQ((*app.Model().Groups())[0]->Count(), 4);
}

TEST_F(AppTest, BindFailureClosesTheTcpSlotAndSaysSo) {
    // Something else holds the port.
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(tcpPort_);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder, 1), 0);

    CQuorvaneApp& app = StartApp();
    app.Frame().StartTcpServer();
    EXPECT_TRUE(WaitUntil([&] { return app.Frame().TcpSlot() == -1; }));
    EXPECT_EQ(messages_.texts,
              std::vector<std::string>{"Modbus/TCP could not listen on port " + std::to_string(tcpPort_)});
    EXPECT_TRUE(app.IsEnabled(kCmdConnectTcp));
    ::close(holder);
    app.Frame().StartTcpServer();
    EXPECT_TRUE(WaitUntil([&] { return Accepts(tcpPort_); }));
}

TEST_F(AppTest, LinksThatDieInsideTheLibraryAreClosedAndNamed) {
    FakePort com5(5);
    ASSERT_TRUE(com5.Ok());
    CQuorvaneApp& app = StartApp();
    const PellacorWindow* w = app.Frame().Window();
    const std::string port = std::to_string(tcpPort_);
    struct Case {
        uintptr_t reason;
        intptr_t error;
        std::string text;
    } cases[] = {
        {PELLACOR_TCP_FAILED_SOCKET, EMFILE, "Modbus/TCP could not listen on port " + port + ": no socket (EMFILE)"},
        {PELLACOR_TCP_FAILED_EVENTS, ENOMEM,
         "Modbus/TCP could not listen on port " + port + ": its event loop could not be set up (ENOMEM)"},
        {PELLACOR_TCP_FAILED_WAIT, EBADF,
         "Modbus/TCP on port " + port + " stopped: waiting for masters failed (EBADF)"},
    };
    // The library posts these from its own threads; here the frame's window
    // receives them as it would.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        messages_.texts.clear();
        app.Frame().StartTcpServer();
        ASSERT_EQ(app.Frame().TcpSlot(), PELLACOR_TCP_HANDLE);
        w->post(w->context, PELLACOR_TCP_BIND_FAILED_MESSAGE, c.reason, c.error);
        EXPECT_TRUE(WaitUntil([&] { return app.Frame().TcpSlot() == -1; }));
        EXPECT_EQ(messages_.texts, std::vector<std::string>{c.text});
        EXPECT_FALSE(Accepts(tcpPort_));
    }

    messages_.texts.clear();
    app.Frame().ConnectSerial(5, app.Frame().CommSetupFor(5));
    const int32_t handle = app.Frame().SerialSlot(5);
    ASSERT_NE(handle, -1);
    w->post(w->context, PELLACOR_SERIAL_LINK_FAILED_MESSAGE, 5, handle + 16); // an earlier opening's handle
    w->post(w->context, PELLACOR_SERIAL_LINK_FAILED_MESSAGE, 5, handle);
    EXPECT_TRUE(WaitUntil([&] { return app.Frame().SerialSlot(5) == -1; }));
    EXPECT_EQ(messages_.texts, std::vector<std::string>{"COM5 was closed: the port could not be read any more"});

    // A port without an RS-485 mode of its own (a pty) opens and says so.
    messages_.texts.clear();
    app.Frame().ForcePortOptions(5, PELLACOR_PORT_KERNEL_RS485);
    app.Frame().ConnectSerial(5, app.Frame().CommSetupFor(5));
    EXPECT_NE(app.Frame().SerialSlot(5), -1);
    EXPECT_TRUE(WaitUntil([&] { return !messages_.texts.empty(); }));
    EXPECT_EQ(messages_.texts, std::vector<std::string>{"COM5 has no RS-485 mode of its own (ENOTTY): RTS is "
                                                        "switched around each reply instead"});
}

TEST_F(AppTest, ShutdownClosesEveryLinkAndWritesTheSettingsFile) {
    FakePort com4(4);
    ASSERT_TRUE(com4.Ok());
    CQuorvaneApp& app = StartApp();
    app.Frame().ConnectSerial(4, CommSetupFields{19200, 8, 2, 2, 0, 4, 0, 0});
    ASSERT_NE(app.Frame().SerialSlot(4), -1);
    app.Frame().StartTcpServer();
    ASSERT_TRUE(WaitUntil([&] { return Accepts(tcpPort_); }));
    app.ConnectCommand("", "Demo.Server.1");
    ASSERT_NE(app.AddGroupCommand("G", 1000, 0.0f), -1);

    app.Shutdown();
    EXPECT_EQ(app.Frame().SerialSlot(4), -1);
    EXPECT_EQ(app.Frame().TcpSlot(), -1);
    EXPECT_EQ(app.Model().ServerHandle(), -1);
    EXPECT_EQ(app.Model().GroupsExist(), 0);
    EXPECT_TRUE(WaitUntil([&] { return !Accepts(tcpPort_); }));
    const std::string cfg = ReadFile(dir_ / "velmarc.cfg");
    ASSERT_EQ(cfg.size(), 189u);
    EXPECT_EQ(cfg.substr(63, 8), std::string("\x00\x00\x4b\x00\x00\x08\x02\x02", 8));
    // The port is free again once the link closed.
    PortSettings s = app.Frame().GetPortSettings(4).settings;
    const int32_t again = OpenConnection(nullptr, 4, 1, 4, &s);
    EXPECT_NE(again, -1);
    CloseConnection(again);
}

// A master on an RTU link reaches the OPC server through the whole frame: the
// end-of-frame timers run on the event loop, the write is recorded there and
// the refresh timer forwards it; the value comes back on a second register
// that shows the same item.
TEST_F(AppTest, RtuMasterWriteReachesTheOpcServerAndComesBack) {
    modbus_t* master = modbus_new_rtu("/dev/ptmx", 19200, 'E', 8, 1);
    ASSERT_NE(master, nullptr);
    ASSERT_EQ(modbus_connect(master), 0);
    const int fd = modbus_get_socket(master);
    ASSERT_EQ(grantpt(fd), 0);
    ASSERT_EQ(unlockpt(fd), 0);
    SetPortDevice(3, ptsname(fd));
    modbus_set_slave(master, 7);
    modbus_set_response_timeout(master, 1, 0);

    CQuorvaneApp& app = StartApp();
    app.Frame().ConnectSerial(3, CommSetupFields{19200, 8, 0, 2, 1, 3, 0, 0});
    ASSERT_NE(app.Frame().SerialSlot(3), -1);
    app.ConnectCommand("", "Demo.Server.1");
    ASSERT_NE(app.AddGroupCommand("S", 100, 0.0f), -1);
    PointMapping setpoint;
    setpoint.slaveId = 7;
    setpoint.address = 10;
    setpoint.dataType = DT_SHORT;
    PointMapping mirror = setpoint;
    mirror.address = 20;
    ASSERT_EQ(app.Model().FindGroupView("S", "Setpoints.Short", setpoint), 1);
    ASSERT_EQ(app.Model().FindGroupView("S", "Setpoints.Short", mirror), 1);

    std::atomic<bool> done{false};
    std::atomic<int> seen{-1};
    std::thread worker([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool written = false;
        while (!done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // line turnaround
            if (!written) {
                written = modbus_write_register(master, 9, static_cast<uint16_t>(-321)) == 1;
                continue;
            }
            uint16_t value = 0;
            if (modbus_read_registers(master, 19, 1, &value) == 1) {
                seen = value;
                if (value == static_cast<uint16_t>(-321) && modbus_read_registers(master, 9, 1, &value) == 1 &&
                    value == static_cast<uint16_t>(-321))
                    done = true;
            }
        }
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }, std::chrono::milliseconds(12000))) << seen;
    done = true;
    worker.join();
    modbus_close(master);
    modbus_free(master);
    app.Shutdown();
    SetPortDevice(3, nullptr);
}

} // namespace
} // namespace quorvane
