// The window layer on the offscreen platform with the real libraries and the
// simulation OPC server: the menus of both menu sets and their enable states,
// group windows that follow the model, and the item-list view with its
// repaint bridge.
#include "gui_support.h"
#include "../../support/fault_proxy.h"
#include "windows/child_frame.h"

#include <QAbstractSlider>
#include <QEventLoop>
#include <QTimer>
#include <QAction>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollBar>
#include <QToolTip>

#include <chrono>
#include <filesystem>
#include <thread>

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using test::ClickRow;
using test::WaitUntil;
namespace fs = std::filesystem;

// The visible entries of the menu bar as "menu/submenu/text".
std::vector<std::string> MenuTree(QMenuBar* bar) {
    std::vector<std::string> tree;
    std::function<void(QMenu*, const std::string&)> walk = [&](QMenu* menu, const std::string& prefix) {
        for (QAction* action : menu->actions()) {
            if (!action->isVisible()) continue;
            const std::string path = prefix + "/" + action->text().toStdString();
            if (action->menu() != nullptr)
                walk(action->menu(), path);
            else
                tree.push_back(path);
        }
    };
    for (QAction* top : bar->actions())
        if (top->isVisible() && top->menu() != nullptr) walk(top->menu(), top->text().toStdString());
    return tree;
}

std::vector<std::string> ModbusEntries() {
    std::vector<std::string> entries;
    for (const char* what : {"&Connect", "&Disconnect"}) {
        for (int port = 1; port <= 9; ++port)
            entries.push_back(std::string("&Modbus/") + what + "/COMM &" + std::to_string(port));
        entries.push_back(std::string("&Modbus/") + what + "/Modbus/TCP");
    }
    entries.push_back("&Modbus/&Traffic");
    return entries;
}

class WindowsTest : public test::ProgramTest {
  protected:
    WindowsTest() : ProgramTest("windows") {}
    // The port entries open their port at once (no setup dialog); every
    // other dialog command only records that it ran.
    void RegisterEveryDialog() {
        RegisterStandardHandlers(windows_->Handlers());
        for (uint16_t id : {kCmdServerConnect, kCmdServerStatus, kCmdGroupAdd, kCmdItemAdd, kCmdItemWrite, kCmdPrint,
                            kCmdPrintPreview, kCmdPrintSetup, kCmdHelpTopics})
            windows_->Handlers().Register(id, {});
        for (const CommandEntry& entry : CommandTable())
            if (!windows_->Handlers().Has(entry.id))
                windows_->Handlers().Register(
                    entry.id, [this, id = entry.id](const CommandContext&) { ran_.push_back(id); });
    }

    std::vector<uint16_t> ran_;
};

TEST_F(WindowsTest, MenuTreesOfBothMenuSets) {
    std::vector<std::string> main = {"&File/&Restore",           "&File/E&xit",
                                     "OPC&Server/&Connect",      "OPC&Server/&Disconnect",
                                     "OPC&Server/&Svr Status",   "OPC&Server/&Group/&Add",
                                     "OPC&Server/&Group/&Remove", "OPC&Server/OPC API &Log"};
    const std::vector<std::string> help = {"&Help/&Help Topics", "&Help/&About Quorvane..."};
    for (const auto& e : ModbusEntries())
        main.push_back(e);
    main.insert(main.end(), help.begin(), help.end());
    EXPECT_EQ(MenuTree(Main().menuBar()), main);
    EXPECT_EQ(Main().windowTitle(), "Quorvane");

    // A menu that opens asks the rules again: the connection was made
    // behind its back.
    RegisterEveryDialog();
    Main().UpdateMenus();
    QMenu* server = Main().findChild<QMenu*>("menuOPCServer");
    ASSERT_NE(server, nullptr);
    EXPECT_FALSE(Main().Action(kCmdServerStatus)->isEnabled());
    Connect();
    server->popup(QPoint(10, 10));
    EXPECT_TRUE(WaitUntil([&] { return server->isVisible(); }));
    EXPECT_FALSE(Main().Action(kCmdServerConnect)->isEnabled());
    EXPECT_TRUE(Main().Action(kCmdServerStatus)->isEnabled());
    server->hide();
    // Ctrl+P reaches its action while no group window is open; the rule
    // stops it there.
    EXPECT_EQ(Main().Action(kCmdPrint)->shortcut(), QKeySequence(QStringLiteral("Ctrl+P")));
    Main().Action(kCmdPrint)->trigger();
    EXPECT_TRUE(ran_.empty());

    OpenGroup("Line1", 1);
    std::vector<std::string> group = {
        "&File/&Save",          "&File/&Restore",        "&File/&Print...\tCtrl+P",
        "&File/Print Pre&view", "&File/Print Set&up...", "&File/E&xit"};
    group.insert(group.end(), main.begin() + 2, main.begin() + 8);
    for (const char* item : {"&Item/&Add", "&Item/&Remove", "&Item/&Write"})
        group.push_back(item);
    for (const auto& e : ModbusEntries())
        group.push_back(e);
    group.insert(group.end(), help.begin(), help.end());
    EXPECT_EQ(MenuTree(Main().menuBar()), group);
    EXPECT_EQ(Main().windowTitle(), "Quorvane - GROUP: Line1 (Update Rate = 1000)");
}

// Each step changes the state; the listed commands must then be enabled or
// grayed exactly so.
TEST_F(WindowsTest, EnableStatesFollowConnectionGroupsSelectionAndLinks) {
    RegisterEveryDialog();
    const test::PseudoPort com3Device(3);
    ASSERT_TRUE(com3Device.Open());
    CChildFrame* child = nullptr;
    const uint16_t com3 = kCmdConnectCom1 + 2, closeCom3 = kCmdDisconnectCom1 + 2;

    struct Step {
        const char* name;
        std::function<void()> act;
        std::vector<uint16_t> enabled, grayed;
    } steps[] = {
        {"not connected",
         [] {},
         {kCmdRestore, kCmdExit, kCmdServerConnect, com3, kCmdConnectTcp, kCmdAbout},
         {kCmdSave, kCmdServerDisconnect, kCmdServerStatus, kCmdGroupAdd, kCmdGroupRemove, closeCom3,
          kCmdDisconnectTcp, kCmdItemAdd}},
        {"connected, no groups",
         [&] { Connect(); },
         {kCmdServerDisconnect, kCmdServerStatus, kCmdGroupAdd},
         {kCmdServerConnect, kCmdGroupRemove, kCmdPrint}},
        {"group without selection",
         [&] { child = OpenGroup("G", 2); },
         {kCmdSave, kCmdPrint, kCmdGroupAdd, kCmdGroupRemove, kCmdItemAdd, kCmdServerStatus},
         {kCmdServerDisconnect, kCmdServerConnect, kCmdItemRemove, kCmdItemWrite}},
        {"group with selection", [&] { ClickRow(child->View(), 1); }, {kCmdItemRemove, kCmdItemWrite}, {}},
        {"selection past the last item after a removal",
         [&] { EXPECT_TRUE(Main().RunCommand(kCmdItemRemove)); },
         {kCmdItemAdd},
         {kCmdItemRemove, kCmdItemWrite}},
        {"COM3 open", [&] { EXPECT_TRUE(Main().RunCommand(com3)); }, {closeCom3}, {com3}},
        {"COM3 closed", [&] { EXPECT_TRUE(Main().RunCommand(closeCom3)); }, {com3}, {closeCom3}},
        {"TCP open",
         [&] { EXPECT_TRUE(Main().RunCommand(kCmdConnectTcp)); },
         {kCmdDisconnectTcp},
         {kCmdConnectTcp}},
        {"group closed",
         [&] { EXPECT_TRUE(Main().RunCommand(kCmdGroupRemove)); },
         {kCmdServerDisconnect, kCmdDisconnectTcp},
         {kCmdGroupRemove, kCmdItemAdd, kCmdSave}},
    };
    for (Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        Main().UpdateMenus();
        for (uint16_t id : step.enabled) {
            EXPECT_TRUE(Main().IsAvailable(id)) << id;
            EXPECT_TRUE(Main().Action(id)->isEnabled()) << id;
        }
        for (uint16_t id : step.grayed) {
            EXPECT_FALSE(Main().IsAvailable(id)) << id;
            EXPECT_FALSE(Main().RunCommand(id)) << id;
        }
    }
    EXPECT_TRUE(ran_.empty()) << "a grayed command ran";
    EXPECT_EQ(app_->Model().Groups()->size(), 0u);
    EXPECT_TRUE(shown_.empty()) << shown_.front();

    // A port that cannot be opened from the menu says why.
    SetPortDevice(5, (dir_ / "no-such-tty").c_str());
    EXPECT_TRUE(Main().RunCommand(kCmdConnectCom1 + 4));
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0], "COM5 could not be opened: No such file or directory");
    SetPortDevice(5, nullptr);
}

TEST_F(WindowsTest, GroupWindowsFollowRestoresAndCloseTheirGroups) {
    const std::string demo = std::string(QV_SOURCE_DIR) + "/examples/demo.csv";
    app_->RestoreFrom(demo);
    std::vector<CChildFrame*> first = Main().Children();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0]->windowTitle(), "GROUP: Line1 (Update Rate = 1000)");
    EXPECT_EQ(first[1]->windowTitle(), "GROUP: Setpoints (Update Rate = 500)");
    EXPECT_EQ(Main().windowTitle(), "Quorvane - GROUP: Setpoints (Update Rate = 500)");

    std::vector<QPointer<CChildFrame>> old(first.begin(), first.end());
    app_->RestoreFrom(demo);
    EXPECT_TRUE(WaitUntil([&] { return !old[0] && !old[1]; })) << "the first windows stay";
    ASSERT_EQ(Main().Children().size(), 2u);
    EXPECT_EQ(Main().MdiArea()->subWindowList().size(), 2);
    EXPECT_EQ(app_->Model().Groups()->size(), 2u);

    // Closing the Line1 window removes its group and frees its blocks (its
    // coils, inputs and input registers are the only ones of their types).
    const size_t blocks = app_->Model().PointMap().BlockCount();
    QPointer<CChildFrame> line1 = Main().Children()[0];
    line1->close();
    EXPECT_TRUE(WaitUntil([&] { return !line1; }));
    ASSERT_EQ(app_->Model().Groups()->size(), 1u);
    EXPECT_EQ(app_->Model().Groups()->front()->Name(), "Setpoints");
    EXPECT_LT(app_->Model().PointMap().BlockCount(), blocks);
    EXPECT_TRUE(shown_.empty());

    // Closing the main window shuts down once: a second close changes nothing.
    Main().close();
    EXPECT_EQ(app_->Model().Groups()->size(), 0u);
    EXPECT_EQ(fs::file_size(dir_ / "velmarc.cfg"), 189u);
    fs::remove(dir_ / "velmarc.cfg");
    Main().show();
    Main().close();
    EXPECT_FALSE(fs::exists(dir_ / "velmarc.cfg"));
}

// The text in the value column of the row that shows `itemId`.
std::string ValueOf(const DrawList& list, const std::string& itemId) {
    const auto texts = list.Texts();
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string& t = texts[i]->text;
        if (t.size() >= itemId.size() && t.compare(t.size() - itemId.size(), itemId.size(), itemId) == 0) {
            for (const DrawEntry* other : texts)
                if (other->y1 == texts[i]->y1 && other->x1 > texts[i]->x1) return other->text;
        }
    }
    return "";
}

TEST_F(WindowsTest, SimulationValuesChangeOnScreen) {
    app_->RestoreFrom(std::string(QV_SOURCE_DIR) + "/examples/demo.csv");
    ASSERT_EQ(Main().Children().size(), 2u);
    CQuorvaneView* view = Main().Children()[0]->View();
    std::string first;
    ASSERT_TRUE(WaitUntil([&] {
        first = ValueOf(view->LastDrawList(), "Channel1.Device1.Temp");
        return !first.empty() && first != "????? ";
    }));
    EXPECT_TRUE(
        WaitUntil([&] { return ValueOf(view->LastDrawList(), "Channel1.Device1.Temp") != first; }, 2000ms))
        << first;
}

TEST_F(WindowsTest, ViewSelectsScrollsAndEditsThroughTheRegistry) {
    Connect();
    CChildFrame* child = OpenGroup("Five", 5);
    CQuorvaneView* view = child->View();
    QScrollBar* bar = view->verticalScrollBar();
    EXPECT_EQ(bar->maximum(), 200);

    // Scroll codes through the bar: a page down clamps to count - 1, and the
    // box shows the top row.
    struct Scroll {
        QAbstractSlider::SliderAction action;
        int top;
    } scrolls[] = {{QAbstractSlider::SliderPageStepAdd, 4},
                   {QAbstractSlider::SliderSingleStepSub, 3},
                   {QAbstractSlider::SliderPageStepSub, 0},
                   {QAbstractSlider::SliderToMaximum, 0}};
    for (const Scroll& s : scrolls) {
        bar->triggerAction(s.action);
        EXPECT_EQ(view->ListState().topRow, s.top) << s.action;
        EXPECT_EQ(bar->value(), s.top) << s.action;
    }

    // The selected row paints black across the view, the next one white.
    ClickRow(view, 0);
    EXPECT_EQ(view->SelectedRow(), 0);
    const int before = view->PaintCount();
    ASSERT_TRUE(WaitUntil([&] { return view->PaintCount() > before; }));
    const QImage image = view->viewport()->grab().toImage();
    const int h = view->ListState().lineHeight;
    const int x = view->viewport()->width() - 3;
    EXPECT_EQ(image.pixelColor(x, h + 1 + h / 2), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(x, h + 1 + h + h / 2), QColor(Qt::white));
    ASSERT_NE(view->LastDrawList().SelectionFill(), nullptr);

    // A double click on an item runs the mapping edit with this view; in the
    // header it clears the selection and runs nothing.
    std::vector<CQuorvaneView*> edited;
    windows_->Handlers().Register(kCmdEditItemMapping,
                                  [&](const CommandContext& c) { edited.push_back(c.view); });
    ClickRow(view, 0, QEvent::MouseButtonDblClick);
    ClickRow(view, -1);
    ClickRow(view, -1, QEvent::MouseButtonDblClick);
    ASSERT_EQ(edited.size(), 1u);
    EXPECT_EQ(edited[0], view);
    EXPECT_EQ(view->SelectedRow(), -1);
}

// Whether a row's band of the painted list holds a pixel of `color`'s hue:
// the text's strokes, whatever the antialiasing made of their edges.
bool RowHasInk(const QImage& image, int top, int height, const QColor& color) {
    for (int y = top; y < top + height && y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == color) return true;
    return false;
}

// A bad and an uncertain value are painted red and amber, a good one in the
// text colour; the tooltip names the server's status. The colours stand out
// from the background in a light and in a dark palette alike.
TEST_F(WindowsTest, QualityShowsInTheRowColourAndTheTooltip) {
    Connect();
    CChildFrame* child = OpenGroup("Quality", 3);
    CQuorvaneView* view = child->View();
    CQuorvaneDoc& doc = *child->Doc();
    ASSERT_TRUE(WaitUntil([&] {
        ItemState s;
        return doc.ReadItem(2, &s) && s.quality == 192;
    }));
    struct Row {
        uint32_t quality;
        const char* status;
        uint32_t flag;
    } rows[] = {{192, "", 0}, {0, "BadNodeIdUnknown", kDrawBad}, {64, "UncertainLastUsableValue", kDrawUncertain}};
    for (int i = 0; i < 3; ++i) {
        ItemState s;
        ASSERT_TRUE(doc.ReadItem(i, &s));
        doc.OnDataChange(s.itemHandle, s.value.Get(), FileTimeNow(), rows[i].quality, rows[i].status);
    }
    const int before = view->PaintCount();
    ASSERT_TRUE(WaitUntil([&] { return view->PaintCount() > before; }));
    const QImage image = view->viewport()->grab().toImage();
    const int h = view->ListState().lineHeight;
    for (int i = 0; i < 3; ++i) {
        const int top = RowTop(i, h);
        for (uint32_t flag : {uint32_t{kDrawBad}, uint32_t{kDrawUncertain}})
            EXPECT_EQ(RowHasInk(image, top, h, view->TextColor(flag)), flag == rows[i].flag) << i << " " << flag;
        if (rows[i].flag == 0) {
            EXPECT_TRUE(RowHasInk(image, top, h, view->TextColor(kDrawNormal))) << i;
        }
        const std::string tip = view->ToolTipAt(top + h / 2).toStdString();
        EXPECT_NE(tip.find(rows[i].flag == kDrawBad ? "Quality: Bad" : rows[i].flag ? "Quality: Uncertain"
                                                                                      : "Quality: Good"),
                  std::string::npos)
            << tip;
        if (*rows[i].status) {
            EXPECT_NE(tip.find(std::string("Status: ") + rows[i].status), std::string::npos) << tip;
        }
    }
    EXPECT_TRUE(view->ToolTipAt(h / 2).isEmpty()); // the header has none

    // The tooltip event shows the same text.
    const QPoint at(5, RowTop(1, h) + h / 2);
    QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(view->viewport(), &help);
    EXPECT_NE(QToolTip::text().toStdString().find("BadNodeIdUnknown"), std::string::npos);
    QToolTip::hideText();

    // Light and dark palettes: every row colour, on its row's background, is
    // far from it in lightness.
    const auto lightness = [](const QColor& c) { return (c.red() * 299 + c.green() * 587 + c.blue() * 114) / 1000; };
    for (const auto& [base, text] : {std::pair{QColor(Qt::white), QColor(Qt::black)},
                                     std::pair{QColor(0x20, 0x20, 0x20), QColor(0xE0, 0xE0, 0xE0)}}) {
        QPalette palette = view->viewport()->palette();
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::Text, text);
        view->viewport()->setPalette(palette);
        for (uint32_t flag : {uint32_t{kDrawNormal}, uint32_t{kDrawBad}, uint32_t{kDrawUncertain}}) {
            EXPECT_GT(std::abs(lightness(view->TextColor(flag)) - lightness(base)), 90) << base.name().toStdString();
            EXPECT_GT(std::abs(lightness(view->TextColor(flag | kDrawInverted)) - lightness(text)), 90)
                << base.name().toStdString();
        }
    }
}

// The keys move the selection; Enter runs the mapping edit as a double
// click does and Delete runs Item Remove, with its rule.
TEST_F(WindowsTest, KeysSelectEditAndRemove) {
    Connect();
    CChildFrame* child = OpenGroup("Keys", 5);
    CQuorvaneView* view = child->View();
    std::vector<CQuorvaneView*> edited;
    windows_->Handlers().Register(kCmdEditItemMapping, [&](const CommandContext& c) { edited.push_back(c.view); });
    const auto press = [&](Qt::Key key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &event);
    };
    struct Step {
        Qt::Key key;
        int selected;
        int count;
        size_t edits;
    } steps[] = {
        {Qt::Key_Return, -1, 5, 0}, // nothing selected: no edit
        {Qt::Key_Delete, -1, 5, 0}, // and nothing removed
        {Qt::Key_Down, 0, 5, 0},    {Qt::Key_End, 4, 5, 0},   {Qt::Key_Up, 3, 5, 0},
        {Qt::Key_Home, 0, 5, 0},    {Qt::Key_PageDown, 4, 5, 0}, {Qt::Key_PageUp, 0, 5, 0},
        {Qt::Key_Enter, 0, 5, 1},   {Qt::Key_Return, 0, 5, 2},
        {Qt::Key_Delete, 0, 4, 2},  // the selection stays on its index
        {Qt::Key_End, 3, 4, 2},     {Qt::Key_Delete, 3, 3, 2}, // now past the end
        {Qt::Key_Delete, 3, 3, 2},  // Item Remove is disabled: nothing happens
    };
    for (const Step& s : steps) {
        press(s.key);
        EXPECT_EQ(view->SelectedRow(), s.selected) << s.key;
        EXPECT_EQ(child->Doc()->Count(), s.count) << s.key;
        EXPECT_EQ(edited.size(), s.edits) << s.key;
    }
    EXPECT_EQ(view->verticalScrollBar()->value(), view->ListState().topRow);
}

// File messages keep their text and carry the file and the system's reason
// beneath it. A file without read permission bites only for a user other
// than root, whom permissions do not stop.
TEST_F(WindowsTest, FileMessagesNameTheFileAndTheReason) {
    const std::string missing = (dir_ / "missing.csv").string();
    const std::string locked = (dir_ / "locked.csv").string();
    test::WriteFile(dir_ / "locked.csv", "\r\n[MODBUS]\r\n");
    fs::permissions(dir_ / "locked.csv", fs::perms::none);
    const bool root = ::geteuid() == 0;
    struct Case {
        const char* what;
        std::function<void()> run;
        std::string text, cause;
    } cases[] = {
        {"missing", [&] { app_->RestoreFrom(missing); }, "File Open Error", missing + ": No such file or directory"},
        {"folder", [&] { app_->RestoreFrom(dir_.Path().string()); }, "File Open Error", dir_.Path().string() + ": Is a directory"},
        {"locked", [&] { app_->RestoreFrom(locked); }, root ? "" : "File Open Error",
         root ? "" : locked + ": Permission denied"},
        {"save", [&] { app_->Save((dir_ / "no" / "such.csv").string()); }, "File Creation Error",
         (dir_ / "no" / "such.csv").string() + ": No such file or directory"},
    };
    for (const Case& c : cases) {
        shown_.clear();
        causes_.clear();
        c.run();
        if (c.text.empty()) {
            EXPECT_TRUE(shown_.empty()) << c.what; // root reads it
            continue;
        }
        ASSERT_EQ(shown_.size(), 1u) << c.what;
        EXPECT_EQ(shown_[0], c.text) << c.what;
        EXPECT_EQ(causes_[0], c.cause) << c.what;
    }
    fs::permissions(dir_ / "locked.csv", fs::perms::owner_all);

    // The box itself: the text, the cause beneath it, and a caption that fits.
    auto box = MakeMessageBox(nullptr, QStringLiteral("Quorvane"), QStringLiteral("File Open Error"),
                              QString::fromStdString(cases[0].cause));
    box->show();
    EXPECT_EQ(box->text(), QStringLiteral("File Open Error"));
    EXPECT_EQ(box->informativeText().toStdString(), cases[0].cause);
    EXPECT_GE(box->width(), CaptionWidth(box.get()));
}

// Notifications come from the data-change thread: however many arrive while
// the user-interface thread is busy, one repaint is pending.
TEST_F(WindowsTest, ManyNotificationsFromAnotherThreadCostFewPaints) {
    Connect();
    CChildFrame* child = OpenGroup("Quiet", 0); // no items: no data changes of its own
    CQuorvaneView* view = child->View();
    ASSERT_TRUE(WaitUntil([&] { return view->PaintCount() > 0; }));
    test::RunFor(100ms);
    const int before = view->PaintCount();
    const int bridged = view->BridgedRepaints();
    std::thread sender([&] {
        for (int i = 0; i < 10000; ++i)
            view->OnGroupChanged(*child->Doc(), i % 2 ? GroupChange::Values : GroupChange::Items);
    });
    sender.join();
    EXPECT_TRUE(WaitUntil([&] { return view->PaintCount() > before; }));
    test::RunFor(200ms);
    EXPECT_EQ(view->BridgedRepaints() - bridged, 1);
    EXPECT_LE(view->PaintCount() - before, 2);

    // A master's write that the refresh flushes to the server shows at once
    // (the item has no source at the server that would repaint it).
    PointMapping mapping;
    child->Doc()->AddRestoredItem("No.Such.Item", mapping);
    test::RunFor(100ms);
    const int flushed = view->BridgedRepaints();
    app_->Model().ApplySlaveWrite(1, mapping.pointType, mapping.address, 7);
    app_->Model().FlushAllPendingWrites();
    EXPECT_TRUE(WaitUntil([&] { return view->BridgedRepaints() > flushed; }, 1000ms));
}

// A server that takes the connection and then never answers: the restore of
// a file that names it, the waits for it and Server Status never hold up the
// event loop, while the groups are there at once and the status says why the
// gateway waits.
TEST_F(WindowsTest, EventLoopKeepsTurningWhileTheFilesServerIsBlackholed) {
    test::FaultProxy proxy(test::FreeLoopbackPort()); // nothing behind it: it never answers anyway
    ASSERT_TRUE(proxy.Start());
    proxy.Blackhole();
    const fs::path file = dir_ / "blackholed.csv";
    test::WriteFile(file.string(), "\r\n[SERVER]\r\nLOCAL MACHINE\r\n" + proxy.Url() +
                                       "\r\n\r\n[GROUP1]\r\nPlant,500,0.000000\r\nns=1;s=Static.Int16,1,40001,SHORT\r\n");

    using Clock = std::chrono::steady_clock;
    const auto restoring = Clock::now();
    app_->RestoreFrom(file.string());
    Clock::duration longest = Clock::now() - restoring;
    EXPECT_NE(app_->Model().ServerHandle(), -1);
    EXPECT_NE(Main().ActiveChild(), nullptr) << "the group waits for the server in its window";

    // Turns of the loop for 3 s (a connect attempt's time limit and more),
    // asking for the server's status now and then as the operator would.
    QEventLoop loop;
    QTimer tick;
    auto last = Clock::now();
    int turns = 0;
    std::optional<ServerStatusText> status;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        longest = std::max(longest, now - last);
        if (++turns % 50 == 0) status = app_->ServerStatusCommand();
        last = Clock::now();
    });
    tick.start(10);
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    tick.stop();

    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count(), 100) << turns << " turns";
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->vendorInfo.rfind("waiting for " + proxy.Url() + ": ", 0), 0u) << status->vendorInfo;
}

} // namespace
} // namespace quorvane
