// The dialog commands this layer answers itself; later dialogs replace them
// by registering the same ids.
#include "frame/quorvane_app.h"
#include "windows/command_handlers.h"

#include <QFileDialog>
#include <QMessageBox>

namespace quorvane {
namespace {

// The platform's file dialog, starting on "*.csv"; empty when cancelled.
std::string AskPath(QWidget* parent, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent);
    dialog.setObjectName(mode == QFileDialog::AcceptSave ? QStringLiteral("saveDialog")
                                                         : QStringLiteral("restoreDialog"));
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("*.csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front().toStdString();
}

} // namespace

void RegisterStandardHandlers(CCommandHandlers& handlers) {
    handlers.Register(kCmdSave, [](const CommandContext& c) {
        const std::string path = AskPath(c.parent, QFileDialog::AcceptSave);
        if (!path.empty()) c.app.Save(path);
    });
    handlers.Register(kCmdRestore, [](const CommandContext& c) {
        const std::string path = AskPath(c.parent, QFileDialog::AcceptOpen);
        if (!path.empty()) c.app.RestoreFrom(path);
    });
    handlers.Register(kCmdAbout, [](const CommandContext& c) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("About Quorvane"),
                        QStringLiteral("Quorvane - (Version 2.0)"), QMessageBox::Ok, c.parent);
        box.setObjectName(QStringLiteral("aboutBox"));
        box.setIconPixmap(QPixmap(QStringLiteral(":/quorvane.png")));
        box.exec();
    });
    // Opens the port with its stored settings; the port setup dialog takes
    // this place when it exists.
    for (int port = 1; port <= 9; ++port) {
        handlers.Register(static_cast<uint16_t>(kCmdConnectCom1 + port - 1), [port](const CommandContext& c) {
            c.app.Frame().ConnectSerial(port, c.app.Frame().CommSetupFor(port));
        });
    }
}

} // namespace quorvane
