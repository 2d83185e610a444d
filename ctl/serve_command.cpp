#include "ctl/serve_command.h"

#include <QEventLoop>

#include "ctl/direct_board.h"
#include "ctl/report.h"
#include "engine/board_line.h"
#include "mqtt/bridge.h"
#include "mqtt/options.h"
#include "names/locations.h"
#include "wire/port_choices.h"
#include "wire/qt_serial_port.h"

namespace tarnwick::ctl {

namespace {

// The line's faults go to the log, read in a shell: the advice names
// options, not menus.
class LogMessages : public link::LinkMessages {
  public:
    void port_error(const QString& text) override { print_log(text); }
    [[nodiscard]] link::Reader reader() const override { return link::Reader::shell; }
};

}  // namespace

int run_serve(const Request& request, const StopHook& when_stopped) {
    if (!request.password_warning.isEmpty()) print_log(request.password_warning);
    const link::PortChoices choices(QString::fromStdString(names::settings_file_path()));
    int number = -1;
    const link::PortDevice device = requested_device(request.port, choices, number);

    LogMessages messages;
    link::QtSerialPort port;
    link::BoardLine line(port, messages, request.bridge.boards);
    line.use_line(request.bridge.line);
    if (!line.open(device, number, &choices)) return exit_port;
    print_log(
        QString("polling boards %1 on %2, one frame every %3 ms")
            .arg(QString::fromStdString(mqtt::boards_text(request.bridge.boards)), device.path)
            .arg(link::BoardLine::tick_ms));

    mqtt::Bridge bridge(request.bridge, line, {});
    QObject::connect(&bridge, &mqtt::Bridge::report, &print_log);

    QEventLoop loop;
    when_stopped([&](const QString& why) {
        print_log(why + QStringLiteral(": stopping"));
        bridge.stop();
        line.stop();
        loop.quit();
    });
    bridge.start();
    line.start();
    loop.exec();
    return exit_done;
}

}  // namespace tarnwick::ctl
