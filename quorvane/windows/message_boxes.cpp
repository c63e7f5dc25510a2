#include "windows/message_boxes.h"

#include <QApplication>
#include <QMessageBox>

namespace quorvane {

void CMessageBoxes::ShowMessage(const std::string& text, MessageIcon icon) {
    if (observer_) {
        observer_(text, icon);
        return;
    }
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QStringLiteral("Quorvane"), QString::fromUtf8(text.c_str()), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("messageBox"));
    box.exec();
}

} // namespace quorvane
