#include "ui/main_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

#include "tests/support/fake_link.h"
#include "tests/support/recording_boxes.h"
#include "ui/fonts.h"

namespace {

using namespace tarnwick;
using link::LinkController;
using tarnwick::test::FakePort;

class MainFormTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    FakePort port;
    test::RecordingBoxes boxes;
    names::NameFile names{dir.path().toStdString(), boxes};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};

    void deliver(const protocol::Frame& status) { port.deliver(status); }
};

TEST_F(MainFormTest, StartsUnknownWithEverythingEnabled) {
    for (int n = 1; n <= 16; ++n) {
        EXPECT_EQ(form.cell(n)->colour(), link::colour_yellow) << n;
        EXPECT_EQ(form.cell(n)->label()->text(), QStringLiteral("状态未知")) << n;
    }
    EXPECT_TRUE(form.all_on_button()->isEnabled());
    EXPECT_TRUE(form.all_off_button()->isEnabled());
    EXPECT_TRUE(form.port_entry()->isEnabled());
    EXPECT_EQ(form.port_button()->text(), QStringLiteral("打开串口"));
    EXPECT_TRUE(form.link().timer_enabled());
    EXPECT_EQ(form.address_entry()->text(), "1");
    EXPECT_EQ(form.port_entry()->text(), "1");
    // The installed icon's renderings, built into the program.
    QList<QSize> icon_sizes = form.windowIcon().availableSizes();
    std::sort(icon_sizes.begin(), icon_sizes.end(),
              [](QSize a, QSize b) { return a.width() < b.width(); });
    EXPECT_EQ(icon_sizes, (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {128, 128}, {256, 256}}));
}

TEST_F(MainFormTest, CellColoursAreTheExactValues) {
    struct {
        link::Colour colour;
        QColor shown;
    } cases[] = {
        {link::colour_green, QColor(0, 255, 0)},
        {link::colour_red, QColor(255, 0, 0)},
        {link::colour_yellow, QColor(255, 255, 0)},
        {link::colour_grey_text, QApplication::palette().color(QPalette::Disabled, QPalette::WindowText)},
    };
    for (const auto& c : cases) {
        form.paint_cell(4, c.colour, "x");
        EXPECT_EQ(form.cell(4)->palette().color(QPalette::Window), c.shown) << c.colour;
        EXPECT_EQ(form.cell_colour(4), c.colour);
    }
}

TEST_F(MainFormTest, MouseClicksOnBoxOrStatusLabelQueueTheCommand) {
    QTest::mouseClick(form.port_button(), Qt::LeftButton);
    ASSERT_TRUE(port.is_open());
    // Relay 3 on, the rest off: 22 01 10 00 00 00 04 -> checksum 0x37.
    deliver({0x22, 0x01, 0x10, 0x00, 0x00, 0x00, 0x04, 0x37});
    ASSERT_EQ(form.cell(3)->colour(), link::colour_green);

    QTest::mouseClick(form.cell(3), Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(form.link().pending_command(), (protocol::Command{0x11, 0x00, 3}));

    auto* label = form.cell(5)->label();
    QTest::mouseClick(form.cell(5), Qt::LeftButton, {}, label->geometry().center());
    EXPECT_EQ(form.link().pending_command(), (protocol::Command{0x21, 0xFA, 5}));

    QTest::mouseClick(form.all_on_button(), Qt::LeftButton);
    EXPECT_EQ(form.link().pending_command(), (protocol::Command{0x13, 0xFF, 0xFF}));
    QTest::mouseClick(form.all_off_button(), Qt::LeftButton);
    EXPECT_EQ(form.link().pending_command(), (protocol::Command{0x13, 0x00, 0x00}));
}

TEST_F(MainFormTest, PortButtonSwitchesTheWindowStates) {
    QTest::mouseClick(form.port_button(), Qt::LeftButton);
    EXPECT_EQ(form.port_button()->text(), QStringLiteral("关闭串口"));
    EXPECT_FALSE(form.port_entry()->isEnabled());
    QTest::mouseClick(form.port_button(), Qt::LeftButton);
    EXPECT_EQ(form.port_button()->text(), QStringLiteral("打开串口"));
    EXPECT_TRUE(form.port_entry()->isEnabled());
    EXPECT_FALSE(form.all_on_button()->isEnabled());
    EXPECT_FALSE(form.all_off_button()->isEnabled());
    for (int n = 1; n <= 16; ++n) EXPECT_EQ(form.cell(n)->colour(), link::colour_grey_text);
}

TEST_F(MainFormTest, EntriesKeepWhatIsTypedAndMarkWhatIsNoAddress) {
    struct {
        const char* typed;
        bool invalid;
    } cases[] = {{"abc", true}, {"256", true}, {"-3", true}, {"", true}, {"7", false}, {"200", false}};
    for (QLineEdit* entry : {form.address_entry(), form.port_entry()}) {
        for (const auto& c : cases) {
            entry->selectAll();
            QTest::keyClicks(entry, c.typed);
            if (*c.typed == '\0') entry->clear();
            EXPECT_EQ(entry->text(), QString(c.typed));
            EXPECT_EQ(entry->property("invalid").toBool(), c.invalid) << c.typed;
            EXPECT_EQ(entry->toolTip().isEmpty(), !c.invalid) << c.typed;
        }
    }
}

// Channel names wrap as the platform label wraps them, at word boundaries
// and inside a word wider than the box; the 615-twip box shows two 15 pt
// lines. At 96 dpi the Song face is 20 pixels a Chinese character and 10 a
// Latin one, and the box 89 pixels wide: four Chinese or eight Latin
// characters a line.
TEST(NameLabels, LongNamesWrapAndShowWholeInTheirTooltip) {
    ui::install_font_substitutions();
    QTemporaryDir dir;
    FakePort port;
    test::RecordingBoxes boxes;
    names::NameFile names{dir.path().toStdString(), boxes};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};
    if (form.logicalDpiY() != 96) GTEST_SKIP() << "screen is not at 96 dpi";
    ui::NameLabel* label = form.name_label(5);
    ASSERT_EQ(QFontInfo(label->font()).family(), "AR PL UMing CN");
    struct {
        QString name;
        QStringList lines;
        bool cut;  // more lines than the box shows: the tooltip holds the name
    } cases[] = {
        {QStringLiteral("进水泵"), {QStringLiteral("进水泵")}, false},
        {QStringLiteral("冷却风扇"), {QStringLiteral("冷却风扇")}, false},
        {QStringLiteral("冷却塔风机"), {QStringLiteral("冷却塔风"), QStringLiteral("机")}, false},
        {QStringLiteral("Cooling fan 2"), {"Cooling", "fan 2"}, false},
        {QStringLiteral("二号排风扇 B"),
         {QStringLiteral("二号排风"), QStringLiteral("扇 B")},
         false},
        {QStringLiteral("Emergencystopvalve"), {"Emergenc", "ystopval", "ve"}, true},
        {QStringLiteral("一号冷却水循环泵出口电动阀"),
         {QStringLiteral("一号冷却"), QStringLiteral("水循环泵"), QStringLiteral("出口电动"),
          QStringLiteral("阀")},
         true},
        {QString(), {}, false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(names.set_channel_name("1", "5", c.name.toStdString()), names::WriteError::none);
        form.add_Change();
        EXPECT_EQ(label->text(), c.name);
        EXPECT_EQ(label->lines(), c.lines) << c.name.toStdString();
        EXPECT_EQ(label->visible_lines(), std::min<int>(c.lines.size(), 2)) << c.name.toStdString();
        EXPECT_EQ(label->toolTip(), c.cut ? c.name : QString()) << c.name.toStdString();
    }
}

TEST_F(MainFormTest, ClientAreaAt96Dpi) {
    if (form.logicalDpiY() != 96) GTEST_SKIP() << "screen is not at 96 dpi";
    EXPECT_EQ(form.client_size(), QSize(448, 531));
    // Cell 1 at (1440, 1560) twips, 1335 x 615: 96, 104, 89 x 41 pixels.
    EXPECT_EQ(form.cell(1)->geometry(), QRect(96, 104, 89, 41));
    // Cell 9 shares the bottom row with cell 8 (Top 6600 twips = 440 px).
    EXPECT_EQ(form.cell(9)->geometry().top(), 440);
    EXPECT_EQ(form.cell(8)->geometry().top(), 440);
    EXPECT_EQ(form.cell(16)->geometry().topLeft(), QPoint(256, 104));
}

}  // namespace
