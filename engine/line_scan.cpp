#include "engine/line_scan.h"

#include "protocol/modbus.h"

namespace tarnwick::link {

LineScan::LineScan(Wire& wire, int first, int last, int answer_wait_ms, QObject* parent)
    : QObject(parent), wire_(wire), scan_(first, last), wait_ms_(answer_wait_ms) {
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &LineScan::next_turn);
    connect(&wire_, &Wire::answer_accepted, this, &LineScan::on_answer);
    connect(&wire_, &Wire::answer_refused, this, &LineScan::on_refused);
    connect(&wire_, &Wire::closed, &timer_, &QTimer::stop);
}

bool LineScan::start() {
    if (!wire_.is_open()) return false;
    next_turn();
    return true;
}

void LineScan::next_turn() {
    if (!wire_.is_open()) return;
    const auto address = scan_.next_query();
    if (!address) {
        emit ended();
        return;
    }
    wire_.send(protocol::encode_command(*address, {protocol::cmd_query, 0x00, 0x00}));
    timer_.start(wait_ms_);
}

// An answer belongs to its own address, which need not be the one asked last.
void LineScan::on_answer(const protocol::Frame& status,
                         const std::optional<protocol::Frame>& asked) {
    if (!asked || (*asked)[2] != protocol::cmd_query) return;
    const std::uint8_t address = status[1];
    if (const auto hit = scan_.answered(address, protocol::relay_pattern(status)))
        emit found(hit->address, hit->relays);
    answered(address);
}

void LineScan::on_refused(const protocol::Frame& asked, std::uint8_t function,
                          std::uint8_t exception) {
    if (asked[2] != protocol::cmd_query) return;
    const std::uint8_t address = asked[1];
    if (refusing_.insert(address).second)
        emit found_refusing(address, QString::fromStdString(protocol::modbus::refusal_text(
                                         address, function, exception)));
    answered(address);
}

// The address asked last has answered and the line is free: the next at once.
void LineScan::answered(std::uint8_t address) {
    if (scan_.last_asked() == address && timer_.isActive()) timer_.start(0);
}

}  // namespace tarnwick::link
