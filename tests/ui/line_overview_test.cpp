// The line's overview against simulated boards 1 and 2 (nothing answers for
// 3): its rows, a click and a key on one board's relay seen on the
// simulator, a double click filling the address entry, boards going silent
// and coming back, and once closed only the entry's board asked again.
#include "ui/line_overview.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QFontMetrics>
#include <QTest>
#include <QToolTip>
#include <csignal>
#include <functional>

#include "tests/support/board_sim.h"
#include "tests/support/overview_rows.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/wait.h"
#include "ui/link_aids.h"
#include "ui/main_form.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;
using std::chrono::milliseconds;

struct Line {
    const char* what;
    std::vector<std::string> sim;  // besides --address 1,2 --relays 0x0001 --report-frames
    bool modbus = false;
};

void PrintTo(const Line& line, std::ostream* out) {
    *out << line.what;
}

class LineOverviewTest : public ::testing::TestWithParam<Line> {};

TEST_P(LineOverviewTest, RowsFollowTheBoardsAndSwitchTheirRelays) {
    const Line& line = GetParam();
    std::vector<std::string> args{"--address", "1,2", "--relays", "0x0001", "--report-frames"};
    args.insert(args.end(), line.sim.begin(), line.sim.end());
    test::BoardSim sim(args);
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(sim.path()));
    QTemporaryDir dir;
    test::RecordingBoxes boxes;
    names::NameFile names(dir.path().toStdString(), boxes);
    (void)names.load_title();
    boxes.texts.clear();  // a first start's words about the name file
    ASSERT_EQ(names.set_channel_name("2", "5", "进水泵"), names::WriteError::none);
    link::QtSerialPort port;
    link::PortChoices choices(dir.filePath("tarnwick.conf"));
    if (line.modbus) {
        ASSERT_FALSE(choices.save_line(1, {.protocol = protocol::Protocol::modbus}));
    }
    ui::MainForm form(port, boxes, names);
    form.use_port_choices(choices);
    form.address_entry()->setText("3");
    form.link().open_comm_Click();
    ASSERT_TRUE(form.link().port_open()) << boxes.texts.join('\n').toStdString();
    ASSERT_TRUE(form.link().start_scan(1, 3));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.link().scanning(); }, 5000));
    ui::LineOverview* view = form.aids().open_overview();

    const QString family = line.modbus ? "Modbus" : "原生";
    const QString one_on = "GRRRRRRRRRRRRRRR", two_on = "GGRRRRRRRRRRRRRR";
    const QString five_on = "RRRRGRRRRRRRRRRR", unknown(16, 'Y');
    const auto row = [&](int address, const char* state, const QString& cells) {
        return QStringLiteral("%1 %2 %3 %4").arg(address).arg(state, family, cells);
    };
    struct Row {
        const char* what;
        std::function<void()> act;
        QString rows;
        std::uint16_t board_1, board_2;  // on the simulator then
        int offline_row = -1;            // whose state's tooltip says
        const char* why = "";
    };
    const Row rows[] = {
        {"opened: 3 in the entry answers nothing", [] {},
         row(1, "在线", one_on) + "; " + row(2, "在线", "G" + QString(15, 'R')) + "; " +
             row(3, "离线", unknown),
         0x0001, 0x0001, 2, "模块 3 没有应答（“模块地址”里的模块"},
        {"a click on board 2's relay 1", [&] { view->cell_clicked(1, 1); },
         row(1, "在线", one_on) + "; " + row(2, "在线", QString(16, 'R')) + "; " +
             row(3, "离线", unknown),
         0x0001, 0x0000},
        {"right arrow and Space on board 1",
         [&] {
             view->cell(0, 1)->setFocus();
             QTest::keyClick(view->cell(0, 1), Qt::Key_Right);
             QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
         },
         row(1, "在线", two_on) + "; " + row(2, "在线", QString(16, 'R')) + "; " +
             row(3, "离线", unknown),
         0x0003, 0x0000},
        {"down arrow and Space on board 2's relay 2",
         [&] {
             QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
             QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
         },
         row(1, "在线", two_on) + "; " + row(2, "在线", "RG" + QString(14, 'R')) + "; " +
             row(3, "离线", unknown),
         0x0003, 0x0002},
        {"double click on address 1: 3 goes",
         [&] { QTest::mouseDClick(view->address_label(0), Qt::LeftButton); },
         row(1, "在线", two_on) + "; " + row(2, "在线", "RG" + QString(14, 'R')), 0x0003, 0x0002},
        {"the boards fall silent", [&] { sim.kill(SIGUSR2); },
         row(1, "离线", unknown) + "; " + row(2, "离线", unknown), 0x0003, 0x0002, 1,
         "最后一个有效应答在"},
        {"and come back", [&] { sim.kill(SIGUSR2); },
         row(1, "在线", two_on) + "; " + row(2, "在线", "RG" + QString(14, 'R')), 0x0003, 0x0002},
    };
    for (const Row& r : rows) {
        r.act();
        EXPECT_TRUE(test::wait_live([&] { return test::overview_rows(*view) == r.rows; }))
            << r.what << ": " << test::overview_rows(*view).toStdString() << " found "
            << form.link().found_boards().size() << " entry "
            << form.address_entry()->text().toStdString() << " open " << form.link().port_open()
            << " scanning " << form.link().scanning();
        EXPECT_TRUE(sim.wait_for_relays(1, r.board_1, milliseconds(2000))) << r.what;
        EXPECT_TRUE(sim.wait_for_relays(2, r.board_2, milliseconds(2000))) << r.what;
        if (r.offline_row >= 0) {
            const QString tip = view->online_label(r.offline_row)->toolTip();
            EXPECT_TRUE(!tip.isEmpty() && tip.contains(r.why))
                << r.what << ": " << tip.toStdString();
            const QFontMetrics metrics(QToolTip::font());
            for (const QString& text : tip.split('\n'))
                EXPECT_LE(metrics.horizontalAdvance(text), view->width())
                    << r.what << ": wider than the window: " << text.toStdString();
        }
    }
    EXPECT_EQ(form.address_entry()->text(), "1");
    EXPECT_EQ(view->cell(1, 5)->toolTip(), "进水泵（第 5 路）");
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('\n').toStdString();

    // Closed, the tick asks the entry's board and nothing else.
    view->close();
    test::run_live_for(200);
    const std::size_t before = sim.frames().size();
    test::run_live_for(600);
    const auto frames = sim.frames();
    ASSERT_GT(frames.size(), before + 5);
    for (std::size_t i = before; i < frames.size(); ++i)
        EXPECT_EQ(frames[i][line.modbus ? 0 : 1], 1) << "frame " << i;
}

INSTANTIATE_TEST_SUITE_P(Lines, LineOverviewTest,
                         ::testing::Values(Line{"native", {}},
                                           Line{"native at 9600 baud's pace", {"--wire-time"}},
                                           Line{"modbus", {"--protocol", "modbus"}, true}),
                         [](const auto& info) {
                             return std::string(info.index == 0   ? "native"
                                                : info.index == 1 ? "native_wire_time"
                                                                  : "modbus");
                         });

}  // namespace
