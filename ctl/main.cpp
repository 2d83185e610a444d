// tarnwick-ctl: the relay boards of a serial line from a shell, on the
// engine tarnwickd drives its lines with, or through tarnwickd (see --help).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <functional>

#include "ctl/command_line.h"
#include "ctl/direct_board.h"
#include "ctl/names_command.h"
#include "ctl/runner.h"
#include "ctl/scan_command.h"
#include "ctl/serve_command.h"
#include "ctl/service_board.h"
#include "ctl/time_command.h"

namespace {

int signal_pipe[2] = {-1, -1};

// The interrupted code may be about to read errno: the write must not change it.
extern "C" void on_signal(int sig) {
    const int saved = errno;
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] auto ignored = ::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

// SIGINT and SIGTERM reach the event loop through a pipe, so a watch ends
// between two ticks, and serve says offline, cleanly.
bool catch_signals() {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Calls `handler` from the event loop with each signal caught.
void on_signals(QObject* context, const std::function<void(int)>& handler) {
    if (!catch_signals()) return;
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler] {
        char sig = 0;
        int last = 0;
        while (::read(signal_pipe[0], &sig, 1) > 0) last = sig;
        if (last) handler(last);
    });
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
    if (tarnwick::ctl::service_only(request.verb)) return tarnwick::ctl::run_time_command(request);
    // A line tarnwickd holds is used through it: never two programs on one wire.
    const auto held = tarnwick::ctl::run_if_held(request, [](tarnwick::ctl::Runner& runner) {
        on_signals(&runner, [&runner](int) { runner.interrupt(); });
    });
    if (held) return *held;
    if (request.verb == tarnwick::ctl::Verb::names) return tarnwick::ctl::run_names(request);
    if (request.verb == tarnwick::ctl::Verb::serve) {
        return tarnwick::ctl::run_serve(request, [&app](const auto& stop) {
            on_signals(&app, [stop](int sig) {
                stop(QString::fromUtf8(sig == SIGTERM ? "SIGTERM" : "SIGINT"));
            });
        });
    }

    if (request.verb == tarnwick::ctl::Verb::scan) {
        return tarnwick::ctl::run_scan(request, [&app](const std::function<void()>& stop) {
            on_signals(&app, [stop](int) { stop(); });
        });
    }
    tarnwick::ctl::DirectBoard board(request);
    tarnwick::ctl::Runner runner(request, board);
    on_signals(&runner, [&runner](int) { runner.interrupt(); });
    return runner.run();
}
