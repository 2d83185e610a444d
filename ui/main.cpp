#include <QApplication>

#include "link/qt_serial_port.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "names/locations.h"
#include "names/name_file.h"
#include "ui/message_boxes.h"

int main(int argc, char** argv) {
    // The application name is every message box's title; no display name, which
    // Qt would append to every window title.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication app(argc, argv);
    tarnwick::ui::install_font_substitutions();

    tarnwick::link::QtSerialPort port;
    tarnwick::ui::MessageBoxes messages;
    // name.txt lives beside the program, wherever it is started from.
    tarnwick::names::NameFile names(tarnwick::names::executable_directory(), messages);
    tarnwick::link::PortChoices port_choices(
        QString::fromStdString(tarnwick::names::settings_file_path()));
    tarnwick::ui::MainForm main_form(port, messages, names);
    main_form.use_port_choices(port_choices);
    messages.set_parent(&main_form);
    main_form.show();
    return app.exec();
}
