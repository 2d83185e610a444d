#pragma once

#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <optional>

#include "ctl/board_access.h"
#include "ctl/command_line.h"

namespace tarnwick::ctl {

// One command on one board, whoever holds its line (board_access.h): the
// same output, --json and exit statuses either way.
class Runner : public QObject {
    Q_OBJECT
  public:
    Runner(const Request& request, BoardAccess& board, QObject* parent = nullptr);

    // Runs the command in the event loop and returns the exit status.
    int run();
    // Attaches, then `command` instead of one of the board's commands.
    int run_then(const std::function<int()>& command);
    // SIGINT or SIGTERM: a watch ends as asked for, anything else stops.
    void interrupt();

  private:
    void start();
    void switch_relays(std::uint16_t reported);
    // A switch or pulse done, or not: its report and the end.
    void switched(const Outcome& outcome);
    void watch();
    void watch_change();
    void report_inputs() const;
    [[nodiscard]] QString inputs_summary(std::uint16_t inputs) const;
    void add_inputs(QJsonObject& json) const;
    void report_states(bool confirmed);
    // Ends the command; the failure's words go to stderr unless said
    // already, and with --json into a failure object.
    void finish(int status, const QString& error = {}, bool said = false);
    void fail(const Failure& failure) { finish(failure.status, failure.text, failure.said); }
    [[nodiscard]] QJsonObject json_head() const;

    const Request& request_;
    BoardAccess& board_;
    ChannelNames names_;
    bool watching_ = false;
    std::optional<link::RelayStates> shown_;  // watch: the last line printed
    std::optional<std::uint16_t> shown_inputs_;
    int lines_ = 0;
    QStringList sources_;  // watch: who switched since the last line
    QTimer reader_check_;  // watch: stdout's reader still there?
    std::optional<int> status_;
    QEventLoop* loop_ = nullptr;
};

}  // namespace tarnwick::ctl
