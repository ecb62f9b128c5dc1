// Reading stored text as numbers.
#include <gtest/gtest.h>

#include "app/text_number.h"
#include "cipher/error.h"

namespace {

constexpr int TM = zv::errc::TypeMismatch;
constexpr int OV = zv::errc::Overflow;

template <typename F>
int errorOf(F f) {
    try {
        f();
    } catch (const zv::Error& e) {
        return e.number();
    }
    return 0;
}

// The leading number of a text: blanks skipped anywhere, &H and &O prefixes.
TEST(Leading, Value) {
    const struct {
        const char* text;
        double value;
    } table[] = {{"3abc", 3},      {"COM3", 0}, {"", 0},     {"&H10", 16}, {"&hff", 255},
                 {"&O17", 15},     {"&O19", 1}, {"&H", 0},   {"1 2", 12},  {"\t1\n6 ", 16},
                 {"-2.5e1x", -25}, {"+4", 4},   {".5", 0.5}, {"3e", 3},    {"1D2", 100},
                 {"1.2.3", 1.2},   {"- 3", -3}, {"3,5", 3}};
    for (const auto& [text, value] : table)
        EXPECT_DOUBLE_EQ(zv::leadingNumber(QString::fromUtf8(text)), value) << text;
}

// Whole-text conversions: rounding half to even, the integer ranges, the errors.
TEST(Convert, DoubleAndIntegers) {
    const struct {
        const char* text;
        double dbl;
        int dblError;  // 0 or the error number
        int int16;
        int int16Error;
        long long int32;
        int int32Error;
    } table[] = {
        {" 42 ", 42, 0, 42, 0, 42, 0},
        {"2.5", 2.5, 0, 2, 0, 2, 0},
        {"3.5", 3.5, 0, 4, 0, 4, 0},
        {"&H10", 16, 0, 16, 0, 16, 0},
        {"1e3", 1000, 0, 1000, 0, 1000, 0},
        {"32767.5", 32767.5, 0, 0, OV, 32768, 0},
        {"-32768.5", -32768.5, 0, -32768, 0, -32768, 0},
        {"2147483648", 2147483648.0, 0, 0, OV, 0, OV},
        {"-2147483648", -2147483648.0, 0, 0, OV, -2147483648LL, 0},
        {"1e400", 0, OV, 0, OV, 0, OV},
        {"", 0, TM, 0, TM, 0, TM},
        {"3abc", 0, TM, 0, TM, 0, TM},
        {"1 2", 0, TM, 0, TM, 0, TM},
        {"inf", 0, TM, 0, TM, 0, TM},
        {"&H", 0, TM, 0, TM, 0, TM},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.text);
        const QString t = QString::fromUtf8(c.text);
        EXPECT_EQ(errorOf([&] { EXPECT_DOUBLE_EQ(zv::toDouble(t), c.dbl); }), c.dblError);
        EXPECT_EQ(errorOf([&] { EXPECT_EQ(zv::toInt16(t), c.int16); }), c.int16Error);
        EXPECT_EQ(errorOf([&] { EXPECT_EQ(zv::toInt32(t), c.int32); }), c.int32Error);
    }
}

// Window places are singles: read, written shortest, and read back unchanged.
TEST(Single, RangeTextAndRoundTrip) {
    EXPECT_FLOAT_EQ(zv::toSingle("-60"), -60.0f);
    EXPECT_EQ(errorOf([] { zv::toSingle("1e39"); }), OV);
    EXPECT_EQ(errorOf([] { zv::toSingle("x"); }), TM);
    const std::pair<float, const char*> texts[] = {
        {1234.5f, "1234.5"}, {-15.0f, "-15"},           {-0.0f, "0"},
        {0.1f, "0.1"},       {12345678.0f, "12345678"}, {1e20f, "1e+20"}};
    for (const auto& [value, text] : texts) {
        EXPECT_EQ(zv::singleToText(value), text);
        EXPECT_EQ(zv::toSingle(text), value);
    }
    for (int twips = -20000; twips <= 20000; twips += 7) {
        const float v = static_cast<float>(twips) + 0.25f;
        ASSERT_EQ(zv::toSingle(zv::singleToText(v)), v) << twips;
    }
}

}  // namespace
