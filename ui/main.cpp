#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <cstdio>
#include <optional>

#include "names/locations.h"
#include "names/name_file.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "ui/message_boxes.h"
#include "wire/qt_serial_port.h"

namespace {

using tarnwick::names::NameFileLocation;

// --help and --version must work without a display, so the command line is
// read before the application object exists (it would need one). Returns the
// exit status when the program is to end without opening its window.
std::optional<int> read_command_line(int argc, char** argv, const NameFileLocation& names,
                                     const std::string& program_directory, bool& direct_open) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for a 16-channel relay board on a serial line.\n"
                       "Port n opens the device named by $TARNWICK_COM<n>, else the device saved\n"
                       "for n with 选择设备… (in tarnwick.conf beside the per-user name file),\n"
                       "else /dev/ttyS<n-1>."));
    const QCommandLineOption help(
        {QStringLiteral("h"), QStringLiteral("help")},
        QStringLiteral("Print this help, with the name file in use, and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Print the version and exit."));
    // A desktop session that restores the panel starts it with "-session <id>",
    // which the application object takes for itself.
    QCommandLineOption session(QStringLiteral("session"), QString(), QStringLiteral("id"));
    session.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption direct(
        QStringLiteral("direct"),
        QStringLiteral("Open the device even when tarnwickd holds it; by default the window then\n"
                       "shows and switches the service's line ($TARNWICK_BUS names another bus)."));
    parser.addOptions({help, version, session, direct});
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);

    const bool parsed = parser.parse(arguments);
    if (!parsed || !parser.positionalArguments().isEmpty()) {
        const QString error = parsed ? QStringLiteral("unexpected argument '%1'.")
                                           .arg(parser.positionalArguments().constFirst())
                                     : parser.errorText();
        std::fprintf(stderr, "tarnwick: %s\nTry 'tarnwick --help'.\n", qPrintable(error));
        return 2;
    }
    if (parser.isSet(help)) {
        // Without an application object the parser has no program name.
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("tarnwick"));
        std::printf("%s\n%s", qPrintable(text),
                    tarnwick::names::describe_name_file(names, program_directory).c_str());
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("tarnwick %s\n", TARNWICK_VERSION);
        return 0;
    }
    direct_open = parser.isSet(direct);
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    // The application name is every message box's title; no display name, which
    // Qt would append to every window title.
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));

    const std::string program_directory = tarnwick::names::executable_directory();
    NameFileLocation location = tarnwick::names::locate_name_file(program_directory);
    bool direct = false;
    if (const auto status = read_command_line(argc, argv, location, program_directory, direct))
        return *status;

    QApplication app(argc, argv);
    tarnwick::ui::install_font_substitutions();
    tarnwick::ui::install_qt_translations();

    tarnwick::link::QtSerialPort port;
    tarnwick::ui::MessageBoxes messages;
    // For starts with nobody to read or close a box (scripts/check-package.sh
    // checks an installed copy, scripts/demo.sh makes a first start without a
    // display): with TARNWICK_START_CHECK=FILE the messages are appended to
    // FILE instead of shown, and the program ends as soon as its window is up.
    // No operator sets it; nothing else changes.
    const QString start_check = qEnvironmentVariable("TARNWICK_START_CHECK");
    if (!start_check.isEmpty()) messages.write_to(start_check);

    tarnwick::names::prepare_name_file(location);
    tarnwick::names::NameFile names(location, messages);
    tarnwick::link::PortChoices port_choices(
        QString::fromStdString(tarnwick::names::settings_file_path()));
    tarnwick::ui::MainForm main_form(port, messages, names);
    main_form.use_port_choices(port_choices);
    main_form.set_direct(direct);
    messages.set_parent(&main_form);
    main_form.show();
    if (!start_check.isEmpty()) QTimer::singleShot(0, &app, &QApplication::quit);
    return app.exec();
}
