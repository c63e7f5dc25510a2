// Helpers of the offscreen dialog tests, over qt_support.h: the font check
// that keeps text tests from passing on empty boxes, a poller that drives
// modal dialogs, and the fixtures that start the whole program on loopback.
#pragma once

#include "windows/child_frame.h"
#include "windows/dialog_kit.h"
#include "windows/message_boxes.h"
#include "windows/quorvane_view.h"
#include "windows/windowed.h"

#include "pellacor.h"

#include "../../support/loopback.h"
#include "../frame/qt_support.h"
#include "../frame/test_support.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRawFont>
#include <QTimer>
#include <QWidget>

#include <pty.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace quorvane::test {

// Without fonts Qt paints nothing and every text check would pass unseen.
inline bool FontHasGlyphs() {
    const QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QRawFont raw = QRawFont::fromFont(font);
    return raw.isValid() && raw.supportsCharacter(QLatin1Char('A')) && raw.supportsCharacter(QLatin1Char('0')) &&
           QFontMetrics(font).horizontalAdvance(QStringLiteral("OPC")) > 0;
}

// The named child widget; a missing one fails the test that asked.
template <typename T = QLineEdit> T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}
inline std::string Text(QWidget* parent, const char* box) { return Child(parent, box)->text().toStdString(); }

// A left press (or double click) on row `row` of the view's visible rows
// (-1: the header).
inline void ClickRow(CQuorvaneView* view, int row, QEvent::Type type = QEvent::MouseButtonPress) {
    const int h = view->ListState().lineHeight;
    const QPointF at(5, h + 1 + row * h + h / 2);
    QMouseEvent event(type, at, view->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view->viewport(), &event);
}

// A pseudo-terminal standing in for COM`port` while it lives.
class PseudoPort {
public:
    explicit PseudoPort(int port) : port_(port) {
        if (openpty(&master_, &slave_, name_, nullptr, nullptr) == 0) SetPortDevice(port_, name_);
    }
    ~PseudoPort() {
        SetPortDevice(port_, nullptr);
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    PseudoPort(const PseudoPort&) = delete;
    PseudoPort& operator=(const PseudoPort&) = delete;
    bool Open() const { return master_ >= 0; }

private:
    int port_;
    char name_[256] = {};
    int master_ = -1;
    int slave_ = -1;
};

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

// The application with fonts, and field refusals recorded as "box: message"
// instead of shown.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtApp<QApplication>();
        ASSERT_TRUE(FontHasGlyphs()) << "install fonts-dejavu-core";
        SetFieldMessageObserver([this](QLineEdit* box, const QString& text) {
            refused_.push_back(box->objectName().toStdString() + ": " + text.toStdString());
        });
    }
    void TearDown() override { SetFieldMessageObserver({}); }
    std::vector<std::string> refused_;
};

// The whole program started with its windows, the Modbus/TCP service on a
// free loopback port, the settings file in a scratch directory and message
// boxes recorded in shown_.
class ProgramTest : public GuiTest {
protected:
    explicit ProgramTest(const char* scratch) : dir_(scratch) {}
    void SetUp() override {
        GuiTest::SetUp();
        if (HasFatalFailure()) return;
        tcpPort_ = FreeLoopbackPort();
        ASSERT_NE(tcpPort_, 0);
        SetTCPServicePort(tcpPort_);
        messages_.SetObserverInsteadOfBoxes([this](const std::string& text, const std::string& cause, MessageIcon) {
            shown_.push_back(text);
            causes_.push_back(cause);
        });
        app_ = std::make_unique<CQuorvaneApp>(messages_, (dir_ / "velmarc.cfg").string());
        app_->Frame().SetTcpServicePort(tcpPort_);
        windows_ = CreateWindowedInterface(*app_);
        ASSERT_EQ(app_->Startup(""), 0);
        ASSERT_TRUE(WaitUntil([&] { return Main().isVisible(); }));
    }
    void TearDown() override {
        if (app_) app_->Shutdown();
        windows_.reset();
        app_.reset();
        SetTCPServicePort(502);
        GuiTest::TearDown();
    }

    CMainFrameWnd& Main() { return windows_->MainWindow(); }
    void Connect() {
        app_->ConnectCommand("", "Demo.Server.1");
        ASSERT_NE(app_->Model().ServerHandle(), -1);
    }
    // A group window with `items` of the simulation's setpoints, painted.
    CChildFrame* OpenGroup(const std::string& name, int items = 0, int32_t rate = 1000) {
        EXPECT_NE(app_->AddGroupCommand(name, rate, 0.0f), -1);
        CChildFrame* child = Main().ActiveChild();
        if (child == nullptr) {
            ADD_FAILURE() << "no window for " << name;
            return nullptr;
        }
        const char* ids[] = {"Setpoints.Short", "Setpoints.Unsigned", "Setpoints.Float", "Setpoints.Level",
                             "Setpoints.Bool"};
        for (int i = 0; i < items; ++i) {
            PointMapping mapping;
            mapping.address = static_cast<uint16_t>(40100 + 10 * i);
            child->Doc()->AddRestoredItem(ids[i % 5], mapping);
        }
        WaitUntil([&] { return child->View()->PaintCount() > 0; });
        return child;
    }
    // Runs a menu command whose modal dialogs `script` answers.
    void Run(uint16_t command, ModalScript& script) {
        EXPECT_TRUE(Main().RunCommand(command)) << command;
        EXPECT_TRUE(script.Done()) << "waiting at " << script.Waiting();
    }

    ScratchDir dir_;
    uint16_t tcpPort_ = 0;
    CMessageBoxes messages_;
    std::vector<std::string> shown_;
    std::vector<std::string> causes_; // the cause of each shown message, "" for none
    std::unique_ptr<CQuorvaneApp> app_;
    std::unique_ptr<CWindowedInterface> windows_;
};

} // namespace quorvane::test
