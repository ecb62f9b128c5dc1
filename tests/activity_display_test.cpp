// The pane text model and the terminal-like append of received text.
#include <gtest/gtest.h>

#include "app/activity_display.h"
#include "app/pane_text.h"

namespace {

using zv::PaneText;

const QString BS(QChar(8));
const QString LF(QChar(10));
const QString CR(QChar(13));

// `n` characters of the alphabet, over and over.
QString abc(int n) {
    QString s;
    for (int i = 0; i < n; ++i) s += QChar(u'a' + i % 26);
    return s;
}

TEST(PaneText, SelectionMembersBehaveLikeARichTextPane) {
    PaneText p;
    p.setText("hello");
    EXPECT_EQ(p.SelStart(), 0);
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
    QString dataAfter;  // exactly what was appended
};

class Append : public ::testing::TestWithParam<AppendCase> {};

TEST_P(Append, PaneAndDataAfterward) {
    const AppendCase& c = GetParam();
    PaneText p;
    p.setText(c.pane);
    QString data = c.data;
    zv::appendToPane(p, data);
    EXPECT_EQ(p.Text(), c.paneAfter);
    EXPECT_EQ(data, c.dataAfter);
    EXPECT_EQ(p.SelStart(), p.Text().size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Append,
    ::testing::Values(
        AppendCase{"CrLfKeptAsOneLineEnd", "x", "A" + CR + LF + "B", "xA" + CR + LF + "B",
                   "A" + CR + LF + "B"},
        AppendCase{"BareLfDropped", "", "A" + LF + "B", "AB", "AB"},
        AppendCase{"LoneCrGetsLf", "", "a" + CR + "b" + CR, "a" + CR + LF + "b" + CR + LF,
                   "a" + CR + LF + "b" + CR + LF},
        AppendCase{"BackspaceInsideData", "", "AB" + BS + "C", "AC", "AC"},
        AppendCase{"TwoLeadingBackspacesDeleteOnlyOne", "xyz", BS + BS + "Q", "xyQ", "Q"},
        AppendCase{"BackspaceEatsLfBeforeItIsDropped", "p", "a" + LF + BS + "b", "pab", "ab"},
        AppendCase{"BackspacesCancelWholeData", "xyz", "ab" + BS + BS, "xyz", ""},
        AppendCase{"EmptyPaneLeadingBackspaceDeletesNothing", "", BS + "Q", "Q", "Q"},
        // Trimmed by 4096 until at most 16000 are left, then appended: a fast
        // device does not grow the pane without bound.
        AppendCase{"Exactly16000Kept", abc(16000), "Z", abc(16000) + "Z", "Z"},
        AppendCase{"Of16001First4096Removed", abc(16001), "Z", abc(16001).mid(4096) + "Z", "Z"},
        AppendCase{"JustOverTwoSteps", abc(20097), "Z", abc(20097).mid(8192) + "Z", "Z"},
        AppendCase{"LongPaneTrimmedUntilBounded", abc(31905), "", abc(31905).mid(4 * 4096), ""},
        AppendCase{"LongAppendAfterLongPane", abc(36000), abc(20000),
                   abc(36000).mid(5 * 4096) + abc(20000), abc(20000)},
        AppendCase{"BackspaceAfterTrimReplacesNewLastChar", abc(16002), BS + "Q",
                   abc(16001).mid(4096) + "Q", "Q"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Strip, RemovesEveryLineFeed) {
    EXPECT_EQ(zv::stripLF("no line feeds" + CR), "no line feeds" + CR);
    EXPECT_EQ(zv::stripLF(LF + "a" + CR + LF + "b" + LF), "a" + CR + "b");
    EXPECT_EQ(zv::stripLF(LF + LF), "");
}

}  // namespace
