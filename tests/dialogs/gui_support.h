// Helpers of the offscreen dialog tests, over qt_support.h: the font check
// that keeps text tests from passing on empty boxes, and a poller that drives
// modal dialogs.
#pragma once

#include "qt_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QRawFont>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>
#include <string>

namespace quorvane::test {

// Without fonts Qt paints nothing and every text check would pass unseen.
inline bool FontHasGlyphs() {
    const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QRawFont raw = QRawFont::fromFont(font);
    return raw.isValid() && raw.supportsCharacter(QLatin1Char('A')) && raw.supportsCharacter(QLatin1Char('0')) &&
           QFontMetrics(font).horizontalAdvance(QStringLiteral("OPC")) > 0;
}

// Drives modal dialogs from inside their own event loops: every few
// milliseconds the next step is offered the active modal widget and consumes
// itself by answering true. A step must not block: clicks that open further
// dialogs are queued (Click), so the poller keeps running inside them.
class ModalScript {
public:
    using Step = std::function<bool(QWidget* modal)>;

    ModalScript() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    // A step for the modal widget named `objectName`.
    ModalScript& On(const char* objectName, std::function<void(QWidget*)> action) {
        steps_.push_back([name = std::string(objectName), action = std::move(action)](QWidget* modal) {
            if (modal == nullptr || modal->objectName().toStdString() != name) return false;
            action(modal);
            return true;
        });
        return *this;
    }
    bool Done() const { return steps_.empty(); }
    // What the modal widget was when a step did not match (for messages).
    std::string Waiting() const { return lastSeen_; }

    // A click that returns before the slots it triggers run.
    static void Click(QWidget* parent, const char* buttonName) {
        auto* button = parent->findChild<QAbstractButton*>(QString::fromLatin1(buttonName));
        if (button != nullptr) QTimer::singleShot(0, button, &QAbstractButton::click);
    }

private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        lastSeen_ = modal != nullptr ? modal->objectName().toStdString() : "(none)";
        if (!steps_.empty() && steps_.front()(modal)) steps_.pop_front();
    }

    QTimer timer_;
    std::deque<Step> steps_;
    std::string lastSeen_;
};

} // namespace quorvane::test
