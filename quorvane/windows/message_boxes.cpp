#include "windows/message_boxes.h"

#include <QApplication>
#include <QMessageBox>

#include "windows/dialog_kit.h"

namespace quorvane {

void CMessageBoxes::ShowMessage(const std::string& text, MessageIcon icon) { ShowMessageWithCause(text, std::string(), icon); }

void CMessageBoxes::ShowMessageWithCause(const std::string& text, const std::string& cause, MessageIcon icon) {
    if (observer_) {
        observer_(text, cause, icon);
        return;
    }
    MakeMessageBox(QApplication::activeWindow(), QStringLiteral("Quorvane"), QString::fromUtf8(text.c_str()),
                   QString::fromUtf8(cause.c_str()), icon == MessageIcon::Stop)
        ->exec();
}

} // namespace quorvane
