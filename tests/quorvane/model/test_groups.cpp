// Groups and items: data changes into values and registers, master writes
// into pending words and their flush, item and group lifecycles, sections.
#include "fake_services.h"
#include "model/quorvane_model.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace quorvane {
namespace {

using test::Call;
using test::TheRecorder;

constexpr int32_t kServer = 5;
constexpr int32_t kGroup = 9;
constexpr int32_t HR = PELLACOR_HOLDING_REGISTER;

PointMapping Map(uint8_t slave, uint16_t address, uint16_t dataType, int32_t type = HR) {
    return test::Mapped(slave, type, address, dataType);
}

VARIANT R4(float f) { return test::MakeVariant(VT_R4, &VARIANT::fltVal, f).Get(); } // owns nothing

struct CountingObserver : CGroupObserver {
    int values = 0, items = 0;
    void OnGroupChanged(CQuorvaneDoc&, GroupChange change) override {
        (change == GroupChange::Values ? values : items)++;
    }
};

class GroupTest : public ::testing::Test {
protected:
    void SetUp() override {
        TheRecorder().Reset();
        model = std::make_unique<CQuorvaneModel>(test::RecordingServices());
        model->SetServerHandle(kServer);
        model->OpenGroupDocument("Line1", 500, 1.5f, kGroup);
        doc = model->Groups()->front();
        doc->AttachObserver(&observer);
    }
    void TearDown() override {
        doc->DetachObserver(&observer);
        doc.reset();
        model.reset();
    }
    // Adds an item and returns its handle.
    int32_t Add(const std::string& id, const PointMapping& m) {
        doc->AddRestoredItem(id, m);
        return doc->ItemAt(doc->Count() - 1)->ItemHandle();
    }
    uint16_t Register(uint8_t slave, uint16_t address) {
        uint16_t v = 0xDEAD;
        model->LoadRegister(slave, HR, address, &v);
        return v;
    }
    std::vector<Call> Writes() {
        std::vector<Call> writes;
        for (const Call& c : TheRecorder().Calls())
            if (c.name == "WriteItem") writes.push_back(c);
        return writes;
    }

    std::unique_ptr<CQuorvaneModel> model;
    std::shared_ptr<CQuorvaneDoc> doc;
    CountingObserver observer;
};

TEST_F(GroupTest, OpenedGroupCarriesItsParameters) {
    EXPECT_EQ(doc->Title(), "GROUP: Line1 (Update Rate = 500)");
    EXPECT_EQ(doc->GroupHandle(), kGroup);
    EXPECT_EQ(model->GroupsExist(), 1);
    // Another new document repeats the pending group.
    auto second = model->NewGroupDocument();
    EXPECT_EQ(second->Name(), "Line1");
    EXPECT_EQ(model->Groups()->size(), 2u);
}

TEST_F(GroupTest, DataChangeUpdatesEveryItemWithTheHandle) {
    int32_t temp = Add("Temp", Map(1, 10, DT_FLOAT));
    Add("Other", Map(1, 20, DT_SHORT));
    // A second item with the same handle (as a failed AddItem would give).
    TheRecorder().Set(&test::Recorder::Knobs::nextItemHandle, temp);
    doc->AddRestoredItem("Twin2", Map(1, 40, DT_UNSIGNED));
    observer.values = 0;

    VARIANT v = R4(50.0f);
    CQuorvaneModel::Install(model.get());
    CQuorvaneModel::OnDataChange(kServer, kGroup, temp, &v, 0x11111111u, 0x2u, 0);
    CQuorvaneModel::Uninstall(model.get());

    ItemState s;
    ASSERT_TRUE(doc->ReadItem(0, &s));
    EXPECT_EQ(s.value.Type(), VT_R4);
    EXPECT_EQ(s.timestamp, 0x211111111ull);
    EXPECT_EQ(s.quality, 0u); // bad quality still updates value and registers
    EXPECT_EQ(s.reference, "1:40010 = 50.0000");
    EXPECT_EQ(Register(1, 10), 0x0000);
    EXPECT_EQ(Register(1, 11), 0x4248);
    EXPECT_EQ(Register(1, 40), 50);
    ASSERT_TRUE(doc->ReadItem(1, &s));
    EXPECT_EQ(s.value.Type(), VT_EMPTY);
    EXPECT_EQ(Register(1, 20), 0);
    EXPECT_EQ(observer.values, 1);
}

TEST_F(GroupTest, DataChangesThatMatchNothing) {
    int32_t h = Add("A", Map(1, 10, DT_UNSIGNED));
    observer.values = 0;
    VARIANT v = R4(7.0f);
    model->ApplyDataChange(kServer + 1, kGroup, h, &v, 0, 0, 192); // another server
    EXPECT_EQ(observer.values, 0);
    model->ApplyDataChange(kServer, kGroup + 1, h, &v, 0, 0, 192); // another group
    EXPECT_EQ(observer.values, 0);
    model->ApplyDataChange(kServer, kGroup, h + 100, &v, 0, 0, 192); // no such item: repaint only
    EXPECT_EQ(observer.values, 1);
    EXPECT_EQ(Register(1, 10), 0);
    model->ApplyDataChange(kServer, kGroup, h, &v, 0, 0, 192);
    EXPECT_EQ(Register(1, 10), 7);
}

TEST_F(GroupTest, MasterWritesBecomePendingAndFlushOnce) {
    int32_t shortItem = Add("S", Map(1, 10, DT_SHORT));
    int32_t floatItem = Add("F", Map(1, 20, DT_FLOAT));
    Add("Broadcast", Map(0, 10, DT_UNSIGNED));
    Add("Date", Map(1, 30, DT_DATE));
    int32_t coil = Add("Coil", Map(1, 10, DT_BOOL, PELLACOR_COIL_STATUS));

    model->ApplySlaveWrite(1, HR, 10, 0xFFFF);
    model->ApplySlaveWrite(1, HR, 20, 0x0000); // FLOAT low word: held
    model->ApplySlaveWrite(1, HR, 30, 9);      // DATE: dropped at the flush
    model->ApplySlaveWrite(1, PELLACOR_COIL_STATUS, 10, 1);
    EXPECT_FALSE(doc->ItemAt(1)->Pending().flag);
    model->FlushAllPendingWrites();
    EXPECT_EQ(Writes(), (std::vector<Call>{
                            {"WriteItem", kServer, kGroup, shortItem, 0, "", VT_I2, -1, 0},
                            {"WriteItem", kServer, kGroup, coil, 0, "", VT_BOOL, -1, 0},
                        }));

    TheRecorder().Reset();
    model->FlushAllPendingWrites(); // nothing pending any more
    EXPECT_TRUE(Writes().empty());

    model->ApplySlaveWrite(1, HR, 21, 0x3F80); // high word: sent with the held low word
    model->ApplySlaveWrite(0, HR, 10, 3);      // a broadcast reaches only slave 0's items
    model->FlushAllPendingWrites();
    auto writes = Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].c, floatItem);
    EXPECT_EQ(writes[0].number, 1.0);
    EXPECT_EQ(writes[1].vt, VT_UI2);
    EXPECT_EQ(writes[1].number, 3);

    // Wider arguments: the type's and the value's low bits count.
    TheRecorder().Reset();
    model->ApplySlaveWrite(1, 0x100 | HR, 10, 0x10005);
    model->FlushAllPendingWrites();
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0].number, 5);
}

TEST_F(GroupTest, LatestMasterWriteWinsUntilFlushed) {
    Add("U", Map(1, 10, DT_UNSIGNED));
    for (uint16_t v = 1; v <= 5; ++v) model->ApplySlaveWrite(1, HR, 10, v);
    model->FlushAllPendingWrites();
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0].number, 5);
}

TEST_F(GroupTest, ItemWithoutABackingBlockIsListedAndShowsZero) {
    TheRecorder().Set(&test::Recorder::Knobs::blockLimit, 0);
    int32_t h = Add("F", Map(1, 10, DT_FLOAT));
    EXPECT_EQ(doc->Count(), 1);
    VARIANT v = R4(1.0f);
    model->ApplyDataChange(kServer, kGroup, h, &v, 0, 0, 192);
    ItemState s;
    ASSERT_TRUE(doc->ReadItem(0, &s));
    EXPECT_EQ(s.value.Type(), VT_R4);
    EXPECT_EQ(s.reference, "1:40010 = 0.0000");
    doc->RemoveItemAt(0);
    EXPECT_EQ(model->PointMap().BlockCount(), 0u);
}

TEST_F(GroupTest, WriteItemAt) {
    Add("A", Map(1, 10, DT_SHORT));
    EXPECT_EQ(doc->WriteItemAt(1, 2.5f, true), 0); // index equal to the count
    EXPECT_EQ(doc->WriteItemAt(-1, 2.5f, true), 0);
    EXPECT_TRUE(Writes().empty());

    struct Case {
        int32_t result;
        bool asynchronous;
        int expected;
    } const cases[] = {{0, true, 0}, {1, true, 1}, {-1, true, 1}, {0, false, 1}, {3, false, 1}, {-1, false, 0}};
    for (const auto& c : cases) {
        TheRecorder().Set(&test::Recorder::Knobs::writeResult, c.result);
        EXPECT_EQ(doc->WriteItemAt(0, 2.5f, c.asynchronous), c.expected) << c.result << " " << c.asynchronous;
    }
    auto writes = Writes();
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes[0].vt, VT_R4); // always sent as VT_R4
    EXPECT_EQ(writes[0].number, 2.5);
    EXPECT_EQ(writes[0].mode, 1);
    EXPECT_EQ(writes[3].mode, 0);
}

TEST_F(GroupTest, RemoveItemAtUnmapsAndKeepsTheOthersInOrder) {
    Add("A", Map(1, 10, DT_FLOAT));
    int32_t b = Add("B", Map(1, 500, DT_UNSIGNED));
    Add("C", Map(1, 600, DT_UNSIGNED));
    observer.items = 0;
    TheRecorder().Reset();
    doc->RemoveItemAt(1);
    EXPECT_EQ(TheRecorder().Calls(), (std::vector<Call>{{"RemoveItem", kServer, kGroup, b}, {"RemoveDataBlock", 2}}));
    EXPECT_EQ(doc->Count(), 2);
    EXPECT_EQ(doc->ItemAt(1)->itemId, "C");
    EXPECT_EQ(observer.items, 1);
    doc->RemoveItemAt(2); // nothing there
    EXPECT_EQ(doc->Count(), 2);
    // B's block went with it; A's and C's stay.
    EXPECT_EQ(model->PointMap().BlockCount(), 2u);
    doc->RemoveItemAt(0);
    EXPECT_EQ(model->PointMap().BlockCount(), 1u);
}

TEST_F(GroupTest, ClosingAGroupTearsDownInOrder) {
    int32_t h = Add("F", Map(1, 10, DT_FLOAT));
    TheRecorder().Reset();
    model->CloseGroup(doc);
    EXPECT_EQ(TheRecorder().Calls(), (std::vector<Call>{
                                         {"RemoveItem", kServer, kGroup, h},
                                         {"RemoveDataBlock", 1},
                                         {"RemoveGroup", kServer, kGroup},
                                     }));
    EXPECT_EQ(model->GroupsExist(), 0);
    model->CloseGroup(doc); // not open any more: nothing
    EXPECT_EQ(TheRecorder().Calls().size(), 3u);
}

TEST_F(GroupTest, EditItemMappingMovesThePoints) {
    int32_t h = Add("A", Map(1, 10, DT_FLOAT));
    ASSERT_EQ(doc->EditItemMapping(0, Map(2, 300, DT_SHORT)), 1);
    EXPECT_EQ(doc->EditItemMapping(1, Map(2, 300, DT_SHORT)), 0);
    auto blocks = model->PointMap().Blocks();
    ASSERT_EQ(blocks->size(), 1u);
    EXPECT_EQ(blocks->at(0)->SlaveId(), 2);
    EXPECT_EQ(blocks->at(0)->StartAddress(), 300);
    VARIANT v = R4(-2.0f);
    model->ApplyDataChange(kServer, kGroup, h, &v, 0, 0, 192);
    EXPECT_EQ(Register(2, 300), 0xFFFE);
    // Master writes follow the new mapping at once.
    model->ApplySlaveWrite(1, HR, 11, 1);
    model->ApplySlaveWrite(2, HR, 300, 4);
    model->FlushAllPendingWrites();
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0].vt, VT_I2);
}

TEST_F(GroupTest, MappingOverlaps) {
    Add("F", Map(1, 100, DT_FLOAT)); // 100..101
    Add("U", Map(1, 200, DT_UNSIGNED));
    struct Case {
        uint8_t slave;
        int32_t type;
        uint16_t address;
        int count;
        int overlaps;
    } const cases[] = {
        {1, HR, 99, 1, 0}, {1, HR, 99, 2, 1}, {1, HR, 101, 1, 1}, {1, HR, 102, 2, 0},
        {1, HR, 199, 2, 1}, {2, HR, 100, 1, 0}, {1, PELLACOR_INPUT_REGISTER, 100, 1, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(model->MappingOverlaps(c.slave, c.type, c.address, c.count), c.overlaps) << c.address;
    EXPECT_EQ(model->MappingOverlaps(1, HR, 101, 2, doc->ItemAt(0).get()), 0);
}

TEST_F(GroupTest, FindGroupViewByExactName) {
    model->OpenGroupDocument("Line2", 1000, 0.0f, kGroup + 1);
    EXPECT_EQ(model->FindGroupView("line2", "X", Map(1, 1, DT_SHORT)), 0);
    EXPECT_EQ(model->FindGroupView("Line2", "X", Map(1, 1, DT_SHORT)), 1);
    EXPECT_EQ(model->Groups()->at(1)->Count(), 1);
    EXPECT_EQ(doc->Count(), 0);
    EXPECT_EQ(model->PointMap().BlockCount(), 1u);
}

TEST_F(GroupTest, SectionsAsTheFileCarriesThem) {
    Add("Channel1.Device1.Speed", Map(1, 1, DT_SHORT));
    Add("Channel1.Device1.Temp", Map(1, 2, DT_FLOAT));
    Add(std::string(190, 'L'), Map(1, 3, DT_SHORT)); // its line would not be read back
    std::string text;
    std::vector<std::string> omitted;
    EXPECT_EQ(doc->WriteGroupSection(text, 1, &omitted), 1);
    EXPECT_EQ(text, "\r\n[GROUP1]\r\nLine1,500,1.500000\r\n"
                    "Channel1.Device1.Speed,1,40001,SHORT\r\n"
                    "Channel1.Device1.Temp,1,40002,FLOAT\r\n");
    EXPECT_EQ(omitted, std::vector<std::string>{std::string(190, 'L')});

    // A group whose own line is too long takes no number.
    model->OpenGroupDocument(std::string(200, 'G'), 100, 0.0f, 1);
    model->OpenGroupDocument("Line3", 100, 0.0f, 2);
    std::string all;
    omitted.clear();
    EXPECT_EQ(model->SaveAllGroups(all, &omitted), 2);
    EXPECT_NE(all.find("\r\n[GROUP2]\r\nLine3,100,0.000000\r\n"), std::string::npos);
    EXPECT_EQ(all.find("[GROUP3]"), std::string::npos);
    EXPECT_EQ(omitted.size(), 2u);

    // The same bytes through a file.
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    model->SaveAllGroups(f);
    std::rewind(f);
    std::string back(all.size() + 10, '\0');
    back.resize(std::fread(back.data(), 1, back.size(), f));
    std::fclose(f);
    EXPECT_EQ(back, all);
}

TEST_F(GroupTest, DetachedObserverIsNotCalled) {
    doc->DetachObserver(&observer);
    observer.values = 0;
    VARIANT v = R4(1.0f);
    model->ApplyDataChange(kServer, kGroup, 1, &v, 0, 0, 192);
    EXPECT_EQ(observer.values, 0);
    doc->AttachObserver(&observer);
}

TEST(ModelLifetime, DestructionClosesGroupsAndRemovesBlocks) {
    TheRecorder().Reset();
    {
        CQuorvaneModel model(test::RecordingServices());
        model.SetServerHandle(kServer);
        model.OpenGroupDocument("G", 100, 0.0f, kGroup);
        model.Groups()->front()->AddRestoredItem("A", Map(1, 10, DT_SHORT));
        CQuorvaneModel::Install(&model);
    }
    EXPECT_EQ(TheRecorder().Names(), (std::vector<std::string>{"DefineDataBlock", "AddItem", "RemoveItem",
                                                               "RemoveDataBlock", "RemoveGroup"}));
    // The callbacks reach no model any more.
    VARIANT v = R4(1.0f);
    EXPECT_EQ(CQuorvaneModel::OnDataChange(kServer, kGroup, 1000, &v, 0, 0, 192), 0);
    EXPECT_EQ(CQuorvaneModel::OnSlaveWrite(1, HR, 10, 1), 0);
}

} // namespace
} // namespace quorvane
