#pragma once

#include <optional>
#include <string>
#include <utility>

// The service's log: the journal with priorities and fields a technician can
// filter on, and, when run by hand, the same lines on stderr with their time.
// Also the service manager's notifications. Both through libsystemd, which
// does nothing where systemd is not listening.
namespace tarnwick::service {

// syslog's levels, as the journal keeps them.
enum class Priority { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

// TARNWICK_LINE=, TARNWICK_BOARD=, TARNWICK_RELAY=, TARNWICK_SOURCE=,
// TARNWICK_SCHEDULE=, TARNWICK_SCENE=; the empty ones are left out.
struct LogFields {
    LogFields() = default;
    LogFields(std::string line_name, std::optional<int> board_address,
              std::optional<int> relay_number, std::string source_name)
        : line(std::move(line_name)),
          board(board_address),
          relay(relay_number),
          source(std::move(source_name)) {}

    std::string line;
    std::optional<int> board;
    std::optional<int> relay;
    std::string source;  // who switched: mqtt, dbus, pulse, interlock, power-on, observed
    std::string schedule;  // TARNWICK_SCHEDULE=
    std::string scene;     // TARNWICK_SCENE=
};

void log(Priority priority, const std::string& message, const LogFields& fields = {});

// Whether stderr is the journal's stream ($JOURNAL_STREAM names its device
// and inode): then the lines go to the journal alone.
[[nodiscard]] bool stderr_is_journal();

// Type=notify: READY=1 with a first STATUS=, later STATUS= alone, the
// watchdog's keep-alive, and STOPPING=1.
void notify_ready(const std::string& status);
void notify_status(const std::string& status);
void notify_watchdog();
void notify_stopping();

}  // namespace tarnwick::service
