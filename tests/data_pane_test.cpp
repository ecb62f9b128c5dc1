// The data pane widget and the indicator lamp.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "app/activity_display.h"
#include "app/data_pane.h"
#include "app/lamp.h"

namespace {

using zv::DataPane;

struct KeyCase {
    const char* name;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int code;
};

class PaneKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(PaneKeys, ReportedCodeAndTextUnchanged) {
    DataPane pane;
    pane.model().setText("record");
    pane.sync();
    QSignalSpy spy(&pane, &DataPane::KeyPress);
    QTest::keyClick(&pane, GetParam().key, GetParam().modifiers);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), GetParam().code);
    EXPECT_EQ(pane.toPlainText(), "record");
    EXPECT_EQ(pane.model().Text(), "record");
}

INSTANTIATE_TEST_SUITE_P(Table, PaneKeys,
                         ::testing::Values(KeyCase{"LetterA", Qt::Key_A, Qt::NoModifier, 'a'},
                                           KeyCase{"Digit", Qt::Key_7, Qt::NoModifier, '7'},
                                           KeyCase{"Enter", Qt::Key_Return, Qt::NoModifier, 13},
                                           KeyCase{"Backspace", Qt::Key_Backspace, Qt::NoModifier,
                                                   8},
                                           KeyCase{"CtrlC", Qt::Key_C, Qt::ControlModifier, 3},
                                           KeyCase{"CtrlZ", Qt::Key_Z, Qt::ControlModifier, 26},
                                           KeyCase{"Space", Qt::Key_Space, Qt::NoModifier, ' '}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PaneKeys, TypedTextReportsEachCharacter) {
    DataPane pane;
    QSignalSpy spy(&pane, &DataPane::KeyPress);
    QTest::keyClicks(&pane, "Ab1");
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 'A');
    EXPECT_EQ(spy.at(1).at(0).toInt(), 'b');
    EXPECT_EQ(spy.at(2).at(0).toInt(), '1');
    EXPECT_TRUE(pane.toPlainText().isEmpty());
}

TEST(PaneKeys, KeyWithoutCharacterIsNotReported) {
    DataPane pane;
    QSignalSpy spy(&pane, &DataPane::KeyPress);
    QTest::keyClick(&pane, Qt::Key_Left);
    QTest::keyClick(&pane, Qt::Key_Shift);
    QTest::keyClick(&pane, Qt::Key_Q, Qt::AltModifier);  // an access key, not a character
    EXPECT_EQ(spy.count(), 0);
}

TEST(PaneKeys, ReadOnlyButTakesFocus) {
    DataPane pane;
    EXPECT_TRUE(pane.isReadOnly());
    EXPECT_NE(pane.focusPolicy() & Qt::TabFocus, 0);
    EXPECT_TRUE(pane.textInteractionFlags() & Qt::TextSelectableByKeyboard);
}

struct SyncCase {
    const char* name;
    QString model;
    QString shown;
};

class PaneSync : public ::testing::TestWithParam<SyncCase> {};

TEST_P(PaneSync, LineEndsShownOnce) {
    DataPane pane;
    pane.model().setText(GetParam().model);
    pane.sync();
    EXPECT_EQ(pane.toPlainText(), GetParam().shown);
    EXPECT_EQ(pane.textCursor().position(), pane.document()->characterCount() - 1);
}

INSTANTIATE_TEST_SUITE_P(Table, PaneSync,
                         ::testing::Values(SyncCase{"CrLf", "A\r\nB", "A\nB"},
                                           SyncCase{"LoneCr", "A\rB", "A\nB"},
                                           SyncCase{"LoneLf", "A\nB", "A\nB"},
                                           SyncCase{"LfCr", "A\n\rB", "A\n\nB"},
                                           SyncCase{"Empty", "", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

// Display equals the model's text after every append, including trims and backspaces,
// whichever way sync() updates it.
TEST(PaneSync, FollowsAppendsTrimsAndBackspaces) {
    DataPane pane;
    const QStringList pieces = {"abc\r",  "\nline2\r\n",       QString(5000, u'x') + "\r",
                                "\nmore", QString("\bQ"),      QString(9000, u'y'),
                                "z\r\n",  QString(7000, u'w'), QString("\b\bend\r"),
                                "\nlast"};
    for (int round = 0; round < 3; ++round) {
        for (const QString& p : pieces) {
            QString data = p;
            zv::appendToPane(pane.model(), data);
            pane.sync();
            QString expected = pane.model().Text();
            expected.replace("\r\n", "\n").replace('\r', '\n');
            ASSERT_EQ(pane.toPlainText(), expected) << "round " << round;
        }
    }
    EXPECT_LE(pane.model().Text().size(), zv::pane::kMaxChars + 9000);
}

TEST(PaneSync, TrimThatSplitsCrLfStillShowsModel) {
    DataPane pane;
    QString text(4095, u'a');
    text += "\r\nb" + QString(11800, u'c');  // the CR is character 4096, the LF 4097
    pane.model().setText(text);
    pane.sync();
    QString data(200, u'd');
    zv::appendToPane(pane.model(), data);  // 16098 characters, not trimmed yet
    pane.sync();
    data = "e";
    zv::appendToPane(pane.model(), data);  // trimmed by 4096, leaving the LF first
    pane.sync();
    EXPECT_TRUE(pane.model().Text().startsWith("\nb"));
    EXPECT_TRUE(pane.toPlainText().startsWith("\nb"));
    EXPECT_TRUE(pane.toPlainText().endsWith("de"));
}

struct LampCase {
    const char* name;
    std::uint32_t colour;
    QColor expected;
};

class LampColour : public ::testing::TestWithParam<LampCase> {};

TEST_P(LampColour, MiddlePixel) {
    zv::Lamp lamp;
    lamp.resize(33, 17);
    lamp.setFillColor(GetParam().colour);
    EXPECT_EQ(lamp.FillColor(), GetParam().colour);
    const QColor expected = GetParam().expected.isValid() ? GetParam().expected
                                                          : lamp.palette().color(QPalette::Window);
    const QImage shot = lamp.grab().toImage();
    EXPECT_EQ(shot.pixelColor(shot.width() / 2, shot.height() / 2).rgb(), expected.rgb());
    EXPECT_EQ(lamp.toQColor(GetParam().colour).rgb(), expected.rgb());
}

INSTANTIATE_TEST_SUITE_P(
    Table, LampColour,
    ::testing::Values(LampCase{"Yellow", zv::colour::Yellow, QColor(255, 255, 0)},
                      LampCase{"Green", zv::colour::Green, QColor(0, 255, 0)},
                      LampCase{"Red", zv::colour::Red, QColor(255, 0, 0)},
                      LampCase{"BlueInHighByte", 0xFF0000u, QColor(0, 0, 255)},
                      LampCase{"WindowBackground", zv::colour::WindowBackground, QColor()}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
