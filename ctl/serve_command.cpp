#include "ctl/serve_command.h"

#include <QEventLoop>

#include "ctl/report.h"
#include "ctl/session.h"
#include "link/port_choices.h"
#include "mqtt/bridge.h"
#include "names/locations.h"

namespace tarnwick::ctl {

int run_serve(const Request& request, const StopHook& when_stopped) {
    if (!request.password_warning.isEmpty()) print_log(request.password_warning);
    const link::PortChoices choices(QString::fromStdString(names::settings_file_path()));
    int number = -1;
    const link::PortDevice device = requested_device(request.port, choices, number);

    mqtt::Bridge bridge(request.bridge);
    QObject::connect(&bridge, &mqtt::Bridge::report, &print_log);
    if (!bridge.open(device, number, &choices)) return exit_port;

    QEventLoop loop;
    when_stopped([&](const QString& why) {
        print_log(why + QStringLiteral(": stopping"));
        bridge.stop();
        loop.quit();
    });
    bridge.start();
    loop.exec();
    return exit_done;
}

}  // namespace tarnwick::ctl
