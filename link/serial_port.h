#pragma once

#include <QString>
#include <optional>

#include "protocol/frame.h"

namespace tarnwick::link {

// Why an open failed, for the operator.
struct OpenFailure {
    QString device;  // empty when the port number has no device
    QString reason;
    bool permission_denied = false;
};

// What the port tells its owner. Both arrive on the UI thread, from the event
// loop, never from inside a call the owner made on the port.
class SerialListener {
public:
    virtual ~SerialListener() = default;
    // 8 or more received bytes wait (the receive threshold).
    virtual void on_received() = 0;
    // The device went away while open (adapter pulled, board process gone).
    // Reported once per open period; the port is still formally open.
    virtual void on_lost(const QString& device, const QString& reason) = 0;
};

// The operations the link needs of a serial line, and nothing more: choose
// and open a port (9600 8N1, DTR on, RTS off, no flow control, receive
// threshold 8), close it, discard unread input, write a frame as one write,
// read one raw byte.
class SerialPort {
public:
    virtual ~SerialPort() = default;
    void set_listener(SerialListener* listener) { listener_ = listener; }

    // Nothing on success.
    [[nodiscard]] virtual std::optional<OpenFailure> open(int port_number) = 0;
    virtual void close() = 0;
    [[nodiscard]] virtual bool is_open() const = 0;
    virtual void discard_input() = 0;
    virtual void write(const protocol::Frame& frame) = 0;
    // The next received byte, or nothing when none waits.
    [[nodiscard]] virtual std::optional<std::uint8_t> read_byte() = 0;

protected:
    SerialListener* listener_ = nullptr;
};

}  // namespace tarnwick::link
