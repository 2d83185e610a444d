// Renders the pictures in docs/: the panel polling the simulated board, the
// panel after its port is closed, the name dialog, and long channel names
// wrapped in their labels with the tooltip of one that does not fit. Run it on
// an X server (scripts/screenshots.sh starts Xvfb) with the output folder as
// argument.
#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTemporaryDir>
#include <QToolTip>
#include <QWindow>
#include <cstdio>

#include "link/qt_serial_port.h"
#include "tests/support/board_sim.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/wait.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "ui/name_form.h"

namespace {

using namespace tarnwick;

bool save(QWidget* window, const QString& file) {
    test::run_events_for(300);
    const QPixmap shot = window->screen()->grabWindow(0).copy(window->frameGeometry());
    const bool ok = shot.save(file);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "could not write", qPrintable(file), shot.width(),
                shot.height());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));

    test::BoardSim board({"--relays", "0x5A3C"});
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(board.path()));
    QTemporaryDir dir;
    test::RecordingBoxes boxes;
    names::NameFile names(dir.path().toStdString(), boxes);
    (void)names.load_title();
    (void)names.set_channel_name("1", "1", "进水泵");
    (void)names.set_channel_name("1", "2", "排水阀");
    (void)names.set_channel_name("1", "16", "冷却风扇");

    link::QtSerialPort port;
    ui::MainForm form(port, boxes, names);
    form.show();
    form.move(40, 40);
    test::wait_until([&] { return form.windowHandle() && form.windowHandle()->isExposed(); });

    form.link().open_comm_Click();
    test::wait_until([&] { return form.cell_colour(3) == link::colour_green; });
    bool ok = save(&form, out.filePath("main-polling.png"));

    form.Label4_Click(2);
    ui::NameForm* dialog = form.name_dialog();
    dialog->move(520, 40);
    test::wait_until([&] { return dialog->windowHandle() && dialog->windowHandle()->isExposed(); });
    ok = save(dialog, out.filePath("name-dialog.png")) && ok;
    dialog->Command_cansel_Click();

    form.link().open_comm_Click();
    ok = save(&form, out.filePath("main-closed.png")) && ok;

    const std::pair<const char*, const char*> long_names[] = {
        {"1", "一号冷却水循环泵出口电动阀"},
        {"2", "冷却塔风机"},
        {"3", "Cooling fan 2"},
        {"4", "Emergencystopvalve"},
        {"9", "Compressor inlet valve"},
        {"10", "二号排风扇 B"},
        {"16", "照明"},
    };
    for (const auto& [channel, name] : long_names) (void)names.set_channel_name("1", channel, name);
    form.add_Change();  // reloads the labels
    form.link().open_comm_Click();
    test::wait_until([&] { return form.cell_colour(3) == link::colour_green; });
    // The tooltip of the name that does not fit, shown above its label (the
    // tip lands 16 pixels below the point it is given) so that it hides none.
    ui::NameLabel* overflowing = form.name_label(1);
    QToolTip::showText(overflowing->mapToGlobal(QPoint(0, -40)), overflowing->toolTip(),
                       overflowing);
    ok = save(&form, out.filePath("main-long-names.png")) && ok;
    return ok ? 0 : 1;
}
