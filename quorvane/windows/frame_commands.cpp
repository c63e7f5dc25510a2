#include "windows/frame_commands.h"

#include "frame/quorvane_app.h"
#include "windows/api_log_wnd.h"
#include "windows/frame_dialogs.h"
#include "windows/main_frame_wnd.h"
#include "windows/traffic_wnd.h"

#include <QDialog>
#include <QFileDialog>
#include <QKeySequence>
#include <QShortcut>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace quorvane {

std::string AskConfigurationPath(QWidget* parent, bool save) {
    QFileDialog dialog(parent);
    dialog.setObjectName(save ? QStringLiteral("saveDialog") : QStringLiteral("restoreDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("*.csv"));
    // Saving over a file asks first (QFileDialog's own confirmation).
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front().toStdString();
}

QString HelpText() {
    return QStringLiteral(
        "<h2>Quorvane</h2>"
        "<p>Quorvane is a gateway between an OPC Data Access server and Modbus masters. It reads items "
        "of the OPC server in groups and serves their values as Modbus points (coils, discrete inputs, "
        "input registers and holding registers) on up to nine serial links and one Modbus/TCP server. "
        "Values a master writes are written back to the OPC server.</p>"
        "<h3>Menus</h3>"
        "<ul>"
        "<li><b>File</b>: Save writes the links, the server and every group with its items and mappings "
        "to a configuration file; Restore reads one back. Print, Print Preview and Print Setup print the "
        "active group's item list. Exit closes the links and the connection.</li>"
        "<li><b>OPC Server</b>: Connect chooses a server on this or another machine; Disconnect ends the "
        "connection (only while no group is open); Svr Status shows the server's status; Group Add creates "
        "a group with a name, an update rate and a deadband, Group Remove removes the active one; "
        "OPC API Log shows the log of calls made to the server.</li>"
        "<li><b>Item</b>: Add browses the server's tags and maps the chosen item to a Modbus point; "
        "Remove removes the selected item; Write writes a value to it. A double click on an item edits "
        "its mapping.</li>"
        "<li><b>Modbus</b>: Connect opens a serial link (COMM 1 to 9, with its line settings and RTU or "
        "ASCII framing) or the Modbus/TCP server; Disconnect closes it. Traffic shows every open link's "
        "frame counters and the selected link's frames as they pass: time, direction, bytes and what they "
        "mean, filtered by slave and function; Save writes them to a file.</li>"
        "<li><b>Help</b>: these topics (also F1 and Shift+F1) and the program's version.</li>"
        "</ul>"
        "<h3>Configuration file</h3>"
        "<p>A text file of comma-separated lines in two sections. <tt>[MODBUS]</tt> lists the links to "
        "open: one line per serial port with its settings, and <tt>CONNECT TCP, 502</tt> for the "
        "Modbus/TCP server. <tt>[SERVER]</tt> names the machine (<tt>LOCAL MACHINE</tt> for this one) and "
        "the server, then each group with its update rate and deadband, followed by its items and their "
        "Modbus mappings.</p>"
        "<p>Between runs only the serial ports' RTS delays are kept, in <tt>velmarc.cfg</tt> beside the "
        "program (or in the <tt>--state-dir</tt> folder). The line settings are not: every start sets the "
        "ports back to 9600 baud, 8 data bits, odd parity, one stop bit; the configuration file's "
        "<tt>[MODBUS]</tt> lines carry the settings each link opens with.</p>"
        "<h3>Command line</h3>"
        "<p><tt>quorvane [options] [configuration file]</tt> restores the named file at start. "
        "<tt>--headless</tt> runs without windows (also chosen when no display can be reached); "
        "<tt>--tcp-port</tt> sets the Modbus/TCP service port, <tt>--bind</tt> the address it listens on "
        "and <tt>--allow</tt> the networks masters may connect from. <tt>--help</tt> lists every option.</p>");
}

namespace {

void ShowHelp(QWidget* parent) {
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("helpDlg"));
    dialog.setWindowTitle(QStringLiteral("Help Topics"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QTextBrowser(&dialog);
    text->setObjectName(QStringLiteral("helpText"));
    text->setHtml(HelpText());
    layout->addWidget(text);
    AddOkCancel(&dialog, false);
    dialog.resize(620, 520);
    dialog.exec();
}

void ShowAndRaise(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

CFrameWindows::CFrameWindows(CQuorvaneApp& app, CMainFrameWnd& main) : app_(app) {
    log_ = new CApiLogWnd(&main, main.pos() + QPoint(100, 100));
    log_->Listen(app.Frame().Log());
    traffic_ = new CTrafficWnd(app, &main);
}

CFrameWindows::~CFrameWindows() {
    // The log must not call into a window that is going away.
    app_.Frame().Log().SetListener({});
    delete log_;
    delete traffic_;
}

void CFrameWindows::SetPathPrompt(PathPrompt prompt) { prompt_ = std::move(prompt); }

std::unique_ptr<CFrameWindows> RegisterFrameHandlers(CCommandHandlers& handlers, CQuorvaneApp& app,
                                                     CMainFrameWnd& main) {
    auto windows = std::make_unique<CFrameWindows>(app, main);
    CFrameWindows* w = windows.get();

    for (int port = 1; port <= kSerialPorts; ++port) {
        handlers.Register(static_cast<uint16_t>(kCmdConnectCom1 + port - 1), [port](const CommandContext& c) {
            CCommSetupDlg dialog(c.app.Frame().CommSetupFor(port), c.parent);
            if (dialog.exec() == QDialog::Accepted) c.app.Frame().ConnectSerial(port, dialog.fields);
        });
    }
    handlers.Register(kCmdServerConnect, [](const CommandContext& c) {
        CServerSelectDlg dialog(c.parent);
        if (dialog.exec() == QDialog::Accepted) c.app.ConnectCommand(dialog.machineName, dialog.serverName);
    });
    handlers.Register(kCmdServerStatus, [](const CommandContext& c) {
        const auto status = c.app.ServerStatusCommand();
        if (!status) return; // the server gave none: nothing to show
        CServerStatusDlg dialog(*status, c.parent);
        dialog.exec();
    });
    handlers.Register(kCmdGroupAdd, [](const CommandContext& c) {
        CAddGroupDlg dialog(c.parent);
        if (dialog.exec() != QDialog::Accepted) return;
        c.app.AddGroupCommand(dialog.groupName, static_cast<int32_t>(dialog.updateRate), dialog.deadband);
    });
    auto prompt = [w](QWidget* parent, bool save) {
        return w->Prompt() ? w->Prompt()(parent, save) : AskConfigurationPath(parent, save);
    };
    handlers.Register(kCmdSave, [prompt](const CommandContext& c) {
        const std::string path = prompt(c.parent, true);
        if (!path.empty()) c.app.Save(path);
    });
    handlers.Register(kCmdRestore, [prompt](const CommandContext& c) {
        const std::string path = prompt(c.parent, false);
        if (!path.empty()) c.app.RestoreFrom(path);
    });
    handlers.Register(kCmdHelpTopics, [](const CommandContext& c) { ShowHelp(c.parent); });
    handlers.Register(kCmdApiLog, [w](const CommandContext&) { ShowAndRaise(w->LogWindow()); });
    handlers.Register(kCmdTraffic, [w](const CommandContext&) { ShowAndRaise(w->TrafficWindow()); });

    // F1 and Shift+F1 (help on what is under the pointer) open the same topics.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_F1), QKeySequence(Qt::SHIFT | Qt::Key_F1)}) {
        auto* shortcut = new QShortcut(key, &main);
        shortcut->setContext(Qt::ApplicationShortcut);
        QObject::connect(shortcut, &QShortcut::activated, &main, [&main] { main.RunCommand(kCmdHelpTopics); });
    }
    return windows;
}

} // namespace quorvane
