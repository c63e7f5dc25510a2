// The item list without a window: value and description texts, the row and
// scroll arithmetic, and the draw list of a small group. Runs with TZ=UTC.
#include "fake_services.h"
#include "model/item_list.h"
#include "model/quorvane_model.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <locale.h>
#include <ostream>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define QV_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_LEAK_CHECKS 1
#endif
#endif
#ifdef QV_LEAK_CHECKS
#include <sanitizer/lsan_interface.h>
#endif

namespace quorvane {

void PrintTo(const DrawEntry& e, std::ostream* os) {
    static const char* const kinds[] = {"Text", "Line", "Fill"};
    *os << kinds[static_cast<int>(e.kind)] << "(" << e.x1 << "," << e.y1;
    if (e.kind == DrawEntry::Kind::Text)
        *os << ",\"" << e.text << "\",flags " << e.flags << ")";
    else
        *os << "," << e.x2 << "," << e.y2 << ")";
}

namespace {

using test::MakeVariant;

constexpr uint64_t kEpoch = 116444736000000000ULL; // 1970-01-01 as a file time
constexpr uint64_t FileTimeOf(int64_t unixSeconds) {
    return kEpoch + static_cast<uint64_t>(unixSeconds) * 10000000ULL;
}

CVariant Text(const char* s) {
    CVariant v;
    v.Ptr()->vt = VT_BSTR;
    v.Ptr()->bstrVal = s ? SysAllocString(s) : nullptr;
    return v;
}

CVariant Tagged(VARTYPE vt) {
    CVariant v;
    v.Ptr()->vt = vt;
    return v;
}

struct ValueCase {
    const char* what;
    CVariant value;
    std::string text;
};

TEST(ItemValueText, EveryTypeTag) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ValueCase cases[] = {
        {"I2 negative", MakeVariant(VT_I2, &VARIANT::iVal, int16_t{-7}), "-7 "},
        {"I4 minimum", MakeVariant(VT_I4, &VARIANT::lVal, INT32_MIN), "-2147483648 "},
        {"INT", MakeVariant(VT_INT, &VARIANT::intVal, int32_t{-12}), "-12 "},
        {"UI4 above the signed range", MakeVariant(VT_UI4, &VARIANT::ulVal, 4000000000u), "4000000000 "},
        {"UINT maximum", MakeVariant(VT_UINT, &VARIANT::uintVal, UINT32_MAX), "4294967295 "},
        {"I8", MakeVariant(VT_I8, &VARIANT::llVal, int64_t{-9000000000}), "-9000000000 "},
        {"UI8 maximum", MakeVariant(VT_UI8, &VARIANT::ullVal, UINT64_MAX), "18446744073709551615 "},
        {"I1 signed", MakeVariant(VT_I1, &VARIANT::cVal, int8_t{-1}), "-1 "},
        {"UI1", MakeVariant(VT_UI1, &VARIANT::bVal, uint8_t{255}), "255 "},
        {"UI2 above the signed range", MakeVariant(VT_UI2, &VARIANT::uiVal, uint16_t{65535}), "65535 "},
        {"R4 padded to five", MakeVariant(VT_R4, &VARIANT::fltVal, 1.5f), " 1.50 "},
        {"R4 rounds", MakeVariant(VT_R4, &VARIANT::fltVal, -0.125f), "-0.12 "},
        {"R4 wider than five", MakeVariant(VT_R4, &VARIANT::fltVal, 123456.0f), "123456.00 "},
        {"R8 padded to nine", MakeVariant(VT_R8, &VARIANT::dblVal, 2.0), "   2.0000 "},
        {"R8 large", MakeVariant(VT_R8, &VARIANT::dblVal, 1e20), "100000000000000000000.0000 "},
        {"R8 not a number", MakeVariant(VT_R8, &VARIANT::dblVal, nan), "      nan "},
        {"BOOL true", MakeVariant(VT_BOOL, &VARIANT::boolVal, VARIANT_TRUE), "TRUE"},
        {"BOOL any nonzero", MakeVariant(VT_BOOL, &VARIANT::boolVal, VARIANT_BOOL{1}), "TRUE"},
        {"BOOL false", MakeVariant(VT_BOOL, &VARIANT::boolVal, VARIANT_FALSE), "FALSE"},
        {"BSTR", Text("Running"), "Running"},
        {"BSTR null", Text(nullptr), ""},
        {"BSTR cut at 80", Text(std::string(100, 'a').c_str()), std::string(80, 'a')},
        {"EMPTY", Tagged(VT_EMPTY), "?????"},
        {"DATE", MakeVariant(VT_DATE, &VARIANT::date, 45000.0), "?????"},
        {"array", Tagged(VT_ARRAY | VT_I2), "?????"},
        {"unknown tag", Tagged(0x7777), "?????"},
    };
    for (const ValueCase& c : cases) EXPECT_EQ(FormatItemValue(c.value.Get()), c.text) << c.what;
}

TEST(ItemValueText, PrintedWithQuality) {
    const CVariant one = MakeVariant(VT_I2, &VARIANT::iVal, int16_t{1});
    EXPECT_EQ(FormatPrintedValue(one.Get(), 192), "1  (Quality Good)");
    EXPECT_EQ(FormatPrintedValue(one.Get(), 0), "1  (Quality Bad)");
    EXPECT_EQ(FormatPrintedValue(one.Get(), 64), "1  (Quality Uncertain)");
    EXPECT_STREQ(QualityText(216), " (Quality Uncertain)"); // good with a limit is not 192
}

struct CutCase {
    const char* what;
    std::string text;
    size_t maxChars;
    std::string cut;
    size_t chars; // characters in `text`
};

TEST(ItemValueText, CutNeverSplitsASequence) {
    const std::string e = "\xC3\xA9";            // U+00E9, two bytes
    const std::string yen = "\xE5\x86\x86";       // U+5186, three bytes
    const std::string clef = "\xF0\x9D\x84\x9E";  // U+1D11E, four bytes
    std::string eighty;
    for (int i = 0; i < 80; ++i) eighty += e;
    const CutCase cases[] = {
        {"short text unchanged", "abc", 80, "abc", 3},
        {"two-byte at the cut", std::string(79, 'a') + e + e, 80, std::string(79, 'a') + e, 81},
        {"all two-byte", eighty + "x", 80, eighty, 81},
        {"three and four bytes", yen + clef + "z", 2, yen + clef, 3},
        {"stray continuation bytes count one each", "\x80\x80\x80", 2, "\x80\x80", 3},
        {"lead byte without its tail", "ab\xE5\x86", 3, "ab\xE5", 4},
        {"overlong form is single bytes", "\xC0\xAF", 1, "\xC0", 2},
        {"surrogate is single bytes", "\xED\xA0\x80", 1, "\xED", 3},
        {"beyond U+10FFFF is single bytes", "\xF4\x90\x80\x80", 1, "\xF4", 4},
        {"zero characters", "abc", 0, "", 3},
    };
    for (const CutCase& c : cases) {
        EXPECT_EQ(TruncateText(c.text, c.maxChars), c.cut) << c.what;
        EXPECT_EQ(CountTextChars(c.text), c.chars) << c.what;
    }
    // A value of 80 two-byte characters and more shows all 80 whole.
    const CVariant v = Text((eighty + e).c_str());
    EXPECT_EQ(FormatItemValue(v.Get()), eighty);
}

struct TimeCase {
    const char* what;
    uint64_t fileTime;
    std::string text;
};

TEST(ItemDescriptionText, TimeInUtc) {
    const TimeCase cases[] = {
        {"zero", 0, "--:--:--    "},
        {"one tick before 1970", kEpoch - 1, "--:--:--    "},
        {"1970 itself", kEpoch, "00:00:00    "},
        {"a second's fraction is dropped", kEpoch + 9999999, "00:00:00    "},
        {"2001-09-09 01:46:40", FileTimeOf(1000000000), "01:46:40    "},
        {"last second of a day", FileTimeOf(86399), "23:59:59    "},
        {"last representable date", (1ULL << 63) - 1, "02:48:05    "},
        {"beyond the calendar", 1ULL << 63, "--:--:--    "},
        {"largest file time", UINT64_MAX, "--:--:--    "},
    };
    for (const TimeCase& c : cases) EXPECT_EQ(FormatItemTime(c.fileTime), c.text) << c.what;

    EXPECT_EQ(FormatItemDescription(FileTimeOf(3661), "", "Channel1.Speed"), "01:01:01    Channel1.Speed");
    EXPECT_EQ(FormatItemDescription(FileTimeOf(3661), "Plant", "Temp"), "01:01:01    Plant.Temp");
    EXPECT_EQ(FormatItemDescription(0, "", "X"), "--:--:--    X");
}

// Local time, not UTC: a zone east and one west of Greenwich (POSIX zone
// strings, so no zone database is needed). 1970-01-01 00:00 UTC is still in
// 1969 west of Greenwich and shows its local time.
TEST(ItemDescriptionText, TimeInLocalZone) {
    const struct {
        const char* zone;
        uint64_t fileTime;
        const char* text;
    } cases[] = {
        {"QVT-2", kEpoch, "02:00:00    "},
        {"QVT+5", kEpoch, "19:00:00    "},
        {"QVT+5", FileTimeOf(1000000000), "20:46:40    "},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(FormatItemTime(c.fileTime), c.text) << c.zone;
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

// A locale whose decimal point is ',', compiled for this process (machines
// often carry only the C locales); 0 when the locale sources are missing.
locale_t MakeCommaLocale() {
    std::error_code ec;
    const auto dir = std::filesystem::temp_directory_path(ec) / ("qv_locale_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir, ec);
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    locale_t made = static_cast<locale_t>(0);
    if (std::system(command.c_str()) != -1) {
        setenv("LOCPATH", dir.c_str(), 1);
#ifdef QV_LEAK_CHECKS
        // The C library never frees the search path a LOCPATH lookup builds.
        __lsan_disable();
#endif
        made = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
#ifdef QV_LEAK_CHECKS
        __lsan_enable();
#endif
        unsetenv("LOCPATH");
    }
    std::filesystem::remove_all(dir, ec); // a loaded locale stays usable
    return made;
}

// Numbers on the screen and in configuration files keep the "." decimal point
// under a locale with a decimal comma (a window toolkit installs the user's).
TEST(ItemValueText, DecimalPointWhateverTheLocale) {
    const locale_t comma = MakeCommaLocale();
    if (comma == static_cast<locale_t>(0)) GTEST_SKIP() << "no locale with a decimal comma could be made";
    const locale_t previous = uselocale(comma);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    EXPECT_STREQ(probe, "1,5"); // the locale is in force

    PointMapping f = test::Mapped(1, PT_HOLDING_REGISTER, 100, DT_FLOAT);
    PointMapping scaled = test::Mapped(1, PT_HOLDING_REGISTER, 1, DT_SCALED);
    scaled.dataHigh = 12.5f;
    EXPECT_EQ(FormatItemValue(MakeVariant(VT_R4, &VARIANT::fltVal, 1.5f).Get()), " 1.50 ");
    EXPECT_EQ(FormatItemValue(MakeVariant(VT_R8, &VARIANT::dblVal, -0.5).Get()), "  -0.5000 ");
    EXPECT_EQ(FormatPointReferenceText(f, 0x0000, 0x3FC0), "1:40100 = 1.5000");
    EXPECT_EQ(FormatItemLine("A", scaled), "A,1,40001,SCALED0-9999,0.00,12.50");
    EXPECT_EQ(FormatGroupLine("G", 1000, 0.5f), "G,1000,0.500000");

    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    EXPECT_STREQ(probe, "1,5"); // and is the thread's again afterwards
    uselocale(previous);
    freelocale(comma);
}

// ---------------------------------------------------------------------------
// Row arithmetic

TEST(ViewMetrics, RowsPageAndClick) {
    const struct {
        int height, lineHeight, visible, page;
    } sizes[] = {
        {200, 16, 11, 12}, // a page moves one row more than is painted
        {33, 16, 1, 2},     // exactly one row
        {32, 16, 0, 2},     // one pixel short of a row
        {10, 16, 0, 0},     // smaller than the header: no negative counts
        {0, 16, 0, 0},
        {10, 0, 8, 10},     // no line height yet: counts as 1
    };
    for (const auto& s : sizes) {
        EXPECT_EQ(VisibleRows(s.height, s.lineHeight), s.visible) << s.height << "/" << s.lineHeight;
        EXPECT_EQ(PageRows(s.height, s.lineHeight), s.page) << s.height << "/" << s.lineHeight;
    }
    EXPECT_EQ(RowTop(0, 16), 17);
    EXPECT_EQ(RowTop(3, 16), 65);

    const struct {
        int y, topRow, count, selected;
    } clicks[] = {
        {20, 0, 5, 0},         // first row
        {10, 0, 5, -1},        // header clears
        {16, 0, 5, 0},         // the rule pixel belongs to row 0
        {40, 3, 5, 4},         // second row from top row 3
        {100, 3, 5, -1},       // below the last item clears
        {-20, 0, 5, -1},       // above the window
        {20, 7, 5, -1},        // top row past the end after removals
        {20, 0, 0, -1},        // empty group
        {40, INT_MAX, INT_MAX, -1}, // no overflow
    };
    for (const auto& c : clicks)
        EXPECT_EQ(SelectAt(c.y, 16, c.topRow, c.count), c.selected)
            << "y " << c.y << " top " << c.topRow << " count " << c.count;
}

TEST(ViewMetrics, ScrollCodesAndClamping) {
    const struct {
        const char* what;
        int topRow;
        ScrollCode code;
        int thumb, count, expected;
    } cases[] = {
        {"page down clamps to the last item", 0, ScrollCode::PageDown, 0, 5, 4},
        {"page down", 0, ScrollCode::PageDown, 0, 300, 12},
        {"page up stops at 0", 10, ScrollCode::PageUp, 0, 300, 0},
        {"page up", 20, ScrollCode::PageUp, 0, 300, 8},
        {"line down at the end", 4, ScrollCode::LineDown, 0, 5, 4},
        {"line down", 4, ScrollCode::LineDown, 0, 300, 5},
        {"line up at the start", 0, ScrollCode::LineUp, 0, 5, 0},
        {"thumb beyond 200 reaches every row", 0, ScrollCode::ThumbPosition, 250, 300, 250},
        {"thumb past the end", 0, ScrollCode::ThumbPosition, 150, 5, 4},
        {"thumb below 0", 3, ScrollCode::ThumbPosition, -5, 5, 0},
        {"tracking does not move", 5, ScrollCode::ThumbTrack, 100, 300, 5},
        {"top does not move", 5, ScrollCode::Top, 0, 300, 5},
        {"bottom does not move", 5, ScrollCode::Bottom, 0, 300, 5},
        {"end of scroll does not move", 5, ScrollCode::EndScroll, 0, 300, 5},
        {"any code clamps a top row left past the end", 7, ScrollCode::EndScroll, 0, 3, 2},
        {"empty group: nothing happens", 3, ScrollCode::LineDown, 0, 0, 3},
        {"no overflow", INT_MAX - 1, ScrollCode::PageDown, 0, INT_MAX, INT_MAX - 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ScrollTopRow(c.topRow, c.code, c.thumb, 12, c.count), c.expected) << c.what;

    const std::pair<int, int> ranges[] = {{0, 200}, {5, 200}, {201, 200}, {202, 201}, {1000, 999}};
    for (auto [count, max] : ranges) EXPECT_EQ(ScrollRangeMax(count), max) << count;
}

TEST(ViewMetrics, SelectionSurvivesRemovalAsAnIndex) {
    CItemListState view;
    view.SetFontMetrics(8, 16);
    view.Resize(400, 200);
    view.Click(RowTop(2, 16), 3); // the last of three items
    EXPECT_EQ(view.selectedRow, 2);
    EXPECT_TRUE(view.SelectionDesignatesItem(3));
    // The last item is removed: the index stays, Remove and Write disable.
    view.ItemsChanged();
    EXPECT_EQ(view.selectedRow, 2);
    EXPECT_FALSE(view.SelectionDesignatesItem(2));
    // Removing the first of three instead: the same index is the next item.
    EXPECT_TRUE(view.SelectionDesignatesItem(3));
    EXPECT_FALSE(SelectionDesignatesItem(-1, 3));

    view.widths = {120, 40};
    EXPECT_FALSE(view.Scroll(ScrollCode::LineDown, 0, 0)); // empty: nothing at all
    EXPECT_EQ(view.widths, (ColumnWidths{120, 40}));
    EXPECT_TRUE(view.Scroll(ScrollCode::EndScroll, 0, 3)); // even without a move
    EXPECT_EQ(view.widths, ColumnWidths{});
    EXPECT_TRUE(view.Scroll(ScrollCode::PageDown, 0, 30));
    EXPECT_EQ(view.topRow, 12);
}

// Keys walk the selection and the list follows it: ten items, four rows
// shown (a client of 5 lines of 16 pixels), each step from the state before.
TEST(ViewMetrics, SelectionKeysMoveAndKeepTheRowInView) {
    CItemListState view;
    view.SetFontMetrics(8, 16);
    view.Resize(400, 5 * 16 + 4);
    ASSERT_EQ(view.VisibleRows(), 4);
    struct Step {
        SelectionKey key;
        int selected, top;
    } steps[] = {
        {SelectionKey::Down, 0, 0},     // none selected: the top row
        {SelectionKey::Down, 1, 0},     {SelectionKey::PageDown, 5, 2}, // the list follows down
        {SelectionKey::End, 9, 6},      {SelectionKey::Down, 9, 6},     // clamped at the end
        {SelectionKey::PageUp, 5, 5},   {SelectionKey::Up, 4, 4},       // and up
        {SelectionKey::Home, 0, 0},     {SelectionKey::Up, 0, 0},
        {SelectionKey::PageDown, 4, 1},
    };
    for (const Step& s : steps) {
        view.widths = {50, 50};
        const int top = view.topRow;
        EXPECT_TRUE(view.MoveSelection(s.key, 10));
        EXPECT_EQ(view.selectedRow, s.selected) << static_cast<int>(s.key);
        EXPECT_EQ(view.topRow, s.top) << static_cast<int>(s.key);
        // The columns close up only when the list moved.
        EXPECT_EQ(view.widths == ColumnWidths{}, top != s.top) << static_cast<int>(s.key);
    }
    // A selection left past the end by a removal starts again from the top row.
    view.selectedRow = 12;
    view.topRow = 3;
    EXPECT_TRUE(view.MoveSelection(SelectionKey::Down, 10));
    EXPECT_EQ(view.selectedRow, 3);
    EXPECT_FALSE(view.MoveSelection(SelectionKey::End, 0));
    EXPECT_EQ(view.selectedRow, 3);
}

// ---------------------------------------------------------------------------
// Draw list of a group

constexpr int32_t kServer = 5;
constexpr int32_t kGroup = 9;

class ItemListDrawTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::TheRecorder().Reset();
        model = std::make_unique<CQuorvaneModel>(test::RecordingServices());
        model->SetServerHandle(kServer);
        model->OpenGroupDocument("Line1", 500, 0.0f, kGroup);
        doc = model->Groups()->front();
        view.SetFontMetrics(8, 16);
        view.Resize(400, 200);
    }
    int32_t Add(const std::string& id, uint16_t address, uint16_t dataType, const std::string& path = "") {
        doc->AddRestoredItem(id, test::Mapped(1, PT_HOLDING_REGISTER, address, dataType), path);
        return doc->ItemAt(doc->Count() - 1)->ItemHandle();
    }
    // Three items with known values: a float, a flag under an access path, a
    // text that has no time.
    void AddThree() {
        doc->OnDataChange(Add("Channel1.Speed", 100, DT_UNSIGNED),
                          MakeVariant(VT_R4, &VARIANT::fltVal, 1.5f).Get(), FileTimeOf(1000000000), 192);
        doc->OnDataChange(Add("Temp", 101, DT_BOOL, "Plant"),
                          MakeVariant(VT_BOOL, &VARIANT::boolVal, VARIANT_TRUE).Get(), FileTimeOf(1000000001), 0);
        doc->OnDataChange(Add("Name", 102, DT_UNSIGNED), Text("abc").Get(), 0, 64);
    }
    static DrawEntry T(int x, int y, const std::string& text, uint32_t flags = kDrawNormal) {
        return DrawEntry{DrawEntry::Kind::Text, x, y, 0, 0, text, flags};
    }

    std::unique_ptr<CQuorvaneModel> model;
    std::shared_ptr<CQuorvaneDoc> doc;
    CItemListState view;
};

TEST_F(ItemListDrawTest, EmptyGroupDrawsOnlyTheRule) {
    DrawList list = BuildScreenDrawList(*doc, view);
    ASSERT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entries[0], (DrawEntry{DrawEntry::Kind::Line, 0, 16, 400, 16, "", kDrawNormal}));
}

TEST_F(ItemListDrawTest, ScreenRowsColumnsAndSelection) {
    AddThree();
    view.selectedRow = 1;
    DrawList list = BuildScreenDrawList(*doc, view);
    // Column 1 is 26 characters wide ("01:46:40    Channel1.Speed"), column 2
    // six (" 1.50 "): x2 = 26*8 + 16, x3 = 26*8 + 6*8 + 32.
    const int x2 = 224, x3 = 288;
    const std::vector<DrawEntry> expected = {
        {DrawEntry::Kind::Line, 0, 16, 400, 16, "", kDrawNormal},
        T(0, 0, "OPC Item Description", kDrawTitle),
        T(0, 17, "01:46:40    Channel1.Speed"),
        {DrawEntry::Kind::Fill, 0, 33, 400, 49, "", kDrawNormal},
        T(0, 33, "01:46:41    Plant.Temp", kDrawInverted | kDrawBad), // quality 0
        T(0, 49, "--:--:--    Name", kDrawUncertain),                 // quality 64
        T(x2, 0, "Value", kDrawTitle),
        T(x2, 17, " 1.50 "),
        T(x2, 33, "TRUE", kDrawInverted | kDrawBad),
        T(x2, 49, "abc", kDrawUncertain),
        T(x3, 0, "Modbus Data Representation", kDrawTitle),
        T(x3, 17, "1:40100 = 2"), // 1.5 rounds half to even into the register
        T(x3, 33, "1:40101 = 1", kDrawInverted | kDrawBad),
        T(x3, 49, "1:40102 = 0", kDrawUncertain), // text that is no number stores 0
    };
    EXPECT_EQ(list.entries, expected);
    EXPECT_EQ(view.widths, (ColumnWidths{208, 48}));
}

// The tooltip says what the colour only hints at: the quality in words, the
// server's status, the source time and the Modbus point.
TEST_F(ItemListDrawTest, TooltipNamesQualityStatusTimeAndPoint) {
    struct Case {
        uint32_t quality;
        const char* status;
        uint64_t time;
        const char* expected;
    } cases[] = {
        {0, "BadNodeIdUnknown", FileTimeOf(1000000000) + 2500000,
         "Quality: Bad (0)\nStatus: BadNodeIdUnknown\nSource time: 2001-09-09 01:46:40.250 UTC\n"
         "Modbus point: 1:40100 = 0"},
        {64, "UncertainLastUsableValue", 0,
         "Quality: Uncertain (64)\nStatus: UncertainLastUsableValue\nSource time: none\nModbus point: 1:40100 = 0"},
        {192, "", FileTimeOf(0), "Quality: Good (192)\nSource time: 1970-01-01 00:00:00.000 UTC\n"
                                 "Modbus point: 1:40100 = 0"},
    };
    const int32_t handle = Add("Channel1.Device1.Broken", 100, DT_UNSIGNED);
    for (const Case& c : cases) {
        doc->OnDataChange(handle, Text("x").Get(), c.time, c.quality, c.status);
        ItemState state;
        ASSERT_TRUE(doc->ReadItem(0, &state));
        EXPECT_EQ(FormatItemTooltip(state), c.expected);
    }
}

TEST_F(ItemListDrawTest, ColumnsOnlyGrowUntilReset) {
    AddThree();
    BuildScreenDrawList(*doc, view);
    // Scrolled to the last row by a path that keeps the widths: column 2 stays
    // where the widest text of the earlier paint put it.
    view.topRow = 2;
    DrawList kept = BuildScreenDrawList(*doc, view);
    ASSERT_NE(kept.TextAt(224, 17), nullptr);
    EXPECT_EQ(kept.TextAt(224, 17)->text, "abc");
    // After a reset the columns close up around the one visible row.
    view.ItemsChanged();
    DrawList closed = BuildScreenDrawList(*doc, view);
    ASSERT_NE(closed.TextAt(16 * 8 + 16, 17), nullptr);
    EXPECT_EQ(closed.TextAt(16 * 8 + 16 + 3 * 8 + 16, 17)->text, "1:40102 = 0");
    EXPECT_EQ(closed.SelectionFill(), nullptr);
}

TEST_F(ItemListDrawTest, RowsStopAtTheWindowAndAtTheList) {
    for (int i = 0; i < 20; ++i) Add("Item" + std::to_string(i), static_cast<uint16_t>(100 + i), DT_UNSIGNED);
    view.topRow = 15;
    DrawList list = BuildScreenDrawList(*doc, view); // 5 items left, 11 rows room
    EXPECT_EQ(list.Texts().size(), 3u + 3u * 5u);
    view.topRow = 0;
    list = BuildScreenDrawList(*doc, view); // 11 rows, the 12th would pass the window
    EXPECT_EQ(list.Texts().size(), 3u + 3u * 11u);
    EXPECT_EQ(list.Texts()[11]->y1, RowTop(10, 16)); // last description
    // A top row left past the end by removals: titles only, no selection.
    view.topRow = view.selectedRow = 20;
    list = BuildScreenDrawList(*doc, view);
    EXPECT_EQ(list.Texts().size(), 3u);
    EXPECT_EQ(list.SelectionFill(), nullptr);
}

TEST_F(ItemListDrawTest, PaperLayoutWithQualityAndMeasuredText) {
    AddThree();
    int count = 0;
    std::vector<ItemRowTexts> rows = ReadRowTexts(*doc, 1, 2, &count);
    ASSERT_EQ(count, 3);
    ASSERT_EQ(rows.size(), 2u);
    ListLayout paper;
    paper.width = 1000;
    paper.charWidth = 10;
    paper.lineHeight = 50;
    paper.ruleY = 100;
    paper.titleY = 50;
    paper.firstRowY = 100;
    paper.rowPitch = 50;
    paper.rows = 2;
    paper.firstIndex = 1;
    paper.valueTitle = false;
    paper.withQuality = true;
    ColumnWidths widths;
    // A proportional font: every byte is 3 pixels, whatever the characters.
    DrawList list = BuildItemListDrawList(paper, count, rows, widths,
                                          [](std::string_view t) { return static_cast<int>(t.size()) * 3; });
    const int x2 = 22 * 3 + 20;                      // "01:46:41    Plant.Temp"
    const int x3 = 22 * 3 + 23 * 3 + 40;             // "abc (Quality Uncertain)"
    EXPECT_EQ(list.entries[0], (DrawEntry{DrawEntry::Kind::Line, 0, 100, 1000, 100, "", kDrawNormal}));
    EXPECT_EQ(list.TextAt(0, 50)->text, "OPC Item Description");
    EXPECT_EQ(list.TextAt(x2, 50), nullptr); // no value title on paper
    EXPECT_EQ(list.TextAt(x2, 100)->text, "TRUE (Quality Bad)");
    EXPECT_EQ(list.TextAt(x2, 150)->text, "abc (Quality Uncertain)");
    EXPECT_EQ(list.TextAt(x3, 50)->text, "Modbus Data Representation");
    EXPECT_EQ(list.TextAt(x3, 150)->text, "1:40102 = 0");
}

// A view paints while the data-change thread replaces values: every painted
// value is one of the two whole texts, never a torn or freed one.
TEST_F(ItemListDrawTest, PaintsWhileValuesChange) {
    const int32_t handle = Add("Text", 100, DT_UNSIGNED);
    const std::string long_text(80, 'x');
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        const CVariant a = Text("short"), b = Text(long_text.c_str());
        for (int i = 0; i < 20000 && !stop.load(); ++i)
            doc->OnDataChange(handle, (i % 2 ? a : b).Get(), FileTimeOf(i), 192);
    });
    for (int i = 0; i < 2000; ++i) {
        DrawList list = BuildScreenDrawList(*doc, view);
        ASSERT_EQ(list.Texts().size(), 6u);
        const std::string& value = list.Texts()[3]->text;
        ASSERT_TRUE(value == "short" || value == long_text || value == "?????") << value;
    }
    stop = true;
    changer.join();
}

} // namespace
} // namespace quorvane
