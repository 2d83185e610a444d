#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

#include "tests/support/fake_link.h"
#include "tests/support/recording_boxes.h"
#include "ui/main_form.h"

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
