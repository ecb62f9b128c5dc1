// Cutting the text received from one client into envelopes.
#include <gtest/gtest.h>

#include "net/envelope_framer.h"

namespace {

using zv::EnvelopeFramer;

// Real envelopes under the pass phrase "secret" (openssl enc -aes-256-ctr -pbkdf2 -md sha512
// -iter 10000 -a -A); named by their length in characters.
const QString E24 = "U2FsdGVkX18NLR+1/0WneA==";           // empty message
const QString E28 = "U2FsdGVkX1/IfH1Axf7OKNKWdUle";       // "HELLO": no padding
const QString E32 = "U2FsdGVkX18BAgMEBQYHCM87LPii0eM=";   // "HELLO\r\n"
const QString E32b = "U2FsdGVkX1+68iSJBdTFIkrJKu8P9A==";  // "abcdef"
const QString E96 =
    "U2FsdGVkX19Y/ipwHu2uk4yK+0068VShoX8f3W64t0lnOKyR2bxze4CDCRc6pm4Lf/"
    "4r0csYnVJxHF7mfK30qP7EPFkS3Q==";

// Feeds the reads in order; returns every message handed on, then what a close flushes.
QStringList run(EnvelopeFramer& f, const QStringList& reads) {
    QStringList out;
    for (const QString& r : reads) out += f.append(r);
    return out;
}

struct FrameCase {
    const char* name;
    QStringList reads;
    QStringList messages;  // handed on by the reads themselves, before any close
};

class Frame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frame, MessagesInOrder) {
    const FrameCase& c = GetParam();
    EnvelopeFramer f;
    EXPECT_EQ(run(f, c.reads), c.messages);
    EXPECT_EQ(f.pending(), 0);
    EXPECT_TRUE(f.flush().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Frame,
    ::testing::Values(
        FrameCase{"OneEnvelope", {E32}, {E32}}, FrameCase{"TwoInOneRead", {E32 + E28}, {E32, E28}},
        FrameCase{"ThreeInOneReadNoPaddingFirst", {E28 + E96 + E24}, {E28, E96, E24}},
        FrameCase{"SplitAtOddOffset", {E96.left(21), E96.mid(21)}, {E96}},
        FrameCase{"SplitBelowShortestEnvelopeAtMultipleOf4", {E28.left(20), E28.mid(20)}, {E28}},
        FrameCase{"SplitInsideHeader", {E32.left(4), E32.mid(4)}, {E32}},
        FrameCase{"SplitInsidePadding", {E24.left(23), E24.mid(23)}, {E24}},
        FrameCase{"ManyPieces",
                  {E96.left(21), E96.mid(21, 22), E96.mid(43, 22), E96.mid(65, 22), E96.mid(87)},
                  {E96}},
        FrameCase{"SecondHeaderStraddlesReads", {E28 + E96.left(5), E96.mid(5)}, {E28, E96}},
        FrameCase{"WholeThenPartOfNext", {E32 + E96.left(45), E96.mid(45) + E28}, {E32, E96, E28}},
        FrameCase{"NotAnEnvelopePassesAtOnce", {"hello"}, {"hello"}},
        FrameCase{"NotAnEnvelopeOfOddLength", {"abc", "de"}, {"abc", "de"}},
        FrameCase{"TextThenEnvelope", {"hello" + E32}, {"hello", E32}},
        FrameCase{
            "LineEndStaysWithItsEnvelope", {E32 + "\r\n" + E28 + "\n"}, {E32 + "\r\n", E28 + "\n"}},
        FrameCase{"LineEndCompletesEnvelopeAtOnce", {E28.left(27) + "\n"}, {E28.left(27) + "\n"}},
        FrameCase{"TextAfterPaddingIsANewPiece", {E32b + "junk"}, {E32b, "junk"}},
        FrameCase{"EmptyRead", {""}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Frame, PieceThatCannotBeWholeWaitsUntilClose) {
    EnvelopeFramer f;
    EXPECT_TRUE(f.append(E96.left(50)).isEmpty());
    EXPECT_EQ(f.pending(), 50);
    EXPECT_EQ(f.flush(), QStringList{E96.left(50)});
    EXPECT_EQ(f.pending(), 0);
    EXPECT_TRUE(f.flush().isEmpty());
}

TEST(Frame, ShortStartOfHeaderWaits) {
    EnvelopeFramer f;
    EXPECT_TRUE(f.append("U2F").isEmpty());
    EXPECT_EQ(f.append("x"), QStringList{"U2Fx"});  // not a header after all
}

TEST(Frame, ClearDropsWaitingText) {
    EnvelopeFramer f;
    f.append(E96.left(33));
    f.clear();
    EXPECT_EQ(f.pending(), 0);
    EXPECT_EQ(f.append(E28), QStringList{E28});
}

// Known limit: a cut at a multiple of 4, without padding at the cut, looks whole.
TEST(Frame, LimitSplitAtMultipleOf4LooksWhole) {
    EnvelopeFramer f;
    EXPECT_EQ(f.append(E96.left(48)), QStringList{E96.left(48)});
    EXPECT_EQ(f.append(E96.mid(48)), QStringList{E96.mid(48)});
}

TEST(Frame, WaitingTextIsBounded) {
    EnvelopeFramer f;
    // Length stays 3 mod 4, so no piece could ever be whole.
    QStringList out = f.append("U2FsdGVkX1A");
    const QString chunk(4096, u'A');
    qsizetype fed = 11;
    while (fed <= EnvelopeFramer::kMaxPending) {
        out += f.append(chunk);
        fed += chunk.size();
        ASSERT_LE(f.pending(), EnvelopeFramer::kMaxPending);
    }
    ASSERT_EQ(out.size(), 1);
    EXPECT_EQ(out[0].size(), fed);  // handed on as it stood, nothing lost
    EXPECT_EQ(f.pending(), 0);
}

}  // namespace
