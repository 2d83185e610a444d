#pragma once

#include <QObject>
#include <QSerialPort>

#include "wire/serial_port.h"

namespace tarnwick::link {

// The serial line on Qt SerialPort: 9600 baud, 8 data bits, no parity, one
// stop bit, no flow control, DTR on, RTS off, raw bytes both ways, opened
// exclusively. Receive notifications come through the event loop once 8 or
// more bytes wait; bytes past the 8 read stay until the next discard.
class QtSerialPort : public QObject, public SerialPort {
    Q_OBJECT
  public:
    explicit QtSerialPort(QObject* parent = nullptr);

    std::optional<PortProblem> open(const QString& device) override;
    void close() override;
    bool is_open() const override { return port_.isOpen(); }
    std::size_t discard_input() override;
    void write(std::span<const std::uint8_t> bytes) override;
    std::optional<std::uint8_t> read_byte() override;
    std::size_t bytes_waiting() const override;
    void fetch_waiting() override;

  protected:
    void threshold_changed() override { wake_at_threshold(); }

  private:
    [[nodiscard]] PortProblem open_failure(const QString& device);
    void wake_at_threshold();
    void on_ready_read();
    void on_error(QSerialPort::SerialPortError error);
    void report_lost();

    QSerialPort port_;
    QString device_;
    bool lost_ = false;  // the device went away; reported once per open period
    unsigned vmin_ = 0;  // as last set on the open device; 0 when not yet
    PortProblem lost_problem_;
};

}  // namespace tarnwick::link
