#include "wire/wire.h"

#include "wire/port_texts.h"

namespace tarnwick::link {

Wire::Wire(SerialPort& port, LinkMessages& messages, std::chrono::milliseconds patience,
           QObject* parent)
    : QObject(parent), port_(port), messages_(messages), answers_(patience) {
    port_.set_listener(this);
    connect(&watch_, &ReconnectWatch::present, this, &Wire::reopen);
}

Wire::~Wire() {
    port_.set_listener(nullptr);
}

void Wire::start_counting() {
    counters_.start(SteadyClock::now());
    answers_.clear();
}

bool Wire::open(const PortDevice& device, int port_number) {
    watch_.stop();
    if (port_.is_open()) return false;
    const std::optional<PortProblem> problem =
        device.path.isEmpty() ? PortProblem{{}, PortFault::no_device, {}} : port_.open(device.path);
    if (problem) {
        emit closed(false);
        last_fault_ = problem->fault;
        messages_.port_error(open_failure_text(port_number, device, *problem, messages_.reader()));
        return false;
    }
    device_ = device.path;
    number_ = port_number;
    start_counting();
    emit opened();
    return true;
}

void Wire::close() {
    watch_.stop();
    port_.close();
    emit closed(false);
}

std::uint64_t Wire::send(const protocol::Frame& frame) {
    if (!port_.is_open()) return 0;
    const auto now = SteadyClock::now();
    counters_.received(port_.discard_input(), now);
    port_.write(frame);
    const std::uint64_t number = answers_.sent(frame, now);
    counters_.sent();
    emit frame_sent(frame);
    return number;
}

void Wire::on_received() {
    if (receiver_) return receiver_();
    while (port_.is_open() && judge_waiting_answer()) {
    }
}

bool Wire::judge_waiting_answer() {
    protocol::Frame status{};
    for (std::size_t i = 0; i < protocol::frame_size; ++i) {
        const auto byte = port_.read_byte();
        if (!byte) {
            counters_.received(i, SteadyClock::now());
            return false;  // fewer than 8 waited after all: nothing to judge
        }
        status[i] = *byte;
    }
    const auto now = SteadyClock::now();
    counters_.received(protocol::frame_size, now);
    const protocol::Verdict verdict = protocol::judge_status(status);
    counters_.judged(verdict, now);
    if (verdict != protocol::Verdict::accepted) {
        emit answer_rejected(status);
        return true;
    }
    const std::optional<protocol::Frame> sent = answers_.answered(status, now);
    if (!sent) counters_.unclaimed();
    emit answer_accepted(status, sent);
    return true;
}

void Wire::on_lost(const PortProblem& problem) {
    if (!port_.is_open()) return;
    port_.close();
    emit closed(true);
    watch_.start(device_);
    // A message box is modal, and its event loop keeps the watch running:
    // the port may well be open again when it returns. One box at a time;
    // it already says the line will be reopened.
    last_fault_ = problem.fault;
    if (reporting_loss_) return;
    reporting_loss_ = true;
    messages_.port_error(lost_text(number_, problem));
    reporting_loss_ = false;
}

void Wire::reopen(const QString& path) {
    if (port_.is_open()) {
        watch_.stop();
        return;
    }
    // A node that is back but not yet usable (udev still setting its
    // permissions, another program quicker) is tried again at the next look.
    if (port_.open(path)) return;
    watch_.stop();
    start_counting();
    emit opened();
}

}  // namespace tarnwick::link
