// tarnwick-ctl: the relay boards of a serial line from a shell, on the
// panel's own link (see --help).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "ctl/command_line.h"
#include "ctl/names_command.h"
#include "ctl/session.h"

namespace {

int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int sig) {
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] auto ignored = ::write(signal_pipe[1], &byte, 1);
}

// SIGINT and SIGTERM reach the event loop through a pipe, so a watch ends
// between two ticks, cleanly.
bool catch_signals() {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnwick-ctl"));
    // A reader of the output that went away must not leave a board half done.
    ::signal(SIGPIPE, SIG_IGN);

    const auto parsed = tarnwick::ctl::parse_command_line(QCoreApplication::arguments());
    if (!parsed.request) return parsed.exit_status;
    const tarnwick::ctl::Request& request = *parsed.request;
    if (request.verb == tarnwick::ctl::Verb::names) return tarnwick::ctl::run_names(request);

    tarnwick::ctl::Session session(request);
    if (catch_signals()) {
        auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &session, [&session] {
            char sig = 0;
            while (::read(signal_pipe[0], &sig, 1) > 0) {
            }
            session.interrupt();
        });
    }
    return session.run();
}
