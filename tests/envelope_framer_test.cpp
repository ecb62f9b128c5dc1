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

struct FrameCase {
    const char* name;
    QStringList reads;
    QStringList messages;  // handed on by the reads themselves, before any close
};

class Frame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frame, MessagesInOrder) {
    EnvelopeFramer f;
    QStringList out;
    for (const QString& r : GetParam().reads) out += f.append(r);
    EXPECT_EQ(out, GetParam().messages);
    EXPECT_EQ(f.pending(), 0);
    EXPECT_TRUE(f.flush().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Frame,
    ::testing::Values(
        FrameCase{"ThreeInOneReadNoPaddingFirst", {E28 + E96 + E24}, {E28, E96, E24}},
        FrameCase{"SplitBelowShortestEnvelopeAtMultipleOf4", {E28.left(20), E28.mid(20)}, {E28}},
        FrameCase{"ShortStartOfHeaderWaits", {"U2F", "x"}, {"U2Fx"}},
        FrameCase{"SplitInsidePadding", {E24.left(23), E24.mid(23)}, {E24}},
        FrameCase{"SecondHeaderStraddlesReads", {E28 + E96.left(5), E96.mid(5)}, {E28, E96}},
        FrameCase{"WholeThenPartOfNext", {E32 + E96.left(45), E96.mid(45) + E28}, {E32, E96, E28}},
        FrameCase{"NotAnEnvelopeOfOddLengthPassesAtOnce", {"abc", "de"}, {"abc", "de"}},
        FrameCase{"TextThenEnvelope", {"hello" + E32}, {"hello", E32}},
        FrameCase{
            "LineEndStaysWithItsEnvelope", {E32 + "\r\n" + E28 + "\n"}, {E32 + "\r\n", E28 + "\n"}},
        FrameCase{"LineEndCompletesEnvelopeAtOnce", {E28.left(27) + "\n"}, {E28.left(27) + "\n"}},
        FrameCase{"TextAfterPaddingIsANewPiece", {E32b + "junk"}, {E32b, "junk"}},
        // Known limit, joined later by the receive path: a cut at a multiple
        // of 4 without padding at the cut looks whole.
        FrameCase{"LimitCutAtMultipleOf4LooksWhole",
                  {E96.left(48), E96.mid(48)},
                  {E96.left(48), E96.mid(48)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Frame, PieceThatCannotBeWholeWaitsUntilCloseOrClear) {
    EnvelopeFramer f;
    EXPECT_TRUE(f.append(E96.left(50)).isEmpty());
    EXPECT_EQ(f.pending(), 50);
    EXPECT_EQ(f.flush(), QStringList{E96.left(50)});
    EXPECT_EQ(f.pending(), 0);
    f.append(E96.left(33));
    f.clear();
    EXPECT_EQ(f.pending(), 0);
    EXPECT_EQ(f.append(E28), QStringList{E28});
}

TEST(Frame, WaitingTextIsBoundedAndHandedOnWhole) {
    EnvelopeFramer f;
    // Length 3 mod 4 after the header: it could never be whole.
    const QString piece = "U2FsdGVkX1A" + QString(EnvelopeFramer::kMaxEnvelope, u'A');
    EXPECT_EQ(f.append(piece), QStringList{piece});
    EXPECT_EQ(f.pending(), 0);
}

}  // namespace
