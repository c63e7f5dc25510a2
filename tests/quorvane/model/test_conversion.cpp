// OPC values to registers and back, and the texts that show or save a mapping.
#include "model/conversion.h"
#include "model/opc_item.h"
#include "model_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvane {
namespace {

CVariant R4(float f) { return test::MakeVariant(VT_R4, &VARIANT::fltVal, f); }
CVariant R8(double d) { return test::MakeVariant(VT_R8, &VARIANT::dblVal, d); }
CVariant I4(int32_t i) { return test::MakeVariant(VT_I4, &VARIANT::lVal, i); }
CVariant Bool(bool b) { return test::MakeVariant(VT_BOOL, &VARIANT::boolVal, b ? VARIANT_TRUE : VARIANT_FALSE); }
CVariant Text(const char* s) {
    CVariant v;
    v.Ptr()->vt = VT_BSTR;
    v.Ptr()->bstrVal = SysAllocString(s);
    return v;
}

PointMapping Typed(uint16_t dataType) {
    PointMapping m;
    m.dataType = dataType;
    return m;
}

struct ToRegisterCase {
    const char* what;
    CVariant value;
    PointMapping mapping;
    int count;
    uint16_t first, second;
};

TEST(OpcValueToRegisters, EveryRepresentation) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    PointMapping equalData = Typed(DT_SCALED);
    equalData.dataLow = equalData.dataHigh = 50.0f;
    equalData.registerLow = 7.0f;
    PointMapping offset = Typed(DT_SCALED);
    offset.dataLow = -10.0f;
    offset.dataHigh = 10.0f;
    offset.registerLow = 1000.0f;
    offset.registerHigh = 2000.0f;
    PointMapping huge = Typed(DT_SCALED);
    huge.registerHigh = 1e30f; // saturates instead of an undefined conversion

    const ToRegisterCase cases[] = {
        {"FLOAT 1.0 low word first", R4(1.0f), Typed(DT_FLOAT), 2, 0x0000, 0x3F80},
        {"FLOAT -2.5", R4(-2.5f), Typed(DT_FLOAT), 2, 0x0000, 0xC020},
        {"FLOAT from text", Text("1.5"), Typed(DT_FLOAT), 2, 0x0000, 0x3FC0},
        {"FLOAT failed coercion", Text("abc"), Typed(DT_FLOAT), 2, 0, 0},
        {"BOOL true", Bool(true), Typed(DT_BOOL), 1, 0xFFFF, 0},
        {"BOOL false", Bool(false), Typed(DT_BOOL), 1, 0, 0},
        {"BOOL from number", I4(7), Typed(DT_BOOL), 1, 0xFFFF, 0},
        {"SHORT -1", I4(-1), Typed(DT_SHORT), 1, 0xFFFF, 0},
        {"SHORT 32767", I4(32767), Typed(DT_SHORT), 1, 0x7FFF, 0},
        {"SHORT overflow", I4(40000), Typed(DT_SHORT), 1, 0, 0},
        {"SHORT rounds", R8(2.6), Typed(DT_SHORT), 1, 3, 0},
        {"UNSIGNED 65535", I4(65535), Typed(DT_UNSIGNED), 1, 0xFFFF, 0},
        {"UNSIGNED above 65535", I4(65536), Typed(DT_UNSIGNED), 1, 0, 0},
        {"UNSIGNED negative", I4(-1), Typed(DT_UNSIGNED), 1, 0, 0},
        {"UNSIGNED from text", Text("1234"), Typed(DT_UNSIGNED), 1, 1234, 0},
        {"DATE reads as unsigned", R8(12.0), Typed(DT_DATE), 1, 12, 0},
        {"unknown code reads as unsigned", I4(77), Typed(9), 1, 77, 0},
        {"empty value", CVariant(), Typed(DT_UNSIGNED), 1, 0, 0},
        {"SCALED 50 truncates", R4(50.0f), Typed(DT_SCALED), 1, 4999, 0},
        {"SCALED 100 top", R4(100.0f), Typed(DT_SCALED), 1, 9999, 0},
        {"SCALED 100.1 clamps", R4(100.1f), Typed(DT_SCALED), 1, 9999, 0},
        {"SCALED 150 clamps", R4(150.0f), Typed(DT_SCALED), 1, 9999, 0},
        {"SCALED -3 clamps", R4(-3.0f), Typed(DT_SCALED), 1, 0, 0},
        {"SCALED 0 bottom", R4(0.0f), Typed(DT_SCALED), 1, 0, 0},
        {"SCALED not a number", R4(nan), Typed(DT_SCALED), 1, 0, 0},
        {"SCALED failed coercion scales 0.0", Text("x"), offset, 1, 1500, 0},
        {"SCALED offset range", R4(5.0f), offset, 1, 1750, 0},
        {"SCALED equal data limits", R4(50.0f), equalData, 1, 7, 0},
        {"SCALED huge register limit", R4(100.0f), huge, 1, 0xFFFF, 0},
    };
    for (const auto& c : cases) {
        RegisterWords w = OpcValueToRegisters(c.value.Get(), c.mapping);
        EXPECT_EQ(w.count, c.count) << c.what;
        EXPECT_EQ(w.words[0], c.first) << c.what;
        if (c.count == 2) {
            EXPECT_EQ(w.words[1], c.second) << c.what;
        }
    }
}

TEST(PendingToOpcValue, EveryRepresentation) {
    PointMapping equalRegisters = Typed(DT_SCALED);
    equalRegisters.registerLow = equalRegisters.registerHigh = 500.0f;
    equalRegisters.dataLow = 3.0f;
    PointMapping negativeLow = Typed(DT_SCALED);
    negativeLow.registerLow = -25536.0f; // as a restored file may carry it

    struct Case {
        const char* what;
        PointMapping mapping;
        uint16_t first, second;
        bool written;
        VARTYPE vt;
        double value;
    } const cases[] = {
        {"SHORT signed", Typed(DT_SHORT), 0xFFFF, 0, true, VT_I2, -1},
        {"UNSIGNED", Typed(DT_UNSIGNED), 0xFFFF, 0, true, VT_UI2, 65535},
        {"BOOL nonzero", Typed(DT_BOOL), 2, 0, true, VT_BOOL, -1},
        {"BOOL zero", Typed(DT_BOOL), 0, 0, true, VT_BOOL, 0},
        {"FLOAT halves", Typed(DT_FLOAT), 0x0000, 0x3F80, true, VT_R4, 1.0},
        {"FLOAT high alone", Typed(DT_FLOAT), 0, 0x4120, true, VT_R4, 10.0},
        {"SCALED 9999", Typed(DT_SCALED), 9999, 0, true, VT_R4, 100.0},
        {"SCALED above range", Typed(DT_SCALED), 20000, 0, true, VT_R4, 100.0},
        {"SCALED middle", Typed(DT_SCALED), 0, 0, true, VT_R4, 0.0},
        {"SCALED equal register limits", equalRegisters, 500, 0, true, VT_R4, 3.0},
        {"SCALED negative register low", negativeLow, 0, 0, true, VT_R4, 25536.0 / 35535.0 * 100.0},
        {"DATE never written", Typed(DT_DATE), 5, 0, false, VT_EMPTY, 0},
        {"unknown never written", Typed(99), 5, 0, false, VT_EMPTY, 0},
    };
    for (const auto& c : cases) {
        CVariant out;
        bool written = PendingToOpcValue(c.mapping, c.first, c.second, out.Ptr());
        EXPECT_EQ(written, c.written) << c.what;
        EXPECT_EQ(out.Type(), c.vt) << c.what;
        if (!written) continue;
        VARIANT r;
        VariantInit(&r);
        ASSERT_GE(VariantChangeType(&r, &out.Get(), 0, VT_R8), 0) << c.what;
        EXPECT_NEAR(r.dblVal, c.value, 1e-4) << c.what;
    }
}

TEST(TruncateToInt32, StaysDefinedOutOfRange) {
    EXPECT_EQ(TruncateToInt32(4999.9), 4999);
    EXPECT_EQ(TruncateToInt32(-4999.9), -4999);
    EXPECT_EQ(TruncateToInt32(1e30), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(TruncateToInt32(-1e30), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(TruncateToInt32(std::nan("")), 0);
}

TEST(FormatPointReferenceText, Columns) {
    const auto mapping = test::Mapped;
    struct Case {
        PointMapping m;
        uint16_t first, second;
        const char* text;
    } const cases[] = {
        {mapping(1, PT_HOLDING_REGISTER, 100, DT_UNSIGNED), 4999, 0, "1:40100 = 4999"},
        {mapping(1, PT_HOLDING_REGISTER, 1, DT_FLOAT), 0x0000, 0x3F80, "1:40001 = 1.0000"},
        {mapping(2, PT_INPUT_REGISTER, 5, DT_SHORT), 0xFFFF, 0, "2:30005 = -1"},
        {mapping(1, PT_INPUT_REGISTER, 5, DT_UNSIGNED), 0xFFFF, 0, "1:30005 = 65535"},
        {mapping(1, PT_COIL_STATUS, 10, DT_BOOL), 0xFFFF, 0, "1:00010 = 1"},
        {mapping(1, PT_INPUT_STATUS, 9999, DT_BOOL), 0, 0, "1:19999 = 0"},
        {mapping(247, PT_HOLDING_REGISTER, 12345, DT_SCALED), 7, 0, "247:412345 = 7"},
        {mapping(0, 7, 3, DT_DATE), 3, 0, "0:70003 = 3"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatPointReferenceText(c.m, c.first, c.second), c.text);
}

TEST(FormatItemLine, ConfigurationLines) {
    const auto mapping = test::Mapped;
    PointMapping level = mapping(2, PT_INPUT_REGISTER, 5, DT_SCALED);
    level.registerHigh = 4095.0f;
    PointMapping wide = mapping(1, PT_HOLDING_REGISTER, 7, DT_SCALED);
    wide.registerLow = -0.9f;
    wide.registerHigh = 40000.0f;
    wide.dataLow = 0.126f;
    wide.dataHigh = -1.5f;

    struct Case {
        const char* id;
        PointMapping m;
        const char* line;
    } const cases[] = {
        {"Channel1.Device1.Speed", mapping(1, PT_HOLDING_REGISTER, 1, DT_SHORT), "Channel1.Device1.Speed,1,40001,SHORT"},
        {"Channel1.Device1.Temp", mapping(1, PT_HOLDING_REGISTER, 2, DT_FLOAT), "Channel1.Device1.Temp,1,40002,FLOAT"},
        {"Channel1.Device1.Run", mapping(1, PT_COIL_STATUS, 10, DT_BOOL), "Channel1.Device1.Run,1,00010,BOOL"},
        {"Channel1.Device1.Level", level, "Channel1.Device1.Level,2,30005,SCALED0-4095,0.00,100.00"},
        {"W", wide, "W,1,40007,SCALED0--25536,0.13,-1.50"},
        {"D", mapping(3, PT_INPUT_STATUS, 0, DT_DATE), "D,3,10000,DATE"},
        {"U", mapping(1, PT_HOLDING_REGISTER, 100, 42), "U,1,40100,UNSIGNED"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatItemLine(c.id, c.m), c.line);
    EXPECT_EQ(FormatGroupLine("Line1", 1000, 0.0f), "Line1,1000,0.000000");
    EXPECT_EQ(FormatGroupLine("G", 250, 2.5f), "G,250,2.500000");
}

} // namespace
} // namespace quorvane
