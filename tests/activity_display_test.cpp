// The pane text model and the terminal-like append of received text.
#include <gtest/gtest.h>

#include "app/activity_display.h"
#include "app/pane_text.h"

namespace {

using zv::PaneText;

const QString BS(QChar(8));
const QString LF(QChar(10));
const QString CR(QChar(13));

TEST(PaneText, SelectionMembersBehaveLikeARichTextPane) {
    PaneText p;
    p.setText("hello");
    EXPECT_EQ(p.SelStart(), 0);
    EXPECT_EQ(p.SelLength(), 0);
    p.setSelStart(1);
    p.setSelLength(3);
    EXPECT_EQ(p.SelText(), "ell");
    p.setSelText("ipp");  // replaces the selection, caret after it
    EXPECT_EQ(p.Text(), "hippo");
    EXPECT_EQ(p.SelStart(), 4);
    EXPECT_EQ(p.SelLength(), 0);
    p.setSelText("!");  // empty selection: inserts at the caret
    EXPECT_EQ(p.Text(), "hipp!o");
    p.setSelStart(99);
    EXPECT_EQ(p.SelStart(), 6);
    p.setSelStart(-1);
    EXPECT_EQ(p.SelStart(), 0);
    p.setSelStart(4);
    p.setSelLength(50);
    EXPECT_EQ(p.SelLength(), 2);
    p.setSelStart(3);  // a new caret clears the selection
    EXPECT_EQ(p.SelLength(), 0);
}

struct AppendCase {
    const char* name;
    QString pane;
    QString data;
    QString paneAfter;
    QString dataAfter;
};

class Append : public ::testing::TestWithParam<AppendCase> {};

TEST_P(Append, PaneAndDataAfterward) {
    const AppendCase& c = GetParam();
    PaneText p;
    p.setText(c.pane);
    QString data = c.data;
    zv::appendToPane(p, data);
    EXPECT_EQ(p.Text(), c.paneAfter);
    EXPECT_EQ(data, c.dataAfter);  // the caller's data is exactly what was appended
    EXPECT_TRUE(p.Text().endsWith(data));
    EXPECT_EQ(p.SelStart(), p.Text().size());
    EXPECT_EQ(p.SelLength(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Append,
    ::testing::Values(
        AppendCase{"plain", "x", "abc", "xabc", "abc"},
        AppendCase{"CrLfKeptAsOneLineEnd", "", "A" + CR + LF + "B", "A" + CR + LF + "B",
                   "A" + CR + LF + "B"},
        AppendCase{"BareLfDropped", "", "A" + LF + "B", "AB", "AB"},
        AppendCase{"LoneCrGetsLf", "", "a" + CR + "b" + CR, "a" + CR + LF + "b" + CR + LF,
                   "a" + CR + LF + "b" + CR + LF},
        AppendCase{"BackspaceInsideData", "", "AB" + BS + "C", "AC", "AC"},
        AppendCase{"BackspaceReplacesLastPaneChar", "xyz", BS + "Q", "xyQ", "Q"},
        AppendCase{"TwoLeadingBackspacesDeleteOnlyOne", "xyz", BS + BS + "Q", "xyQ", "Q"},
        AppendCase{"BackspaceEatsLfBeforeItIsDropped", "p", "a" + LF + BS + "b", "pab", "ab"},
        AppendCase{"BackspacesCancelWholeData", "xyz", "ab" + BS + BS, "xyz", ""},
        AppendCase{"EmptyPaneLeadingBackspaceDeletesNothing", "", BS + "Q", "Q", "Q"},
        AppendCase{"EmptyPaneOnlyBackspaces", "", BS + BS, "", ""},
        AppendCase{"EmptyData", "abc", "", "abc", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct TrimCase {
    const char* name;
    int paneChars;
    int appendChars;
    int lengthAfter;
};

class Trim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(Trim, KeepsNewestText) {
    const TrimCase& c = GetParam();
    QString before;
    for (int i = 0; i < c.paneChars; ++i) before.append(QChar(u'a' + i % 26));
    PaneText p;
    p.setText(before);
    QString data(c.appendChars, u'Z');
    zv::appendToPane(p, data);
    EXPECT_EQ(p.Text().size(), c.lengthAfter);
    // What is kept is the end of the old text followed by all of the new.
    const qsizetype keptOld = c.lengthAfter - c.appendChars;
    EXPECT_EQ(p.Text().left(keptOld), before.right(keptOld));
    EXPECT_EQ(p.Text().mid(keptOld), data);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Trim,
    ::testing::Values(TrimCase{"Exactly16000Kept", 16000, 1, 16001},
                      TrimCase{"Of16001First4096Removed", 16001, 1, 16001 - 4096 + 1},
                      TrimCase{"EmptyPane", 0, 5, 5},
                      TrimCase{"LongPaneTrimmedUntilBounded", 31905, 0, 31905 - 4 * 4096},
                      TrimCase{"JustOverTwoSteps", 16000 + 4097, 1, 16000 + 4097 - 8192 + 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Trim, FastDeviceDoesNotGrowPaneWithoutBound) {
    PaneText p;
    for (int i = 0; i < 20; ++i) {
        QString data(20000, QChar(u'0' + i % 10));
        zv::appendToPane(p, data);
        ASSERT_LE(p.Text().size(), zv::pane::kMaxChars + 20000) << "append " << i;
    }
}

TEST(Trim, BackspaceAfterTrimReplacesNewLastChar) {
    PaneText p;
    p.setText(QString(16001, u'x') + "y");
    QString data = BS + "Q";
    zv::appendToPane(p, data);
    EXPECT_EQ(p.Text().size(), 16002 - 4096);
    EXPECT_TRUE(p.Text().endsWith("xQ"));
}

struct StripCase {
    QString in;
    QString out;
};

class Strip : public ::testing::TestWithParam<StripCase> {};

TEST_P(Strip, RemovesEveryLineFeed) {
    EXPECT_EQ(zv::stripLF(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Table, Strip,
                         ::testing::Values(StripCase{"no line feeds" + CR, "no line feeds" + CR},
                                           StripCase{LF + LF + LF, ""}, StripCase{"", ""},
                                           StripCase{"A" + CR + LF + "B", "A" + CR + "B"},
                                           StripCase{LF + "a" + LF + "b" + LF, "ab"}));

TEST(Strip, ArgumentUnchanged) {
    const QString in = "a" + LF;
    zv::stripLF(in);
    EXPECT_EQ(in, "a" + LF);
}

TEST(Strip, EditedDataGivesBareCarriageReturnsAsLineEnds) {
    PaneText p;
    QString data = "A" + CR + LF + "B" + LF + "C" + CR;
    zv::appendToPane(p, data);
    EXPECT_EQ(zv::stripLF(data), "A" + CR + "BC" + CR);
}

}  // namespace
