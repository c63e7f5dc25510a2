// The printed item list without a printer: rows per page, where pages start
// (and that every page count ends), and the page's draw list.
#include "fake_services.h"
#include "model/item_print.h"
#include "model/quorvane_model.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

using test::MakeVariant;

TEST(PrintPagination, LinesAndPageStarts) {
    struct Case {
        const char* what;
        int pageHeight, lineHeight, count;
        int lines;
        std::vector<int> starts;
    };
    const Case cases[] = {
        {"300 items, 128 lines", 6600, 50, 300, 128, {0, 127, 254}},
        {"exactly L items", 6600, 50, 128, 128, {0}},
        {"L + 1 items repeat row L - 1", 6600, 50, 129, 128, {0, 127}},
        {"empty group: one page", 6600, 50, 0, 128, {0}},
        {"five line heights, three items", 50, 10, 3, 1, {0, 1, 2}},
        {"page smaller than the header", 30, 10, 3, 1, {0, 1, 2}},
        {"two lines move one item a page", 60, 10, 4, 2, {0, 1, 2}},
        {"line height 0 counts as 1", 10, 0, 7, 6, {0, 5}},
    };
    for (const Case& c : cases) {
        const int lines = LinesPerPage(c.pageHeight, c.lineHeight);
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(PageStarts(c.count, lines), c.starts) << c.what;
    }
    // Whatever the numbers, the pages end and cover every item.
    for (int lines = -2; lines <= 5; ++lines) {
        for (int count = 0; count <= 40; ++count) {
            const std::vector<int> starts = PageStarts(count, lines);
            ASSERT_LE(starts.size(), static_cast<size_t>(count) + 1);
            EXPECT_GE(starts.back() + std::max(1, lines), count) << lines << " lines, " << count << " items";
        }
    }
}

class PrintPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::TheRecorder().Reset();
        model = std::make_unique<CQuorvaneModel>(test::RecordingServices());
        model->SetServerHandle(5);
        model->OpenGroupDocument("Line1", 500, 0.0f, 9);
        doc = model->Groups()->front();
    }
    void Add(const std::string& id, uint16_t address, const VARIANT& value, uint64_t time, uint32_t quality,
             const std::string& path = "") {
        doc->AddRestoredItem(id, test::Mapped(1, PT_HOLDING_REGISTER, address, DT_UNSIGNED), path);
        doc->OnDataChange(doc->ItemAt(doc->Count() - 1)->ItemHandle(), value, time, quality);
    }
    // Qualities 192, 0 and 64; the last has no time.
    void Add3() {
        constexpr uint64_t kSecond = 10000000ULL, k2001 = 116444736000000000ULL + 1000000000ULL * kSecond;
        Add("Channel1.Speed", 100, MakeVariant(VT_R4, &VARIANT::fltVal, 1.5f).Get(), k2001, 192);
        Add("Temp", 101, MakeVariant(VT_BOOL, &VARIANT::boolVal, VARIANT_TRUE).Get(), k2001 + kSecond, 0, "Plant");
        Add("Name", 102, MakeVariant(VT_I2, &VARIANT::iVal, int16_t{7}).Get(), 0, 64);
        model->StoreRegister(1, PT_HOLDING_REGISTER, 102, 7);
    }
    std::unique_ptr<CQuorvaneModel> model;
    std::shared_ptr<CQuorvaneDoc> doc;
};

TEST_F(PrintPageTest, PagesCarryRuleTitlesQualityAndTheirOwnWidths) {
    // Character width 5, line height 10, two rows a page. Empty: the rule only.
    const PrintMetrics m{5, 10, 600, 60};
    const DrawEntry rule{DrawEntry::Kind::Line, 0, 20, 600, 20, "", kDrawNormal};
    const std::vector<DrawList> empty = BuildPrintPages(*doc, m);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].entries, std::vector<DrawEntry>{rule});
    Add3();
    const std::vector<DrawList> pages = BuildPrintPages(*doc, m);
    ASSERT_EQ(pages.size(), 2u); // rows 0-1, then 1-2

    const DrawList& first = pages[0];
    EXPECT_EQ(first.entries[0], rule);
    EXPECT_EQ(first.SelectionFill(), nullptr);
    ASSERT_NE(first.TextAt(0, 10), nullptr);
    EXPECT_EQ(first.TextAt(0, 10)->text, "OPC Item Description");
    EXPECT_EQ(first.TextAt(0, 20)->text, "01:46:40    Channel1.Speed");
    EXPECT_EQ(first.TextAt(0, 30)->text, "01:46:41    Plant.Temp");
    // Column 2 at the widest description (26 characters) + 2 characters, no title.
    EXPECT_EQ(first.TextAt(140, 10), nullptr);
    EXPECT_EQ(first.TextAt(140, 20)->text, " 1.50  (Quality Good)");
    EXPECT_EQ(first.TextAt(140, 30)->text, "TRUE (Quality Bad)");
    // Column 3 after the widest value (21 characters) + 4 characters.
    EXPECT_EQ(first.TextAt(130 + 105 + 20, 10)->text, "Modbus Data Representation");
    EXPECT_EQ(first.Texts().size(), 2u + 3u * 2u);

    const DrawList& second = pages[1];
    EXPECT_EQ(second.TextAt(0, 20)->text, "01:46:41    Plant.Temp"); // the last row again
    EXPECT_EQ(second.TextAt(0, 30)->text, "--:--:--    Name");
    // Widths start again: 22 characters of description, 23 of value.
    EXPECT_EQ(second.TextAt(120, 30)->text, "7  (Quality Uncertain)");
    ASSERT_NE(second.TextAt(110 + 110 + 20, 30), nullptr);
    EXPECT_EQ(second.TextAt(110 + 110 + 20, 30)->text, "1:40102 = 7");
}

} // namespace
} // namespace quorvane
