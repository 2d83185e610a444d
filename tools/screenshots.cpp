// Renders the pictures in docs/: the panel polling the simulated board, the
// panel after its port is closed, the name dialog, long channel names wrapped
// in their labels with the tooltip of one that does not fit, and what the
// panel adds around its serial link: the port entry's tooltip, an unknown
// cell's tooltip, the address label's menu, the board scan, the device
// chooser and the line's overview. Run it on an X server (scripts/screenshots.sh starts Xvfb) with
// the output folder as argument.
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QScreen>
#include <QTemporaryDir>
#include <QToolTip>
#include <QWindow>
#include <cstdio>

#include "tests/support/board_sim.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/wait.h"
#include "ui/fonts.h"
#include "ui/line_overview.h"
#include "ui/link_aids.h"
#include "ui/main_form.h"
#include "ui/name_form.h"
#include "wire/qt_serial_port.h"

namespace {

using namespace tarnwick;
using ui::RelayCell;

// The screen within `area` (global coordinates).
bool save_area(const QRect& area, const QString& file) {
    test::run_events_for(300);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0).copy(area);
    const bool ok = shot.save(file);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "could not write", qPrintable(file), shot.width(),
                shot.height());
    return ok;
}

bool save(QWidget* window, const QString& file) {
    return save_area(window->frameGeometry(), file);
}

// A window together with the popup (tooltip, menu) shown over it.
bool save_with_popup(QWidget* window, QWidget* popup, const QString& file) {
    test::run_events_for(300);
    QRect area = window->frameGeometry();
    if (popup && popup->isVisible()) area |= popup->frameGeometry().adjusted(-4, -4, 4, 4);
    return save_area(area, file);
}

// The tooltip Qt shows: a top-level QLabel of class QTipLabel.
QWidget* tooltip_window() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("QTipLabel") && w->isVisible()) return w;
    return nullptr;
}

// The panel polling the board, and the name dialog over it.
bool shoot_polling(ui::MainForm& form, const QDir& out) {
    form.link().open_comm_Click();
    test::wait_until([&] { return form.cell_colour(3) == ui::colour_green; });
    bool ok = save(&form, out.filePath("main-polling.png"));

    form.Label4_Click(2);
    ui::NameForm* dialog = form.name_dialog();
    dialog->move(520, 40);
    test::wait_until([&] { return dialog->windowHandle() && dialog->windowHandle()->isExposed(); });
    ok = save(dialog, out.filePath("name-dialog.png")) && ok;
    dialog->Command_cansel_Click();
    return ok;
}

// What the panel adds around its link: the port entry's and an unknown
// cell's tooltips, the board scan, the address label's menu, the device
// chooser.
bool shoot_link_aids(ui::MainForm& form, const QDir& out) {
    ui::LinkAids& aids = form.aids();
    test::run_events_for(1500);  // some traffic for the counts
    QLineEdit* entry = form.port_entry();
    QToolTip::showText(entry->mapToGlobal(QPoint(8, entry->height() + 4)), aids.port_tip(), entry,
                       {}, 60000);
    bool ok = save_with_popup(&form, tooltip_window(), out.filePath("port-tooltip.png"));
    QToolTip::hideText();

    ui::FindForm* find = aids.open_find_form();
    find->move(520, 40);
    test::wait_until([&] { return !form.link().scanning(); }, 20000);
    ok = save(find, out.filePath("find-dialog.png")) && ok;
    find->close();

    form.address_entry()->setText(QStringLiteral("7"));  // no board there
    test::run_events_for(2300);
    RelayCell* cell = form.cell(5);
    QToolTip::showText(cell->mapToGlobal(QPoint(10, cell->height() + 4)), aids.cell_tip(), cell, {},
                       60000);
    ok = save_with_popup(&form, tooltip_window(), out.filePath("unknown-tooltip.png")) && ok;
    QToolTip::hideText();
    form.address_entry()->setText(QStringLiteral("1"));

    QMenu* menu = aids.address_menu(form.address_label());
    menu->popup(form.address_label()->mapToGlobal(QPoint(30, 20)));
    ok = save_with_popup(&form, menu, out.filePath("address-menu.png")) && ok;
    menu->close();
    delete menu;

    ui::DeviceForm* devices = aids.open_device_form();
    devices->move(40, 40);
    devices->path_entry()->setText(QStringLiteral("/tmp/no-such-adapter"));
    devices->ok_clicked();  // refused: shows why
    ok = save(devices, out.filePath("device-dialog.png")) && ok;
    devices->close();
    return ok;
}

// 线路总览 over the boards the scan found, with a relay's name in its
// tooltip; then with board 7, which answers nothing, in the address entry
// and the tooltip saying why it is 离线.
bool shoot_overview(ui::MainForm& form, const QDir& out) {
    ui::LineOverview* view = form.aids().open_overview();
    view->move(40, 400);  // over the main window: room for its tooltips on the screen
    test::wait_until([&] { return view->windowHandle() && view->windowHandle()->isExposed(); });
    test::wait_until([&] { return view->row_count() == 3 && view->row_online(2); });
    ui::OverviewCell* cell = view->cell(0, 2);
    QToolTip::showText(cell->mapToGlobal(QPoint(4, cell->height() + 4)), cell->toolTip(), cell, {},
                       60000);
    bool ok = save_with_popup(view, tooltip_window(), out.filePath("line-overview.png"));
    QToolTip::hideText();

    form.address_entry()->setText(QStringLiteral("7"));
    test::run_events_for(2300);  // six silent ticks
    QLabel* state = view->online_label(2);
    // Just below the rows (the tip lands 16 pixels below the point given).
    const QPoint under(state->x(), view->height() - 14);
    QToolTip::showText(view->mapToGlobal(under), state->toolTip(), state, {}, 60000);
    ok = save_with_popup(view, tooltip_window(), out.filePath("line-overview-offline.png")) && ok;
    QToolTip::hideText();
    view->close();
    form.address_entry()->setText(QStringLiteral("1"));
    return ok;
}

// Long channel names wrapped in their labels, with the tooltip of one that
// does not fit.
bool shoot_long_names(ui::MainForm& form, names::NameFile& names, const QDir& out) {
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
    test::wait_until([&] { return form.cell_colour(3) == ui::colour_green; });
    // The tooltip of the name that does not fit, shown above its label (the
    // tip lands 16 pixels below the point it is given) so that it hides none.
    ui::NameLabel* overflowing = form.name_label(1);
    QToolTip::showText(overflowing->mapToGlobal(QPoint(0, -40)), overflowing->toolTip(),
                       overflowing);
    return save(&form, out.filePath("main-long-names.png"));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication app(argc, argv);
    ui::install_font_substitutions();
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));

    // Boards at 1 (in the address entry), 3 and 200, for the scan.
    test::BoardSim board({"--address", "1,3,200", "--relays", "0x5A3C"});
    qputenv("TARNWICK_COM1", QByteArray::fromStdString(board.path()));
    QTemporaryDir dir;
    test::RecordingBoxes boxes;
    names::NameFile names(dir.path().toStdString(), boxes);
    (void)names.load_title();
    (void)names.set_channel_name("1", "1", "进水泵");
    (void)names.set_channel_name("1", "2", "排水阀");
    (void)names.set_channel_name("1", "16", "冷却风扇");

    link::QtSerialPort port;
    link::PortChoices choices(dir.filePath(QStringLiteral("tarnwick.conf")));
    ui::MainForm form(port, boxes, names);
    form.use_port_choices(choices);
    form.show();
    form.move(40, 40);
    test::wait_until([&] { return form.windowHandle() && form.windowHandle()->isExposed(); });

    bool ok = shoot_polling(form, out);
    ok = shoot_link_aids(form, out) && ok;
    ok = shoot_overview(form, out) && ok;
    form.link().open_comm_Click();
    ok = save(&form, out.filePath("main-closed.png")) && ok;
    ok = shoot_long_names(form, names, out) && ok;
    return ok ? 0 : 1;
}
