#pragma once

#include <QTimer>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "config/config.h"
#include "engine/board_line.h"
#include "engine/board_setting.h"
#include "engine/requests.h"
#include "mqtt/bridge.h"
#include "mqtt/timekeeping.h"
#include "names/name_file.h"
#include "service/journal.h"
#include "service/line_model.h"
#include "service/state_file.h"
#include "wire/qt_serial_port.h"

// One configured line: its boards polled in turn by the line engine
// (engine/board_line.h), with the pace configured. A switch becomes a wanted
// state per relay, the latest winning; a call returns when a query after its
// command shows the relays as wanted, and fails when the board answers
// otherwise three times, goes offline, or a later call wants those relays
// otherwise.
namespace tarnwick::service {

using namespace tarnwick::config;  // the configuration's types

class Line : public LineModel, private link::LinkMessages {
    Q_OBJECT
  public:
    // What must outlive a restart (pulse deadlines, the relays last
    // confirmed) is kept in a file of the line's own in `state_directory`.
    Line(LineConfig config, names::NameFile& names, const std::string& state_directory,
         QObject* parent = nullptr);
    ~Line() override;

    // Opens the device and starts polling; a device not there is tried
    // again every second meanwhile.
    void start();
    // The broker told every board is offline and the node too (at most
    // `timeout`), then no more frames.
    void stop(std::chrono::milliseconds timeout);
    [[nodiscard]] const LineConfig& config() const { return config_; }
    [[nodiscard]] int boards_online() const;
    // The engine underneath, for what else runs on this line (the broker
    // bridge).
    [[nodiscard]] link::BoardLine& engine() { return line_; }

    QString name() const override;
    QString device() const override;
    bool open() const override;
    std::vector<std::uint8_t> boards() const override;
    QString protocol() const override;
    int input_count() const override { return config_.settings.inputs; }
    BoardState board(std::uint8_t address) const override;
    void switch_relay(std::uint8_t address, int relay, bool on, const QString& caller,
                      Done done) override;
    void switch_all(std::uint8_t address, bool on, const QString& caller, Done done) override;
    void pulse(std::uint8_t address, int relay, std::chrono::milliseconds length,
               const QString& caller, Done done) override;
    void rename(std::uint8_t address, int relay, const QString& name, const QString& caller,
                Done done) override;

    // The relays in `mask` of a board as `bits` says, for the service's own
    // timekeeping (a schedule; `origin` names it).
    void set_relays(std::uint8_t address, std::uint16_t mask, std::uint16_t bits,
                    const link::Origin& origin, Done done);
    // A scene's relays of one board, with the fewest frames, releases first;
    // `done` with the relays that did not end as wanted (0: all did) and why.
    using Set = std::function<void(std::uint16_t failed, const QString& why)>;
    void apply_setting(std::uint8_t address, std::uint16_t mask, std::uint16_t bits,
                       const link::Origin& origin, Set done);
    // The schedules and scenes its broker bridge offers, before start().
    void offer_timekeeping(mqtt::Timekeeping* timekeeping) {
        if (bridge_) bridge_->set_timekeeping(timekeeping);
    }
    // Journal fields of a change with this origin.
    [[nodiscard]] LogFields origin_fields(const link::Origin& origin, std::uint8_t address,
                                          std::optional<int> relay) const;

  signals:
    // Each turn of the loop: the watchdog's keep-alive goes with it.
    void ticked();

  private:
    void port_error(const QString& text) override;
    void try_open();
    void on_online(std::uint8_t address, bool online, const QString& why);
    void on_relays(std::uint8_t address, std::optional<std::uint16_t> before, std::uint16_t relays);
    void on_unclaimed(std::uint8_t address, quint64 since_open);
    void on_port_state(bool open);
    void on_command(std::uint8_t address, const link::WantedStates::Want& want,
                    const link::Origin& origin);
    void on_deadline(std::uint8_t address, int relay,
                     std::optional<std::chrono::system_clock::time_point> at);
    void on_interlock_failed(std::uint8_t address, int relay, const QString& why);
    void on_interlock_broken(std::uint8_t address, std::uint16_t relays_on);
    void on_refused(std::uint8_t address, const QString& why);
    void setting_steps(std::uint8_t address, std::vector<link::SettingStep> steps, std::size_t next,
                       const link::Origin& origin, std::uint16_t failed, QString why, Set done);
    void restore_state();
    // Written now; when that fails, again every few seconds until it works.
    void save_state();
    // `length`: a pulse of the one relay in `mask`.
    void want(std::uint8_t address, std::uint16_t mask, std::uint16_t bits,
              const link::Origin& origin, Done done,
              std::optional<std::chrono::milliseconds> length = std::nullopt);

    LineConfig config_;
    names::NameFile& names_;
    link::QtSerialPort port_;
    link::BoardLine line_;
    QTimer retry_open_;
    std::map<std::uint8_t, QStringList> names_of_;
    link::Requests requests_{line_};
    std::unique_ptr<mqtt::Bridge> bridge_;  // with mqtt= only
    StateFile state_;
    QTimer save_again_;
    // The last failure to open the device, said once and then reminded of
    // now and then, not at every try.
    QString open_failure_;
    std::chrono::steady_clock::time_point open_failure_said_;
    // A command's relay until an answer shows it: who asked (key: address *
    // 16 + relay - 1).
    struct Expected {
        bool on = false;
        link::Origin origin;
    };
    std::map<int, Expected> expected_;
    // Per board, the refusal last said, when, and how often it came since.
    struct Refusals {
        QString why;
        std::chrono::steady_clock::time_point at;
        int since = 0;
    };
    std::map<std::uint8_t, Refusals> refusals_;
};

}  // namespace tarnwick::service
