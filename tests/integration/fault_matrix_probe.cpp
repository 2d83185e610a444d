// fault_matrix_probe PORT: opens port PORT the way the panel does (the link
// controller on the real Qt serial port) from a process of its own, prints
// what the operator would be told, one message after another, and exits 0
// when the port opened, 3 when it stayed closed, 2 on bad usage. The fault
// matrix runs it as a second panel and as an unprivileged user.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "panel/link_controller.h"
#include "tests/support/fake_link.h"
#include "wire/qt_serial_port.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fault_matrix_probe PORT\n");
        return 2;
    }
    tarnwick::link::QtSerialPort port;
    tarnwick::test::FakePanel panel;
    tarnwick::test::RecordingMessages messages;
    tarnwick::link::LinkController link(port, panel, messages,
                                        tarnwick::link::LinkController::Ticks::manual);
    panel.port = QString::fromLocal8Bit(argv[1]);
    link.open_comm_Click();
    for (const QString& text : messages.texts) std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
    return link.port_open() ? 0 : 3;
}
