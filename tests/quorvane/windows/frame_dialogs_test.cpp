// The frame's dialogs and windows offscreen, with the real libraries, the
// simulation OPC server, a pseudo-terminal for COM3 and a libmodbus master on
// 127.0.0.1: port setup, server selection and status, Add Group, the call
// log window, the file prompts and the traffic window.
#include "windows/api_log_wnd.h"
#include "windows/child_frame.h"
#include "windows/frame_dialogs.h"
#include "windows/point_map_dlg.h"
#include "windows/tag_browser_dlg.h"
#include "windows/traffic_wnd.h"
#include "windows/write_item_dlg.h"

#include "gui_support.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QShortcut>
#include <QTableView>
#include <QTableWidget>
#include <QTextBrowser>

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace quorvane {
namespace {

using test::Child;
using test::ModalScript;
using test::WaitUntil;
namespace fs = std::filesystem;

class FrameDialogsTest : public test::ProgramTest {
protected:
    FrameDialogsTest() : ProgramTest("framedlg") {}
    CApiLogWnd& Log() { return *windows_->FrameWindows().LogWindow(); }
    std::vector<std::string> ChildTitles() {
        std::vector<std::string> titles;
        for (CChildFrame* child : Main().Children()) titles.push_back(child->windowTitle().toStdString());
        return titles;
    }
};

// No command of the menus is grayed for want of a handler.
TEST_F(FrameDialogsTest, EveryMenuCommandHasWhatRunsIt) {
    for (const CommandEntry& entry : CommandTable()) {
        const bool windowCommand = entry.id == kCmdExit || entry.id == kCmdServerDisconnect ||
                                   entry.id == kCmdGroupRemove || entry.id == kCmdItemRemove ||
                                   entry.id == kCmdConnectTcp || entry.id == kCmdDisconnectTcp ||
                                   (entry.id >= kCmdDisconnectCom1 && entry.id < kCmdDisconnectCom1 + 9);
        EXPECT_TRUE(windowCommand || windows_->Handlers().Has(entry.id)) << entry.text;
    }
}

// ---------------------------------------------------------------------------
// Serial port setup on COM3 (a pseudo-terminal)

class CommSetupTest : public FrameDialogsTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(com3Device_.Open());
        FrameDialogsTest::SetUp();
    }
    static constexpr uint16_t kCom3 = kCmdConnectCom1 + 2;
    const test::PseudoPort com3Device_{3}; // before the program starts, after it stops
};

TEST_F(CommSetupTest, PresetsCodesOnOkAndTheSettingsFileAtExit) {
    ModalScript script;
    script.On("commSetupDlg", [](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), "Setup Comm Port 3");
        EXPECT_EQ(Child<QComboBox>(w, "baudList")->count(), 15);
        // Each list: its preset, then the operator's choice.
        const std::tuple<const char*, const char*, const char*> lists[] = {
            {"baudList", "9600", "19200"}, {"dataBitsList", "8", "7"}, {"stopBitsList", "1", "1.5"},
            {"parityList", "ODD", "NONE"}};
        for (const auto& [list, preset, chosen] : lists) {
            EXPECT_EQ(Child<QComboBox>(w, list)->currentText(), preset) << list;
            Child<QComboBox>(w, list)->setCurrentText(chosen);
        }
        EXPECT_TRUE(Child<QRadioButton>(w, "rtuButton")->isChecked());
        EXPECT_FALSE(Child<QCheckBox>(w, "rtsCtsBox")->isChecked());
        Child<QRadioButton>(w, "asciiButton")->setChecked(true);
        Child<QCheckBox>(w, "rtsCtsBox")->setChecked(true);
        ModalScript::Click(w, "okButton");
    });
    Run(kCom3, script);
    ASSERT_TRUE(shown_.empty()) << shown_.front();
    EXPECT_NE(app_->Frame().SerialSlot(3), -1);
    const PortEntry entry = app_->Frame().GetPortSettings(3);
    EXPECT_EQ(entry.protocol, 0);
    EXPECT_EQ(entry.settings.baudRate, 19200u);
    EXPECT_EQ(entry.settings.dataBits, 7);
    EXPECT_EQ(entry.settings.stopBits, 1);
    EXPECT_EQ(entry.settings.parity, 0);
    EXPECT_EQ(entry.settings.ctsFlow, 1u);
    EXPECT_EQ(entry.settings.dsrFlow, 0u);

    app_->Shutdown();
    const std::string file = test::ReadFile(dir_ / "velmarc.cfg");
    ASSERT_EQ(file.size(), kSettingsFileSize);
    const auto* port3 = reinterpret_cast<const uint8_t*>(file.data()) + 2 * kPortEntrySize;
    EXPECT_EQ(port3[0], 0) << "ASCII";
    const PortSettings stored = DecodePortSettings(port3 + 1);
    EXPECT_EQ(stored.baudRate, 19200u);
    EXPECT_EQ(stored.stopBits, 1);
    EXPECT_EQ(stored.parity, 0);
    EXPECT_EQ(stored.ctsFlow, 1u);
}

TEST_F(CommSetupTest, EndingFramesAfter35CharactersIsAnRtuChoiceSavedWithTheLink) {
    ModalScript script;
    script.On("commSetupDlg", [](QWidget* w) {
        auto* box = Child<QCheckBox>(w, "endAfter35Box");
        EXPECT_EQ(box->text(), "End frames after 3.5 characters (shared RS-485 bus)");
        EXPECT_FALSE(box->isChecked());
        Child<QRadioButton>(w, "asciiButton")->setChecked(true);
        EXPECT_FALSE(box->isEnabled()); // ASCII frames end at their line feed
        Child<QRadioButton>(w, "rtuButton")->setChecked(true);
        box->setChecked(true);
        ModalScript::Click(w, "okButton");
    });
    Run(kCom3, script);
    ASSERT_NE(app_->Frame().SerialSlot(3), -1);
    EXPECT_TRUE(app_->Frame().GetPortSettings(3).endAfter35);
    const auto links = app_->Frame().OpenSerialLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(FormatLinkLine(links[0]), "CONNECT RTU,COMM3,9600,8,1,ODD,,,T35\r\n");
}

TEST_F(CommSetupTest, AnUnlistedRateIsKeptAndCancelChangesNothing) {
    PortSettings settings = app_->Frame().GetPortSettings(3).settings;
    settings.baudRate = 31250; // as a restored file may hold
    app_->Frame().SetPortSettings(3, 1, settings);

    // Cancel keeps ODD and the port closed; OK keeps the unlisted rate.
    for (const std::string button : {"cancelButton", "okButton"}) {
        ModalScript script;
        script.On("commSetupDlg", [&](QWidget* w) {
            EXPECT_EQ(Child<QComboBox>(w, "baudList")->currentIndex(), -1);
            Child<QComboBox>(w, "parityList")->setCurrentText("EVEN");
            ModalScript::Click(w, button.c_str());
        });
        Run(kCom3, script);
        const bool ok = button == "okButton";
        EXPECT_EQ(app_->Frame().GetPortSettings(3).settings.baudRate, 31250u) << button;
        EXPECT_EQ(app_->Frame().GetPortSettings(3).settings.parity, ok ? 2 : 1) << button;
        EXPECT_EQ(app_->Frame().SerialSlot(3) != -1, ok) << button;
    }
}

// ---------------------------------------------------------------------------
// Server selection and status

TEST_F(FrameDialogsTest, ConnectDialogOnTheSimulation) {
    CServerList local;
    local.Fill("");
    ASSERT_GE(local.Names().size(), 2u);

    // OK with nothing chosen: the frame's failure, Connect stays offered.
    ModalScript nothing;
    nothing.On("serverSelectDlg", [&](QWidget* w) {
        EXPECT_EQ(Child<QLineEdit>(w, "machineBox")->text(), "LOCAL");
        EXPECT_FALSE(Child<QLineEdit>(w, "machineBox")->isEnabled());
        auto* list = Child<QComboBox>(w, "serverList");
        std::vector<std::string> listed;
        for (int i = 0; i < list->count(); ++i) listed.push_back(list->itemText(i).toStdString());
        EXPECT_EQ(listed, local.Names());
        EXPECT_EQ(list->currentIndex(), -1);
        ModalScript::Click(w, "okButton");
    });
    Run(kCmdServerConnect, nothing);
    EXPECT_EQ(shown_, std::vector<std::string>{"Connection Failure"});
    EXPECT_EQ(app_->Model().ServerHandle(), -1);
    EXPECT_TRUE(Main().IsAvailable(kCmdServerConnect));

    // A remote machine lists nothing and clears the choice; Cancel in the
    // remote dialog changes nothing.
    CServerSelectDlg dialog(&Main());
    ModalScript remote;
    remote.On("serverSelectDlg", [](QWidget* w) {
        auto* list = Child<QComboBox>(w, "serverList");
        list->setCurrentIndex(1);
        emit list->activated(1);
        ModalScript::Click(w, "remoteButton");
    });
    remote.On("remoteMachineDlg", [](QWidget* w) {
        EXPECT_EQ(Child<QLineEdit>(w, "machineNameBox")->text(), "");
        Child<QLineEdit>(w, "machineNameBox")->setText("plant-pc");
        ModalScript::Click(w, "cancelButton");
    });
    remote.On("serverSelectDlg", [&](QWidget* w) {
        EXPECT_EQ(Child<QComboBox>(w, "serverList")->count(), static_cast<int>(local.Names().size()));
        EXPECT_EQ(dialog.serverName, local.Names()[1]);
        EXPECT_EQ(dialog.machineName, "");
        ModalScript::Click(w, "remoteButton");
    });
    remote.On("remoteMachineDlg", [](QWidget* w) {
        Child<QLineEdit>(w, "machineNameBox")->setText("plant-pc");
        ModalScript::Click(w, "okButton");
    });
    remote.On("serverSelectDlg", [&](QWidget* w) {
        EXPECT_EQ(Child<QLineEdit>(w, "machineBox")->text(), "plant-pc");
        EXPECT_EQ(Child<QComboBox>(w, "serverList")->count(), 0);
        EXPECT_EQ(dialog.serverName, "");
        ModalScript::Click(w, "cancelButton");
    });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_TRUE(remote.Done()) << remote.Waiting();

    // Choosing the demo server connects.
    ModalScript choose;
    choose.On("serverSelectDlg", [](QWidget* w) {
        auto* list = Child<QComboBox>(w, "serverList");
        const int index = list->findText("Demo.Server.1");
        list->setCurrentIndex(index);
        emit list->activated(index);
        ModalScript::Click(w, "okButton");
    });
    Run(kCmdServerConnect, choose);
    EXPECT_NE(app_->Model().ServerHandle(), -1);
    EXPECT_EQ(app_->Model().ServerName(), "Demo.Server.1");
}

// The frame's form dialogs, each as it opens.
std::vector<std::unique_ptr<QDialog>> FormDialogs(const ServerStatusText& status) {
    std::vector<std::unique_ptr<QDialog>> dialogs;
    dialogs.push_back(std::make_unique<CCommSetupDlg>(CommSetupFields{}));
    dialogs.push_back(std::make_unique<CAddGroupDlg>());
    dialogs.push_back(std::make_unique<CServerStatusDlg>(status));
    dialogs.push_back(std::make_unique<CRemoteMachineDlg>(""));
    return dialogs;
}

// At the default font and at half as large again, every dialog is as wide as
// its caption needs and no label is narrower than its text.
TEST_F(FrameDialogsTest, CaptionsAndLabelsFitAtTwoFontSizes) {
    const QFont original = QApplication::font();
    for (double scale : {1.0, 1.5}) {
        QFont font = original;
        font.setPointSizeF(original.pointSizeF() * scale);
        QApplication::setFont(font);
        ServerStatusText status;
        status.caption = "opc.tcp://plant-gateway.example:4840 Demo.Server.1";
        std::vector<std::unique_ptr<QDialog>> dialogs = FormDialogs(status);
        for (const auto& dialog : dialogs) {
            dialog->show();
            const std::string what = dialog->windowTitle().toStdString() + " at " + std::to_string(scale);
            EXPECT_GE(dialog->width(), CaptionWidth(dialog.get())) << what;
            for (QLabel* label : dialog->findChildren<QLabel*>()) {
                if (label->isVisible()) {
                    EXPECT_GE(label->width(), label->minimumSizeHint().width()) << what;
                }
            }
            dialog->close();
        }
        auto box = MakeMessageBox(nullptr, QStringLiteral("Quorvane"), QStringLiteral("OK"));
        box->show();
        EXPECT_GE(box->width(), CaptionWidth(box.get())) << scale;
    }
    QApplication::setFont(original);
}

// The first two controls Tab takes out of reading order, "" for none. In
// reading order each control that takes Tab is on a later row than the one
// before it, or further right on the same row (centres within half a
// control's height count as one row).
std::string TabOrderFault(QWidget* window) {
    auto name = [](const QWidget* w) {
        return w->objectName().isEmpty() ? std::string(w->metaObject()->className()) : w->objectName().toStdString();
    };
    std::vector<QWidget*> chain;
    for (QWidget* w = window->nextInFocusChain(); w != window && chain.size() < 200; w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->focusProxy() == nullptr && w->isVisibleTo(window) &&
            w->isEnabled() && window->isAncestorOf(w))
            chain.push_back(w);
    }
    if (chain.size() < 2) return "fewer than two controls take Tab";
    for (size_t i = 1; i < chain.size(); ++i) {
        const QRect a(chain[i - 1]->mapTo(window, QPoint(0, 0)), chain[i - 1]->size());
        const QRect b(chain[i]->mapTo(window, QPoint(0, 0)), chain[i]->size());
        const int tolerance = std::min(a.height(), b.height()) / 2;
        const bool sameRow = std::abs(a.center().y() - b.center().y()) <= tolerance;
        if (sameRow ? b.center().x() <= a.center().x() : b.center().y() < a.center().y())
            return name(chain[i - 1]) + " then " + name(chain[i]);
    }
    return "";
}

TEST_F(FrameDialogsTest, TabFollowsTheLayoutInEveryDialog) {
    Connect();
    ServerStatusText status;
    status.caption = "Demo.Server.1";
    std::vector<std::unique_ptr<QDialog>> dialogs = FormDialogs(status);
    dialogs.push_back(std::make_unique<CServerSelectDlg>());
    dialogs.push_back(std::make_unique<CWriteItemDlg>());
    dialogs.push_back(std::make_unique<CMapWarningDlg>(nullptr, QStringLiteral("40001")));
    auto map = std::make_unique<CPointMapDlg>([](uint8_t, int32_t, uint16_t, int) { return 0; });
    PointMapping scaled;
    scaled.pointType = 3;
    scaled.dataType = DT_SCALED; // every box and button enabled
    map->SetMapping(scaled);
    dialogs.push_back(std::move(map));
    dialogs.push_back(
        std::make_unique<CTagBrowserDlg>(app_->Model().ServerHandle(), [](const std::string&, const std::string&) {}));
    for (const auto& dialog : dialogs) {
        dialog->show();
        EXPECT_EQ(TabOrderFault(dialog.get()), "") << dialog->objectName().toStdString();
        dialog->close();
    }

    ModalScript help;
    help.On("helpDlg", [](QWidget* w) {
        EXPECT_EQ(TabOrderFault(w), "") << "helpDlg";
        ModalScript::Click(w, "okButton");
    });
    Run(kCmdHelpTopics, help);

    ASSERT_TRUE(Main().RunCommand(kCmdTraffic));
    QWidget* traffic = windows_->FrameWindows().TrafficWindow();
    ASSERT_TRUE(traffic->isVisible());
    EXPECT_EQ(TabOrderFault(traffic), "") << "traffic window";
}

// A failed connection names the server and what stopped it; an empty server
// list says that nobody answered.
TEST_F(FrameDialogsTest, ConnectionFailureAndAnEmptyListSayWhy) {
    app_->ConnectCommand("", "No.Such.Server");
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0], "Connection Failure");
    EXPECT_EQ(causes_[0].rfind("No.Such.Server on this machine", 0), 0u) << causes_[0];

    CServerSelectDlg dialog;
    dialog.machineName = "127.0.0.1:1"; // a closed port: nobody answers
    dialog.show();
    auto* note = test::Child<QLabel>(&dialog, "emptyListNote");
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text().toStdString(), "No OPC servers answered on 127.0.0.1:1");
    dialog.machineName.clear();
    dialog.close();
    CServerSelectDlg local;
    local.show();
    EXPECT_FALSE(test::Child<QLabel>(&local, "emptyListNote")->isVisible()); // the simulation answers
}

TEST_F(FrameDialogsTest, StatusTextsFormatsAndReadOnlyBoxes) {
    Connect();
    const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d \\d\\d [A-Z][a-z][a-z] \\d{4}$"));
    ModalScript script;
    script.On("serverStatusDlg", [&](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), " Demo.Server.1");
        for (const char* name : {"startTimeBox", "currentTimeBox", "lastUpdateBox"})
            EXPECT_TRUE(time.match(Child<QLineEdit>(w, name)->text()).hasMatch())
                << name << " " << Child<QLineEdit>(w, name)->text().toStdString();
        EXPECT_EQ(Child<QLineEdit>(w, "stateBox")->text(), "Running");
        for (QLineEdit* box : w->findChildren<QLineEdit*>()) {
            EXPECT_TRUE(box->isReadOnly()) << box->objectName().toStdString();
            EXPECT_FALSE(box->isEnabled()) << box->objectName().toStdString();
        }
        ModalScript::Click(w, "okButton");
    });
    Run(kCmdServerStatus, script);

    // DWORDs show unsigned; an unknown state shows nothing.
    ServerStatus record{};
    record.bandWidth = -1;
    record.groupCount = -2;
    record.serverState = 6;
    CServerStatusDlg dialog(FormatServerStatus(record, "Vendor", "", "Demo.Server.1"));
    EXPECT_EQ(Child<QLineEdit>(&dialog, "bandWidthBox")->text(), "4294967295");
    EXPECT_EQ(Child<QLineEdit>(&dialog, "groupCountBox")->text(), "4294967294");
    EXPECT_EQ(Child<QLineEdit>(&dialog, "stateBox")->text(), "");
    EXPECT_EQ(Child<QLineEdit>(&dialog, "vendorInfoBox")->text(), "Vendor");
}

// ---------------------------------------------------------------------------
// Add Group

TEST_F(FrameDialogsTest, AddGroupValidationOrderAndMessages) {
    // nullptr: the boxes as the dialog opens (empty name, rate 0, deadband 0).
    struct Case {
        const char* deadband;
        const char* name;
        const char* rate;
        std::string refused; // "" = accepted
    } cases[] = {
        {nullptr, "", "0", ""},
        {"", "", "0", "deadbandBox: Please enter a number."},
        {"x", "a,b", "-1", "deadbandBox: Please enter a number."},
        {" 2.5\t", "a,b", "-1", "groupNameBox: A group name cannot contain commas or line breaks."},
        {"0", "a\nb", "0", "groupNameBox: A group name cannot contain commas or line breaks."},
        {"0", "a\rb", "0", "groupNameBox: A group name cannot contain commas or line breaks."},
        {"0", "Line 1", "-1", "updateRateBox: Please enter a positive integer."},
        {"0", "Line 1", "", "updateRateBox: Please enter a positive integer."},
        {"0", "Line 1", "4294967296", "updateRateBox: Please enter a positive integer."},
        {"0", "Line 1", "2147483648", "updateRateBox: Please enter an integer between 0 and 2147483647."},
        {"-3", "Line 1", "2147483647", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.deadband ? c.deadband : "(as opened)") + "|" + c.name + "|" + c.rate);
        refused_.clear();
        CAddGroupDlg dialog(&Main());
        const std::pair<const char*, const char*> boxes[] = {
            {"deadbandBox", c.deadband}, {"groupNameBox", c.name}, {"updateRateBox", c.rate}};
        for (const auto& [box, text] : boxes)
            if (c.deadband != nullptr) Child<QLineEdit>(&dialog, box)->setText(QString::fromUtf8(text));
        dialog.accept();
        EXPECT_EQ(refused_, c.refused.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.refused});
        EXPECT_EQ(dialog.result() == QDialog::Accepted, c.refused.empty());
        if (!c.refused.empty()) continue;
        EXPECT_EQ(dialog.groupName, c.name);
        EXPECT_EQ(std::to_string(dialog.updateRate), c.rate);
        if (c.deadband == nullptr) {
            EXPECT_EQ(dialog.deadband, 0.0f);
        }
    }
}

TEST_F(FrameDialogsTest, AddGroupShowsTheGrantedRateOrTheFailure) {
    Connect();
    ModalScript script;
    script.On("addGroupDlg", [](QWidget* w) {
        Child<QLineEdit>(w, "groupNameBox")->setText("Fast");
        Child<QLineEdit>(w, "updateRateBox")->setText("10");
        ModalScript::Click(w, "okButton");
    });
    Run(kCmdGroupAdd, script);
    EXPECT_EQ(ChildTitles(), std::vector<std::string>{"GROUP: Fast (Update Rate = 100)"});
    EXPECT_TRUE(WaitUntil([&] { return Log().Lines().size() == 1; }));
    EXPECT_EQ(Log().Lines().back(), "IOPCServer->AddGroup()");

    // A service that refuses the group: its message, no window, no log line.
    const int32_t handle = app_->Model().ServerHandle();
    app_->Model().SetServerHandle(handle + 1000);
    ModalScript refused;
    refused.On("addGroupDlg", [](QWidget* w) {
        Child<QLineEdit>(w, "groupNameBox")->setText("Slow");
        ModalScript::Click(w, "okButton");
    });
    Run(kCmdGroupAdd, refused);
    app_->Model().SetServerHandle(handle);
    EXPECT_EQ(shown_, std::vector<std::string>{"Connection Failure -- Could Not Create Group"});
    EXPECT_EQ(ChildTitles().size(), 1u);
    test::RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(Log().Lines().size(), 1u);
}

// ---------------------------------------------------------------------------
// The OPC call log window

TEST_F(FrameDialogsTest, LogWindowKeepsFiveHundredLinesAndScrollsByItsRules) {
    CApiLogWnd& log = Log();
    EXPECT_FALSE(log.isVisible());
    EXPECT_EQ(log.windowTitle(), "OPC API Log");
    ASSERT_TRUE(Main().IsAvailable(kCmdApiLog));
    EXPECT_TRUE(Main().RunCommand(kCmdApiLog));
    EXPECT_TRUE(log.isVisible());
    const int page = log.Page();
    ASSERT_GT(page, 0);

    // Lines logged on another thread reach the window on its own.
    std::thread writer([&] {
        for (int i = 1; i <= 499; ++i) app_->Frame().Log().AddLogLine("line " + std::to_string(i));
    });
    writer.join();
    ASSERT_TRUE(WaitUntil([&] { return log.Lines().size() == 499; }));
    EXPECT_EQ(log.TopLine(), 499 - page) << "the newest line on the bottom row";
    // The scroll bar's arrow goes through the window's rules.
    log.verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_TRUE(WaitUntil([&] { return log.TopLine() == 499 - page - 1; }));
    EXPECT_EQ(log.verticalScrollBar()->value(), 499 - page - 1);
    log.AddLogLine("line 500");
    EXPECT_EQ(log.TopLine(), 499 - page - 1) << "with 500 lines held the view stays";
    log.AddLogLine("line 501");
    ASSERT_EQ(log.Lines().size(), 500u);
    EXPECT_EQ(log.Lines().front(), "line 2");
    EXPECT_EQ(log.TopLine(), 499 - page - 1);
    EXPECT_TRUE(log.close()) << "a refused close also refuses the application's quit";
    EXPECT_FALSE(log.isVisible());
    EXPECT_EQ(log.Lines().size(), 500u);
    EXPECT_TRUE(Main().RunCommand(kCmdApiLog));
    EXPECT_TRUE(log.isVisible());
    EXPECT_EQ(log.Lines().back(), "line 501");
}

// ---------------------------------------------------------------------------
// Save and Restore prompts

TEST_F(FrameDialogsTest, SaveThenRestoreThroughThePromptGivesTheSameWindows) {
    std::vector<std::pair<bool, std::string>> asked;
    std::string answer = QV_SOURCE_DIR "/examples/demo.csv";
    windows_->FrameWindows().SetPathPrompt([&](QWidget*, bool save) {
        asked.emplace_back(save, answer);
        return answer;
    });
    EXPECT_TRUE(Main().RunCommand(kCmdRestore));
    ASSERT_EQ(ChildTitles().size(), 2u);
    const std::vector<std::string> titles = ChildTitles();

    const std::string first = (dir_ / "first.csv").string();
    answer = first;
    EXPECT_TRUE(Main().RunCommand(kCmdSave));
    ASSERT_TRUE(fs::exists(first));
    EXPECT_TRUE(Main().RunCommand(kCmdRestore));
    EXPECT_EQ(ChildTitles(), titles);
    const std::string second = (dir_ / "second.csv").string();
    answer = second;
    EXPECT_TRUE(Main().RunCommand(kCmdSave));
    // Same windows, items and mappings: the same file again.
    EXPECT_EQ(test::ReadFile(second), test::ReadFile(first));
    EXPECT_NE(test::ReadFile(first).find("Setpoints.Float,1,40012,FLOAT"), std::string::npos);
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_TRUE(asked[1].first);
    EXPECT_FALSE(asked[2].first);

    // Cancel (an empty answer) changes nothing.
    answer.clear();
    EXPECT_TRUE(Main().RunCommand(kCmdRestore));
    EXPECT_EQ(ChildTitles(), titles);
}

TEST_F(FrameDialogsTest, TheRealFileDialogTakesATypedNameAndAsksBeforeReplacing) {
    Connect();
    ASSERT_NE(OpenGroup("Typed"), nullptr);
    const std::string path = (dir_ / "typed.csv").string();
    auto typeName = [&](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(dialog, nullptr);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(path));
        QTimer::singleShot(0, dialog, [dialog] { QMetaObject::invokeMethod(dialog, "accept"); });
    };
    ModalScript first;
    first.On("saveDialog", typeName);
    Run(kCmdSave, first);
    ASSERT_TRUE(fs::exists(path));
    EXPECT_NE(test::ReadFile(path).find("Typed,1000"), std::string::npos);

    // Saving over it asks first; "No" leaves the file alone.
    test::WriteFile(path, "keep");
    ModalScript again;
    again.On("saveDialog", typeName);
    again.On("", [](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        QTimer::singleShot(0, box->button(QMessageBox::No), &QAbstractButton::click);
    });
    again.On("saveDialog", [](QWidget* w) { QTimer::singleShot(0, w, [w] { static_cast<QDialog*>(w)->reject(); }); });
    Run(kCmdSave, again);
    EXPECT_EQ(test::ReadFile(path), "keep");
}

// ---------------------------------------------------------------------------
// About and Help

TEST_F(FrameDialogsTest, HelpTopicsFromTheMenuAndF1) {
    ModalScript script;
    script.On("helpDlg", [](QWidget* w) {
        EXPECT_EQ(w->windowTitle(), "Help Topics");
        const QString text = Child<QTextBrowser>(w, "helpText")->toPlainText();
        for (const char* topic : {"Modbus", "Configuration file", "Command line", "velmarc.cfg", "--headless"})
            EXPECT_TRUE(text.contains(QLatin1String(topic))) << topic;
        ModalScript::Click(w, "okButton");
    });
    Run(kCmdHelpTopics, script);

    // The offscreen platform delivers no key to the shortcut map: fire the
    // program's shortcuts for F1 and Shift+F1 as the map would.
    std::vector<QKeySequence> keys;
    for (QShortcut* shortcut : Main().findChildren<QShortcut*>()) {
        keys.push_back(shortcut->key());
        ModalScript viaKey;
        viaKey.On("helpDlg", [](QWidget* w) { ModalScript::Click(w, "okButton"); });
        emit shortcut->activated();
        EXPECT_TRUE(viaKey.Done()) << shortcut->key().toString().toStdString();
    }
    EXPECT_EQ(keys, (std::vector<QKeySequence>{QKeySequence(Qt::Key_F1), QKeySequence(Qt::SHIFT | Qt::Key_F1)}));
}

// ---------------------------------------------------------------------------
// The Modbus traffic window

class TrafficTest : public FrameDialogsTest {
protected:
    void SetUp() override {
        FrameDialogsTest::SetUp();
        ASSERT_TRUE(Main().RunCommand(kCmdConnectTcp));
        window_ = windows_->FrameWindows().TrafficWindow();
        master_ = modbus_new_tcp("127.0.0.1", tcpPort_);
        ASSERT_NE(master_, nullptr);
        // The server listens once its service thread is up.
        ASSERT_TRUE(WaitUntil([&] { return modbus_connect(master_) == 0; }));
        modbus_set_slave(master_, 1);
    }
    void OpenWindow() {
        ASSERT_TRUE(Main().RunCommand(kCmdTraffic));
        ASSERT_TRUE(window_->isVisible());
        // A click on the link's row, as the operator chooses it.
        window_->Tick();
        QTableWidget* table = window_->LinkTable();
        ASSERT_EQ(table->rowCount(), 1);
        const QPoint at = table->visualItemRect(table->item(0, 1)).center();
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent click(type, at, table->viewport()->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(table->viewport(), &click);
        }
        ASSERT_EQ(window_->Follower().Handle(), PELLACOR_TCP_HANDLE);
    }
    void TearDown() override {
        if (master_ != nullptr) {
            modbus_close(master_);
            modbus_free(master_);
        }
        FrameDialogsTest::TearDown();
    }
    std::string Cell(int row, int column) { return window_->LinkTable()->item(row, column)->text().toStdString(); }
    std::vector<std::string> Decoded() {
        std::vector<std::string> texts;
        for (const TrafficLine& line : window_->Shown().Lines()) texts.push_back(line.decoded.text);
        return texts;
    }

    CTrafficWnd* window_ = nullptr;
    modbus_t* master_ = nullptr;
};

TEST_F(TrafficTest, RequestAndReplyShowWithTheirDirectionAndTheCountersMove) {
    OpenWindow();
    uint16_t word = 0;
    modbus_read_registers(master_, 0, 1, &word); // no block: an exception reply is traffic too
    ASSERT_TRUE(WaitUntil([&] {
        window_->Tick();
        return window_->Follower().Lines().size() >= 2;
    }));
    const auto& lines = window_->Follower().Lines();
    // Transaction id, protocol 0, length 6, unit 1, function 3, address 0, count 1.
    EXPECT_EQ(lines[0].text.substr(0, 2), "RX");
    EXPECT_EQ(lines[0].text.substr(8), " 00 00 00 06 01 03 00 00 00 01");
    EXPECT_TRUE(lines[0].received);
    EXPECT_EQ(lines[1].text.substr(0, 2), "TX");
    EXPECT_EQ(lines[1].text.substr(8, 15), " 00 00 00 03 01") << lines[1].text;
    EXPECT_FALSE(lines[1].received);
    ASSERT_EQ(window_->Shown().Lines().size(), 2u);
    const QAbstractItemModel* shown = window_->FrameView()->model();
    EXPECT_EQ(shown->index(0, CTrafficLines::kDirection).data().toString().toStdString(), "RX");
    EXPECT_EQ(shown->index(0, CTrafficLines::kDecoded).data().toString().toStdString(),
              "slave 1, Read Holding Registers, address 0, count 1");
    EXPECT_EQ(shown->index(1, CTrafficLines::kDecoded).data().toString().toStdString(),
              "slave 1, Read Holding Registers, exception 2 Illegal Data Address");

    ASSERT_EQ(window_->LinkTable()->rowCount(), 1);
    EXPECT_EQ(Cell(0, 0), "Modbus/TCP");
    EXPECT_TRUE(WaitUntil([&] {
        window_->Tick();
        return Cell(0, 1) != "0" || Cell(0, 2) != "0";
    }));
    Child<QPushButton>(window_, "resetButton")->click();
    EXPECT_EQ(Cell(0, 1), "0");
    EXPECT_EQ(Cell(0, 2), "0");

    // Paused, nothing new is shown.
    window_->SetPaused(true);
    const size_t before = window_->Follower().Lines().size();
    modbus_read_registers(master_, 0, 1, &word);
    test::RunFor(std::chrono::milliseconds(250));
    EXPECT_EQ(window_->Follower().Lines().size(), before);
    window_->SetPaused(false);
    EXPECT_TRUE(WaitUntil([&] { return window_->Follower().Lines().size() > before; }));

    window_->close();
    EXPECT_FALSE(window_->isVisible());
}

// Frames that passed while the window was closed are shown, decoded and
// dated, as soon as it opens on the first link; the filter picks frames by
// slave and function; Save writes the shown lines and, for Modbus/TCP, a
// capture file.
TEST_F(TrafficTest, OpensOnTheFirstLinkWithEarlierFramesThenFiltersAndSaves) {
    uint16_t word = 0;
    const int64_t start = QDateTime::currentMSecsSinceEpoch();
    modbus_read_registers(master_, 0, 1, &word);
    modbus_set_slave(master_, 7);
    modbus_write_register(master_, 4, 0xBEEF);
    ASSERT_TRUE(Main().RunCommand(kCmdTraffic));
    ASSERT_TRUE(window_->isVisible());
    ASSERT_EQ(window_->Follower().Handle(), PELLACOR_TCP_HANDLE) << "the first link is selected";
    ASSERT_TRUE(WaitUntil([&] {
        window_->Tick();
        return window_->Shown().Lines().size() >= 4;
    }));
    const std::vector<std::string> all = {
        "slave 1, Read Holding Registers, address 0, count 1",
        "slave 1, Read Holding Registers, exception 2 Illegal Data Address",
        "slave 7, Write Single Register, address 4, value 48879",
        "slave 7, Write Single Register, exception 2 Illegal Data Address",
    };
    EXPECT_EQ(Decoded(), all);
    for (const TrafficLine& line : window_->Shown().Lines()) {
        EXPECT_GE(line.timeMs, start - 1000) << line.text;
        EXPECT_LE(line.timeMs, QDateTime::currentMSecsSinceEpoch() + 1000) << line.text;
    }

    struct Filter {
        int slave, function;
        std::vector<std::string> shown;
    } const filters[] = {
        {7, -1, {all[2], all[3]}},
        {-1, 3, {all[0], all[1]}},
        {1, 6, {}},
        {-1, -1, all},
    };
    for (const Filter& f : filters) {
        SCOPED_TRACE(std::to_string(f.slave) + " " + std::to_string(f.function));
        window_->SetFilter(f.slave, f.function);
        EXPECT_EQ(Decoded(), f.shown);
    }

    window_->SetFilter(7, -1);
    const fs::path dir = dir_ / "saved";
    fs::create_directory(dir);
    const auto written = window_->SaveTo((dir / "traffic.txt").string());
    ASSERT_EQ(written, (std::vector<std::string>{(dir / "traffic.txt").string(), (dir / "traffic.pcap").string()}));
    std::ifstream text(dir / "traffic.txt");
    std::vector<std::string> saved;
    for (std::string line; std::getline(text, line);) saved.push_back(line);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d  RX  00 02 00 00 00 06 07 06 00 04 BE EF  "
                                                  "slave 7, Write Single Register, address 4, value 48879$"))
                    .match(QString::fromStdString(saved[0]))
                    .hasMatch())
        << saved[0];
    EXPECT_GT(fs::file_size(dir / "traffic.pcap"), 24u);
}

TEST_F(TrafficTest, ALoadedLinkKeepsTheWindowBounded) {
    OpenWindow();
    std::atomic<bool> stop{false};
    std::atomic<int> done{0};
    std::thread load([&] {
        modbus_t* m = modbus_new_tcp("127.0.0.1", tcpPort_);
        if (m == nullptr || modbus_connect(m) != 0) return;
        modbus_set_slave(m, 1);
        uint16_t words[10];
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
        for (int i = 0; i < 20000 && !stop && std::chrono::steady_clock::now() < end; ++i) {
            modbus_read_registers(m, 0, 10, words);
            ++done;
        }
        modbus_close(m);
        modbus_free(m);
    });
    // Ticks as often as the event loop turns, far more than the timer would.
    size_t most = 0;
    const bool enough = WaitUntil(
        [&] {
            window_->Tick();
            most = std::max(most, window_->Follower().Lines().size());
            return done.load() >= 4000 && most >= static_cast<size_t>(CTrafficWnd::kMaxLines);
        },
        std::chrono::seconds(10));
    stop = true;
    load.join();
    ASSERT_TRUE(enough) << done.load();
    window_->Tick();
    // Full, and never beyond its cap.
    EXPECT_EQ(most, static_cast<size_t>(CTrafficWnd::kMaxLines));
    EXPECT_EQ(window_->Shown().Lines().size(), static_cast<size_t>(CTrafficWnd::kMaxLines));
}

} // namespace
} // namespace quorvane
