#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

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

// The service's user, whom the unit runs it as.
constexpr const char* service_user = "tarnwick";

// Whether the user may read the file: its read bit for them, and the search
// bit of every directory above it, as the kernel decides.
bool user_may_read(const std::string& path, const passwd& user) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) return true;
    groups.resize(static_cast<std::size_t>(count));
    const auto allows = [&](const std::string& file, mode_t owner, mode_t group, mode_t other) {
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0) return false;
        if (info.st_uid == user.pw_uid) return (info.st_mode & owner) != 0;
        if (std::find(groups.begin(), groups.end(), info.st_gid) != groups.end())
            return (info.st_mode & group) != 0;
        return (info.st_mode & other) != 0;
    };
    const std::filesystem::path file = std::filesystem::absolute(path);
    for (auto dir = file.parent_path();; dir = dir.parent_path()) {
        if (!allows(dir.string(), S_IXUSR, S_IXGRP, S_IXOTH)) return false;
        if (dir == dir.root_path()) break;
    }
    return allows(file.string(), S_IRUSR, S_IRGRP, S_IROTH);
}

// Run as root, --check reads what the service's user may not: say so.
std::string unreadable_for_service(const tarnwick::config::Config& config,
                                   const std::string& file) {
    const passwd* user = ::geteuid() == 0 ? ::getpwnam(service_user) : nullptr;
    if (!user) return {};
    for (const auto& line : config.lines)
        if (!line.password_file.empty() && !user_may_read(line.password_file, *user))
            return file + ": [line " + line.name + "] password-file: " + line.password_file +
                   " cannot be read by the user " + service_user +
                   ", whom the service runs as; give it to that user or its group";
    return {};
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
        const std::string unreadable =
            unreadable_for_service(*read.config, options.config.toStdString());
        if (!unreadable.empty()) {
            std::fprintf(stderr, "%s\n", unreadable.c_str());
            return 2;
        }
        std::size_t boards = 0;
        for (const LineConfig& line : read.config->lines) boards += line.boards.size();
        std::printf("%s: %zu line(s), %zu board(s)", qPrintable(options.config),
                    read.config->lines.size(), boards);
        if (!read.config->scenes.empty() || !read.config->schedules.empty())
            std::printf(", %zu scene(s), %zu schedule(s)", read.config->scenes.size(),
                        read.config->schedules.size());
        std::printf("\n");
        return 0;
    }
    Daemon daemon(options.config, options.bus);
    if (!daemon.start(*read.config)) return 1;
    return QCoreApplication::exec();
}
