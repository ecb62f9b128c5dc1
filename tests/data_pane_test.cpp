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
    int code;  // 0: not reported
};

class PaneKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(PaneKeys, ReportedCodeAndTextUnchanged) {
    DataPane pane;
    pane.model().setText("record");
    pane.sync();
    QSignalSpy spy(&pane, &DataPane::KeyPress);
    QTest::keyClick(&pane, GetParam().key, GetParam().modifiers);
    ASSERT_EQ(spy.count(), GetParam().code ? 1 : 0);
    if (GetParam().code) {
        EXPECT_EQ(spy.at(0).at(0).toInt(), GetParam().code);
    }
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
                                           KeyCase{"Left", Qt::Key_Left, Qt::NoModifier, 0},
                                           KeyCase{"AccessKey", Qt::Key_Q, Qt::AltModifier, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The display shows the model with each CR LF, lone CR or LF as one line end,
// caret at the end, after every append, trims and backspaces included,
// however sync() updates it; a trim may leave the LF of a CR LF first.
TEST(PaneSync, FollowsAppendsTrimsAndBackspaces) {
    DataPane pane;
    pane.model().setText(QString(4095, u'a') + "\r\nb" + QString(11800, u'c'));  // CR: 4096th
    const QStringList pieces = {QString(200, u'd'),  "e",     "\nline2\r\n",
                                QString(5000, u'x'), "\r",    "\bQ",
                                QString(9000, u'y'), "z\r\n", "\b\bend\r"};
    for (int round = 0; round < 3; ++round) {
        for (const QString& p : pieces) {
            QString data = p;
            zv::appendToPane(pane.model(), data);
            pane.sync();
            QString expected = pane.model().Text();
            expected.replace("\r\n", "\n").replace('\r', '\n');
            ASSERT_EQ(pane.toPlainText(), expected) << "round " << round;
            EXPECT_EQ(pane.textCursor().position(), pane.document()->characterCount() - 1);
            if (round == 0 && p == "e") {
                EXPECT_TRUE(pane.toPlainText().startsWith("\nb"));
            }
        }
    }
}

struct LampCase {
    const char* name;
    std::uint32_t colour;
    QColor expected;  // invalid: the window background
};

class LampColour : public ::testing::TestWithParam<LampCase> {};

TEST_P(LampColour, MiddlePixel) {
    zv::Lamp lamp;
    lamp.resize(33, 17);
    lamp.setFillColor(GetParam().colour);
    const QColor expected = GetParam().expected.isValid() ? GetParam().expected
                                                          : lamp.palette().color(QPalette::Window);
    const QImage shot = lamp.grab().toImage();
    EXPECT_EQ(shot.pixelColor(shot.width() / 2, shot.height() / 2).rgb(), expected.rgb());
}

INSTANTIATE_TEST_SUITE_P(Table, LampColour,
                         ::testing::Values(LampCase{"Yellow", 65535, QColor(255, 255, 0)},
                                           LampCase{"Green", 65280, QColor(0, 255, 0)},
                                           LampCase{"Red", 255, QColor(255, 0, 0)},
                                           LampCase{"BlueInHighByte", 0xFF0000u, QColor(0, 0, 255)},
                                           LampCase{"WindowBackground", 0x80000005u, QColor()}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
