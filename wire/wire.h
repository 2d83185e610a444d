#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "protocol/board_family.h"
#include "protocol/frame.h"
#include "wire/answer_attribution.h"
#include "wire/link_counters.h"
#include "wire/messages.h"
#include "wire/port_map.h"
#include "wire/reconnect_watch.h"
#include "wire/serial_port.h"

namespace tarnwick::link {

class PortChoices;

// One serial line as its owner uses it: open a device (its lock and the
// messages an open that fails is worth), send a frame, hear which frame each
// answer answers. Whoever drives the line (the panel's form, the engine that
// owns several boards) decides what goes out and when; this is the only
// place that puts frames on the wire, judges the bytes that come back and
// credits an answer to the frame it answers (answer_attribution.h).
//
// When the open device vanishes (not when it is closed on purpose) it
// watches for the same path to come back and reopens it by itself.
class Wire : public QObject, private SerialListener {
    Q_OBJECT
  public:
    Wire(SerialPort& port, LinkMessages& messages, std::chrono::milliseconds patience,
         QObject* parent = nullptr);
    ~Wire() override;

    // The boards' family and the line's serial settings, from the next open
    // on; a native line at 9600 8N1 until told.
    void use_line(const protocol::LineSettings& settings);
    [[nodiscard]] const protocol::LineSettings& line_settings() const {
        return family_->settings();
    }
    // No answer of the line's family is shorter.
    [[nodiscard]] std::size_t shortest_answer() const { return family_->shortest_answer(); }

    // The operator's saved devices, consulted on every open.
    void use_port_choices(const PortChoices* choices) { choices_ = choices; }
    [[nodiscard]] const PortChoices* port_choices() const { return choices_; }

    // Opens a device already chosen (port_number -1: one given by path).
    // False when it failed: closed() is told, then the failure said.
    bool open(const PortDevice& device, int port_number);
    // Closed on purpose: no reconnect.
    void close();
    // No reconnect from now on.
    void stop_reconnecting() { watch_.stop(); }

    // Puts a frame on the wire, in the bytes of the line's family, when the
    // port is open, after dropping what input waits (a late or partial answer
    // would be taken for this frame's). Its number (counting from 1 since the
    // line was made), or 0 when not sent (the family has no bytes for it).
    std::uint64_t send(const protocol::Frame& frame);

    // Judges the next answer waiting, if it is whole; false when it was not.
    // A native line's bytes short of 8 are dropped; a Modbus line keeps them
    // for the rest, which may come in another piece.
    bool judge_waiting_answer();
    // Who hears that bytes wait; without one, every whole answer waiting is
    // judged at once (several boards' answers may come back to back).
    void set_receiver(std::function<void()> receiver) { receiver_ = std::move(receiver); }

    [[nodiscard]] bool is_open() const { return port_.is_open(); }
    [[nodiscard]] std::size_t bytes_waiting() const { return port_.bytes_waiting(); }
    // Hears now of an answer already in, which the next send would drop.
    void fetch_waiting() { port_.fetch_waiting(); }
    // The device opened last (while open: the one in use) and its port number.
    [[nodiscard]] const QString& device() const { return device_; }
    [[nodiscard]] int port_number() const { return number_; }
    [[nodiscard]] const LinkCounters& counters() const { return counters_; }
    [[nodiscard]] std::optional<PortFault> last_fault() const { return last_fault_; }
    [[nodiscard]] bool reconnecting() const { return watch_.active(); }
    // The number of the frame answered last (as send() gave it); 0 before any.
    [[nodiscard]] std::uint64_t last_answered_number() const {
        return answers_.last_answered_number();
    }

  signals:
    // The port opened: by open() or by a reconnect.
    void opened();
    // The port is closed: `lost` when its device went away (told before the
    // message about it).
    void closed(bool lost);
    void frame_sent(const tarnwick::protocol::Frame& frame);
    // Eight bytes were judged and dropped.
    void answer_rejected(const tarnwick::protocol::Frame& frame);
    // An accepted answer, with the frame it answers; nothing when it answers
    // none (counted in counters()).
    void answer_accepted(const tarnwick::protocol::Frame& status,
                         const std::optional<tarnwick::protocol::Frame>& sent);
    // A whole answer that refuses the frame it answers: a Modbus exception,
    // with the function refused.
    void answer_refused(const tarnwick::protocol::Frame& sent, std::uint8_t function,
                        std::uint8_t exception);

  private:
    void on_received() override;
    void on_lost(const PortProblem& problem) override;
    void reopen(const QString& path);
    void start_counting();
    // Reads until a whole answer waits in partial_; false when none does.
    bool take_answer();
    void judge(std::span<const std::uint8_t> answer);

    SerialPort& port_;
    LinkMessages& messages_;
    const PortChoices* choices_ = nullptr;
    std::function<void()> receiver_;
    QString device_;
    int number_ = -1;
    std::optional<PortFault> last_fault_;
    LinkCounters counters_;
    ReconnectWatch watch_;
    bool reporting_loss_ = false;  // a message about a lost device is being shown
    AnswerAttribution answers_;
    std::unique_ptr<protocol::BoardFamily> family_;
    protocol::Bytes partial_;  // an answer's first bytes
};

}  // namespace tarnwick::link
