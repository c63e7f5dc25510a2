// quorvane: the OPC-to-Modbus gateway.
#include "frame/commission.h"
#include "frame/config/command_line.h"
#include "frame/config/port_settings_store.h"
#include "frame/event_log.h"
#include "frame/headless.h"
#include "frame/metrics.h"
#include "frame/quorvane_app.h"
#include "frame/systemd_notify.h"

#include <QCoreApplication>

#ifdef QV_WITH_WINDOWS
#include "windows/windowed.h"
constexpr bool kWindowsBuilt = true;
#else
constexpr bool kWindowsBuilt = false;
#endif

#include <clocale>
#include <csignal>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

using namespace quorvane;

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CommandLineResult parsed = ParseCommandLine(arguments);
    if (!parsed.ok) {
        std::fprintf(stderr, "quorvane: %s\n", parsed.error.c_str());
        return kUsageExitCode;
    }
    const CommandLine& options = parsed.options;
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (!options.browseUrl.empty())
        return RunBrowse(options.browseUrl, options.configFile, options.browseDepth, stdout, stderr);
    const bool checking = !options.checkFile.empty();

    // Set before anything opens: an unprivileged user cannot listen on 502.
    if (options.tcpPort != 0) SetTCPServicePort(static_cast<uint16_t>(options.tcpPort));
    for (const auto& [port, device] : options.comDevices) {
        if (SetPortDevice(port, device.c_str()) == 0) {
            ProgramLog().Write(LogLevel::Error, "quorvane: COM" + std::to_string(port) + " cannot be mapped to " + device);
            return kUsageExitCode;
        }
    }

    DisplayProbe display;
    const InterfaceChoice choice = ChooseInterface(options.headless || checking, kWindowsBuilt, [&display] {
        display = ProbeDisplay(CurrentDisplayEnvironment());
        return display;
    });
    if (!choice.notice.empty()) ProgramLog().Write(LogLevel::Notice, "quorvane: " + choice.notice);
    if (!display.qpaPlatform.empty()) setenv("QT_QPA_PLATFORM", display.qpaPlatform.c_str(), 1);

    // A reader of stdout that went away must not stop the gateway.
    std::signal(SIGPIPE, SIG_IGN);

    // Qt sees the program name only: the command line belongs to Quorvane,
    // and Qt would take options such as -platform from it, even after "--".
    static int qtArgc = 1;
    static char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("quorvane"), nullptr};
    std::unique_ptr<QCoreApplication> qt;
#ifdef QV_WITH_WINDOWS
    if (!choice.headless) qt = CreateWindowedApplication(qtArgc, qtArgv);
#endif
    if (!qt) qt = std::make_unique<QCoreApplication>(qtArgc, qtArgv);
    EndDisplayProbe();
    // Qt takes the locale from the environment; numbers in files and on the
    // wire always use the "." decimal point.
    std::setlocale(LC_NUMERIC, "C");

    auto quitOnSignal = std::make_unique<CSignalQuit>();
    std::unique_ptr<CMessageSink> messages = std::make_unique<CStderrMessages>();
#ifdef QV_WITH_WINDOWS
    if (!choice.headless) messages = CreateMessageBoxes();
#endif
    std::string settingsPath, stateError;
    if (!SettingsPathIn(options.stateDir, settingsPath, stateError)) {
        ProgramLog().Write(LogLevel::Error, "quorvane: " + stateError);
        return kUsageExitCode;
    }
    CQuorvaneApp app(*messages, settingsPath);
    app.Frame().SetTcpServicePort(static_cast<uint16_t>(options.tcpPort != 0 ? options.tcpPort : 502));
    app.Frame().SetTcpAccess(options.bindAddress, options.allowedNetworks);
    for (const auto& [port, portOptions] : options.comOptions) app.Frame().ForcePortOptions(port, portOptions);
    if (choice.headless && !checking) {
        app.Frame().Log().SetListener([](const std::string& line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        });
    }
#ifdef QV_WITH_WINDOWS
    // Shown before the start-up restore, which opens the group windows.
    std::unique_ptr<CWindowedInterface> windows;
    if (!choice.headless) windows = CreateWindowedInterface(app);
#endif

    CGatewayMonitor monitor(app);
    if (options.metricsPort != 0) {
        const std::string why = monitor.ServeMetrics(options.metricsAddress, options.metricsPort);
        if (!why.empty()) {
            std::fprintf(stderr, "quorvane: --metrics: %s\n", why.c_str());
            return 1;
        }
    }
    if (checking) {
        const int startup = app.Startup("");
        if (startup != 0) return startup;
        const int code = RunCheck(app, options.checkFile, options.checkSeconds, stdout, stderr);
        app.Shutdown();
        return code;
    }

    const int startup = app.Startup(options.configFile);
    if (startup != 0) return startup;
    CServiceNotifier notifier([&monitor] { return monitor.Refresh(); });
    notifier.Ready();
    QCoreApplication::exec();
    // A second Ctrl+C during the shutdown ends the program at once.
    quitOnSignal.reset();
    notifier.Stopping();
    app.Shutdown();
    return 0;
}
