#include "ui/main_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <functional>
#include <optional>

#include "tests/support/fake_link.h"
#include "tests/support/pty.h"
#include "tests/support/recording_boxes.h"
#include "ui/device_form.h"
#include "ui/find_form.h"
#include "ui/fonts.h"
#include "ui/link_aids.h"
#include "wire/port_map.h"

namespace {

using namespace tarnwick;
using link::LinkController;
using tarnwick::test::FakePort;

class MainFormTest : public ::testing::Test {
  protected:
    MainFormTest() {
        qunsetenv("TARNWICK_COM1");
        form.use_port_choices(choices);
    }

    QTemporaryDir dir;
    FakePort port;
    test::RecordingBoxes boxes;
    names::NameFile names{dir.path().toStdString(), boxes};
    link::PortChoices choices{dir.filePath("tarnwick.conf")};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};

    void deliver(const protocol::Frame& status) { port.deliver(status); }
};

TEST_F(MainFormTest, StartsUnknownWithEverythingEnabled) {
    for (int n = 1; n <= 16; ++n) {
        EXPECT_EQ(form.cell(n)->colour(), ui::colour_yellow) << n;
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

// Each relay state the link paints, in the colour and text the cell has
// always shown; the state is read back from the colour.
TEST_F(MainFormTest, CellColoursAreTheExactValues) {
    struct {
        link::RelayState state;
        ui::Colour colour;
        QColor shown;
        QString text;
    } cases[] = {
        {link::RelayState::energized, ui::colour_green, QColor(0, 255, 0),
         QStringLiteral("  吸合")},
        {link::RelayState::released, ui::colour_red, QColor(255, 0, 0), QStringLiteral("  断开")},
        {link::RelayState::unknown, ui::colour_yellow, QColor(255, 255, 0),
         QStringLiteral("状态未知")},
        {link::RelayState::port_closed, ui::colour_grey_text,
         QApplication::palette().color(QPalette::Disabled, QPalette::WindowText),
         QStringLiteral("状态未知")},
    };
    for (const auto& c : cases) {
        form.paint_cell(4, c.state);
        EXPECT_EQ(form.cell(4)->palette().color(QPalette::Window), c.shown) << c.colour;
        EXPECT_EQ(form.cell_colour(4), c.colour);
        EXPECT_EQ(form.cell(4)->label()->text(), c.text) << c.colour;
        EXPECT_EQ(form.cell_state(4), c.state) << c.colour;
    }
}

TEST_F(MainFormTest, MouseClicksOnBoxOrStatusLabelQueueTheCommand) {
    QTest::mouseClick(form.port_button(), Qt::LeftButton);
    ASSERT_TRUE(port.is_open());
    // Relay 3 on, the rest off: 22 01 10 00 00 00 04 -> checksum 0x37.
    deliver({0x22, 0x01, 0x10, 0x00, 0x00, 0x00, 0x04, 0x37});
    ASSERT_EQ(form.cell(3)->colour(), ui::colour_green);

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
    for (int n = 1; n <= 16; ++n) EXPECT_EQ(form.cell(n)->colour(), ui::colour_grey_text);
}

TEST_F(MainFormTest, EntriesKeepWhatIsTypedAndMarkWhatIsNoAddress) {
    struct {
        const char* typed;
        bool invalid;
    } cases[] = {{"abc", true}, {"256", true}, {"-3", true},
                 {"", true},    {"7", false},  {"200", false}};
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

// The menus: "选择设备…" on the port entry and its label, "查找模块…" and
// "线路总览…" on the address entry and its label; the port entry, disabled
// while the port is open, still has its menu through the window.
TEST_F(MainFormTest, ContextMenusOfferTheirActions) {
    struct Case {
        const char* what;
        std::function<QWidget*()> on;
        bool port_open;
        QStringList actions;  // ours, before Qt's own
        bool standard_edit_actions;
        const char* port = "1";  // the port entry's number, whose device "选择设备…" chooses
    } cases[] = {
        {"port label", [&] { return form.port_label(); }, false, {"选择设备…"}, false},
        {"port entry", [&] { return form.port_entry(); }, false, {"选择设备…"}, true},
        {"port entry while open", [&] { return form.port_entry(); }, true, {"选择设备…"}, false},
        {"address label",
         [&] { return form.address_label(); },
         false,
         {"查找模块…", "线路总览…"},
         false},
        {"address entry",
         [&] { return form.address_entry(); },
         true,
         {"查找模块…", "线路总览…"},
         true},
        {"port label, another number",
         [&] { return form.port_label(); },
         false,
         {"选择设备…"},
         false,
         "2"},
    };
    // As the panel's start does: Qt's own entries in the window's language,
    // as qtbase_zh_CN.qm words them.
    ASSERT_TRUE(ui::install_qt_translations());
    form.show();
    for (const auto& c : cases) {
        if (form.link().port_open() != c.port_open) form.link().open_comm_Click();
        form.port_entry()->setText(c.port);
        QWidget* on = c.on();
        QContextMenuEvent event(QContextMenuEvent::Mouse, on->rect().center(),
                                on->mapToGlobal(on->rect().center()));
        QApplication::sendEvent(on, &event);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr) << c.what;
        QStringList texts;
        for (const QAction* a : menu->actions())
            if (!a->isSeparator()) texts << a->text();
        EXPECT_EQ(texts.mid(0, c.actions.size()), c.actions) << c.what;
        EXPECT_TRUE(menu->actions().first()->isEnabled()) << c.what;
        EXPECT_EQ(texts.size() > c.actions.size(), c.standard_edit_actions)
            << c.what << ": " << texts.join(", ").toStdString();
        if (c.standard_edit_actions) {
            // "撤消(&U)\tCtrl+Z": the words before the shortcut
            const QString words = texts.join(u'\n');
            EXPECT_TRUE(words.contains("\n撤消(&U)\t") && words.contains("\n复制(&C)\t"))
                << c.what << ": " << texts.join(", ").toStdString();
        }
        if (c.actions.size() > 1) {
            menu->actions()[1]->trigger();
            ASSERT_NE(form.aids().overview(), nullptr) << c.what;
            EXPECT_EQ(form.aids().overview()->windowTitle(), "线路总览") << c.what;
            form.aids().overview()->close();
        }
        if (c.actions.first() == "选择设备…") {
            menu->actions().first()->trigger();
            ASSERT_NE(form.aids().device_form(), nullptr) << c.what;
            EXPECT_EQ(form.aids().device_form()->port_number(), QString(c.port).toInt()) << c.what;
        }
        menu->close();
    }
}

// "选择设备…" saves the device for the number in the port entry, by its
// stable name when it has one; "恢复默认" removes it; a refused path says why
// and saves nothing.
TEST_F(MainFormTest, TheDeviceChooserSavesRefusesAndRestores) {
    test::Pty adapter;
    const QString by_id = dir.filePath("by-id");
    QDir().mkpath(by_id);
    const QString stable = by_id + "/usb-1a86_USB2.0-Ser_-if00-port0";
    QFile::link(QString::fromStdString(adapter.path()), stable);
    struct Case {
        const char* what;
        const char* port;
        QString typed;  // empty: "恢复默认"
        std::optional<QString> saved;
        const char* refusal;
    } cases[] = {
        {"the device node", "3", QString::fromStdString(adapter.path()), stable, ""},
        {"no such path", "3", dir.filePath("ttyUSB9"), stable, "不存在"},
        {"a plain file", "3", dir.filePath("tarnwick.conf"), stable, "不是字符设备"},
        {"another port number", "4", QString::fromStdString(adapter.path()), stable, ""},
        {"back to the default", "3", {}, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        form.port_entry()->setText(c.port);
        ui::DeviceForm chooser(c.port[0] - '0', choices, form.link(), &form, by_id);
        if (c.typed.isEmpty()) {
            chooser.default_clicked();
        } else {
            chooser.path_entry()->setText(c.typed);
            chooser.ok_clicked();
        }
        EXPECT_EQ(chooser.result() == QDialog::Accepted, *c.refusal == '\0') << c.what;
        EXPECT_TRUE(chooser.refusal_label()->text().contains(c.refusal))
            << c.what << ": " << chooser.refusal_label()->text().toStdString();
        EXPECT_EQ(choices.device(c.port[0] - '0'), c.saved) << c.what;
        EXPECT_EQ(link::device_for_port(c.port[0] - '0', &choices).path,
                  c.saved.value_or(QStringLiteral("/dev/ttyS%1").arg(c.port[0] - '1')))
            << c.what;
    }
}

// The chooser saves the port's line beside its device: a Modbus line's
// protocol and settings, nothing for a native one (which also removes what
// was there); a native line's settings cannot be changed.
TEST_F(MainFormTest, TheDeviceChooserSavesTheLine) {
    test::Pty adapter;
    struct Case {
        const char* what;
        int protocol, baud, parity, stop_bits;  // the boxes' indexes
        bool default_clicked;
        QStringList lines;    // in tarnwick.conf
        QStringList missing;  // not in it
    } cases[] = {
        {"modbus 19200 even",
         1,
         4,
         1,
         0,
         false,
         {"[protocols]\n3=modbus", "[serial]\n3=19200, even, 1"},
         {}},
        {"modbus 115200 odd, 2 stop bits", 1, 7, 2, 1, false, {"3=modbus", "3=115200, odd, 2"}, {}},
        {"native", 0, 7, 2, 1, false, {"[ports]"}, {"[protocols]", "[serial]", "modbus"}},
        {"modbus, then the default", 1, 0, 0, 0, true, {}, {"3="}},
    };
    const QString conf = dir.filePath("tarnwick.conf");
    for (const auto& c : cases) {
        form.port_entry()->setText("3");
        ui::DeviceForm chooser(3, choices, form.link(), &form, dir.filePath("by-id"));
        chooser.path_entry()->setText(QString::fromStdString(adapter.path()));
        chooser.protocol_box()->setCurrentIndex(c.protocol);
        chooser.baud_box()->setCurrentIndex(c.baud);
        chooser.parity_box()->setCurrentIndex(c.parity);
        chooser.stop_bits_box()->setCurrentIndex(c.stop_bits);
        EXPECT_EQ(chooser.baud_box()->isEnabled(), c.protocol == 1) << c.what;
        if (c.default_clicked) {
            chooser.ok_clicked();
            chooser.default_clicked();
        } else {
            chooser.ok_clicked();
        }
        EXPECT_EQ(chooser.result(), QDialog::Accepted) << c.what;
        QFile file(conf);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        for (const auto& line : c.lines)
            EXPECT_TRUE(text.contains(line)) << c.what << ":\n" << text.toStdString();
        for (const auto& line : c.missing)
            EXPECT_FALSE(text.contains(line)) << c.what << ":\n" << text.toStdString();
        // Opened again, the chooser shows what was saved.
        ui::DeviceForm again(3, choices, form.link(), &form, dir.filePath("by-id"));
        EXPECT_EQ(again.chosen_line(), choices.line(3)) << c.what;
        EXPECT_EQ(again.protocol_box()->currentIndex(),
                  c.protocol == 1 && !c.default_clicked ? 1 : 0)
            << c.what;
    }
}

// The port entry's tooltip tells which device its number opens, from where,
// and what the line did; a cell's tooltip says why it is unknown while the
// port is open, and nothing otherwise.
TEST_F(MainFormTest, TooltipsExplainThePortAndUnknownCells) {
    ui::LinkAids& aids = form.aids();
    ASSERT_FALSE(choices.save(2, "/dev/tarnwick-no-such-adapter").has_value());
    ASSERT_FALSE(choices
                     .save_line(3, {.protocol = protocol::Protocol::modbus,
                                    .baud = 19200,
                                    .parity = protocol::Parity::even})
                     .has_value());
    struct Case {
        const char* what;
        const char* port;
        bool open;
        std::optional<protocol::Frame> answer;
        QStringList port_says;
        QString cell_says;  // empty: no tooltip
    } cases[] = {
        {"closed, default device",
         "1",
         false,
         std::nullopt,
         {"串口 1 → /dev/ttyS0（默认）", "线路：原生协议 9600 8N1"},
         ""},
        {"closed, a Modbus line",
         "3",
         false,
         std::nullopt,
         {"串口 3 → /dev/ttyS2（默认）", "线路：Modbus RTU 19200 8E1"},
         ""},
        {"closed, saved choice",
         "2",
         false,
         std::nullopt,
         {"/dev/tarnwick-no-such-adapter（已保存的选择）", "设备不存在"},
         ""},
        {"open and silent",
         "1",
         true,
         std::nullopt,
         {"打开以来：发送 0 帧，收到 0 字节"},
         "没有收到任何字节"},
        {"open, answered",
         "1",
         true,
         protocol::Frame{0x22, 0x01, 0x10, 0x00, 0x00, 0x01, 0x80, 0xB4},
         {"接受 1 个应答", "ms 前"},  // the last byte came just now: not "0 秒前"
         ""},
    };
    for (const auto& c : cases) {
        if (form.link().port_open()) form.link().open_comm_Click();
        form.port_entry()->setText(c.port);
        if (c.open) form.link().open_comm_Click();
        if (c.answer) deliver(*c.answer);
        for (const auto& part : c.port_says)
            EXPECT_TRUE(aids.port_tip().contains(part))
                << c.what << ": " << aids.port_tip().toStdString();
        EXPECT_EQ(aids.cell_tip().isEmpty(), c.cell_says.isEmpty()) << c.what;
        EXPECT_TRUE(aids.cell_tip().contains(c.cell_says)) << c.what;
    }
}

// "查找模块…" scans while the port is open; choosing a result puts its
// address in the entry; closing the dialog or the window ends the scan.
TEST_F(MainFormTest, FindingBoardsFillsTheAddressEntry) {
    ui::LinkAids& aids = form.aids();
    ui::FindForm* find = aids.open_find_form();
    EXPECT_FALSE(form.link().scanning()) << "scanning with the port closed";
    EXPECT_FALSE(find->start_button()->isEnabled());
    find->close();

    form.link().open_comm_Click();
    find = aids.open_find_form();
    ASSERT_TRUE(form.link().scanning());
    while (form.link().scanning()) {
        port.written.clear();
        form.link().Timer1_Timer();
        if (port.written.size() == 1 && port.written[0][1] == 42)
            deliver(protocol::encode_status(42, 0x10, 0x0104));
    }
    ASSERT_EQ(find->found_list()->topLevelItemCount(), 1);
    EXPECT_EQ(find->found_list()->topLevelItem(0)->text(1),
              QStringLiteral("0x0104：第 3、9 路吸合"));
    EXPECT_EQ(find->progress()->value(), 256);
    find->found_list()->setCurrentItem(find->found_list()->topLevelItem(0));
    QTest::mouseClick(find->use_button(), Qt::LeftButton);
    EXPECT_EQ(form.address_entry()->text(), "42");

    for (const bool window : {false, true}) {
        find->start_clicked();
        ASSERT_TRUE(form.link().scanning());
        if (window)
            form.close();
        else
            find->close();
        EXPECT_FALSE(form.link().scanning()) << (window ? "window closed" : "dialog closed");
        if (!window) find = aids.open_find_form();
    }
}

}  // namespace
