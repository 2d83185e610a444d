#include "wire/wire.h"

#include <algorithm>

#include "wire/port_texts.h"

namespace tarnwick::link {

Wire::Wire(SerialPort& port, LinkMessages& messages, std::chrono::milliseconds patience,
           QObject* parent)
    : QObject(parent),
      port_(port),
      messages_(messages),
      answers_(patience),
      family_(protocol::make_family({})) {
    port_.set_listener(this);
    connect(&watch_, &ReconnectWatch::present, this, &Wire::reopen);
}

Wire::~Wire() {
    port_.set_listener(nullptr);
}

void Wire::start_counting() {
    counters_.start(SteadyClock::now());
    answers_.clear();
    partial_.clear();
}

void Wire::use_line(const protocol::LineSettings& settings) {
    family_ = protocol::make_family(settings);
    answers_.match_codes_always(settings.protocol == protocol::Protocol::modbus);
    port_.configure(
        {settings.baud, settings.parity, settings.stop_bits, family_->shortest_answer()});
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
    const protocol::Bytes bytes = family_->encode(frame);
    if (bytes.empty()) return 0;
    const auto now = SteadyClock::now();
    counters_.received(port_.discard_input() + partial_.size(), now);
    partial_.clear();
    port_.set_threshold(family_->shortest_answer());
    port_.write(bytes);
    const std::uint64_t number = answers_.sent(frame, family_->request_code(frame), now);
    counters_.sent();
    emit frame_sent(frame);
    return number;
}

void Wire::on_received() {
    if (receiver_) return receiver_();
    while (port_.is_open() && judge_waiting_answer()) {
    }
}

bool Wire::take_answer() {
    for (;;) {
        const std::optional<std::size_t> length = family_->answer_length(partial_);
        if (length && partial_.size() >= std::max<std::size_t>(*length, 1)) return true;
        const auto byte = port_.read_byte();
        if (!byte) {
            if (family_->keeps_partial()) {
                // The rest may come in a piece shorter than any answer.
                port_.set_threshold(length ? *length - partial_.size() : 1);
                return false;
            }
            counters_.received(partial_.size(), SteadyClock::now());
            partial_.clear();
            return false;  // fewer than 8 waited after all: nothing to judge
        }
        partial_.push_back(*byte);
    }
}

bool Wire::judge_waiting_answer() {
    if (!take_answer()) return false;
    port_.set_threshold(family_->shortest_answer());
    judge(partial_);
    partial_.clear();
    return true;
}

void Wire::judge(std::span<const std::uint8_t> answer) {
    const auto now = SteadyClock::now();
    std::size_t dropped = 0;
    const bool no_answer = family_->answer_length(answer) == std::size_t{0};
    // No answer starts so: the rest of these bytes is no answer either.
    while (no_answer && port_.read_byte()) ++dropped;
    counters_.received(answer.size() + dropped, now);
    const protocol::Reply reply = no_answer ? protocol::Reply{} : family_->judge(answer);
    counters_.judged(reply.verdict, now);
    if (reply.verdict != protocol::Verdict::accepted) {
        protocol::Frame shown{};
        std::copy_n(answer.begin(), std::min(answer.size(), shown.size()), shown.begin());
        emit answer_rejected(shown);
        return;
    }
    const std::optional<protocol::Frame> sent = answers_.answered(reply.address, reply.code, now);
    if (!sent) counters_.unclaimed();
    if (reply.exception) {
        if (sent) emit answer_refused(*sent, reply.code, *reply.exception);
        return;
    }
    emit answer_accepted(reply.status, sent);
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
