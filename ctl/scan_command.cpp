#include "ctl/scan_command.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <cmath>

#include "ctl/direct_board.h"
#include "ctl/report.h"
#include "engine/line_scan.h"
#include "names/locations.h"
#include "wire/port_choices.h"
#include "wire/qt_serial_port.h"
#include "wire/wire.h"

namespace tarnwick::ctl {

namespace {

// The time `bytes` take on the line at its speed and framing.
double wire_ms(int bytes, const protocol::LineSettings& line) {
    return bytes * protocol::character_bits(line) * 1000.0 / line.baud;
}

// What a board and its adapter may add to the wire time before an answer is
// whole on our side: the board's turnaround, a USB adapter's packet timer.
constexpr int scan_margin_ms = 10;

// How long a frame waits for its answer on a line being scanned: a late
// answer still counts under its own address.
constexpr std::chrono::milliseconds scan_patience{300};

}  // namespace

int scan_answer_wait_ms(const protocol::LineSettings& line) {
    // A query and its answer: 8 and 8 bytes; Modbus's read of 16 coils is 8
    // and 7, and the line's silence before the answer.
    const bool modbus = line.protocol == protocol::Protocol::modbus;
    const int bytes = modbus ? 15 : 2 * static_cast<int>(protocol::frame_size);
    return static_cast<int>(std::ceil(wire_ms(bytes, line))) +
           (modbus ? protocol::silence_ms(line) : 0) + scan_margin_ms;
}

namespace {

// The scan's state from the open to the end; one object, so the event
// loop's handlers need not capture a dozen locals.
class Scan : public QObject, private link::LinkMessages {
  public:
    explicit Scan(const Request& request)
        : request_(request),
          choices_(QString::fromStdString(names::settings_file_path())),
          wire_(port_, *this, scan_patience),
          wait_(request.timeout_given ? request.timeout_ms : scan_answer_wait_ms(request.line)) {
        wire_.use_port_choices(&choices_);
        wire_.use_line(request.line);
    }

    int run() {
        int number = -1;
        if (!wire_.open(requested_device(request_.port, choices_, number), number)) {
            finish(exit_port, said_, true);
            return *status_;
        }
        link::LineScan scan(wire_, request_.first, request_.last, wait_);
        connect(&scan, &link::LineScan::found, this, &Scan::found);
        connect(&scan, &link::LineScan::found_refusing, this, &Scan::found_refusing);
        connect(&scan, &link::LineScan::ended, this, &Scan::ended);
        // The line says why the device went away only after it has closed
        // the port: the end waits for its words.
        connect(&wire_, &link::Wire::closed, this, [this] {
            QMetaObject::invokeMethod(
                this, [this] { finish(exit_port, said_, true); }, Qt::QueuedConnection);
        });
        clock_.start();
        scan.start();
        if (!status_) loop_.exec();
        wire_.stop_reconnecting();
        return *status_;
    }

    void interrupt() { finish(exit_interrupted, QStringLiteral("已中断")); }

  private:
    void port_error(const QString& text) override {
        said_ = text;
        print_error(text);
    }
    [[nodiscard]] link::Reader reader() const override { return link::Reader::shell; }

    [[nodiscard]] QJsonObject head() const {
        return {{QStringLiteral("command"), request_.verb_name},
                {QStringLiteral("port"), request_.port},
                {QStringLiteral("device"), wire_.device()},
                {QStringLiteral("address"), request_.address},
                {QStringLiteral("answers_from_another_address"),
                 static_cast<qint64>(wire_.counters().since_open.answers_other_address)}};
    }

    void found(int address, int relays) {
        const auto pattern = static_cast<std::uint16_t>(relays);
        found_.append(QJsonObject{{QStringLiteral("address"), address},
                                  {QStringLiteral("relays"), pattern_text(pattern)},
                                  {QStringLiteral("on"), energized_json(pattern)}});
        if (!request_.json)
            print_line(QStringLiteral("%1  %2")
                           .arg(address, 3)
                           .arg(states_summary(pattern_states(pattern))));
    }

    void found_refusing(int address, const QString& why) {
        found_.append(
            QJsonObject{{QStringLiteral("address"), address}, {QStringLiteral("refused"), why}});
        if (!request_.json)
            print_line(QStringLiteral("%1  answers, but %2").arg(address, 3).arg(why));
    }

    void ended() {
        const double seconds = static_cast<double>(clock_.elapsed()) / 1000.0;
        if (request_.json) {
            QJsonObject json = head();
            json.insert(QStringLiteral("first"), request_.first);
            json.insert(QStringLiteral("last"), request_.last);
            json.insert(QStringLiteral("answer_wait_ms"), wait_);
            json.insert(QStringLiteral("seconds"), std::round(seconds * 100) / 100);
            json.insert(QStringLiteral("found"), found_);
            json.insert(QStringLiteral("ok"), !found_.isEmpty());
            print_json(json);
        }
        print_error(QStringLiteral("asked addresses %1-%2 in %3 s (%4 ms for one that does "
                                   "not answer): %5 answered")
                        .arg(request_.first)
                        .arg(request_.last)
                        .arg(seconds, 0, 'f', 1)
                        .arg(wait_)
                        .arg(found_.size()));
        finish(found_.isEmpty() ? exit_no_answer : exit_done);
    }

    void finish(int status, const QString& error = {}, bool said = false) {
        if (status_) return;
        status_ = status;
        wire_.stop_reconnecting();
        if (!error.isEmpty() && !said) print_error(error);
        if (!error.isEmpty() && request_.json) {
            QJsonObject json = head();
            json.insert(QStringLiteral("ok"), false);
            json.insert(QStringLiteral("exit"), status);
            json.insert(QStringLiteral("error"), error);
            json.insert(QStringLiteral("reason"), reason_code(status, wire_.last_fault()));
            print_json(json);
        }
        loop_.quit();
    }

    const Request& request_;
    link::PortChoices choices_;
    link::QtSerialPort port_;
    link::Wire wire_;
    const int wait_;
    QJsonArray found_;
    QElapsedTimer clock_;
    QEventLoop loop_;
    std::optional<int> status_;
    QString said_;  // the last message about the port
};

}  // namespace

int run_scan(const Request& request,
             const std::function<void(std::function<void()>)>& on_interrupt) {
    Scan scan(request);
    on_interrupt([&scan] { scan.interrupt(); });
    return scan.run();
}

}  // namespace tarnwick::ctl
