#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <deque>
#include <optional>

#include "ctl/command_line.h"
#include "ctl/report.h"
#include "panel/headless_panel.h"
#include "panel/link_controller.h"
#include "wire/port_choices.h"
#include "wire/qt_serial_port.h"

namespace tarnwick::ctl {

// The device -p names: a port number as in the panel (its environment
// variable, the saved choice, /dev/ttyS<n-1>), or a path given as it is
// (port_number then -1).
[[nodiscard]] link::PortDevice requested_device(const QString& port,
                                                const link::PortChoices& choices, int& port_number);

// One command on the board's line, on the panel's own link: the port opened
// as the panel opens it, frames sent by the ticks, answers judged and
// painted, but into a headless panel. A switch queues one command per tick
// and is then confirmed by a query whose answer shows every requested relay
// in the requested state.
class Session : public QObject, private link::LinkMessages {
    Q_OBJECT
  public:
    explicit Session(const Request& request, QObject* parent = nullptr);

    // Opens the port, runs the command in the event loop and returns the
    // exit status.
    int run();
    // SIGINT or SIGTERM: a watch ends as asked for, anything else stops.
    void interrupt();

    // The wait for each address of a scan when --timeout is not given: the
    // wire time of a query and its answer at 9600 8N1 (16 bytes of 10 bits),
    // plus a margin for the board's turnaround and the adapter.
    static int scan_answer_wait_ms();

  private:
    enum class Phase { reading, sending, confirming, watching, scanning };

    void port_error(const QString& text) override;
    void interlock_refused(const QString& text) override;
    [[nodiscard]] link::Reader reader() const override;
    void start_switch(std::uint16_t reported);
    void on_frame_sent(const protocol::Frame& frame);
    void on_answer(const protocol::Frame& sent, const protocol::Frame& status);
    void on_cells();
    void on_port_state(bool open);
    void on_deadline();
    void on_scan_found(int address, int relays);
    void on_scan_ended(bool complete);
    void report_states(const link::RelayStates& states, bool confirmed);
    // Ends the command; `error` goes to stderr unless `said` (already
    // printed), and with --json into a failure object.
    void finish(int status, const QString& error = {}, bool said = false);
    [[nodiscard]] QJsonObject json_head() const;

    Request request_;
    link::QtSerialPort port_;
    link::HeadlessPanel panel_;
    link::PortChoices choices_;
    link::LinkController link_;
    ChannelNames names_;
    Phase phase_ = Phase::reading;
    std::deque<protocol::Command> to_send_;
    protocol::WantedRelays wanted_;
    std::optional<std::uint16_t> reported_;   // the last accepted answer's relays
    std::optional<link::RelayStates> shown_;  // watch: the last line printed
    int lines_ = 0;
    QJsonArray found_;
    QElapsedTimer scan_clock_;
    QTimer deadline_;
    QTimer reader_check_;  // watch: stdout's reader still there?
    std::optional<int> status_;
    QEventLoop* loop_ = nullptr;
    QString port_message_;  // the last message about the port
};

}  // namespace tarnwick::ctl
