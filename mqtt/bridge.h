#pragma once

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/board_liveness.h"
#include "link/headless_panel.h"
#include "link/link_controller.h"
#include "link/qt_serial_port.h"
#include "mqtt/client.h"
#include "mqtt/payloads.h"
#include "mqtt/wanted_states.h"
#include "names/locations.h"

namespace tarnwick::link {
class PortChoices;
}

namespace tarnwick::mqtt {

// The boards of one serial line on an MQTT broker. The panel's link polls
// them in turn, one frame per 50 ms tick, so each of k boards is asked every
// k ticks; what they answer is published, retained, and only that: a relay's
// state comes from the board's accepted status frames, never from a command.
// A fresh set of exactly ON or OFF becomes a wanted state (the latest per
// relay, not a queue); at most every other tick carries one command, so
// polling of every board goes on under a flood. Nothing else switches a
// relay: not a start, a connect, a reconnect, a retained set or a lost line.
//
// An answer is a board's by the address in it (link/answer_attribution.h):
// one that comes late, after the next board was asked, is still its own, and
// one from an address no poll waits on is dropped and counted in the log.
//
// A board is available while it answers: offline after six of its own polls
// without a valid answer. When the serial device goes away the link reopens
// it when it is back; meanwhile every board is offline and sets are refused.
class Bridge : public QObject, private link::LinkMessages {
    Q_OBJECT
  public:
    explicit Bridge(BridgeOptions options, QObject* parent = nullptr);
    ~Bridge() override;

    // Opens the line as the panel does (same device lock and messages); false
    // when it cannot, which has been reported.
    bool open(const link::PortDevice& device, int port_number, const link::PortChoices* choices);
    // Connects to the broker and starts polling; runs until stop().
    void start();
    // No more frames; every board offline, the cabinet's status offline,
    // acknowledged by the broker (at most `timeout`), then a clean disconnect.
    void stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

  signals:
    // One sentence for the log: the broker, the line, the boards, refused sets.
    void report(const QString& text);

  private:
    struct Board {
        std::uint8_t address = 0;
        RelayNames names;
        std::optional<std::uint16_t> relays;  // the last accepted answer's, while online
        std::chrono::system_clock::time_point answered;
        bool online = false;  // what its availability topic says
    };

    void port_error(const QString& text) override;
    // Its log is read in a shell: the advice names options, not menus.
    [[nodiscard]] link::Reader reader() const override { return link::Reader::shell; }
    void tick();
    void on_frame_sent(const protocol::Frame& frame);
    void on_answer(const protocol::Frame& sent, const protocol::Frame& status);
    void on_unclaimed(const protocol::Frame& status);
    void on_port_state(bool open);
    void on_connected();
    void on_message(const Message& message);
    void reload_names();
    [[nodiscard]] std::vector<int> board_addresses() const;
    // The names read (one per board, in order) and what the reading reported.
    void names_read(const std::vector<RelayNames>& names, const std::vector<std::string>& reports);

    void go_offline(Board& board, const QString& why);
    void publish_availability(const Board& board);
    // The relays that differ from `before` (all of them without it) and the
    // board's state JSON.
    void publish_relays(const Board& board, std::optional<std::uint16_t> before);
    void publish_discovery(const Board& board);
    void republish_discovery();
    void on_earlier_config(std::uint8_t address, const std::string& config);
    void refuse(const Refusal& refusal);
    void log_refusals();
    Board* board(std::uint8_t address);

    BridgeOptions options_;
    link::QtSerialPort port_;
    link::HeadlessPanel panel_;
    link::LinkController link_;
    Client client_;
    QTimer tick_;
    std::vector<Board> boards_;
    std::size_t next_poll_ = 0;  // index into boards_
    bool commanded_ = false;     // the last tick carried a command
    link::BoardLiveness liveness_;
    WantedStates wanted_;
    names::NameFileLocation names_at_;
    QFileSystemWatcher names_watch_;
    QTimer names_settle_;  // a rename's burst of notifications, read once
    bool names_loaded_ = false;
    QElapsedTimer unclaimed_said_;  // since the log last told of answers from another address
    bool names_reading_ = false;  // a reload is on the worker
    bool names_again_ = false;    // ... and the file changed again meanwhile
    // Home Assistant's births come in bursts: one republish of the configs,
    // as last sent, once the burst has paused, or at the latest after
    // discovery_burst_max_ms.
    std::map<std::uint8_t, std::string> discovery_sent_;
    QTimer discovery_burst_;
    QElapsedTimer discovery_burst_since_;
    // One log line per second for a burst of refused sets.
    QTimer refusal_log_;
    int refusals_unlogged_ = 0;
    // Last, so it is destroyed first: its destructor waits for a reload.
    QThreadPool names_worker_;
};

}  // namespace tarnwick::mqtt
