// The running panel on a real X server (Xvfb at 96 dpi) polling the simulated
// board: a screenshot shows each cell in its relay's colour, the window's
// client area has its drawn size, and a long channel name takes two lines.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QMap>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QWindow>

#include "tests/support/board_sim.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/wait.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;
using test::wait_until;

// The colour most of a 7 x 7 patch shows: the status text may cross the centre.
QColor patch_colour(const QImage& image, QPoint centre) {
    QMap<QRgb, int> counts;
    for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -3; dx <= 3; ++dx)
            ++counts[image.pixel(centre + QPoint(dx, dy)) | 0xFF000000];
    QRgb best = 0;
    int most = -1;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        if (it.value() > most) best = it.key(), most = it.value();
    return QColor::fromRgb(best);
}

// Dark pixels in rows [top, bottom) of a widget's area in the screenshot.
int ink(const QImage& shot, const QWidget* widget, int top, int bottom) {
    const QPoint origin = widget->mapToGlobal(QPoint(0, 0));
    int dark = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < widget->width(); ++x)
            if (qGray(shot.pixel(origin + QPoint(x, y))) < 128) ++dark;
    return dark;
}

TEST(XvfbPanel, ScreenshotShowsEveryRelayInItsColour) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "run under Xvfb";
    ui::install_font_substitutions();
    // Relays 3, 4, 5, 6, 10, 12, 13, 15 on (bit r-1 is relay r).
    const std::uint16_t pattern = 0x5A3C;
    test::BoardSim board({"--relays", "0x5A3C"});
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(board.path()));

    QTemporaryDir dir;
    test::RecordingBoxes boxes;
    names::NameFile names(dir.path().toStdString(), boxes);
    link::QtSerialPort port;
    ui::MainForm form(port, boxes, names);
    form.show();
    ASSERT_TRUE(wait_until([&] {
        return form.isVisible() && form.windowHandle() && form.windowHandle()->isExposed();
    }));

    EXPECT_EQ(form.logicalDpiY(), 96);
    EXPECT_EQ(form.client_size(), QSize(448, 531));
    EXPECT_EQ(form.geometry().size(), QSize(448, 531));

    form.link().open_comm_Click();
    ASSERT_TRUE(form.link().port_open()) << boxes.texts.join('\n').toStdString();
    auto painted = [&] {
        for (int n = 1; n <= 16; ++n) {
            const bool on = (pattern >> (n - 1)) & 1;
            if (form.cell_colour(n) != (on ? ui::colour_green : ui::colour_red)) return false;
        }
        return true;
    };
    ASSERT_TRUE(wait_until(painted));
    test::run_events_for(200);  // let the repaint reach the server

    const QImage shot = form.screen()->grabWindow(0).toImage();
    ASSERT_FALSE(shot.isNull());
    for (int n = 1; n <= 16; ++n) {
        const bool on = (pattern >> (n - 1)) & 1;
        const QPoint centre = form.cell(n)->mapToGlobal(form.cell(n)->rect().center());
        EXPECT_EQ(patch_colour(shot, centre), on ? QColor(0, 255, 0) : QColor(255, 0, 0))
            << "cell " << n << " at " << centre.x() << "," << centre.y();
    }

    // A five-character name wraps onto the second 20-pixel line of its
    // 41-pixel label; a three-character one keeps to the first.
    ASSERT_EQ(names.set_channel_name("1", "1", "冷却塔风机"), names::WriteError::none);
    ASSERT_EQ(names.set_channel_name("1", "2", "进水泵"), names::WriteError::none);
    form.add_Change();
    test::run_events_for(200);
    const QImage names_shot = form.screen()->grabWindow(0).toImage();
    const QWidget* two_lines = form.name_label(1);
    const QWidget* one_line = form.name_label(2);
    EXPECT_EQ(two_lines->height(), 41);
    EXPECT_GT(ink(names_shot, two_lines, 0, 20), 40);
    EXPECT_GT(ink(names_shot, two_lines, 20, 41), 10);
    EXPECT_GT(ink(names_shot, one_line, 0, 20), 40);
    EXPECT_EQ(ink(names_shot, one_line, 20, 41), 0);
}

}  // namespace
