#include "windows/windowed.h"

#include "windows/item_commands.h"
#include "windows/message_boxes.h"

#include <QApplication>
#include <QIcon>

namespace quorvane {

std::unique_ptr<QCoreApplication> CreateWindowedApplication(int& argc, char** argv) {
    auto app = std::make_unique<QApplication>(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quorvane.png")));
    return app;
}

std::unique_ptr<CMessageSink> CreateMessageBoxes() {
    return std::make_unique<CMessageBoxes>();
}

CWindowedInterface::CWindowedInterface(CQuorvaneApp& app)
    : window_(std::make_unique<CMainFrameWnd>(app, handlers_)) {
    RegisterStandardHandlers(handlers_);
    RegisterItemHandlers(handlers_);
    frameWindows_ = RegisterFrameHandlers(handlers_, app, *window_);
}

std::unique_ptr<CWindowedInterface> CreateWindowedInterface(CQuorvaneApp& app) {
    auto windows = std::make_unique<CWindowedInterface>(app);
    windows->MainWindow().show();
    return windows;
}

} // namespace quorvane
