#pragma once

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/board_line.h"
#include "mqtt/client.h"
#include "mqtt/payloads.h"
#include "mqtt/timekeeping.h"
#include "names/locations.h"

namespace tarnwick::mqtt {

// The boards of one serial line on an MQTT broker. The line's owner polls
// them (engine/board_line.h); what they answer is published, retained, and only
// that: a relay's state comes from the board's accepted status frames, never
// from a command. A fresh set of exactly ON or OFF becomes a wanted state of
// the line (the latest per relay, not a queue), and polling of every board
// goes on under a flood. Nothing else switches a relay: not a start, a
// connect, a reconnect, a retained set or a lost line.
//
// A board is available while the line has it online. When the serial device
// goes away every board is offline and sets are refused until it is back.
class Bridge : public QObject {
    Q_OBJECT
  public:
    // The names come from `names` (name.txt as the panel finds it when its
    // path is empty), read and watched, never written.
    Bridge(BridgeOptions options, link::BoardLine& line, names::NameFileLocation names,
           QObject* parent = nullptr);
    ~Bridge() override;

    // Connects to the broker; runs until stop(). The line's owner starts and
    // stops the polling.
    void start();
    // Every board offline, the cabinet's status offline, acknowledged by the
    // broker (at most `timeout`), then a clean disconnect.
    void stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

    // The scenes and schedules the line's owner keeps under this node, before
    // start() or after; null for none. A fresh message on a scene's set topic
    // applies it; a schedule's state is published, retained, as the owner
    // tells it, and a fresh ON or OFF on its set topic enables or disables it.
    // Both get Home Assistant entities on a device of their own.
    void set_timekeeping(Timekeeping* timekeeping);

  signals:
    // One sentence for the log: the broker, the line, the boards, refused sets.
    void report(const QString& text);

  private:
    // What the bridge keeps of a board: its names. Its state is the line's
    // (online, relays, when it answered last), read when published.
    struct Board {
        std::uint8_t address = 0;
        RelayNames names;
    };

    void on_answer(std::uint8_t address, std::uint16_t relays, bool to_query);
    void on_online(std::uint8_t address, bool online, const QString& why);
    void on_relays(std::uint8_t address, std::optional<std::uint16_t> before, std::uint16_t relays);
    void on_inputs(std::uint8_t address, std::optional<std::uint16_t> before, std::uint16_t inputs);
    void on_command(std::uint8_t address, const link::WantedStates::Want& want);
    void on_unclaimed(std::uint8_t address, quint64 since_open);
    void on_interlock_failed(std::uint8_t address, int relay, const QString& why);
    void on_port_state(bool open);
    void on_connected();
    void on_message(const Message& message);
    void reload_names();
    [[nodiscard]] std::vector<int> board_addresses() const;
    // The names read (one per board, in order) and what the reading reported.
    void names_read(const std::vector<RelayNames>& names, const std::vector<std::string>& reports);

    void publish_availability(std::uint8_t address, bool online);
    // The relays that differ from `before` (all of them without it) and the
    // board's state JSON, as the line has them; nothing while it is offline.
    void publish_relays(const Board& board, std::optional<std::uint16_t> before);
    // The inputs that differ from `before` (all of them without it), as the
    // line has them; nothing while the board is offline or has none.
    void publish_inputs(std::uint8_t address, std::optional<std::uint16_t> before);
    void publish_discovery(const Board& board);
    void republish_discovery();
    void on_earlier_config(std::uint8_t address, const std::string& config);
    void subscribe_timekeeping();
    // The device config of the scenes and schedules, then each schedule's state.
    void publish_timekeeping();
    void publish_timekeeping_discovery();
    void on_schedule_changed(const QString& name, bool enabled);
    void on_timekeeping_message(const Message& message);
    void on_earlier_timekeeping_config(const std::string& config);
    void refuse(const Refusal& refusal);
    void log_refusals();
    Board* board(std::uint8_t address);

    BridgeOptions options_;
    link::BoardLine& line_;
    Client client_;
    std::vector<Board> boards_;
    // Sets taken, until their command goes out: (board, relay) -> on.
    std::map<std::pair<int, int>, bool> sets_;
    bool line_lost_ = false;  // the device went away since the line opened
    names::NameFileLocation names_at_;
    QFileSystemWatcher names_watch_;
    QTimer names_settle_;  // a rename's burst of notifications, read once
    bool names_loaded_ = false;
    bool names_reading_ = false;  // a reload is on the worker
    bool names_again_ = false;    // ... and the file changed again meanwhile
    // Home Assistant's births come in bursts: one republish of the configs,
    // as last sent, once the burst has paused, or at the latest after
    // discovery_burst_max_ms.
    std::map<std::uint8_t, std::string> discovery_sent_;
    QTimer discovery_burst_;
    QElapsedTimer discovery_burst_since_;
    QPointer<Timekeeping> timekeeping_;
    bool started_ = false;
    // The scenes' and schedules' config as last sent ("" for none), and the
    // schedules it has.
    std::string timekeeping_sent_;
    std::vector<std::string> schedules_sent_;
    // One log line per second for a burst of refused sets.
    QTimer refusal_log_;
    int refusals_unlogged_ = 0;
    // Last, so it is destroyed first: its destructor waits for a reload.
    QThreadPool names_worker_;
};

}  // namespace tarnwick::mqtt
