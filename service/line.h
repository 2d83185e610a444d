#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <cstdint>
#include <list>
#include <optional>
#include <vector>

#include "link/board_liveness.h"
#include "link/headless_panel.h"
#include "link/link_controller.h"
#include "link/qt_serial_port.h"
#include "names/name_file.h"
#include "service/config.h"
#include "service/line_model.h"

// One configured line on the panel's link: the boards polled in turn, one
// frame per tick (pace=tick: every 50 ms; pace=answer: as soon as the answer
// is in and the line has been silent, at the latest after 50 ms). A switch
// becomes a wanted state per relay, the latest winning; at most every third
// frame is a command, so polling goes on under a flood. A call returns when a
// query after its command shows the relays as wanted. An answer is the
// board's whose frame it answers, however late it comes (the link's
// attribution); one that answers no frame is counted and said, not credited.
namespace tarnwick::service {

class Line : public LineModel, private link::LinkMessages {
    Q_OBJECT
  public:
    Line(LineConfig config, names::NameFile& names, QObject* parent = nullptr);
    ~Line() override;

    // Opens the device and starts polling; a device not there is tried
    // again every second meanwhile.
    void start();
    [[nodiscard]] const LineConfig& config() const { return config_; }
    [[nodiscard]] int boards_online() const;

    QString name() const override;
    QString device() const override;
    bool open() const override;
    std::vector<std::uint8_t> boards() const override;
    BoardState board(std::uint8_t address) const override;
    void switch_relay(std::uint8_t address, int relay, bool on, const QString& caller,
                      Done done) override;
    void switch_all(std::uint8_t address, bool on, const QString& caller, Done done) override;
    void rename(std::uint8_t address, int relay, const QString& name, const QString& caller,
                Done done) override;

  signals:
    // Each tick of the loop: the watchdog's keep-alive goes with it.
    void ticked();

  private:
    struct Board {
        std::uint8_t address = 0;
        bool online = false;
        std::uint16_t relays = 0;
        std::uint16_t wanted_mask = 0;  // relays with a state still to be sent
        std::uint16_t wanted_bits = 0;
        QStringList names;
    };
    struct Call {
        std::uint8_t address = 0;
        std::uint16_t mask = 0, bits = 0;
        bool sent = false;  // its command is on the wire
        int queries_after = 0;
        Done done;
    };

    void port_error(const QString& text) override;
    void try_open();
    void tick();
    bool send_wanted();
    void on_frame_sent(const protocol::Frame& frame);
    void on_answer(const protocol::Frame& sent, const protocol::Frame& status);
    void on_unclaimed(const protocol::Frame& status);
    void on_port_state(bool open);
    void go_offline(Board& board, const QString& why);
    void want(std::uint8_t address, std::uint16_t mask, std::uint16_t bits, Done done);
    void settle_calls(const Board& board, bool query);
    void fail_calls(std::optional<std::uint8_t> address, Outcome::Error error, const QString& why);
    Board* find(std::uint8_t address);
    const Board* find(std::uint8_t address) const;

    LineConfig config_;
    names::NameFile& names_;
    link::QtSerialPort port_;
    link::HeadlessPanel panel_;
    link::LinkController link_;
    QTimer tick_;
    QTimer retry_open_;
    std::vector<Board> boards_;
    std::size_t next_poll_ = 0;
    std::optional<std::uint8_t> confirm_next_;  // queried right after its command
    bool polled_in_turn_ = true;                // since the last command
    protocol::Frame last_sent_{};               // pace=answer: its answer hurries the tick
    QElapsedTimer unclaimed_said_;
    link::BoardLiveness liveness_;
    std::list<Call> calls_;
};

}  // namespace tarnwick::service
