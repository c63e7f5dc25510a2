// The main frame without its window: the ten Modbus link slots, the serial
// settings of COM1 to COM9 with velmarc.cfg, the OPC call log, Pellacor's
// window on the Qt event loop and the 500 ms refresh timer. A window layer
// drives the same operations from its menus and dialogs.
#pragma once

#include "frame/api_log.h"
#include "frame/config/commands.h"
#include "frame/config/config_file.h"
#include "frame/config/port_settings_store.h"
#include "frame/ui_window.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quorvane {

enum class MessageIcon { None, Stop };

// Where operator-visible messages go: a message box with windows, one line
// on stderr headless.
class CMessageSink {
public:
    virtual ~CMessageSink() = default;
    virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
    // The message with its cause beneath it: the file and the system's
    // reason, the server and the status, the item and the status. The text
    // itself is the one ShowMessage would show. A sink that has no place for
    // the cause shows the message alone.
    virtual void ShowMessageWithCause(const std::string& text, const std::string& /*cause*/, MessageIcon icon) {
        ShowMessage(text, icon);
    }
};

// The system's reason for `error` in English whatever the locale ("No such
// file or directory"), and "`path`: reason" for a file.
std::string SystemReason(int error);
std::string FileCause(const std::string& path, int error);
// "`subject`: status" with the status name the OPC client service gives for
// this thread's last call ("BadTimeout", "E_ACCESSDENIED"); `subject` alone
// when it names none.
std::string CauseOfLastCall(const std::string& subject);

// The fields of the serial port setup dialog.
struct CommSetupFields {
    uint32_t baudRate = 9600;
    uint8_t dataBits = 8;
    uint8_t stopBits = 0;
    uint8_t parity = 1;
    int protocolFlag = 1; // 1 RTU, 0 ASCII
    int port = 1;
    uint32_t dsrFlow = 0;
    uint32_t ctsFlow = 0;
    bool endAfter35 = false; // "End frames after 3.5 characters (shared RS-485 bus)"
};

class CMainFrame : public QObject {
public:
    static constexpr int kRefreshMs = 500;

    // Construction: socket library started, slots closed, port settings loaded
    // from `settingsPath` (velmarc.cfg beside the executable in the program).
    CMainFrame(CMessageSink& messages, std::string settingsPath);
    ~CMainFrame() override;

    // Window creation: port defaults and the refresh timer, whose ticks call
    // `refresh`. The OPC start-up is the application's.
    void Create(std::function<void()> refresh);
    // Window destruction: Modbus/TCP closed, then COM1 to COM9 in port order.
    void CloseAllLinks();
    // Frame destruction's last step: port settings written to velmarc.cfg.
    bool StoreSettings() const;

    const PellacorWindow* Window() const { return uiWindow_.Window(); }
    CUiWindow& UiWindow() { return uiWindow_; }
    CApiLog& Log() { return log_; }
    const std::string& SettingsPath() const { return settingsPath_; }

    // Link slots: -1 when closed.
    int32_t SerialSlot(int port) const { return serialSlots_.at(static_cast<size_t>(port - 1)); }
    int32_t TcpSlot() const { return tcpSlot_; }
    void FillLinkState(FrameState& state) const;

    // Port settings of port n (1 to 9).
    PortEntry GetPortSettings(int port) const { return ports_.at(static_cast<size_t>(port - 1)); }
    void SetPortSettings(int port, uint8_t protocol, const PortSettings& settings);
    const PortTable& Ports() const { return ports_; }

    // Connect COM port n: the dialog's preset, and what happens on OK.
    CommSetupFields CommSetupFor(int port) const;
    void ConnectSerial(int port, const CommSetupFields& fields);
    void DisconnectSerial(int port);
    void StartTcpServer();
    void StopTcpServer();

    // A link line of a configuration file: the line's settings over the
    // port's record with RTS delays 0, then the link opened; a link that is
    // already open is closed and opened again with them.
    void OpenSerialFromConfiguration(const LinkLine& link);
    // "CONNECT TCP": starts the server unless it already runs.
    void OpenTcpFromConfiguration();

    // The open links as the configuration file saves them.
    std::vector<SerialLinkSnapshot> OpenSerialLinks() const;

    // Pellacor port options (PELLACOR_PORT_*) that port n has whatever the
    // dialog or a configuration file says: the command line's
    // --com N=DEVICE,t35 and ,rs485.
    void ForcePortOptions(int port, uint32_t options) {
        if (port >= 1 && port <= kSerialPorts) forcedOptions_[static_cast<size_t>(port - 1)] = options;
    }

    // The service port the Modbus/TCP server listens on (for messages).
    void SetTcpServicePort(uint16_t port) { tcpServicePort_ = port; }
    // Where the Modbus/TCP server listens ("" every IPv4 interface) and the
    // networks masters may connect from (none listed: every master), applied
    // each time the server starts. Both were checked by the command line.
    void SetTcpAccess(std::string bindAddress, std::vector<std::string> allowedNetworks) {
        tcpBindAddress_ = std::move(bindAddress);
        tcpAllowedNetworks_ = std::move(allowedNetworks);
    }

private:
    void OnPosted(uint32_t message, uintptr_t wparam, intptr_t lparam);
    void OnTcpServerEnded(uintptr_t reason, intptr_t error);
    void OnSerialLinkFailed(int port, int32_t handle);
    void OnKernelRs485Refused(int port, intptr_t error);
    // Masters the Modbus/TCP server refused since the last tick, to the log.
    void LogRefusedMasters();
    int OpenSerial(int port); // 0, or the errno of a failed open
    // Points the traffic tap's slots at the open links, so traffic is noted
    // (for the traffic window) from the moment a link opens.
    void WatchTraffic() const;
    static std::string SerialName(int port); // for the log
    std::string TcpName() const;

    CMessageSink& messages_;
    std::string settingsPath_;
    std::array<int32_t, kSerialPorts> serialSlots_;
    int32_t tcpSlot_ = -1;
    PortTable ports_{};
    std::array<uint32_t, kSerialPorts> forcedOptions_{};
    uint16_t tcpServicePort_ = 502;
    std::string tcpBindAddress_;
    std::vector<std::string> tcpAllowedNetworks_;
    CApiLog log_;
    CUiWindow uiWindow_;
    QTimer refreshTimer_;
};

} // namespace quorvane
