#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include "ctl/board_access.h"
#include "engine/board_line.h"
#include "engine/requests.h"
#include "wire/port_choices.h"
#include "wire/qt_serial_port.h"

namespace tarnwick::ctl {

// The device -p names: a port number as in the panel (its environment
// variable, the saved choice, /dev/ttyS<n-1>), or a path given as it is
// (port_number then -1).
[[nodiscard]] link::PortDevice requested_device(const QString& port,
                                                const link::PortChoices& choices, int& port_number);

// The board on a line this program opens itself, driven by the engine as
// tarnwickd drives its lines, for the one command: the port opened and
// locked as the panel opens it, the service's interlocks for that device
// kept (not its pulses or power-on states: nothing outlives the command). A
// switch is confirmed by a query's answer after its command; --timeout runs
// from the start, and again from each command.
class DirectBoard : public BoardAccess, private link::LinkMessages {
    Q_OBJECT
  public:
    explicit DirectBoard(const Request& request, QObject* parent = nullptr);

    Outcome attach() override;
    void read(Done done) override;
    void set(std::uint16_t mask, std::uint16_t bits, Done done) override;
    void pulse(int relay, double seconds, Done done) override;
    void watch(Done failed) override;
    void detach() override;

    [[nodiscard]] link::RelayStates states() const override;
    [[nodiscard]] std::optional<std::uint16_t> last_relays() const override { return reported_; }
    [[nodiscard]] ChannelNames names() const override { return names_; }
    [[nodiscard]] std::optional<std::uint16_t> inputs() const override;
    [[nodiscard]] int input_count() const override { return request_.line.inputs; }
    void add_json_head(QJsonObject& head) const override;
    [[nodiscard]] QString reason(int status) const override;

  private:
    enum class Waiting { nothing, answer, confirmation, watch };

    void port_error(const QString& text) override;
    [[nodiscard]] link::Reader reader() const override { return link::Reader::shell; }
    void wait(Waiting what, Done done);
    void settle(const Outcome& outcome);
    void on_answer(std::uint8_t address, std::uint16_t relays);
    [[nodiscard]] bool known() const;
    void on_settled(const link::Settled& settled);
    void on_port_state(bool open);
    void on_deadline();
    [[nodiscard]] QString where() const;
    [[nodiscard]] Failure no_answer() const;
    [[nodiscard]] Failure not_confirmed(bool timed_out) const;
    [[nodiscard]] Failure refused_by_group() const;

    const Request& request_;
    const std::uint8_t address_;
    link::PortChoices choices_;
    link::QtSerialPort port_;
    link::BoardLine line_;
    link::Requests requests_;
    ChannelNames names_;
    QTimer deadline_;
    QElapsedTimer waited_;  // since the switch was asked for
    Waiting waiting_ = Waiting::nothing;
    Done done_;
    std::uint16_t mask_ = 0, bits_ = 0;      // the switch asked for
    std::optional<std::uint16_t> reported_;  // the last answer's relays
    std::optional<int> refused_relay_;       // an ON its group did not let through
    QString port_message_;                   // the last message about the port
};

}  // namespace tarnwick::ctl
