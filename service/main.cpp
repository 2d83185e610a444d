#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

#include "config/config.h"
#include "service/daemon.h"
#include "service/journal.h"

namespace {

struct Options {
    QString config;
    QString bus;  // empty: the system bus
    bool check = false;
};

// The command line; exits with 2 (and a sentence) on a bad one.
Options parse_options(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Owns the serial lines of 16-channel relay boards, polls them, and offers them on D-Bus "
        "as org.tarnwick.Tarnwick1 and, per line, on an MQTT broker.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption config({"c", "config"}, "Read FILE instead of the usual one.", "FILE",
                                    tarnwick::config::default_config_path);
    const QCommandLineOption check("check", "Check the configuration, print what is wrong, exit.");
    const QCommandLineOption bus("bus", "Use the bus at ADDRESS instead of the system bus.",
                                 "ADDRESS");
    parser.addOptions({config, check, bus});
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "tarnwickd: %s\n", qPrintable(parser.errorText()));
        std::exit(2);
    }
    if (parser.isSet("help")) parser.showHelp(0);
    if (parser.isSet("version")) parser.showVersion();
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "tarnwickd: takes no arguments, only options (see --help)\n");
        std::exit(2);
    }
    return {parser.value(config), parser.value(bus), parser.isSet(check)};
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace tarnwick::service;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tarnwickd");
    QCoreApplication::setApplicationVersion(TARNWICK_VERSION);
    const Options options = parse_options(app);

    const ConfigResult read = read_config(options.config.toStdString());
    if (!read.config) {
        if (options.check)
            std::fprintf(stderr, "%s\n", read.problem.c_str());
        else
            log(Priority::error, read.problem);
        return 2;
    }
    for (const std::string& warning : read.config->warnings) {
        if (options.check)
            std::fprintf(stderr, "warning: %s\n", warning.c_str());
        else
            log(Priority::warning, warning);
    }
    if (options.check) {
        std::size_t boards = 0;
        for (const LineConfig& line : read.config->lines) boards += line.boards.size();
        std::printf("%s: %zu line(s), %zu board(s)\n", qPrintable(options.config),
                    read.config->lines.size(), boards);
        return 0;
    }
    Daemon daemon(options.config, options.bus);
    if (!daemon.start(*read.config)) return 1;
    return QCoreApplication::exec();
}
