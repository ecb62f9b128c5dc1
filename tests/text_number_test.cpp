// Reading stored text as numbers.
#include <gtest/gtest.h>

#include <cmath>

#include "app/text_number.h"
#include "cipher/error.h"

namespace {

struct LeadCase {
    const char* text;
    double value;
};

class Leading : public ::testing::TestWithParam<LeadCase> {};

TEST_P(Leading, Value) {
    EXPECT_DOUBLE_EQ(zv::leadingNumber(QString::fromUtf8(GetParam().text)), GetParam().value)
        << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Leading,
    ::testing::Values(LeadCase{"3", 3}, LeadCase{"03", 3}, LeadCase{" 3", 3}, LeadCase{"3.0", 3},
                      LeadCase{"3abc", 3}, LeadCase{"COM3", 0}, LeadCase{"0", 0},
                      LeadCase{"17", 17}, LeadCase{"2.5", 2.5}, LeadCase{"", 0},
                      LeadCase{"&H10", 16}, LeadCase{"&hff", 255}, LeadCase{"&O17", 15},
                      LeadCase{"&O19", 1}, LeadCase{"&H", 0}, LeadCase{"1 2", 12},
                      LeadCase{"\t1\n6 ", 16}, LeadCase{"-2.5e1x", -25}, LeadCase{"+4", 4},
                      LeadCase{".5", 0.5}, LeadCase{"3e", 3}, LeadCase{"1D2", 100},
                      LeadCase{"1.2.3", 1.2}, LeadCase{"- 3", -3}, LeadCase{"3,5", 3}));

struct ConvCase {
    const char* text;
    double dbl;    // NAN: error expected
    int dblError;  // 0 or the error number of toDouble
    int int16;     // expected when int16Error == 0
    int int16Error;
    long long int32;
    int int32Error;
};

class Convert : public ::testing::TestWithParam<ConvCase> {};

template <typename F>
int errorOf(F f) {
    try {
        f();
    } catch (const zv::Error& e) {
        return e.number();
    }
    return 0;
}

TEST_P(Convert, DoubleAndIntegers) {
    const ConvCase& c = GetParam();
    const QString t = QString::fromUtf8(c.text);
    EXPECT_EQ(errorOf([&] { zv::toDouble(t); }), c.dblError) << c.text;
    if (c.dblError == 0) {
        EXPECT_DOUBLE_EQ(zv::toDouble(t), c.dbl) << c.text;
    }
    EXPECT_EQ(errorOf([&] { zv::toInt16(t); }), c.int16Error) << c.text;
    if (c.int16Error == 0) {
        EXPECT_EQ(zv::toInt16(t), c.int16) << c.text;
    }
    EXPECT_EQ(errorOf([&] { zv::toInt32(t); }), c.int32Error) << c.text;
    if (c.int32Error == 0) {
        EXPECT_EQ(zv::toInt32(t), c.int32) << c.text;
    }
}

constexpr int TM = zv::errc::TypeMismatch;
constexpr int OV = zv::errc::Overflow;

INSTANTIATE_TEST_SUITE_P(
    Table, Convert,
    ::testing::Values(ConvCase{"9876", 9876, 0, 9876, 0, 9876, 0},
                      ConvCase{" 42 ", 42, 0, 42, 0, 42, 0}, ConvCase{"2.5", 2.5, 0, 2, 0, 2, 0},
                      ConvCase{"3.5", 3.5, 0, 4, 0, 4, 0}, ConvCase{"-2.5", -2.5, 0, -2, 0, -2, 0},
                      ConvCase{"&H10", 16, 0, 16, 0, 16, 0}, ConvCase{"&O17", 15, 0, 15, 0, 15, 0},
                      ConvCase{"1e3", 1000, 0, 1000, 0, 1000, 0},
                      ConvCase{"32767", 32767, 0, 32767, 0, 32767, 0},
                      ConvCase{"32767.5", 32767.5, 0, 0, OV, 32768, 0},
                      ConvCase{"-32768.5", -32768.5, 0, -32768, 0, -32768, 0},
                      ConvCase{"65536", 65536, 0, 0, OV, 65536, 0},
                      ConvCase{"2147483647", 2147483647, 0, 0, OV, 2147483647LL, 0},
                      ConvCase{"2147483648", 2147483648.0, 0, 0, OV, 0, OV},
                      ConvCase{"-2147483648", -2147483648.0, 0, 0, OV, -2147483648LL, 0},
                      ConvCase{"1e400", 0, OV, 0, OV, 0, OV}, ConvCase{"", 0, TM, 0, TM, 0, TM},
                      ConvCase{"   ", 0, TM, 0, TM, 0, TM}, ConvCase{"abc", 0, TM, 0, TM, 0, TM},
                      ConvCase{"3abc", 0, TM, 0, TM, 0, TM}, ConvCase{"1 2", 0, TM, 0, TM, 0, TM},
                      ConvCase{"inf", 0, TM, 0, TM, 0, TM}, ConvCase{"nan", 0, TM, 0, TM, 0, TM},
                      ConvCase{"&H", 0, TM, 0, TM, 0, TM}));

TEST(Single, RangeAndRoundTrip) {
    EXPECT_FLOAT_EQ(zv::toSingle("1234.5"), 1234.5f);
    EXPECT_FLOAT_EQ(zv::toSingle("-60"), -60.0f);
    EXPECT_EQ(errorOf([] { zv::toSingle("1e39"); }), OV);
    EXPECT_EQ(errorOf([] { zv::toSingle("x"); }), TM);
}

struct TextCase {
    float value;
    const char* text;
};

class SingleText : public ::testing::TestWithParam<TextCase> {};

TEST_P(SingleText, ShortestAndReadsBack) {
    const QString t = zv::singleToText(GetParam().value);
    EXPECT_EQ(t, QString::fromLatin1(GetParam().text));
    EXPECT_EQ(zv::toSingle(t), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Table, SingleText,
                         ::testing::Values(TextCase{1234.5f, "1234.5"}, TextCase{60.0f, "60"},
                                           TextCase{-15.0f, "-15"}, TextCase{0.0f, "0"},
                                           TextCase{-0.0f, "0"}, TextCase{0.1f, "0.1"},
                                           TextCase{1000000.0f, "1000000"},
                                           TextCase{12345678.0f, "12345678"},
                                           TextCase{1e20f, "1e+20"}));

TEST(SingleText, EveryTwipPositionRoundTrips) {
    for (int twips = -20000; twips <= 20000; twips += 7) {
        const float v = static_cast<float>(twips) + 0.25f;
        ASSERT_EQ(zv::toSingle(zv::singleToText(v)), v) << twips;
    }
}

}  // namespace
