// The windowed program's Modbus/TCP server for load runs, with or without the
// traffic window open and following the link: one block of 10,000 holding
// registers for slave 1, served for the given number of seconds.
//
//   traffic_window_server PORT SECONDS [--window]
// Run it on the offscreen platform (QT_QPA_PLATFORM=offscreen).
#include "windows/traffic_wnd.h"
#include "windows/windowed.h"

#include "pellacor.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

class StderrSink : public quorvane::CMessageSink {
public:
    void ShowMessage(const std::string& text, quorvane::MessageIcon) override {
        std::fprintf(stderr, "traffic_window_server: %s\n", text.c_str());
    }
};

uint16_t holding[10000];

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--window") != 0)) {
        std::fprintf(stderr, "usage: traffic_window_server PORT SECONDS [--window]\n");
        return 2;
    }
    const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
    const int seconds = std::atoi(argv[2]);
    const bool window = argc == 4;
    int qtArgc = 1;
    QApplication qt(qtArgc, argv);

    StderrSink sink;
    const std::string settings =
        (std::filesystem::temp_directory_path() / ("qv-traffic-bench-" + std::to_string(port) + ".cfg")).string();
    quorvane::CQuorvaneApp app(sink, settings);
    app.Frame().SetTcpServicePort(port);
    SetTCPServicePort(port);
    auto windows = quorvane::CreateWindowedInterface(app);
    if (app.Startup("") != 0) return 1;
    for (size_t i = 0; i < 10000; ++i) holding[i] = static_cast<uint16_t>(0x100 + i);
    const int32_t block = DefineDataBlock(1, PELLACOR_HOLDING_REGISTER, 1, 10000, holding);
    if (!windows->MainWindow().RunCommand(quorvane::kCmdConnectTcp)) return 1;
    if (window) {
        windows->MainWindow().RunCommand(quorvane::kCmdTraffic);
        if (!windows->FrameWindows().TrafficWindow()->SelectLink(QStringLiteral("Modbus/TCP"))) return 1;
    }
    QTimer::singleShot(seconds * 1000, &qt, &QCoreApplication::quit);
    QApplication::exec();
    size_t lines = 0;
    if (window) lines = windows->FrameWindows().TrafficWindow()->Follower().Seen();
    app.Shutdown();
    RemoveDataBlock(block);
    windows.reset();
    std::remove(settings.c_str());
    if (window) std::fprintf(stderr, "traffic_window_server: the window read %zu bytes\n", lines);
    return 0;
}
