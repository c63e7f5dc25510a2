#include "frame/main_frame.h"

#include "frame/traffic_monitor.h"
#include "frame/event_log.h"
#include "ostrand.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>

namespace quorvane {

std::string SystemReason(int error) {
    const char* reason = error != 0 ? ::strerrordesc_np(error) : nullptr;
    return reason != nullptr ? reason : "error " + std::to_string(error);
}

std::string FileCause(const std::string& path, int error) { return path + ": " + SystemReason(error); }

std::string CauseOfLastCall(const std::string& subject) {
    char status[64] = {};
    GetLastStatusName(status, sizeof status);
    return status[0] != '\0' ? subject + ": " + status : subject;
}

CMainFrame::CMainFrame(CMessageSink& messages, std::string settingsPath)
    : messages_(messages), settingsPath_(std::move(settingsPath)) {
    InitializeWSock(); // nothing to start on Linux; the result means nothing
    serialSlots_.fill(-1);
    tcpSlot_ = -1;
    LoadSettingsFile(settingsPath_, ports_);
    uiWindow_.SetMessageHandler([this](uint32_t m, uintptr_t w, intptr_t l) { OnPosted(m, w, l); });
}

CMainFrame::~CMainFrame() {
    refreshTimer_.stop();
    CloseAllLinks();
}

void CMainFrame::Create(std::function<void()> refresh) {
    ApplyPortDefaults(ports_);
    refreshTimer_.setInterval(kRefreshMs);
    QObject::connect(&refreshTimer_, &QTimer::timeout, this, [this, refresh = std::move(refresh)] {
        LogRefusedMasters();
        if (refresh) refresh();
    });
    refreshTimer_.start();
}

void CMainFrame::LogRefusedMasters() {
    PellacorRefusedMaster masters[PELLACOR_REFUSED_MASTERS_KEPT + 1];
    const int32_t taken = TakeTCPRefusedMasters(masters, static_cast<int32_t>(std::size(masters)));
    for (int32_t i = 0; i < taken; ++i) ProgramLog().MastersRefused(masters[i].address, masters[i].count);
}

void CMainFrame::CloseAllLinks() {
    StopTcpServer();
    for (int port = 1; port <= kSerialPorts; ++port) DisconnectSerial(port);
}

void CMainFrame::WatchTraffic() const {
    // Slot 0..8 = COM1..COM9, 9 = Modbus/TCP, as the traffic window lists them.
    for (int port = 1; port <= kSerialPorts; ++port) CTrafficTap::Instance().Watch(port - 1, SerialSlot(port));
    CTrafficTap::Instance().Watch(CTrafficTap::kSlots - 1, tcpSlot_);
}

bool CMainFrame::StoreSettings() const { return StoreSettingsFile(settingsPath_, ports_); }

void CMainFrame::FillLinkState(FrameState& state) const {
    state.serialSlots = serialSlots_;
    state.tcpSlot = tcpSlot_;
}

void CMainFrame::SetPortSettings(int port, uint8_t protocol, const PortSettings& settings) {
    if (port < 1 || port > kSerialPorts) return;
    PortEntry& entry = ports_[static_cast<size_t>(port - 1)];
    entry.protocol = protocol;
    entry.settings = settings;
}

CommSetupFields CMainFrame::CommSetupFor(int port) const {
    const PortEntry entry = GetPortSettings(port);
    CommSetupFields f;
    f.baudRate = entry.settings.baudRate;
    f.dataBits = entry.settings.dataBits;
    f.stopBits = entry.settings.stopBits;
    f.parity = entry.settings.parity;
    f.protocolFlag = entry.protocol == 1 ? 1 : 0;
    f.port = port;
    f.dsrFlow = entry.settings.dsrFlow;
    f.ctsFlow = entry.settings.ctsFlow;
    f.endAfter35 = entry.endAfter35;
    return f;
}

void CMainFrame::ConnectSerial(int port, const CommSetupFields& f) {
    if (port < 1 || port > kSerialPorts) return;
    PortEntry entry = GetPortSettings(port);
    entry.settings.baudRate = f.baudRate;
    entry.settings.dataBits = f.dataBits;
    entry.settings.stopBits = f.stopBits;
    entry.settings.parity = f.parity;
    entry.settings.ctsFlow = f.ctsFlow;
    entry.settings.dsrFlow = f.dsrFlow;
    SetPortSettings(port, f.protocolFlag != 0 ? 1 : 0, entry.settings);
    ports_[static_cast<size_t>(port - 1)].endAfter35 = f.endAfter35;
    const int error = OpenSerial(port);
    if (SerialSlot(port) != -1) return;
    // The operator asked for this link: say why it is not open.
    const char* reason = error != 0 ? ::strerrordesc_np(error) : nullptr;
    messages_.ShowMessage("COM" + std::to_string(port) + " could not be opened: " +
                              (reason != nullptr ? reason : "the port is in use or refused its settings"),
                          MessageIcon::None);
}

int CMainFrame::OpenSerial(int port) {
    const PortEntry& entry = ports_[static_cast<size_t>(port - 1)];
    // On a window without timers the port's reader thread times and answers
    // RTU frames itself: a reply at a slow baud rate takes long on the wire
    // and must not hold up the event loop that nine ports would share. The
    // window still hears when the port fails.
    SetPortOptions(port, forcedOptions_[static_cast<size_t>(port - 1)] |
                             (entry.endAfter35 ? PELLACOR_PORT_END_AFTER_3_5_CHARACTERS : 0u));
    errno = 0;
    serialSlots_[static_cast<size_t>(port - 1)] = OpenConnection(uiWindow_.PostingWindow(), port, entry.protocol,
                                                                 static_cast<uintptr_t>(port), &entry.settings);
    WatchTraffic();
    const int error = serialSlots_[static_cast<size_t>(port - 1)] == -1 ? errno : 0;
    if (error == 0 && serialSlots_[static_cast<size_t>(port - 1)] != -1) ProgramLog().LinkOpened(SerialName(port));
    else ProgramLog().LinkFailed(SerialName(port), error);
    return error;
}

void CMainFrame::DisconnectSerial(int port) {
    if (port < 1 || port > kSerialPorts) return;
    int32_t& slot = serialSlots_[static_cast<size_t>(port - 1)];
    if (slot != -1) {
        CloseConnection(slot);
        ProgramLog().LinkClosed(SerialName(port));
    }
    slot = -1;
    WatchTraffic();
}

void CMainFrame::StartTcpServer() {
    SetTCPBindAddress(tcpBindAddress_.c_str());
    AddTCPAllowedNetwork(nullptr);
    for (const std::string& network : tcpAllowedNetworks_) AddTCPAllowedNetwork(network.c_str());
    tcpSlot_ = OpenTCPConnection(Window(), PELLACOR_TCP_BIND_FAILED_MESSAGE);
    WatchTraffic();
    if (tcpSlot_ != -1) ProgramLog().LinkOpened(TcpName());
}

void CMainFrame::StopTcpServer() {
    if (tcpSlot_ != -1) {
        CloseConnection(tcpSlot_);
        ProgramLog().LinkClosed(TcpName());
    }
    tcpSlot_ = -1;
    WatchTraffic();
}

std::string CMainFrame::SerialName(int port) { return "COM" + std::to_string(port); }

std::string CMainFrame::TcpName() const { return "TCP port " + std::to_string(tcpServicePort_); }

void CMainFrame::OpenSerialFromConfiguration(const LinkLine& link) {
    if (link.port < 1 || link.port > kSerialPorts) return;
    PortSettings settings = GetPortSettings(link.port).settings; // spare bytes stay
    settings.baudRate = link.baudRate;
    settings.dataBits = link.dataBits;
    settings.stopBits = link.stopBits;
    settings.parity = link.parity;
    settings.ctsFlow = link.ctsFlow;
    settings.dsrFlow = link.dsrFlow;
    settings.rtsLeadDelay = 0;
    settings.rtsTailDelay = 0;
    SetPortSettings(link.port, link.protocol, settings);
    ports_[static_cast<size_t>(link.port - 1)].endAfter35 = link.endAfter35;
    // An open link would refuse a second open and lose its slot; reopening
    // applies the file's settings and keeps the link closable.
    DisconnectSerial(link.port);
    OpenSerial(link.port);
}

void CMainFrame::OpenTcpFromConfiguration() {
    if (tcpSlot_ == -1) StartTcpServer();
}

std::vector<SerialLinkSnapshot> CMainFrame::OpenSerialLinks() const {
    std::vector<SerialLinkSnapshot> links;
    for (int port = 1; port <= kSerialPorts; ++port) {
        if (SerialSlot(port) == -1) continue;
        const PortEntry& entry = ports_[static_cast<size_t>(port - 1)];
        links.push_back(SerialLinkSnapshot{port, entry.protocol, entry.settings, entry.endAfter35});
    }
    return links;
}

namespace {

// The errno value as its symbol ("EADDRINUSE"): the same in every locale.
std::string ErrorName(intptr_t error) {
    const char* name = ::strerrorname_np(static_cast<int>(error));
    return name != nullptr ? name : "error " + std::to_string(error);
}

} // namespace

void CMainFrame::OnPosted(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == PELLACOR_TCP_BIND_FAILED_MESSAGE) {
        OnTcpServerEnded(wparam, lparam);
    } else if (message == PELLACOR_SERIAL_LINK_FAILED_MESSAGE && wparam >= 1 && wparam <= kSerialPorts) {
        OnSerialLinkFailed(static_cast<int>(wparam), static_cast<int32_t>(lparam));
    } else if (message == PELLACOR_SERIAL_RS485_REFUSED_MESSAGE && wparam >= 1 && wparam <= kSerialPorts) {
        OnKernelRs485Refused(static_cast<int>(wparam), lparam);
    }
}

void CMainFrame::OnTcpServerEnded(uintptr_t reason, intptr_t error) {
    if (tcpSlot_ == -1) return;
    // The server ended on its own: close it, so that the menu offers to start
    // it again instead of showing a dead server as running.
    CloseConnection(tcpSlot_);
    tcpSlot_ = -1;
    WatchTraffic();
    const std::string port = std::to_string(tcpServicePort_);
    std::string text = "Modbus/TCP could not listen on port " + port;
    if (reason == PELLACOR_TCP_FAILED_SOCKET)
        text += ": no socket (" + ErrorName(error) + ")";
    else if (reason == PELLACOR_TCP_FAILED_EVENTS)
        text += ": its event loop could not be set up (" + ErrorName(error) + ")";
    else if (reason == PELLACOR_TCP_FAILED_WAIT)
        text = "Modbus/TCP on port " + port + " stopped: waiting for masters failed (" + ErrorName(error) + ")";
    ProgramLog().LinkFailed(TcpName(), static_cast<int>(error));
    messages_.ShowMessage(text, MessageIcon::None);
}

void CMainFrame::OnSerialLinkFailed(int port, int32_t handle) {
    int32_t& slot = serialSlots_[static_cast<size_t>(port - 1)];
    if (slot == -1 || slot != handle) return; // a link closed or reopened meanwhile
    CloseConnection(slot);
    slot = -1;
    WatchTraffic();
    ProgramLog().Write(LogLevel::Error, "Modbus " + SerialName(port) + " failed: the port could not be read any more");
    messages_.ShowMessage("COM" + std::to_string(port) + " was closed: the port could not be read any more",
                          MessageIcon::None);
}

void CMainFrame::OnKernelRs485Refused(int port, intptr_t error) {
    messages_.ShowMessage("COM" + std::to_string(port) + " has no RS-485 mode of its own (" + ErrorName(error) +
                              "): RTS is switched around each reply instead",
                          MessageIcon::None);
}

} // namespace quorvane
