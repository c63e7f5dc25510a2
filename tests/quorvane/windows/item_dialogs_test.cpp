// The item dialogs offscreen: the mapping dialog's button rule, overlap
// question and validation; the tag browser on the simulation servers and a
// fake one; nested modal dialogs from Item Add to a master reading the new
// point; Item Write and the mapping edit; printed pages as PDF and preview.
#include "model/item_print.h"
#include "windows/child_frame.h"
#include "windows/dialog_kit.h"
#include "windows/item_printing.h"
#include "windows/point_map_dlg.h"
#include "windows/tag_browser_dlg.h"

#include "../model/fake_services.h"
#include "gui_support.h"

#include <gtest/gtest.h>
#include <modbus.h>

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QTreeWidget>

#include <map>

namespace quorvane {
namespace {

// Page objects in a PDF: "/Type /Page" not followed by "s" (that is the page
// tree). Counted by hand: std::regex sets off GCC 12's maybe-uninitialized
// warning under the sanitizers.
int CountPdfPages(const std::string& pdf) {
    int pages = 0;
    for (size_t at = pdf.find("/Type"); at != std::string::npos; at = pdf.find("/Type", at + 1)) {
        size_t next = at + 5;
        while (next < pdf.size() && (pdf[next] == ' ' || pdf[next] == '\n' || pdf[next] == '\r' || pdf[next] == '\t'))
            ++next;
        if (pdf.compare(next, 5, "/Page") == 0 && next + 5 < pdf.size() && pdf[next + 5] != 's')
            ++pages;
    }
    return pages;
}

using test::Child;
using test::GuiTest;
using test::ModalScript;
using test::Text;
using test::WaitUntil;
void Click(QWidget* parent, const char* name) { Child<QAbstractButton>(parent, name)->click(); }

// ---------------------------------------------------------------------------
// Point mapping

PointMapping Mapping(int pointType, int dataType, uint16_t address = 100) {
    PointMapping m;
    m.pointType = pointType;
    m.dataType = static_cast<uint16_t>(dataType);
    m.address = address;
    return m;
}

class PointMapTest : public GuiTest {
protected:
    std::unique_ptr<CPointMapDlg> Open(const PointMapping& m, int newItem, int overlap = 0, bool mapAnyway = true) {
        auto dlg = std::make_unique<CPointMapDlg>([=, this](uint8_t s, int32_t t, uint16_t a, int c) {
            asked_.push_back({s, t, a, c});
            return overlap;
        });
        dlg->SetConfirmFunction([=, this](QWidget*) { return ++warnings_, mapAnyway; });
        dlg->SetMapping(m);
        dlg->newItem = newItem;
        dlg->show();
        return dlg;
    }
    // The checked button, then which of the five are enabled (and "+limits").
    static std::string Buttons(QWidget* dlg) {
        std::string checked, enabled;
        for (const char* name : {"booleanButton", "shortButton", "floatButton", "unsignedButton", "scaledButton"}) {
            auto* b = Child<QAbstractButton>(dlg, name);
            if (b->isChecked()) checked += name;
            enabled += b->isEnabled() ? '1' : '0';
        }
        return checked + " " + enabled + (Child(dlg, "dataLowBox")->isEnabled() ? "+limits" : "");
    }
    std::vector<std::array<int, 4>> asked_; // slave, point type, address, count
    int warnings_ = 0;
};

TEST_F(PointMapTest, ButtonRuleForPointAndDataTypes) {
    const std::tuple<int, int, const char*, int> cases[] = {
        {1, DT_UNSIGNED, "booleanButton 10000", DT_BOOL}, {2, DT_FLOAT, "booleanButton 10000", DT_BOOL},
        {1, DT_DATE, "booleanButton 10000", DT_BOOL},     {3, DT_BOOL, "unsignedButton 01111", DT_UNSIGNED},
        {4, DT_SHORT, "shortButton 01111", DT_SHORT},     {3, DT_FLOAT, "floatButton 01111", DT_FLOAT},
        {4, DT_SCALED, "scaledButton 01111+limits", DT_SCALED},
        {3, DT_DATE, "unsignedButton 01111", DT_DATE}, // shown as Unsigned, code kept
    };
    for (const auto& [pointType, dataType, buttons, after] : cases) {
        auto dlg = Open(Mapping(pointType, dataType), 0);
        EXPECT_EQ(Buttons(dlg.get()), buttons) << pointType << "/" << dataType;
        EXPECT_EQ(dlg->dataType, after) << pointType << "/" << dataType;
    }
    auto dlg = Open(Mapping(3, DT_DATE), 0);
    dlg->accept();
    EXPECT_EQ(dlg->Mapping().dataType, DT_DATE); // kept through OK
    dlg = Open(Mapping(3, DT_DATE), 0);
    Child<QComboBox>(dlg.get(), "pointTypeCombo")->setCurrentIndex(0);
    Child<QComboBox>(dlg.get(), "pointTypeCombo")->setCurrentIndex(2);
    EXPECT_EQ(dlg->dataType, DT_UNSIGNED); // not through a coil
    Click(dlg.get(), "scaledButton");
    EXPECT_EQ(Buttons(dlg.get()), "scaledButton 01111+limits");
}

TEST_F(PointMapTest, OverlapQuestionOnlyForNewOrMovedPointsAndBeforeValidation) {
    const auto type = [](const char* box, const char* text) {
        return [=](CPointMapDlg& d) { Child(&d, box)->setText(QString::fromLatin1(text)); };
    };
    const std::tuple<const char*, PointMapping, int, std::function<void(CPointMapDlg&)>, std::vector<std::array<int, 4>>>
        cases[] = {
            {"new item, unchanged", Mapping(3, DT_UNSIGNED), 1, [](CPointMapDlg&) {}, {{1, 3, 100, 1}}},
            {"existing, unchanged", Mapping(3, DT_FLOAT), 0, [](CPointMapDlg&) {}, {}},
            {"FLOAT moved one register", Mapping(3, DT_FLOAT), 0, type("addressBox", "101"), {{1, 3, 101, 2}}},
            {"data type only", Mapping(3, DT_UNSIGNED), 0, [](CPointMapDlg& d) { Click(&d, "floatButton"); }, {}},
            {"slave id", Mapping(3, DT_UNSIGNED), 0, type("slaveIdBox", " 7"), {{7, 3, 100, 1}}},
            {"point type", Mapping(3, DT_UNSIGNED), 0,
             [](CPointMapDlg& d) { Child<QComboBox>(&d, "pointTypeCombo")->setCurrentIndex(3); }, {{1, 4, 100, 1}}},
            {"no number: not asked", Mapping(3, DT_UNSIGNED), 1, type("addressBox", "x1"), {}},
            {"slave beyond 8 bits: not asked", Mapping(3, DT_UNSIGNED), 1, type("slaveIdBox", "300"), {}},
        };
    for (const auto& [what, mapping, newItem, edit, asked] : cases) {
        asked_.clear();
        auto dlg = Open(mapping, newItem);
        edit(*dlg);
        dlg->accept();
        EXPECT_EQ(asked_, asked) << what;
    }
    // Cancel in "Map Warning" keeps the dialog open without a message; "Yes"
    // goes on to the validation, which refuses address 0 only then.
    refused_.clear();
    for (bool mapAnyway : {false, true}) {
        auto dlg = Open(Mapping(3, DT_UNSIGNED), 1, 1, mapAnyway);
        Child(dlg.get(), "addressBox")->setText(QStringLiteral("0"));
        dlg->accept();
        EXPECT_EQ(asked_.back(), (std::array<int, 4>{1, 3, 0, 1}));
        EXPECT_TRUE(dlg->isVisible());
    }
    EXPECT_EQ(warnings_, 2);
    EXPECT_EQ(refused_, std::vector<std::string>{"addressBox: Please enter an integer between 1 and 65535."});
}

TEST_F(PointMapTest, ValidationOrderFocusSelectionAndUntouchedLimits) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"addressBox", "65536", "Please enter an integer between 1 and 65535."},
        {"addressBox", "-5", "Please enter a positive integer."},
        {"slaveIdBox", "256", "Please enter an integer between 1 and 255."},
        {"slaveIdBox", "0x10", "Please enter a positive integer."},
        {"dataHighBox", "inf", "Please enter a number."},
        {"dataLowBox", ".0", "Please enter a number."},
        {"registerHighBox", "1e39", "Please enter a number."},
        {"registerLowBox", "0x1p3", "Please enter a number."},
        {"addressBox", " 42 ", ""},
    };
    for (const auto& [box, text, message] : cases) {
        refused_.clear();
        auto dlg = Open(Mapping(4, DT_SCALED), 0);
        Child(dlg.get(), "registerLowBox")->setText(QStringLiteral("nan")); // refused last
        if (std::string(box) != "registerLowBox") Child(dlg.get(), "registerLowBox")->setText(QStringLiteral("1"));
        Child(dlg.get(), box)->setText(QString::fromLatin1(text));
        dlg->accept();
        if (*message == '\0') {
            EXPECT_EQ(dlg->result(), QDialog::Accepted) << text;
            EXPECT_EQ(dlg->pointAddress, 42u);
            continue;
        }
        EXPECT_EQ(refused_, std::vector<std::string>{std::string(box) + ": " + message}) << text;
        EXPECT_EQ(dlg->focusWidget(), Child(dlg.get(), box)) << text;
        EXPECT_EQ(Child(dlg.get(), box)->selectedText().toStdString(), text);
        EXPECT_TRUE(dlg->isVisible());
    }
    // Six significant digits shown; untouched, the value comes back exactly.
    PointMapping m = Mapping(3, DT_SCALED);
    m.dataHigh = 1234567.0f;
    m.registerHigh = 3.0e38f;
    auto dlg = Open(m, 0);
    EXPECT_EQ(Text(dlg.get(), "dataHighBox"), "1.23457e+06");
    dlg->accept();
    EXPECT_EQ(dlg->Mapping(), m);
}

TEST_F(PointMapTest, RefusalIsAQuorvaneBoxWithOk) {
    SetFieldMessageObserver({});
    std::string shown;
    ModalScript script;
    script.On("messageBox", [&](QWidget* w) {
        auto* box = static_cast<QMessageBox*>(w);
        shown = box->windowTitle().toStdString() + ": " + box->text().toStdString();
        EXPECT_EQ(box->buttons(), QList<QAbstractButton*>{box->button(QMessageBox::Ok)});
        box->button(QMessageBox::Ok)->click();
    });
    auto dlg = Open(Mapping(3, DT_UNSIGNED), 0);
    Child(dlg.get(), "slaveIdBox")->setText(QStringLiteral("abc"));
    dlg->accept();
    EXPECT_EQ(shown, "Quorvane: Please enter a positive integer.");
}

// ---------------------------------------------------------------------------
// Tag browser

// Children of a node: "text" for items, "text/" for branches.
std::vector<std::string> Children(QTreeWidgetItem* node) {
    std::vector<std::string> texts;
    for (int i = 0; i < node->childCount(); ++i)
        texts.push_back(node->child(i)->text(0).toStdString() + (CTagBrowserDlg::IsItemNode(node->child(i)) ? "" : "/"));
    return texts;
}
QTreeWidgetItem* Find(QTreeWidgetItem* node, const std::string& text) {
    for (int i = 0; i < node->childCount(); ++i)
        if (node->child(i)->text(0).toStdString() == text) return node->child(i);
    ADD_FAILURE() << "no node " << text;
    return node;
}

class TagBrowserTest : public GuiTest {
protected:
    std::unique_ptr<CTagBrowserDlg> Open(int32_t server, const BrowseTable& table = BrowseTable()) {
        auto dlg = std::make_unique<CTagBrowserDlg>(
            server, [this](const std::string& id, const std::string& path) { added_.push_back(id + "|" + path); },
            table);
        dlg->show();
        return dlg;
    }
    // Selects `node`; the item-id box and which Add buttons are enabled.
    static std::string Select(CTagBrowserDlg& dlg, QTreeWidgetItem* node) {
        dlg.Tree()->setCurrentItem(node);
        return Text(&dlg, "itemIdBox") + (Child<QAbstractButton>(&dlg, "addItemButton")->isEnabled() ? " item" : "") +
               (Child<QAbstractButton>(&dlg, "addBranchButton")->isEnabled() ? " branch" : "");
    }
    std::vector<std::string> added_; // "id|access path"
};

TEST_F(TagBrowserTest, SimulationServersHierarchicalAndFlat) {
    ASSERT_GE(OstrandInitialize(), 0);
    const int32_t tree = ConnectServer("", "Demo.Server.1", 0), flat = ConnectServer("", "Demo.FlatServer.1", 0);
    auto dlg = Open(tree);
    QTreeWidgetItem* root = dlg->Root();
    EXPECT_EQ(root->text(0), "Root");
    EXPECT_EQ(Children(root), (std::vector<std::string>{"Channel1/", "Channel2/", "Setpoints/"}));
    EXPECT_EQ(Find(root, "Setpoints")->childCount(), 0); // one level ahead only
    root->setExpanded(true);
    QTreeWidgetItem* setpoints = Find(root, "Setpoints");
    EXPECT_EQ(Children(setpoints),
              (std::vector<std::string>{"Short", "Unsigned", "Float", "Bool", "Level", "Long", "Text"}));
    EXPECT_EQ(Children(Find(root, "Channel1")), std::vector<std::string>{"Device1/"});
    Find(root, "Channel1")->setExpanded(true);
    EXPECT_EQ(Select(*dlg, Find(setpoints, "Float")), "Setpoints.Float item");
    Click(dlg.get(), "addItemButton");
    emit dlg->Tree()->itemDoubleClicked(Find(Find(Find(root, "Channel1"), "Device1"), "Temp"), 0);
    EXPECT_EQ(Select(*dlg, setpoints), " branch");
    Click(dlg.get(), "addBranchButton");
    ASSERT_EQ(added_.size(), 2u + 7u);
    EXPECT_EQ(std::vector<std::string>(added_.begin(), added_.begin() + 3),
              (std::vector<std::string>{"Setpoints.Float|", "Channel1.Device1.Temp|", "Setpoints.Short|"}));
    added_.clear();
    Select(*dlg, root);
    Click(dlg.get(), "addBranchButton");
    EXPECT_EQ(added_.size(), 25u); // every item of the server

    auto flatDlg = Open(flat);
    EXPECT_EQ(Children(flatDlg->Root()), (std::vector<std::string>{"Ramp", "Sine", "Toggle", "Level", "Counter",
                                                                    "Text", "Bad", "Setpoint", "SetpointBool"}));
    DisconnectServer(tree);
    DisconnectServer(flat);
    OstrandUninitialize();
}

// A small server: branch paths to their leaf names (full ids) and branches.
struct FakeServer {
    std::map<std::string, std::vector<std::string>> leaves, branches;
    std::string at;
    std::vector<std::string> listed;
    std::map<std::string, int> moves; // path -> BrowseMoveTo calls
    int failNameAt = -1;
    bool failItemId = false;

    BrowseTable Table() {
        BrowseTable t;
        t.moveTo = [this](int32_t, const char* path) {
            ++moves[path];
            const bool known = *path == '\0' || leaves.count(path) || branches.count(path);
            if (known) at = path;
            return known ? 1 : 0;
        };
        t.count = [this](int32_t, int32_t type) {
            listed = type == kBrowseLeaves ? leaves[at] : type == kBrowseBranches ? branches[at] : listed;
            return static_cast<int32_t>(listed.size());
        };
        const auto copy = [](const std::string& text, char* buffer, int32_t size) {
            std::snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
            return 1;
        };
        t.name = [=, this](int32_t, int32_t i, char* buffer, int32_t size) {
            return i == failNameAt || i >= static_cast<int32_t>(listed.size())
                       ? 0
                       : copy(listed[static_cast<size_t>(i)], buffer, size);
        };
        t.itemId = [=, this](int32_t, const char* leaf, char* buffer, int32_t size) {
            return failItemId ? 0 : copy(std::string("id:") + leaf, buffer, size);
        };
        t.organization = [](int32_t, uint16_t* code) { return *code = kOrganizationHierarchical, 1; };
        return t;
    }
};

TEST_F(TagBrowserTest, FakeServerEdgesAndFailures) {
    FakeServer server;
    const std::string longLeaf(145, 'x');
    server.branches[""] = {"A", "Empty"};
    server.branches["A"] = {"A.B"};
    server.leaves["A.B"] = {"Dev.Grp.Tag", "Second"};
    server.leaves["Empty"] = {};
    server.leaves[""] = {"Area." + longLeaf};
    auto dlg = Open(7, server.Table());
    QTreeWidgetItem* root = dlg->Root();
    EXPECT_EQ(Children(root), (std::vector<std::string>{longLeaf, "A/", "Empty/"}));
    root->setExpanded(true);
    Find(root, "A")->setExpanded(true);
    QTreeWidgetItem* b = Find(Find(root, "A"), "B");
    EXPECT_EQ(Children(b), (std::vector<std::string>{"Tag", "Second"}));
    // A node with children is never browsed again.
    const int movesToA = server.moves["A"];
    root->setExpanded(false);
    root->setExpanded(true);
    EXPECT_EQ(server.moves["A"], movesToA);

    EXPECT_EQ(Select(*dlg, Find(b, "Tag")), "id:Tag item"); // BrowseItemId asked with the last component
    EXPECT_EQ(Select(*dlg, Find(root, "Empty")), " branch"); // an empty branch is no item
    // A 150-character id is added whole; an emptied box disables Add Item.
    EXPECT_EQ(Select(*dlg, Find(root, longLeaf)), "id:" + longLeaf + " item");
    Click(dlg.get(), "addItemButton");
    EXPECT_EQ(added_, std::vector<std::string>{"id:" + longLeaf + "|"});
    Child(dlg.get(), "itemIdBox")->clear();
    EXPECT_FALSE(Child<QAbstractButton>(dlg.get(), "addItemButton")->isEnabled());

    // A failing BrowseName drops that index; a failing BrowseItemId leaves the
    // browse name as the id.
    server.failNameAt = 1;
    server.failItemId = true;
    server.leaves[""] = {"C.One", "C.Two", "C.Three"};
    auto again = Open(7, server.Table());
    EXPECT_EQ(Children(again->Root()), (std::vector<std::string>{"One", "Three", "A/"}));
    EXPECT_EQ(Select(*again, Find(again->Root(), "Three")), "C.Three item");
}

// ---------------------------------------------------------------------------
// The program: nested dialogs, write, mapping edit

class ProgramTest : public test::ProgramTest {
protected:
    ProgramTest() : test::ProgramTest("itemdlg") {}
    void SetUp() override {
        test::ProgramTest::SetUp();
        if (HasFatalFailure()) return;
        Connect();
        child_ = OpenGroup("Line1", 0, 100);
        ASSERT_NE(child_, nullptr);
    }
    CQuorvaneDoc& Doc() { return *child_->Doc(); }
    PointMapping MappingAt(int row) {
        ItemState state;
        EXPECT_TRUE(Doc().ReadItem(row, &state));
        return state.mapping;
    }
    CChildFrame* child_ = nullptr;
};

TEST_F(ProgramTest, ItemAddThroughBrowserAndMappingIsServedToMasters) {
    ASSERT_TRUE(app_->Execute(kCmdConnectTcp));
    const std::string next = std::to_string(app_->Model().NextFreeAddress(1, PT_HOLDING_REGISTER));
    for (const char* button : {"cancelButton", "okButton"}) {
        std::string proposed, item;
        ModalScript script;
        script
            .On("tagBrowserDlg",
                [&](QWidget* w) {
                    auto* dlg = static_cast<CTagBrowserDlg*>(w);
                    dlg->Root()->setExpanded(true);
                    dlg->Tree()->setCurrentItem(Find(Find(dlg->Root(), "Setpoints"), "Level"));
                    ModalScript::Click(dlg, "addItemButton");
                })
            .On("pointMapDlg",
                [&](QWidget* w) {
                    proposed = Text(w, "addressBox");
                    item = Text(w, "itemIdLine");
                    ModalScript::Click(w, button);
                })
            .On("tagBrowserDlg", [&](QWidget* w) { ModalScript::Click(w, "doneButton"); });
        Run(kCmdItemAdd, script);
        EXPECT_EQ(proposed, next);
        EXPECT_EQ(item, "Setpoints.Level");
    }
    ASSERT_EQ(Doc().Count(), 1); // the cancelled one added nothing
    const uint16_t address = MappingAt(0).address;
    EXPECT_EQ(std::to_string(address), next);

    // A master reads the level (50, unsigned) at the proposed address.
    modbus_t* master = modbus_new_tcp("127.0.0.1", tcpPort_);
    ASSERT_EQ(modbus_connect(master), 0);
    modbus_set_slave(master, 1);
    uint16_t word = 0;
    EXPECT_TRUE(WaitUntil([&] { return modbus_read_registers(master, address - 1, 1, &word) == 1 && word == 50; }))
        << word;
    modbus_close(master);
    modbus_free(master);
}

TEST_F(ProgramTest, WriteComesBackOrFailsAndDoubleClickEditsTheMapping) {
    Doc().AddRestoredItem("Setpoints.Float", Mapping(3, DT_UNSIGNED, 100));
    Doc().AddRestoredItem("Channel1.Device1.Speed", Mapping(3, DT_UNSIGNED, 200));
    const auto write = [&](int row, const char* text, bool async) {
        // The first visible row is the item at `row`.
        child_->View()->ScrollBy(row == 0 ? ScrollCode::LineUp : ScrollCode::LineDown);
        test::ClickRow(child_->View(), 0);
        ModalScript script;
        script.On("writeItemDlg", [&](QWidget* w) {
            auto* asyncBox = Child<QCheckBox>(w, "asyncWriteBox");
            EXPECT_TRUE(asyncBox->isChecked() && asyncBox->isEnabled());
            EXPECT_EQ(Text(w, "newValueBox"), "0");
            asyncBox->setChecked(async);
            Child(w, "newValueBox")->setText(QString::fromLatin1(text));
            ModalScript::Click(w, "okButton");
        });
        Run(kCmdItemWrite, script);
    };
    const auto value = [&] {
        ItemState s;
        Doc().ReadItem(0, &s);
        return s.value.Type() == VT_R4 ? s.value.Get().fltVal : -1.0f;
    };
    for (bool async : {true, false}) {
        const float expected = async ? 12.5f : -3.25f;
        write(0, async ? "12.5" : " -3.25", async);
        EXPECT_TRUE(WaitUntil([&] { return value() == expected; })) << value();
        shown_.clear();
        write(1, "1", async);
        EXPECT_EQ(shown_, std::vector<std::string>{"Write Interface Failed"}) << async;
    }

    child_->View()->ScrollBy(ScrollCode::LineUp);
    for (const char* button : {"cancelButton", "okButton"}) {
        test::ClickRow(child_->View(), 0);
        std::string shown;
        ModalScript script;
        script.On("pointMapDlg", [&](QWidget* w) {
            shown = Text(w, "itemIdLine") + " " + Text(w, "addressBox");
            Child(w, "addressBox")->setText(QStringLiteral("150"));
            ModalScript::Click(w, button);
        });
        test::ClickRow(child_->View(), 0, QEvent::MouseButtonDblClick);
        EXPECT_TRUE(script.Done());
        EXPECT_EQ(shown, "Setpoints.Float 100");
        EXPECT_EQ(MappingAt(0).address, std::string(button) == "okButton" ? 150 : 100) << button;
    }
}

// ---------------------------------------------------------------------------
// Printing

TEST_F(GuiTest, PdfAndPreviewShowThePaginatedPages) {
    test::TheRecorder().Reset();
    CQuorvaneModel model(test::RecordingServices());
    model.OpenGroupDocument("Line1", 500, 0.0f, 9);
    CQuorvaneDoc& doc = *model.Groups()->front();
    for (int i = 0; i < 300; ++i) doc.AddRestoredItem("Item" + std::to_string(i), Mapping(3, DT_UNSIGNED));
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
    // Pages counted from the file's bytes.
    const std::string pdf = test::ReadFile(dir / "list.pdf");
    EXPECT_EQ(CountPdfPages(pdf), expected);

    QPrintPreviewDialog preview(&printer);
    QObject::connect(&preview, &QPrintPreviewDialog::paintRequested, [&doc](QPrinter* p) { PrintItemList(*p, doc); });
    preview.show();
    auto* widget = preview.findChild<QPrintPreviewWidget*>();
    EXPECT_TRUE(WaitUntil([&] { return widget->pageCount() == expected; })) << widget->pageCount();
}

} // namespace
} // namespace quorvane
