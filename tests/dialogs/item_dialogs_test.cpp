// The item dialogs offscreen: the point mapping dialog's button rule, overlap
// question and validation; the tag browser on the simulation servers and on
// fake ones; nested modal dialogs from Item Add to a master reading the new
// point; Item Write; the printed pages as PDF and in the preview.
#include "child_frame.h"
#include "dialog_kit.h"
#include "item_commands.h"
#include "item_print.h"
#include "item_printing.h"
#include "message_boxes.h"
#include "point_map_dlg.h"
#include "tag_browser_dlg.h"
#include "windowed.h"

#include "../model/fake_services.h"
#include "../support/loopback.h"
#include "gui_support.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPushButton>
#include <QTreeWidget>

#include <map>
#include <regex>

namespace quorvane {
namespace {

using test::ModalScript;
using test::WaitUntil;

template <typename T = QWidget> T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::GuiApp();
        ASSERT_TRUE(test::FontHasGlyphs()) << "install fonts-dejavu-core";
        SetFieldMessageObserver([this](QLineEdit* box, const QString& text) {
            fieldMessages_.push_back({box->objectName().toStdString(), text.toStdString()});
        });
    }
    void TearDown() override { SetFieldMessageObserver({}); }
    std::vector<std::pair<std::string, std::string>> fieldMessages_; // box, message
};

// ---------------------------------------------------------------------------
// Point mapping dialog

class PointMapTest : public GuiTest {
protected:
    // A dialog opened on `mapping`, asking overlaps of `overlapAnswer`.
    std::unique_ptr<CPointMapDlg> Open(const PointMapping& mapping, int newItem, int overlapAnswer = 0,
                                       bool mapAnyway = false) {
        auto dlg = std::make_unique<CPointMapDlg>([this, overlapAnswer](uint8_t s, int32_t t, uint16_t a, int c) {
            asked_.push_back({s, t, a, c});
            return overlapAnswer;
        });
        dlg->SetConfirmFunction([this, mapAnyway](QWidget*) {
            ++warnings_;
            return mapAnyway;
        });
        dlg->SetMapping(mapping);
        dlg->newItem = newItem;
        dlg->show();
        return dlg;
    }
    static void Type(CPointMapDlg& dlg, const char* box, const QString& text) {
        Child<QLineEdit>(&dlg, box)->setText(text);
    }
    static std::string Checked(CPointMapDlg& dlg) {
        std::string checked;
        for (const char* name : {"booleanButton", "shortButton", "floatButton", "unsignedButton", "scaledButton"})
            if (Child<QAbstractButton>(&dlg, name)->isChecked()) checked += name;
        return checked;
    }
    static std::string Enabled(CPointMapDlg& dlg) {
        std::string enabled;
        for (const char* name : {"booleanButton", "shortButton", "floatButton", "unsignedButton", "scaledButton"})
            enabled += Child<QAbstractButton>(&dlg, name)->isEnabled() ? '1' : '0';
        return enabled + (Child<QLineEdit>(&dlg, "dataLowBox")->isEnabled() ? "+limits" : "");
    }
    struct Asked {
        int slave, type, address, count;
        bool operator==(const Asked&) const = default;
    };
    std::vector<Asked> asked_;
    int warnings_ = 0;
};

PointMapping Mapping(int pointType, int dataType, uint16_t address = 100) {
    PointMapping m;
    m.pointType = pointType;
    m.dataType = static_cast<uint16_t>(dataType);
    m.address = address;
    return m;
}

TEST_F(PointMapTest, ButtonRuleForEveryPointAndDataType) {
    struct Case {
        int pointType, dataType;
        const char* checked;
        const char* enabled;
        int dataTypeAfter;
    };
    const Case cases[] = {
        {1, DT_UNSIGNED, "booleanButton", "10000", DT_BOOL},  {2, DT_FLOAT, "booleanButton", "10000", DT_BOOL},
        {1, DT_DATE, "booleanButton", "10000", DT_BOOL},      {3, DT_BOOL, "unsignedButton", "01111", DT_UNSIGNED},
        {4, DT_SHORT, "shortButton", "01111", DT_SHORT},      {3, DT_FLOAT, "floatButton", "01111", DT_FLOAT},
        {4, DT_SCALED, "scaledButton", "01111+limits", DT_SCALED},
        {3, DT_DATE, "unsignedButton", "01111", DT_DATE}, // shown as Unsigned, code kept
    };
    for (const Case& c : cases) {
        auto dlg = Open(Mapping(c.pointType, c.dataType), 0);
        EXPECT_EQ(Checked(*dlg), c.checked) << c.pointType << "/" << c.dataType;
        EXPECT_EQ(Enabled(*dlg), c.enabled) << c.pointType << "/" << c.dataType;
        EXPECT_EQ(dlg->dataType, c.dataTypeAfter) << c.pointType << "/" << c.dataType;
    }
    // DATE survives OK untouched, but not a trip through a coil.
    auto dlg = Open(Mapping(3, DT_DATE), 0);
    dlg->accept();
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(dlg->Mapping().dataType, DT_DATE);
    dlg = Open(Mapping(3, DT_DATE), 0);
    auto* combo = Child<QComboBox>(dlg.get(), "pointTypeCombo");
    combo->setCurrentIndex(0);
    EXPECT_EQ(Checked(*dlg), "booleanButton");
    combo->setCurrentIndex(2);
    EXPECT_EQ(dlg->dataType, DT_UNSIGNED);
    Child<QAbstractButton>(dlg.get(), "scaledButton")->click();
    EXPECT_EQ(Enabled(*dlg), "01111+limits");
    Child<QAbstractButton>(dlg.get(), "floatButton")->click();
    EXPECT_EQ(Checked(*dlg), "floatButton");
    EXPECT_EQ(Enabled(*dlg), "01111");
}

TEST_F(PointMapTest, OverlapQuestionOnlyForNewOrMovedPoints) {
    struct Case {
        const char* what;
        PointMapping mapping;
        int newItem;
        std::function<void(CPointMapDlg&)> edit;
        std::vector<Asked> asked;
    };
    const auto none = [](CPointMapDlg&) {};
    const Case cases[] = {
        {"new item, unchanged", Mapping(3, DT_UNSIGNED), 1, none, {{1, 3, 100, 1}}},
        {"existing, unchanged", Mapping(3, DT_FLOAT), 0, none, {}},
        {"existing FLOAT moved one register", Mapping(3, DT_FLOAT), 0,
         [](CPointMapDlg& d) { Type(d, "addressBox", "101"); }, {{1, 3, 101, 2}}},
        {"only the data type changed", Mapping(3, DT_UNSIGNED), 0,
         [](CPointMapDlg& d) { Child<QAbstractButton>(&d, "floatButton")->click(); }, {}},
        {"point type changed", Mapping(3, DT_UNSIGNED), 0,
         [](CPointMapDlg& d) { Child<QComboBox>(&d, "pointTypeCombo")->setCurrentIndex(3); }, {{1, 4, 100, 1}}},
        {"slave id changed", Mapping(3, DT_UNSIGNED), 0, [](CPointMapDlg& d) { Type(d, "slaveIdBox", " 7"); },
         {{7, 3, 100, 1}}},
        {"address not a number: not asked", Mapping(3, DT_UNSIGNED), 1,
         [](CPointMapDlg& d) { Type(d, "addressBox", "x1"); }, {}},
    };
    for (const Case& c : cases) {
        asked_.clear();
        auto dlg = Open(c.mapping, c.newItem, /*overlapAnswer=*/0);
        c.edit(*dlg);
        dlg->accept();
        EXPECT_EQ(asked_, c.asked) << c.what;
    }

    // An overlap refused leaves the dialog open and unchanged; accepted, it
    // goes on to the validation, which comes after the question.
    asked_.clear();
    fieldMessages_.clear();
    auto dlg = Open(Mapping(3, DT_UNSIGNED), 1, 1, /*mapAnyway=*/false);
    Type(*dlg, "addressBox", "0");
    dlg->accept();
    EXPECT_EQ(warnings_, 1);
    EXPECT_TRUE(fieldMessages_.empty());
    EXPECT_TRUE(dlg->isVisible());
    dlg = Open(Mapping(3, DT_UNSIGNED), 1, 1, /*mapAnyway=*/true);
    Type(*dlg, "addressBox", "0");
    dlg->accept();
    EXPECT_EQ(asked_.back(), (Asked{1, 3, 0, 1}));
    ASSERT_EQ(fieldMessages_.size(), 1u);
    EXPECT_EQ(fieldMessages_[0].second, "Please enter an integer between 1 and 9999.");
    EXPECT_TRUE(dlg->isVisible());
    dlg = Open(Mapping(3, DT_UNSIGNED), 1, 1, /*mapAnyway=*/true);
    dlg->accept();
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
}

TEST_F(PointMapTest, ValidationOrderMessagesFocusAndSelection) {
    struct Case {
        const char* box;
        const char* text;
        const char* focused; // "" when OK passes
        const char* message;
    };
    const Case cases[] = {
        {"addressBox", "10000", "addressBox", "Please enter an integer between 1 and 9999."},
        {"addressBox", "-5", "addressBox", "Please enter a positive integer."},
        {"addressBox", "", "addressBox", "Please enter a positive integer."},
        {"addressBox", " 42 ", "", ""},
        {"slaveIdBox", "256", "slaveIdBox", "Please enter an integer between 1 and 255."},
        {"slaveIdBox", "0x10", "slaveIdBox", "Please enter a positive integer."},
        {"dataHighBox", "inf", "dataHighBox", "Please enter a number."},
        {"dataLowBox", ".0", "dataLowBox", "Please enter a number."},
        {"registerHighBox", "1e39", "registerHighBox", "Please enter a number."},
        {"registerLowBox", "0x1p3", "registerLowBox", "Please enter a number."},
        {"registerLowBox", "-0.5e1", "", ""},
    };
    for (const Case& c : cases) {
        fieldMessages_.clear();
        auto dlg = Open(Mapping(4, DT_SCALED), 0);
        // Every box refused at once: the first in the order wins.
        if (std::string(c.box) != "addressBox") Type(*dlg, "registerLowBox", "nan");
        Type(*dlg, c.box, QString::fromLatin1(c.text));
        dlg->accept();
        if (*c.focused == '\0') {
            EXPECT_EQ(dlg->result(), QDialog::Accepted) << c.box << " " << c.text;
            continue;
        }
        ASSERT_EQ(fieldMessages_.size(), 1u) << c.box << " " << c.text;
        EXPECT_EQ(fieldMessages_[0], std::make_pair(std::string(c.focused), std::string(c.message))) << c.text;
        auto* box = Child<QLineEdit>(dlg.get(), c.focused);
        EXPECT_EQ(dlg->focusWidget(), box) << c.text;
        EXPECT_EQ(box->selectedText(), box->text()) << c.text;
        EXPECT_TRUE(dlg->isVisible());
    }
}

TEST_F(PointMapTest, UntouchedLimitsKeepTheirValues) {
    PointMapping m = Mapping(3, DT_SCALED);
    m.dataHigh = 1234567.0f;
    m.registerLow = 0.1f;
    m.registerHigh = 3.0e38f;
    auto dlg = Open(m, 0);
    EXPECT_EQ(Child<QLineEdit>(dlg.get(), "dataHighBox")->text(), "1.23457e+06");
    dlg->accept();
    ASSERT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(dlg->Mapping(), m);
    dlg = Open(m, 0);
    Type(*dlg, "dataHighBox", "1234570"); // edited: parsed
    dlg->accept();
    EXPECT_EQ(dlg->dataHigh, 1234570.0f);
}

TEST_F(PointMapTest, RefusalShowsAQuorvaneBoxWithOk) {
    SetFieldMessageObserver({});
    ModalScript script;
    std::string title, text;
    script.On("messageBox", [&](QWidget* w) {
        auto* box = static_cast<QMessageBox*>(w);
        title = box->windowTitle().toStdString();
        text = box->text().toStdString();
        EXPECT_EQ(box->buttons().size(), 1);
        box->button(QMessageBox::Ok)->click();
    });
    auto dlg = Open(Mapping(3, DT_UNSIGNED), 0);
    Type(*dlg, "slaveIdBox", "abc");
    dlg->accept();
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(title, "Quorvane");
    EXPECT_EQ(text, "Please enter a positive integer.");
}

// ---------------------------------------------------------------------------
// Tag browser

// A small server: branch paths to their leaf names (full ids) and branches.
struct FakeServer {
    std::map<std::string, std::vector<std::string>> leaves, branches;
    uint16_t organization = kOrganizationHierarchical;
    std::string at;
    std::vector<std::string> listed;
    std::map<std::string, int> moves; // path -> BrowseMoveTo calls
    int failNameAt = -1;              // BrowseName fails for this index
    bool failItemId = false;

    BrowseTable Table() {
        BrowseTable t;
        t.moveTo = [this](int32_t, const char* path) {
            ++moves[path];
            if (*path != '\0' && !leaves.count(path) && !branches.count(path)) return 0;
            at = path;
            return 1;
        };
        t.count = [this](int32_t, int32_t type) {
            listed.clear();
            if (type == kBrowseLeaves) listed = leaves[at];
            if (type == kBrowseBranches) listed = branches[at];
            if (type == kBrowseFlat)
                for (auto& [path, ids] : leaves)
                    if (at.empty() || path == at || path.rfind(at + ".", 0) == 0)
                        listed.insert(listed.end(), ids.begin(), ids.end());
            return static_cast<int32_t>(listed.size());
        };
        t.name = [this](int32_t, int32_t i, char* buffer, int32_t size) {
            if (i == failNameAt || i >= static_cast<int32_t>(listed.size())) return 0;
            std::snprintf(buffer, static_cast<size_t>(size), "%s", listed[static_cast<size_t>(i)].c_str());
            return 1;
        };
        t.itemId = [this](int32_t, const char* leaf, char* buffer, int32_t size) {
            if (failItemId) return 0;
            std::snprintf(buffer, static_cast<size_t>(size), "id:%s", leaf);
            return 1;
        };
        t.organization = [this](int32_t, uint16_t* code) {
            *code = organization;
            return 1;
        };
        return t;
    }
};

class TagBrowserTest : public GuiTest {
protected:
    std::unique_ptr<CTagBrowserDlg> Open(int32_t server, const BrowseTable& table = BrowseTable()) {
        auto dlg = std::make_unique<CTagBrowserDlg>(
            server, [this](const std::string& id, const std::string& path) { added_.push_back(id + "|" + path); },
            table);
        dlg->show();
        return dlg;
    }
    // Children texts of a node, "text" for items, "text/" for branches.
    static std::vector<std::string> Children(QTreeWidgetItem* node) {
        std::vector<std::string> texts;
        for (int i = 0; i < node->childCount(); ++i)
            texts.push_back(node->child(i)->text(0).toStdString() +
                            (CTagBrowserDlg::IsItemNode(node->child(i)) ? "" : "/"));
        return texts;
    }
    static QTreeWidgetItem* Find(QTreeWidgetItem* node, const char* text) {
        for (int i = 0; i < node->childCount(); ++i)
            if (node->child(i)->text(0) == QLatin1String(text)) return node->child(i);
        ADD_FAILURE() << "no node " << text;
        return node;
    }
    static void Select(CTagBrowserDlg& dlg, QTreeWidgetItem* node) { dlg.Tree()->setCurrentItem(node); }
    static std::string Box(CTagBrowserDlg& dlg) { return Child<QLineEdit>(&dlg, "itemIdBox")->text().toStdString(); }
    static std::string Buttons(CTagBrowserDlg& dlg) {
        return std::string(Child<QPushButton>(&dlg, "addItemButton")->isEnabled() ? "item" : "-") +
               (Child<QPushButton>(&dlg, "addBranchButton")->isEnabled() ? "+branch" : "");
    }
    std::vector<std::string> added_;
};

class SimulationBrowserTest : public TagBrowserTest {
protected:
    void SetUp() override {
        TagBrowserTest::SetUp();
        ASSERT_GE(OstrandInitialize(), 0);
    }
    void TearDown() override {
        if (server_ >= 0) DisconnectServer(server_);
        OstrandUninitialize();
        TagBrowserTest::TearDown();
    }
    int32_t Connect(const char* name) { return server_ = ConnectServer("", name, 0); }
    int32_t server_ = -1;
};

TEST_F(SimulationBrowserTest, HierarchicalServerBrowsedOneLevelAhead) {
    auto dlg = Open(Connect("Demo.Server.1"));
    QTreeWidgetItem* root = dlg->Root();
    EXPECT_EQ(root->text(0), "Root");
    EXPECT_FALSE(root->isExpanded());
    EXPECT_EQ(Children(root), (std::vector<std::string>{"Channel1/", "Channel2/", "Setpoints/"}));
    EXPECT_EQ(Buttons(*dlg), "-");
    // Not yet browsed below the visible level; expanding Root browses its children.
    EXPECT_EQ(Find(root, "Setpoints")->childCount(), 0);
    root->setExpanded(true);
    QTreeWidgetItem* setpoints = Find(root, "Setpoints");
    EXPECT_EQ(Children(setpoints),
              (std::vector<std::string>{"Short", "Unsigned", "Float", "Bool", "Level", "Long", "Text"}));
    EXPECT_EQ(Children(Find(root, "Channel1")), (std::vector<std::string>{"Device1/"}));
    Find(root, "Channel1")->setExpanded(true);
    QTreeWidgetItem* device = Find(Find(root, "Channel1"), "Device1");
    EXPECT_EQ(Children(device).front(), "Speed");

    Select(*dlg, Find(setpoints, "Float"));
    EXPECT_EQ(Box(*dlg), "Setpoints.Float");
    EXPECT_EQ(Buttons(*dlg), "item");
    Child<QPushButton>(dlg.get(), "addItemButton")->click();
    emit dlg->Tree()->itemDoubleClicked(Find(device, "Temp"), 0);
    Select(*dlg, setpoints);
    EXPECT_EQ(Box(*dlg), "");
    EXPECT_EQ(Buttons(*dlg), "-+branch");
    Child<QPushButton>(dlg.get(), "addBranchButton")->click();
    EXPECT_EQ(added_.size(), 2u + 7u);
    EXPECT_EQ(added_[0], "Setpoints.Float|");
    EXPECT_EQ(added_[1], "Channel1.Device1.Temp|");
    EXPECT_EQ(added_[2], "Setpoints.Short|");

    added_.clear();
    Select(*dlg, root);
    Child<QPushButton>(dlg.get(), "addBranchButton")->click();
    EXPECT_EQ(added_.size(), 25u); // every item of the server
}

TEST_F(SimulationBrowserTest, FlatServerListsItemsUnderRoot) {
    auto dlg = Open(Connect("Demo.FlatServer.1"));
    EXPECT_EQ(Children(dlg->Root()), (std::vector<std::string>{"Ramp", "Sine", "Toggle", "Level", "Counter", "Text",
                                                                "Bad", "Setpoint", "SetpointBool"}));
    Select(*dlg, dlg->Root());
    Child<QPushButton>(dlg.get(), "addBranchButton")->click();
    EXPECT_EQ(added_.size(), 9u);
}

TEST_F(TagBrowserTest, FakeServersFailuresAndEdges) {
    FakeServer server;
    const std::string longId = "Area." + std::string(145, 'x');
    server.branches[""] = {"A", "Empty"};
    server.branches["A"] = {"A.B"};
    server.leaves["A.B"] = {"Dev.Grp.Tag", "Second", "Third"};
    server.leaves["Empty"] = {};
    server.leaves[""] = {longId};
    BrowseTable table = server.Table();
    auto dlg = Open(7, table);
    QTreeWidgetItem* root = dlg->Root();
    EXPECT_EQ(Children(root), (std::vector<std::string>{std::string(145, 'x'), "A/", "Empty/"}));
    root->setExpanded(true);
    QTreeWidgetItem* a = Find(root, "A");
    a->setExpanded(true);
    QTreeWidgetItem* b = Find(a, "B");
    EXPECT_EQ(Children(b), (std::vector<std::string>{"Tag", "Second", "Third"}));
    // A node with children is never browsed again.
    const int movesToA = server.moves["A"];
    a->setExpanded(false);
    root->setExpanded(false);
    root->setExpanded(true);
    EXPECT_EQ(server.moves["A"], movesToA);

    // The item id comes from BrowseItemId asked with the last component.
    Select(*dlg, Find(b, "Tag"));
    EXPECT_EQ(Box(*dlg), "id:Tag");
    // An empty branch is no item: no id, no Add Item.
    Select(*dlg, Find(root, "Empty"));
    EXPECT_EQ(Box(*dlg), "");
    EXPECT_EQ(Buttons(*dlg), "-+branch");
    // A 150-character id is added whole; an emptied box disables Add Item.
    Select(*dlg, Find(root, std::string(145, 'x').c_str()));
    EXPECT_EQ(Box(*dlg).size(), 3u + longId.size() - 5u);
    Child<QPushButton>(dlg.get(), "addItemButton")->click();
    ASSERT_EQ(added_.size(), 1u);
    EXPECT_EQ(added_[0], "id:" + std::string(145, 'x') + "|");
    Child<QLineEdit>(dlg.get(), "itemIdBox")->clear();
    EXPECT_EQ(Buttons(*dlg), "-");

    // A failing BrowseName drops that index; a failing BrowseItemId leaves the
    // browse name as the id.
    server.failNameAt = 1;
    server.failItemId = true;
    server.leaves["C"] = {"C.One", "C.Two", "C.Three"};
    server.branches[""].push_back("C");
    auto again = Open(7, server.Table());
    again->Root()->setExpanded(true);
    QTreeWidgetItem* c = Find(again->Root(), "C");
    EXPECT_EQ(Children(c), (std::vector<std::string>{"One", "Three"}));
    Select(*again, Find(c, "Three"));
    EXPECT_EQ(Box(*again), "C.Three");
}

// ---------------------------------------------------------------------------
// The program: nested dialogs, write, print

class ProgramTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        tcpPort_ = test::FreeLoopbackPort();
        ASSERT_NE(tcpPort_, 0);
        SetTCPServicePort(tcpPort_);
        messages_.SetObserverInsteadOfBoxes([this](const std::string& text, MessageIcon) { shown_.push_back(text); });
        app_ = std::make_unique<CQuorvaneApp>(messages_, (dir_ / "velmarc.cfg").string());
        app_->Frame().SetTcpServicePort(tcpPort_);
        windows_ = CreateWindowedInterface(*app_);
        ASSERT_EQ(app_->Startup(""), 0);
        app_->ConnectCommand("", "Demo.Server.1");
        ASSERT_NE(app_->Model().ServerHandle(), -1);
        ASSERT_NE(app_->AddGroupCommand("Line1", 100, 0.0f), -1);
        child_ = windows_->MainWindow().ActiveChild();
        ASSERT_NE(child_, nullptr);
    }
    void TearDown() override {
        app_->Shutdown();
        windows_.reset();
        app_.reset();
        SetTCPServicePort(502);
        GuiTest::TearDown();
    }
    CQuorvaneDoc& Doc() { return *child_->Doc(); }
    void Select(int row) {
        const int h = child_->View()->ListState().lineHeight;
        const QPointF at(5, h + 1 + row * h + h / 2);
        QMouseEvent press(QEvent::MouseButtonPress, at, child_->View()->viewport()->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(child_->View()->viewport(), &press);
    }
    // Item Add, browsing to Setpoints.<leaf>, Add Item, and the mapping
    // dialog ended with `button`; returns the address it proposed.
    std::string AddThroughBrowser(const char* leaf, const char* button) {
        std::string proposed, shownItem;
        ModalScript script;
        script
            .On("tagBrowserDlg",
                [&](QWidget* w) {
                    auto* dlg = static_cast<CTagBrowserDlg*>(w);
                    dlg->Root()->setExpanded(true);
                    QTreeWidgetItem* setpoints = dlg->Root()->child(2);
                    for (int i = 0; i < setpoints->childCount(); ++i)
                        if (setpoints->child(i)->text(0) == QLatin1String(leaf))
                            dlg->Tree()->setCurrentItem(setpoints->child(i));
                    ModalScript::Click(dlg, "addItemButton");
                })
            .On("pointMapDlg",
                [&](QWidget* w) {
                    proposed = Child<QLineEdit>(w, "addressBox")->text().toStdString();
                    shownItem = Child<QLineEdit>(w, "itemIdLine")->text().toStdString();
                    ModalScript::Click(w, button);
                })
            .On("tagBrowserDlg", [&](QWidget* w) { ModalScript::Click(w, "doneButton"); });
        EXPECT_TRUE(windows_->MainWindow().RunCommand(kCmdItemAdd));
        EXPECT_TRUE(script.Done()) << "waiting at " << script.Waiting();
        EXPECT_EQ(shownItem, std::string("Setpoints.") + leaf);
        return proposed;
    }

    test::ScratchDir dir_{"itemdlg"};
    uint16_t tcpPort_ = 0;
    CMessageBoxes messages_;
    std::vector<std::string> shown_;
    std::unique_ptr<CQuorvaneApp> app_;
    std::unique_ptr<CWindowedInterface> windows_;
    CChildFrame* child_ = nullptr;
};

TEST_F(ProgramTest, ItemAddThroughBrowserAndMappingIsServedToMasters) {
    for (uint16_t id : std::initializer_list<uint16_t>{kCmdItemAdd, kCmdItemWrite, kCmdEditItemMapping, kCmdPrint, kCmdPrintPreview, kCmdPrintSetup})
        EXPECT_TRUE(windows_->Handlers().Has(id)) << id;
    ASSERT_TRUE(app_->Execute(kCmdConnectTcp));

    const std::string next = std::to_string(app_->Model().NextFreeAddress(1, PT_HOLDING_REGISTER));
    EXPECT_EQ(AddThroughBrowser("Level", "cancelButton"), next);
    EXPECT_EQ(Doc().Count(), 0);
    EXPECT_EQ(AddThroughBrowser("Level", "okButton"), next);
    ASSERT_EQ(Doc().Count(), 1);
    ItemState state;
    ASSERT_TRUE(Doc().ReadItem(0, &state));
    EXPECT_EQ(state.itemId, "Setpoints.Level");
    EXPECT_EQ(state.mapping.address, std::stoi(next));

    // A master reads the level (50, unsigned) at the proposed address.
    modbus_t* master = modbus_new_tcp("127.0.0.1", tcpPort_);
    ASSERT_NE(master, nullptr);
    ASSERT_EQ(modbus_connect(master), 0);
    modbus_set_slave(master, 1);
    uint16_t word = 0;
    EXPECT_TRUE(WaitUntil([&] {
        return modbus_read_registers(master, state.mapping.address - 1, 1, &word) == 1 && word == 50;
    })) << word;
    modbus_close(master);
    modbus_free(master);
    // The proposal moves on past the new item.
    EXPECT_NE(std::to_string(app_->Model().NextFreeAddress(1, PT_HOLDING_REGISTER)), next);
}

TEST_F(ProgramTest, WriteComesBackOrFails) {
    PointMapping m;
    Doc().AddRestoredItem("Setpoints.Float", m);
    m.address = 200;
    Doc().AddRestoredItem("Channel1.Device1.Speed", m);
    // Writes `text` to the item at `row` with "Asynchronous Write" as given.
    const auto write = [&](int row, const char* text, bool async) {
        Select(row);
        ModalScript script;
        script.On("writeItemDlg", [&](QWidget* w) {
            auto* asyncBox = Child<QCheckBox>(w, "asyncWriteBox");
            EXPECT_TRUE(asyncBox->isChecked());
            EXPECT_TRUE(asyncBox->isEnabled());
            EXPECT_EQ(Child<QLineEdit>(w, "newValueBox")->text(), "0");
            asyncBox->setChecked(async);
            Child<QLineEdit>(w, "newValueBox")->setText(QString::fromLatin1(text));
            ModalScript::Click(w, "okButton");
        });
        EXPECT_TRUE(windows_->MainWindow().RunCommand(kCmdItemWrite));
        EXPECT_TRUE(script.Done());
    };
    const auto value = [&](int row) {
        ItemState s;
        Doc().ReadItem(row, &s);
        return s.value.Type() == VT_R4 ? s.value.Get().fltVal : -1.0f;
    };
    for (bool async : {true, false}) {
        const float expected = async ? 12.5f : -3.25f;
        write(0, async ? "12.5" : " -3.25", async);
        EXPECT_TRUE(WaitUntil([&] { return value(0) == expected; })) << value(0);
        shown_.clear();
        write(1, "1", async);
        EXPECT_EQ(shown_, std::vector<std::string>{"Write Interface Failed"}) << async;
    }
}

TEST_F(ProgramTest, DoubleClickEditsTheMapping) {
    PointMapping m;
    Doc().AddRestoredItem("Setpoints.Short", m);
    WaitUntil([&] { return child_->View()->PaintCount() > 0; });
    for (const char* button : {"cancelButton", "okButton"}) {
        Select(0);
        std::string shownAddress, shownItem;
        ModalScript script;
        script.On("pointMapDlg", [&](QWidget* w) {
            shownAddress = Child<QLineEdit>(w, "addressBox")->text().toStdString();
            shownItem = Child<QLineEdit>(w, "itemIdLine")->text().toStdString();
            Child<QLineEdit>(w, "addressBox")->setText(QStringLiteral("150"));
            ModalScript::Click(w, button);
        });
        const int h = child_->View()->ListState().lineHeight;
        const QPointF at(5, h + 1 + h / 2);
        QMouseEvent click(QEvent::MouseButtonDblClick, at, child_->View()->viewport()->mapToGlobal(at),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(child_->View()->viewport(), &click);
        EXPECT_TRUE(script.Done()) << "waiting at " << script.Waiting();
        EXPECT_EQ(shownAddress, "100");
        EXPECT_EQ(shownItem, "Setpoints.Short");
        ItemState state;
        ASSERT_TRUE(Doc().ReadItem(0, &state));
        EXPECT_EQ(state.mapping.address, std::string(button) == "okButton" ? 150 : 100) << button;
    }
}

// The printed pages of `count` items as PDF, counted from the file's bytes.
int PdfPages(const std::string& bytes) {
    const std::regex page(R"(/Type\s*/Page[^s])");
    return static_cast<int>(std::distance(std::sregex_iterator(bytes.begin(), bytes.end(), page), {}));
}

TEST_F(GuiTest, PdfAndPreviewShowThePaginatedPages) {
    test::TheRecorder().Reset();
    CQuorvaneModel model(test::RecordingServices());
    model.SetServerHandle(5);
    model.OpenGroupDocument("Line1", 500, 0.0f, 9);
    CQuorvaneDoc& doc = *model.Groups()->front();
    for (int i = 0; i < 300; ++i) {
        PointMapping m;
        m.address = static_cast<uint16_t>(100 + i);
        doc.AddRestoredItem("Item" + std::to_string(i), m);
    }
    test::ScratchDir dir("itemdlg-pdf");
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setOutputFileName(QString::fromStdString((dir / "list.pdf").string()));

    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(10);
    const int lines = LinesPerPage(printer.height(), QFontMetrics(font, &printer).height());
    const int expected = static_cast<int>(PageStarts(300, lines).size());
    ASSERT_GT(expected, 2);
    EXPECT_EQ(PrintItemList(printer, doc), expected);
    EXPECT_EQ(PdfPages(test::ReadFile(dir / "list.pdf")), expected);

    QPrintPreviewDialog preview(&printer);
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested,
                     [&doc](QPrinter* p) { PrintItemList(*p, doc); });
    preview.show();
    auto* widget = preview.findChild<QPrintPreviewWidget*>();
    ASSERT_NE(widget, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return widget->pageCount() == expected; })) << widget->pageCount();
    preview.close();
}

} // namespace
} // namespace quorvane
